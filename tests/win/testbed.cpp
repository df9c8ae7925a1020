#include "tests/win/testbed.h"

#include <algorithm>
#include <cstdlib>

bool Norvat::Load()
{
    module = LoadLibraryA("Norvat.dll");
    return module != nullptr && BindAll([this](const char *name) {
               return reinterpret_cast<void *>(GetProcAddress(module, name));
           });
}

void Norvat::Unload()
{
    if (module != nullptr)
        FreeLibrary(module);
    module = nullptr;
}

DeviceEnd::DeviceEnd(const std::string &path)
{
    Adopt(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
    if (IsOpen()) {
        // A serial device end blocks until its bytes arrive; our deadlines end the wait.
        COMMTIMEOUTS none = {};
        SetCommTimeouts(handle_, &none);
    }
}

DeviceEnd::~DeviceEnd() { Close(); }

void DeviceEnd::Adopt(HANDLE handle)
{
    Close();
    handle_ = handle == nullptr ? INVALID_HANDLE_VALUE : handle;
}

void DeviceEnd::Close()
{
    if (IsOpen())
        CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
}

std::string DeviceEnd::Read(size_t count, DWORD ms)
{
    std::string got;
    const double deadline = NowMs() + ms;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    while (got.size() < count && NowMs() < deadline) {
        char buffer[4096];
        const DWORD want = (DWORD)std::min(sizeof buffer, count - got.size());
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD n = 0;
        if (!ReadFile(handle_, buffer, want, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break;
            const DWORD left = (DWORD)std::max(1.0, deadline - NowMs());
            if (WaitForSingleObject(event, left) != WAIT_OBJECT_0)
                CancelIo(handle_);
            n = 0;
            GetOverlappedResult(handle_, &ov, &n, TRUE);
        }
        got.append(buffer, n);
    }
    CloseHandle(event);
    return got;
}

std::string DeviceEnd::Drain(DWORD quietMs)
{
    std::string all;
    for (;;) {
        std::string more = Read(65536, quietMs);
        if (more.empty())
            return all;
        all += more;
    }
}

bool DeviceEnd::Write(const std::string &bytes)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    BOOL ok = WriteFile(handle_, bytes.data(), (DWORD)bytes.size(), &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, 5000) != WAIT_OBJECT_0)
            CancelIo(handle_);
        ok = GetOverlappedResult(handle_, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok && n == bytes.size();
}

BackgroundRead::BackgroundRead(DeviceEnd &device, size_t count, DWORD ms)
    : device_(device), count_(count), ms_(ms)
{
    thread_ = CreateThread(nullptr, 0, Run, this, 0, nullptr);
}

BackgroundRead::~BackgroundRead()
{
    Wait();
}

DWORD WINAPI BackgroundRead::Run(void *self)
{
    auto *read = static_cast<BackgroundRead *>(self);
    read->got_ = read->device_.Read(read->count_, read->ms_);
    return 0;
}

std::string BackgroundRead::Wait()
{
    if (thread_ != nullptr) {
        WaitForSingleObject(thread_, INFINITE); // Read itself ends by its deadline
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    return got_;
}

std::string TestbedUnixPath(const std::string &relative)
{
    const char *root = std::getenv("NORVAT_TESTBED");
    return std::string(root ? root : "") + "/" + relative;
}

std::string ToWindowsPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

std::string DeviceEndOf(int comPort)
{
    return "\\\\.\\COM" + std::to_string(comPort + 10);
}

std::string RunUnix(const std::string &command)
{
    // Wine starts a Linux program from CreateProcess but hands back no handle that can be
    // waited on, so the script renames its output into place as its last step and we poll.
    const std::string stem = TestbedUnixPath("out-" + std::to_string(GetCurrentProcessId()));
    const std::string done = ToWindowsPath(stem + ".txt");
    DeleteFileA(done.c_str());
    const std::string script =
        "{ " + command + "; } > " + stem + ".tmp 2>&1; mv " + stem + ".tmp " + stem + ".txt";
    std::string line = "Z:\\bin\\sh -c \"" + script + "\"";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return "<CreateProcess failed>";
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);

    std::string text;
    for (int i = 0; i < 3000; i++) {
        HANDLE file = CreateFileA(done.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            Sleep(10);
            continue;
        }
        char buffer[4096];
        DWORD n = 0;
        while (ReadFile(file, buffer, sizeof buffer, &n, nullptr) && n > 0)
            text.append(buffer, n);
        CloseHandle(file);
        DeleteFileA(done.c_str());
        return text;
    }
    return "<no answer from: " + command + ">";
}

int OpenersOfCom(int comPort)
{
    const std::string link = TestbedUnixPath("dev/com" + std::to_string(comPort));
    // socat keeps the pty's slave open itself; count every other holder.
    const std::string socatPid = TestbedUnixPath("pids/socat-com" + std::to_string(comPort));
    const std::string out = RunUnix(
        "pts=$(readlink -f " + link + "); s=$(cat " + socatPid + "); n=0; "
        "for f in /proc/[0-9]*/fd/*; do p=${f#/proc/}; p=${p%%/*}; "
        "[ \\\"$p\\\" = \\\"$s\\\" ] && continue; "
        "[ \\\"$(readlink $f 2>/dev/null)\\\" = \\\"$pts\\\" ] && n=$((n+1)); done; echo $n");
    return std::atoi(out.c_str());
}

std::string SttyOfCom(int comPort)
{
    return RunUnix("stty -F " + TestbedUnixPath("dev/com" + std::to_string(comPort)) + " -a");
}

bool UnderWine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool ServerInOwnNetwork()
{
    // The interfaces of the server's network namespace: loopback alone means one of the run's
    // own. Anything else, an unreadable file included, counts as the machine's.
    const std::string interfaces = RunUnix("tail -n +3 /proc/$(cat " +
                                           TestbedUnixPath("pids/wineserver") +
                                           ")/net/dev | cut -d: -f1 | tr -d ' '");
    return interfaces == "lo\n";
}

uintptr_t FreshHandleValue()
{
    HANDLE probe = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    const uintptr_t value = reinterpret_cast<uintptr_t>(probe);
    CloseHandle(probe);
    return value;
}

double NowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}
