// Soak: thousands of open / write / read / close cycles on the COM pairs and on a USB printer
// pipe, for a fixed time, mixed with what hosts do wrong in the field: opens that fail, opens
// without a close, reads on a quiet line, and the DLL unloaded with a port open. Afterwards no
// handle has leaked, every byte sent arrived once and in order at the device end, and every
// answer was read once.
#include "tests/win/fixture.h"
#include "tests/win/usb_sim.h"

#include <cstdint>
#include <memory>

namespace {

const int kComPorts[] = {1, 2, 3, 4, 7, 8, 9};
const int kComPortCount = sizeof kComPorts / sizeof kComPorts[0];
const char kHp[] = "VID_03F0&PID_1950";
const char kSerial[] = "SOAK1";
const char kListingText[] = "Soak printer#SOAK1";
const char kGoneSerial[] = "SOAKGONE"; // registered and live, but no device behind it

// Time for the cycles themselves; warm-up and the final checks add a few seconds.
const double kBudgetMs = 44000;
// A COM cycle takes at least one 15 ms poll (Wine leaves every serial read pending at first),
// a USB cycle a few ms. A 2-core machine does about 1900 of each in the budget; the minimums
// let a machine three times slower pass, but not a soak that stalls or skips its cycles.
const int kMinComCycles = 600;
const int kMinUsbCycles = 600;
const int kMinEachFault = 3;
// A fault every few rounds; the slow ones (a read on a quiet line waits ~300-450 ms) rarer.
const int kRoundsPerFault = 4;
const int kFaultKinds = 8;
const int kFaultsPerStalledRead = 16;
// Printer threads' handles are kept until the printer goes; a fresh printer every so often.
const int kUsbCyclesPerPrinter = 150;

std::string Head(const std::string &text)
{
    return text.size() <= 40 ? text
                             : text.substr(0, 40) + "...(" + std::to_string(text.size()) + ")";
}

// The ptys behind the library's COM ports that any process other than socat still holds, one
// pass over /proc for all ports (OpenersOfCom takes one pass per port).
std::string HeldComPorts()
{
    std::string ports;
    for (int port : kComPorts)
        ports += " " + std::to_string(port);
    const std::string bed = TestbedUnixPath("");
    const std::string pts =
        "pts=$(for n in" + ports + "; do readlink -f " + bed + "dev/com$n; done); ";
    const std::string socats = "socats=$(cat " + bed + "pids/socat-com*); ";
    return RunUnix(pts + socats +
                   "for f in /proc/[0-9]*/fd/*; do p=${f#/proc/}; p=${p%%/*}; "
                   "for s in $socats; do [ $p = $s ] && continue 2; done; "
                   "l=$(readlink $f 2>/dev/null); "
                   "for t in $pts; do case $l in $t) echo $p:$t;; esac; done; done");
}

enum Fault {
    kMissingComPort,       // OpenUSB("COM55"): no port stays open
    kUnknownSerial,        // OpenUSB of a serial nobody has: the open COM port stays open
    kPrinterWithoutDevice, // a live entry whose device is gone: no port stays open
    kComReopen,            // openport twice, then OpenUSB("COMn") of another, no closeport
    kUsbReopen,            // OpenUSB twice, no closeport
    kUnloadWithComOpen,
    kUnloadWithUsbOpen,
    kFullListing, // the listing of the two entries, in full
    kStalledRead,
};

class Soak : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        ASSERT_TRUE(UnderWine()) << "refusing to write the registry outside Wine";
        ASSERT_TRUE(UsbRegistry::Clear());
        UsbEntry live{"s0", PipeLink(kHp, kSerial), 1, "Soak printer"};
        UsbEntry gone{"s1", PipeLink(kHp, kGoneSerial), 1, "Gone printer"};
        ASSERT_TRUE(UsbRegistry::Write(live));
        ASSERT_TRUE(UsbRegistry::Write(gone));
        for (int i = 0; i < kComPortCount; i++) {
            // Leftovers of earlier tests on the library's side would look like a double answer.
            HANDLE port =
                CreateFileA(("\\\\.\\COM" + std::to_string(kComPorts[i])).c_str(),
                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(port, INVALID_HANDLE_VALUE) << "COM" << kComPorts[i];
            PurgeComm(port, PURGE_RXCLEAR | PURGE_TXCLEAR);
            CloseHandle(port);
            devices[i].Adopt(CreateFileA(DeviceEndOf(kComPorts[i]).c_str(),
                                         GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_FLAG_OVERLAPPED, nullptr));
            ASSERT_TRUE(devices[i].IsOpen()) << DeviceEndOf(kComPorts[i]);
            COMMTIMEOUTS none = {};
            SetCommTimeouts(devices[i].Handle(), &none);
            devices[i].Drain(20);
        }
    }
    void TearDown() override
    {
        if (lib.closeport != nullptr)
            lib.closeport();
        printer.reset();
        UsbRegistry::Clear();
        NorvatTest::TearDown();
    }

