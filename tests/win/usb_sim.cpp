#include "tests/win/usb_sim.h"

#include "tests/win/testbed.h"

const char kPrintInterfaceClass[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string PipeLink(const std::string &vidPid, const std::string &serial)
{
    return "\\\\.\\pipe\\USB#" + vidPid + "#" + serial + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
}

namespace {

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

bool SetText(const std::string &path, const char *name, const std::string &text, bool raw)
{
    // Raw: the bytes alone, as a driver may store them, with no terminator.
    if (raw)
        return SetValue(path, name, REG_BINARY, text.data(), (DWORD)text.size());
    return SetValue(path, name, REG_SZ, text.c_str(), (DWORD)text.size() + 1);
}

} // namespace

bool UsbRegistry::Clear()
{
    if (!UnderWine())
        return false;
    const LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, kPrintInterfaceClass);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

bool UsbRegistry::Write(const UsbEntry &entry)
{
    if (!UnderWine() || !Remove(entry.subkey))
        return false;
    const std::string base = std::string(kPrintInterfaceClass) + "\\" + entry.subkey + "\\#";
    bool ok = SetText(base, "SymbolicLink", entry.link, entry.rawValues);
    if (entry.linked >= 0) {
        const DWORD linked = (DWORD)entry.linked;
        ok = ok && SetValue(base + "\\Control", "Linked", REG_DWORD, &linked, sizeof linked);
    } else {
        HKEY key = nullptr; // the Control key exists, its value does not
        ok = ok && RegCreateKeyExA(HKEY_LOCAL_MACHINE, (base + "\\Control").c_str(), 0, nullptr, 0,
                                   KEY_ALL_ACCESS, nullptr, &key, nullptr) == ERROR_SUCCESS;
        if (key)
            RegCloseKey(key);
    }
    if (entry.hasDescription)
        ok = ok && SetText(base + "\\Device Parameters", "Port Description", entry.description,
                           entry.rawValues);
    return ok;
}

bool UsbRegistry::Remove(const std::string &subkey)
{
    if (!UnderWine())
        return false;
    const std::string path = std::string(kPrintInterfaceClass) + "\\" + subkey;
    const LONG status = RegDeleteTreeA(HKEY_LOCAL_MACHINE, path.c_str());
    if (status == ERROR_SUCCESS)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

SimulatedPrinter::SimulatedPrinter(const std::string &link, const std::string &serial,
                                   DWORD paceMs)
    : serial_(serial), paceMs_(paceMs)
{
    InitializeCriticalSection(&lock_);
    Start(link, paceMs > 0 ? 0 : 4096);
}

SimulatedPrinter::~SimulatedPrinter()
{
    Stop();
    DeleteCriticalSection(&lock_);
}

void SimulatedPrinter::Vanish()
{
    Stop();
}

// Serves one client until it closes its end or the printer vanishes.
void SimulatedPrinter::ServeClient(HANDLE pipe)
{
    EnterCriticalSection(&lock_);
    active_++;
    connections_++;
    LeaveCriticalSection(&lock_);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE waits[2] = {event, StopEvent()};
    std::string line;
    for (;;) {
        char buffer[4096];
        EnterCriticalSection(&lock_);
        const size_t allowed = received_.size() < readLimit_ ? readLimit_ - received_.size() : 0;
        const bool reading = reading_ && allowed > 0;
        LeaveCriticalSection(&lock_);
        if (!reading) {
            if (WaitForSingleObject(StopEvent(), 10) == WAIT_OBJECT_0)
                break;
            continue;
        }
        DWORD n = 0;
        OVERLAPPED ov = {};
        ov.hEvent = event;
        ResetEvent(event);
        DWORD want = (DWORD)(allowed < sizeof buffer ? allowed : sizeof buffer);
        if (paceMs_ > 0) {
            Sleep(paceMs_);
            want = 1;
        }
        if (!ReadFile(pipe, buffer, want, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING)
                break; // the client closed its end
            // Short waits, so a change to reading_ or a stop is seen promptly.
            const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, 50);
            if (woke != WAIT_OBJECT_0)
                CancelIo(pipe);
            const BOOL ok = GetOverlappedResult(pipe, &ov, &n, TRUE);
            if (woke == WAIT_OBJECT_0 + 1)
                break;
            if (!ok && GetLastError() != ERROR_OPERATION_ABORTED)
                break;
        }
        EnterCriticalSection(&lock_);
        received_.append(buffer, n);
        LeaveCriticalSection(&lock_);
        line.append(buffer, n);
        for (size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2)) {
            const std::string answer = serial_ + ":" + line.substr(0, end) + "\r\n";
            OVERLAPPED wov = {};
            wov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            DWORD written = 0;
            if (!WriteFile(pipe, answer.data(), (DWORD)answer.size(), &written, &wov) &&
                GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(pipe, &wov, &written, TRUE);
            CloseHandle(wov.hEvent);
        }
    }
    EnterCriticalSection(&lock_);
    active_--;
    LeaveCriticalSection(&lock_);
    CloseHandle(event);
}

std::string SimulatedPrinter::Received()
{
    EnterCriticalSection(&lock_);
    std::string copy = received_;
    LeaveCriticalSection(&lock_);
    return copy;
}

bool SimulatedPrinter::WaitForBytes(size_t count, DWORD ms)
{
    const double deadline = NowMs() + ms;
    while (Received().size() < count) {
        if (NowMs() > deadline)
            return false;
        Sleep(5);
    }
    return true;
}

bool SimulatedPrinter::Connected()
{
    EnterCriticalSection(&lock_);
    const bool connected = active_ > 0;
    LeaveCriticalSection(&lock_);
    return connected;
}

int SimulatedPrinter::Connections()
{
    EnterCriticalSection(&lock_);
    const int n = connections_;
    LeaveCriticalSection(&lock_);
    return n;
}

bool SimulatedPrinter::WaitDisconnected(DWORD ms)
{
    const double deadline = NowMs() + ms;
    while (Connected()) {
        if (NowMs() > deadline)
            return false;
        Sleep(5);
    }
    return true;
}

void SimulatedPrinter::SetReading(bool reading)
{
    EnterCriticalSection(&lock_);
    reading_ = reading;
    readLimit_ = (size_t)-1;
    LeaveCriticalSection(&lock_);
}

void SimulatedPrinter::StallAfter(size_t total)
{
    EnterCriticalSection(&lock_);
    readLimit_ = total;
    LeaveCriticalSection(&lock_);
}
