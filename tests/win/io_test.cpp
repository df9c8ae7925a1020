// Writing and reading, observed from the device's end: the bytes on the wire, the result, and
// how long a call holds the host.
#include "tests/win/guarded_buffer.h"
#include "tests/win/fixture.h"

#include <cstring>
#include <vector>

namespace {

class SerialIo : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        ASSERT_EQ(lib.openport("3"), 1) << "reason " << GetLastError();
        device.Adopt(CreateFileA(DeviceEndOf(3).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(device.IsOpen()) << "reason " << GetLastError();
        COMMTIMEOUTS none = {};
        SetCommTimeouts(device.Handle(), &none);
        device.Drain(50);
    }
    void TearDown() override
    {
        lib.closeport();
        NorvatTest::TearDown();
    }
    DeviceEnd device;
};

TEST_F(NorvatTest, NothingMovesWithoutAnOpenPort)
{
    char buffer[8] = "keepme";
    EXPECT_EQ(lib.sendbuf("abc", 3), 0);
    EXPECT_EQ(lib.sendbuf("abc", 0), 0);
    EXPECT_EQ(lib.sendcommand("abc"), 0);
    EXPECT_EQ(lib.RcvBuf(buffer, 4), 0);
    EXPECT_STREQ(buffer, "keepme");
}

TEST_F(SerialIo, SendbufOfZeroBytesSendsNothing)
{
    EXPECT_EQ(lib.sendbuf("abc", 0), 1);
    EXPECT_EQ(device.Drain(200), "");
}

TEST_F(SerialIo, SendcommandEndsTheTextWithCrLf)
{
    struct {
        const char *text;
        std::string wire;
    } cases[] = {
        {"AB", "AB\r\n"},
        {"", "\r\n"},
        {"~HS\x7f\x01", "~HS\x7f\x01\r\n"},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(lib.sendcommand(c.text), 1) << c.text;
        EXPECT_EQ(device.Read(c.wire.size() + 1, 500), c.wire) << c.text;
    }
}

TEST_F(SerialIo, SendbufDeliversEveryByteInOrder)
{
    std::vector<char> block(256 * 1024);
    unsigned seed = 12345;
    for (char &c : block) {
        seed = seed * 1103515245u + 12345u;
        c = (char)(seed >> 16);
    }
    // XON/XOFF is on for output only, so these bytes go through as data.
    BackgroundRead reader(device, block.size(), 20000);
    EXPECT_EQ(lib.sendbuf(block.data(), (int)block.size()), (int)block.size());
    const std::string got = reader.Wait();
    ASSERT_EQ(got.size(), block.size());
    EXPECT_EQ(std::memcmp(got.data(), block.data(), block.size()), 0);
}

TEST_F(SerialIo, RcvBufReturnsWaitingBytesFollowedByNul)
{
    ASSERT_TRUE(device.Write("HELLO"));
    Sleep(100);
    char buffer[16];
    std::memset(buffer, 0x55, sizeof buffer);
    EXPECT_EQ(lib.RcvBuf(buffer, 5), 5);
    EXPECT_EQ(std::string(buffer, 6), std::string("HELLO\0", 6));
    EXPECT_EQ(buffer[6], 0x55) << "wrote past count + 1";
}

TEST_F(SerialIo, RcvBufOnAQuietLineGivesUpAfterAbout450ms)
{
    for (int count : {1, 64}) {
        char buffer[65];
        const double start = NowMs();
        EXPECT_EQ(lib.RcvBuf(buffer, count), 0) << count;
        const double took = NowMs() - start;
        EXPECT_GT(took, 250) << count;
        EXPECT_LT(took, 1500) << count;
    }
    // The port still answers afterwards.
    ASSERT_TRUE(device.Write("OK"));
    Sleep(50);
    char buffer[8];
    EXPECT_EQ(lib.RcvBuf(buffer, 7), 2);
    EXPECT_STREQ(buffer, "OK");
}

TEST_F(SerialIo, RcvBufNeverWritesPastCountPlusOne)
{
    ASSERT_TRUE(device.Write(std::string(100, 'x')));
    Sleep(100);
    std::string all;
    for (int i = 0; i < 20 && all.size() < 100; i++) {
        GuardedBuffer buffer(11);
        const int n = lib.RcvBuf(buffer.data(), 10);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 10);
        if (n > 0) {
            EXPECT_EQ(buffer.data()[n], '\0');
            all.append(buffer.data(), n);
        }
    }
    EXPECT_EQ(all, std::string(100, 'x'));
    GuardedBuffer none(1);
    EXPECT_EQ(lib.RcvBuf(none.data(), 0), 0);
}