    // The printer of the current block, started when first needed.
    SimulatedPrinter *Printer()
    {
        if (!printer) {
            printer = std::make_unique<SimulatedPrinter>(PipeLink(kHp, kSerial), kSerial);
            printerBytes.clear();
            printerCycles = 0;
        }
        return printer.get();
    }

    // The printer serves each client on its own pipe instance and makes the next one after a
    // client came: a second open right after the first must wait for it, as a host would retry.
    bool PrinterListening() { return WaitNamedPipeA(PipeLink(kHp, kSerial).c_str(), 2000) != 0; }

    // Reads exactly `size` bytes of answer through the library, over a few calls if need be.
    std::string ReadAnswer(size_t size)
    {
        std::string got;
        char buffer[512];
        for (int call = 0; call < 8 && got.size() < size; call++) {
            const int n = lib.RcvBuf(buffer, (int)(size - got.size()));
            if (n > 0)
                got.append(buffer, n);
        }
        return got;
    }

    // Bytes to the device end of COM port slot, checked there, and an answer read back.
    ::testing::AssertionResult ComExchange(int slot)
    {
        const int port = kComPorts[slot];
        const unsigned n = ++sequence;
        std::string wire;
        if (n % 3 == 0) {
            const std::string text = "CMD" + std::to_string(n);
            if (lib.sendcommand(text.c_str()) != 1)
                return ::testing::AssertionFailure() << "sendcommand to COM" << port << " failed";
            wire = text + "\r\n";
        } else {
            wire = "C" + std::to_string(port) + "#" + std::to_string(n) + ":";
            wire.append(n * 37 % 1500, (char)('a' + n % 26));
            const int sent = lib.sendbuf(wire.data(), (int)wire.size());
            if (sent != (int)wire.size())
                return ::testing::AssertionFailure()
                       << "sendbuf to COM" << port << " gave " << sent << " of " << wire.size();
        }
        // Any byte sent twice, or sent by an earlier open that should have sent nothing, is
        // still in front of these and shows here.
        const std::string got = devices[slot].Read(wire.size(), 3000);
        if (got != wire)
            return ::testing::AssertionFailure()
                   << "COM" << port << " device end got '" << Head(got) << "', expected '"
                   << Head(wire) << "'";
        // No XON/XOFF byte in answers: the library's side stops sending on those.
        const std::string answer = "A" + std::to_string(port) + "#" + std::to_string(n) + "\r\n";
        if (!devices[slot].Write(answer))
            return ::testing::AssertionFailure() << "device end of COM" << port << " cannot write";
        const std::string read = ReadAnswer(answer.size());
        if (read != answer)
            return ::testing::AssertionFailure()
                   << "COM" << port << " answer read as '" << Head(read) << "', expected '"
                   << Head(answer) << "'";
        return ::testing::AssertionSuccess();
    }

