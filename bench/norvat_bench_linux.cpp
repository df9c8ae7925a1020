// norvat_bench (Linux): libNorvat.so against raw system calls on the same pseudo-terminal, in one
// run. The library opens the pty's slave by its /dev/pts path, as a host reaches any device node;
// a thread on the master stands in for the printer.
//   norvat_bench [--json FILE]
// Prints a table, and writes the same figures as JSON when asked.
#include "bench/figures.h"
#include "bench/handles.h"
#include "tests/linux/own_network.h"

#include <arpa/inet.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

double NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

namespace {

const int kSendbufBytes = 1 << 20;
const int kSendbufRuns = 101;
const int kCommandLength = 64;
const int kCommands = 200;
const int kReadCalls = 200;
const double kLateAnswerMs = 5.0;
const double kReadTargetMs = 20.0; // a late answer is seen within about one 15 ms poll
const double kCommandOverheadTarget = 1.10;
const int kNetSendbufRuns = 51;
const int kSmallWrite = 40;
const int kSmallWrites = 200;

struct Library : NorvatExports {
    void *module = nullptr;

    bool Load()
    {
        module = dlopen(NORVAT_LIBRARY, RTLD_NOW);
        return module != nullptr &&
               BindAll([this](const char *name) { return dlsym(module, name); });
    }
};

// A pseudo-terminal whose master a thread drains and counts, in raw mode on both sides.
class Pty {
public:
    Pty()
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        path_ = ptsname(master_);
        struct termios t;
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        // The slave stays open here too, so it keeps its settings between the library's opens.
        slave_ = open(path_.c_str(), O_RDWR | O_NOCTTY);
        tcgetattr(slave_, &t);
        cfmakeraw(&t);
        tcsetattr(slave_, TCSANOW, &t);
    }
    ~Pty()
    {
        StopDraining();
        close(slave_);
        close(master_);
    }
    bool Ready() const { return master_ >= 0 && slave_ >= 0; }
    const std::string &Path() const { return path_; }
    int Master() const { return master_; }

    // Drains what comes at once; paced, takes one byte paceMs after the one before, as the
    // Windows test bed's paced printer does.
    void StartDraining(int paceMs = 0)
    {
        stop_ = false;
        drainer_ = std::thread([this, paceMs] {
            char buffer[65536];
            while (!stop_) {
                struct pollfd ready = {master_, POLLIN, 0};
                if (poll(&ready, 1, 20) > 0 && (ready.revents & POLLIN)) {
                    if (paceMs > 0)
                        usleep((useconds_t)paceMs * 1000);
                    const ssize_t n = read(master_, buffer, paceMs > 0 ? 1 : sizeof buffer);
                    if (n > 0) {
                        lastAt_ = NowMs(); // stored first: WaitTaken reads the count first
                        drained_ += n;
                    }
                }
            }
        });
    }
    void StopDraining()
    {
        stop_ = true;
        if (drainer_.joinable())
            drainer_.join();
    }
    bool WaitDrained(long long total, int ms)
    {
        const double deadline = NowMs() + ms;
        while (drained_ < total && NowMs() < deadline)
            usleep(1000);
        return drained_ >= total;
    }
    long long Drained() const { return drained_; }
    // When the device took its total-th byte (NowMs()); -1 when it did not within ms.
    double WaitTaken(long long total, int ms)
    {
        return WaitDrained(total, ms) && drained_ == total ? lastAt_.load() : -1;
    }

private:
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::thread drainer_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> drained_{0};
    std::atomic<double> lastAt_{0};
};

// All of data through one non-blocking descriptor, waiting for room as the library does.
bool RawWrite(int fd, const char *data, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = write(fd, data + done, count - done);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        struct pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, 1000);
    }
    return true;
}

