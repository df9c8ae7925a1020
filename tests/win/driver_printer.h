// Simulated devices of the test bed's driver (tests/win/driver/): a USB printer, serial port or
// parallel port that any program, the library included, opens by its link and talks to as to
// real hardware, while the test sets what it answers and reads back what it got. Unlike a named
// pipe, it answers the class requests (status byte, IEEE 1284 ID, serial line settings, modem
// lines, parallel status). No test framework here.
//
// The driver runs in the test prefix (scripts/testbed.sh up starts it after an x64 build) and
// keeps TESTPRN_SLOTS devices; this process hands them out. Two test processes using it at once
// would take each other's devices: run the tests that use it one process at a time.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <winioctl.h>

#include <string>

#include "tests/win/driver/testprn_ioctl.h"

class DriverDevice {
public:
    enum Kind { kUsbPrinter = TESTPRN_USB_PRINTER, kSerialPort = TESTPRN_SERIAL_PORT,
                kParallelPort = TESTPRN_PARALLEL_PORT };

    // "" when the driver can be used here; otherwise why not (tests skip with it): not under
    // Wine, a 32-bit build (the driver is x64 only), or the driver is not running.
    static std::string Unavailable();

    // Plugs a device of `kind` in at `link` ("COM20", "LPT3",
    // "USB#VID_04B8&PID_0202#SER1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}") with fresh state:
    // writes taken at once, nothing to read, the defaults of testprn_ioctl.h. A program opens it
    // as "\\.\<link>" (or "\\?\<link>"). Plugged() says whether that worked. The destructor
    // unplugs it and forgets its state.
    DriverDevice(Kind kind, const std::string &link);
    ~DriverDevice();
    DriverDevice(const DriverDevice &) = delete;
    DriverDevice &operator=(const DriverDevice &) = delete;

    bool Plugged();
    std::string Path() const; // "\\.\<link>"

    // Every byte programs wrote to it, in order, and a wait until `count` of them arrived.
    std::string Received();
    bool WaitForBytes(size_t count, DWORD ms);

    // Writes pend from now on (CancelIo/CancelIoEx end them, reporting the bytes taken); or
    // after `count` more bytes (a write that gets part of its bytes through); Release() takes
    // everything again, completing the pending writes.
    bool Stall() { return TakeThenStall(0); }
    bool TakeThenStall(size_t count);
    bool Release();

    // Bytes reads get, now; a read with nothing queued pends until bytes come (or is
    // cancelled). AnswerWhen queues `answer` delayMs after each time the written stream comes
    // to contain `written` (up to TESTPRN_PATTERN_MAX bytes, a pattern may span writes); an
    // empty answer answers nothing. Up to TESTPRN_RULES rules.
    bool QueueAnswer(const std::string &bytes);
    // Back to the fresh state of a plug: nothing received or queued, no rules, the defaults.
    bool Reset() { return Request(TESTPRN_RESET, 0); }
    bool AnswerWhen(const std::string &written, const std::string &answer, DWORD delayMs = 0);

    // What the class requests answer from now on.
    bool SetStatus(unsigned char byte);         // USB: IOCTL_USBPRINT_GET_LPT_STATUS
    bool SetDeviceId(const std::string &id);    // USB: IOCTL_USBPRINT_GET_1284_ID's text
    bool SetModem(DWORD msBits);                // serial: GetCommModemStatus (MS_CTS_ON ...)
    bool SetParallelStatus(unsigned char bits); // parallel: IOCTL_PAR_QUERY_INFORMATION

    TestPrnInfo Info();                          // all zero if the driver does not answer
    DWORD BaudRate() { return Info().baudRate; } // last set by SetCommState; 9600 before
    int Opens() { return (int)Info().opens; }   // handles open on it now, earlier plugs' too

    // The device is gone: its link disappears (opens fail with ERROR_FILE_NOT_FOUND), and every
    // request pending on it or sent later on a handle opened before fails with `gone`, an
    // NTSTATUS (0: STATUS_UNSUCCESSFUL, which programs see as ERROR_GEN_FAILURE).
    bool Unplug(LONG gone = 0);
    // Plugs it back, at `link` or at the link it had (""), keeping its state. Handles opened
    // before stay dead, as with a real device.
    bool Replug(const std::string &link = "");

private:
    bool Request(DWORD code, ULONG value, const std::string &data = "", ULONG split = 0,
                 void *out = nullptr, DWORD outSize = 0, DWORD *got = nullptr);

    int slot_ = -1;
    Kind kind_;
    std::string link_;
};

// Lists a driver USB printer in the USB printer interface class, as the platform does for a
// plugged-in one: entry `subkey` with SymbolicLink "\\?\<link>" and Port Description
// `description`. Refuses (false) outside Wine.
bool RegisterDriverPrinter(const std::string &subkey, const std::string &link,
                           const std::string &description);
