// The norvat tool, run as a technician would, against the simulated devices.
#include "tests/shared/tool_cases.h"
#include "tests/win/driver_test_device.h"
#include "tests/win/usb_fixture.h"

#include <memory>
#include <vector>

namespace {

// Windows' C runtime writes text-mode output with CR LF; compare lines without the CR.
std::string Lines(std::string text)
{
    std::string plain;
    for (char c : text)
        if (c != '\r')
            plain += c;
    return plain;
}

std::string ReadAll(HANDLE pipe)
{
    std::string text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &n, nullptr) && n > 0)
        text.append(buffer, n);
    return text;
}

struct Reader {
    HANDLE pipe;
    std::string text;
};

DWORD WINAPI ReadInto(void *arg)
{
    auto *reader = static_cast<Reader *>(arg);
    reader->text = ReadAll(reader->pipe);
    return 0;
}

// Runs norvat.exe (beside this test) with the given command line tail, input on its standard
// input (a pipe that ends after it).
ToolRun Tool(const std::string &arguments, const std::string &input = "")
{
    ToolRun run;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE outRead, outWrite, errRead, errWrite, inRead, inWrite;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    CreatePipe(&inRead, &inWrite, &inherit, (DWORD)input.size() + 4096);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    DWORD written = 0;
    WriteFile(inWrite, input.data(), (DWORD)input.size(), &written, nullptr);
    CloseHandle(inWrite);
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = outWrite;
    si.hStdError = errWrite;
    si.hStdInput = inRead;
    std::string line = "norvat.exe " + arguments;
    PROCESS_INFORMATION pi = {};
    const BOOL started =
        CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    CloseHandle(inRead);
    if (started) {
        Reader out{outRead, ""}, err{errRead, ""};
        HANDLE readers[2] = {CreateThread(nullptr, 0, ReadInto, &out, 0, nullptr),
                             CreateThread(nullptr, 0, ReadInto, &err, 0, nullptr)};
        WaitForSingleObject(pi.hProcess, 60000);
        GetExitCodeProcess(pi.hProcess, &run.status);
        WaitForMultipleObjects(2, readers, TRUE, 10000);
        CloseHandle(readers[0]);
        CloseHandle(readers[1]);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        run.out = Lines(out.text);
        run.err = Lines(err.text);
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}


TEST(Tool, HelpAndBadArgumentsShowTheUsage)
{
    const ToolRun help = Tool("--help");
    EXPECT_EQ(help.status, 0u);
    EXPECT_EQ(Lines(help.out).rfind("usage: norvat", 0), 0u);

    for (const char *bad : {"", "frobnicate", "send", "send 1", "send --hex 1 XYZ",
                            "send --hex 1 ABC", "query 1", "baud 1 fast", "baud 1 -5",
                            "version extra", "list extra", "ports extra", "ports --hex",
                            "send --hex --file 1 X", "monitor",
                            "query --baud 0 1 X", "query --baud", "query --frob 1 X", "send tcp://x:0 X"}) {
        const ToolRun run = Tool(bad);
        EXPECT_EQ(run.status, 2u) << bad;
        EXPECT_EQ(Lines(run.err).rfind("norvat: ", 0), 0u) << bad;
        EXPECT_NE(run.err.find("usage: norvat"), std::string::npos) << bad;
    }
}

TEST(Tool, VersionPrintsTheLibrarysText)
{
    const ToolRun run = Tool("version");
    EXPECT_EQ(run.status, 0u);
    EXPECT_EQ(Lines(run.out), "Ver1.2 2011/8/1\n");
}

TEST(Tool, SendPutsTheExactBytesOnTheWire)
{
    DeviceEnd device(DeviceEndOf(2));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    struct {
        std::string arguments;
        std::string wire;
    } cases[] = {
        {"send COM2 AB", "AB\r\n"},
        {"send 2 \"two words\"", "two words\r\n"},
        {"send --hex COM2 \"1B 40 00 ff\"", std::string("\x1b\x40\x00\xff", 4)},
        {"send --hex 2 0d0A", "\r\n"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(run.status, 0u) << c.arguments << ": " << run.err;
        EXPECT_EQ(device.Read(c.wire.size() + 1, 1000), c.wire) << c.arguments;
    }
}

// The system's message for a code, as one line.
std::string SystemMessage(DWORD code)
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        n--;
    return std::string(text, n);
}

TEST(Tool, FailuresExitWithOneLineThatSaysWhy)
{
    ASSERT_TRUE(UnderWine());
    ASSERT_TRUE(UsbRegistry::Clear()); // no USB printer at all
    // The library's words for its result, then the system's for the code it left.
    const auto why = [](const char *words, DWORD code) {
        return std::string(words) + " (" + SystemMessage(code) + ")";
    };
    const std::string noPort = why("no such port or printer", ERROR_FILE_NOT_FOUND);
    const std::string noPrinter = why("no such port or printer", ERROR_DEVICE_NOT_CONNECTED);
    const std::string notSerial = why("not supported on this port", ERROR_NOT_SUPPORTED);
    const struct {
        const char *arguments;
        std::string line;
    } cases[] = {
        {"send COM55 X", "cannot open COM55: " + noPort},
        {"send COM1234567890123 X",
         "cannot open COM1234567890123: " + why("argument refused", ERROR_INVALID_PARAMETER)},
        {"query 4 \"~HS\"", "no answer from 4 within 5 s"},
        {"baud LPT1 9600", "cannot set 9600 bit/s on LPT1: " + notSerial},
        {"query NOSUCHSERIAL X", "cannot open NOSUCHSERIAL: " + noPrinter},
        {"send \"Desk#NOSUCH\" X", "cannot open Desk#NOSUCH: " + noPrinter},
        {"send 6 X", "cannot open 6: no USB printer is connected"},
        {"query --baud 9600 LPT1 X", "cannot set 9600 bit/s on LPT1: " + notSerial},
        {"monitor LPT1 --baud 9600", "cannot set 9600 bit/s on LPT1: " + notSerial},
    };
    for (const auto &c : cases) {
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(run.status, 1u) << c.arguments;
        EXPECT_EQ(Lines(run.err), "norvat: " + c.line + "\n") << c.arguments;
    }
}

TEST(Tool, BaudSetsTheLineSpeed)
{
    const ToolRun run = Tool("baud COM8 38400");
    EXPECT_EQ(run.status, 0u) << run.err;
    EXPECT_NE(SttyOfCom(8).find("speed 38400 baud"), std::string::npos);
}

struct Answerer {
    DeviceEnd *device;
    std::string answer;
    std::string speed; // answers only while COM9's line runs at this, as a device set to it
};

DWORD WINAPI AnswerOneLine(void *arg)
{
    auto *job = static_cast<Answerer *>(arg);
    std::string line = job->device->Read(5, 10000); // "~HS" CR LF
    if (line == "~HS\r\n" && SttyOfCom(9).find("speed " + job->speed + " baud") != std::string::npos)
        job->device->Write(job->answer);
    return 0;
}

TEST(Tool, QueryPrintsTheAnswerAsTextOrHexAtTheGivenSpeed)
{
    DeviceEnd device(DeviceEndOf(9));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    // (Wine's serial driver takes every rate, so no refused rate can be made here.)
    struct {
        const char *arguments;
        std::string answer, printed, speed;
    } cases[] = {
        {"query COM9 ~HS", "READY\r\n", "READY\n", "9600"},
        {"query 9 ~HS", std::string("A\x01", 2), "A\\x01\n", "9600"},
        {"query --hex COM9 ~HS", "OK\r\n", "4F 4B 0D 0A\n", "9600"},
        {"query --baud 19200 COM9 ~HS", "AT 19200\r\n", "AT 19200\n", "19200"},
    };
    for (const auto &c : cases) {
        Answerer job{&device, c.answer, c.speed};
        HANDLE thread = CreateThread(nullptr, 0, AnswerOneLine, &job, 0, nullptr);
        const ToolRun run = Tool(c.arguments);
        WaitForSingleObject(thread, 15000);
        CloseHandle(thread);
        EXPECT_EQ(run.status, 0u) << c.arguments << ": " << run.err;
        EXPECT_EQ(Lines(run.out), c.printed) << c.arguments;
    }
}

// A file of the test bed holding bytes; gives its path as Windows programs see it.
std::string TestbedFile(const std::string &name, const std::string &bytes)
{
    const std::string path = ToWindowsPath(TestbedUnixPath(name));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, nullptr);
    CloseHandle(file);
    return path;
}

