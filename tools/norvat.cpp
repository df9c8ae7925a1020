// norvat: check a printer from the command line, without writing code. Built on the library
// through its public header, as any host would use it. What a PORT text means it takes from the
// library's own rules (port/name.h, usb/link.h, compiled in from the same sources), never from a
// copy; tools/system_<platform>.cpp has the few system calls of its own (clock, error messages,
// the machine's ports, standard input, Ctrl-C).
#include "include/norvat.h"
#include "port/name.h"
#include "tools/system.h"
#include "usb/link.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// query reads until the printer has been quiet for one read of the library's (RcvBuf waits about
// 450 ms for bytes), at most this long in all.
const unsigned long long kQueryBoundMs = 5000;
// monitor, at the end of its input, waits as long for the answer to the last line.
const unsigned long long kLastAnswerBoundMs = 2000;

const char kUsage[] =
    "usage: norvat COMMAND [OPTIONS] ARGS\n"
    "\n"
    "  version                 print the library's version text\n"
    "                            norvat version\n"
    "  list                    list the connected USB printers, one \"description#serial\" a line\n"
    "                            norvat list\n"
    "  ports                   list the serial and parallel ports, then the USB printers\n"
    "                            norvat ports\n"
    "  send PORT TEXT          send TEXT followed by CR LF\n"
    "                            norvat send COM1 \"~JA\"\n"
    "  send --hex PORT HEX     send raw bytes given in hex (\"1B40\", \"1b 40\")\n"
    "                            norvat send --hex LPT1 \"1B 40\"\n"
    "  send --file PORT FILE   send a file's bytes unchanged (FILE \"-\": standard input)\n"
    "                            norvat send --file \"Label printer#LBL0042\" label.zpl\n"
    "  query [--hex] PORT TEXT send TEXT with CR LF, then print the answer (as hex with --hex);\n"
    "                          reads until the printer has been quiet for about 0.5 s, at most 5 s\n"
    "                            norvat query COM3 \"~HS\"\n"
    "  monitor [--hex] PORT    a live terminal: each line typed goes out with CR LF (with --hex,\n"
    "                          as hex bytes), answers print as they arrive (with --hex, as\n"
    "                          hexdump -C shows them); end of input or Ctrl-C ends it, and at the\n"
    "                          end of input it waits up to 2 s for the last answer\n"
    "                            printf '~HS\\n' | norvat monitor COM3\n"
    "  baud PORT RATE          set the line speed of a serial port (every open sets 9600 bit/s\n"
    "                          again: to talk at RATE, give --baud RATE to send, query, monitor)\n"
    "                            norvat baud COM3 19200\n"
    "\n"
    "  --baud RATE             with send, query and monitor: set a serial line to RATE bit/s\n"
    "                          after opening it, before talking (fails on any other port)\n"
    "                            norvat query --baud 19200 COM3 \"~HS\"\n"
    "\n"
    "PORT is a serial port name (COM1, COM12), LPT1 or LPT2, a port number 0-9 (0 LPT1,\n"
    "1-4 COM1-COM4, 5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), a USB printer's listing\n"
    "text or serial, a network printer tcp://HOST[:PORT] (raw TCP, port 9100 when left out, e.g.\n"
    "tcp://192.168.1.50, tcp://printer.local:9100, tcp://[fe80::1]:9100), or on Linux a device\n"
    "path such as /dev/ttyUSB0.\n"
    "Options may stand anywhere after the command; \"--\" ends them.\n"
    "Exit status: 0 on success, 1 when the device did not do it, 2 on bad arguments.\n";

int Usage(const std::string &problem)
{
    if (!problem.empty())
        std::fprintf(stderr, "norvat: %s\n\n", problem.c_str());
    std::fputs(kUsage, problem.empty() ? stdout : stderr);
    return problem.empty() ? 0 : 2;
}

int Fail(const std::string &reason)
{
    std::fprintf(stderr, "norvat: %s\n", reason.c_str());
    return 1;
}

// A failure of a library call on PORT: what was tried, then why, from the reason it left.
int Fail(const std::string &what, int reason)
{
    return Fail(what + ": " + ReasonText(reason));
}

