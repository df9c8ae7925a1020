// Writing and reading on Linux, observed from the device's end: the bytes on the wire, the
// result, and how long a call holds the host.
#include "tests/linux/fixture.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <thread>
#include <vector>

namespace {

// The device end writes each (delay, bytes) in turn, on a thread of its own.
class Talker {
public:
    Talker(int end, std::vector<std::pair<int, std::string>> script)
        : thread_([end, script] {
              for (const auto &step : script) {
                  usleep((useconds_t)step.first * 1000);
                  WriteEnd(end, step.second);
              }
          })
    {
    }
    ~Talker() { thread_.join(); }

private:
    std::thread thread_;
};

// A host buffer whose last byte sits right before an inaccessible page.
class GuardedBuffer {
public:
    explicit GuardedBuffer(size_t size) : size_(size)
    {
        const size_t page = (size_t)sysconf(_SC_PAGESIZE);
        span_ = (size + page - 1) / page * page + page;
        base_ = static_cast<char *>(
            mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + span_ - page, page, PROT_NONE);
        data_ = base_ + span_ - page - size;
        std::memset(data_, 0x55, size);
    }
    ~GuardedBuffer() { munmap(base_, span_); }
    char *data() { return data_; }

private:
    size_t size_, span_ = 0;
    char *base_ = nullptr, *data_ = nullptr;
};

TEST_F(LinuxTest, BytesGoOutExactlyAndCommandsEndWithCrLf)
{
    ASSERT_EQ(lib.openport("1"), 1);
    const int end = bed.End("/dev/ttyS0");
    const struct {
        const char *text;
        std::string wire;
    } commands[] = {
        {"AB", "AB\r\n"},
        {"", "\r\n"},
        {"~HS\x7f\x01", "~HS\x7f\x01\r\n"},
    };
    for (const auto &c : commands) {
        EXPECT_EQ(lib.sendcommand(c.text), 1) << c.text;
        EXPECT_EQ(ReadEnd(end, c.wire.size() + 1, 500), c.wire) << c.text;
    }
    EXPECT_EQ(lib.sendbuf("abc", 0), 1);
    EXPECT_EQ(DrainEnd(end, 100), "");

    // Every byte value, XON and XOFF too (flow control is for what comes in), in a block larger
    // than the pty holds, while the device reads.
    std::vector<char> block(256 * 1024);
    unsigned seed = 12345;
    for (char &c : block) {
        seed = seed * 1103515245u + 12345u;
        c = (char)(seed >> 16);
    }
    std::string got;
    std::thread reader([&] { got = ReadEnd(end, block.size(), 20000); });
    EXPECT_EQ(lib.sendbuf(block.data(), (int)block.size()), (int)block.size());
    reader.join();
    ASSERT_EQ(got.size(), block.size());
    EXPECT_EQ(std::memcmp(got.data(), block.data(), block.size()), 0);
}

TEST_F(LinuxTest, ReadWaitsAtMost450msAndTakesNoMoreThanAsked)
{
    for (const char *selector : {"1", "0"}) {
        ASSERT_EQ(lib.openport(selector), 1);
        char buffer[65];
        const double start = NowMs();
        EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 64); }), ETIMEDOUT));
        const double took = NowMs() - start;
        EXPECT_GT(took, 400) << selector;
        EXPECT_LT(took, 900) << selector;
    }

    ASSERT_EQ(lib.openport("2"), 1);
    const int end = bed.End("/dev/ttyS1");
    ASSERT_TRUE(WriteEnd(end, std::string(100, 'x')));
    usleep(50000);
    std::string all;
    for (int call = 0; call < 20 && all.size() < 100; call++) {
        GuardedBuffer buffer(11);
        const double start = NowMs();
        const int n = lib.RcvBuf(buffer.data(), 10);
        ASSERT_EQ(n, 10) << "call " << call;
        EXPECT_LT(NowMs() - start, 100) << "count reached: no waiting";
        EXPECT_EQ(buffer.data()[10], '\0');
        all.append(buffer.data(), (size_t)n);
    }
    EXPECT_EQ(all, std::string(100, 'x'));
}