// The harness of the cases both platforms share.
const ToolBed kToolBed{
    Tool,
    RunUnix,
    TestbedFile,
    [] { return (int)GetLastError(); },
    [](int reason) { return SystemMessage((DWORD)reason); },
    [](const std::string &script, const std::string &input) {
        TestbedFile("script.py", script);
        TestbedFile("script-in", input);
        return RunUnix("python3 " + TestbedUnixPath("script.py") + " <" + TestbedUnixPath("script-in") + " 2>&1");
    },
};

TEST(Tool, SendFileDeliversEveryByteValueFromAFileOrStandardInput)
{
    // A test that opened COM12 as a serial port left XON/XOFF on this device end, which would
    // then take 0x11 and 0x13 as flow control (and stop its own output at the 0x13).
    RunUnix("stty -F " + TestbedUnixPath("dev/com12") + " -ixon");
    DeviceEnd device(DeviceEndOf(2));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    CheckSendFileDeliversEveryByte(kToolBed, "COM2", [&](size_t n) { return device.Read(n, 1000); });
}

class ToolUsb : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(UnderWine()) << "refusing to write the registry outside Wine";
        ASSERT_TRUE(UsbRegistry::Clear());
        for (const auto &p : {std::make_pair("LBL0042", "Label printer"),
                              std::make_pair("RCP7731", "Receipt printer")}) {
            UsbEntry entry;
            entry.subkey = std::string("t") + p.first;
            entry.link = PipeLink("VID_03F0&PID_1950", p.first);
            entry.description = p.second;
            ASSERT_TRUE(UsbRegistry::Write(entry));
            printers.push_back(std::make_unique<SimulatedPrinter>(entry.link, p.first));
            links.push_back(entry.link);
        }
    }
    void TearDown() override
    {
        printers.clear();
        UsbRegistry::Clear();
    }
    std::vector<std::unique_ptr<SimulatedPrinter>> printers;
    std::vector<std::string> links;
};