// A command's arguments with its options taken out.
struct Arguments {
    bool hex = false, file = false;
    int baud = 0; // 0: the line keeps the speed the open set
    std::vector<std::string> rest;
    std::string problem; // why they are not usable; empty when they are
};

bool ParseRate(const char *text, int *rate)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || errno != 0 || value <= 0 || value > INT_MAX)
        return false;
    *rate = (int)value;
    return true;
}

// Takes the options out of a command's arguments, wherever they stand; "--" ends them. allowed
// lists the options the command takes, each followed by a space.
Arguments ParseArguments(int argc, char **argv, const std::string &allowed)
{
    Arguments a;
    bool options = true;
    for (int i = 0; i < argc && a.problem.empty(); i++) {
        const std::string arg = argv[i];
        if (options && arg == "--") {
            options = false;
        } else if (!options || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            a.rest.push_back(arg);
        } else if (allowed.find(arg + " ") == std::string::npos) {
            a.problem = "unknown option " + arg;
        } else if (arg == "--hex") {
            a.hex = true;
        } else if (arg == "--file") {
            a.file = true;
        } else if (i + 1 >= argc || !ParseRate(argv[++i], &a.baud)) {
            a.problem = "--baud needs RATE, a positive number of bits per second";
        }
    }
    return a;
}

// A PORT text the library would refuse as it stands: a network address that is none.
std::string PortProblem(const std::string &port)
{
    NetworkAddress address;
    if (ClassifyPortName(port.c_str()) == kPortNameNetwork &&
        !ParseNetworkAddress(port.c_str(), &address))
        return port + " is no network printer's address: tcp://HOST or tcp://HOST:PORT, PORT 1-65535";
    return "";
}

// An open that failed: no printer with the serial OpenUSB looked for, or the system's reason.
int OpenFailed(const std::string &port, int reason)
{
    if (!MeansNoPrinter(reason))
        return Fail("cannot open " + port, reason);
    if (port == "6")
        return Fail("cannot open 6: no USB printer is connected");
    const char *serial = WantedSerial(port.c_str());
    std::string line = std::string("no USB printer with serial ") + serial + " is connected";
    // A '#' left in what was looked for: a listing text the library does not take apart.
    if (std::strchr(serial, '#') != nullptr)
        line += " (a listing text opens its printer only when the description has at most " +
                std::to_string(kHashScanLimit - 1) + " characters and no '#': pass the serial alone)";
    return Fail(line);
}

// Opens PORT the way its form says; the library keeps it open until closeport.
bool OpenPort(const std::string &port)
{
    // A single digit is a port number, as openport takes it.
    if (port.size() == 1 && port[0] >= '0' && port[0] <= '9')
        return openport(port.c_str()) == 1;
    // LPT1 and LPT2 are port numbers 0 and 5; every other form (a serial port name, a network
    // printer, a device path, a USB printer's listing text or serial) is OpenUSB's.
    if (ClassifyPortName(port.c_str()) == kPortNameParallel)
        return openport(port == "LPT1" ? "0" : "5") == 1;
    return OpenUSB(port.c_str()) == 1;
}

// Opens PORT and, when baud is set, sets the line to it, since every open sets 9600 bit/s. On
// failure says why and leaves no port open.
bool Open(const std::string &port, int baud)
{
    if (!OpenPort(port)) {
        OpenFailed(port, LastReason());
        return false;
    }
    if (baud > 0 && setbaudrate(baud) == 0) {
        const int reason = LastReason();
        closeport();
        Fail("cannot set " + std::to_string(baud) + " bit/s on " + port, reason);
        return false;
    }
    return true;
}

bool ParseHex(const std::string &text, std::string &bytes)
{
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == ':' || c == ',' || c == '-')
            continue;
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back((char)(high * 16 + v));
            high = -1;
        }
    }
    return high < 0 && !bytes.empty();
}

// Sends bytes with as many writes as it takes: a write the device gave up on midway counts what
// went out, and the rest goes in the next one, so a slow line gets a long file. Ends when all
// went out or a write took nothing at all; gives the count sent, *reason then saying why.
size_t SendAll(const std::string &bytes, int *reason)
{
    const size_t kLargestWrite = 1 << 20;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int n = sendbuf(bytes.data() + sent, (int)std::min(bytes.size() - sent, kLargestWrite));
        if (n <= 0) {
            *reason = LastReason();
            break;
        }
        sent += (size_t)n;
    }
    return sent;
}

