// The Linux test bed: every test process makes its own umockdev test bed, with emulated serial
// ports, parallel ports and USB printers, and holds their device ends (real ptys underneath).
// libNorvat.so is bound with dlopen, the way hosts bind it. Runs under umockdev-wrapper.
#pragma once

#include <umockdev.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/shared/exports.h"

// The ten exports, bound by name from a freshly loaded libNorvat.so.
struct Norvat : NorvatExports {
    void *module = nullptr;

    bool Load();   // dlopen + every export; false if any is missing
    void Unload(); // dlclose: runs the library's unload teardown
};

// A USB printer as the kernel shows it: the USB device, its interface (bound to usblp, which
// keeps the IEEE 1284 device id there) and the usbmisc node.
struct UsbPrinter {
    std::string usbPort = "1-2"; // where it is plugged in: sysfs .../usb1/<usbPort>
    std::string node = "lp0";    // /dev/usb/<node>
    std::string vendor = "03f0", product = "1950";
    std::string serial;          // empty: the device has no serial attribute
    std::string productName = "Label printer";
    std::string deviceId;        // ieee1284_id; empty: none
};

// A USB serial device as the kernel shows it: the USB device, its interface and the tty. A
// usb-serial driver (ftdi_sio, ...) puts ttyUSBn under a usb-serial port of the interface;
// cdc_acm puts ttyACMn right under the interface. The defaults are the bed's ttyUSB0.
struct UsbSerial {
    std::string usbPort = "1-1.1"; // behind the board's hub: sysfs .../usb1/1-1/1-1.1
    std::string node = "ttyUSB0";  // /dev/<node>
    std::string driver = "ftdi_sio";
    std::string vendor = "0403", product = "6001";
    std::string serial = "A10K4XY3";
    std::string productName = "FT232R USB UART";
};

// Per-node emulation state, shared with the node's ioctl handler (testbed.cpp).
struct EmulatedNode;

class Testbed {
public:
    // The standard bed, a point-of-sale machine as the kernel shows it:
    // - /dev/ttyS0-ttyS8 (COM1-COM9): 16550A UARTs of the board (PnP devices 00:03-00:0b);
    //   ttyS9-ttyS31 are lines the 8250 driver registers with no UART behind them (type 0).
    //   Those have no node here: on a real machine theirs opens and then fails every transfer
    //   with EIO, which a pty cannot do;
    // - /dev/ttyUSB0 (a USB serial adapter, FT232R USB UART) and /dev/ttyACM0 (a modem-class
    //   customer display) behind the board's USB hub;
    // - /dev/lp0 and /dev/lp1 (LPT1, LPT2), the printer class's nodes for parport0 (the board's
    //   port, PnP device 00:02) and parport1 (a PCI card).
    Testbed();
    ~Testbed();
    Testbed(const Testbed &) = delete;
    Testbed &operator=(const Testbed &) = delete;

    // Whether the bed is up and this process really sees it (run under umockdev-wrapper).
    bool Ready() const { return ready_; }
    const std::string &Error() const { return error_; }

    // Plugging in and pulling out. A pulled device's records and node go, an open descriptor of
    // it sees the hang-up, and its node's ioctl handler (if one was attached) answers every
    // request as the driver of a gone device does: ENODEV from usblp, EIO from a tty. It can
    // come back only under another node name, and then best at another USB port.
    bool Plug(const UsbPrinter &printer);
    bool Unplug(const UsbPrinter &printer);
    bool Plug(const UsbSerial &device);
    bool Unplug(const UsbSerial &device);

    // The device's end of a node, e.g. "/dev/ttyS0": what the library writes arrives here.
    int End(const std::string &node);

    // What a node's driver answers beyond what a pty does. Each node gets one ioctl handler,
    // which answers what was enabled for it here and passes every other request to the pty.
    // Enable before the node is opened: umockdev ties a descriptor to its node's handler at
    // open(). The values can change at any time after that. Each returns false if the handler
    // could not be attached.

    // Ioctls on node that umockdev would refuse (TIOCEXCL, termios2) go to the pty instead;
    // with roundOff, a driver that keeps 12300 when asked for 12345 (and takes other rates).
    bool PassIoctls(const std::string &node, bool roundOff = false);

    // Makes node's driver a UART with an output queue: what the device end has not read yet is
    // what the line has not sent (TIOCOUTQ), and an output flush (TCFLSH) discards it there.
    bool EmulateUart(const std::string &node);

    // LPGETSTATUS on a printer node (/dev/usb/lpN, /dev/lpN) answers status, the printer's
    // status byte in the parallel port's bit layout (<linux/lp.h>: LP_PERRORP 0x08 no error,
    // LP_PSELECD 0x10 online, LP_POUTPA 0x20 out of paper). A negative status: the pty answers.
    bool SetPrinterStatus(const std::string &node, int status);

    // TIOCMGET on a serial node answers bits (TIOCM_DSR, TIOCM_CTS, TIOCM_CD, TIOCM_RI, ...).
    // Negative bits: the pty answers.
    bool SetModemLines(const std::string &node, int bits);

private:
    bool Add(const std::string &description);
    bool Pull(const std::string &node, const std::vector<std::string> &paths, int goneError);
    EmulatedNode *Emulate(const std::string &node);
    UMockdevTestbed *bed_ = nullptr;
    std::map<std::string, std::unique_ptr<EmulatedNode>> nodes_;
    bool ready_ = false;
    std::string error_;
};

// Reads a device end until count bytes arrived or ms passed; returns what arrived.
std::string ReadEnd(int fd, size_t count, int ms);
// Reads whatever arrives until the end has been quiet for quietMs.
std::string DrainEnd(int fd, int quietMs = 100);
bool WriteEnd(int fd, const std::string &bytes);

// A device on a device end that answers every CR LF-ended line with "<name>:<line>" CR LF, on
// a thread of its own, and records every byte it got.
class Answerer {
public:
    Answerer(int fd, const std::string &name);
    ~Answerer();
    std::string Received();

private:
    void Run();
    int fd_;
    std::string name_;
    std::mutex lock_;
    std::string received_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The output speed of a device end's line in bit/s (the pty's two ends share their settings);
// stty cannot show rates that have no B-constant. -1 when it cannot be read.
long LineSpeed(int fd);

// Runs a shell command in the test bed (children inherit it) and returns its standard output.
std::string Shell(const std::string &command);

// Milliseconds since an arbitrary start.
double NowMs();

// Paths of what the build made.
std::string ToolPath();
