// The test bed's driver, through raw Win32 calls: each simulated device does what the library's
// tests rely on, with the codes a program sees.
#include "tests/win/driver_printer.h"

#include <gtest/gtest.h>

#include <ddk/usbprint.h>
#include <ntddpar.h>

#include <utility>

#include "tests/win/testbed.h"

namespace {

const char kUsbLink[] = "USB#VID_04B8&PID_0202#SER1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

class Driver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnderWine()) << "refusing to load a driver outside Wine";
        const std::string why = DriverDevice::Unavailable();
        if (!why.empty())
            GTEST_SKIP() << why;
    }
};

HANDLE Open(const std::string &path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

using Result = std::pair<DWORD, DWORD>; // Win32 result (0: success), bytes moved
Result Done(DWORD count) { return {0, count}; }
Result Failed(DWORD error, DWORD count = 0) { return {error, count}; }

// One overlapped write (of bytes) or read, started at once. End() waits up to ms, cancels it if
// still pending, and gives its result; a request refused at once gives its code, one that
// ignores the cancel WAIT_TIMEOUT (and its memory is left to it).
struct Io {
    struct Request {
        OVERLAPPED ov;
        char buffer[64];
    } *rq = new Request{};
    HANDLE h;
    DWORD refused = 0;
    Io(HANDLE handle, const std::string &bytes) : h(handle) { Start(&bytes); }
    explicit Io(HANDLE handle) : h(handle) { Start(nullptr); }
    ~Io()
    {
        if (refused != 0 || WaitForSingleObject(rq->ov.hEvent, 0) == WAIT_OBJECT_0) {
            CloseHandle(rq->ov.hEvent);
            delete rq;
        }
    }
    void Start(const std::string *bytes)
    {
        rq->ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        const BOOL ok = bytes ? WriteFile(h, bytes->data(), (DWORD)bytes->size(), nullptr, &rq->ov)
                              : ReadFile(h, rq->buffer, sizeof rq->buffer, nullptr, &rq->ov);
        refused = ok || GetLastError() == ERROR_IO_PENDING ? 0 : GetLastError();
    }
    HANDLE Event() { return rq->ov.hEvent; }
    char First() { return rq->buffer[0]; }
    bool Pending() { return refused == 0 && WaitForSingleObject(Event(), 0) == WAIT_TIMEOUT; }
    Result End(DWORD ms)
    {
        if (refused != 0)
            return Failed(refused);
        if (WaitForSingleObject(Event(), ms) != WAIT_OBJECT_0)
            CancelIoEx(h, &rq->ov);
        if (WaitForSingleObject(Event(), 1000) != WAIT_OBJECT_0)
            return Failed(WAIT_TIMEOUT);
        DWORD n = 0;
        return {GetOverlappedResult(h, &rq->ov, &n, FALSE) ? 0 : GetLastError(), n};
    }
};

Result WriteNow(HANDLE h, const std::string &bytes) { return Io(h, bytes).End(1000); }

} // namespace

TEST_F(Driver, EachKindOpensByItsLinkRecordsWritesAndCountsHandles)
{
    const struct { DriverDevice::Kind kind; const char *link, *path; } cases[] = {
        {DriverDevice::kUsbPrinter, kUsbLink,
         "\\\\?\\usb#vid_04b8&pid_0202#ser1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"},
        {DriverDevice::kSerialPort, "COM20", "\\\\.\\COM20"}, // no dosdevices entry: the driver's
        {DriverDevice::kParallelPort, "LPT3", "LPT3"},
    };
    const std::string bytes("\x1b@hello\0", 8);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        DriverDevice device(c.kind, c.link);
        HANDLE h = Open(c.path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(device.Opens(), 1);
        EXPECT_EQ(WriteNow(h, bytes), Done(8));
        EXPECT_EQ(device.Received(), bytes);
        CloseHandle(h);
        EXPECT_EQ(device.Opens(), 0);
    }
}

TEST_F(Driver, StalledWritesEndOnCancelWithTheBytesTakenOnReleaseAndOnClose)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.TakeThenStall(3));
    Io cancelled(h, "ABCDEFGH");
    ASSERT_TRUE(printer.WaitForBytes(3, 1000));
    EXPECT_TRUE(cancelled.Pending());
    const double start = NowMs();
    EXPECT_EQ(cancelled.End(0), Failed(ERROR_OPERATION_ABORTED, 3));
    EXPECT_LT(NowMs() - start, 100.0);
    Io released(h, "IJ");
    Sleep(50);
    EXPECT_TRUE(released.Pending());
    ASSERT_TRUE(printer.Release());
    EXPECT_EQ(released.End(1000), Done(2));
    EXPECT_EQ(printer.Received(), "ABCIJ");

    // Wine sends only IRP_MJ_CLOSE when a handle closes: the driver ends its requests there.
    ASSERT_TRUE(printer.Stall());
    Io write(h, "held"), read(h);
    ASSERT_TRUE(write.Pending() && read.Pending());
    CloseHandle(h);
    HANDLE ended[2] = {write.Event(), read.Event()};
    EXPECT_EQ(WaitForMultipleObjects(2, ended, TRUE, 1000), (DWORD)WAIT_OBJECT_0);
    const TestPrnInfo info = printer.Info();
    EXPECT_EQ(info.opens + info.pendingWrites + info.pendingReads, 0ul);
}

