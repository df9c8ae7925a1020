// norvat_bench: Norvat.dll against raw Windows calls on the same simulated devices, in one run.
//   norvat_bench [--json FILE] [--dll PATH]...
// Prints a table and writes the same figures as JSON (default norvat-bench-<arch>.json). The
// pipe printer and listing parts write the registry, so they run under Wine only; the class key
// is cleared afterwards.
#include "bench/devices.h"
#include "bench/figures.h"
#include "bench/handles.h"
#include "bench/network.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

#if defined(_WIN64)
const char kArch[] = "x64";
#else
const char kArch[] = "x86";
#endif

const char kVidPid[] = "VID_03F0&PID_1950"; // passes every listing and open filter
const char kSerial[] = "BENCH0001";

const int kSendbufBytes = 1 << 20;
const int kSendbufRuns = 101;
const int kCommandLength = 64;
const int kCommands = 200;
const int kReadCalls = 200;
const double kLateAnswerMs = 5.0;

// A live printer entry with a description, as the test bed writes them.
bool WriteEntry(const std::string &subkey, const std::string &link, const std::string &description)
{
    UsbEntry entry;
    entry.subkey = subkey;
    entry.link = link;
    entry.description = description;
    return UsbRegistry::Write(entry);
}

// The first failure is kept; later ones would only be its consequences.
void Fail(Figures &f, const std::string &what)
{
    if (f.failure.empty())
        f.failure = what;
}

// One overlapped write of all of data, resumed after partial completions.
bool RawWrite(HANDLE device, HANDLE event, const char *data, DWORD count)
{
    DWORD done = 0;
    while (done < count) {
        OVERLAPPED ov = {};
        ov.hEvent = event;
        DWORD n = 0;
        if (!WriteFile(device, data + done, count - done, &n, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING || !GetOverlappedResult(device, &ov, &n, TRUE))
                return false;
        }
        if (n == 0)
            return false;
        done += n;
    }
    return true;
}

// One overlapped read that waits at most `ms`; the bytes read, cancelled after the wait.
int RawRead(HANDLE device, HANDLE event, char *buffer, DWORD count, DWORD ms)
{
    OVERLAPPED ov = {};
    ov.hEvent = event;
    DWORD n = 0;
    if (ReadFile(device, buffer, count, &n, &ov))
        return (int)n;
    if (GetLastError() != ERROR_IO_PENDING)
        return 0;
    if (WaitForSingleObject(event, ms) != WAIT_OBJECT_0)
        CancelIo(device);
    n = 0;
    GetOverlappedResult(device, &ov, &n, TRUE);
    return (int)n;
}

// How the library side of a write figure opens the pipe printer, writes and closes it.
struct LibrarySide {
    const char *name;
    std::function<bool()> open;
    std::function<int(const char *, int)> write;
    std::function<void()> close;
};

double MiBs(double ms)
{
    return ms > 0 ? (kSendbufBytes / 1048576.0) / (ms / 1000.0) : 0;
}

