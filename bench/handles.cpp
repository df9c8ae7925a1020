#include "bench/handles.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace {

const int kPairBytes = 500; // about half a second for each printer
const int kPairRounds = 7;
const int kNeighbourWrites = 50;
const int kNeighbourBytes = 1024; // a receipt
const int kStalledBytes = 1 << 16; // more than a pseudo-terminal holds
const int kStalls = 10;

void Fail(std::string *failure, const std::string &what)
{
    if (failure->empty())
        *failure = what;
}

// A port by handle that closes itself.
struct Handle {
    const NorvatExports &lib;
    norvat_port *port = nullptr;
    int opened;
    Handle(const NorvatExports &l, const std::string &name) : lib(l)
    {
        opened = lib.open(name.c_str(), &port);
    }
    ~Handle() { lib.close(port); }
};

} // namespace

void BenchPacedPair(const NorvatExports &lib, const PacedPrinter (&printers)[2], HandleFigures &h,
                    std::string *failure)
{
    Handle a(lib, printers[0].name), b(lib, printers[1].name);
    if (a.opened != 0 || b.opened != 0) {
        Fail(failure, "cannot open the paced printers: " +
                          std::string(lib.error_text(a.opened != 0 ? a.opened : b.opened)));
        return;
    }
    norvat_port *ports[2] = {a.port, b.port};
    // Letters only: the test bed's printers answer CR LF-ended lines.
    std::string data(kPairBytes, 'A');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = (char)('A' + i % 26);
    long long total[2] = {0, 0};
    bool took[2] = {true, true}; // each printer took all it was sent
    // One printer's job, timed from `start`: the write, and the printer taking its last byte.
    const auto job = [&](int which, double start, double *ms) {
        const int written =
            lib.write(ports[which], data.data(), kPairBytes, NORVAT_TIMEOUT_DEFAULT);
        const double returned = NowMs();
        total[which] += kPairBytes;
        const double taken = printers[which].taken(total[which], 5000);
        took[which] = took[which] && written == kPairBytes && taken >= 0;
        *ms = std::max(returned, taken) - start;
    };

    std::vector<double> alone[2], pair, ratios;
    for (int round = 0; round < kPairRounds; round++) {
        double ms[3] = {0, 0, 0}; // A alone, B alone, the pair
        for (int turn = 0; turn < 3; turn++) {
            const int which = (round + turn) % 3;
            const double start = NowMs();
            if (which < 2) {
                job(which, start, &ms[which]);
                continue;
            }
            double ends[2] = {0, 0};
            std::thread other(job, 1, start, &ends[1]);
            job(0, start, &ends[0]);
            other.join();
            ms[2] = std::max(ends[0], ends[1]);
        }
        alone[0].push_back(ms[0]);
        alone[1].push_back(ms[1]);
        pair.push_back(ms[2]);
        ratios.push_back(ms[2] / std::max(ms[0], ms[1]));
    }
    if (!took[0] || !took[1])
        Fail(failure, "a paced printer did not take every byte it was sent");
    h.pairBytes = kPairBytes;
    h.pairRounds = kPairRounds;
    h.aloneMs[0] = Summarize(alone[0]).median;
    h.aloneMs[1] = Summarize(alone[1]).median;
    h.pairMs = Summarize(pair).median;
    h.pairRatio = Summarize(ratios).median;
}

void BenchBesideStalled(const NorvatExports &lib, const std::string &stalledName,
                        const std::string &otherName, HandleFigures &h, std::string *failure)
{
    Handle stalled(lib, stalledName), other(lib, otherName);
    if (stalled.opened != 0 || other.opened != 0) {
        Fail(failure, "cannot open the stalled printer and its neighbour");
        return;
    }
    const std::string big(kStalledBytes, 'S'), receipt(kNeighbourBytes, 'R');
    std::vector<double> took, cancels;
    for (int stall = 0; stall < kStalls; stall++) {
        double returnedAt = 0;
        int result = 0;
        std::thread writer([&] {
            result = lib.write(stalled.port, big.data(), kStalledBytes, NORVAT_TIMEOUT_DEFAULT);
            returnedAt = NowMs();
        });
        // Well under way: the device has taken what it takes, the waits have grown to full slices.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        // The first stall has the other port written meanwhile, a few milliseconds apart so the
        // writes meet the stalled one at every point of its wait.
        for (int i = 0; stall == 0 && i < kNeighbourWrites; i++) {
            const double start = NowMs();
            const int written = lib.write(other.port, receipt.data(), kNeighbourBytes, 1000);
            took.push_back(NowMs() - start);
            if (written != kNeighbourBytes)
                Fail(failure, std::string("a write beside the stalled one: ") +
                                  lib.error_text(written));
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        const double cancelledAt = NowMs();
        lib.cancel(stalled.port);
        writer.join();
        if (returnedAt <= cancelledAt)
            Fail(failure, std::string("the stalled write ended before it was cancelled: ") +
                              lib.error_text(result));
        cancels.push_back(returnedAt - cancelledAt);
        if (stall == 0)
            h.stalledResult = result;
    }
    h.neighbourWrites = kNeighbourWrites;
    h.neighbourBytes = kNeighbourBytes;
    h.neighbourMs = Summarize(took);
    h.stalls = kStalls;
    h.cancelMs = Summarize(cancels);
}