TEST_F(Driver, ReadsGetQueuedBytesThenScriptedAnswersAfterTheirDelay)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.QueueAnswer("\x12"));                      // a stale byte
    ASSERT_TRUE(printer.AnswerWhen("\x10\x04\x01", "\x16", 150)); // a late answer
    ASSERT_TRUE(printer.AnswerWhen("\x10\x04\x02", ""));          // no answer at all
    Io stale(h);
    EXPECT_EQ(stale.End(1000), Done(1));
    EXPECT_EQ(stale.First(), '\x12');
    Io late(h);
    const double start = NowMs();
    EXPECT_EQ(WriteNow(h, "\x10\x04"), Done(2));
    EXPECT_EQ(WriteNow(h, "\x01"), Done(1)); // the request spans two writes
    EXPECT_EQ(late.End(2000), Done(1));
    EXPECT_EQ(late.First(), '\x16');
    EXPECT_GE(NowMs() - start, 140.0);
    EXPECT_LT(NowMs() - start, 1000.0);
    Io none(h);
    EXPECT_EQ(WriteNow(h, "\x10\x04\x02"), Done(3));
    EXPECT_EQ(none.End(300), Failed(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

TEST_F(Driver, ClassRequestsAnswerWhatTheTestSet)
{
    DriverDevice usb(DriverDevice::kUsbPrinter, kUsbLink), lpt(DriverDevice::kParallelPort, "LPT3");
    const std::string id = "MFG:Acme;MDL:T1;CMD:ESC/POS;";
    ASSERT_TRUE(usb.SetStatus(0x38) && usb.SetDeviceId(id));
    ASSERT_TRUE(lpt.SetParallelStatus(PARALLEL_PAPER_EMPTY | PARALLEL_SELECTED));
    HANDLE hu = Open(usb.Path()), hl = Open(lpt.Path());
    ASSERT_TRUE(hu != INVALID_HANDLE_VALUE && hl != INVALID_HANDLE_VALUE);
    unsigned char out[256] = {};
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(hu, IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, out, 1, &n, nullptr));
    EXPECT_EQ(out[0], 0x38);
    EXPECT_TRUE(
        DeviceIoControl(hu, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, out, sizeof out, &n, nullptr));
    EXPECT_EQ(std::string((char *)out, n), std::string("\0\x1e", 2) + id); // 2 + 28 bytes
    EXPECT_FALSE(DeviceIoControl(hu, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(DeviceIoControl(hl, IOCTL_PAR_QUERY_INFORMATION, nullptr, 0, out, 1, &n, nullptr));
    EXPECT_EQ(out[0], PARALLEL_PAPER_EMPTY | PARALLEL_SELECTED);
    DCB dcb = {};
    EXPECT_FALSE(GetCommState(hl, &dcb) || GetCommState(hu, &dcb)) << "no serial lines";
    CloseHandle(hu);
    CloseHandle(hl);
}

TEST_F(Driver, SerialPortTakesKernel32CommCalls)
{
    DriverDevice com(DriverDevice::kSerialPort, "COM20");
    ASSERT_TRUE(com.SetModem(MS_CTS_ON | MS_RLSD_ON) && com.QueueAnswer("ab"));
    HANDLE h = Open("\\\\.\\COM20");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.BaudRate, 9600ul);
    dcb.BaudRate = 19200;
    EXPECT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(com.BaudRate(), 19200ul);
    COMMTIMEOUTS timeouts = {50, 0, 200, 0, 1000}, back = {};
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts) && GetCommTimeouts(h, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 200ul);
    DWORD errors = 0, modem = 0;
    COMSTAT stat = {}, purged = {};
    EXPECT_TRUE(SetCommMask(h, EV_TXEMPTY) && ClearCommError(h, &errors, &stat) &&
                PurgeComm(h, PURGE_RXCLEAR) && ClearCommError(h, &errors, &purged));
    EXPECT_EQ(std::make_pair(stat.cbInQue, purged.cbInQue), std::make_pair(2ul, 0ul));
    EXPECT_TRUE(GetCommModemStatus(h, &modem));
    EXPECT_EQ(modem, (DWORD)(MS_CTS_ON | MS_RLSD_ON));
    CloseHandle(h);
}

TEST_F(Driver, UnplugFailsPendingAndLaterRequestsAndReplugOpensAtAnotherLink)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE old = Open(printer.Path());
    ASSERT_NE(old, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.Stall());
    Io write(old, "lost"), read(old);
    ASSERT_TRUE(write.Pending() && read.Pending());
    ASSERT_TRUE(printer.Unplug());
    EXPECT_EQ(write.End(1000), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(read.End(1000), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(WriteNow(old, "x"), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(Open(printer.Path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(printer.Opens(), 1) << "the old handle is still open";
    const std::string before = printer.Path();
    ASSERT_TRUE(printer.Replug("USB#VID_04B8&PID_0202#SER1#{28d78fad-5a12-11d1-ae5b-0000f803a8c3}"));
    EXPECT_EQ(Open(before), INVALID_HANDLE_VALUE);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.Release());
    EXPECT_EQ(WriteNow(h, "back"), Done(4));
    EXPECT_EQ(WriteNow(old, "x"), Failed(ERROR_GEN_FAILURE)) << "a handle of the old plug revived";
    EXPECT_EQ(printer.Received(), "back");
    CloseHandle(old);
    CloseHandle(h);
    EXPECT_EQ(printer.Opens(), 0);
}
