// The norvat tool's system calls on Windows.
#include "tools/system.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <map>

namespace {

// "COM12" -> ("COM", 12); anything else -> ("", 0).
std::pair<std::string, int> PortNumber(const std::string &name)
{
    for (const char *prefix : {"COM", "LPT"}) {
        if (name.size() > 3 && name.size() <= 6 && name.compare(0, 3, prefix) == 0 &&
            name.find_first_not_of("0123456789", 3) == std::string::npos && name[3] != '0')
            return {prefix, std::atoi(name.c_str() + 3)};
    }
    return {"", 0};
}

// All DOS device names. The buffer grows until the list fits.
std::vector<std::string> DosDeviceNames()
{
    std::vector<char> buffer(16384);
    for (;;) {
        const DWORD n = QueryDosDeviceA(nullptr, buffer.data(), (DWORD)buffer.size());
        if (n != 0) {
            std::vector<std::string> names;
            for (const char *p = buffer.data(); p < buffer.data() + n && *p != '\0';
                 p += std::strlen(p) + 1)
                names.push_back(p);
            return names;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (1u << 24))
            return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::string DosDeviceTarget(const std::string &name)
{
    char target[512];
    const DWORD n = QueryDosDeviceA(name.c_str(), target, sizeof target);
    return n != 0 ? std::string(target) : std::string();
}

// HARDWARE\DEVICEMAP\SERIALCOMM: device name -> "COMn", where the drivers record their ports.
// Values that are not text, or too long for a port name, are skipped; a missing key means none.
std::map<std::string, std::string> SerialCommMap()
{
    std::map<std::string, std::string> ports;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD i = 0;; i++) {
        char device[256], port[32];
        DWORD deviceSize = sizeof device, portSize = sizeof port - 1, type = 0;
        const LONG status =
            RegEnumValueA(key, i, device, &deviceSize, nullptr, &type, (BYTE *)port, &portSize);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        if (status != ERROR_SUCCESS || type != REG_SZ)
            continue;
        port[portSize] = '\0'; // REG_SZ data need not carry its NUL
        ports[port] = device;
    }
    RegCloseKey(key);
    return ports;
}

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

bool MeansNoPrinter(int reason)
{
    return reason == ERROR_DEVICE_NOT_CONNECTED;
}

std::vector<SystemPort> SystemPorts()
{
    std::map<std::pair<std::string, int>, SystemPort> found;
    for (const std::string &name : DosDeviceNames()) {
        const auto number = PortNumber(name);
        if (!number.first.empty())
            found[number] = {number.first == "COM" ? "serial" : "parallel", name,
                             DosDeviceTarget(name)};
    }
    for (const auto &entry : SerialCommMap()) {
        const auto number = PortNumber(entry.first);
        if (number.first == "COM" && found.count(number) == 0)
            found[number] = {"serial", entry.first, entry.second};
    }
    // COM sorts before LPT, each by number.
    std::vector<SystemPort> ports;
    for (const auto &entry : found)
        ports.push_back(entry.second);
    return ports;
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