// A write of 1 MiB (sendbuf, norvat_write) against one raw overlapped write loop. Runs go in
// pairs, the order swapped every pair, so a load that comes and goes on the machine slows both
// sides alike; the ratio is that of the two median throughputs, since a single 1 MiB write is
// too short for the ratio of one pair to mean much.
void BenchSendbuf(Figures &f, const LibrarySide &lib, PipePrinter &printer,
                  const std::string &link, HANDLE event, SendbufFigures &out)
{
    std::vector<char> block(kSendbufBytes);
    for (size_t i = 0; i < block.size(); i++)
        block[i] = (char)(i * 131 + 7);
    std::vector<double> libraryMs, rawMs;
    long long expected = printer.Drained();
    bool arrived = true;
    for (int run = 0; run < kSendbufRuns; run++) {
        // Fresh pipe instances for both sides every pair, opened in alternating order: under
        // Wine one instance (and the server thread behind it) can drain faster than another
        // for a whole run, which would otherwise favour whichever side happened to get it.
        HANDLE raw = nullptr;
        bool libraryOpen = false;
        for (int side = 0; side < 2; side++) {
            if ((side == 0) == (run % 2 == 0)) {
                // The printer sets up its next instance just after a connect; the library's open
                // does not wait for it, so wait here as the raw open does.
                WaitNamedPipeA(link.c_str(), 2000);
                libraryOpen = lib.open();
            } else {
                raw = OpenPipeRaw(link);
            }
        }
        if (!libraryOpen || raw == nullptr) {
            Fail(f, "cannot open both sides of the pipe printer");
            if (raw != nullptr)
                CloseHandle(raw);
            lib.close();
            return;
        }
        double pair[2] = {0, 0}; // library, raw
        for (int side = 0; side < 2; side++) {
            const bool library = (side == 0) == (run % 2 == 0);
            const double start = NowMs();
            int written = kSendbufBytes;
            if (library)
                written = lib.write(block.data(), kSendbufBytes);
            else if (!RawWrite(raw, event, block.data(), kSendbufBytes))
                Fail(f, "raw write of 1 MiB failed");
            pair[library ? 0 : 1] = NowMs() - start;
            if (written != kSendbufBytes)
                Fail(f, std::string(lib.name) + " wrote " + std::to_string(written) + " of 1 MiB");
            expected += written;
            // The device end must have drained exactly what went out before the next run.
            arrived = printer.WaitDrained(expected, 10000) && arrived;
        }
        CloseHandle(raw);
        lib.close();
        printer.WaitClients(0, 2000);
        libraryMs.push_back(pair[0]);
        rawMs.push_back(pair[1]);
    }
    out.bytes = kSendbufBytes;
    out.runs = kSendbufRuns;
    out.libraryMiBs = MiBs(Summarize(libraryMs).median);
    out.rawMiBs = MiBs(Summarize(rawMs).median);
    out.ratio = out.rawMiBs > 0 ? out.libraryMiBs / out.rawMiBs : 0;
    out.allArrived = arrived;
}

// sendcommand of 64 characters (66 one-byte writes with CR LF) against 66 raw one-byte writes
// with one reused unnamed event, and with a named event made for each write as the library does.
void BenchSendcommand(Figures &f, Norvat &lib, PipePrinter &printer, HANDLE raw, HANDLE event)
{
    std::string text;
    for (int i = 0; i < kCommandLength; i++)
        text += (char)('A' + i % 26);
    const std::string wire = text + "\r\n";
    const DWORD perCommand = (DWORD)wire.size();

    std::vector<double> libraryMs, rawMs, namedMs, namedRatios;
    long long expected = printer.Drained();
    bool arrived = true;
    const auto timed = [](const std::function<void()> &work) {
        const double start = NowMs();
        work();
        return NowMs() - start;
    };
    const std::function<void()> sides[3] = {
        [&] {
            if (lib.sendcommand(text.c_str()) != 1)
                Fail(f, "sendcommand failed");
        },
        [&] {
            for (DWORD b = 0; b < perCommand; b++)
                if (!RawWrite(raw, event, &wire[b], 1))
                    Fail(f, "raw one-byte write failed");
        },
        [&] {
            for (DWORD b = 0; b < perCommand; b++) {
                HANDLE named = CreateEventA(nullptr, FALSE, FALSE, "norvat_bench_event");
                if (!RawWrite(raw, named, &wire[b], 1))
                    Fail(f, "raw one-byte write with a named event failed");
                CloseHandle(named);
            }
        },
    };
    // The three sides take turns going first, and the library is compared with the named-event
    // writes of the same round: under Wine the cost of an event drifts by tens of percent
    // within a run, which pairs taken side by side cancel.
    for (int i = 0; i < kCommands; i++) {
        double took[3];
        for (int turn = 0; turn < 3; turn++) {
            const int side = (i + turn) % 3;
            took[side] = timed(sides[side]);
        }
        libraryMs.push_back(took[0]);
        rawMs.push_back(took[1]);
        namedMs.push_back(took[2]);
        if (took[2] > 0)
            namedRatios.push_back(took[0] / took[2]);
        expected += 3 * perCommand;
    }
    arrived = printer.WaitDrained(expected, 10000);
    const double toUs = 1000.0 / perCommand;
    f.sendcommand.textLength = kCommandLength;
    f.sendcommand.bytesPerCommand = (int)perCommand;
    f.sendcommand.commands = kCommands;
    f.sendcommand.libraryUsPerByte = Summarize(libraryMs).median * toUs;
    f.sendcommand.rawUsPerByte = Summarize(rawMs).median * toUs;
    f.sendcommand.rawNamedEventUsPerByte = Summarize(namedMs).median * toUs;
    f.sendcommand.namedEventRatio = Summarize(namedRatios).median;
    f.sendcommand.allArrived = arrived;
}

