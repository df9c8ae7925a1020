// The test bed's driver, through raw Win32 calls: each simulated device does what the library's
// tests rely on, with the codes a program sees.
#include "tests/win/driver_printer.h"

#include <gtest/gtest.h>

#include <ddk/usbprint.h>
#include <ntddpar.h>

#include "tests/win/testbed.h"

namespace {

const char kUsbLink[] = "USB#VID_04B8&PID_0202#SER1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const char kOtherUsbLink[] = "USB#VID_04B8&PID_0202#SER1#{28d78fad-5a12-11d1-ae5b-0000f803a8c3}";

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

// One overlapped read or write: End waits up to ms, cancels it if still pending, and gives its
// Win32 result (0 for success, the code of a request refused at once) and count.
struct Io {
    OVERLAPPED ov = {};
    char buffer[256] = {};
    DWORD refused = 0;
    Io() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    ~Io() { CloseHandle(ov.hEvent); }
    void Started(BOOL ok) { refused = ok || GetLastError() == ERROR_IO_PENDING ? 0 : GetLastError(); }
    void Write(HANDLE h, const std::string &bytes)
    {
        Started(WriteFile(h, bytes.data(), (DWORD)bytes.size(), nullptr, &ov));
    }
    void Read(HANDLE h) { Started(ReadFile(h, buffer, sizeof buffer, nullptr, &ov)); }
    bool Pending() { return refused == 0 && WaitForSingleObject(ov.hEvent, 0) == WAIT_TIMEOUT; }
    std::pair<DWORD, DWORD> End(HANDLE h, DWORD ms)
    {
        if (refused != 0)
            return {refused, 0};
        if (WaitForSingleObject(ov.hEvent, ms) != WAIT_OBJECT_0)
            CancelIoEx(h, &ov);
        DWORD n = 0;
        const DWORD error = GetOverlappedResult(h, &ov, &n, TRUE) ? 0 : GetLastError();
        return {error, n};
    }
};

std::pair<DWORD, DWORD> WriteNow(HANDLE h, const std::string &bytes)
{
    Io io;
    io.Write(h, bytes);
    return io.End(h, 1000);
}

const std::pair<DWORD, DWORD> Done(DWORD count) { return {0, count}; }
const std::pair<DWORD, DWORD> Failed(DWORD error, DWORD count = 0) { return {error, count}; }

} // namespace

TEST_F(Driver, EachKindOpensByItsLinkRecordsWritesAndCountsHandles)
{
    const struct { DriverDevice::Kind kind; const char *link, *path; } cases[] = {
        {DriverDevice::kUsbPrinter, kUsbLink,
         "\\\\?\\usb#vid_04b8&pid_0202#ser1#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}"},
        {DriverDevice::kSerialPort, "COM20", "\\\\.\\COM20"},
        {DriverDevice::kParallelPort, "LPT3", "\\\\.\\LPT3"},
    };
    const std::string bytes("\x1b@hello\0", 8);
    for (const auto &c : cases) {
        DriverDevice device(c.kind, c.link);
        ASSERT_TRUE(device.Plugged()) << c.link;
        HANDLE h = Open(c.path);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.path << ": " << GetLastError();
        EXPECT_EQ(device.Opens(), 1) << c.link;
        EXPECT_EQ(WriteNow(h, bytes), Done(8)) << c.link;
        EXPECT_EQ(device.Received(), bytes) << c.link;
        CloseHandle(h);
        EXPECT_EQ(device.Opens(), 0) << c.link;
    }
}

TEST_F(Driver, StalledWriteEndsOnCancelWithTheBytesTakenAndReleaseCompletesIt)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.TakeThenStall(3));
    Io cancelled, released;
    cancelled.Write(h, "ABCDEFGH");
    ASSERT_TRUE(printer.WaitForBytes(3, 1000));
    EXPECT_TRUE(cancelled.Pending());
    const double start = NowMs();
    EXPECT_EQ(cancelled.End(h, 0), Failed(ERROR_OPERATION_ABORTED, 3));
    EXPECT_LT(NowMs() - start, 100.0);
    released.Write(h, "IJ");
    Sleep(50);
    EXPECT_TRUE(released.Pending());
    ASSERT_TRUE(printer.Release());
    EXPECT_EQ(released.End(h, 1000), Done(2));
    EXPECT_EQ(printer.Received(), "ABCIJ");
    CloseHandle(h);
}

TEST_F(Driver, ReadsGetQueuedBytesThenScriptedAnswersAfterTheirDelay)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.QueueAnswer("\x12"));                      // a stale byte
    ASSERT_TRUE(printer.AnswerWhen("\x10\x04\x01", "\x16", 150)); // a late answer
    ASSERT_TRUE(printer.AnswerWhen("\x10\x04\x02", ""));          // no answer at all
    Io stale, late, none;
    stale.Read(h);
    EXPECT_EQ(stale.End(h, 1000), Done(1));
    EXPECT_EQ(stale.buffer[0], '\x12');

    late.Read(h);
    const double start = NowMs();
    EXPECT_EQ(WriteNow(h, "\x10\x04"), Done(2));
    EXPECT_EQ(WriteNow(h, "\x01"), Done(1)); // the request spans two writes
    EXPECT_EQ(late.End(h, 2000), Done(1));
    EXPECT_EQ(late.buffer[0], '\x16');
    EXPECT_GE(NowMs() - start, 140.0);
    EXPECT_LT(NowMs() - start, 1000.0);

    none.Read(h);
    EXPECT_EQ(WriteNow(h, "\x10\x04\x02"), Done(3));
    EXPECT_EQ(none.End(h, 300), Failed(ERROR_OPERATION_ABORTED));
    CloseHandle(h);
}

