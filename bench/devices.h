// The bench's own devices: a named pipe that stands in for a USB printer (it drains what it is
// sent and writes answers on request, at a chosen moment), the registry entries that make the
// library find it, and a clock. No test framework is linked.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "include/norvat.h"

// Milliseconds since an arbitrary start (performance counter).
double NowMs();

// Whether we run under Wine; the registry is only ever written there.
bool UnderWine();
std::string WineVersion();

// The library bound by name, as a host that uses GetProcAddress does.
struct NorvatLib {
    HMODULE module = nullptr;
    decltype(&::OpenUSB) OpenUSB = nullptr;
    decltype(&::FindFirstUSB) FindFirstUSB = nullptr;
    decltype(&::FindNextUSB) FindNextUSB = nullptr;
    decltype(&::closeport) closeport = nullptr;
    decltype(&::sendbuf) sendbuf = nullptr;
    decltype(&::sendcommand) sendcommand = nullptr;
    decltype(&::RcvBuf) RcvBuf = nullptr;

    bool Load();
    void Unload();
};

// USB printer interface entries in HKLM, written the way the test bed writes them.
namespace PrinterRegistry {
extern const char kClassKey[];
std::string Link(const std::string &vidPid, const std::string &serial); // a pipe device link
// Writes entry `subkey` (live, with a description). Refuses (false) outside Wine.
bool Write(const std::string &subkey, const std::string &link, const std::string &description);
bool Clear(); // removes the whole class key; refuses outside Wine
} // namespace PrinterRegistry

// A printer behind a named pipe. Each client is served on a thread of its own: whatever the
// client writes is read and counted; an answer is written to the client on request.
class PipePrinter {
public:
    explicit PipePrinter(const std::string &link);
    ~PipePrinter();
    PipePrinter(const PipePrinter &) = delete;
    PipePrinter &operator=(const PipePrinter &) = delete;

    // Bytes read from all clients so far.
    long long Drained();
    bool WaitDrained(long long total, DWORD ms);
    // Number of clients being served; answers need exactly one.
    int Clients();
    bool WaitClients(int count, DWORD ms);

    // Has the one connected client receive `bytes`, written `delayMs` after `requestedAt`
    // (NowMs() time). Returns at once; WaitAnswered then says when it was written.
    void Answer(const std::string &bytes, double requestedAt, double delayMs);
    // Waits until the last answer is in the pipe; its NowMs() write time in *writtenAt.
    bool WaitAnswered(DWORD ms, double *writtenAt);

private:
    static DWORD WINAPI ListenThread(void *self);
    static DWORD WINAPI ClientThread(void *job);
    void Listen();
    void Serve(HANDLE pipe);

    std::string link_;
    CRITICAL_SECTION lock_;
    HANDLE stop_ = nullptr, listener_ = nullptr;
    HANDLE answerRequest_ = nullptr, answered_ = nullptr; // auto-reset
    std::string answer_;
    double answerDue_ = 0, answerWritten_ = 0;
    long long drained_ = 0;
    int clients_ = 0;
};

// Opens a pipe device the raw way: overlapped, after waiting for a free instance.
HANDLE OpenPipeRaw(const std::string &link);