    // A line to the printer, checked against everything it ever received, and its answer.
    ::testing::AssertionResult UsbExchange()
    {
        SimulatedPrinter *device = Printer();
        const unsigned n = ++sequence;
        std::string line = "U" + std::to_string(n);
        if (n % 2 == 0) {
            if (lib.sendcommand(line.c_str()) != 1)
                return ::testing::AssertionFailure() << "sendcommand to the printer failed";
        } else {
            line.append(n * 13 % 200, (char)('A' + n % 26));
            const std::string bytes = line + "\r\n";
            if (lib.sendbuf(bytes.data(), (int)bytes.size()) != (int)bytes.size())
                return ::testing::AssertionFailure() << "sendbuf to the printer failed";
        }
        printerBytes += line + "\r\n";
        device->WaitForBytes(printerBytes.size(), 3000);
        const std::string received = device->Received();
        if (received != printerBytes)
            return ::testing::AssertionFailure()
                   << "the printer holds " << received.size() << " bytes, expected "
                   << printerBytes.size() << "; last: '"
                   << Head(received.substr(received.size() > 60 ? received.size() - 60 : 0)) << "'";
        const std::string answer = std::string(kSerial) + ":" + line + "\r\n";
        const std::string read = ReadAnswer(answer.size());
        if (read != answer)
            return ::testing::AssertionFailure() << "printer answer read as '" << Head(read)
                                                 << "', expected '" << Head(answer) << "'";
        return ::testing::AssertionSuccess();
    }

    // openport by digit or OpenUSB by name, an exchange, closeport.
    ::testing::AssertionResult ComCycle(int slot)
    {
        const int port = kComPorts[slot];
        const std::string name = "COM" + std::to_string(port);
        const std::string digit(1, (char)('0' + port));
        const int opened = sequence % 2 ? lib.openport(digit.c_str()) : lib.OpenUSB(name.c_str());
        if (opened != 1)
            return ::testing::AssertionFailure() << "cannot open " << name;
        ::testing::AssertionResult exchanged = ComExchange(slot);
        lib.closeport();
        comCycles++;
        return exchanged;
    }

    // OpenUSB by serial, by listing text, or openport("6"); an exchange; closeport.
    ::testing::AssertionResult UsbCycle()
    {
        if (printer && printerCycles >= kUsbCyclesPerPrinter)
            printer.reset(); // its client threads' handles go with it
        Printer();
        int opened = 0;
        switch (sequence % 3) {
        case 0: opened = lib.OpenUSB(kSerial); break;
        case 1: opened = lib.OpenUSB(kListingText); break;
        default: opened = lib.openport("6"); break;
        }
        if (opened != 1)
            return ::testing::AssertionFailure() << "cannot open the printer";
        ::testing::AssertionResult exchanged = UsbExchange();
        lib.closeport();
        usbCycles++;
        printerCycles++;
        return exchanged;
    }

    // Nothing goes anywhere: no port is open.
    ::testing::AssertionResult NothingOpen(const char *after)
    {
        if (lib.sendbuf("x", 1) != 0)
            return ::testing::AssertionFailure() << "a port is still open after " << after;
        return ::testing::AssertionSuccess();
    }