struct LateAnswer {
    DeviceEnd *device;
    DWORD delayMs;
    std::string bytes;
};

DWORD WINAPI AnswerLate(void *arg)
{
    auto *answer = static_cast<LateAnswer *>(arg);
    Sleep(answer->delayMs);
    answer->device->Write(answer->bytes);
    return 0;
}

TEST_F(SerialIo, NoByteIsLostAcrossAQuietCall)
{
    // The answer arrives while a read for 100 bytes is pending; that read's platform timeout
    // outlasts the polling window, so it is cancelled with the bytes already in it.
    for (DWORD delay : {100u, 300u, 420u}) {
        LateAnswer answer{&device, delay, "ANSWER-" + std::to_string(delay)};
        HANDLE writer = CreateThread(nullptr, 0, AnswerLate, &answer, 0, nullptr);
        std::string got;
        char buffer[101];
        for (int call = 0; call < 6 && got.size() < answer.bytes.size(); call++) {
            const int n = lib.RcvBuf(buffer, 100);
            if (n > 0)
                got.append(buffer, n);
        }
        WaitForSingleObject(writer, 5000);
        CloseHandle(writer);
        EXPECT_EQ(got, answer.bytes) << "answer after " << delay << " ms";
    }
}

// LPT1 is a FIFO: it takes 64 KiB and then stops taking bytes, like a printer out of paper.
class ParallelIo : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        ASSERT_EQ(lib.openport("0"), 1);
        fifo.Adopt(CreateFileA(ToWindowsPath(TestbedUnixPath("dev/lpt1")).c_str(),
                               GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(fifo.IsOpen());
        fifo.Drain(50);
    }
    void TearDown() override
    {
        lib.closeport();
        fifo.Drain(50);
        NorvatTest::TearDown();
    }
    DeviceEnd fifo;
};

TEST_F(ParallelIo, QuietReadIsCancelledAndTheNextOneGetsTheBytes)
{
    char buffer[32];
    const double start = NowMs();
    EXPECT_EQ(lib.RcvBuf(buffer, 31), 0);
    const double took = NowMs() - start;
    EXPECT_GT(took, 350);
    EXPECT_LT(took, 1500);
    // Had the cancelled read stayed pending, it would swallow these.
    ASSERT_TRUE(fifo.Write("STATUS"));
    EXPECT_EQ(lib.RcvBuf(buffer, 31), 6);
    EXPECT_STREQ(buffer, "STATUS");
}

TEST_F(ParallelIo, DeviceThatStopsTakingBytesMidCommandGetsNoCrLf)
{
    // Fill the FIFO to one byte short of full: 'A' still fits, 'B' stalls.
    const size_t capacity = 65536;
    ASSERT_TRUE(fifo.Write(std::string(capacity - 1, '.')));

    const double start = NowMs();
    EXPECT_EQ(lib.sendcommand("AB"), 0);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_TIMEOUT) << "given up with no byte of 'B' gone out";
    const double took = NowMs() - start;
    EXPECT_GT(took, 18000) << "gave up before the 10 s wait and the 10 s look";
    EXPECT_LT(took, 40000);

    // The cancelled 'B' must not arrive later, and nothing after it was sent.
    const std::string wire = fifo.Drain(500);
    ASSERT_EQ(wire.size(), capacity);
    EXPECT_EQ(wire.back(), 'A');
    Sleep(300);
    EXPECT_EQ(fifo.Drain(200), "");

    // The port stays usable, and closes and reopens.
    EXPECT_EQ(lib.sendbuf("ok", 2), 2);
    EXPECT_EQ(fifo.Read(2, 1000), "ok");
    lib.closeport();
    ASSERT_EQ(lib.openport("0"), 1);
    EXPECT_EQ(lib.sendcommand("Z"), 1);
    EXPECT_EQ(fifo.Read(3, 1000), "Z\r\n");
}

TEST_F(ParallelIo, StalledWriteReportsExactlyTheBytesThatWentOut)
{
    // Room for 8 KiB only: a 20000-byte write moves 8192 bytes and then stalls.
    const size_t capacity = 65536, room = 8192;
    ASSERT_TRUE(fifo.Write(std::string(capacity - room, '.')));
    const std::string block(20000, 'b');

    const double start = NowMs();
    const int written = lib.sendbuf(block.data(), (int)block.size());
    EXPECT_GT(NowMs() - start, 18000);
    EXPECT_EQ(written, (int)room) << "a host would resend bytes that already went out";

    const std::string wire = fifo.Drain(500);
    EXPECT_EQ(wire.size(), capacity - room + (size_t)written);
    Sleep(300);
    EXPECT_EQ(fifo.Drain(200), "") << "the cancelled rest arrived after all";
}

} // namespace
