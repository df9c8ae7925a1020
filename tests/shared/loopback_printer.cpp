#include "tests/shared/loopback_printer.h"

#include <chrono>

// The few calls that differ between Winsock and the BSD sockets it copies.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
typedef SOCKET Socket;
const Socket kNoSocket = INVALID_SOCKET;
static int CloseSocket(Socket s) { return closesocket(s); }
static int PollSockets(WSAPOLLFD *fds, int n, int ms) { return WSAPoll(fds, (ULONG)n, ms); }
static bool StartSockets()
{
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
typedef WSAPOLLFD PollEntry;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
typedef int Socket;
const Socket kNoSocket = -1;
static int CloseSocket(Socket s) { return close(s); }
static int PollSockets(struct pollfd *fds, int n, int ms) { return poll(fds, (nfds_t)n, ms); }
static bool StartSockets() { return true; }
typedef struct pollfd PollEntry;
#endif

namespace {

double Now()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A listener on one loopback address at port (0: any free one); kNoSocket when it cannot be.
Socket Listen(int family, int port)
{
    Socket s = socket(family, SOCK_STREAM, 0);
    if (s == kNoSocket)
        return kNoSocket;
    const int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, (const char *)&on, sizeof on);
    sockaddr_storage address = {};
    socklen_t size;
    if (family == AF_INET) {
        auto *v4 = (sockaddr_in *)&address;
        v4->sin_family = AF_INET;
        v4->sin_port = htons((unsigned short)port);
        inet_pton(AF_INET, "127.0.0.1", &v4->sin_addr);
        size = sizeof *v4;
    } else {
        auto *v6 = (sockaddr_in6 *)&address;
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons((unsigned short)port);
        inet_pton(AF_INET6, "::1", &v6->sin6_addr);
        size = sizeof *v6;
        setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, (const char *)&on, sizeof on);
    }
    if (bind(s, (sockaddr *)&address, size) != 0 || listen(s, 4) != 0) {
        CloseSocket(s);
        return kNoSocket;
    }
    return s;
}

int PortOf(Socket s)
{
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    getsockname(s, (sockaddr *)&address, &size);
    return ntohs(address.sin_port);
}

} // namespace

LoopbackPrinter::LoopbackPrinter(int port)
{
    if (!StartSockets())
        return;
    const Socket v4 = Listen(AF_INET, port);
    if (v4 == kNoSocket)
        return;
    const int bound = PortOf(v4);
    const Socket v6 = Listen(AF_INET6, bound);
    listeners_[0] = (intptr_t)v4;
    listeners_[1] = (intptr_t)v6;
    if (v6 == kNoSocket)
        return; // no ::1 here: not a printer the tests can use
    port_ = bound;
    thread_ = std::thread([this] { Run(); });
}

LoopbackPrinter::~LoopbackPrinter()
{
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    for (intptr_t s : listeners_)
        if ((Socket)s != kNoSocket)
            CloseSocket((Socket)s);
}

std::string LoopbackPrinter::Address() const
{
    return "tcp://127.0.0.1:" + std::to_string(port_);
}

void LoopbackPrinter::Run()
{
    Socket client = kNoSocket;
    std::string line;
    while (!stop_) {
        PollEntry fds[3] = {};
        int n = 0;
        for (intptr_t s : listeners_) {
            fds[n].fd = (Socket)s;
            fds[n++].events = POLLIN;
        }
        if (client != kNoSocket) {
            fds[n].fd = client;
            fds[n++].events = POLLIN;
        }
        PollSockets(fds, n, 5);
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (client != kNoSocket && !outgoing_.empty())
                send(client, outgoing_.data(), (int)outgoing_.size(), 0);
            outgoing_.clear();
        }
        const int drop = client != kNoSocket ? drop_.exchange(0) : 0;
        if (drop != 0) {
            const linger abort = {1, 0}; // close with RST
            if (drop == kDropReset)
                setsockopt(client, SOL_SOCKET, SO_LINGER, (const char *)&abort, sizeof abort);
            CloseSocket(client);
            client = kNoSocket;
            std::lock_guard<std::mutex> guard(lock_);
            connected_ = false;
            continue;
        }
        for (int i = 0; i < 2; i++) {
            if (!(fds[i].revents & POLLIN) || client != kNoSocket)
                continue;
            client = accept(fds[i].fd, nullptr, nullptr);
            line.clear();
            std::lock_guard<std::mutex> guard(lock_);
            connections_++;
            connected_ = client != kNoSocket;
        }
        if (n < 3 || !(fds[2].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        char buffer[65536];
        if (slow_)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int got = (int)recv(client, buffer, slow_ ? 4096 : sizeof buffer, 0);
        if (got <= 0) {
            CloseSocket(client);
            client = kNoSocket;
            std::lock_guard<std::mutex> guard(lock_);
            connected_ = false;
            continue;
        }
        std::vector<Rule> answers;
        {
            std::lock_guard<std::mutex> guard(lock_);
            received_.append(buffer, (size_t)got);
            if (!rules_.empty())
                unanswered_.append(buffer, (size_t)got);
            for (bool found = true; found;) {
                found = false;
                for (const Rule &rule : rules_) {
                    const size_t at = unanswered_.find(rule.written);
                    if (at == std::string::npos)
                        continue;
                    unanswered_.erase(0, at + rule.written.size());
                    answers.push_back(rule);
                    found = true;
                }
            }
        }
        for (const Rule &rule : answers) {
            std::this_thread::sleep_for(std::chrono::milliseconds(rule.delayMs));
            send(client, rule.answer.data(), (int)rule.answer.size(), 0);
        }
        line.append(buffer, (size_t)got);
        for (size_t end; (end = line.find("\r\n")) != std::string::npos; line.erase(0, end + 2)) {
            const std::string answer = "NET:" + line.substr(0, end) + "\r\n";
            send(client, answer.data(), (int)answer.size(), 0);
        }
        if (line.size() > 4096)
            line.clear(); // raw data, not a command
    }
    if (client != kNoSocket)
        CloseSocket(client);
}

std::string LoopbackPrinter::Received()
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

bool LoopbackPrinter::WaitForBytes(size_t count, int ms)
{
    const double deadline = Now() + ms;
    while (Received().size() < count) {
        if (Now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

int LoopbackPrinter::Connections()
{
    std::lock_guard<std::mutex> guard(lock_);
    return connections_;
}

bool LoopbackPrinter::WaitDisconnected(int ms)
{
    const double deadline = Now() + ms;
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!connected_)
                return true;
        }
        if (Now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void LoopbackPrinter::SetSlow(bool slow)
{
    slow_ = slow;
}

void LoopbackPrinter::Reset(bool reset)
{
    drop_ = reset ? kDropReset : kDropClose;
    const double deadline = Now() + 2000;
    while (drop_ != 0 && Now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

void LoopbackPrinter::Send(const std::string &bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    outgoing_ += bytes;
}

void LoopbackPrinter::AnswerWhen(const std::string &written, const std::string &answer,
                                 int delayMs)
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.push_back({written, answer, delayMs});
}

void LoopbackPrinter::ClearAnswers()
{
    std::lock_guard<std::mutex> guard(lock_);
    rules_.clear();
    unanswered_.clear();
}
