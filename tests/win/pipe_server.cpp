#include "tests/win/pipe_server.h"

namespace {

struct ClientJob {
    PipeServer *server;
    HANDLE pipe;
};

} // namespace

PipeServer::PipeServer() : stop_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

PipeServer::~PipeServer()
{
    Stop();
    CloseHandle(stop_);
}

void PipeServer::Start(const std::string &link, DWORD bufferSize)
{
    link_ = link;
    bufferSize_ = bufferSize;
    listener_ = CreateThread(nullptr, 0, ListenThread, this, 0, nullptr);
    for (int i = 0; i < 200 && !WaitNamedPipeA(link_.c_str(), 0) &&
                    GetLastError() == ERROR_FILE_NOT_FOUND;
         i++)
        Sleep(5);
}

void PipeServer::Stop()
{
    if (listener_ == nullptr)
        return;
    SetEvent(stop_);
    WaitForSingleObject(listener_, 10000);
    CloseHandle(listener_);
    listener_ = nullptr;
}

DWORD WINAPI PipeServer::ListenThread(void *self)
{
    static_cast<PipeServer *>(self)->Listen();
    return 0;
}

DWORD WINAPI PipeServer::ClientThread(void *arg)
{
    auto *job = static_cast<ClientJob *>(arg);
    job->server->ServeClient(job->pipe);
    DisconnectNamedPipe(job->pipe);
    CloseHandle(job->pipe);
    delete job;
    return 0;
}

void PipeServer::Listen()
{
    std::vector<HANDLE> clients;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE waits[2] = {event, stop_};
    for (;;) {
        HANDLE pipe = CreateNamedPipeA(link_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, bufferSize_, bufferSize_, 0,
                                       nullptr);
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
        // Let go of the threads of clients that have gone, so a long-lived server holds no more
        // handles than it has clients.
        for (size_t i = 0; i < clients.size();) {
            if (WaitForSingleObject(clients[i], 0) == WAIT_OBJECT_0) {
                CloseHandle(clients[i]);
                clients.erase(clients.begin() + (long)i);
            } else {
                i++;
            }
        }
        clients.push_back(
            CreateThread(nullptr, 0, ClientThread, new ClientJob{this, pipe}, 0, nullptr));
    }
    for (HANDLE client : clients) {
        WaitForSingleObject(client, 10000);
        CloseHandle(client);
    }
    CloseHandle(event);
}
