/* The serial and parallel ports of a Windows machine: the serial ports its drivers record under
 * HARDWARE\DEVICEMAP\SERIALCOMM, and LPT1 and LPT2 where those names stand for a device. */
#include "port/system_ports.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "interface/text.h"

namespace {

enum { kMostPorts = 256, kNameField = 16, kDeviceField = 128 };

struct SerialPort {
    unsigned number;
    char name[kNameField];
    char device[kDeviceField];
};

/* "COM12" -> 12; 0 for anything else. */
unsigned ComNumber(const char *name)
{
    if (!StartsWith(name, "COM") || name[3] < '1' || name[3] > '9')
        return 0;
    unsigned number = 0;
    for (const char *d = name + 3; *d != '\0'; d++) {
        if (*d < '0' || *d > '9' || number > 100000)
            return 0;
        number = number * 10 + (unsigned)(*d - '0');
    }
    return number;
}

} // namespace

void EachSystemPort(SystemPortVisit visit, void *context)
{
    SerialPort *ports = (SerialPort *)HeapAlloc(GetProcessHeap(), 0, kMostPorts * sizeof *ports);
    HKEY key = NULL;
    DWORD found = 0;
    if (ports != NULL && RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0,
                                       KEY_READ, &key) == ERROR_SUCCESS) {
        for (DWORD i = 0; found < kMostPorts; i++) {
            SerialPort *port = &ports[found];
            DWORD deviceSize = sizeof port->device - 1, nameSize = sizeof port->name - 1, type = 0;
            const LONG status = RegEnumValueA(key, i, port->device, &deviceSize, NULL, &type,
                                              (BYTE *)port->name, &nameSize);
            if (status == ERROR_NO_MORE_ITEMS)
                break;
            if (status != ERROR_SUCCESS || type != REG_SZ)
                continue;
            /* REG_SZ data need not carry its NUL. */
            port->name[nameSize < sizeof port->name ? nameSize : sizeof port->name - 1] = '\0';
            port->number = ComNumber(port->name);
            if (port->number != 0)
                found++;
        }
        RegCloseKey(key);
    }
    /* In number order: COM2 before COM10. */
    for (DWORD i = 1; i < found; i++) {
        for (DWORD j = i; j > 0 && ports[j - 1].number > ports[j].number; j--) {
            const SerialPort swap = ports[j];
            ports[j] = ports[j - 1];
            ports[j - 1] = swap;
        }
    }
    for (DWORD i = 0; i < found; i++)
        visit("serial", ports[i].name, ports[i].device, context);
    if (ports != NULL)
        HeapFree(GetProcessHeap(), 0, ports);

    static const char *const kParallel[] = {"LPT1", "LPT2"};
    for (const char *name : kParallel) {
        char target[kDeviceField];
        if (QueryDosDeviceA(name, target, sizeof target) != 0)
            visit("parallel", name, target, context);
    }
}