// Times `calls` reads of the printer's answer: with the answer already in the pipe (delay < 0)
// or written `delay` ms after the call started. `read` returns the bytes it got into buffer.
template <typename Read>
void TimeReads(Figures &f, PipePrinter &printer, double delay, Read read, Spread *took, int *wrong,
               Spread *writtenAt)
{
    const std::string answer = std::string(kSerial) + ":~HS\r\n";
    std::vector<double> samples, at;
    for (int call = 0; call < kReadCalls; call++) {
        char buffer[65];
        double written = 0;
        if (delay < 0) {
            printer.Answer(answer, NowMs(), 0);
            if (!printer.WaitAnswered(2000, &written)) {
                Fail(f, "the pipe printer did not answer");
                return;
            }
        }
        const double start = NowMs();
        if (delay >= 0)
            printer.Answer(answer, start, delay);
        const int n = read(buffer, 64);
        samples.push_back(NowMs() - start);
        if (delay >= 0) {
            if (!printer.WaitAnswered(2000, &written)) {
                Fail(f, "the pipe printer did not answer");
                return;
            }
            at.push_back(written - start);
        }
        if (n != (int)answer.size() || std::memcmp(buffer, answer.data(), answer.size()) != 0) {
            ++*wrong;
            read(buffer, 64); // take a late answer out of the way of the next call
        }
    }
    *took = Summarize(samples);
    if (writtenAt != nullptr)
        *writtenAt = Summarize(at);
}

// RcvBuf with the answer waiting and arriving 5 ms into the call, against a raw overlapped read
// with an event wait. Exactly one client may be connected while answers are written.
void BenchRcvBuf(Figures &f, Norvat &lib, PipePrinter &printer, const std::string &link,
                 HANDLE event)
{
    ReadFigures &r = f.read;
    r.calls = kReadCalls;
    r.answerDelayMs = kLateAnswerMs;
    if (lib.OpenUSB(kSerial) != 1 || !printer.WaitClients(1, 2000)) {
        Fail(f, "OpenUSB for the read figures failed");
        return;
    }
    auto viaLibrary = [&](char *buffer, int count) { return lib.RcvBuf(buffer, count); };
    TimeReads(f, printer, -1, viaLibrary, &r.libraryWaiting, &r.wrongLibrary, nullptr);
    TimeReads(f, printer, kLateAnswerMs, viaLibrary, &r.libraryLate, &r.wrongLibrary,
              &r.answerWrittenAt);
    lib.closeport();

    if (!printer.WaitClients(0, 2000)) {
        Fail(f, "closeport left the pipe printer connected");
        return;
    }
    HANDLE raw = OpenPipeRaw(link);
    if (raw == nullptr || !printer.WaitClients(1, 2000)) {
        Fail(f, "raw open of the pipe printer failed");
        if (raw != nullptr)
            CloseHandle(raw);
        return;
    }
    auto viaRaw = [&](char *buffer, int count) {
        return RawRead(raw, event, buffer, (DWORD)count, 450);
    };
    TimeReads(f, printer, -1, viaRaw, &r.rawWaiting, &r.wrongRaw, nullptr);
    Spread ignored;
    TimeReads(f, printer, kLateAnswerMs, viaRaw, &r.rawLate, &r.wrongRaw, &ignored);
    CloseHandle(raw);
    printer.WaitClients(0, 2000);
}

// Two paced printers written at once, and writes to the draining printer while a stalled one
// waits. The test bed's paced printer has no buffer: the pipe takes a byte only when the printer
// reads it, a byte about every millisecond, so a write ends as the printer takes its last byte.
void BenchHandles(Figures &f, Norvat &lib)
{
    const char *serials[3] = {"PACED0001", "PACED0002", "STALL0001"};
    for (const char *serial : serials) {
        if (!WriteEntry(serial, PipeLink(kVidPid, serial), "Bench printer")) {
            Fail(f, "cannot write the paced printers' entries");
            return;
        }
    }
    SimulatedPrinter paced[2] = {{PipeLink(kVidPid, serials[0]), serials[0], 1},
                                 {PipeLink(kVidPid, serials[1]), serials[1], 1}};
    SimulatedPrinter stalled(PipeLink(kVidPid, serials[2]), serials[2], 1);
    stalled.SetReading(false);
    PacedPrinter printers[2];
    for (int i = 0; i < 2; i++) {
        printers[i].name = serials[i];
        printers[i].taken = [&paced, i](long long total, int ms) {
            return paced[i].WaitForBytes((size_t)total, (DWORD)ms) ? 0.0 : -1.0;
        };
    }
    BenchPacedPair(lib, printers, f.handles, &f.failure);
    BenchBesideStalled(lib, serials[2], kSerial, f.handles, &f.failure);
}

