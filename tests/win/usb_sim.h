// Simulated USB printers: a named pipe server stands in for the printer's device, and an entry in
// the registry's USB printer interface class points at it, just as the platform records a
// plugged-in printer. Only for the throwaway Wine prefix of the test bed.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "tests/win/pipe_server.h"

// The interface class the library reads.
extern const char kPrintInterfaceClass[];

// A device link for a pipe: \\.\pipe\USB#VID_vvvv&PID_pppp#serial#{class guid}.
std::string PipeLink(const std::string &vidPid, const std::string &serial);

// One interface entry as the registry holds it. Values left empty are written as missing.
struct UsbEntry {
    std::string subkey;          // entry name below the class key
    std::string link;            // "SymbolicLink"
    int linked = 1;              // "Linked" as a DWORD; -1 writes no value
    std::string description;     // "Port Description"
    bool hasDescription = true;
    bool rawValues = false;      // store link and description as bytes with no terminator
};

// Registry of the test prefix. Every call refuses (returns false) outside Wine.
namespace UsbRegistry {
bool Clear();                           // removes the whole class key
bool Write(const UsbEntry &entry);      // creates or replaces one entry
bool Remove(const std::string &subkey); // removes one entry
} // namespace UsbRegistry

// A printer behind a named pipe. It records every byte, answers each CR LF-ended line with
// "<serial>:<line>" CR LF, and can stop reading (a stalled device) or vanish. A paced printer
// (paceMs > 0) has no buffer in between and takes one byte every paceMs or so, so each write of
// the library stays pending until the printer took its bytes, as with a slow real printer.
class SimulatedPrinter : public PipeServer {
public:
    SimulatedPrinter(const std::string &link, const std::string &serial, DWORD paceMs = 0);
    ~SimulatedPrinter() override;

    std::string Received();
    bool WaitForBytes(size_t count, DWORD ms);
    bool Connected(); // a client holds the pipe open
    int Connections();
    // Waits until no client holds the pipe (the library closed its handle).
    bool WaitDisconnected(DWORD ms);
    void SetReading(bool reading); // false: the client's writes pile up and stall
    void StallAfter(size_t total); // take bytes until `total` arrived in all, then stall
    void Vanish();                 // closes the server end for good

private:
    void ServeClient(HANDLE pipe) override;

    std::string serial_;
    CRITICAL_SECTION lock_;
    std::string received_;
    bool reading_ = true;
    size_t readLimit_ = (size_t)-1;
    DWORD paceMs_;
    int active_ = 0, connections_ = 0;
};
