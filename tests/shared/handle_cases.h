// The cases of the ports by handle that both platforms share, built into each harness: any
// maker's printer listed and opened, several ports at once that never wait for each other, the
// ten exports beside the handles, and the results every failure gives. Each harness supplies
// its simulated devices through HandlePlatform.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/shared/exports.h"
#include "tests/shared/loopback_printer.h"

// A simulated device at the far end of a port.
class TestDevice {
public:
    virtual ~TestDevice() = default;
    virtual std::string Name() = 0;     // what norvat_open takes to open it
    virtual std::string Received() = 0; // every byte it took so far
    virtual bool WaitForBytes(size_t count, int ms) = 0;
    virtual void Send(const std::string &bytes) = 0; // the device answers the host
    virtual void Stall(bool stalled) = 0;            // takes no more bytes, or takes them again
    virtual bool WaitClosed(int ms) = 0;             // the library let go of it
    // The state it reports without a byte sent (NORVAT_STATE_* bits: a printer's status byte, a
    // serial line's modem lines); false where the bed cannot.
    virtual bool SetState(unsigned state) = 0;
    // From now on answers each occurrence of written with answer, delayMs later.
    virtual void AnswerWhen(const std::string &written, const std::string &answer, int delayMs) = 0;
    virtual void ClearAnswers() = 0;
    // A USB printer pulled out, and plugged back in at another port and node.
    virtual bool Unplug() { return false; }
    virtual bool Replug() { return false; }
};

// A USB printer as a test plugs it in; ids in lower-case hex, serial empty for none.
struct PrinterMake {
    std::string vendor, product, serial, description, deviceId;
};

struct HandlePlatform {
    std::function<std::unique_ptr<TestDevice>(const PrinterMake &)> plug;
    std::function<std::unique_ptr<TestDevice>()> serialLine; // a serial port and its device end
    std::function<std::unique_ptr<TestDevice>()> parallelPort;
    unsigned parallelKnown;      // the bits norvat_status knows of a parallel port here
    std::string legacyLineName;  // OpenUSB's name for that serial port
    std::function<int()> reason; // the platform's code right after a call
    int busyReason;              // the ten exports' reason for a device a handle holds
    std::function<void()> reload;
};

inline double HandleNowMs()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

inline void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// The printers of three makers: one without a serial, one with a 60-character description.
inline std::vector<PrinterMake> ThreeMakers()
{
    const std::string longDescription = "Receipt printer at the front counter, left of the till 01";
    return {
        {"04b8", "0202", "RCPT0001", longDescription,
         "MFG:Acme;MDL:RP-80;CMD:ESC/POS;DES:" + longDescription + ";"},
        {"0519", "0003", "", "Kitchen printer",
         "MANUFACTURER:Bistro Devices;MODEL:KP 2;COMMAND SET:STAR;DES:Kitchen printer;"},
        {"0a5f", "0164", "LBL0042", "Label printer", "mfg:Tagline;mdl:LP-4;cmd:ZPL,EPL;des:Label printer;"},
    };
}

// The listing's entry of the printer with these ids, as field texts; empty when not listed.
inline std::vector<std::string> Listed(NorvatExports &lib, const PrinterMake &make)
{
    norvat_port_list *list = nullptr;
    const int count = lib.list_ports(&list);
    std::vector<std::string> fields;
    for (int i = 0; i < count && fields.empty(); i++) {
        if (make.vendor == lib.port_list_get(list, i, NORVAT_FIELD_VENDOR_ID) &&
            make.product == lib.port_list_get(list, i, NORVAT_FIELD_PRODUCT_ID))
            for (int f = NORVAT_FIELD_NAME; f <= NORVAT_FIELD_DEVICE_ID; f++)
                fields.push_back(lib.port_list_get(list, i, f));
    }
    if (count > 0) {
        EXPECT_EQ(lib.port_list_get(list, count, NORVAT_FIELD_NAME), nullptr);
        EXPECT_EQ(lib.port_list_get(list, 0, NORVAT_FIELD_DEVICE_ID + 1), nullptr);
    }
    lib.free_port_list(list);
    return fields;
}