    ::testing::AssertionResult Inject(Fault fault, int slot)
    {
        const int port = kComPorts[slot];
        const std::string digit(1, (char)('0' + port));
        faults[fault]++;
        switch (fault) {
        case kMissingComPort:
            if (lib.openport(digit.c_str()) != 1 || lib.OpenUSB("COM55") != 0)
                return ::testing::AssertionFailure() << "OpenUSB(\"COM55\") did not fail";
            return NothingOpen("OpenUSB(\"COM55\")");
        case kUnknownSerial: {
            if (lib.openport(digit.c_str()) != 1 || lib.OpenUSB("NOSUCHSERIAL") != 0)
                return ::testing::AssertionFailure() << "OpenUSB of an unknown serial did not fail";
            ::testing::AssertionResult stillOpen = ComExchange(slot);
            lib.closeport();
            return stillOpen;
        }
        case kPrinterWithoutDevice:
            if (lib.openport(digit.c_str()) != 1 || lib.OpenUSB(kGoneSerial) != 0)
                return ::testing::AssertionFailure()
                       << "OpenUSB of a printer without device opened";
            return NothingOpen("OpenUSB of a printer without device");
        case kComReopen: {
            const int other = (slot + 3) % kComPortCount;
            const std::string otherName = "COM" + std::to_string(kComPorts[other]);
            if (lib.openport(digit.c_str()) != 1 || lib.openport(digit.c_str()) != 1)
                return ::testing::AssertionFailure() << "COM" << port << " did not open twice";
            ::testing::AssertionResult first = ComExchange(slot);
            if (!first)
                return first;
            if (lib.OpenUSB(otherName.c_str()) != 1)
                return ::testing::AssertionFailure()
                       << otherName << " did not open over COM" << port;
            ::testing::AssertionResult second = ComExchange(other);
            lib.closeport();
            return second;
        }
        case kUsbReopen: {
            SimulatedPrinter *device = Printer();
            const int before = device->Connections();
            if (lib.OpenUSB(kSerial) != 1 || !PrinterListening() || lib.OpenUSB(kSerial) != 1)
                return ::testing::AssertionFailure() << "the printer did not open twice";
            ::testing::AssertionResult exchanged = UsbExchange();
            lib.closeport();
            if (!exchanged)
                return exchanged;
            // Each client is counted by its own server thread, which may start a moment late.
            for (int i = 0; i < 200 && device->Connections() < before + 2; i++)
                Sleep(10);
            if (device->Connections() != before + 2)
                return ::testing::AssertionFailure()
                       << "printer saw " << device->Connections() - before
                       << " connections, expected 2";
            // Had the first open stayed behind, the printer would keep a client.
            if (!device->WaitDisconnected(2000))
                return ::testing::AssertionFailure() << "the reopened printer stays connected";
            return ::testing::AssertionSuccess();
        }
        case kUnloadWithComOpen: {
            if (lib.openport(digit.c_str()) != 1)
                return ::testing::AssertionFailure() << "cannot open COM" << port;
            ::testing::AssertionResult before = ComExchange(slot);
            if (!before)
                return before;
            lib.Unload();
            if (!lib.Load())
                return ::testing::AssertionFailure() << "Norvat.dll did not load again";
            if (lib.openport(digit.c_str()) != 1)
                return ::testing::AssertionFailure()
                       << "COM" << port << " did not open after a reload";
            ::testing::AssertionResult after = ComExchange(slot);
            lib.closeport();
            return after;
        }
        case kUnloadWithUsbOpen: {
            SimulatedPrinter *device = Printer();
            if (lib.OpenUSB(kSerial) != 1)
                return ::testing::AssertionFailure() << "cannot open the printer";
            ::testing::AssertionResult before = UsbExchange();
            if (!before)
                return before;
            lib.Unload();
            const bool released = device->WaitDisconnected(2000);
            if (!lib.Load())
                return ::testing::AssertionFailure() << "Norvat.dll did not load again";
            if (!released)
                return ::testing::AssertionFailure() << "unloading kept the printer open";
            return ::testing::AssertionSuccess();
        }
        case kFullListing: {
            char buffer[NORVAT_LISTING_BUFFER_SIZE];
            std::string listed;
            for (int more = lib.FindFirstUSB(buffer); more == 1; more = lib.FindNextUSB(buffer))
                listed += std::string(buffer) + "|";
            if (listed != std::string(kListingText) + "|Gone printer#" + kGoneSerial + "|")
                return ::testing::AssertionFailure() << "listing '" << listed << "'";
            return ::testing::AssertionSuccess();
        }
        case kStalledRead: {
            // A read on a quiet line waits, is cancelled, and takes no byte of what follows.
            const bool usb = faults[kStalledRead] % 2 == 0;
            if ((usb ? lib.OpenUSB(kSerial) : lib.openport(digit.c_str())) != 1)
                return ::testing::AssertionFailure() << "cannot open for the quiet read";
            char buffer[17];
            const double start = NowMs();
            const int n = lib.RcvBuf(buffer, 16);
            const double took = NowMs() - start;
            if (n != 0 || took < 250 || took > 2000)
                return ::testing::AssertionFailure()
                       << "quiet read gave " << n << " after " << took << " ms";
            ::testing::AssertionResult after = usb ? UsbExchange() : ComExchange(slot);
            lib.closeport();
            return after;
        }
        }
        return ::testing::AssertionFailure() << "no such fault";
    }

