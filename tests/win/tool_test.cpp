// The norvat tool, run as a technician would, against the simulated devices.
#include "tests/shared/loopback_printer.h"
#include "tests/win/usb_fixture.h"

#include <memory>
#include <vector>

namespace {

struct ToolRun {
    DWORD status = 99;
    std::string out, err;
};

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
        run.out = out.text;
        run.err = err.text;
    }
    CloseHandle(outRead);
    CloseHandle(errRead);
    return run;
}

// Windows' C runtime writes text-mode output with CR LF; compare lines without the CR.
std::string Lines(std::string text)
{
    std::string plain;
    for (char c : text)
        if (c != '\r')
            plain += c;
    return plain;
}

TEST(Tool, HelpAndBadArgumentsShowTheUsage)
{
    const ToolRun help = Tool("--help");
    EXPECT_EQ(help.status, 0u);
    EXPECT_EQ(Lines(help.out).rfind("usage: norvat", 0), 0u);

    for (const char *bad : {"", "frobnicate", "send", "send 1", "send --hex 1 XYZ",
                            "send --hex 1 ABC", "query 1", "baud 1 fast", "baud 1 -5",
                            "version extra", "list extra"}) {
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
    // What the platform says about a parallel port asked for serial settings.
    DeviceEnd fifo(ToWindowsPath(TestbedUnixPath("dev/lpt1")));
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ASSERT_FALSE(GetCommState(fifo.Handle(), &dcb));
    const DWORD notSerial = GetLastError();
    fifo.Close();

    ASSERT_TRUE(UnderWine());
    ASSERT_TRUE(UsbRegistry::Clear()); // no USB printer at all
    const struct {
        const char *arguments;
        std::string line;
    } cases[] = {
        {"send COM55 X", "cannot open COM55: " + SystemMessage(ERROR_FILE_NOT_FOUND)},
        {"send COM1234567890123 X",
         "cannot open COM1234567890123: " + SystemMessage(ERROR_INVALID_PARAMETER)},
        {"query 4 \"~HS\"", "no answer from 4: " + SystemMessage(ERROR_TIMEOUT)},
        {"baud LPT1 9600", "cannot set 9600 bit/s on LPT1: " + SystemMessage(notSerial)},
        {"query NOSUCHSERIAL X", "no USB printer with serial NOSUCHSERIAL is connected"},
        {"send \"Desk#NOSUCH\" X", "no USB printer with serial NOSUCH is connected"},
        {"send 6 X", "cannot open 6: no USB printer is connected"},
        {"query --baud 9600 LPT1 X", "cannot set 9600 bit/s on LPT1: " + SystemMessage(notSerial)},
        {"monitor LPT1 --baud 9600", "cannot set 9600 bit/s on LPT1: " + SystemMessage(notSerial)},
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
    int com = 0; // set: answers only while that line runs at 19200 bit/s
};

DWORD WINAPI AnswerOneLine(void *arg)
{
    auto *job = static_cast<Answerer *>(arg);
    std::string line = job->device->Read(5, 10000); // "~HS" CR LF
    if (line == "~HS\r\n" &&
        (job->com == 0 || SttyOfCom(job->com).find("speed 19200 baud") != std::string::npos))
        job->device->Write(job->answer);
    return 0;
}

TEST(Tool, QueryPrintsTheAnswerAsTextOrHex)
{
    DeviceEnd device(DeviceEndOf(9));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    struct {
        const char *arguments;
        std::string answer;
        std::string printed;
    } cases[] = {
        {"query COM9 ~HS", "READY\r\n", "READY\n"},
        {"query 9 ~HS", std::string("A\x01", 2), "A\\x01\n"},
        {"query --hex COM9 ~HS", "OK\r\n", "4F 4B 0D 0A\n"},
    };
    for (const auto &c : cases) {
        Answerer job{&device, c.answer};
        HANDLE thread = CreateThread(nullptr, 0, AnswerOneLine, &job, 0, nullptr);
        const ToolRun run = Tool(c.arguments);
        WaitForSingleObject(thread, 15000);
        CloseHandle(thread);
        EXPECT_EQ(run.status, 0u) << c.arguments << ": " << run.err;
        EXPECT_EQ(Lines(run.out), c.printed) << c.arguments;
    }
}

TEST(Tool, QueryWithBaudTalksAtThatSpeed)
{
    // A device at 19200 bit/s: it makes sense only of what arrives while the line runs at that.
    // (Wine's serial driver takes every rate, so a refused one cannot be made here.)
    DeviceEnd device(DeviceEndOf(9));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    Answerer job{&device, "AT 19200\r\n", 9};
    HANDLE thread = CreateThread(nullptr, 0, AnswerOneLine, &job, 0, nullptr);
    const ToolRun run = Tool("query --baud 19200 COM9 ~HS");
    WaitForSingleObject(thread, 15000);
    CloseHandle(thread);
    EXPECT_EQ(run.status, 0u) << run.err;
    EXPECT_EQ(Lines(run.out), "AT 19200\n");
}

TEST(Tool, SendFileDeliversEveryByteValueFromAFileOrStandardInput)
{
    DeviceEnd device(DeviceEndOf(2));
    ASSERT_TRUE(device.IsOpen());
    device.Drain(50);
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[(size_t)i] = (char)i;
    const std::string path = ToWindowsPath(TestbedUnixPath("every.bin"));
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file, every.data(), 256, &written, nullptr) && written == 256);
    CloseHandle(file);
    for (const auto &c : {std::make_pair("send --file COM2 " + path, std::string()),
                          std::make_pair(std::string("send --file COM2 -"), every)}) {
        const ToolRun run = Tool(c.first, c.second);
        EXPECT_EQ(run.status, 0u) << c.first << ": " << run.err;
        EXPECT_EQ(Lines(run.out), "sent 256 bytes to COM2\n") << c.first;
        EXPECT_EQ(device.Read(257, 1000), every) << c.first;
    }
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
        }
    }
    void TearDown() override
    {
        printers.clear();
        UsbRegistry::Clear();
    }
    std::vector<std::unique_ptr<SimulatedPrinter>> printers;
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

    const ToolRun first = Tool("query 6 ~HS");
    EXPECT_EQ(Lines(first.out), "LBL0042:~HS\n");
}