TEST_F(Driver, ClassRequestsAnswerWhatTheTestSet)
{
    DriverDevice usb(DriverDevice::kUsbPrinter, kUsbLink);
    DriverDevice lpt(DriverDevice::kParallelPort, "LPT3");
    const std::string id = "MFG:Acme;MDL:T1;CMD:ESC/POS;";
    ASSERT_TRUE(usb.SetStatus(0x38) && usb.SetDeviceId(id));
    ASSERT_TRUE(lpt.SetParallelStatus(PARALLEL_PAPER_EMPTY | PARALLEL_SELECTED));
    HANDLE hu = Open(usb.Path()), hl = Open(lpt.Path());
    ASSERT_NE(hu, INVALID_HANDLE_VALUE);
    ASSERT_NE(hl, INVALID_HANDLE_VALUE);
    unsigned char out[256] = {};
    DWORD n = 0;
    EXPECT_TRUE(DeviceIoControl(hu, IOCTL_USBPRINT_GET_LPT_STATUS, nullptr, 0, out, 1, &n, nullptr));
    EXPECT_EQ(out[0], 0x38);
    EXPECT_TRUE(
        DeviceIoControl(hu, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, out, sizeof out, &n, nullptr));
    ASSERT_EQ(n, id.size() + 2);
    EXPECT_EQ(out[0] * 256 + out[1], (int)n);
    EXPECT_EQ(std::string((char *)out + 2, id.size()), id);
    EXPECT_FALSE(DeviceIoControl(hu, IOCTL_USBPRINT_GET_1284_ID, nullptr, 0, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSUFFICIENT_BUFFER);
    EXPECT_TRUE(DeviceIoControl(hl, IOCTL_PAR_QUERY_INFORMATION, nullptr, 0, out, 1, &n, nullptr));
    EXPECT_EQ(out[0], PARALLEL_PAPER_EMPTY | PARALLEL_SELECTED);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    EXPECT_FALSE(GetCommState(hl, &dcb)) << "a parallel port is no serial line";
    EXPECT_FALSE(GetCommState(hu, &dcb)) << "nor is a USB printer";
    CloseHandle(hu);
    CloseHandle(hl);
}

TEST_F(Driver, SerialPortTakesKernel32CommCalls)
{
    DriverDevice com(DriverDevice::kSerialPort, "COM20");
    ASSERT_TRUE(com.SetModem(MS_CTS_ON | MS_RLSD_ON));
    HANDLE h = Open("\\\\.\\COM20");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_TRUE(GetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(dcb.BaudRate, 9600ul);
    dcb.BaudRate = 19200;
    EXPECT_TRUE(SetCommState(h, &dcb)) << GetLastError();
    EXPECT_EQ(com.BaudRate(), 19200ul);
    COMMTIMEOUTS timeouts = {50, 0, 200, 0, 1000}, back = {};
    EXPECT_TRUE(SetCommTimeouts(h, &timeouts) && GetCommTimeouts(h, &back));
    EXPECT_EQ(back.ReadTotalTimeoutConstant, 200ul);
    EXPECT_TRUE(SetCommMask(h, EV_TXEMPTY) && PurgeComm(h, PURGE_RXCLEAR | PURGE_TXCLEAR));
    ASSERT_TRUE(com.QueueAnswer("ab"));
    DWORD errors = 0, modem = 0;
    COMSTAT stat = {};
    EXPECT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 2ul);
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
    Io write, read;
    write.Write(old, "lost");
    read.Read(old);
    ASSERT_TRUE(write.Pending() && read.Pending());
    ASSERT_TRUE(printer.Unplug());
    EXPECT_EQ(write.End(old, 1000), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(read.End(old, 1000), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(WriteNow(old, "x"), Failed(ERROR_GEN_FAILURE));
    EXPECT_EQ(Open(printer.Path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(printer.Opens(), 1) << "the old handle is still open";

    ASSERT_TRUE(printer.Replug(kOtherUsbLink));
    EXPECT_EQ(Open(std::string("\\\\.\\") + kUsbLink), INVALID_HANDLE_VALUE);
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

TEST_F(Driver, ClosingAHandleEndsItsPendingRequests)
{
    DriverDevice printer(DriverDevice::kUsbPrinter, kUsbLink);
    HANDLE h = Open(printer.Path());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(printer.Stall());
    Io write, read;
    write.Write(h, "held");
    read.Read(h);
    ASSERT_EQ(printer.Info().pendingWrites + printer.Info().pendingReads, 2ul);
    CloseHandle(h);
    EXPECT_EQ(WaitForSingleObject(write.ov.hEvent, 1000), (DWORD)WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(read.ov.hEvent, 1000), (DWORD)WAIT_OBJECT_0);
    const TestPrnInfo info = printer.Info();
    EXPECT_EQ(info.opens + info.pendingWrites + info.pendingReads, 0ul);
}
