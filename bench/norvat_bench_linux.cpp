// norvat_bench (Linux): libNorvat.so against raw system calls on the same pseudo-terminal, in one
// run. The library opens the pty's slave by its /dev/pts path, as a host reaches any device node;
// a thread on the master stands in for the printer.
//   norvat_bench [--json FILE]
// Prints a table, and writes the same figures as JSON when asked.
#include "bench/figures.h"
#include "include/norvat.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kSendbufBytes = 1 << 20;
const int kSendbufRuns = 101;
const int kCommandLength = 64;
const int kCommands = 200;
const int kReadCalls = 200;
const double kLateAnswerMs = 5.0;
const double kReadTargetMs = 20.0; // a late answer is seen within about one 15 ms poll
const double kCommandOverheadTarget = 1.10;

double NowMs()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

struct Library {
    void *module = nullptr;
    decltype(&::OpenUSB) OpenUSB = nullptr;
    decltype(&::closeport) closeport = nullptr;
    decltype(&::sendbuf) sendbuf = nullptr;
    decltype(&::sendcommand) sendcommand = nullptr;
    decltype(&::RcvBuf) RcvBuf = nullptr;

    template <typename T> bool Bind(const char *name, T &fn)
    {
        fn = reinterpret_cast<T>(dlsym(module, name));
        return fn != nullptr;
    }
    bool Load()
    {
        module = dlopen(NORVAT_LIBRARY, RTLD_NOW);
        return module != nullptr && Bind("OpenUSB", OpenUSB) && Bind("closeport", closeport) &&
               Bind("sendbuf", sendbuf) && Bind("sendcommand", sendcommand) &&
               Bind("RcvBuf", RcvBuf);
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

    void StartDraining()
    {
        stop_ = false;
        drainer_ = std::thread([this] {
            char buffer[65536];
            while (!stop_) {
                struct pollfd ready = {master_, POLLIN, 0};
                if (poll(&ready, 1, 20) > 0 && (ready.revents & POLLIN)) {
                    const ssize_t n = read(master_, buffer, sizeof buffer);
                    if (n > 0)
                        drained_ += n;
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

private:
    int master_ = -1, slave_ = -1;
    std::string path_;
    std::thread drainer_;
    std::atomic<bool> stop_{false};
    std::atomic<long long> drained_{0};
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

struct Result {
    double library = 0, raw = 0, ratio = 0, target = 0;
    bool met = false;
    std::string unit;
};

// A row; a figure of 0 where there is no raw counterpart prints as "-".
void Row(const char *name, const Result &r, const char *targetText)
{
    std::printf("  %-42s %10.3f", name, r.library);
    if (r.raw > 0)
        std::printf(" %10.3f %8.2f", r.raw, r.ratio);
    else
        std::printf(" %10s %8s", "-", "-");
    std::printf("  %-9s %s\n", targetText, r.met ? "yes" : "NO");
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

    // sendbuf of 1 MiB against a raw write loop, runs interleaved, order swapped every pair;
    // the ratio is that of the median throughputs.
    pty.StartDraining();
    std::vector<char> block(kSendbufBytes);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 131 + 7);
    std::vector<double> libraryMs, rawMs;
    long long expected = 0;
    for (int run = 0; run < kSendbufRuns; run++) {
        for (int side = 0; side < 2; side++) {
            const bool library = (side == 0) == (run % 2 == 0);
            const double start = NowMs();
            const bool sent = library ? lib.sendbuf(block.data(), kSendbufBytes) == kSendbufBytes
                                      : RawWrite(raw, block.data(), block.size());
            expected += kSendbufBytes;
            allArrived = allArrived && sent && pty.WaitDrained(expected, 10000);
            (library ? libraryMs : rawMs).push_back(NowMs() - start);
        }
    }
    const double mib = kSendbufBytes / 1048576.0;
    Result sendbuf;
    sendbuf.library = mib / (Summarize(libraryMs).median / 1000);
    sendbuf.raw = mib / (Summarize(rawMs).median / 1000);
    sendbuf.ratio = sendbuf.library / sendbuf.raw;
    sendbuf.met = sendbuf.ratio >= kSendbufRatioTarget && allArrived;

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

    std::printf("\nlibNorvat.so bench, x86-64 Linux, on %s\n", pty.Path().c_str());
    std::printf("  %-42s %10s %10s %8s  %-9s %s\n", "measure", "library", "raw", "ratio", "target",
                "met");
    std::printf("  %s\n", std::string(90, '-').c_str());
    Row(("sendbuf 1 MiB, MiB/s (median of " + std::to_string(kSendbufRuns) + ")").c_str(), sendbuf,
        ">= 0.90");
    Row("sendcommand 64 chars, us per byte", command, "<= 1.10");
    Row("RcvBuf, answer waiting: median ms", waitingRead, "<= 1 ms");
    Row("RcvBuf, answer after 5 ms: median ms", lateRead, "<= 20 ms");
    std::printf("  (worst: answer waiting %.3f ms, after 5 ms %.3f ms; wrong answers %d; every byte "
                "arrived: %s)\n",
                Summarize(waiting).worst, Summarize(late).worst, wrong, allArrived ? "yes" : "NO");

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
                     " \"all_arrived\": %s}\n",
                     sendbuf.library, sendbuf.raw, sendbuf.ratio, kSendbufRatioTarget,
                     sendbuf.met ? "true" : "false", command.library, command.raw, command.ratio,
                     kCommandOverheadTarget, command.met ? "true" : "false", waitingRead.library,
                     lateRead.library, lateRead.raw, kReadTargetMs, wrong,
                     lateRead.met && waitingRead.met ? "true" : "false",
                     allArrived ? "true" : "false");
        std::fclose(out);
    }
    return 0;
}
