// The cases of the printer's state that both platforms share, built into each harness: what
// each kind of port reports, an ESC/POS printer's own answers over every transport, and printers
// that go away and come back.
#pragma once

#include "tests/shared/handle_cases.h"

// A network printer on loopback as a TestDevice, for the cases every transport shares.
class NetworkDevice : public TestDevice {
public:
    LoopbackPrinter printer;
    std::string Name() override { return printer.Address(); }
    std::string Received() override { return printer.Received(); }
    bool WaitForBytes(size_t count, int ms) override { return printer.WaitForBytes(count, ms); }
    void Send(const std::string &bytes) override { printer.Send(bytes); }
    void Stall(bool stalled) override { printer.SetSlow(stalled); }
    bool WaitClosed(int ms) override { return printer.WaitDisconnected(ms); }
    bool SetState(unsigned) override { return false; }
    void AnswerWhen(const std::string &written, const std::string &answer, int delayMs) override
    {
        printer.AnswerWhen(written, answer, delayMs);
    }
    void ClearAnswers() override { printer.ClearAnswers(); }
};

// Each state bit of each kind of port, set and cleared by the bed; known exactly as documented.
inline void CheckPortStates(NorvatExports &lib, const HandlePlatform &p)
{
    const unsigned printerBits = NORVAT_STATE_PAPER_OUT | NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR;
    const unsigned lineBits = NORVAT_STATE_DSR | NORVAT_STATE_CTS | NORVAT_STATE_DCD;
    struct Kind {
        const char *what;
        std::unique_ptr<TestDevice> device;
        unsigned known;
    } kinds[] = {
        {"USB printer", p.plug(ThreeMakers()[0]), printerBits},
        {"parallel port", p.parallelPort(), p.parallelKnown},
        {"serial line", p.serialLine(), lineBits},
    };
    for (Kind &kind : kinds) {
        SCOPED_TRACE(kind.what);
        ASSERT_TRUE(kind.device->SetState(0));
        norvat_port *port = nullptr;
        ASSERT_EQ(lib.open(kind.device->Name().c_str(), &port), 0) << p.reason();
        std::vector<unsigned> states = {0};
        for (unsigned bit = 1; bit <= NORVAT_STATE_DISCONNECTED; bit <<= 1)
            if (kind.known & bit)
                states.push_back(bit);
        states.push_back(kind.known);
        states.push_back(0);
        for (unsigned set : states) {
            ASSERT_TRUE(kind.device->SetState(set));
            unsigned state = ~0u, known = 0;
            EXPECT_EQ(lib.status(port, &state, &known), 0);
            EXPECT_EQ(state, set);
            EXPECT_EQ(known, kind.known);
        }
        EXPECT_EQ(lib.pending(port), 0);
        lib.close(port);
    }
}

// An ESC/POS printer's answers to DLE EOT 1, 2, 4, 3 as a table, over one transport.
inline void CheckEscPosAnswers(NorvatExports &lib, TestDevice &device)
{
    const unsigned every = NORVAT_STATE_DRAWER_OPEN | NORVAT_STATE_OFFLINE |
                           NORVAT_STATE_COVER_OPEN | NORVAT_STATE_FEED_BUTTON |
                           NORVAT_STATE_PAPER_OUT | NORVAT_STATE_ERROR | NORVAT_STATE_PAPER_LOW |
                           NORVAT_STATE_CUTTER_ERROR | NORVAT_STATE_UNRECOVERABLE;
    const struct {
        const char *what;
        std::string stale, junk; // sent before the request; before each answer
        int answers[4];          // to n = 1, 2, 4, 3; -1: none
        int delayMs, result;
        unsigned state;
    } cases[] = {
        {"all well", "", "", {0x12, 0x12, 0x12, 0x12}, 0, 4, 0},
        {"every flag", "", "", {0x1E, 0x7E, 0x7E, 0x7A}, 0, 4, every},
        {"stale answers first", "\x1E\x7E", "", {0x12, 0x12, 0x12, 0x12}, 0, 4, 0},
        {"late, within the timeout", "", "", {0x16, 0x12, 0x12, 0x12}, 150, 4,
         NORVAT_STATE_DRAWER_OPEN},
        {"bytes that are no status", "", "\xFF\x01", {0x12, 0x12, 0x12, 0x12}, 0, 4, 0},
        {"only the first two", "", "", {0x1A, 0x32, -1, -1}, 0, 2,
         NORVAT_STATE_OFFLINE | NORVAT_STATE_PAPER_OUT},
        {"nothing", "", "", {-1, -1, -1, -1}, 0, NORVAT_ERR_TIMEOUT, 0},
    };
    const char requests[] = {1, 2, 4, 3};
    const int timeoutMs = 800;
    norvat_port *port = nullptr;
    ASSERT_EQ(lib.open(device.Name().c_str(), &port), 0) << device.Name();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        device.ClearAnswers();
        for (int i = 0; i < 4; i++)
            if (c.answers[i] >= 0)
                device.AnswerWhen(std::string("\x10\x04") + requests[i],
                                  c.junk + std::string(1, (char)c.answers[i]), c.delayMs);
        device.Send(c.stale);
        SleepMs(100);
        unsigned state = ~0u;
        const double start = HandleNowMs();
        EXPECT_EQ(lib.escpos_status(port, timeoutMs, &state), c.result);
        EXPECT_LT(HandleNowMs() - start, timeoutMs + 100);
        EXPECT_EQ(state, c.state);
        EXPECT_TRUE(Arrives(lib, port, device, "usable")) << "the port after the exchange";
    }
    lib.close(port);
}

