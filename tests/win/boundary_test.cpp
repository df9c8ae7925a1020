// The boundary a host meets: refused arguments, the reason after every 0 result, and several
// threads sharing the library.
#include "tests/shared/boundary_cases.h"
#include "tests/win/usb_fixture.h"

#include <set>

namespace {

// The result of one call and the last error right after it.
struct Outcome {
    int result;
    DWORD error;
};

Outcome Call(const std::function<int()> &call)
{
    SetLastError(0xDEAD);
    const int result = call();
    return {result, GetLastError()};
}

::testing::AssertionResult FailsWith(const Outcome &outcome, DWORD error)
{
    if (outcome.result == 0 && outcome.error == error)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "gave " << outcome.result << " with error "
                                         << outcome.error << ", expected 0 with " << error;
}

TEST_F(NorvatTest, RefusedArgumentsChangeNothing)
{
    ASSERT_EQ(lib.openport("3"), 1);
    DeviceEnd device(DeviceEndOf(3));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    ASSERT_TRUE(device.Write("WAITING"));
    Sleep(100);

    char buffer[32];
    for (const NamedCall &c : RefusedCalls(lib, buffer))
        EXPECT_TRUE(FailsWith(Call(c.run), ERROR_INVALID_PARAMETER)) << c.name;

    // A read of 0 bytes is no refusal: it takes nothing, says nothing failed, and leaves the
    // empty text (and nothing past it).
    buffer[0] = 'x';
    buffer[1] = 'x';
    EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 0); }), ERROR_SUCCESS));
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], 'x') << "wrote past count + 1";

    // The line keeps its speed, nothing went out, the waiting bytes are still there, and the
    // port still carries bytes.
    EXPECT_NE(SttyOfCom(3).find("speed 9600 baud"), std::string::npos);
    EXPECT_EQ(device.Drain(200), "");
    EXPECT_EQ(lib.RcvBuf(buffer, 31), 7);
    EXPECT_STREQ(buffer, "WAITING");
    EXPECT_EQ(lib.sendbuf("still", 5), 5);
    EXPECT_EQ(device.Read(5, 2000), "still");

    // openport(NULL) kept the selection: "x" means COM3 still.
    lib.closeport();
    ASSERT_EQ(lib.openport("x"), 1);
    EXPECT_EQ(lib.sendbuf("again", 5), 5);
    EXPECT_EQ(device.Read(5, 2000), "again");
    lib.closeport();
}

TEST_F(NorvatTest, EveryZeroResultSaysWhy)
{
    char buffer[32];
    // No port open.
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendbuf("x", 1); }), ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendcommand("x"); }), ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 8); }), ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 0); }), ERROR_INVALID_HANDLE));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.setbaudrate(9600); }), ERROR_INVALID_HANDLE));

    // Opens that reach the platform give its code; a serial name over 15 characters is ours.
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("COM55"); }), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.OpenUSB("COM123456789012"); }), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.OpenUSB("COM1234567890123"); }), ERROR_INVALID_PARAMETER));

    // A quiet line, on a serial and on a parallel port.
    for (const char *selector : {"1", "0"}) {
        ASSERT_EQ(lib.openport(selector), 1);
        EXPECT_TRUE(FailsWith(Call([&] { return lib.RcvBuf(buffer, 16); }), ERROR_TIMEOUT))
            << selector;
    }

    // A parallel port refuses serial settings with whatever code the platform gives for it.
    DeviceEnd fifo(ToWindowsPath(TestbedUnixPath("dev/lpt1")));
    ASSERT_TRUE(fifo.IsOpen());
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_FALSE(GetCommState(fifo.Handle(), &dcb));
    const DWORD platformCode = GetLastError();
    EXPECT_TRUE(FailsWith(Call([&] { return lib.setbaudrate(9600); }), platformCode));
    lib.closeport();
}

