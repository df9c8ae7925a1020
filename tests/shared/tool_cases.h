// The norvat tool's cases that both platforms share, built into each harness: the harness says
// how to run the tool and reach its devices, the cases are the same.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "tests/shared/handle_cases.h"

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
    // Runs a Python 3 script (on Linux, also from Wine) with input on its standard input; gives
    // its output and errors.
    std::function<std::string(const std::string &script, const std::string &input)> python;
};

// Output, then error, then the exit status, as a shell shows a run.
inline std::string Seen(const ToolRun &run)
{
    return run.out + run.err + "[exit " + std::to_string(run.status) + "]\n";
}

// A run's JSON output as a Python script sees it (strictly decoded as UTF-8, so a byte that is
// no UTF-8 fails it), then the run's errors and exit status.
inline std::string JsonSeen(const ToolBed &bed, const std::string &script, const ToolRun &run)
{
    return bed.python(script, run.out) + run.err + "[exit " + std::to_string(run.status) + "]\n";
}

// status --json: every key in its order, then the values of the telling ones.
const char kStatusSummary[] =
    "import json, sys\n"
    "s = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
    "keys = ['port', 'kind', 'ready', 'gone', 'paper_out', 'offline', 'error', 'cover_open',\n"
    "        'paper_low', 'feed_button', 'drawer_open', 'cutter_error', 'unrecoverable', 'dsr',\n"
    "        'cts', 'dcd', 'disconnected', 'pending', 'escpos_answered']\n"
    "assert list(s) == keys, list(s)\n"
    "print(*(s[k] for k in ('kind', 'ready', 'paper_out', 'offline', 'error', 'cover_open',\n"
    "                       'paper_low', 'drawer_open', 'dsr', 'disconnected', 'pending',\n"
    "                       'escpos_answered')))\n";

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

// Listing texts as the tool lists them (the ten exports' listing) open in the tool exactly where
// norvat_open opens them, a description of 42 characters included, which OpenUSB refuses. plug
// connects a printer answering "<serial>:<line>".
inline void CheckListingTextsOpenWhereNorvatOpenOpens(
    NorvatExports &lib, const ToolBed &bed,
    const std::function<void(const std::string &serial, const std::string &description)> &plug)
{
    const std::string fits(41, 'F'), over(42, 'O');
    plug("FITS", fits);
    plug("OVER", over);
    const std::string list = bed.run("list", "").out;
    for (const auto &serial : {std::string("FITS"), std::string("OVER")}) {
        const std::string text = (serial == "FITS" ? fits : over) + "#" + serial;
        EXPECT_NE(list.find(text + "\n"), std::string::npos) << list;
        const ToolRun run = bed.run("query \"" + text + "\" \"~HS\"", "");
        EXPECT_EQ(Seen(run), serial + ":~HS\n[exit 0]\n");
        norvat_port *port = nullptr;
        EXPECT_EQ(lib.open(text.c_str(), &port), 0) << text;
        lib.close(port);
    }
    EXPECT_EQ(lib.OpenUSB((over + "#OVER").c_str()), 0) << "the ten exports' rule changed";
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
    // What the library says, in its words and the system's, for each.
    const auto why = [&](int result) {
        return std::string(lib.error_text(result)) + " (" + bed.reasonText(bed.reason()) + ")";
    };
    norvat_port *port = nullptr;
    const std::string refusedWhy = why(lib.open(refused.c_str(), &port));
    const std::string unknownWhy = why(lib.open(unknown.c_str(), &port));
    ASSERT_EQ(lib.open(at.c_str(), &port), 0);
    const std::string notSerialWhy = why(lib.set_baud_rate(port, 9600));
    lib.close(port);
    ASSERT_TRUE(printer.WaitDisconnected(2000));
    const struct {
        std::string arguments, seen;
    } cases[] = {
        {"query " + at + " \"~HS\"", "NET:~HS\n[exit 0]\n"},
        {"send " + refused + " X", "norvat: cannot open " + refused + ": " + refusedWhy},
        {"send " + unknown + " X", "norvat: cannot open " + unknown + ": " + unknownWhy},
        {"send --baud 9600 " + at + " X", "norvat: cannot set 9600 bit/s on " + at + ": " + notSerialWhy},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Seen(bed.run(c.arguments, "")),
                  c.seen.back() == '\n' ? c.seen : c.seen + "\n[exit 1]\n");
    // Its state is its connection, and the bytes it has not acknowledged.
    EXPECT_EQ(JsonSeen(bed, kStatusSummary, bed.run("status --json " + at, "")),
              "network True None None None None None None None False 0 None\n[exit 0]\n");
    EXPECT_EQ(printer.Received(), "~HS\r\n");
    EXPECT_EQ(bed.run("send tcp://printer:0 X", "").err.rfind("norvat: tcp://printer:0 is no network", 0), 0u);
}

