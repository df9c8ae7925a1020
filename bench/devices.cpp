#include "bench/devices.h"

#include <vector>

std::string WineVersion()
{
    typedef const char *(__cdecl * WineGetVersion)(void);
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    auto call = ntdll == nullptr ? nullptr
                                 : reinterpret_cast<WineGetVersion>(reinterpret_cast<void *>(
                                       GetProcAddress(ntdll, "wine_get_version")));
    return call != nullptr ? call() : "";
}

PipePrinter::PipePrinter(const std::string &link)
{
    InitializeCriticalSection(&lock_);
    answerRequest_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    answered_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    Start(link, 65536);
}

PipePrinter::~PipePrinter()
{
    Stop();
    CloseHandle(answered_);
    CloseHandle(answerRequest_);
    DeleteCriticalSection(&lock_);
}

// Keeps one read pending and writes answers in between, until the client goes or we stop.
void PipePrinter::ServeClient(HANDLE pipe)
{
    EnterCriticalSection(&lock_);
    clients_++;
    LeaveCriticalSection(&lock_);
    HANDLE readDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writeDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE waits[3] = {readDone, answerRequest_, StopEvent()};
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