// A file's bytes, or standard input's for "-"; false with *problem set when it cannot be read.
bool ReadBytes(const std::string &path, std::string *bytes, std::string *problem)
{
    char buffer[65536];
    if (path == "-") {
        for (long n; (n = ReadInput(buffer, sizeof buffer)) != 0;) {
            if (n < 0) {
                *problem = "cannot read standard input";
                return false;
            }
            bytes->append(buffer, (size_t)n);
        }
        return true;
    }
    FILE *file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        *problem = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        bytes->append(buffer, n);
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        *problem = "cannot read " + path;
    return !failed;
}

// Prints bytes as they arrive: text as it is, CR LF as one line end, other control bytes as \xNN.
void PrintText(const char *bytes, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        const char c = bytes[i];
        const unsigned char u = (unsigned char)c;
        if (c == '\r')
            continue;
        if (c == '\n' || c == '\t' || (u >= 0x20 && u < 0x7f))
            std::putchar(c);
        else
            std::printf("\\x%02X", u);
    }
}

// Prints bytes as hexdump -C does, the first of them at offset: the offset, 16 bytes in hex with
// a gap after the eighth, then the printable ones between bars ('.' for the others).
void PrintHexDump(const char *bytes, size_t count, unsigned long offset)
{
    for (size_t line = 0; line < count; line += 16) {
        const size_t n = std::min<size_t>(16, count - line);
        std::printf("%08lx ", offset + (unsigned long)line);
        for (size_t i = 0; i < 16; i++) {
            if (i == 8)
                std::putchar(' ');
            if (i < n)
                std::printf(" %02x", (unsigned char)bytes[line + i]);
            else
                std::fputs("   ", stdout);
        }
        std::fputs("  |", stdout);
        for (size_t i = 0; i < n; i++) {
            const unsigned char u = (unsigned char)bytes[line + i];
            std::putchar(u >= 0x20 && u < 0x7f ? (char)u : '.');
        }
        std::puts("|");
    }
}

void PrintAnswer(const std::string &answer, bool hex)
{
    if (hex) {
        for (size_t i = 0; i < answer.size(); i++)
            std::printf("%s%02X", i ? " " : "", (unsigned char)answer[i]);
        std::printf("\n");
        return;
    }
    PrintText(answer.data(), answer.size());
    if (answer.empty() || answer.back() != '\n')
        std::putchar('\n');
}

// Reads what the printer sends, handing each piece to show, until it is quiet for one read
// (RcvBuf waits about 450 ms, so this never spins) once it has answered, or boundMs passed, or a
// read failed for good, or Ctrl-C was caught. Gives NORVAT_E_TIMEOUT unless a read failed, then
// that read's reason.
int Collect(unsigned long long boundMs, bool answered,
            const std::function<void(const char *, int)> &show)
{
    const unsigned long long start = NowMs();
    char buffer[257];
    while (NowMs() - start < boundMs && !Interrupted()) {
        const int n = RcvBuf(buffer, 256);
        if (n > 0) {
            show(buffer, n);
            answered = true;
            continue;
        }
        const int reason = LastReason();
        if (reason != NORVAT_E_TIMEOUT)
            return reason;
        if (answered)
            break;
    }
    return NORVAT_E_TIMEOUT;
}

// Why a talking command's arguments will not do: an option's problem, another number of
// arguments than count (need says what the command takes), or a PORT (the first) the library
// would refuse. Empty when they will.
std::string ArgumentProblem(const Arguments &a, size_t count, const std::string &need)
{
    if (!a.problem.empty())
        return a.problem;
    if (a.rest.size() != count)
        return need;
    return PortProblem(a.rest[0]);
}