TEST_F(ToolUsb, PortsShowsEverySerialAndParallelPortAndThePrinters)
{
    const ToolRun run = Tool("ports");
    EXPECT_EQ(run.status, 0u) << run.err;
    const std::string out = "\n" + Lines(run.out); // every line then starts after a '\n'
    // The test bed's ports, each with the device Windows has behind the name.
    for (int com : {1, 2, 3, 4, 7, 8, 9, 11, 12, 19})
        EXPECT_NE(out.find("\nserial    COM" + std::to_string(com) + " "), std::string::npos)
            << "COM" << com << " in:\n" << out;
    EXPECT_NE(out.find("(\\Device\\Serial0)\n"), std::string::npos) << out;
    for (int lpt : {1, 2})
        EXPECT_NE(out.find("\nparallel  LPT" + std::to_string(lpt)), std::string::npos) << out;
    // Serial ports first, in number order, then parallel ports, then the USB printers exactly as
    // the listing gives them, last.
    EXPECT_EQ(out.rfind("\nserial    ", 0), 0u) << out;
    EXPECT_LT(out.find("COM9 "), out.find("COM11 ")) << out;
    EXPECT_LT(out.rfind("serial "), out.find("parallel ")) << out;
    const std::string usb = "usb       Label printer#LBL0042\nusb       Receipt printer#RCP7731\n";
    ASSERT_GE(out.size(), usb.size());
    EXPECT_EQ(out.substr(out.size() - usb.size()), usb) << out;
}

