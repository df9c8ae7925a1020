// The figures one bench run produces, and their two renderings: a table and JSON.
#pragma once

#include <string>
#include <vector>

// Summary of repeated timings.
struct Spread {
    double median = 0, worst = 0, best = 0;
};
Spread Summarize(std::vector<double> samples);

struct SendbufFigures {
    int bytes = 0, runs = 0;
    double libraryMiBs = 0, rawMiBs = 0; // medians
    double ratio = 0;                    // library over raw throughput, median of the pairs
    bool allArrived = false;             // the device end drained exactly what was sent
};

struct SendcommandFigures {
    int textLength = 0, bytesPerCommand = 0, commands = 0;
    double libraryUsPerByte = 0, rawUsPerByte = 0, rawNamedEventUsPerByte = 0;
    double namedEventRatio = 0; // library over named-event writes, median of same-round pairs
    bool allArrived = false;
};

struct ReadFigures {
    int calls = 0, wrongLibrary = 0, wrongRaw = 0;
    double answerDelayMs = 0;
    Spread libraryWaiting, rawWaiting, libraryLate, rawLate;
    Spread answerWrittenAt; // when the late answer really went in, after the call started
};

struct ListingFigures {
    int entries = 0, repeats = 0, listed = 0, rawRead = 0;
    double libraryMs = 0, rawMs = 0; // medians
    double ratio = 0;                // library over raw time, median of the pairs
};

// A network printer on loopback, against a raw send loop that also waits for the printer's
// acknowledgement where the platform reports it (and only hands the bytes over where not).
struct NetworkFigures {
    int runs = 0, smallBytes = 0, textLength = 0;
    double libraryMiBs = 0, rawMiBs = 0, ratio = 0; // sendbuf 1 MiB, medians
    double smallLibraryUs = 0, smallRawUs = 0;      // one sendbuf of smallBytes
    double commandLibraryUs = 0, commandRawUs = 0;  // one sendcommand of textLength
    bool acknowledged = false;                      // the platform reports acknowledgements
    bool allArrived = false;
};

// The ports by handle: a write against the raw one, two paced printers written at once from two
// threads, and writes to one port while another sits in a stalled write.
struct HandleFigures {
    SendbufFigures write; // norvat_write of 1 MiB, as sendbuf
    int pairBytes = 0, pairRounds = 0;
    double aloneMs[2] = {0, 0}, pairMs = 0; // medians
    double pairRatio = 0;                   // the pair over the slower alone, median of rounds
    int neighbourWrites = 0, neighbourBytes = 0;
    Spread neighbourMs; // each write to the other port while the stalled one waits
    int stalls = 0;
    Spread cancelMs;       // from norvat_cancel to the stalled write's return, each stall
    int stalledResult = 0; // what the first stalled write returned: bytes, or NORVAT_ERR_*
};

struct DllFigures {
    std::string path, machine;
    long long bytes = -1;
};

struct Figures {
    std::string arch, wine;
    std::string usbSkipped; // why the pipe and registry parts did not run, if they did not
    std::string failure;    // the first thing that went wrong, if anything did
    SendbufFigures sendbuf;
    SendcommandFigures sendcommand;
    ReadFigures read;
    std::vector<ListingFigures> listing;
    HandleFigures handles;
    std::string networkSkipped; // why the network printer figures are missing, if they are
    NetworkFigures network;
    std::vector<DllFigures> dlls;
};

// Targets the table and the JSON judge the figures against.
const double kSendbufRatioTarget = 0.9;
// sendcommand's cost per byte over a raw write that does the same per-byte work (the named
// event): what the library adds, its port lock included. It was 1.03 before the lock.
const double kSendcommandOverheadTarget = 1.10;
const double kWaitingReadTargetMs = 1.0;
const double kLateReadTargetMs = 20.0; // the 5 ms answer, seen by the first 15 ms poll
const double kListingFlatnessTarget = 1.5;
const double kHandleWriteRatioTarget = 0.95;
// Two printers at once, each from its own thread and handle, against the slower one alone.
const double kPairRatioTarget = 1.05;
const double kNeighbourWriteTargetMs = 50.0; // the worst write to a port beside a stalled one
// A cancel ends the call within one polling slice (they grow to 16 ms), and a wake-up: the worst.
const double kCancelTargetMs = 20.0;

void PrintTable(const Figures &figures);
// The table's column heads, and one row: library, raw, ratio (NaN prints blank), target, verdict.
void PrintColumns();
void PrintRow(const std::string &name, double library, double raw, double ratio,
              const char *target, const char *met, const char *format = "%10.2f");
// The handles' rows and their JSON member ("handles": {...}), for both benches.
void PrintHandleRows(const HandleFigures &handles);
std::string HandleJson(const HandleFigures &handles);
bool WriteJson(const Figures &figures, const std::string &path);