void BenchPipePrinter(Figures &f, Norvat &lib)
{
    const std::string link = PipeLink(kVidPid, kSerial);
    if (!UsbRegistry::Clear() || !WriteEntry("bench", link, "Bench printer")) {
        Fail(f, "cannot write the printer entry");
        return;
    }
    PipePrinter printer(link);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const LibrarySide legacy = {
        "sendbuf", [&] { return lib.OpenUSB(kSerial) == 1; },
        [&](const char *data, int count) { return lib.sendbuf(data, count); },
        [&] { lib.closeport(); }};
    BenchSendbuf(f, legacy, printer, link, event, f.sendbuf);
    norvat_port *port = nullptr;
    const LibrarySide handle = {
        "norvat_write", [&] { return lib.open(kSerial, &port) == 0; },
        [&](const char *data, int count) {
            return lib.write(port, data, count, NORVAT_TIMEOUT_DEFAULT);
        },
        [&] {
            lib.close(port);
            port = nullptr;
        }};
    BenchSendbuf(f, handle, printer, link, event, f.handles.write);
    if (lib.OpenUSB(kSerial) != 1) {
        Fail(f, "OpenUSB(\"" + std::string(kSerial) + "\") failed");
    } else {
        HANDLE raw = OpenPipeRaw(link);
        if (raw == nullptr) {
            Fail(f, "raw open of the pipe printer failed");
        } else {
            BenchSendcommand(f, lib, printer, raw, event);
            CloseHandle(raw);
        }
        lib.closeport();
        if (printer.WaitClients(0, 2000))
            BenchRcvBuf(f, lib, printer, link, event);
        else
            Fail(f, "a client stayed connected to the pipe printer");
    }
    CloseHandle(event);
    if (printer.WaitClients(0, 2000))
        BenchHandles(f, lib);
    else
        Fail(f, "a client stayed connected to the pipe printer");
}

// What a host's listing loop returns: FindFirstUSB, then FindNextUSB until 0.
int ListWithLibrary(Norvat &lib, std::string *first)
{
    char buffer[NORVAT_LISTING_BUFFER_SIZE];
    if (lib.FindFirstUSB(buffer) != 1)
        return 0;
    *first = buffer;
    int listed = 1;
    while (lib.FindNextUSB(buffer) == 1)
        listed++;
    return listed;
}

bool ReadValue(HKEY classKey, const std::string &subkey, const char *name, char *data, DWORD size)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(classKey, subkey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    const LONG status = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE *)data, &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

// The same information the raw way: one class key handle, entries and values read below it.
int ListWithRegistry()
{
    HKEY classKey = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPrintInterfaceClass, 0, KEY_READ, &classKey) !=
        ERROR_SUCCESS)
        return 0;
    int read = 0;
    for (DWORD i = 0;; i++) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(classKey, i, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        const std::string entry = std::string(name) + "\\#";
        char link[256], linked[16], description[256];
        if (ReadValue(classKey, entry, "SymbolicLink", link, sizeof link) &&
            ReadValue(classKey, entry + "\\Control", "Linked", linked, sizeof linked) &&
            ReadValue(classKey, entry + "\\Device Parameters", "Port Description", description,
                      sizeof description) &&
            linked[0] == 1)
            read++;
    }
    RegCloseKey(classKey);
    return read;
}

std::string Numbered(const char *prefix, int i)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s%05d", prefix, i);
    return text;
}

