// The handles' figures both benches take the same way, each on devices of its own platform: two
// paced printers written at once from two threads, and writes to one port while another port's
// write is stalled.
#pragma once

#include <functional>
#include <string>

#include "bench/figures.h"
#include "tests/shared/exports.h"

// Milliseconds on a monotonic clock; each bench has its own.
double NowMs();

// A printer that takes a byte about every millisecond.
struct PacedPrinter {
    std::string name; // what norvat_open takes
    // Waits at most ms until the printer took `total` bytes in all. Gives the NowMs() at which it
    // took the last of them; 0 when a write to it ends only at that moment anyway (a device
    // without a buffer); below 0 when the bytes did not all come.
    std::function<double(long long total, int ms)> taken;
};

// Fills the pair figures: each printer alone and both at once, each through its own handle and
// thread, in rounds that rotate the order. The first failure goes to *failure.
void BenchPacedPair(const NorvatExports &lib, const PacedPrinter (&printers)[2], HandleFigures &h,
                    std::string *failure);

// Fills the figures of writes to `other` (a device that takes everything) while a write to
// `stalled` (one that takes nothing, or stops taking bytes after its buffer) waits for its
// bound, then of cancelling that write.
void BenchBesideStalled(const NorvatExports &lib, const std::string &stalled,
                        const std::string &other, HandleFigures &h, std::string *failure);