TEST_F(ToolUsb, MonitorSendsEachLineOfAScriptAndShowsEachAnswer)
{
    const ToolRun text = Tool("monitor \"Receipt printer#RCP7731\"", "~HS\r\nSECOND\nLAST");
    EXPECT_EQ(text.status, 0u) << text.err;
    EXPECT_EQ(Lines(text.out), "RCP7731:~HS\nRCP7731:SECOND\nRCP7731:LAST\n");
    EXPECT_EQ(Lines(text.err), "--- norvat monitor on Receipt printer#RCP7731: lines go out with CR LF; "
                               "end of input or Ctrl-C ends ---\n--- closed Receipt printer#RCP7731 ---\n");
    EXPECT_EQ(printers[1]->Received(), "~HS\r\nSECOND\r\nLAST\r\n");

    // As hexdump -C shows them.
    const ToolRun hex = Tool("monitor --hex LBL0042", "7e 48 53 0d 0a\r\n");
    EXPECT_EQ(Lines(hex.out), RunUnix("printf 'LBL0042:~HS\\r\\n' | hexdump -C | head -n 1"));
    EXPECT_EQ(printers[0]->Received(), "~HS\r\n");
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

TEST_F(ToolListing, ListingTextsOpenExactlyWhereOpenUSBOpensThem)
{
    const std::string fits(41, 'F'), over(42, 'O');
    Plug("a", kHp, "FITS", fits);
    Plug("b", kHp, "OVER", over);
    const std::string list = Lines(Tool("list").out);
    const struct {
        std::string text, output;
    } cases[] = {
        {fits + "#FITS", "FITS:~HS\n"},
        {over + "#OVER", "norvat: no USB printer with serial " + over + "#OVER is connected (a listing text "
                         "opens its printer only when the description has at most 41 characters and "
                         "no '#': pass the serial alone)\n"},
    };
    for (const auto &c : cases) {
        EXPECT_NE(list.find(c.text + "\n"), std::string::npos) << list;
        const ToolRun run = Tool("query \"" + c.text + "\" ~HS");
        EXPECT_EQ(Lines(run.out + run.err), c.output);
        EXPECT_EQ(lib.OpenUSB(c.text.c_str()), run.status == 0 ? 1 : 0) << c.text;
    }
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
    LoopbackPrinter printer;
    int closed;
    {
        LoopbackPrinter gone;
        closed = gone.Port();
    }
    // The reasons the library leaves, to see the tool print the system's words for them.
    ASSERT_EQ(lib.OpenUSB("tcp://no-such-printer.invalid"), 0);
    const DWORD unknown = GetLastError();
    ASSERT_EQ(lib.OpenUSB(printer.Address().c_str()), 1);
    ASSERT_EQ(lib.setbaudrate(9600), 0);
    const DWORD notSerial = GetLastError();
    lib.closeport();
    ASSERT_TRUE(printer.WaitDisconnected(2000));

    const std::string refused = "tcp://127.0.0.1:" + std::to_string(closed);
    const struct {
        std::string arguments, output;
    } cases[] = {
        {"query " + printer.Address() + " ~HS", "NET:~HS\n"},
        {"send " + refused + " X",
         "norvat: cannot open " + refused + ": " + SystemMessage(WSAECONNREFUSED) + "\n"},
        {"send tcp://no-such-printer.invalid X",
         "norvat: cannot open tcp://no-such-printer.invalid: " + SystemMessage(unknown) + "\n"},
        {"send --baud 9600 " + printer.Address() + " X",
         "norvat: cannot set 9600 bit/s on " + printer.Address() + ": " + SystemMessage(notSerial) + "\n"},
    };
    for (const auto &c : cases) {
        const ToolRun run = Tool(c.arguments);
        EXPECT_EQ(Lines(run.out + run.err), c.output) << c.arguments;
        EXPECT_EQ(run.status, c.output.rfind("norvat: ", 0) == 0 ? 1u : 0u) << c.arguments;
    }
    EXPECT_EQ(printer.Received(), "~HS\r\n");
}

} // namespace
