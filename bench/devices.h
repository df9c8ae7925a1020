// The bench's own printer: a named pipe that stands in for a USB printer, drains what it is sent
// without keeping it and writes answers on request at a chosen moment. The registry entries, the
// clock and the library binding are the test bed's. No test framework is linked.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "tests/win/pipe_server.h"
#include "tests/win/testbed.h"
#include "tests/win/usb_sim.h"

// The Wine version the figures were taken on ("" outside Wine).
std::string WineVersion();

// A printer behind a named pipe. Each client is served on a thread of its own: whatever the
// client writes is read and counted; an answer is written to the client on request.
class PipePrinter : public PipeServer {
public:
    explicit PipePrinter(const std::string &link);
    ~PipePrinter() override;

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
    void ServeClient(HANDLE pipe) override;

    CRITICAL_SECTION lock_;
    HANDLE answerRequest_ = nullptr, answered_ = nullptr; // auto-reset
    std::string answer_;
    double answerDue_ = 0, answerWritten_ = 0;
    long long drained_ = 0;
    int clients_ = 0;
};

// Opens a pipe device the raw way: overlapped, after waiting for a free instance.
HANDLE OpenPipeRaw(const std::string &link);