// A network printer on 127.0.0.1 that takes every connection and drains what comes, counting it.
class NetPrinter {
public:
    NetPrinter()
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (listener_ < 0 || bind(listener_, (struct sockaddr *)&address, size) != 0 ||
            listen(listener_, 4) != 0 ||
            getsockname(listener_, (struct sockaddr *)&address, &size) != 0)
            return;
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~NetPrinter()
    {
        stop_ = true;
        if (thread_.joinable())
            thread_.join();
        close(listener_);
    }
    int Port() const { return port_; }
    long long Drained() const { return drained_; }

private:
    void Run()
    {
        std::vector<struct pollfd> fds = {{listener_, POLLIN, 0}};
        char buffer[65536];
        while (!stop_) {
            if (poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            for (size_t i = 1; i < fds.size(); i++) {
                if (!(fds[i].revents & (POLLIN | POLLHUP)))
                    continue;
                const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
                if (n > 0) {
                    drained_ += n;
                } else {
                    close(fds[i].fd);
                    fds.erase(fds.begin() + (long)i--);
                }
            }
            if (fds[0].revents & POLLIN) {
                const int client = accept(listener_, nullptr, nullptr);
                if (client >= 0)
                    fds.push_back({client, POLLIN, 0});
            }
        }
        for (size_t i = 1; i < fds.size(); i++)
            close(fds[i].fd);
    }
    int listener_ = -1, port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> drained_{0};
};

// The raw way to the same guarantee: a non-blocking send loop, then spinning until the socket
// holds no unacknowledged byte.
bool RawAcknowledgedSend(int fd, const char *data, size_t count)
{
    size_t done = 0;
    while (done < count) {
        const ssize_t n = send(fd, data + done, count - done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            done += (size_t)n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        struct pollfd room = {fd, POLLOUT, 0};
        poll(&room, 1, 1000);
    }
    for (int queued = 1; queued > 0;) {
        if (ioctl(fd, SIOCOUTQ, &queued) != 0)
            return false;
        if (queued > 0)
            sched_yield();
    }
    return true;
}

// A raw client of the printer, set up as the library sets up its own.
int RawConnect(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    if (fd < 0 || connect(fd, (struct sockaddr *)&address, sizeof address) != 0)
        return -1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

struct Result {
    double library = 0, raw = 0, ratio = 0, target = 0;
    bool met = false;
    std::string unit;
};

// A row; a figure of 0 where there is no raw counterpart leaves raw and ratio blank.
void Row(const char *name, const Result &r, const char *targetText)
{
    const double none = std::nan("");
    PrintRow(name, r.library, r.raw > 0 ? r.raw : none, r.raw > 0 ? r.ratio : none, targetText,
             r.met ? "yes" : "NO", "%10.3f");
}

} // namespace

int main(int argc, char **argv)
{
    std::string json;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc)
            json = argv[++i];
    }
    Library lib;
    Pty pty;
    if (!lib.Load() || !pty.Ready()) {
        std::fprintf(stderr, "norvat_bench: %s\n", pty.Ready() ? dlerror() : "no pseudo-terminal");
        return 1;
    }
    const int raw = open(pty.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (lib.OpenUSB(pty.Path().c_str()) != 1 || raw < 0) {
        std::fprintf(stderr, "norvat_bench: cannot open %s\n", pty.Path().c_str());
        return 1;
    }
    bool allArrived = true;

    // A write of 1 MiB (sendbuf, norvat_write) against a raw write loop, runs interleaved, order
    // swapped every pair; the ratio is that of the median throughputs.
    pty.StartDraining();
    std::vector<char> block(kSendbufBytes);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 131 + 7);
    long long expected = 0;
    const double mib = kSendbufBytes / 1048576.0;
    const auto throughput = [&](const std::function<int()> &libraryWrite) {
        std::vector<double> libraryMs, rawMs;
        bool arrived = true;
        for (int run = 0; run < kSendbufRuns; run++) {
            for (int side = 0; side < 2; side++) {
                const bool library = (side == 0) == (run % 2 == 0);
                const double start = NowMs();
                const bool sent = library ? libraryWrite() == kSendbufBytes
                                          : RawWrite(raw, block.data(), block.size());
                expected += kSendbufBytes;
                arrived = arrived && sent && pty.WaitDrained(expected, 10000);
                (library ? libraryMs : rawMs).push_back(NowMs() - start);
            }
        }
        SendbufFigures s;
        s.bytes = kSendbufBytes;
        s.runs = kSendbufRuns;
        s.libraryMiBs = mib / (Summarize(libraryMs).median / 1000);
        s.rawMiBs = mib / (Summarize(rawMs).median / 1000);
        s.ratio = s.libraryMiBs / s.rawMiBs;
        s.allArrived = arrived;
        return s;
    };
    const SendbufFigures legacy =
        throughput([&] { return lib.sendbuf(block.data(), kSendbufBytes); });
    Result sendbuf;
    sendbuf.library = legacy.libraryMiBs;
    sendbuf.raw = legacy.rawMiBs;
    sendbuf.ratio = legacy.ratio;
    sendbuf.met = sendbuf.ratio >= kSendbufRatioTarget && legacy.allArrived;
    allArrived = legacy.allArrived;

