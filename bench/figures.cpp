#include "bench/figures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

Spread Summarize(std::vector<double> samples)
{
    Spread s;
    if (samples.empty())
        return s;
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    s.median = n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
    s.best = samples.front();
    s.worst = samples.back();
    return s;
}

namespace {

double Ratio(double a, double b)
{
    return b > 0 ? a / b : 0;
}

const ListingFigures *ListingOf(const Figures &f, int entries)
{
    for (const auto &l : f.listing)
        if (l.entries == entries && l.listed == entries)
            return &l;
    return nullptr;
}

double PerEntryUs(const ListingFigures &l, bool library)
{
    return 1000.0 * (library ? l.libraryMs : l.rawMs) / l.entries;
}

// Per-entry library cost at 1000 entries over that at 10; 0 when either did not run.
double Flatness(const Figures &f, bool library)
{
    const ListingFigures *small = ListingOf(f, 10), *large = ListingOf(f, 1000);
    if (small == nullptr || large == nullptr)
        return 0;
    return Ratio(PerEntryUs(*large, library), PerEntryUs(*small, library));
}

const char *Verdict(bool met)
{
    return met ? "yes" : "NO";
}

// name, library, raw, ratio, target, verdict; an empty cell prints blank.
void Row(const std::string &name, double library, double raw, double ratio, const char *target,
         const char *met, const char *format = "%10.2f")
{
    std::printf("  %-40s", name.c_str());
    for (double v : {library, raw, ratio}) {
        if (std::isnan(v))
            std::printf("%10s", "");
        else
            std::printf(format, v);
    }
    std::printf("  %-9s %s\n", target, met);
}

const double kNone = NAN;

std::string Quote(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            out += '\\';
        if ((unsigned char)c < 0x20)
            continue;
        out += c;
    }
    return out + "\"";
}

std::string Number(double v)
{
    if (std::isnan(v) || std::isinf(v))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", v);
    return text;
}

std::string SpreadJson(const Spread &s)
{
    return "{\"median_ms\": " + Number(s.median) + ", \"worst_ms\": " + Number(s.worst) +
           ", \"best_ms\": " + Number(s.best) + "}";
}

bool WriteMet(const HandleFigures &h)
{
    return h.write.ratio >= kHandleWriteRatioTarget && h.write.allArrived;
}

bool PairMet(const HandleFigures &h)
{
    return h.pairRatio > 0 && h.pairRatio <= kPairRatioTarget;
}

bool NeighbourMet(const HandleFigures &h)
{
    return h.neighbourWrites > 0 && h.neighbourMs.worst < kNeighbourWriteTargetMs;
}

bool CancelMet(const HandleFigures &h)
{
    return h.stalls > 0 && h.cancelMs.best > 0 && h.cancelMs.worst <= kCancelTargetMs;
}

} // namespace

void PrintColumns()
{
    std::printf("  %-40s%10s%10s%10s  %-9s %s\n", "measure", "library", "raw", "ratio", "target",
                "met");
    std::printf("  %s\n", std::string(92, '-').c_str());
}

void PrintRow(const std::string &name, double library, double raw, double ratio,
              const char *target, const char *met, const char *format)
{
    Row(name, library, raw, ratio, target, met, format);
}

void PrintHandleRows(const HandleFigures &h)
{
    const SendbufFigures &w = h.write;
    Row("norvat_write 1 MiB, MiB/s (median of " + std::to_string(w.runs) + ")", w.libraryMiBs,
        w.rawMiBs, w.ratio, ">= 0.95", Verdict(WriteMet(h)));
    Row("2 paced printers at once, ms", h.pairMs, std::max(h.aloneMs[0], h.aloneMs[1]),
        h.pairRatio, "<= 1.05", Verdict(PairMet(h)));
    std::printf("  (raw: the slower printer alone; %d bytes to each, a byte a millisecond; "
                "median of %d rounds, alone %.1f and %.1f ms)\n",
                h.pairBytes, h.pairRounds, h.aloneMs[0], h.aloneMs[1]);
    Row("write beside a stalled one: worst ms", h.neighbourMs.worst, kNone, kNone, "< 50 ms",
        Verdict(NeighbourMet(h)), "%10.3f");
    Row("                           median ms", h.neighbourMs.median, kNone, kNone, "", "",
        "%10.3f");
    Row("norvat_cancel, stalled write: worst ms", h.cancelMs.worst, kNone, kNone, "<= 20 ms",
        Verdict(CancelMet(h)), "%10.3f");
    Row("                              median ms", h.cancelMs.median, kNone, kNone, "", "",
        "%10.3f");
    std::printf("  (%d writes of %d bytes to the other port, %d stalls; the first stalled write "
                "returned %d)\n",
                h.neighbourWrites, h.neighbourBytes, h.stalls, h.stalledResult);
}