// Writes bytes to an open handle and says whether device got exactly them.
inline ::testing::AssertionResult Arrives(NorvatExports &lib, norvat_port *port, TestDevice &device,
                                          const std::string &bytes)
{
    const size_t before = device.Received().size();
    const int n = lib.write(port, bytes.data(), (int)bytes.size(), -1);
    if (n != (int)bytes.size())
        return ::testing::AssertionFailure() << "norvat_write gave " << n;
    device.WaitForBytes(before + bytes.size(), 2000);
    const std::string got = device.Received().substr(before);
    if (got != bytes)
        return ::testing::AssertionFailure() << "the device got " << got.size() << " bytes, not "
                                             << bytes.size() << " as written";
    return ::testing::AssertionSuccess();
}

// Each printer listed with its maker, model and command set, opened by serial, listing text
// or listed name, and a round trip exact; the ten exports' filters still keep them out.
inline void CheckEveryMakersPrinter(NorvatExports &lib, const HandlePlatform &p)
{
    const std::vector<PrinterMake> makes = ThreeMakers();
    std::vector<std::unique_ptr<TestDevice>> devices;
    for (const PrinterMake &make : makes)
        devices.push_back(p.plug(make));
    const char *const kinds[][3] = {{"Acme", "RP-80", "ESC/POS"},
                                    {"Bistro Devices", "KP 2", "STAR"},
                                    {"Tagline", "LP-4", "ZPL,EPL"}};
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[(size_t)i] = (char)i;

    for (size_t i = 0; i < makes.size(); i++) {
        SCOPED_TRACE(makes[i].vendor + ":" + makes[i].product);
        const std::vector<std::string> f = Listed(lib, makes[i]);
        ASSERT_EQ(f.size(), 10u) << "not listed";
        EXPECT_EQ(f[NORVAT_FIELD_KIND], "usb");
        EXPECT_EQ(f[NORVAT_FIELD_DESCRIPTION], makes[i].description);
        EXPECT_EQ(f[NORVAT_FIELD_SERIAL], makes[i].serial);
        EXPECT_EQ(f[NORVAT_FIELD_MANUFACTURER], kinds[i][0]);
        EXPECT_EQ(f[NORVAT_FIELD_MODEL], kinds[i][1]);
        EXPECT_EQ(f[NORVAT_FIELD_COMMAND_SET], kinds[i][2]);
        EXPECT_EQ(f[NORVAT_FIELD_DEVICE_ID], makes[i].deviceId);

        const std::string name = makes[i].serial.empty() ? f[NORVAT_FIELD_NAME]
                                 : i == 0 ? makes[i].description + "#" + makes[i].serial
                                          : makes[i].serial;
        norvat_port *port = nullptr;
        ASSERT_EQ(lib.open(name.c_str(), &port), 0) << name << ": " << p.reason();
        EXPECT_TRUE(Arrives(lib, port, *devices[i], "job " + std::to_string(i) + every));
        devices[i]->Send("answer " + std::to_string(i));
        char answer[64];
        const int n = lib.read(port, answer, sizeof answer, 2000);
        EXPECT_EQ(std::string(answer, n > 0 ? (size_t)n : 0), "answer " + std::to_string(i));
        EXPECT_EQ(lib.set_baud_rate(port, 9600), NORVAT_ERR_UNSUPPORTED);
        EXPECT_EQ(lib.close(port), 0);
        EXPECT_TRUE(devices[i]->WaitClosed(2000));
    }
    char buffer[NORVAT_LISTING_BUFFER_SIZE];
    EXPECT_EQ(lib.FindFirstUSB(buffer), 0) << "no maker's printer here passes the old filters";
    EXPECT_EQ(lib.OpenUSB(makes[0].serial.c_str()), 0);
}