TEST_F(ToolUsb, ListThenQueryAPrinterByItsListingText)
{
    const ToolRun list = Tool("list");
    EXPECT_EQ(list.status, 0u);
    ASSERT_EQ(Lines(list.out), "Label printer#LBL0042\nReceipt printer#RCP7731\n");

    const ToolRun query = Tool("query \"Receipt printer#RCP7731\" ~HS");
    EXPECT_EQ(query.status, 0u) << query.err;
    EXPECT_EQ(Lines(query.out), "RCP7731:~HS\n");
    EXPECT_EQ(printers[1]->Received(), "~HS\r\n");
    EXPECT_EQ(printers[0]->Received(), "");

    const ToolRun bySerial = Tool("send --hex LBL0042 1B40");
    EXPECT_EQ(bySerial.status, 0u) << bySerial.err;
    EXPECT_TRUE(printers[0]->WaitForBytes(2, 2000));
    EXPECT_EQ(printers[0]->Received(), "\x1b\x40");
}

TEST_F(ToolUsb, PortsShowsEverySerialAndParallelPortAndThePrinters)
{
    const ToolRun run = Tool("ports");
    EXPECT_EQ(run.status, 0u) << run.err;
    const std::string out = "\n" + Lines(run.out); // every line then starts after a '\n'
    // The test bed's ports, by the names norvat_open takes.
    for (int com : {1, 2, 3, 4, 7, 8, 9, 11, 12, 19})
        EXPECT_NE(out.find("\nserial    COM" + std::to_string(com) + " "), std::string::npos)
            << "COM" << com << " in:\n" << out;
    for (int lpt : {1, 2})
        EXPECT_NE(out.find("\nparallel  LPT" + std::to_string(lpt)), std::string::npos) << out;
    // Serial ports first, in number order, then parallel ports, then the USB printers by their
    // links, with what they are, last.
    EXPECT_EQ(out.rfind("\nserial    ", 0), 0u) << out;
    EXPECT_LT(out.find("COM9 "), out.find("COM11 ")) << out;
    EXPECT_LT(out.rfind("\nserial "), out.find("\nparallel ")) << out;
    const std::string usb = "\nusb       " + links[1] + "  Receipt printer\n"
                            "          serial RCP7731, USB 03f0:1950\n";
    ASSERT_GE(out.size(), usb.size());
    EXPECT_EQ(out.substr(out.size() - usb.size()), usb) << out;
}

TEST_F(ToolUsb, MonitorSendsEachLineOfAScriptAndShowsEachAnswer)
{
    CheckMonitorScript(kToolBed, "Receipt printer#RCP7731", "RCP7731",
                       [&] { return printers[1]->Received(); });
}

TEST_F(ToolUsb, ListWithNoPrinterPrintsNothing)
{
    printers.clear();
    ASSERT_TRUE(UsbRegistry::Clear());
    const ToolRun list = Tool("list");
    EXPECT_EQ(list.status, 0u);
    EXPECT_EQ(list.out, "");
}

class ToolListing : public Usb {};

TEST_F(ToolListing, ListingTextsOpenExactlyWhereNorvatOpenOpensThem)
{
    CheckListingTextsOpenWhereNorvatOpenOpens(lib, kToolBed, [&](const std::string &serial,
                                                              const std::string &description) {
        Plug(serial, kHp, serial, description);
    });
}

// Printers of other makers, of the test bed's driver, which answer the class requests (status
// byte, device ID) and DLE EOT.
class ToolDriverPrinters : public DriverTest {
protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        if (IsSkipped() || HasFatalFailure())
            return;
        for (const PrinterMake &make : ToolPrinters())
            plugged.push_back(PlugDriverPrinter(make, (int)plugged.size()));
    }
    void TearDown() override
    {
        plugged.clear();
        DriverTest::TearDown();
    }
    std::vector<std::unique_ptr<TestDevice>> plugged;
};

TEST_F(ToolDriverPrinters, PortsListEveryMakersPrinterAsValidJsonAndSendReachesItBySerial)
{
    CheckPortsListEveryMakersPrinter(kToolBed, plugged);
}

TEST_F(ToolDriverPrinters, StatusSaysWhetherThePrinterIsReady)
{
    CheckStatusSaysWhetherThePrinterIsReady(kToolBed, *plugged[0]);
}

// Network printers: a suite named Network..., run with Wine's server in a namespace of its own.
class NetworkTool : public NorvatTest {
protected:
    void SetUp() override
    {
        NorvatTest::SetUp();
        if (!ServerInOwnNetwork())
            GTEST_SKIP() << "needs Wine's server in a network namespace of its own "
                            "(scripts/test.sh runs these tests in one)";
    }
};

TEST_F(NetworkTool, TalksToANetworkPrinterAndSaysWhyOneCannotBeReached)
{
    CheckToolReachesANetworkPrinter(lib, kToolBed);
}

} // namespace
