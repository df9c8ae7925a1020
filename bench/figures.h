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
    std::string networkSkipped; // why the network printer figures are missing, if they are
    NetworkFigures network;
    std::vector<DllFigures> dlls;
};

// Targets the table and the JSON judge the figures against.
const double kSendbufRatioTarget = 0.9;
// sendcommand's cost per byte over a raw write that does the same per-byte work (the named
// event): what the library adds, its session lock included. It was 1.03 before the lock.
const double kSendcommandOverheadTarget = 1.10;
const double kWaitingReadTargetMs = 1.0;
const double kLateReadTargetMs = 20.0; // the 5 ms answer, seen by the first 15 ms poll
const double kListingFlatnessTarget = 1.5;

void PrintTable(const Figures &figures);
bool WriteJson(const Figures &figures, const std::string &path);
