// The norvat tool's cases that both platforms share, built into each harness: the harness says
// how to run the tool and reach its devices, the cases are the same.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/shared/exports.h"
#include "tests/shared/loopback_printer.h"

struct ToolRun {
    unsigned long status = 99;
    std::string out, err; // standard output and error, line ends as LF
};

struct ToolBed {
    // Runs the tool with arguments ("..." quotes a word on both platforms), input on its
    // standard input.
    std::function<ToolRun(const std::string &arguments, const std::string &input)> run;
    std::function<std::string(const std::string &)> shell; // a Linux command's output
    std::function<std::string(const std::string &name, const std::string &bytes)> file; // its path
    std::function<int()> reason;                // the library's reason, right after a call
    std::function<std::string(int)> reasonText; // the system's words for a reason
};

// Output, then error, then the exit status, as a shell shows a run.
inline std::string Seen(const ToolRun &run)
{
    return run.out + run.err + "[exit " + std::to_string(run.status) + "]\n";
}

// send --file: all 256 byte values arrive as they are, from a file and from standard input.
inline void CheckSendFileDeliversEveryByte(const ToolBed &bed, const std::string &port,
                                           const std::function<std::string(size_t)> &device)
{
    std::string every(256, '\0');
    for (int i = 0; i < 256; i++)
        every[(size_t)i] = (char)i;
    for (const auto &from : {std::make_pair(bed.file("every.bin", every), std::string()),
                             std::make_pair(std::string("-"), every)}) {
        EXPECT_EQ(Seen(bed.run("send --file " + port + " " + from.first, from.second)),
                  "sent 256 bytes to " + port + "\n[exit 0]\n");
        EXPECT_EQ(device(257), every) << from.first;
    }
}

// monitor driven by a script: every line goes out with CR LF (the last one without its line end
// too) and every answer shows; with --hex a line is bytes (one that is not hex stays unsent) and
// answers show as hexdump -C shows them. The printer at port answers "<name>:<line>".
inline void CheckMonitorScript(const ToolBed &bed, const std::string &port, const std::string &name,
                               const std::function<std::string()> &received)
{
    EXPECT_EQ(Seen(bed.run("monitor \"" + port + "\"", "~HS\r\nSECOND\nLAST")),
              name + ":~HS\n" + name + ":SECOND\n" + name + ":LAST\n--- norvat monitor on " + port +
                  ": lines go out with CR LF; end of input or Ctrl-C ends ---\n--- closed " + port +
                  " ---\n[exit 0]\n");
    EXPECT_EQ(bed.run("monitor --hex \"" + port + "\"", "nonsense\n7e48532d 4c4f4e474552 0d0a\n").out,
              bed.shell("printf '" + name + ":~HS-LONGER\\r\\n' | hexdump -C | head -n 2"));
    EXPECT_EQ(received(), "~HS\r\nSECOND\r\nLAST\r\n~HS-LONGER\r\n");
}

// Listing texts as the tool lists them open in the tool exactly where OpenUSB opens them, a
// description of 42 characters included. plug connects a printer answering "<serial>:<line>".
inline void CheckListingTextsOpenWhereOpenUSBOpens(
    NorvatExports &lib, const ToolBed &bed,
    const std::function<void(const std::string &serial, const std::string &description)> &plug)
{
    const std::string fits(41, 'F'), over(42, 'O');
    plug("FITS", fits);
    plug("OVER", over);
    const std::string list = bed.run("list", "").out;
    const struct {
        std::string text, seen;
    } cases[] = {
        {fits + "#FITS", "FITS:~HS\n[exit 0]\n"},
        {over + "#OVER", "norvat: no USB printer with serial " + over + "#OVER is connected (a listing "
                         "text opens its printer only when the description has at most 41 characters "
                         "and no '#': pass the serial alone)\n[exit 1]\n"},
    };
    for (const auto &c : cases) {
        EXPECT_NE(list.find(c.text + "\n"), std::string::npos) << list;
        const ToolRun run = bed.run("query \"" + c.text + "\" \"~HS\"", "");
        EXPECT_EQ(Seen(run), c.seen);
        EXPECT_EQ(lib.OpenUSB(c.text.c_str()), run.status == 0 ? 1 : 0) << c.text;
    }
}

// A network printer: the tool talks to it, and says in the system's words why one cannot be
// reached (the reasons are the library's, taken here from its own calls).
inline void CheckToolReachesANetworkPrinter(NorvatExports &lib, const ToolBed &bed)
{
    LoopbackPrinter printer;
    std::string refused;
    {
        LoopbackPrinter gone;
        refused = gone.Address();
    }
    const std::string unknown = "tcp://no-such-printer.invalid", at = printer.Address();
    EXPECT_EQ(lib.OpenUSB(refused.c_str()), 0);
    const int refusedReason = bed.reason();
    EXPECT_EQ(lib.OpenUSB(unknown.c_str()), 0);
    const int unknownReason = bed.reason();
    ASSERT_EQ(lib.OpenUSB(at.c_str()), 1);
    EXPECT_EQ(lib.setbaudrate(9600), 0);
    const int notSerial = bed.reason();
    lib.closeport();
    ASSERT_TRUE(printer.WaitDisconnected(2000));
    const struct {
        std::string arguments, seen;
    } cases[] = {
        {"query " + at + " \"~HS\"", "NET:~HS\n[exit 0]\n"},
        {"send " + refused + " X", "norvat: cannot open " + refused + ": " + bed.reasonText(refusedReason)},
        {"send " + unknown + " X", "norvat: cannot open " + unknown + ": " + bed.reasonText(unknownReason)},
        {"send --baud 9600 " + at + " X",
         "norvat: cannot set 9600 bit/s on " + at + ": " + bed.reasonText(notSerial)},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Seen(bed.run(c.arguments, "")),
                  c.seen.back() == '\n' ? c.seen : c.seen + "\n[exit 1]\n");
    EXPECT_EQ(printer.Received(), "~HS\r\n");
    EXPECT_EQ(bed.run("send tcp://printer:0 X", "").err.rfind("norvat: tcp://printer:0 is no network", 0), 0u);
}
