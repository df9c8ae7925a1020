// A named pipe server standing in for a device. One instance always listens, so the device opens
// again right after a close, as a real one does; each client is served on a thread of its own.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>
#include <vector>

class PipeServer {
public:
    virtual ~PipeServer();
    PipeServer(const PipeServer &) = delete;
    PipeServer &operator=(const PipeServer &) = delete;

protected:
    PipeServer();
    // Starts listening; call at the end of the derived constructor. Returns once the pipe exists.
    void Start(const std::string &link, DWORD bufferSize);
    // Stops listening and waits for every client; call first in the derived destructor, since
    // client threads run ServeClient. Safe to call more than once.
    void Stop();
    // Set when the server stops: ServeClient returns when it sees it.
    HANDLE StopEvent() const { return stop_; }
    // Serves one connected client until it goes or the server stops; the pipe is closed after.
    virtual void ServeClient(HANDLE pipe) = 0;

private:
    static DWORD WINAPI ListenThread(void *self);
    static DWORD WINAPI ClientThread(void *job);
    void Listen();

    std::string link_;
    DWORD bufferSize_ = 0;
    HANDLE stop_ = nullptr, listener_ = nullptr;
};