TEST_F(Usb, EveryZeroResultSaysWhy)
{
    char buffer[NORVAT_LISTING_BUFFER_SIZE];
    // The class key is missing.
    EXPECT_TRUE(FailsWith(Call([&] { return lib.FindFirstUSB(buffer); }), ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.FindNextUSB(buffer); }), ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.OpenUSB("Desk#SER1"); }), ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.openport("6"); }), ERROR_DEVICE_NOT_CONNECTED));

    // Printers there, none matching; the open port stays open.
    SimulatedPrinter *desk = Plug("e0", kHp, "SER0", "Desk");
    Plug("e1", kVidOnly, "VIDONLY", "Vid only");
    ASSERT_EQ(lib.OpenUSB("SER0"), 1);
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.OpenUSB("Desk#NOSUCH"); }), ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.OpenUSB("VIDONLY"); }), ERROR_DEVICE_NOT_CONNECTED));
    EXPECT_TRUE(Talks(desk, "SER0"));
    EXPECT_EQ(First(), "Desk#SER0");
    EXPECT_EQ(Next(), "Vid only#VIDONLY");
    EXPECT_TRUE(FailsWith(Call([&] { return lib.FindNextUSB(buffer); }), ERROR_NO_MORE_ITEMS));

    // Live in the registry but its device is gone: the open reaches the platform.
    Plug("e2", kHp, "GONE", "Gone", false);
    EXPECT_TRUE(FailsWith(Call([&] { return lib.OpenUSB("GONE"); }), ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(FailsWith(Call([&] { return lib.sendbuf("x", 1); }), ERROR_INVALID_HANDLE));
}

TEST_F(Usb, RefusedListingCallsLeaveTheCursorWhereItWas)
{
    Plug("e0", kHp, "SER0", "A", false);
    Plug("e1", kHp, "SER1", "B", false);
    EXPECT_EQ(First(), "A#SER0");
    EXPECT_TRUE(FailsWith(Call([&] { return lib.FindNextUSB(nullptr); }), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(
        FailsWith(Call([&] { return lib.FindFirstUSB(nullptr); }), ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Next(), "B#SER1");
}

// Several host threads on one printer: writers and a reader (tests/shared/boundary_cases.h).
const char kSharedSerial[] = "MT";

struct Shared {
    Norvat *lib;
    bool byCommand;
    volatile LONG writersLeft;
    volatile LONG failures;
    CRITICAL_SECTION lock;
    double longestCallMs;
    std::string answers;
};

void NoteCall(Shared &shared, double startedMs)
{
    const double took = NowMs() - startedMs;
    EnterCriticalSection(&shared.lock);
    if (took > shared.longestCallMs)
        shared.longestCallMs = took;
    LeaveCriticalSection(&shared.lock);
}

struct WriterJob {
    Shared *shared;
    int writer;
};

DWORD WINAPI WriteRecords(void *arg)
{
    auto *job = static_cast<WriterJob *>(arg);
    Shared &shared = *job->shared;
    for (int n = 0; n < kRecords; n++) {
        const std::string record = Record(job->writer, n);
        const double start = NowMs();
        const bool sent =
            shared.byCommand
                ? shared.lib->sendcommand(record.substr(0, kRecordSize - 2).c_str()) == 1
                : shared.lib->sendbuf(record.data(), (int)record.size()) == (int)record.size();
        NoteCall(shared, start);
        if (!sent)
            InterlockedIncrement(&shared.failures);
    }
    InterlockedDecrement(&shared.writersLeft);
    return 0;
}

DWORD WINAPI ReadAnswers(void *arg)
{
    Shared &shared = *static_cast<Shared *>(arg);
    // Each record comes back as "MT:" and the record.
    const size_t expected = kWriters * kRecords * (sizeof kSharedSerial + kRecordSize);
    const double deadline = NowMs() + 60000;
    std::string got;
    char buffer[1025];
    while (got.size() < expected && NowMs() < deadline) {
        const double start = NowMs();
        const int n = shared.lib->RcvBuf(buffer, 1024);
        NoteCall(shared, start);
        if (n > 0)
            got.append(buffer, n);
    }
    shared.answers = got;
    return 0;
}

class Threads : public Usb, public ::testing::WithParamInterface<bool> {};

TEST_P(Threads, WritersAndAReaderShareOnePrinterWithoutLosingOrMixingBytes)
{
    SimulatedPrinter *printer = Plug("e0", kHp, kSharedSerial, "Shared printer");
    ASSERT_EQ(lib.OpenUSB(kSharedSerial), 1);
    // Warm-up: what Wine allocates once per process is then in place before the baseline.
    ASSERT_TRUE(Talks(printer, kSharedSerial));
    const size_t before = printer->Received().size();
    const uintptr_t handlesBefore = FreshHandleValue();

    Shared shared = {};
    shared.lib = &lib;
    shared.byCommand = GetParam();
    shared.writersLeft = kWriters;
    InitializeCriticalSection(&shared.lock);
    WriterJob jobs[kWriters];
    HANDLE threads[kWriters + 1];
    for (int w = 0; w < kWriters; w++) {
        jobs[w] = {&shared, w};
        threads[w] = CreateThread(nullptr, 0, WriteRecords, &jobs[w], 0, nullptr);
    }
    threads[kWriters] = CreateThread(nullptr, 0, ReadAnswers, &shared, 0, nullptr);
    ASSERT_EQ(WaitForMultipleObjects(kWriters + 1, threads, TRUE, 90000), WAIT_OBJECT_0);
    for (HANDLE thread : threads)
        CloseHandle(thread);
    DeleteCriticalSection(&shared.lock);

    EXPECT_EQ(shared.failures, 0);
    EXPECT_LT(shared.longestCallMs, 5000);

    // Every record arrived whole, once, and each writer's in its order.
    const std::string received = printer->Received().substr(before);
    ASSERT_EQ(RecordsCheck(received), "");
    const std::vector<std::string> lines = Lines(received);
    // And the reader got every answer, whole.
    std::multiset<std::string> answers, expected;
    for (const std::string &answer : Lines(shared.answers))
        answers.insert(answer);
    for (const std::string &line : lines)
        expected.insert(std::string(kSharedSerial) + ":" + line);
    EXPECT_TRUE(answers == expected) << "answers read: " << shared.answers.size() << " bytes";

    // No handle left behind, and no write's event outlived its write.
    EXPECT_LE(FreshHandleValue(), handlesBefore);
    EXPECT_EQ(OpenEventA(SYNCHRONIZE, FALSE, "write_event"), nullptr);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
}

INSTANTIATE_TEST_SUITE_P(Boundary, Threads, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return info.param ? "Sendcommand" : "Sendbuf";
                         });

} // namespace
