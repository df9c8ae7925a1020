// The Windows bench's network printer part: Norvat.dll against a raw Winsock send loop on the
// same loopback printer, a thread that takes every connection and drains what comes.
#include "bench/network.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "tests/win/testbed.h"

namespace {

const int kSendbufBytes = 1 << 20;
const int kRuns = 51;
const int kSmallBytes = 40;
const int kSmallRuns = 200;
const int kCommandLength = 64;
const DWORD kSioTcpInfo = 0xD8000027; // SIO_TCP_INFO

class DrainingPrinter {
public:
    DrainingPrinter()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int size = sizeof address;
        if (listener_ == INVALID_SOCKET || bind(listener_, (sockaddr *)&address, size) != 0 ||
            listen(listener_, 4) != 0 || getsockname(listener_, (sockaddr *)&address, &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~DrainingPrinter()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        closesocket(listener_);
    }
    int Port() const { return port_; }
    long long Drained() const { return drained_; }

private:
    void Run()
    {
        std::vector<WSAPOLLFD> fds = {{listener_, POLLRDNORM, 0}};
        static char buffer[65536];
        while (!stop_) {
            if (WSAPoll(fds.data(), (ULONG)fds.size(), 20) <= 0)
                continue;
            for (size_t i = 1; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLRDNORM | POLLHUP | POLLERR)))
                    continue;
                const int n = recv(fds[i].fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    drained_ += n;
                } else {
                    closesocket(fds[i].fd);
                    fds.erase(fds.begin() + (long)i--);
                }
            }
            if (fds[0].revents & POLLRDNORM) {
                const SOCKET client = accept(listener_, nullptr, nullptr);
                if (client != INVALID_SOCKET)
                    fds.push_back({client, POLLRDNORM, 0});
            }
        }
        for (size_t i = 1; i < fds.size(); i++)
            closesocket(fds[i].fd);
    }
    SOCKET listener_ = INVALID_SOCKET;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> drained_{0};
};

// BytesOut - BytesInFlight of SIO_TCP_INFO version 0, or false where it is not reported.
bool Acknowledged(SOCKET s, unsigned long long *acknowledged)
{
    DWORD version = 0, size = 0;
    unsigned char info[128] = {};
    if (WSAIoctl(s, kSioTcpInfo, &version, sizeof version, info, sizeof info, &size, nullptr,
                 nullptr) != 0)
        return false;
    ULONG inFlight;
    unsigned long long out;
    memcpy(&inFlight, info + 28, sizeof inFlight); // after State, Mss, ConnectionTimeMs, ...
    memcpy(&out, info + 48, sizeof out);
    *acknowledged = out - inFlight;
    return true;
}

// The raw way to what the library promises: a non-blocking send loop, then, where the platform
// reports it, spinning until the printer acknowledged every byte.
bool RawSend(SOCKET s, const char *data, int count)
{
    unsigned long long before = 0, now = 0;
    const bool tells = Acknowledged(s, &before);
    for (int done = 0; done < count;) {
        const int n = send(s, data + done, count - done, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (WSAGetLastError() != WSAEWOULDBLOCK)
            return false;
        fd_set room;
        FD_ZERO(&room);
        FD_SET(s, &room);
        timeval wait = {1, 0};
        select(0, nullptr, &room, nullptr, &wait);
    }
    while (tells && Acknowledged(s, &now) && now - before < (unsigned long long)count)
        SwitchToThread();
    return true;
}

double MedianOf(std::vector<double> v)
{
    return Summarize(std::move(v)).median;
}

} // namespace

void BenchNetworkPrinter(Figures &f, Norvat &lib)
{
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        f.networkSkipped = "Winsock would not start";
        return;
    }
    DrainingPrinter printer;
    const SOCKET raw = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)printer.Port());
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const BOOL on = TRUE;
    u_long nonBlocking = 1;
    const std::string address = "tcp://127.0.0.1:" + std::to_string(printer.Port());
    if (printer.Port() == 0 || raw == INVALID_SOCKET || connect(raw, (sockaddr *)&to, sizeof to) != 0 ||
        lib.OpenUSB(address.c_str()) != 1) {
        f.networkSkipped = "no loopback printer at " + address;
        return;
    }
    setsockopt(raw, IPPROTO_TCP, TCP_NODELAY, (const char *)&on, sizeof on);
    ioctlsocket(raw, FIONBIO, &nonBlocking);
    unsigned long long probe;
    NetworkFigures &n = f.network;
    n.runs = kRuns;
    n.smallBytes = kSmallBytes;
    n.textLength = kCommandLength;
    n.acknowledged = Acknowledged(raw, &probe);

    std::vector<char> block(kSendbufBytes);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 131 + 7);
    std::string text;
    for (int i = 0; i < kCommandLength; i++)
        text += (char)('A' + i % 26);
    const std::string wire = text + "\r\n";
    bool ok = true;
    long long expected = 0;
    // Pairs interleave, the order swapped every pair.
    auto pairs = [&](int runs, auto library, auto rawSide, int bytes, std::vector<double> &mine,
                     std::vector<double> &theirs) {
        for (int run = 0; run < runs; run++) {
            for (int side = 0; side < 2; side++) {
                const bool ours = (side == 0) == (run % 2 == 0);
                const double start = NowMs();
                ok = (ours ? library() : rawSide()) && ok;
                (ours ? mine : theirs).push_back(NowMs() - start);
                expected += bytes;
                // Untimed: the next write starts on an idle connection, whatever the last one
                // left queued where the platform reports no acknowledgements.
                for (const double until = NowMs() + 2000;
                     printer.Drained() < expected && NowMs() < until;)
                    SwitchToThread();
            }
        }
    };
    std::vector<double> bigLib, bigRaw, smallLib, smallRaw, cmdLib, cmdRaw;
    pairs(kRuns, [&] { return lib.sendbuf(block.data(), kSendbufBytes) == kSendbufBytes; },
          [&] { return RawSend(raw, block.data(), kSendbufBytes); }, kSendbufBytes, bigLib, bigRaw);
    pairs(kSmallRuns, [&] { return lib.sendbuf(block.data(), kSmallBytes) == kSmallBytes; },
          [&] { return RawSend(raw, block.data(), kSmallBytes); }, kSmallBytes, smallLib, smallRaw);
    pairs(kSmallRuns, [&] { return lib.sendcommand(text.c_str()) == 1; },
          [&] { return RawSend(raw, wire.data(), (int)wire.size()); }, (int)wire.size(), cmdLib,
          cmdRaw);
    lib.closeport();
    closesocket(raw);
    for (int i = 0; i < 500 && printer.Drained() < expected; i++)
        Sleep(2);
    n.allArrived = ok && printer.Drained() == expected;
    const double mib = kSendbufBytes / 1048576.0;
    n.libraryMiBs = mib / (MedianOf(bigLib) / 1000);
    n.rawMiBs = mib / (MedianOf(bigRaw) / 1000);
    n.ratio = n.libraryMiBs / n.rawMiBs;
    n.smallLibraryUs = 1000 * MedianOf(smallLib);
    n.smallRawUs = 1000 * MedianOf(smallRaw);
    n.commandLibraryUs = 1000 * MedianOf(cmdLib);
    n.commandRawUs = 1000 * MedianOf(cmdRaw);
}