// A serial line, a USB printer and a network printer open at once, three threads writing
// interleaved: every byte arrives, in order, on its own device.
inline void CheckThreePortsAtOnce(NorvatExports &lib, const HandlePlatform &p)
{
    std::unique_ptr<TestDevice> line = p.serialLine();
    std::unique_ptr<TestDevice> printer = p.plug(ThreeMakers()[0]);
    LoopbackPrinter network;
    ASSERT_TRUE(network.Listening());
    const std::string names[3] = {line->Name(), printer->Name(), network.Address()};
    norvat_port *ports[3] = {};
    for (int i = 0; i < 3; i++)
        ASSERT_EQ(lib.open(names[i].c_str(), &ports[i]), 0) << names[i] << ": " << p.reason();
    std::string expected[3];
    std::atomic<int> failures{0};
    std::vector<std::thread> writers;
    for (int i = 0; i < 3; i++) {
        for (int k = 0; k < 40; k++)
            expected[i] += "<" + std::to_string(i) + ":" + std::to_string(k) + ">";
        writers.emplace_back([&, i] {
            for (int k = 0; k < 40; k++) {
                const std::string chunk = "<" + std::to_string(i) + ":" + std::to_string(k) + ">";
                if (lib.write(ports[i], chunk.data(), (int)chunk.size(), -1) != (int)chunk.size())
                    failures++;
            }
        });
    }
    for (std::thread &t : writers)
        t.join();
    EXPECT_EQ(failures, 0);
    line->WaitForBytes(expected[0].size(), 2000);
    printer->WaitForBytes(expected[1].size(), 2000);
    network.WaitForBytes(expected[2].size(), 2000);
    EXPECT_EQ(line->Received(), expected[0]);
    EXPECT_EQ(printer->Received(), expected[1]);
    EXPECT_EQ(network.Received(), expected[2]);
    for (norvat_port *port : ports)
        EXPECT_EQ(lib.close(port), 0);
}

// A printer that takes no bytes: writes to another port go on meanwhile; norvat_cancel ends the
// stalled write at once with its true count; norvat_close from a third thread ends it too; the
// printer opens again afterwards.
inline void CheckStalledPrinterDelaysNobody(NorvatExports &lib, const HandlePlatform &p)
{
    const PrinterMake make = ThreeMakers()[2];
    std::unique_ptr<TestDevice> printer = p.plug(make);
    std::unique_ptr<TestDevice> line = p.serialLine();
    norvat_port *stalled = nullptr, *other = nullptr;
    ASSERT_EQ(lib.open(make.serial.c_str(), &stalled), 0) << p.reason();
    ASSERT_EQ(lib.open(line->Name().c_str(), &other), 0) << p.reason();
    const std::string job(1 << 20, 'J');

    for (const bool byClose : {false, true}) {
        SCOPED_TRACE(byClose ? "norvat_close" : "norvat_cancel");
        printer->Stall(true);
        const size_t before = printer->Received().size();
        std::atomic<int> result{1};
        std::thread writer([&] { result = lib.write(stalled, job.data(), (int)job.size(), -1); });
        SleepMs(300);
        for (int i = 0; i < 5; i++) {
            const double start = HandleNowMs();
            EXPECT_EQ(lib.write(other, "x", 1, -1), 1);
            EXPECT_LT(HandleNowMs() - start, 100) << "waited for the stalled printer";
        }
        const double start = HandleNowMs();
        if (byClose) {
            std::thread closer([&] { EXPECT_EQ(lib.close(stalled), 0); });
            closer.join();
            EXPECT_LT(HandleNowMs() - start, 1000) << "norvat_close";
        } else {
            EXPECT_EQ(lib.cancel(stalled), 0);
        }
        writer.join();
        EXPECT_LT(HandleNowMs() - start, byClose ? 1000 : 100) << "the stalled write ended late";
        EXPECT_TRUE(result == NORVAT_ERR_CANCELLED || (result > 0 && result < (int)job.size()))
            << "result " << result;
        printer->Stall(false);
        const size_t counted = result > 0 ? (size_t)result : 0;
        printer->WaitForBytes(before + counted + 1, 1000);
        EXPECT_EQ(printer->Received().size() - before, counted)
            << "the count is not what the printer got, or the rest went out after all";
    }
    ASSERT_EQ(lib.open(make.serial.c_str(), &stalled), 0) << "the printer does not open again";
    EXPECT_TRUE(Arrives(lib, stalled, *printer, "after"));
    EXPECT_EQ(lib.cancel(stalled), 0) << "nothing in flight: harmless";
    EXPECT_TRUE(Arrives(lib, stalled, *printer, "still"));
    lib.close(stalled);
    lib.close(other);
}