std::string HandleJson(const HandleFigures &h)
{
    const SendbufFigures &w = h.write;
    const auto flag = [](bool b) { return std::string(b ? "true" : "false"); };
    return "\"handles\": {\"write\": {\"bytes\": " + std::to_string(w.bytes) +
           ", \"runs\": " + std::to_string(w.runs) +
           ", \"library_mib_s\": " + Number(w.libraryMiBs) +
           ", \"raw_mib_s\": " + Number(w.rawMiBs) + ", \"ratio\": " + Number(w.ratio) +
           ", \"target_ratio\": " + Number(kHandleWriteRatioTarget) +
           ", \"all_arrived\": " + flag(w.allArrived) + ", \"met\": " + flag(WriteMet(h)) +
           "},\n    \"paced_pair\": {\"bytes\": " + std::to_string(h.pairBytes) +
           ", \"rounds\": " + std::to_string(h.pairRounds) + ", \"alone_ms\": [" +
           Number(h.aloneMs[0]) + ", " + Number(h.aloneMs[1]) +
           "], \"pair_ms\": " + Number(h.pairMs) + ", \"ratio\": " + Number(h.pairRatio) +
           ", \"target_ratio\": " + Number(kPairRatioTarget) + ", \"met\": " + flag(PairMet(h)) +
           "},\n    \"beside_stalled\": {\"writes\": " + std::to_string(h.neighbourWrites) +
           ", \"bytes\": " + std::to_string(h.neighbourBytes) +
           ", \"write\": " + SpreadJson(h.neighbourMs) +
           ", \"target_worst_ms\": " + Number(kNeighbourWriteTargetMs) +
           ", \"met\": " + flag(NeighbourMet(h)) + ", \"stalls\": " + std::to_string(h.stalls) +
           ", \"cancel\": " + SpreadJson(h.cancelMs) +
           ", \"target_cancel_worst_ms\": " + Number(kCancelTargetMs) +
           ", \"cancel_met\": " + flag(CancelMet(h)) +
           ", \"stalled_result\": " + std::to_string(h.stalledResult) + "}}";
}

void PrintTable(const Figures &f)
{
    std::printf("\nNorvat.dll bench, %s%s%s\n", f.arch.c_str(),
                f.wine.empty() ? "" : " under Wine ", f.wine.c_str());
    PrintColumns();
    if (!f.usbSkipped.empty()) {
        std::printf("  pipe printer and listing figures skipped: %s\n", f.usbSkipped.c_str());
    } else {
        const SendbufFigures &s = f.sendbuf;
        Row("sendbuf 1 MiB, MiB/s (median of " + std::to_string(s.runs) + ")", s.libraryMiBs,
            s.rawMiBs, s.ratio, ">= 0.90", Verdict(s.ratio >= kSendbufRatioTarget && s.allArrived));

        const SendcommandFigures &c = f.sendcommand;
        Row("sendcommand " + std::to_string(c.textLength) + " chars, us per byte",
            c.libraryUsPerByte, c.rawUsPerByte, Ratio(c.libraryUsPerByte, c.rawUsPerByte), "-",
            c.allArrived ? "" : "bytes lost");
        const double overhead = c.namedEventRatio;
        Row("  raw + named event per write, us/byte", kNone, c.rawNamedEventUsPerByte, overhead,
            "<= 1.10", Verdict(overhead > 0 && overhead <= kSendcommandOverheadTarget));

        const ReadFigures &r = f.read;
        const bool readsRight = r.wrongLibrary == 0;
        Row("RcvBuf, answer waiting: median ms", r.libraryWaiting.median, r.rawWaiting.median,
            kNone, "<= 1 ms",
            Verdict(r.libraryWaiting.median <= kWaitingReadTargetMs && readsRight), "%10.3f");
        Row("                        worst ms", r.libraryWaiting.worst, r.rawWaiting.worst, kNone,
            "", "", "%10.3f");
        Row("RcvBuf, answer after 5 ms: median ms", r.libraryLate.median, r.rawLate.median, kNone,
            "<= 20 ms", Verdict(r.libraryLate.median <= kLateReadTargetMs && readsRight), "%10.3f");
        Row("                           worst ms", r.libraryLate.worst, r.rawLate.worst, kNone, "",
            "", "%10.3f");
        std::printf("  (%d calls each; the late answer went in %.2f ms after the call, median; "
                    "wrong answers: library %d, raw %d)\n",
                    r.calls, r.answerWrittenAt.median, r.wrongLibrary, r.wrongRaw);

        for (const ListingFigures &l : f.listing) {
            const std::string n = std::to_string(l.entries);
            Row("listing " + n + (l.entries == 1 ? " entry" : " entries") + ": total ms",
                l.libraryMs, l.rawMs, l.ratio, "-",
                l.listed == l.entries && l.rawRead == l.entries ? "" : "WRONG COUNT", "%10.3f");
            Row("                   us per entry", PerEntryUs(l, true), PerEntryUs(l, false), kNone,
                "", "");
        }
        const double flat = Flatness(f, true);
        Row("per-entry cost, 1000 vs 10 entries", flat, Flatness(f, false), kNone, "<= 1.5x",
            Verdict(flat > 0 && flat <= kListingFlatnessTarget));
        PrintHandleRows(f.handles);
    }
    if (!f.networkSkipped.empty()) {
        std::printf("  network printer figures skipped: %s\n", f.networkSkipped.c_str());
    } else {
        const NetworkFigures &n = f.network;
        Row("network sendbuf 1 MiB, MiB/s (median of " + std::to_string(n.runs) + ")",
            n.libraryMiBs, n.rawMiBs, n.ratio, ">= 0.90",
            Verdict(n.ratio >= kSendbufRatioTarget && n.allArrived));
        Row("network sendbuf " + std::to_string(n.smallBytes) + " bytes, us per call",
            n.smallLibraryUs, n.smallRawUs, Ratio(n.smallLibraryUs, n.smallRawUs), "-", "");
        Row("network sendcommand " + std::to_string(n.textLength) + " chars, us per call",
            n.commandLibraryUs, n.commandRawUs, Ratio(n.commandLibraryUs, n.commandRawUs), "-", "");
        std::printf("  (a loopback printer; %s)\n",
                    n.acknowledged ? "both sides wait for the printer's acknowledgement"
                                   : "the platform reports no acknowledgements, so both sides "
                                     "only hand the bytes to the TCP stack");
    }
    for (const DllFigures &d : f.dlls) {
        if (d.bytes < 0)
            std::printf("  %-40s%10s  (%s)\n", "Norvat.dll size", "missing", d.path.c_str());
        else
            std::printf("  %-40s%10lld  bytes (%s)\n", ("Norvat.dll size, " + d.machine).c_str(),
                        d.bytes, d.path.c_str());
    }
    std::printf("  ratio: library over raw (throughput for sendbuf, time or cost elsewhere); runs\n"
                "  interleave library and raw; sendbuf compares median throughputs, the listing\n"
                "  takes the median of per-run ratios; \"met\" compares the library with its target.\n");
    if (!f.failure.empty())
        std::printf("  FAILED: %s\n", f.failure.c_str());
    std::fflush(stdout);
}