int Send(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--hex --file --baud ");
    const std::string problem = ArgumentProblem(
        a, a.hex && a.file ? (size_t)-1 : 2,
        "send needs PORT and TEXT, or --hex PORT HEX, or --file PORT FILE");
    if (!problem.empty())
        return Usage(problem);
    const std::string &port = a.rest[0], &payload = a.rest[1];
    std::string bytes, unreadable;
    if (a.hex && !ParseHex(payload, bytes))
        return Usage("HEX must be pairs of hex digits");
    if (a.file && !ReadBytes(payload, &bytes, &unreadable))
        return Fail(unreadable);
    if (!Open(port, a.baud))
        return 1;
    int reason = 0;
    size_t sent;
    if (a.hex || a.file) {
        sent = SendAll(bytes, &reason);
    } else {
        bytes = payload + "\r\n";
        sent = sendcommand(payload.c_str()) == 1 ? bytes.size() : 0;
        reason = LastReason();
    }
    closeport();
    if (sent < bytes.size()) {
        if (a.hex || a.file)
            return Fail(port + " took " + std::to_string(sent) + " of " +
                            std::to_string(bytes.size()) + " bytes",
                        reason);
        return Fail("the device did not take all bytes on " + port, reason);
    }
    std::printf("sent %lu bytes to %s\n", (unsigned long)sent, port.c_str());
    return 0;
}

int Query(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--hex --baud ");
    const std::string problem = ArgumentProblem(a, 2, "query needs PORT and TEXT");
    if (!problem.empty())
        return Usage(problem);
    const std::string &port = a.rest[0];
    if (!Open(port, a.baud))
        return 1;
    if (sendcommand(a.rest[1].c_str()) != 1) {
        const int reason = LastReason();
        closeport();
        return Fail("the device did not take the command on " + port, reason);
    }
    std::string answer;
    const int reason =
        Collect(kQueryBoundMs, false, [&](const char *bytes, int n) { answer.append(bytes, (size_t)n); });
    closeport();
    if (!answer.empty())
        PrintAnswer(answer, a.hex);
    if (reason != NORVAT_E_TIMEOUT)
        return Fail("cannot read from " + port, reason);
    return answer.empty() ? Fail("no answer from " + port, reason) : 0;
}

// What standard input has brought and the monitor has not taken yet. Made once and never freed:
// its thread may still wait in a read when the program ends.
struct Input {
    std::mutex lock;
    std::string pending;
    bool ended = false; // standard input ended or failed
};
Input &input = *new Input;

void ReadInputUntilItEnds()
{
    char buffer[4096];
    for (;;) {
        const long n = ReadInput(buffer, sizeof buffer);
        std::lock_guard<std::mutex> hold(input.lock);
        if (n <= 0) {
            input.ended = true;
            return;
        }
        input.pending.append(buffer, (size_t)n);
    }
}

// Sends one line typed at the monitor: as a command with CR LF, or with --hex its bytes. A line
// that is not hex is skipped with a word; false when the device did not take it.
bool SendLine(const std::string &port, const std::string &line, bool hex)
{
    if (!hex) {
        if (sendcommand(line.c_str()) == 1)
            return true;
        Fail("the device did not take the line on " + port, LastReason());
        return false;
    }
    std::string bytes;
    if (!ParseHex(line, bytes)) {
        if (line.find_first_not_of(" \t") != std::string::npos)
            std::fprintf(stderr, "norvat: not sent, not pairs of hex digits: %s\n", line.c_str());
        return true;
    }
    int reason = 0;
    const size_t sent = SendAll(bytes, &reason);
    if (sent == bytes.size())
        return true;
    Fail(port + " took " + std::to_string(sent) + " of " + std::to_string(bytes.size()) + " bytes",
         reason);
    return false;
}

