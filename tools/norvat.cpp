// norvat: check a printer from the command line, without writing code. Built on the library
// through its public header, as any host would use it: every port is opened by handle
// (norvat_open), so any maker's printer is reached. What a PORT text means is the library's rule;
// the tool only turns the port numbers 0-9 into names, and checks a network address and tells
// LPTn with the library's own parser (port/name.h, compiled in from the same source). `list` and
// `version` keep the ten exports' FindFirstUSB and GetDllVersion. tools/system_<platform>.cpp
// has the few system calls of its own (clock, the platform's messages, standard input, Ctrl-C),
// tools/json.cpp the JSON strings.
#include "include/norvat.h"
#include "port/name.h"
#include "tools/json.h"
#include "tools/system.h"

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

// query reads until the printer has been quiet for one read of the library's (norvat_read waits
// about 450 ms for bytes), at most this long in all.
const unsigned long long kQueryBoundMs = 5000;
// monitor, at the end of its input, waits as long for the answer to the last line.
const unsigned long long kLastAnswerBoundMs = 2000;

// Exit statuses. Every command: 0 done, 1 the device did not do it, 2 bad arguments. status
// tells "not ready" from "could not be asked": 0 ready, 1 could not be asked, 2 not ready, and
// so bad arguments give 64 (EX_USAGE) there.
enum {
    kExitDone = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNotReady = 2,
    kExitStatusUsage = 64,
};

const char kUsage[] =
    "usage: norvat COMMAND [OPTIONS] ARGS\n"
    "\n"
    "  version                 print the library's version text\n"
    "                            norvat version\n"
    "  ports [--json]          list every port and every maker's USB printer: kind, name (what\n"
    "                          to pass as PORT) and description, and for a printer its maker,\n"
    "                          model, command set, serial and USB ids; with --json as one JSON\n"
    "                          array of objects holding every field of the listing\n"
    "                            norvat ports --json\n"
    "  list                    list the USB printers as the ten exports list them (FindFirstUSB:\n"
    "                          only the printers their filters pass), one \"description#serial\"\n"
    "                          a line\n"
    "                            norvat list\n"
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
    "  status [--escpos] [--json] [--timeout MS] PORT\n"
    "                          the printer's state without printing: each flag the port reports\n"
    "                          (paper, online, error, modem lines, ...), what it cannot tell as\n"
    "                          unknown; with --escpos also asks an ESC/POS printer (DLE EOT) for\n"
    "                          cover, paper low, drawer, cutter, waiting up to MS ms (default\n"
    "                          1000); with --json one JSON object\n"
    "                            norvat status --escpos RCP7731\n"
    "\n"
    "  --baud RATE             with send, query and monitor: set a serial line to RATE bit/s\n"
    "                          after opening it, before talking (fails on any other port)\n"
    "                            norvat query --baud 19200 COM3 \"~HS\"\n"
    "\n"
    "PORT is a serial port name (COM1, COM12), LPT1-LPT9, a port number 0-9 (0 LPT1, 1-4\n"
    "COM1-COM4, 5 LPT2, 6 the first USB printer that ports lists, 7-9 COM7-COM9), a network\n"
    "printer tcp://HOST[:PORT] (raw TCP, port 9100 when left out, e.g. tcp://192.168.1.50,\n"
    "tcp://[fe80::1]:9100), any maker's USB printer by the name ports gives it, its serial or\n"
    "\"description#serial\", or on Linux a device path such as /dev/ttyUSB0. include/norvat.h\n"
    "(norvat_open, norvat_status) says what each form and each flag means.\n"
    "Options may stand anywhere after the command; \"--\" ends them.\n"
    "Exit status: 0 on success, 1 when the device did not do it, 2 on bad arguments;\n"
    "status: 0 ready, 1 the printer could not be asked, 2 not ready, 64 on bad arguments.\n";

int Usage(const std::string &problem, int status = kExitUsage)
{
    if (!problem.empty())
        std::fprintf(stderr, "norvat: %s\n\n", problem.c_str());
    std::fputs(kUsage, problem.empty() ? stdout : stderr);
    return problem.empty() ? kExitDone : status;
}