// A USB printer pulled out mid-job and plugged back at another node: the job's count is true and
// its rest never sent; while it is away calls fail fast; the next write after it is back gets
// there exactly once.
inline void CheckUsbPrinterComesBack(NorvatExports &lib, const HandlePlatform &p)
{
    const PrinterMake make = ThreeMakers()[0];
    std::unique_ptr<TestDevice> printer = p.plug(make);
    norvat_port *port = nullptr;
    ASSERT_EQ(lib.open(make.serial.c_str(), &port), 0) << p.reason();
    ASSERT_TRUE(Arrives(lib, port, *printer, "before"));
    printer->Stall(true);
    const std::string job(1 << 20, 'J');
    std::atomic<int> result{1};
    std::thread writer([&] { result = lib.write(port, job.data(), (int)job.size(), -1); });
    SleepMs(300);
    ASSERT_TRUE(printer->Unplug());
    writer.join();
    EXPECT_TRUE(result == NORVAT_ERR_GONE || (result >= 0 && result < (int)job.size())) << result;
    for (int i = 0; i < 3; i++) {
        const double start = HandleNowMs();
        EXPECT_EQ(lib.write(port, "x", 1, -1), NORVAT_ERR_GONE);
        unsigned state = 0;
        EXPECT_EQ(lib.status(port, &state, nullptr), NORVAT_ERR_GONE);
        EXPECT_LT(HandleNowMs() - start, 1000) << "a call while the printer is away";
    }
    ASSERT_TRUE(printer->Replug());
    printer->Stall(false);
    unsigned state = ~0u;
    EXPECT_EQ(lib.status(port, &state, nullptr), 0) << "the printer is back";
    EXPECT_TRUE(Arrives(lib, port, *printer, "after"));
    SleepMs(100);
    EXPECT_EQ(printer->Received(), "after") << "the job's rest, or a byte twice, at the new node";

    // A read waiting for an answer when the printer goes says so at once.
    std::thread reader([&] {
        char answer[8];
        const double start = HandleNowMs();
        EXPECT_EQ(lib.read(port, answer, sizeof answer, 3000), NORVAT_ERR_GONE);
        EXPECT_LT(HandleNowMs() - start, 1000) << "the read waited out its window";
    });
    SleepMs(200);
    ASSERT_TRUE(printer->Unplug());
    reader.join();
    lib.close(port);
}

// A network printer that closes an idle connection, resets it, or restarts: the state says so,
// and the next write gets there exactly once.
inline void CheckNetworkPrinterComesBack(NorvatExports &lib)
{
    auto printer = std::make_unique<LoopbackPrinter>();
    const int portNumber = printer->Port();
    norvat_port *port = nullptr;
    ASSERT_EQ(lib.open(printer->Address().c_str(), &port), 0);
    std::string expected;
    for (const bool reset : {false, true}) {
        SCOPED_TRACE(reset ? "reset" : "closed while idle");
        const std::string job = reset ? "<after the reset>" : "<after the close>";
        ASSERT_EQ(lib.write(port, "<one>", 5, -1), 5);
        ASSERT_TRUE(printer->WaitForBytes(expected.size() + 5, 1000));
        printer->Reset(reset);
        SleepMs(100);
        unsigned state = 0, known = 0;
        EXPECT_EQ(lib.status(port, &state, &known), 0);
        EXPECT_EQ(state, (unsigned)NORVAT_STATE_DISCONNECTED);
        EXPECT_EQ(known, (unsigned)NORVAT_STATE_DISCONNECTED);
        EXPECT_EQ(lib.write(port, job.data(), (int)job.size(), -1), (int)job.size());
        expected += "<one>" + job;
        EXPECT_TRUE(printer->WaitForBytes(expected.size(), 1000));
        EXPECT_EQ(printer->Received(), expected);
        EXPECT_EQ(lib.status(port, &state, &known), 0);
        EXPECT_EQ(state, 0u) << "connected again";
    }
    printer.reset();
    for (int i = 0; i < 2; i++) {
        const double start = HandleNowMs();
        EXPECT_EQ(lib.write(port, "x", 1, -1), NORVAT_ERR_GONE);
        EXPECT_LT(HandleNowMs() - start, 1000) << "a write while the printer is down";
    }
    printer = std::make_unique<LoopbackPrinter>(portNumber);
    ASSERT_TRUE(printer->Listening());
    EXPECT_EQ(lib.write(port, "<restarted>", 11, -1), 11);
    EXPECT_TRUE(printer->WaitForBytes(11, 1000));
    EXPECT_EQ(printer->Received(), "<restarted>");
    lib.close(port);
}