// A live terminal on PORT: standard input is read on a thread of its own, and this one sends
// each line as it comes and prints what the printer sends between its reads.
int Monitor(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--hex --baud ");
    const std::string problem = ArgumentProblem(a, 1, "monitor needs PORT");
    if (!problem.empty())
        return Usage(problem);
    const std::string &port = a.rest[0];
    if (!Open(port, a.baud))
        return 1;
    CatchInterrupt();
    std::thread(ReadInputUntilItEnds).detach();
    std::fprintf(stderr, "--- norvat monitor on %s: lines go out %s; end of input or Ctrl-C ends ---\n",
                 port.c_str(), a.hex ? "as hex bytes" : "with CR LF");

    unsigned long received = 0;
    const auto show = [&](const char *bytes, int n) {
        if (a.hex)
            PrintHexDump(bytes, (size_t)n, received);
        else
            PrintText(bytes, (size_t)n);
        received += (unsigned long)n;
        std::fflush(stdout);
    };
    std::string typed;
    bool answered = true; // nothing sent yet is waiting for its answer
    int status = 0;
    while (status == 0 && !Interrupted()) {
        bool ended;
        {
            std::lock_guard<std::mutex> hold(input.lock);
            typed += input.pending;
            input.pending.clear();
            ended = input.ended;
        }
        // Every whole line, and at the end of input what is left of the last one.
        for (size_t end; status == 0 && (end = typed.find('\n')) != std::string::npos;
             typed.erase(0, end + 1)) {
            std::string line = typed.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back(); // a console's line end
            status = SendLine(port, line, a.hex) ? 0 : 1;
            answered = false;
        }
        if (status == 0 && ended && !typed.empty()) {
            status = SendLine(port, typed, a.hex) ? 0 : 1;
            typed.clear();
            answered = false;
        }
        if (status != 0)
            break;
        if (ended) {
            const int reason = Collect(kLastAnswerBoundMs, answered, show);
            if (reason != NORVAT_E_TIMEOUT)
                status = Fail("cannot read from " + port, reason);
            break;
        }
        char buffer[257];
        const int n = RcvBuf(buffer, 256); // waits about 450 ms for bytes
        if (n > 0) {
            show(buffer, n);
            answered = true;
        } else if (LastReason() != NORVAT_E_TIMEOUT) {
            status = Fail("cannot read from " + port, LastReason());
        }
    }
    closeport();
    std::fprintf(stderr, "--- closed %s ---\n", port.c_str());
    return status;
}

int Baud(int argc, char **argv)
{
    if (argc != 2)
        return Usage("baud needs PORT and RATE");
    int rate = 0;
    if (!ParseRate(argv[1], &rate))
        return Usage("RATE must be a positive number of bits per second");
    const std::string problem = PortProblem(argv[0]);
    if (!problem.empty())
        return Usage(problem);
    if (!Open(argv[0], rate))
        return 1;
    closeport();
    return 0;
}

int List()
{
    char text[NORVAT_LISTING_BUFFER_SIZE];
    for (int found = FindFirstUSB(text); found == 1; found = FindNextUSB(text))
        std::printf("%s\n", text);
    return 0;
}

// Which port is my printer on: every serial and parallel port, then the USB printers, one a
// line as "KIND  PORT", PORT being what the other commands take.
int Ports()
{
    const std::vector<SystemPort> ports = SystemPorts();
    int width = 0;
    for (const SystemPort &port : ports)
        width = std::max(width, (int)port.name.size());
    for (const SystemPort &port : ports) {
        if (port.detail.empty())
            std::printf("%-9s %s\n", port.kind.c_str(), port.name.c_str());
        else
            std::printf("%-9s %-*s  (%s)\n", port.kind.c_str(), width, port.name.c_str(),
                        port.detail.c_str());
    }
    char text[NORVAT_LISTING_BUFFER_SIZE];
    for (int found = FindFirstUSB(text); found == 1; found = FindNextUSB(text))
        std::printf("%-9s %s\n", "usb", text);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help")
        return Usage("");
    if (command == "version") {
        if (argc != 2)
            return Usage("version takes no arguments");
        char version[NORVAT_VERSION_BUFFER_SIZE];
        GetDllVersion(version);
        std::printf("%s\n", version);
        return 0;
    }
    if (command == "list")
        return argc == 2 ? List() : Usage("list takes no arguments");
    if (command == "ports")
        return argc == 2 ? Ports() : Usage("ports takes no arguments");
    if (command == "send")
        return Send(argc - 2, argv + 2);
    if (command == "query")
        return Query(argc - 2, argv + 2);
    if (command == "monitor")
        return Monitor(argc - 2, argv + 2);
    if (command == "baud")
        return Baud(argc - 2, argv + 2);
    return Usage("unknown command: " + command);
}
