#include "bench/devices.h"

#include <vector>

double NowMs()
{
    static const LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * (double)now.QuadPart / (double)frequency.QuadPart;
}

namespace {

typedef const char *(__cdecl *WineGetVersion)(void);

WineGetVersion WineVersionCall()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr)
        return nullptr;
    return reinterpret_cast<WineGetVersion>(
        reinterpret_cast<void *>(GetProcAddress(ntdll, "wine_get_version")));
}

template <typename T> bool Bind(HMODULE module, const char *name, T &fn)
{
    fn = reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(module, name)));
    return fn != nullptr;
}

bool SetValue(const std::string &path, const char *name, DWORD type, const void *data, DWORD size)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    const LONG status = RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool SetText(const std::string &path, const char *name, const std::string &text)
{
    return SetValue(path, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}

struct ClientJob {
    PipePrinter *printer;
    HANDLE pipe;
};

} // namespace

bool UnderWine()
{
    return WineVersionCall() != nullptr;
}

std::string WineVersion()
{
    WineGetVersion call = WineVersionCall();
    return call != nullptr ? call() : "";
}

bool NorvatLib::Load()
{
    module = LoadLibraryA("Norvat.dll");
    if (module == nullptr)
        return false;
    return Bind(module, "OpenUSB", OpenUSB) && Bind(module, "FindFirstUSB", FindFirstUSB) &&
           Bind(module, "FindNextUSB", FindNextUSB) && Bind(module, "closeport", closeport) &&
           Bind(module, "sendbuf", sendbuf) && Bind(module, "sendcommand", sendcommand) &&
           Bind(module, "RcvBuf", RcvBuf);
}

void NorvatLib::Unload()
{
    if (module != nullptr)
        FreeLibrary(module);
    module = nullptr;
}

const char PrinterRegistry::kClassKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string PrinterRegistry::Link(const std::string &vidPid, const std::string &serial)
{
    return "\\\\.\\pipe\\USB#" + vidPid + "#" + serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

bool PrinterRegistry::Write(const std::string &subkey, const std::string &link,
                            const std::string &description)
{
    if (!UnderWine())
        return false;
    const std::string base = std::string(kClassKey) + "\\" + subkey + "\\#";
    const DWORD linked = 1;
    return SetText(base, "SymbolicLink", link) &&
           SetValue(base + "\\Control", "Linked", REG_DWORD, &linked, sizeof linked) &&
           SetText(base + "\\Device Parameters", "Port Description", description);
}

bool PrinterRegistry::Clear()
{
    if (!UnderWine())
        return false;
    const LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kClassKey);
    if (status == ERROR_SUCCESS)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kClassKey);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

PipePrinter::PipePrinter(const std::string &link) : link_(link)
{
    InitializeCriticalSection(&lock_);
    stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    answerRequest_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    answered_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    listener_ = CreateThread(nullptr, 0, ListenThread, this, 0, nullptr);
    for (int i = 0;
         i < 200 && !WaitNamedPipeA(link_.c_str(), 0) && GetLastError() == ERROR_FILE_NOT_FOUND;
         i++)
        Sleep(5);
}

PipePrinter::~PipePrinter()
{
    SetEvent(stop_);
    WaitForSingleObject(listener_, 10000);
    CloseHandle(listener_);
    CloseHandle(answered_);
    CloseHandle(answerRequest_);
    CloseHandle(stop_);
    DeleteCriticalSection(&lock_);
}

DWORD WINAPI PipePrinter::ListenThread(void *self)
{
    static_cast<PipePrinter *>(self)->Listen();
    return 0;
}

DWORD WINAPI PipePrinter::ClientThread(void *arg)
{
    auto *job = static_cast<ClientJob *>(arg);
    job->printer->Serve(job->pipe);
    CloseHandle(job->pipe);
    delete job;
    return 0;
}

// One instance always listens, so the device opens again right after a close.
void PipePrinter::Listen()
{
    std::vector<HANDLE> threads;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE waits[2] = {event, stop_};
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(link_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            break;
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        bool connected = ConnectNamedPipe(pipe, &ov) || GetLastError() == ERROR_PIPE_CONNECTED;
        if (!connected && GetLastError() == ERROR_IO_PENDING) {
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, INFINITE);
            if (woke != WAIT_OBJECT_0)
                CancelIo(pipe);
            DWORD ignored = 0;
            connected = GetOverlappedResult(pipe, &ov, &ignored, TRUE) && woke == WAIT_OBJECT_0;
        }
        if (!connected) {
            CloseHandle(pipe);
            if (WaitForSingleObject(stop_, 0) == WAIT_OBJECT_0)
                break;
            continue;
        }
        EnterCriticalSection(&lock_);
        clients_++;
        LeaveCriticalSection(&lock_);
        threads.push_back(
            CreateThread(nullptr, 0, ClientThread, new ClientJob{this, pipe}, 0, nullptr));
    }
    for (HANDLE thread : threads) {
        WaitForSingleObject(thread, 10000);
        CloseHandle(thread);
    }
    CloseHandle(event);
}