TEST_F(LinuxTest, SerialReadEndsAGapAfterTheLastBytePrinterReadAtTheFirst)
{
    struct Case {
        const char *selector, *node;
        std::vector<std::pair<int, std::string>> script; // delay ms, bytes
        std::string first;                               // what the first RcvBuf returns
        double atLeastMs, atMostMs;                      // and when
    };
    const std::vector<Case> cases = {
        // 120 ms apart: one answer, returned 200 ms after its last byte.
        {"1", "/dev/ttyS0", {{0, "AB"}, {120, "CD"}}, "ABCD", 290, 450},
        // 300 ms apart: the gap ends the first read.
        {"1", "/dev/ttyS0", {{0, "AB"}, {300, "CD"}}, "AB", 180, 290},
        // A printer hands over what it has at once.
        {"6", "/dev/usb/lp0", {{0, "AB"}, {100, "CD"}}, "AB", 0, 90},
    };
    UsbPrinter printer;
    printer.serial = "GAP1";
    ASSERT_TRUE(bed.Plug(printer));
    for (const Case &c : cases) {
        ASSERT_EQ(lib.openport(c.selector), 1);
        const int end = bed.End(c.node);
        std::string rest;
        {
            Talker talker(end, c.script);
            usleep(20000); // the first bytes are there when the read starts
            char buffer[65];
            const double start = NowMs();
            const int n = lib.RcvBuf(buffer, 64);
            const double took = NowMs() - start;
            ASSERT_GT(n, 0) << c.node;
            EXPECT_EQ(std::string(buffer, (size_t)n), c.first) << c.node;
            EXPECT_GE(took, c.atLeastMs - 20) << c.node << " " << c.first;
            EXPECT_LE(took, c.atMostMs) << c.node << " " << c.first;
        }
        // Nothing is dropped: the rest comes with the next read.
        char buffer[65];
        const int n = lib.RcvBuf(buffer, 64);
        const std::string all = c.first + (n > 0 ? std::string(buffer, (size_t)n) : "");
        EXPECT_EQ(all, "ABCD") << c.node;
    }
}

TEST_F(LinuxTest, DeviceThatStopsTakingBytesGetsTheTrueCount)
{
    UsbPrinter printer;
    printer.serial = "STALL";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_EQ(lib.OpenUSB("STALL"), 1);
    const int end = bed.End("/dev/usb/lp0");

    // Out of paper: it reads nothing, so the pty fills and the write waits, then gives up.
    const std::vector<char> block(256 * 1024, 'b');
    const double start = NowMs();
    const int written = lib.sendbuf(block.data(), (int)block.size());
    const double took = NowMs() - start;
    EXPECT_GT(took, 19000) << "gave up before the 20 s the device gets";
    EXPECT_LT(took, 25000);
    ASSERT_GT(written, 0);
    ASSERT_LT(written, (int)block.size());
    // Exactly what the result said went out, and nothing more afterwards.
    EXPECT_EQ(DrainEnd(end, 300).size(), (size_t)written) << "a host would resend or lose bytes";

    // The port stays usable.
    ASSERT_EQ(lib.sendcommand("OK"), 1);
    EXPECT_EQ(ReadEnd(end, 4, 1000), "OK\r\n");
}

TEST_F(LinuxTest, SerialWriteIsGivenUpAfterItsBoundAndOnlyWhatTheLineSentCounts)
{
    ASSERT_EQ(lib.openport("3"), 1);
    const int end = bed.End("/dev/ttyS2");
    ASSERT_TRUE(WriteEnd(end, "\x13")); // XOFF: the library's side must stop sending
    usleep(50000);
    // A serial write gets 200 ms plus 100 ms per byte, as the Windows driver gives it: the
    // command's first byte is given up after about 0.3 s.
    const double start = NowMs();
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendcommand("AB"); }), ETIMEDOUT));
    const double took = NowMs() - start;
    EXPECT_GT(took, 280);
    EXPECT_LT(took, 1000);
    EXPECT_EQ(DrainEnd(end, 200), "") << "nothing of the command may arrive";

    // XON: the port carries the next command, and nothing of the given-up one.
    ASSERT_TRUE(WriteEnd(end, "\x11"));
    usleep(50000);
    ASSERT_EQ(lib.sendcommand("Z"), 1);
    EXPECT_EQ(ReadEnd(end, 4, 1000), "Z\r\n");
    lib.closeport();

    // A UART takes the bytes into its queue at once; the printer, holding the line off, takes
    // three of them. Given up after 200 + 8 * 100 ms, only those three count, and the rest is
    // discarded rather than sent later.
    ASSERT_TRUE(bed.EmulateUart("/dev/ttyS3"));
    ASSERT_EQ(lib.openport("4"), 1);
    const int uart = bed.End("/dev/ttyS3");
    std::string early;
    std::thread printer([&] {
        usleep(100000);
        early = ReadEnd(uart, 3, 500);
    });
    const double begin = NowMs();
    EXPECT_EQ(lib.sendbuf("ABCDEFGH", 8), 3);
    const double bounded = NowMs() - begin;
    printer.join();
    EXPECT_GT(bounded, 950);
    EXPECT_LT(bounded, 1600);
    EXPECT_EQ(early, "ABC");
    EXPECT_EQ(DrainEnd(uart, 200), "") << "bytes given up went out after all";
}