    // The same through a handle; the pty is one device, so the ten's port lets go of it first.
    HandleFigures handles;
    std::string failure;
    norvat_port *port = nullptr;
    lib.closeport();
    if (lib.open(pty.Path().c_str(), &port) != 0) {
        failure = "norvat_open of " + pty.Path() + " failed";
    } else {
        handles.write = throughput([&] {
            return lib.write(port, block.data(), kSendbufBytes, NORVAT_TIMEOUT_DEFAULT);
        });
        lib.close(port);
    }
    if (lib.OpenUSB(pty.Path().c_str()) != 1) {
        std::fprintf(stderr, "norvat_bench: cannot open %s again\n", pty.Path().c_str());
        return 1;
    }

    // sendcommand per byte against raw one-byte writes of the same command.
    std::string text;
    for (int i = 0; i < kCommandLength; i++)
        text += (char)('A' + i % 26);
    const std::string wire = text + "\r\n";
    // Sides take turns going first, and each round's pair gives a ratio: what drifts within a
    // run cancels.
    std::vector<double> commandMs, bytesMs, ratios;
    for (int i = 0; i < kCommands; i++) {
        double took[2];
        for (int turn = 0; turn < 2; turn++) {
            const int side = (i + turn) % 2;
            const double start = NowMs();
            if (side == 0) {
                allArrived = lib.sendcommand(text.c_str()) == 1 && allArrived;
            } else {
                for (char c : wire)
                    allArrived = RawWrite(raw, &c, 1) && allArrived;
            }
            took[side] = NowMs() - start;
        }
        commandMs.push_back(took[0]);
        bytesMs.push_back(took[1]);
        if (took[1] > 0)
            ratios.push_back(took[0] / took[1]);
        expected += 2 * (long long)wire.size();
    }
    allArrived = pty.WaitDrained(expected, 10000) && allArrived;
    pty.StopDraining();
    Result command;
    command.library = 1000 * Summarize(commandMs).median / wire.size();
    command.raw = 1000 * Summarize(bytesMs).median / wire.size();
    command.ratio = Summarize(ratios).median;
    command.met = command.ratio <= kCommandOverheadTarget;

    // RcvBuf: the answer already waiting, and the answer written 5 ms after the call.
    const std::string answer = "LBL0042:READY\r\n";
    std::vector<double> waiting, late, rawLate;
    int wrong = 0;
    char buffer[65];
    for (int call = 0; call < kReadCalls; call++) {
        write(pty.Master(), answer.data(), answer.size());
        usleep(1000);
        double start = NowMs();
        wrong += lib.RcvBuf(buffer, 64) == (int)answer.size() ? 0 : 1;
        waiting.push_back(NowMs() - start);

        start = NowMs();
        std::thread device([&] {
            usleep((useconds_t)(kLateAnswerMs * 1000));
            write(pty.Master(), answer.data(), answer.size());
        });
        wrong += lib.RcvBuf(buffer, 64) == (int)answer.size() ? 0 : 1;
        late.push_back(NowMs() - start);
        device.join();

        // Raw: poll for the answer, then read it.
        start = NowMs();
        std::thread rawDevice([&] {
            usleep((useconds_t)(kLateAnswerMs * 1000));
            write(pty.Master(), answer.data(), answer.size());
        });
        struct pollfd ready = {raw, POLLIN, 0};
        poll(&ready, 1, 1000);
        wrong += read(raw, buffer, 64) == (ssize_t)answer.size() ? 0 : 1;
        rawLate.push_back(NowMs() - start);
        rawDevice.join();
    }
    Result waitingRead, lateRead;
    waitingRead.library = Summarize(waiting).median;
    waitingRead.met = waitingRead.library <= 1.0 && wrong == 0;
    lateRead.library = Summarize(late).median;
    lateRead.raw = Summarize(rawLate).median;
    lateRead.ratio = lateRead.library / lateRead.raw;
    lateRead.met = lateRead.library <= kReadTargetMs && wrong == 0;
    lib.closeport();
    close(raw);

