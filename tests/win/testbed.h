// Harness for the Windows tests and the bench: binds Norvat.dll the way a host does, and reaches
// the simulated devices that scripts/testbed.sh set up (socat pty pairs behind COM ports, FIFOs
// behind LPT ports, named pipes with registry entries as USB printers). No test framework here.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdint>
#include <string>

#include "tests/shared/exports.h"

// The ten exports, bound by name from a freshly loaded Norvat.dll.
struct Norvat : NorvatExports {
    HMODULE module = nullptr;

    bool Load();   // LoadLibrary + every export; false if any is missing
    void Unload(); // FreeLibrary: runs the library's unload teardown
};

// One end of a device, opened for overlapped I/O with deadlines of our own.
class DeviceEnd {
public:
    DeviceEnd() = default;
    explicit DeviceEnd(const std::string &path);
    ~DeviceEnd();
    DeviceEnd(const DeviceEnd &) = delete;
    DeviceEnd &operator=(const DeviceEnd &) = delete;

    bool IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Handle() const { return handle_; }
    void Adopt(HANDLE handle);
    void Close();

    // Reads until `count` bytes arrived or `ms` passed; returns what arrived.
    std::string Read(size_t count, DWORD ms);
    // Reads whatever arrives until the line is quiet for `quietMs`.
    std::string Drain(DWORD quietMs = 300);
    bool Write(const std::string &bytes);

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// Reads `count` bytes from a device end on a thread of its own, for at most `ms`, while the
// test drives the library; Wait() joins the thread and gives what arrived.
class BackgroundRead {
public:
    BackgroundRead(DeviceEnd &device, size_t count, DWORD ms);
    ~BackgroundRead();
    BackgroundRead(const BackgroundRead &) = delete;
    BackgroundRead &operator=(const BackgroundRead &) = delete;
    std::string Wait();

private:
    static DWORD WINAPI Run(void *self);
    DeviceEnd &device_;
    size_t count_;
    DWORD ms_;
    std::string got_;
    HANDLE thread_ = nullptr;
};

// Paths of the test bed.
std::string TestbedUnixPath(const std::string &relative); // e.g. "dev/com1"
std::string ToWindowsPath(const std::string &unixPath);   // Z:\...

// The device end of the library's COM port n (COM n+10).
std::string DeviceEndOf(int comPort);

// Runs a Linux shell command from inside Wine; returns its standard output.
std::string RunUnix(const std::string &command);

// How many handles on the machine hold the pty behind the library's COM port n, except the
// one socat itself keeps: 0 means the library has the port closed. While it is open, Wine holds
// the descriptor in its server and caches it in the process, so one open counts more than once.
int OpenersOfCom(int comPort);

// Line settings of the library's COM port n as Linux sees them (stty -a).
std::string SttyOfCom(int comPort);

// Whether we run under Wine (registry-writing tests refuse to run anywhere else).
bool UnderWine();

// Whether the Wine server, which makes every socket, lives in a network namespace with nothing
// but loopback in it (the network printer tests, suites named Network..., need that). False when
// that cannot be read.
bool ServerInOwnNetwork();

// The value a fresh handle gets. Wine hands out the lowest free slot of the handle table, so a
// handle leaked anywhere shows as a higher value once the leaks fill the slots freed meanwhile.
// (GetProcessHandleCount does not work under Wine.)
uintptr_t FreshHandleValue();

// Milliseconds since an arbitrary start.
double NowMs();