// The ten exports' port and handles at once: neither closes the other's, and a device open one
// way is busy the other way; unloading closes every handle.
inline void CheckTenExportsBesideHandles(NorvatExports &lib, const HandlePlatform &p)
{
    const PrinterMake legacy = {"03f0", "1950", "LEGACY01", "Old printer", ""};
    std::unique_ptr<TestDevice> printer = p.plug(legacy);
    std::unique_ptr<TestDevice> line = p.serialLine();
    ASSERT_EQ(lib.OpenUSB(p.legacyLineName.c_str()), 1);
    norvat_port *handle = nullptr, *again = nullptr;
    ASSERT_EQ(lib.open(legacy.serial.c_str(), &handle), 0) << p.reason();
    EXPECT_EQ(lib.open(line->Name().c_str(), &again), NORVAT_ERR_BUSY);
    EXPECT_EQ(lib.open(legacy.serial.c_str(), &again), NORVAT_ERR_BUSY);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(lib.OpenUSB(legacy.serial.c_str()), 0);
    EXPECT_EQ(p.reason(), p.busyReason);
    ASSERT_EQ(lib.OpenUSB(p.legacyLineName.c_str()), 1);
    EXPECT_EQ(lib.sendbuf("old", 3), 3);
    lib.closeport();
    EXPECT_TRUE(Arrives(lib, handle, *printer, "still open"));
    EXPECT_TRUE(line->WaitForBytes(3, 1000));
    p.reload();
    EXPECT_TRUE(printer->WaitClosed(2000)) << "unloading left a handle open";
}

// What each failure gives, and a handle that is not open.
inline void CheckHandleFailures(NorvatExports &lib, const HandlePlatform &p)
{
    std::unique_ptr<TestDevice> line = p.serialLine();
    norvat_port *port = nullptr, *closed = nullptr;
    ASSERT_EQ(lib.open(line->Name().c_str(), &port), 0);
    ASSERT_EQ(lib.open(line->Name().c_str(), &closed), NORVAT_ERR_BUSY);
    char buffer[8];
    const struct {
        const char *what;
        std::function<int()> call;
        int result;
    } cases[] = {
        {"open NULL", [&] { return lib.open(nullptr, &closed); }, NORVAT_ERR_ARGUMENT},
        {"open no port", [&] { return lib.open("COM99", &closed); }, NORVAT_ERR_NOT_FOUND},
        {"open no printer", [&] { return lib.open("NO-SUCH-SERIAL", &closed); }, NORVAT_ERR_NOT_FOUND},
        {"open malformed", [&] { return lib.open("tcp://printer:0", &closed); }, NORVAT_ERR_ARGUMENT},
        {"write NULL", [&] { return lib.write(port, nullptr, 1, -1); }, NORVAT_ERR_ARGUMENT},
        {"write negative", [&] { return lib.write(port, "x", -1, -1); }, NORVAT_ERR_ARGUMENT},
        {"write nothing", [&] { return lib.write(port, nullptr, 0, -1); }, 0},
        {"read nothing there", [&] { return lib.read(port, buffer, 8, 0); }, 0},
        {"rate 0", [&] { return lib.set_baud_rate(port, 0); }, NORVAT_ERR_ARGUMENT},
        {"rate", [&] { return lib.set_baud_rate(port, 19200); }, 0},
        {"write no handle", [&] { return lib.write(nullptr, "x", 1, -1); }, NORVAT_ERR_ARGUMENT},
        {"close NULL", [&] { return lib.close(nullptr); }, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.call(), c.result) << c.what;
    EXPECT_EQ(lib.close(port), 0);
    EXPECT_EQ(lib.write(port, "x", 1, -1), NORVAT_ERR_ARGUMENT) << "a closed handle";
    EXPECT_EQ(lib.close(port), NORVAT_ERR_ARGUMENT);
    EXPECT_EQ(lib.cancel(port), NORVAT_ERR_ARGUMENT);
    std::vector<std::string> texts;
    for (int code = NORVAT_ERR_SYSTEM; code <= NORVAT_ERR_ARGUMENT; code++) {
        texts.push_back(lib.error_text(code));
        for (size_t i = 0; i + 1 < texts.size(); i++)
            EXPECT_NE(texts[i], texts.back()) << code;
    }
}