    // Two paced printers at once, and writes to the draining pty beside a stalled one. A pty
    // holds some 16 KiB between its ends and frees room only in kilobytes, so it cannot hold a
    // write back byte by byte as Windows' paced pipe does: here each paced job goes in at once
    // and the pair's time is the printers' taking it.
    {
        Pty paced[2], stalled;
        PacedPrinter printers[2];
        for (int i = 0; i < 2; i++) {
            paced[i].StartDraining(1);
            printers[i].name = paced[i].Path();
            printers[i].taken = [&paced, i](long long total, int ms) {
                return paced[i].WaitTaken(total, ms);
            };
        }
        pty.StartDraining();
        BenchPacedPair(lib, printers, handles, &failure);
        BenchBesideStalled(lib, stalled.Path(), pty.Path(), handles, &failure);
        pty.StopDraining();
    }

    // A network printer on loopback, in a namespace of the bench's own where it can have one:
    // sendbuf of 1 MiB and of 40 bytes, and a 64-character command, each against the raw send
    // loop that also waits until the printer acknowledged every byte. Pairs interleave, the
    // order swapped every pair.
    const bool ownNetwork = EnterOwnNetwork().empty();
    NetPrinter printer;
    const std::string address = "tcp://127.0.0.1:" + std::to_string(printer.Port());
    const int rawNet = printer.Port() > 0 ? RawConnect(printer.Port()) : -1;
    if (rawNet < 0 || lib.OpenUSB(address.c_str()) != 1) {
        std::fprintf(stderr, "norvat_bench: no loopback printer at %s\n", address.c_str());
        return 1;
    }
    long long netExpected = 0;
    auto pairs = [&](int runs, const std::function<bool()> &library,
                     const std::function<bool()> &rawSide, long long bytesPerSide,
                     std::vector<double> &libraryTimes, std::vector<double> &rawTimes) {
        for (int run = 0; run < runs; run++) {
            for (int side = 0; side < 2; side++) {
                const bool mine = (side == 0) == (run % 2 == 0);
                const double start = NowMs();
                allArrived = (mine ? library() : rawSide()) && allArrived;
                (mine ? libraryTimes : rawTimes).push_back(NowMs() - start);
                netExpected += bytesPerSide;
                // Untimed: the next write starts on an idle connection.
                for (const double until = NowMs() + 2000;
                     printer.Drained() < netExpected && NowMs() < until;)
                    sched_yield();
            }
        }
    };
    std::vector<double> netLibraryMs, netRawMs, smallLibraryMs, smallRawMs, cmdLibraryMs, cmdRawMs;
    pairs(kNetSendbufRuns,
          [&] { return lib.sendbuf(block.data(), kSendbufBytes) == kSendbufBytes; },
          [&] { return RawAcknowledgedSend(rawNet, block.data(), block.size()); }, kSendbufBytes,
          netLibraryMs, netRawMs);
    pairs(kSmallWrites, [&] { return lib.sendbuf(block.data(), kSmallWrite) == kSmallWrite; },
          [&] { return RawAcknowledgedSend(rawNet, block.data(), kSmallWrite); }, kSmallWrite,
          smallLibraryMs, smallRawMs);
    pairs(kCommands, [&] { return lib.sendcommand(text.c_str()) == 1; },
          [&] { return RawAcknowledgedSend(rawNet, wire.data(), wire.size()); },
          (long long)wire.size(), cmdLibraryMs, cmdRawMs);
    lib.closeport();
    close(rawNet);
    for (int i = 0; i < 500 && printer.Drained() < netExpected; i++)
        usleep(2000);
    allArrived = printer.Drained() == netExpected && allArrived;
    Result netSendbuf, netSmall, netCommand;
    netSendbuf.library = mib / (Summarize(netLibraryMs).median / 1000);
    netSendbuf.raw = mib / (Summarize(netRawMs).median / 1000);
    netSendbuf.ratio = netSendbuf.library / netSendbuf.raw;
    netSendbuf.met = netSendbuf.ratio >= kSendbufRatioTarget && allArrived;
    netSmall.library = 1000 * Summarize(smallLibraryMs).median;
    netSmall.raw = 1000 * Summarize(smallRawMs).median;
    netSmall.ratio = netSmall.library / netSmall.raw;
    netSmall.met = true;
    netCommand.library = 1000 * Summarize(cmdLibraryMs).median;
    netCommand.raw = 1000 * Summarize(cmdRawMs).median;
    netCommand.ratio = netCommand.library / netCommand.raw;
    netCommand.met = true;

