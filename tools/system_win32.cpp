// The norvat tool's system calls on Windows.
#include "tools/system.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

volatile LONG interrupted = 0;

BOOL WINAPI OnConsoleControl(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE; // closing the console ends the process, and with it the port
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

} // namespace

unsigned long long NowMs()
{
    return GetTickCount64();
}

int LastReason()
{
    return (int)GetLastError();
}

std::string ReasonText(int reason)
{
    if (reason == 0)
        return "";
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             (DWORD)reason, 0, text, sizeof text, nullptr);
    // The message ends with CR LF; the tool prints one line.
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' '))
        n--;
    if (n == 0)
        return "error " + std::to_string(reason);
    return std::string(text, n);
}

std::string AccessAdvice()
{
    // Windows opens a serial port for one program at a time and says "access denied" to the
    // next one.
    return "another program holds the port: close it (or its service) and try again";
}

std::string UsbPrintersProblem()
{
    return "";
}

long ReadInput(char *buffer, unsigned long size)
{
    DWORD n = 0;
    if (ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, (DWORD)size, &n, nullptr))
        return (long)n;
    // A pipe whose writer closed its end is the end of input, not a failure.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

void CatchInterrupt()
{
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

bool Interrupted()
{
    return InterlockedCompareExchange(&interrupted, 0, 0) != 0;
}
