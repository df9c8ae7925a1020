#include "tests/win/driver_printer.h"

#include <cstring>

#include "tests/win/testbed.h"
#include "tests/win/usb_sim.h"

namespace {

bool slotTaken[TESTPRN_SLOTS];

// The control device, opened once per process and kept.
HANDLE Control()
{
    static HANDLE control = CreateFileA("\\\\.\\" TESTPRN_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE,
                                        0, nullptr, OPEN_EXISTING, 0, nullptr);
    return control;
}

bool Send(DWORD code, const TestPrnRequest &rq, void *out, DWORD outSize, DWORD *got)
{
    DWORD n = 0;
    const BOOL ok = DeviceIoControl(Control(), code, const_cast<TestPrnRequest *>(&rq),
                                    (DWORD)(TESTPRN_REQUEST_HEAD + rq.length), out, outSize, &n,
                                    nullptr);
    if (got != nullptr)
        *got = ok ? n : 0;
    return ok != FALSE;
}

} // namespace

std::string DriverDevice::Unavailable()
{
    if (!UnderWine())
        return "not under Wine: the test driver runs in the test bed's Wine prefix only";
    if (sizeof(void *) != 8)
        return "the test driver is built for x64 only";
    if (Control() == INVALID_HANDLE_VALUE)
        return "the test driver is not running (scripts/testbed.sh up starts it after an x64 "
               "build); opening \\\\.\\" TESTPRN_CONTROL_NAME " failed with " +
               std::to_string(GetLastError());
    return "";
}

DriverDevice::DriverDevice(Kind kind, const std::string &link) : kind_(kind), link_(link)
{
    for (int i = 0; i < TESTPRN_SLOTS && slot_ < 0; i++)
        if (!slotTaken[i])
            slot_ = i;
    if (slot_ < 0)
        return;
    slotTaken[slot_] = true;
    // A process that ended without its destructors may have left the slot plugged: take it over.
    Request(TESTPRN_UNPLUG, 0);
    Request(TESTPRN_RESET, 0);
    Replug(link);
}

DriverDevice::~DriverDevice()
{
    if (slot_ < 0)
        return;
    Unplug();
    Request(TESTPRN_RESET, 0);
    slotTaken[slot_] = false;
}

bool DriverDevice::Request(DWORD code, ULONG value, const std::string &data, ULONG split,
                           void *out, DWORD outSize, DWORD *got)
{
    if (slot_ < 0 || data.size() > TESTPRN_DATA_MAX || Control() == INVALID_HANDLE_VALUE)
        return false;
    TestPrnRequest rq = {};
    rq.slot = (ULONG)slot_;
    rq.value = value;
    rq.split = split;
    rq.length = (ULONG)data.size();
    std::memcpy(rq.data, data.data(), data.size());
    return Send(code, rq, out, outSize, got);
}

bool DriverDevice::Plugged() { return Info().plugged != 0; }

std::string DriverDevice::Path() const { return "\\\\.\\" + link_; }

std::string DriverDevice::Received()
{
    std::string all;
    for (;;) {
        char chunk[65536];
        DWORD got = 0;
        if (!Request(TESTPRN_GET_RECEIVED, (ULONG)all.size(), "", 0, chunk, sizeof chunk, &got))
            return all;
        all.append(chunk, got);
        if (got < sizeof chunk)
            return all;
    }
}

bool DriverDevice::WaitForBytes(size_t count, DWORD ms)
{
    const double deadline = NowMs() + ms;
    while (Info().received < count) {
        if (NowMs() > deadline)
            return false;
        Sleep(5);
    }
    return true;
}

bool DriverDevice::TakeThenStall(size_t count)
{
    return count < TESTPRN_TAKE_ALL && Request(TESTPRN_SET_WRITE_LIMIT, (ULONG)count);
}

bool DriverDevice::Release() { return Request(TESTPRN_SET_WRITE_LIMIT, TESTPRN_TAKE_ALL); }

bool DriverDevice::QueueAnswer(const std::string &bytes)
{
    for (size_t at = 0; at < bytes.size(); at += TESTPRN_DATA_MAX)
        if (!Request(TESTPRN_QUEUE_ANSWER, 0, bytes.substr(at, TESTPRN_DATA_MAX)))
            return false;
    return true;
}

bool DriverDevice::AnswerWhen(const std::string &written, const std::string &answer, DWORD delayMs)
{
    return Request(TESTPRN_ANSWER_WHEN, delayMs, written + answer, (ULONG)written.size());
}

bool DriverDevice::SetStatus(unsigned char byte) { return Request(TESTPRN_SET_LPT_STATUS, byte); }

bool DriverDevice::SetDeviceId(const std::string &id)
{
    return Request(TESTPRN_SET_DEVICE_ID, 0, id);
}

bool DriverDevice::SetModem(DWORD msBits) { return Request(TESTPRN_SET_MODEM, msBits); }

bool DriverDevice::SetParallelStatus(unsigned char bits)
{
    return Request(TESTPRN_SET_PARALLEL, bits);
}

TestPrnInfo DriverDevice::Info()
{
    TestPrnInfo info = {};
    DWORD got = 0;
    if (!Request(TESTPRN_GET_INFO, 0, "", 0, &info, sizeof info, &got) || got != sizeof info)
        info = TestPrnInfo{};
    return info;
}

bool DriverDevice::Unplug(LONG gone) { return Request(TESTPRN_UNPLUG, (ULONG)gone); }

bool DriverDevice::Replug(const std::string &link)
{
    const std::string at = link.empty() ? link_ : link;
    if (!Request(TESTPRN_PLUG, (ULONG)kind_, at))
        return false;
    link_ = at;
    return true;
}

bool RegisterDriverPrinter(const std::string &subkey, const std::string &link,
                           const std::string &description)
{
    UsbEntry entry;
    entry.subkey = subkey;
    entry.link = "\\\\?\\" + link;
    entry.description = description;
    return UsbRegistry::Write(entry);
}
