// What the norvat tool needs from the system beyond the library: a clock, the reason a library
// call left behind, the serial and parallel ports the machine has, standard input read raw, and
// Ctrl-C. One file per platform.
#pragma once

#include <string>
#include <vector>

// Milliseconds from an arbitrary start, never going back.
unsigned long long NowMs();

// The reason the last failed library call left: GetLastError() on Windows, errno on Linux.
// Read it right after the call.
int LastReason();

// The system's own message for a reason, one line, e.g. "File not found.". On Linux a negative
// reason is the resolver's (EAI_*), which a network printer's unknown host name leaves.
std::string ReasonText(int reason);

// The reason the library gives when no connected USB printer matched.
bool MeansNoPrinter(int reason);

// A serial or parallel port as the system names it, with what it is behind that name.
struct SystemPort {
    std::string kind;   // "serial" or "parallel"
    std::string name;   // what to pass as PORT: COM1, LPT1, /dev/ttyS0, /dev/ttyUSB0, ...
    std::string detail; // the device behind it, or the Windows name it stands for; may be empty
};

// The machine's serial and parallel ports, serial first, each kind in number order.
std::vector<SystemPort> SystemPorts();

// Reads what standard input has, waiting for it, as raw bytes (no text-mode translation on
// Windows): the count, 0 at its end, -1 when the read failed or a caught Ctrl-C broke it off.
long ReadInput(char *buffer, unsigned long size);

// From now on Ctrl-C (SIGINT; on Windows the console's Ctrl-C or Ctrl-Break) sets a flag instead
// of ending the program, so that it can close the port first.
void CatchInterrupt();
bool Interrupted();