    std::printf("\nlibNorvat.so bench, x86-64 Linux, on %s\n", pty.Path().c_str());
    PrintColumns();
    Row(("sendbuf 1 MiB, MiB/s (median of " + std::to_string(kSendbufRuns) + ")").c_str(), sendbuf,
        ">= 0.90");
    Row("sendcommand 64 chars, us per byte", command, "<= 1.10");
    Row("RcvBuf, answer waiting: median ms", waitingRead, "<= 1 ms");
    Row("RcvBuf, answer after 5 ms: median ms", lateRead, "<= 20 ms");
    PrintHandleRows(handles);
    Row(("network sendbuf 1 MiB, MiB/s (median of " + std::to_string(kNetSendbufRuns) + ")").c_str(),
        netSendbuf, ">= 0.90");
    Row("network sendbuf 40 bytes, us per call", netSmall, "-");
    Row("network sendcommand 64 chars, us per call", netCommand, "-");
    std::printf("  (worst: answer waiting %.3f ms, after 5 ms %.3f ms; wrong answers %d; every byte "
                "arrived: %s)\n",
                Summarize(waiting).worst, Summarize(late).worst, wrong, allArrived ? "yes" : "NO");
    std::printf("  (network: a loopback printer%s; raw = send loop, then spinning until nothing "
                "is unacknowledged)\n",
                ownNetwork ? " in the bench's own network namespace" : "");
    std::printf("  (paced printers: the pty takes each job at once, so the writes do not wait "
                "for the printers here)\n");
    if (!failure.empty())
        std::printf("  FAILED: %s\n", failure.c_str());

    if (!json.empty()) {
        FILE *out = std::fopen(json.c_str(), "w");
        if (out == nullptr)
            return 1;
        std::fprintf(out,
                     "{\"arch\": \"linux-x86_64\",\n"
                     " \"sendbuf\": {\"library_mib_s\": %.3f, \"raw_mib_s\": %.3f, \"ratio\": %.3f, "
                     "\"target_ratio\": %.2f, \"met\": %s},\n"
                     " \"sendcommand\": {\"library_us_per_byte\": %.3f, \"raw_us_per_byte\": %.3f, "
                     "\"ratio\": %.3f, \"target_ratio\": %.2f, \"met\": %s},\n"
                     " \"rcvbuf\": {\"waiting_median_ms\": %.3f, \"late_median_ms\": %.3f, "
                     "\"raw_late_median_ms\": %.3f, \"target_late_ms\": %.1f, \"wrong\": %d, "
                     "\"met\": %s},\n"
                     " \"network\": {\"sendbuf_library_mib_s\": %.3f, \"sendbuf_raw_mib_s\": %.3f, "
                     "\"sendbuf_ratio\": %.3f, \"target_ratio\": %.2f, \"met\": %s, "
                     "\"sendbuf_40_library_us\": %.3f, \"sendbuf_40_raw_us\": %.3f, "
                     "\"sendcommand_64_library_us\": %.3f, \"sendcommand_64_raw_us\": %.3f},\n"
                     " %s,\n"
                     " \"failure\": \"%s\",\n"
                     " \"all_arrived\": %s}\n",
                     sendbuf.library, sendbuf.raw, sendbuf.ratio, kSendbufRatioTarget,
                     sendbuf.met ? "true" : "false", command.library, command.raw, command.ratio,
                     kCommandOverheadTarget, command.met ? "true" : "false", waitingRead.library,
                     lateRead.library, lateRead.raw, kReadTargetMs, wrong,
                     lateRead.met && waitingRead.met ? "true" : "false", netSendbuf.library,
                     netSendbuf.raw, netSendbuf.ratio, kSendbufRatioTarget,
                     netSendbuf.met ? "true" : "false", netSmall.library, netSmall.raw,
                     netCommand.library, netCommand.raw, HandleJson(handles).c_str(),
                     failure.c_str(), allArrived ? "true" : "false");
        std::fclose(out);
    }
    return failure.empty() ? 0 : 1;
}