TEST_F(LinuxTest, ForkDuringAStalledWriteGivesTheChildAFreeLockAndItsOwnCopyOfThePort)
{
    // An earlier load's fork handler must be gone with it.
    lib.Unload();
    ASSERT_TRUE(lib.Load());
    UsbPrinter printer;
    printer.serial = "FORK";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_EQ(lib.OpenUSB("FORK"), 1);
    const int end = bed.End("/dev/usb/lp0");
    const int childEnd = bed.End("/dev/ttyS1");

    // The printer takes nothing, so this thread sits inside its call when the host forks.
    const std::vector<char> block(256 * 1024, 'f');
    int written = -1;
    std::thread writer([&] { written = lib.sendbuf(block.data(), (int)block.size()); });
    usleep(200000);
    const double start = NowMs();
    const pid_t child = fork();
    if (child == 0) {
        // Only this thread lives on here: no test macros, just an exit status.
        const double begin = NowMs();
        lib.closeport();
        const bool ok = lib.openport("2") == 1 && lib.sendcommand("CHILD") == 1;
        lib.closeport();
        _exit(!ok ? 1 : NowMs() - begin < 1000 ? 0 : 2);
    }
    EXPECT_LT(NowMs() - start, 200) << "the fork waited for the write";
    ASSERT_GT(child, 0);
    int status = -1;
    for (int i = 0; i < 500 && waitpid(child, &status, WNOHANG) == 0; i++)
        usleep(10000);
    if (!WIFEXITED(status)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        ADD_FAILURE() << "the child's calls hung";
    }
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a call failed, 2: slower than 1 s";
    EXPECT_EQ(ReadEnd(childEnd, 7, 1000), "CHILD\r\n");

    // The child closed only its copy: the parent's write goes on once the printer reads.
    EXPECT_EQ(ReadEnd(end, block.size(), 10000).size(), block.size());
    writer.join();
    EXPECT_EQ(written, (int)block.size());
    ASSERT_EQ(lib.sendcommand("PARENT"), 1);
    EXPECT_EQ(ReadEnd(end, 8, 1000), "PARENT\r\n");
}

TEST_F(LinuxTest, PrinterThatVanishesMidUseFailsFastAndReopensWhenBack)
{
    UsbPrinter printer;
    printer.serial = "GONE";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_EQ(lib.OpenUSB("GONE"), 1);
    {
        Answerer answerer(bed.End("/dev/usb/lp0"), "GONE");
        ASSERT_EQ(lib.sendcommand("~HS"), 1);
        ASSERT_EQ(ReadAnswer(10), "GONE:~HS\r\n");
    }

    ASSERT_TRUE(bed.Unplug(printer));
    const double start = NowMs();
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendcommand("~HS"); }), EIO));
    char buffer[16];
    EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 15); }), EIO));
    EXPECT_LT(NowMs() - start, 1000);
    lib.closeport();
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("GONE"); }), ENODEV));

    // Back, in another socket, under another node name.
    printer.usbPort = "1-3";
    printer.node = "lp1";
    ASSERT_TRUE(bed.Plug(printer));
    ASSERT_EQ(lib.OpenUSB("GONE"), 1);
    Answerer answerer(bed.End("/dev/usb/lp1"), "GONE");
    ASSERT_EQ(lib.sendcommand("~HS"), 1);
    EXPECT_EQ(ReadAnswer(10), "GONE:~HS\r\n");
}

} // namespace