bool WriteJson(const Figures &f, const std::string &path)
{
    std::string j = "{\n";
    j += "  \"arch\": " + Quote(f.arch) + ",\n";
    j += "  \"wine\": " + Quote(f.wine) + ",\n";
    j += "  \"failure\": " + (f.failure.empty() ? std::string("null") : Quote(f.failure)) + ",\n";
    if (!f.usbSkipped.empty()) {
        j += "  \"skipped\": " + Quote(f.usbSkipped) + ",\n";
    } else {
        const SendbufFigures &s = f.sendbuf;
        const double sendRatio = s.ratio;
        j += "  \"sendbuf\": {\"bytes\": " + std::to_string(s.bytes) +
             ", \"runs\": " + std::to_string(s.runs) +
             ", \"library_mib_s\": " + Number(s.libraryMiBs) +
             ", \"raw_mib_s\": " + Number(s.rawMiBs) + ", \"ratio\": " + Number(sendRatio) +
             ", \"target_ratio\": " + Number(kSendbufRatioTarget) +
             ", \"all_arrived\": " + (s.allArrived ? "true" : "false") +
             ", \"met\": " + (sendRatio >= kSendbufRatioTarget && s.allArrived ? "true" : "false") +
             "},\n";

        const SendcommandFigures &c = f.sendcommand;
        const double overhead = c.namedEventRatio;
        j += "  \"sendcommand\": {\"text_length\": " + std::to_string(c.textLength) +
             ", \"bytes_per_command\": " + std::to_string(c.bytesPerCommand) +
             ", \"commands\": " + std::to_string(c.commands) +
             ", \"library_us_per_byte\": " + Number(c.libraryUsPerByte) +
             ", \"raw_us_per_byte\": " + Number(c.rawUsPerByte) +
             ", \"raw_named_event_us_per_byte\": " + Number(c.rawNamedEventUsPerByte) +
             ", \"ratio\": " + Number(Ratio(c.libraryUsPerByte, c.rawUsPerByte)) +
             ", \"named_event_ratio\": " + Number(overhead) +
             ", \"target_named_event_ratio\": " + Number(kSendcommandOverheadTarget) +
             ", \"met\": " + (overhead > 0 && overhead <= kSendcommandOverheadTarget ? "true" : "false") +
             ", \"all_arrived\": " + (c.allArrived ? "true" : "false") + "},\n";

        const ReadFigures &r = f.read;
        j += "  \"rcvbuf\": {\"calls\": " + std::to_string(r.calls) +
             ", \"answer_delay_ms\": " + Number(r.answerDelayMs) +
             ", \"wrong_library\": " + std::to_string(r.wrongLibrary) +
             ", \"wrong_raw\": " + std::to_string(r.wrongRaw) +
             ",\n    \"waiting\": {\"library\": " + SpreadJson(r.libraryWaiting) +
             ", \"raw\": " + SpreadJson(r.rawWaiting) +
             ", \"target_median_ms\": " + Number(kWaitingReadTargetMs) + ", \"met\": " +
             (r.libraryWaiting.median <= kWaitingReadTargetMs && r.wrongLibrary == 0 ? "true"
                                                                                     : "false") +
             "},\n    \"late\": {\"library\": " + SpreadJson(r.libraryLate) +
             ", \"raw\": " + SpreadJson(r.rawLate) +
             ", \"answer_written_at\": " + SpreadJson(r.answerWrittenAt) +
             ", \"target_median_ms\": " + Number(kLateReadTargetMs) + ", \"met\": " +
             (r.libraryLate.median <= kLateReadTargetMs && r.wrongLibrary == 0 ? "true" : "false") +
             "}},\n";

        j += "  \"listing\": {\"sizes\": [";
        for (size_t i = 0; i < f.listing.size(); i++) {
            const ListingFigures &l = f.listing[i];
            j += std::string(i ? "," : "") + "\n    {\"entries\": " + std::to_string(l.entries) +
                 ", \"repeats\": " + std::to_string(l.repeats) +
                 ", \"listed\": " + std::to_string(l.listed) +
                 ", \"raw_read\": " + std::to_string(l.rawRead) +
                 ", \"library_ms\": " + Number(l.libraryMs) + ", \"raw_ms\": " + Number(l.rawMs) +
                 ", \"library_us_per_entry\": " + Number(PerEntryUs(l, true)) +
                 ", \"raw_us_per_entry\": " + Number(PerEntryUs(l, false)) +
                 ", \"ratio\": " + Number(l.ratio) + "}";
        }
        const double flat = Flatness(f, true);
        j += "],\n    \"library_per_entry_1000_vs_10\": " + Number(flat) +
             ", \"raw_per_entry_1000_vs_10\": " + Number(Flatness(f, false)) +
             ", \"target\": " + Number(kListingFlatnessTarget) +
             ", \"met\": " + (flat > 0 && flat <= kListingFlatnessTarget ? "true" : "false") +
             "},\n";
        j += "  " + HandleJson(f.handles) + ",\n";
    }
    if (!f.networkSkipped.empty()) {
        j += "  \"network_skipped\": " + Quote(f.networkSkipped) + ",\n";
    } else {
        const NetworkFigures &n = f.network;
        j += "  \"network\": {\"runs\": " + std::to_string(n.runs) +
             ", \"library_mib_s\": " + Number(n.libraryMiBs) +
             ", \"raw_mib_s\": " + Number(n.rawMiBs) + ", \"ratio\": " + Number(n.ratio) +
             ", \"target_ratio\": " + Number(kSendbufRatioTarget) +
             ", \"met\": " + (n.ratio >= kSendbufRatioTarget && n.allArrived ? "true" : "false") +
             ", \"small_bytes\": " + std::to_string(n.smallBytes) +
             ", \"small_library_us\": " + Number(n.smallLibraryUs) +
             ", \"small_raw_us\": " + Number(n.smallRawUs) +
             ", \"command_length\": " + std::to_string(n.textLength) +
             ", \"command_library_us\": " + Number(n.commandLibraryUs) +
             ", \"command_raw_us\": " + Number(n.commandRawUs) +
             ", \"acknowledged\": " + (n.acknowledged ? "true" : "false") +
             ", \"all_arrived\": " + (n.allArrived ? "true" : "false") + "},\n";
    }
    j += "  \"dll_sizes\": [";
    for (size_t i = 0; i < f.dlls.size(); i++) {
        const DllFigures &d = f.dlls[i];
        j += std::string(i ? ", " : "") + "{\"path\": " + Quote(d.path) +
             ", \"machine\": " + Quote(d.machine) +
             ", \"bytes\": " + (d.bytes < 0 ? std::string("null") : std::to_string(d.bytes)) + "}";
    }
    j += "]\n}\n";

    FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool ok = std::fwrite(j.data(), 1, j.size(), file) == j.size();
    return std::fclose(file) == 0 && ok;
}