// The printers of two makers for the listing: one as a receipt printer describes itself, one
// whose device ID holds a quote, a backslash, a control character, a byte that is no UTF-8 (0xE9, Latin-1)
// and a UTF-8 letter.
inline std::vector<PrinterMake> ToolPrinters()
{
    return {
        {"04b8", "0202", "RP80SER1", "Receipt printer", "MFG:Acme;MDL:RP-80;CMD:ESC/POS;"},
        {"0519", "0003", "KIT0001", "Kitchen printer", "MFG:Bistro \"K\"\\;MDL:KP\x01\xe9\xc3\xa9;CMD:STAR;"},
    };
}

// ports --json is valid JSON holding every field of every entry, every maker's printer with its
// ids, maker, model, command set and device ID (each byte kept); ports shows them in words; and
// a printer opened by its serial, or as port number 6, gets exactly the bytes sent. plugged: the
// devices of ToolPrinters(), in that order, the first of them first in the listing.
inline void CheckPortsListEveryMakersPrinter(const ToolBed &bed,
                                             std::vector<std::unique_ptr<TestDevice>> &plugged)
{
    const char script[] =
        "import json, sys\n"
        "ports = json.loads(sys.stdin.buffer.read().decode('utf-8'))\n"
        "keys = ['name', 'kind', 'description', 'serial', 'vendor_id', 'product_id',\n"
        "        'manufacturer', 'model', 'command_set', 'device_id']\n"
        "print('every entry has every field:', all(list(p) == keys for p in ports))\n"
        "print('serial ports:', any(p['kind'] == 'serial' for p in ports))\n"
        "for line in sorted(json.dumps([p[k] for k in keys[3:]]) for p in ports if p['kind'] == 'usb'):\n"
        "    print(line)\n";
    EXPECT_EQ(JsonSeen(bed, script, bed.run("ports --json", "")),
              "every entry has every field: True\nserial ports: True\n"
              R"(["KIT0001", "0519", "0003", "Bistro \"K\"\\", "KP\u0001\u00e9\u00e9", "STAR", )"
              R"("MFG:Bistro \"K\"\\;MDL:KP\u0001\u00e9\u00e9;CMD:STAR;"])" "\n"
              R"(["RP80SER1", "04b8", "0202", "Acme", "RP-80", "ESC/POS", "MFG:Acme;MDL:RP-80;CMD:ESC/POS;"])"
              "\n[exit 0]\n");

    const std::string words = bed.run("ports", "").out;
    for (const char *line : {"\n          maker Acme, model RP-80, command set ESC/POS, serial RP80SER1, USB 04b8:0202\n",
                             "\n          maker Bistro \"K\"\\, model KP\\x01\xe9\xc3\xa9, command set STAR, serial "
                             "KIT0001, USB 0519:0003\n"})
        EXPECT_NE(words.find(line), std::string::npos) << line << " not in:\n" << words;

    // By serial, and as port number 6: the first printer of the listing, whatever its maker.
    const std::string bytes = std::string("\x1b@\x00\xff", 4) + "X\r\n";
    EXPECT_EQ(Seen(bed.run("send --hex RP80SER1 \"1B 40 00 FF\"", "")), "sent 4 bytes to RP80SER1\n[exit 0]\n");
    EXPECT_EQ(Seen(bed.run("send 6 X", "")), "sent 3 bytes to 6\n[exit 0]\n");
    EXPECT_TRUE(plugged[0]->WaitForBytes(bytes.size(), 2000));
    EXPECT_EQ(plugged[0]->Received(), bytes);
    EXPECT_EQ(plugged[1]->Received(), "");
}

