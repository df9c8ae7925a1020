// What the norvat tool needs from the system beyond the library: a clock, the platform's code a
// library call left behind and its words for it, what to do about a refused port, whether USB
// printers can be found at all, standard input read raw, and Ctrl-C. One file per platform.
#pragma once

#include <string>

// Milliseconds from an arbitrary start, never going back.
unsigned long long NowMs();

// The platform's code the last failed library call left: GetLastError() on Windows, errno on
// Linux. Read it right after the call.
int LastReason();

// The system's own message for a code, one line, e.g. "File not found."; "" for 0. On Linux a
// negative code is the resolver's (EAI_*), which a network printer's unknown host name leaves.
std::string ReasonText(int reason);

// What a person does about NORVAT_ERR_ACCESS here, one line.
std::string AccessAdvice();

// Why this system cannot find USB printers at all, one line; "" when it can. (On Linux the
// library loads libudev.so.1 at run time and leaves the printers out without it.)
std::string UsbPrintersProblem();

// Reads what standard input has, waiting for it, as raw bytes (no text-mode translation on
// Windows): the count, 0 at its end, -1 when the read failed or a caught Ctrl-C broke it off.
long ReadInput(char *buffer, unsigned long size);

// From now on Ctrl-C (SIGINT; on Windows the console's Ctrl-C or Ctrl-Break) sets a flag instead
// of ending the program, so that it can close the port first.
void CatchInterrupt();
bool Interrupted();