// Keeps one read pending and writes answers in between, until the client goes or we stop.
void PipePrinter::Serve(HANDLE pipe)
{
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE waits[3] = {readDone, answerRequest_, stop_};
    std::vector<char> buffer(65536);
    OVERLAPPED rov = {};
    bool reading = false;
    for (;;) {
        if (!reading) {
            rov = OVERLAPPED{};
            rov.hEvent = readDone;
            ResetEvent(readDone);
            DWORD n = 0;
            if (ReadFile(pipe, buffer.data(), (DWORD)buffer.size(), &n, &rov)) {
                EnterCriticalSection(&lock_);
                drained_ += n;
                LeaveCriticalSection(&lock_);
                continue;
            }
            if (GetLastError() != ERROR_IO_PENDING)
                break; // the client closed its end
            reading = true;
        }
        const DWORD woke = WaitForMultipleObjects(3, waits, FALSE, INFINITE);
        if (woke == WAIT_OBJECT_0) {
            DWORD n = 0;
            reading = false;
            if (!GetOverlappedResult(pipe, &rov, &n, FALSE))
                break;
            EnterCriticalSection(&lock_);
            drained_ += n;
            LeaveCriticalSection(&lock_);
        } else if (woke == WAIT_OBJECT_0 + 1) {
            EnterCriticalSection(&lock_);
            const std::string bytes = answer_;
            const double due = answerDue_;
            LeaveCriticalSection(&lock_);
            // Sleep most of the way, then spin: the answer lands within a few microseconds of
            // its due time instead of a scheduler tick later.
            const double left = due - NowMs();
            if (left > 1.5)
                Sleep((DWORD)(left - 1.0));
            while (NowMs() < due) {
            }
            OVERLAPPED wov = {};
            wov.hEvent = writeDone;
            ResetEvent(writeDone);
            DWORD written = 0;
            if (!WriteFile(pipe, bytes.data(), (DWORD)bytes.size(), &written, &wov) &&
                GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(pipe, &wov, &written, TRUE);
            EnterCriticalSection(&lock_);
            answerWritten_ = NowMs();
            LeaveCriticalSection(&lock_);
            SetEvent(answered_);
        } else {
            break;
        }
    }
    if (reading) {
        CancelIo(pipe);
        DWORD n = 0;
        GetOverlappedResult(pipe, &rov, &n, TRUE);
    }
    DisconnectNamedPipe(pipe);
    EnterCriticalSection(&lock_);
    clients_--;
    LeaveCriticalSection(&lock_);
    CloseHandle(writeDone);
    CloseHandle(readDone);
}

long long PipePrinter::Drained()
{
    EnterCriticalSection(&lock_);
    const long long n = drained_;
    LeaveCriticalSection(&lock_);
    return n;
}

bool PipePrinter::WaitDrained(long long total, DWORD ms)
{
    const double deadline = NowMs() + ms;
    while (Drained() < total) {
        if (NowMs() > deadline)
            return false;
        Sleep(1);
    }
    return Drained() == total;
}

int PipePrinter::Clients()
{
    EnterCriticalSection(&lock_);
    const int n = clients_;
    LeaveCriticalSection(&lock_);
    return n;
}

bool PipePrinter::WaitClients(int count, DWORD ms)
{
    const double deadline = NowMs() + ms;
    while (Clients() != count) {
        if (NowMs() > deadline)
            return false;
        Sleep(1);
    }
    return true;
}

void PipePrinter::Answer(const std::string &bytes, double requestedAt, double delayMs)
{
    EnterCriticalSection(&lock_);
    answer_ = bytes;
    answerDue_ = requestedAt + delayMs;
    LeaveCriticalSection(&lock_);
    ResetEvent(answered_);
    SetEvent(answerRequest_);
}

bool PipePrinter::WaitAnswered(DWORD ms, double *writtenAt)
{
    if (WaitForSingleObject(answered_, ms) != WAIT_OBJECT_0)
        return false;
    EnterCriticalSection(&lock_);
    *writtenAt = answerWritten_;
    LeaveCriticalSection(&lock_);
    return true;
}

HANDLE OpenPipeRaw(const std::string &link)
{
    WaitNamedPipeA(link.c_str(), 2000);
    HANDLE pipe = CreateFileA(link.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    return pipe == INVALID_HANDLE_VALUE ? nullptr : pipe;
}
