// The network printer tests of both platforms, built into each harness: round trips, the
// failures a host meets, and printers that go away. Each harness opens a network namespace of
// its own first (only loopback in it), so the packet filter rules here touch nothing else.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/shared/exports.h"
#include "tests/shared/loopback_printer.h"

struct NetworkPlatform {
    std::function<int()> reason;                           // right after a call
    std::function<std::string(const std::string &)> shell; // a Linux command in the namespace
    std::function<bool(int)> isResolverCode;               // an unknown name's reason
    int badArgument, timedOut, refused, connectTimedOut;
    std::vector<int> connectionGone; // a write or read after the printer reset the connection
    int notSerial;                   // setbaudrate on a port that is no serial line
    std::function<void()> reload;    // unloads the library and loads it again
};

inline double NetworkNowMs()
{
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Drops every packet to the printer's port from now on, as a printer switched off does; the
// rule goes with the namespace, or with Forget.
class DroppedPort {
public:
    DroppedPort(const NetworkPlatform &p, int port) : p_(p)
    {
        p_.shell("nft add table inet norvat_test && nft add chain inet norvat_test in "
                 "'{ type filter hook input priority 0; }' && nft add rule inet norvat_test in "
                 "tcp dport " + std::to_string(port) + " drop && echo dropping");
    }
    ~DroppedPort() { p_.shell("nft delete table inet norvat_test"); }
    bool Active() { return p_.shell("nft list tables").find("norvat_test") != std::string::npos; }

private:
    const NetworkPlatform &p_;
};

// What a call returned, the reason it left, and how long it took.
struct Timed {
    int result, reason;
    double ms;
};

inline Timed TimeCall(const NetworkPlatform &p, const std::function<int()> &call)
{
    const double start = NetworkNowMs();
    const int result = call();
    const int reason = p.reason();
    return {result, reason, NetworkNowMs() - start};
}

// Reads an answer through the library, over a few calls if need be.
inline std::string ReadNetworkAnswer(NorvatExports &lib, size_t size)
{
    std::string got;
    char buffer[257];
    for (int call = 0; call < 5 && got.size() < size; call++) {
        const int n = lib.RcvBuf(buffer, 256);
        if (n > 0)
            got.append(buffer, (size_t)n);
    }
    return got;
}

inline void CheckNetworkRoundTrips(NorvatExports &lib, const NetworkPlatform &p)
{
    LoopbackPrinter printer, defaultPort(9100);
    ASSERT_TRUE(printer.Listening());
    ASSERT_TRUE(defaultPort.Listening()) << "port 9100 is taken in the namespace";
    const std::string port = std::to_string(printer.Port());
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[(size_t)i] = (char)i;

    // A serial port chosen before: opening a network printer leaves the selection alone.
    ASSERT_EQ(lib.openport("3"), 1);
    const struct {
        std::string address;
        LoopbackPrinter *at;
    } forms[] = {
        {"tcp://127.0.0.1:" + port, &printer},
        {"TCP://[::1]:" + port, &printer},
        {"tcp://localhost:" + port, &printer},
        {"Tcp://127.0.0.1", &defaultPort},
    };
    for (const auto &form : forms) {
        const size_t before = form.at->Received().size();
        ASSERT_EQ(lib.OpenUSB(form.address.c_str()), 1) << form.address << " " << p.reason();
        const double start = NetworkNowMs();
        EXPECT_EQ(lib.sendcommand("~HS"), 1) << form.address;
        EXPECT_EQ(ReadNetworkAnswer(lib, 9), "NET:~HS\r\n") << form.address;
        EXPECT_LT(NetworkNowMs() - start, 300) << "a command and its answer, " << form.address;
        EXPECT_EQ(lib.sendbuf(every.data(), (int)every.size()), 256) << form.address;
        EXPECT_TRUE(form.at->WaitForBytes(before + 5 + 256, 1000));
        EXPECT_EQ(form.at->Received().substr(before), "~HS\r\n" + every) << form.address;
        const Timed speed = TimeCall(p, [&] { return lib.setbaudrate(9600); });
        EXPECT_EQ(speed.result, 0);
        EXPECT_EQ(speed.reason, p.notSerial) << "setbaudrate on " << form.address;
        lib.closeport();
        EXPECT_TRUE(form.at->WaitDisconnected(2000)) << "closeport left " << form.address << " open";
    }
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_NE(lib.setbaudrate(9600), 0) << "openport(\"x\") should have reopened COM3";
    lib.closeport();

    // Unloading the library closes the connection too.
    ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
    ASSERT_EQ(lib.sendcommand("BYE"), 1);
    p.reload();
    EXPECT_TRUE(printer.WaitDisconnected(2000)) << "unload left the connection open";
}

inline void CheckNetworkOpenFailures(NorvatExports &lib, const NetworkPlatform &p)
{
    int closedPort;
    {
        LoopbackPrinter gone;
        closedPort = gone.Port();
    }
    const Timed refused =
        TimeCall(p, [&] { return lib.OpenUSB(("tcp://127.0.0.1:" + std::to_string(closedPort)).c_str()); });
    EXPECT_EQ(refused.result, 0);
    EXPECT_EQ(refused.reason, p.refused);
    EXPECT_LT(refused.ms, 100) << "a refused port fails at once";

    const Timed unknown = TimeCall(p, [&] { return lib.OpenUSB("tcp://no-such-printer.invalid"); });
    EXPECT_EQ(unknown.result, 0);
    EXPECT_TRUE(p.isResolverCode(unknown.reason)) << "reason " << unknown.reason;

    // Malformed addresses are refused before anything is touched: the open printer goes on.
    LoopbackPrinter printer;
    ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
    const std::string longest = std::string(63, 'a') + "." + std::string(63, 'b') + "." +
                                std::string(63, 'c') + "." + std::string(61, 'd'); // 253
    const std::string malformed[] = {
        "tcp://", "tcp://:9100", "tcp://printer:0", "tcp://printer:65536",
        "tcp://printer:000009100", "tcp://printer:", "tcp://printer:9100/raw",
        "tcp://printer:9100 ", "tcp://printer:91x", "tcp://[::1", "tcp://[]:9100",
        "tcp://::1:9100", "tcp://print er", "tcp://" + longest + "e",
    };
    for (const std::string &address : malformed) {
        const Timed t = TimeCall(p, [&] { return lib.OpenUSB(address.c_str()); });
        EXPECT_EQ(t.result, 0) << address;
        EXPECT_EQ(t.reason, p.badArgument) << address;
    }
    EXPECT_EQ(lib.sendcommand("STILL"), 1);
    EXPECT_EQ(ReadNetworkAnswer(lib, 11), "NET:STILL\r\n");
    // 253 characters is a host name, just not one the resolver knows.
    const Timed longName = TimeCall(p, [&] { return lib.OpenUSB(("tcp://" + longest).c_str()); });
    EXPECT_EQ(longName.result, 0);
    EXPECT_NE(longName.reason, p.badArgument);
}

inline void CheckNetworkPrinterThatResets(NorvatExports &lib, const NetworkPlatform &p)
{
    LoopbackPrinter printer;
    ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
    ASSERT_EQ(lib.sendcommand("~HS"), 1);
    ASSERT_EQ(ReadNetworkAnswer(lib, 9), "NET:~HS\r\n");
    printer.Reset();

    // Twice: the second write to a reset connection is where a host without MSG_NOSIGNAL dies.
    for (int attempt = 0; attempt < 2; attempt++) {
        const Timed write = TimeCall(p, [&] { return lib.sendbuf("x", 1); });
        EXPECT_EQ(write.result, 0) << attempt;
        EXPECT_NE(std::find(p.connectionGone.begin(), p.connectionGone.end(), write.reason),
                  p.connectionGone.end()) << "reason " << write.reason;
        EXPECT_LT(write.ms, 1000);
    }
    char buffer[16];
    const Timed read = TimeCall(p, [&] { return lib.RcvBuf(buffer, 15); });
    EXPECT_EQ(read.result, 0);
    EXPECT_NE(read.reason, p.timedOut) << "a reset connection is no quiet one";
    EXPECT_LT(read.ms, 600);

    lib.closeport();
    ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
    EXPECT_EQ(lib.sendcommand("BACK"), 1);
    EXPECT_EQ(ReadNetworkAnswer(lib, 10), "NET:BACK\r\n");
}

// Connection requests that are dropped: the open gives up after about 5 s.
inline void CheckNetworkConnectTimesOut(NorvatExports &lib, const NetworkPlatform &p)
{
    LoopbackPrinter printer;
    DroppedPort dropped(p, printer.Port());
    ASSERT_TRUE(dropped.Active()) << "nft could not add the rule";
    const Timed t = TimeCall(p, [&] { return lib.OpenUSB(printer.Address().c_str()); });
    EXPECT_EQ(t.result, 0);
    EXPECT_EQ(t.reason, p.connectTimedOut);
    EXPECT_GT(t.ms, 4500);
    EXPECT_LT(t.ms, 7000);
}

// A printer switched off mid-job (its packets dropped once the connection stands), and one too
// slow to take a large job in time. Each write gives up within its bound, counting only what the
// printer acknowledged, and nothing of the rest arrives later; the next write fails.
inline void CheckNetworkPrinterThatStopsAnswering(NorvatExports &lib, const NetworkPlatform &p)
{
    for (bool switchedOff : {true, false}) {
        SCOPED_TRACE(switchedOff ? "switched off" : "slow");
        LoopbackPrinter printer;
        ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
        const std::string first(1024, 'a');
        ASSERT_EQ(lib.sendbuf(first.data(), (int)first.size()), 1024);
        ASSERT_TRUE(printer.WaitForBytes(1024, 1000));
        // More than the socket buffers of both ends hold, and more than the slow printer takes
        // in the bound.
        const std::string job(switchedOff ? 64 * 1024 : 16 * 1024 * 1024, 'j');
        std::unique_ptr<DroppedPort> dropped;
        if (switchedOff) {
            dropped.reset(new DroppedPort(p, printer.Port()));
            ASSERT_TRUE(dropped->Active()) << "nft could not add the rule";
        } else {
            printer.SetSlow(true);
        }

        const Timed write = TimeCall(p, [&] { return lib.sendbuf(job.data(), (int)job.size()); });
        EXPECT_LT(write.ms, 25000);
        EXPECT_GT(write.ms, 15000) << "gave up long before the bound";
        EXPECT_LT(write.result, (int)job.size());
        if (write.result == 0) {
            EXPECT_EQ(write.reason, p.timedOut);
        }
        const Timed next = TimeCall(p, [&] { return lib.sendbuf("x", 1); });
        EXPECT_EQ(next.result, 0);
        EXPECT_NE(next.reason, 0);
        EXPECT_LT(next.ms, 25000);

        // What the printer holds once it takes bytes again is exactly what was counted.
        dropped.reset();
        printer.SetSlow(false);
        printer.WaitForBytes(1024 + (size_t)write.result + 1, 3000);
        EXPECT_EQ(printer.Received().size(), 1024 + (size_t)write.result)
            << "counted bytes the printer never got, or bytes given up arrived after all";
        lib.closeport();
    }
}