void BenchListing(Figures &f, Norvat &lib)
{
    for (int entries : {1, 10, 100, 1000}) {
        if (!UsbRegistry::Clear()) {
            Fail(f, "cannot clear the printer class key");
            return;
        }
        for (int i = 0; i < entries; i++) {
            if (!WriteEntry(Numbered("e", i),
                                        PipeLink(kVidPid, Numbered("L", i)),
                                        Numbered("Bench ", i))) {
                Fail(f, "cannot write " + std::to_string(entries) + " printer entries");
                return;
            }
        }
        ListingFigures l;
        l.entries = entries;
        l.repeats = entries >= 1000 ? 9 : entries >= 100 ? 21 : 101;
        std::vector<double> libraryMs, rawMs, ratios;
        for (int rep = 0; rep < l.repeats; rep++) {
            std::string first;
            double start = NowMs();
            l.listed = ListWithLibrary(lib, &first);
            libraryMs.push_back(NowMs() - start);
            if (first != "Bench 00000#L00000")
                Fail(f, "the listing began with '" + first + "'");
            start = NowMs();
            l.rawRead = ListWithRegistry();
            rawMs.push_back(NowMs() - start);
            ratios.push_back(rawMs.back() > 0 ? libraryMs.back() / rawMs.back() : 0);
        }
        if (l.listed != entries || l.rawRead != entries)
            Fail(f, "listing of " + std::to_string(entries) + " entries found " +
                        std::to_string(l.listed) + " (raw " + std::to_string(l.rawRead) + ")");
        l.libraryMs = Summarize(libraryMs).median;
        l.rawMs = Summarize(rawMs).median;
        l.ratio = Summarize(ratios).median;
        f.listing.push_back(l);
    }
}

std::string Directory(const std::string &path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

// Size on disk and the machine its PE header names.
DllFigures DllSize(const std::string &path)
{
    DllFigures d;
    d.path = path;
    d.machine = "?";
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return d;
    LARGE_INTEGER size;
    if (GetFileSizeEx(file, &size))
        d.bytes = size.QuadPart;
    unsigned char head[1024] = {};
    DWORD n = 0;
    if (ReadFile(file, head, sizeof head, &n, nullptr) && n >= 0x40) {
        DWORD pe = 0;
        std::memcpy(&pe, head + 0x3c, sizeof pe);
        if (pe + 6 <= n && std::memcmp(head + pe, "PE\0\0", 4) == 0) {
            const unsigned machine = head[pe + 4] | head[pe + 5] << 8;
            d.machine = machine == 0x14c ? "x86" : machine == 0x8664 ? "x64" : "other";
        }
    }
    CloseHandle(file);
    return d;
}

} // namespace

int main(int argc, char **argv)
{
    std::string json = std::string("norvat-bench-") + kArch + ".json";
    std::vector<std::string> dlls;
    for (int i = 1; i < argc; i++) {
        if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
            json = argv[++i];
        } else if (std::strcmp(argv[i], "--dll") == 0 && i + 1 < argc) {
            dlls.push_back(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: norvat_bench [--json FILE] [--dll PATH]...\n");
            return 2;
        }
    }
    if (dlls.empty()) {
        // The exe sits in build/<arch>/bin beside its DLL; the other target's is a sibling.
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, MAX_PATH);
        const std::string build = Directory(Directory(Directory(self)));
        for (const char *arch : {"x86", "x64"}) {
            const std::string path = build + "\\" + arch + "\\bin\\Norvat.dll";
            if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES)
                dlls.push_back(path);
        }
    }

    Figures f;
    f.arch = kArch;
    f.wine = WineVersion();
    for (const std::string &path : dlls)
        f.dlls.push_back(DllSize(path));

    Norvat lib;
    if (!lib.Load()) {
        Fail(f, "Norvat.dll or one of its exports is missing");
    } else if (!UnderWine()) {
        f.usbSkipped = "not under Wine: the registry is only written in the test bed's prefix";
    } else {
        BenchPipePrinter(f, lib);
        BenchListing(f, lib);
        UsbRegistry::Clear();
    }
    if (lib.module != nullptr)
        BenchNetworkPrinter(f, lib);
    if (lib.closeport != nullptr)
        lib.closeport();
    lib.Unload();

    PrintTable(f);
    if (!WriteJson(f, json)) {
        std::fprintf(stderr, "cannot write %s\n", json.c_str());
        return 1;
    }
    std::printf("  figures written to %s\n", json.c_str());
    return f.failure.empty() ? 0 : 1;
}