// status on a USB printer: 0 ready, 2 not ready (the status byte, or what the printer answers to
// DLE EOT with --escpos), 1 when it cannot be asked, 64 on bad arguments; the flags as JSON,
// what the port cannot tell as null. printer answers DLE EOT once told to.
inline void CheckStatusSaysWhetherThePrinterIsReady(const ToolBed &bed, TestDevice &printer)
{
    const std::string name = printer.Name();
    const struct {
        const char *what;
        unsigned state;      // the printer's status byte
        std::string answers; // its answers to DLE EOT 1, 2, 4, 3, one byte each, as many as given
        const char *options;
        std::string seen; // kind ready paper_out offline error cover_open paper_low drawer_open dsr
                          // disconnected pending escpos_answered, then the exit status
    } cases[] = {
        {"ready", 0, "", "", "usb True False False False None None None None None None None\n[exit 0]\n"},
        {"paper out", NORVAT_STATE_PAPER_OUT, "", "",
         "usb False True False False None None None None None None None\n[exit 2]\n"},
        {"offline with an error", NORVAT_STATE_OFFLINE | NORVAT_STATE_ERROR, "", "",
         "usb False False True True None None None None None None None\n[exit 2]\n"},
        {"ESC/POS: all well", 0, "\x12\x12\x12\x12", "--escpos",
         "usb True False False False False False False None None None 4\n[exit 0]\n"},
        {"ESC/POS: the cover open", 0, "\x12\x16\x12\x12", "--escpos",
         "usb False False False False True False False None None None 4\n[exit 2]\n"},
        {"ESC/POS: paper low is still ready", 0, "\x12\x12\x1e\x12", "--escpos",
         "usb True False False False False True False None None None 4\n[exit 0]\n"},
        {"ESC/POS: two answers, the drawer open", 0, "\x16\x12", "--escpos --timeout 400",
         "usb True False False False False None True None None None 2\n[exit 0]\n"},
        {"ESC/POS: no time to answer", 0, "\x12\x12\x12\x12", "--escpos --timeout 0",
         "usb True False False False None None None None None None 0\n[exit 1]\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        printer.ClearAnswers();
        ASSERT_TRUE(printer.SetState(c.state));
        const char requests[] = {1, 2, 4, 3};
        for (size_t i = 0; i < c.answers.size(); i++)
            printer.AnswerWhen(std::string("\x10\x04") + requests[i], c.answers.substr(i, 1), 0);
        const ToolRun run = bed.run(std::string("status --json ") + c.options + " " + name, "");
        EXPECT_EQ(bed.python(kStatusSummary, run.out) + "[exit " + std::to_string(run.status) + "]\n", c.seen);
        if (run.status != 1) {
            EXPECT_EQ(run.err, "");
        }
    }

    // No answer to DLE EOT: it could not be asked, unless the status byte already says not ready.
    printer.ClearAnswers();
    ASSERT_TRUE(printer.SetState(0));
    ToolRun run = bed.run("status --escpos --timeout 300 " + name, "");
    EXPECT_EQ(run.status, 1u);
    EXPECT_NE(run.out.find("\nescpos:              no answer\nready:               yes\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.err.rfind("norvat: no ESC/POS status from " + name + ": timed out", 0), 0u) << run.err;
    ASSERT_TRUE(printer.SetState(NORVAT_STATE_PAPER_OUT));
    EXPECT_EQ(bed.run("status --escpos --timeout 300 " + name, "").status, 2u);

    // The words: each flag the port tells, the rest unknown.
    const std::string words = Seen(bed.run("status " + name, ""));
    EXPECT_EQ(words.rfind("port:                " + name + " (usb)\npaper:               out\n"
                          "printer:             online\nerror:               no\ncover:               unknown\n", 0),
              0u) << words;
    EXPECT_NE(words.find("\nconnection:          unknown\nready:               no\n[exit 2]\n"), std::string::npos)
        << words;

    const struct {
        const char *arguments;
        unsigned long status;
        const char *err; // how its error output begins
    } failures[] = {
        {"status NOSUCHPRINTER", 1, "norvat: cannot open NOSUCHPRINTER: no such port or printer ("},
        {"status", 64, "norvat: status needs PORT\n"},
        {"status --timeout 100 NOSUCHPRINTER", 64, "norvat: --timeout is how long --escpos waits"},
        {"status --escpos --timeout soon NOSUCHPRINTER", 64, "norvat: --timeout needs MS"},
    };
    for (const auto &f : failures) {
        run = bed.run(f.arguments, "");
        EXPECT_EQ(run.status, f.status) << f.arguments;
        EXPECT_EQ(run.out, "") << f.arguments;
        EXPECT_EQ(run.err.rfind(f.err, 0), 0u) << f.arguments << ": " << run.err;
    }
}