int Fail(const std::string &reason)
{
    std::fprintf(stderr, "norvat: %s\n", reason.c_str());
    return kExitFailed;
}

// A failed call of the library: its result, and the platform's code it left, read right after.
struct Failure {
    int result = 0;
    int reason = 0;
};

Failure Failed(int result)
{
    return {result, LastReason()};
}

// What was tried, then the library's words for the result and the platform's for its code;
// for a refused port, what to do about it. Gives exit status 1.
int Fail(const std::string &what, const Failure &failure)
{
    std::string line = what + ": " + norvat_error_text(failure.result);
    const std::string platform = ReasonText(failure.reason);
    if (!platform.empty())
        line += " (" + platform + ")";
    Fail(line);
    if (failure.result == NORVAT_ERR_ACCESS)
        Fail(AccessAdvice());
    return kExitFailed;
}

// A command's arguments with its options taken out.
struct Arguments {
    bool hex = false, file = false, json = false, escpos = false;
    int baud = 0;     // 0: the line keeps the speed the open set
    int timeout = -1; // --timeout MS; -1: the library's own
    std::vector<std::string> rest;
    std::string problem; // why they are not usable; empty when they are
};

// A whole decimal number from min to INT_MAX.
bool ParseNumber(const char *text, long min, int *number)
{
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (*text < '0' || *text > '9' || *end != '\0' || errno != 0 || value < min || value > INT_MAX)
        return false;
    *number = (int)value;
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
        } else if (arg == "--hex" || arg == "--file" || arg == "--json" || arg == "--escpos") {
            (arg == "--hex" ? a.hex : arg == "--file" ? a.file : arg == "--json" ? a.json : a.escpos) = true;
        } else if (arg == "--baud") {
            if (i + 1 >= argc || !ParseNumber(argv[++i], 1, &a.baud))
                a.problem = "--baud needs RATE, a positive number of bits per second";
        } else if (i + 1 >= argc || !ParseNumber(argv[++i], 0, &a.timeout)) {
            a.problem = "--timeout needs MS, a number of milliseconds";
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

// The listing's texts: every entry's fields by NORVAT_FIELD_*. Empty after saying why when the
// listing failed.
using Listing = std::vector<std::vector<std::string>>;
const int kFields = NORVAT_FIELD_DEVICE_ID + 1;

bool ListPorts(Listing *listing)
{
    norvat_port_list *list = nullptr;
    const int count = norvat_list_ports(&list);
    if (count < 0) {
        Fail("cannot list the ports", Failed(count));
        return false;
    }
    for (int i = 0; i < count; i++) {
        listing->emplace_back();
        for (int field = 0; field < kFields; field++) {
            const char *text = norvat_port_list_get(list, i, field);
            listing->back().push_back(text != nullptr ? text : "");
        }
    }
    norvat_free_port_list(list);
    return true;
}

// The name norvat_open takes for PORT. A port number stands for the port openport opens by that
// number: 0 LPT1, 1-4 COM1-COM4, 5 LPT2, 6 the first USB printer of the listing (any maker's),
// 7-9 COM7-COM9. False after saying why when there is no such printer.
bool NameOf(const std::string &port, std::string *name)
{
    *name = port;
    if (port.size() != 1 || port[0] < '0' || port[0] > '9')
        return true;
    static const char *const kNumbered[] = {"LPT1", "COM1", "COM2", "COM3", "COM4",
                                            "LPT2", "",     "COM7", "COM8", "COM9"};
    *name = kNumbered[port[0] - '0'];
    if (!name->empty())
        return true;
    Listing listing;
    if (!ListPorts(&listing))
        return false;
    for (const auto &entry : listing) {
        if (entry[NORVAT_FIELD_KIND] == "usb") {
            *name = entry[NORVAT_FIELD_NAME];
            return true;
        }
    }
    const std::string why = UsbPrintersProblem();
    Fail("cannot open 6: no USB printer is connected" + (why.empty() ? "" : " (" + why + ")"));
    return false;
}

// Opens PORT and, when baud is set, sets the line to it, since every open sets 9600 bit/s; the
// name it opened goes to *opened. nullptr after saying why; then no port is open.
norvat_port *Open(const std::string &port, int baud, std::string *opened = nullptr)
{
    std::string name;
    if (!NameOf(port, &name))
        return nullptr;
    if (opened != nullptr)
        *opened = name;
    norvat_port *handle = nullptr;
    const Failure open = Failed(norvat_open(name.c_str(), &handle));
    if (open.result != 0) {
        Fail("cannot open " + port, open);
        // A USB printer on a Linux that cannot look for one.
        const std::string why = open.result == NORVAT_ERR_UNSUPPORTED ? UsbPrintersProblem() : "";
        if (!why.empty())
            Fail(why);
        return nullptr;
    }
    if (baud > 0) {
        const Failure set = Failed(norvat_set_baud_rate(handle, baud));
        if (set.result != 0) {
            norvat_close(handle);
            Fail("cannot set " + std::to_string(baud) + " bit/s on " + port, set);
            return nullptr;
        }
    }
    return handle;
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

// Sends bytes with as many writes as it takes, each within the library's own bounds: a write the
// device gave up on midway counts what went out, and the rest goes in the next one, so a slow
// line gets a long file. Ends when all went out or a write took nothing at all; gives the count
// sent, *failure then saying why.
size_t SendAll(norvat_port *port, const std::string &bytes, Failure *failure)
{
    const size_t kLargestWrite = 1 << 20;
    size_t sent = 0;
    while (sent < bytes.size()) {
        const int count = (int)std::min(bytes.size() - sent, kLargestWrite);
        const int n = norvat_write(port, bytes.data() + sent, count, NORVAT_TIMEOUT_DEFAULT);
        if (n <= 0) {
            *failure = Failed(n < 0 ? n : NORVAT_ERR_TIMEOUT);
            break;
        }
        sent += (size_t)n;
    }
    return sent;
}

// Sends all bytes, or says how many went out and why no more did. False when not all went.
bool Send(norvat_port *port, const std::string &name, const std::string &bytes)
{
    Failure failure;
    const size_t sent = SendAll(port, bytes, &failure);
    if (sent == bytes.size())
        return true;
    Fail(name + " took " + std::to_string(sent) + " of " + std::to_string(bytes.size()) + " bytes",
         failure);
    return false;
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

// Text as it is, CR LF as one line end, other control bytes (and with escapeHigh the bytes
// from 0x7F up, which a printer's answer may hold in any code page) as \xNN.
std::string Printable(const char *bytes, size_t count, bool escapeHigh)
{
    std::string text;
    for (size_t i = 0; i < count; i++) {
        const char c = bytes[i];
        const unsigned char u = (unsigned char)c;
        if (c == '\r')
            continue;
        if (c == '\n' || c == '\t' || (u >= 0x20 && u != 0x7F && (u < 0x80 || !escapeHigh))) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            text += escaped;
        }
    }
    return text;
}

void PrintText(const char *bytes, size_t count)
{
    std::fputs(Printable(bytes, count, true).c_str(), stdout);
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
// (norvat_read waits about 450 ms, so this never spins) once it has answered, or boundMs passed,
// or a read failed, or Ctrl-C was caught. The failure of the read that failed; result 0 when
// none did.
Failure Collect(norvat_port *port, unsigned long long boundMs, bool answered,
                const std::function<void(const char *, int)> &show)
{
    const unsigned long long start = NowMs();
    char buffer[256];
    while (NowMs() - start < boundMs && !Interrupted()) {
        const int n = norvat_read(port, buffer, sizeof buffer, NORVAT_TIMEOUT_DEFAULT);
        if (n < 0)
            return Failed(n);
        if (n > 0) {
            show(buffer, n);
            answered = true;
        } else if (answered) {
            break;
        }
    }
    return Failure();
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
    const std::string &name = a.rest[0], &payload = a.rest[1];
    std::string bytes, unreadable;
    if (a.hex && !ParseHex(payload, bytes))
        return Usage("HEX must be pairs of hex digits");
    if (a.file && !ReadBytes(payload, &bytes, &unreadable))
        return Fail(unreadable);
    if (!a.hex && !a.file)
        bytes = payload + "\r\n";
    norvat_port *port = Open(name, a.baud);
    if (port == nullptr)
        return kExitFailed;
    const bool sent = Send(port, name, bytes);
    norvat_close(port);
    if (!sent)
        return kExitFailed;
    std::printf("sent %lu bytes to %s\n", (unsigned long)bytes.size(), name.c_str());
    return kExitDone;
}

int Query(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--hex --baud ");
    const std::string problem = ArgumentProblem(a, 2, "query needs PORT and TEXT");
    if (!problem.empty())
        return Usage(problem);
    const std::string &name = a.rest[0];
    norvat_port *port = Open(name, a.baud);
    if (port == nullptr)
        return kExitFailed;
    if (!Send(port, name, a.rest[1] + "\r\n")) {
        norvat_close(port);
        return kExitFailed;
    }
    std::string answer;
    const Failure read = Collect(port, kQueryBoundMs, false,
                                 [&](const char *bytes, int n) { answer.append(bytes, (size_t)n); });
    norvat_close(port);
    if (!answer.empty())
        PrintAnswer(answer, a.hex);
    if (read.result != 0)
        return Fail("cannot read from " + name, read);
    return answer.empty() ? Fail("no answer from " + name + " within " +
                                 std::to_string(kQueryBoundMs / 1000) + " s")
                          : kExitDone;
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

// Sends one line typed at the monitor: with CR LF, or with --hex its bytes. A line that is not
// hex is skipped with a word; false when the device did not take it.
bool SendLine(norvat_port *port, const std::string &name, const std::string &line, bool hex)
{
    if (!hex)
        return Send(port, name, line + "\r\n");
    std::string bytes;
    if (!ParseHex(line, bytes)) {
        if (line.find_first_not_of(" \t") != std::string::npos)
            std::fprintf(stderr, "norvat: not sent, not pairs of hex digits: %s\n", line.c_str());
        return true;
    }
    return Send(port, name, bytes);
}

// A live terminal on PORT: standard input is read on a thread of its own, and this one sends
// each line as it comes and prints what the printer sends between its reads.
int Monitor(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--hex --baud ");
    const std::string problem = ArgumentProblem(a, 1, "monitor needs PORT");
    if (!problem.empty())
        return Usage(problem);
    const std::string &name = a.rest[0];
    norvat_port *port = Open(name, a.baud);
    if (port == nullptr)
        return kExitFailed;
    CatchInterrupt();
    std::thread(ReadInputUntilItEnds).detach();
    std::fprintf(stderr, "--- norvat monitor on %s: lines go out %s; end of input or Ctrl-C ends ---\n",
                 name.c_str(), a.hex ? "as hex bytes" : "with CR LF");

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
    int status = kExitDone;
    while (status == kExitDone && !Interrupted()) {
        bool ended;
        {
            std::lock_guard<std::mutex> hold(input.lock);
            typed += input.pending;
            input.pending.clear();
            ended = input.ended;
        }
        // Every whole line, and at the end of input what is left of the last one.
        for (size_t end; status == kExitDone && (end = typed.find('\n')) != std::string::npos;
             typed.erase(0, end + 1)) {
            std::string line = typed.substr(0, end);
            if (!line.empty() && line.back() == '\r')
                line.pop_back(); // a console's line end
            status = SendLine(port, name, line, a.hex) ? kExitDone : kExitFailed;
            answered = false;
        }
        if (status == kExitDone && ended && !typed.empty()) {
            status = SendLine(port, name, typed, a.hex) ? kExitDone : kExitFailed;
            typed.clear();
            answered = false;
        }
        if (status != kExitDone)
            break;
        if (ended) {
            const Failure read = Collect(port, kLastAnswerBoundMs, answered, show);
            if (read.result != 0)
                status = Fail("cannot read from " + name, read);
            break;
        }
        char buffer[256];
        const int n = norvat_read(port, buffer, sizeof buffer, NORVAT_TIMEOUT_DEFAULT); // ~450 ms
        if (n > 0) {
            show(buffer, n);
            answered = true;
        } else if (n < 0) {
            status = Fail("cannot read from " + name, Failed(n));
        }
    }
    norvat_close(port);
    std::fprintf(stderr, "--- closed %s ---\n", name.c_str());
    return status;
}

int Baud(int argc, char **argv)
{
    if (argc != 2)
        return Usage("baud needs PORT and RATE");
    int rate = 0;
    if (!ParseNumber(argv[1], 1, &rate))
        return Usage("RATE must be a positive number of bits per second");
    const std::string problem = PortProblem(argv[0]);
    if (!problem.empty())
        return Usage(problem);
    norvat_port *port = Open(argv[0], rate);
    if (port == nullptr)
        return kExitFailed;
    norvat_close(port);
    return kExitDone;
}

// The USB printers as the ten exports list them: what a host built on them sees.
int List()
{
    char text[NORVAT_LISTING_BUFFER_SIZE];
    for (int found = FindFirstUSB(text); found == 1; found = FindNextUSB(text))
        std::printf("%s\n", text);
    return kExitDone;
}

// The JSON name of each field of the listing, by NORVAT_FIELD_*.
const char *const kFieldKeys[kFields] = {"name",         "kind",       "description", "serial",
                                         "vendor_id",    "product_id", "manufacturer", "model",
                                         "command_set",  "device_id"};

void PrintPortsJson(const Listing &listing)
{
    std::printf("[");
    for (size_t i = 0; i < listing.size(); i++) {
        std::printf("%s\n  {", i ? "," : "");
        for (int field = 0; field < kFields; field++)
            std::printf("%s\"%s\": %s", field ? ", " : "", kFieldKeys[field],
                        JsonString(listing[i][field]).c_str());
        std::printf("}");
    }
    std::printf("%s]\n", listing.empty() ? "" : "\n");
}

// One line a port, "KIND  NAME  DESCRIPTION"; under a printer a second line with what it said of
// itself.
void PrintPorts(const Listing &listing)
{
    size_t width = 0;
    for (const auto &entry : listing)
        if (entry[NORVAT_FIELD_KIND] != "usb")
            width = std::max(width, entry[NORVAT_FIELD_NAME].size());
    const auto shown = [](const std::string &text) { return Printable(text.data(), text.size(), false); };
    for (const auto &entry : listing) {
        std::string line = entry[NORVAT_FIELD_KIND];
        line.resize(std::max<size_t>(line.size() + 1, 10), ' ');
        line += shown(entry[NORVAT_FIELD_NAME]);
        if (!entry[NORVAT_FIELD_DESCRIPTION].empty()) {
            line.resize(std::max(line.size(), 10 + width), ' ');
            line += "  " + shown(entry[NORVAT_FIELD_DESCRIPTION]);
        }
        std::printf("%s\n", line.c_str());
        if (entry[NORVAT_FIELD_KIND] != "usb")
            continue;
        const struct {
            int field;
            const char *label;
        } details[] = {{NORVAT_FIELD_MANUFACTURER, "maker"},
                       {NORVAT_FIELD_MODEL, "model"},
                       {NORVAT_FIELD_COMMAND_SET, "command set"},
                       {NORVAT_FIELD_SERIAL, "serial"}};
        std::string about;
        for (const auto &d : details)
            if (!entry[d.field].empty())
                about += std::string(about.empty() ? "" : ", ") + d.label + " " + shown(entry[d.field]);
        if (!entry[NORVAT_FIELD_VENDOR_ID].empty())
            about += std::string(about.empty() ? "" : ", ") + "USB " + entry[NORVAT_FIELD_VENDOR_ID] +
                     ":" + entry[NORVAT_FIELD_PRODUCT_ID];
        std::printf("          %s\n", about.c_str());
    }
}

// Which port is my printer on: every port and every maker's printer the library lists.
int Ports(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--json ");
    if (!a.problem.empty() || !a.rest.empty())
        return Usage(a.problem.empty() ? "ports takes no arguments but --json" : a.problem);
    Listing listing;
    if (!ListPorts(&listing))
        return kExitFailed;
    if (a.json)
        PrintPortsJson(listing);
    else
        PrintPorts(listing);
    const std::string why = UsbPrintersProblem();
    if (!why.empty())
        Fail(why);
    return kExitDone;
}

// The flags of a port's state (NORVAT_STATE_*; include/norvat.h says what each means): its JSON
// name, its label and the words for set and clear.
struct Flag {
    unsigned bit;
    const char *key, *label, *set, *clear;
};
const Flag kStateFlags[] = {
    {NORVAT_STATE_PAPER_OUT, "paper_out", "paper", "out", "ok"},
    {NORVAT_STATE_OFFLINE, "offline", "printer", "offline", "online"},
    {NORVAT_STATE_ERROR, "error", "error", "yes", "no"},
    {NORVAT_STATE_COVER_OPEN, "cover_open", "cover", "open", "closed"},
    {NORVAT_STATE_PAPER_LOW, "paper_low", "paper low", "yes", "no"},
    {NORVAT_STATE_FEED_BUTTON, "feed_button", "feed button", "feeding", "no"},
    {NORVAT_STATE_DRAWER_OPEN, "drawer_open", "drawer", "open", "closed"},
    {NORVAT_STATE_CUTTER_ERROR, "cutter_error", "cutter error", "yes", "no"},
    {NORVAT_STATE_UNRECOVERABLE, "unrecoverable", "unrecoverable error", "yes", "no"},
    {NORVAT_STATE_DSR, "dsr", "DSR", "on", "off"},
    {NORVAT_STATE_CTS, "cts", "CTS", "on", "off"},
    {NORVAT_STATE_DCD, "dcd", "DCD", "on", "off"},
    {NORVAT_STATE_DISCONNECTED, "disconnected", "connection", "closed by the printer", "open"},
};

// The bits each DLE EOT request tells, in the order norvat_escpos_status sends them (1, 2, 4, 3),
// as include/norvat.h gives them: its answer count says which were answered.
const unsigned kEscPosTells[] = {
    NORVAT_STATE_OFFLINE | NORVAT_STATE_DRAWER_OPEN,
    NORVAT_STATE_COVER_OPEN | NORVAT_STATE_FEED_BUTTON | NORVAT_STATE_PAPER_OUT | NORVAT_STATE_ERROR,
    NORVAT_STATE_PAPER_LOW | NORVAT_STATE_PAPER_OUT,
    NORVAT_STATE_CUTTER_ERROR | NORVAT_STATE_UNRECOVERABLE | NORVAT_STATE_ERROR,
};

// What status learned of a port.
struct State {
    std::string port, kind; // kind "" when the device was gone
    unsigned bits = 0, known = 0;
    bool gone = false;
    int pending = -1; // a network printer's unacknowledged bytes; -1 for other ports
    int escpos = -1;  // DLE EOT requests answered; -1 when not asked
    // Whether the port told anything of its readiness: "not known" is never read as "ready".
    bool Known() const { return gone || (known & NORVAT_STATE_NOT_READY) != 0; }
    bool Ready() const { return Known() && !gone && (bits & known & NORVAT_STATE_NOT_READY) == 0; }
};

// The kind of port, from what norvat_status can tell of it (the modem lines of a serial line,
// the connection of a network printer) and else from the name: LPTn, or the listing's entry of
// that name or serial (a driver that does not answer the status request tells nothing).
std::string KindOf(const std::string &name, unsigned known)
{
    if (known & NORVAT_STATE_DISCONNECTED)
        return "network";
    if (known & (NORVAT_STATE_DSR | NORVAT_STATE_CTS | NORVAT_STATE_DCD))
        return "serial";
    if (ClassifyPortName(name.c_str()) == kPortNameParallel)
        return "parallel";
    const std::string serial = name.substr(name.find_last_of('#') + 1);
    Listing listing;
    if (ListPorts(&listing))
        for (const auto &entry : listing)
            if (entry[NORVAT_FIELD_NAME] == name ||
                (!serial.empty() && entry[NORVAT_FIELD_SERIAL] == serial))
                return entry[NORVAT_FIELD_KIND];
    return (known & NORVAT_STATE_PAPER_OUT) ? "usb" : "other";
}

void PrintState(const State &s, bool json)
{
    const auto value = [&](const Flag &f, bool words) -> std::string {
        if ((s.known & f.bit) == 0)
            return words ? "unknown" : "null";
        const bool set = (s.bits & f.bit) != 0;
        return words ? (set ? f.set : f.clear) : (set ? "true" : "false");
    };
    const auto number = [](int n) { return n < 0 ? std::string("null") : std::to_string(n); };
    if (json) {
        std::printf("{\"port\": %s, \"kind\": %s, \"ready\": %s, \"gone\": %s",
                    JsonString(s.port).c_str(), s.kind.empty() ? "null" : JsonString(s.kind).c_str(),
                    !s.Known() ? "null" : s.Ready() ? "true" : "false", s.gone ? "true" : "false");
        for (const Flag &f : kStateFlags)
            std::printf(", \"%s\": %s", f.key, value(f, false).c_str());
        std::printf(", \"pending\": %s, \"escpos_answered\": %s}\n", number(s.pending).c_str(),
                    number(s.escpos).c_str());
        return;
    }
    const auto line = [](const std::string &label, const std::string &text) {
        std::printf("%-21s%s\n", (label + ":").c_str(), text.c_str());
    };
    line("port", Printable(s.port.data(), s.port.size(), false) + (s.kind.empty() ? "" : " (" + s.kind + ")"));
    if (s.gone)
        line("device", "gone");
    for (const Flag &f : kStateFlags)
        line(f.label, value(f, true));
    if (s.pending >= 0)
        line("pending", std::to_string(s.pending) + " bytes not acknowledged");
    if (s.escpos >= 0)
        line("escpos", s.escpos == 0 ? "no answer" : std::to_string(s.escpos) + " of 4 requests answered");
    line("ready", !s.Known() ? "unknown (the port tells nothing of it; try --escpos)"
                  : s.Ready() ? "yes" : "no");
}

// The printer's state, without printing: exit 0 ready, 2 not ready, 1 when it could not be
// asked, 64 on bad arguments.
int Status(int argc, char **argv)
{
    const Arguments a = ParseArguments(argc, argv, "--escpos --json --timeout ");
    std::string problem = ArgumentProblem(a, 1, "status needs PORT");
    if (problem.empty() && a.timeout >= 0 && !a.escpos)
        problem = "--timeout is how long --escpos waits: give both";
    if (!problem.empty())
        return Usage(problem, kExitStatusUsage);
    State s;
    s.port = a.rest[0];
    std::string name;
    norvat_port *port = Open(s.port, 0, &name);
    if (port == nullptr)
        return kExitFailed;
    int exit = kExitDone;
    const Failure status = Failed(norvat_status(port, &s.bits, &s.known));
    if (status.result == NORVAT_ERR_GONE) {
        s.gone = true;
    } else if (status.result != 0) {
        norvat_close(port);
        return Fail("cannot ask " + s.port + " for its state", status);
    } else {
        s.kind = KindOf(name, s.known);
        if (s.kind == "network")
            s.pending = std::max(norvat_pending(port), 0);
    }
    if (a.escpos && !s.gone) {
        unsigned bits = 0;
        const Failure asked = Failed(norvat_escpos_status(port, a.timeout, &bits));
        s.escpos = std::max(asked.result, 0);
        for (int i = 0; i < s.escpos && i < 4; i++)
            s.known |= kEscPosTells[i];
        s.bits |= bits;
        if (asked.result == NORVAT_ERR_GONE) {
            s.gone = true;
        } else if (asked.result < 0) {
            // Readiness then stands on the port's own flags: not ready when they say so, else
            // not known.
            Fail("no ESC/POS status from " + s.port, asked);
            exit = kExitFailed;
        }
    }
    norvat_close(port);
    PrintState(s, a.json);
    if (!s.Known())
        return kExitFailed;
    return s.Ready() ? exit : kExitNotReady;
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
        return kExitDone;
    }
    if (command == "list")
        return argc == 2 ? List() : Usage("list takes no arguments");
    if (command == "ports")
        return Ports(argc - 2, argv + 2);
    if (command == "send")
        return Send(argc - 2, argv + 2);
    if (command == "query")
        return Query(argc - 2, argv + 2);
    if (command == "monitor")
        return Monitor(argc - 2, argv + 2);
    if (command == "baud")
        return Baud(argc - 2, argv + 2);
    if (command == "status")
        return Status(argc - 2, argv + 2);
    return Usage("unknown command: " + command);
}
