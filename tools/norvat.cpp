// norvat: check a printer from the command line, without writing code. Built on the library
// through its public header, as any host would use it. What a PORT text means it takes from the
// library's own rules (port/name.h, usb/link.h, compiled in from the same sources), never from a
// copy; tools/system_<platform>.cpp has the few system calls of its own (clock, error messages,
// the machine's ports).
#include "include/norvat.h"
#include "port/name.h"
#include "tools/system.h"
#include "usb/link.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char kUsage[] =
    "usage: norvat COMMAND [ARGS]\n"
    "\n"
    "  version                  print the library's version text\n"
    "  list                     list the connected USB printers, one \"description#serial\" a line\n"
    "  ports                    list the serial and parallel ports and the USB printers\n"
    "  send PORT TEXT           send TEXT followed by CR LF\n"
    "  send --hex PORT HEX      send raw bytes given in hex (\"1B40\", \"1b 40\")\n"
    "  query [--hex] PORT TEXT  send TEXT with CR LF, then print the answer (as hex with --hex)\n"
    "  baud PORT RATE           set the line speed of a serial port\n"
    "\n"
    "PORT is a serial port name (COM1, COM12), LPT1 or LPT2, a port number 0-9 (0 LPT1,\n"
    "1-4 COM1-COM4, 5 LPT2, 6 the first USB printer, 7-9 COM7-COM9), or a USB printer's\n"
    "listing text or serial.\n"
    "Exit status: 0 on success, 1 when the device did not do it, 2 on bad arguments.\n";

int Usage(const char *problem)
{
    if (problem != nullptr)
        std::fprintf(stderr, "norvat: %s\n\n", problem);
    std::fputs(kUsage, problem != nullptr ? stderr : stdout);
    return problem != nullptr ? 2 : 0;
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

void PrintAnswer(const std::string &answer, bool hex)
{
    if (hex) {
        for (size_t i = 0; i < answer.size(); i++)
            std::printf("%s%02X", i ? " " : "", (unsigned char)answer[i]);
        std::printf("\n");
        return;
    }
    for (char c : answer) {
        const unsigned char u = (unsigned char)c;
        if (c == '\r')
            continue; // CR LF ends a line; print it as one
        if (c == '\n' || c == '\t' || (u >= 0x20 && u < 0x7f))
            std::putchar(c);
        else
            std::printf("\\x%02X", u);
    }
    if (answer.empty() || answer.back() != '\n')
        std::putchar('\n');
}

// Collects the answer: reads until one quiet read follows some data, or about 3 s pass. When
// nothing came, *reason holds why the last read gave nothing.
std::string ReadAnswer(int *reason)
{
    std::string answer;
    const unsigned long long start = NowMs();
    char buffer[257];
    while (NowMs() - start < 3000) {
        const int n = RcvBuf(buffer, 256);
        if (n > 0) {
            answer.append(buffer, (size_t)n);
            continue;
        }
        *reason = LastReason();
        if (!answer.empty())
            break;
    }
    return answer;
}

int Send(int argc, char **argv)
{
    const bool hex = argc > 0 && std::strcmp(argv[0], "--hex") == 0;
    if (argc != (hex ? 3 : 2))
        return Usage("send needs PORT and TEXT (or --hex PORT HEX)");
    const std::string port = argv[hex ? 1 : 0], payload = argv[hex ? 2 : 1];
    std::string bytes;
    if (hex && !ParseHex(payload, bytes))
        return Usage("HEX must be pairs of hex digits");
    if (!OpenPort(port))
        return OpenFailed(port, LastReason());
    const bool sent = hex ? sendbuf(bytes.data(), (int)bytes.size()) == (int)bytes.size()
                          : sendcommand(payload.c_str()) == 1;
    const int reason = LastReason();
    closeport();
    if (!sent)
        return Fail("the device did not take all bytes on " + port, reason);
    std::printf("sent %u bytes to %s\n", (unsigned)(hex ? bytes.size() : payload.size() + 2),
                port.c_str());
    return 0;
}

int Query(int argc, char **argv)
{
    const bool hex = argc > 0 && std::strcmp(argv[0], "--hex") == 0;
    if (argc != (hex ? 3 : 2))
        return Usage("query needs PORT and TEXT");
    const std::string port = argv[hex ? 1 : 0];
    if (!OpenPort(port))
        return OpenFailed(port, LastReason());
    if (sendcommand(argv[hex ? 2 : 1]) != 1) {
        const int reason = LastReason();
        closeport();
        return Fail("the device did not take the command on " + port, reason);
    }
    int reason = 0;
    const std::string answer = ReadAnswer(&reason);
    closeport();
    if (answer.empty())
        return Fail("no answer from " + port, reason);
    PrintAnswer(answer, hex);
    return 0;
}

int Baud(int argc, char **argv)
{
    if (argc != 2)
        return Usage("baud needs PORT and RATE");
    char *end = nullptr;
    const long rate = std::strtol(argv[1], &end, 10);
    if (*argv[1] == '\0' || *end != '\0' || rate <= 0 || rate > 4000000)
        return Usage("RATE must be a positive number of bits per second");
    if (!OpenPort(argv[0]))
        return OpenFailed(argv[0], LastReason());
    const bool set = setbaudrate((int)rate) != 0;
    const int reason = LastReason();
    closeport();
    return set ? 0 : Fail(std::string("cannot set ") + argv[1] + " bit/s on " + argv[0], reason);
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
        return Usage(nullptr);
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
    if (command == "baud")
        return Baud(argc - 2, argv + 2);
    return Usage(("unknown command: " + command).c_str());
}