    DeviceEnd devices[kComPortCount];
    std::unique_ptr<SimulatedPrinter> printer;
    std::string printerBytes; // every byte the current printer should have, in order
    int printerCycles = 0;
    unsigned sequence = 0;
    int comCycles = 0, usbCycles = 0;
    int faults[kStalledRead + 1] = {};
};

TEST_F(Soak, CyclesFaultsAndReloadsLeakNothingAndLoseNoByte)
{
    // Warm-up: every path once, so what Wine allocates once per process is in place.
    for (int fault = 0; fault <= kStalledRead; fault++) {
        ASSERT_TRUE(ComCycle(fault % kComPortCount));
        ASSERT_TRUE(UsbCycle());
        ASSERT_TRUE(Inject((Fault)fault, fault % kComPortCount)) << "warm-up fault " << fault;
    }
    printer.reset();
    const uintptr_t baseline = FreshHandleValue();
    comCycles = usbCycles = 0;
    for (int &count : faults)
        count = 0;

    const double start = NowMs();
    int round = 0;
    for (; NowMs() - start < kBudgetMs; round++) {
        ASSERT_TRUE(ComCycle(round % kComPortCount)) << "round " << round;
        ASSERT_TRUE(UsbCycle()) << "round " << round;
        ASSERT_TRUE(ComCycle((round + 4) % kComPortCount)) << "round " << round;
        ASSERT_TRUE(UsbCycle()) << "round " << round;
        if (round % kRoundsPerFault == 0) {
            const int nth = round / kRoundsPerFault;
            const Fault fault = nth % kFaultsPerStalledRead == kFaultsPerStalledRead - 1
                                    ? kStalledRead
                                    : (Fault)(nth % kFaultKinds);
            ASSERT_TRUE(Inject(fault, (round + 2) % kComPortCount))
                << "fault " << fault << ", round " << round;
        }
    }
    const double took = NowMs() - start;

    lib.closeport();
    printer.reset();
    const uintptr_t after = FreshHandleValue();
    EXPECT_LE(after, baseline) << "handles leaked: a fresh handle was " << baseline
                               << " after the warm-up and is " << after << " now";
    for (int i = 0; i < kComPortCount; i++)
        EXPECT_EQ(devices[i].Drain(30), "") << "COM" << kComPorts[i] << " got bytes after the soak";
    EXPECT_EQ(HeldComPorts(), "") << "ptys of library ports still held open";
    EXPECT_GE(comCycles, kMinComCycles);
    EXPECT_GE(usbCycles, kMinUsbCycles);
    for (int fault = 0; fault <= kStalledRead; fault++)
        EXPECT_GE(faults[fault], kMinEachFault) << "fault " << fault;
    std::printf("soak: %.1f s, %d rounds, %d COM and %d USB cycles, faults", took / 1000, round,
                comCycles, usbCycles);
    for (int count : faults)
        std::printf(" %d", count);
    std::printf("; fresh handle %u -> %u\n", (unsigned)baseline, (unsigned)after);
}

} // namespace
