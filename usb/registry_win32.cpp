/* Read-only lookups in the registry's record of the USB printer interface class. Each entry is
 * a subkey N; below it "#" holds "SymbolicLink", "#\Control" holds "Linked" and
 * "#\Device Parameters" holds "Port Description". Every key opened here is closed again on every
 * path; nothing is cached, since entries come and go as printers are plugged in. */
#include "usb/usb.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "interface/text.h"
#include "interface/timing.h"
#include "io/overlapped_win32.h"
#include "usb/link.h"

namespace {

const char kPrintInterfaceKey[] =
    "SYSTEM\\CurrentControlSet\\Control\\DeviceClasses\\"
    "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

const char kLinkSuffix[] = "\\#";
const char kControlSuffix[] = "\\#\\Control";
const char kParametersSuffix[] = "\\#\\Device Parameters";

/* Subkey names: the extended enumeration takes up to 254 characters, the plain one as many as
 * the caller's 170-byte value limit allows. Real entries are named after the device path, so a
 * long serial easily makes a long name; the path fields below fit the longest of either. */
const DWORD kDetailsNameField = 255;
const DWORD kPlainNameField = kRegistryValueLimit;
const size_t kEntryPathField = sizeof kPrintInterfaceKey + 1 + kDetailsNameField +
                               sizeof kParametersSuffix;

/* "Linked" is a DWORD, but any data up to this size is accepted and only its first byte read. */
const DWORD kLinkedField = kRegistryValueLimit;

HKEY OpenClassKey(void)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kPrintInterfaceKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return NULL;
    return key;
}

/* class key path + "\" + name + suffix, always terminated within path (kEntryPathField). */
void EntryPath(char *path, const char *name, const char *suffix)
{
    size_t n = CopyText(path, kEntryPathField, kPrintInterfaceKey);
    n += CopyText(path + n, kEntryPathField - n, "\\");
    n += CopyText(path + n, kEntryPathField - n, name);
    CopyText(path + n, kEntryPathField - n, suffix);
}

/* Reads one value of the key at path into field (at least size + 1 bytes) and terminates it:
 * REG_SZ data is not guaranteed to carry its NUL, and a value of exactly size bytes has none.
 * Data over size bytes fails (ERROR_MORE_DATA) rather than being cut. */
bool ReadEntryValue(const char *path, const char *valueName, char *field, DWORD size)
{
    HKEY key = NULL;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD got = size;
    const LONG status =
        RegQueryValueExA(key, valueName, NULL, NULL, (BYTE *)field, &got);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    field[got <= size ? got : size] = '\0';
    return true;
}

bool IsLive(const char *name)
{
    char path[kEntryPathField];
    char linked[kLinkedField + 1];
    EntryPath(path, name, kControlSuffix);
    linked[0] = 0;
    return ReadEntryValue(path, "Linked", linked, kLinkedField) && linked[0] == 1;
}

bool ReadLink(const char *name, char *link)
{
    char path[kEntryPathField];
    EntryPath(path, name, kLinkSuffix);
    return ReadEntryValue(path, "SymbolicLink", link, kRegistryValueLimit);
}

} // namespace

uint32_t CountPrintInterfaces(void)
{
    HKEY key = OpenClassKey();
    if (key == NULL)
        return 0;
    char className[128];
    DWORD classLength = sizeof className;
    DWORD subkeys = 0;
    RegQueryInfoKeyA(key, className, &classLength, NULL, &subkeys, NULL, NULL, NULL, NULL, NULL,
                     NULL, NULL);
    RegCloseKey(key);
    return subkeys;
}

bool LookupPrintInterface(uint32_t index, char *link)
{
    HKEY key = OpenClassKey();
    if (key == NULL)
        return false;
    char name[kPlainNameField];
    const LONG status = RegEnumKeyA(key, index, name, kPlainNameField);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    return IsLive(name) && ReadLink(name, link);
}

bool LookupPrintInterfaceDetails(uint32_t index, char *link, char *description)
{
    HKEY key = OpenClassKey();
    if (key == NULL)
        return false;
    char name[kDetailsNameField];
    DWORD nameLength = kDetailsNameField;
    const LONG status = RegEnumKeyExA(key, index, name, &nameLength, NULL, NULL, NULL, NULL);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return false;
    if (!IsLive(name) || !ReadLink(name, link))
        return false;
    char path[kEntryPathField];
    EntryPath(path, name, kParametersSuffix);
    return ReadEntryValue(path, "Port Description", description, kRegistryValueLimit);
}

bool PrinterRecordsAvailable(void)
{
    return true;
}

namespace {

/* The USB printer class's request for the printer's IEEE 1284 device ID (usbprint.h). */
const DWORD kGet1284Id = 0x220034;

/* Asks the printer at node for its device ID: two bytes of big-endian length (the two
 * included), then the text, which the printer does not terminate. A printer that does not answer
 * within kDeviceIdWaitMs, or a device that is no USB printer, leaves text empty. */
void AskDeviceId(const char *node, char *text, size_t size)
{
    text[0] = '\0';
    HANDLE device = CreateFileA(node, GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, NULL);
    if (device == INVALID_HANDLE_VALUE || device == NULL)
        return;
    unsigned char answer[kDeviceIdText + 2];
    DWORD got = 0;
    const bool done = AskDevice(device, kGet1284Id, answer, sizeof answer, &got,
                                kDeviceIdWaitMs) != FALSE;
    CloseHandle(device);
    if (!done || got < 2)
        return;
    size_t length = ((size_t)answer[0] << 8 | answer[1]);
    /* The length counts its own two bytes; trust neither it nor the answer beyond what came. */
    length = length < 2 ? 0 : length - 2;
    if (length > got - 2)
        length = got - 2;
    if (length > size - 1)
        length = size - 1;
    for (size_t i = 0; i < length; i++)
        text[i] = (char)answer[2 + i];
    text[length] = '\0';
}

} // namespace

bool EachPrinter(PrinterVisit visit, void *context, bool withDeviceId)
{
    HKEY key = OpenClassKey();
    if (key == NULL)
        return true; /* no printer was ever plugged in */
    PrinterRecord *record = (PrinterRecord *)HeapAlloc(GetProcessHeap(), 0, sizeof *record);
    if (record == NULL) {
        RegCloseKey(key);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    for (DWORD index = 0;; index++) {
        char name[kDetailsNameField];
        DWORD nameLength = kDetailsNameField;
        const LONG status = RegEnumKeyExA(key, index, name, &nameLength, NULL, NULL, NULL, NULL);
        if (status == ERROR_NO_MORE_ITEMS)
            break;
        char path[kEntryPathField];
        EntryPath(path, name, kLinkSuffix);
        if (status != ERROR_SUCCESS || !IsLive(name) ||
            !ReadEntryValue(path, "SymbolicLink", record->link, sizeof record->link - 1))
            continue;
        CopyText(record->node, sizeof record->node, record->link);
        EntryPath(path, name, kParametersSuffix);
        if (!ReadEntryValue(path, "Port Description", record->description,
                            sizeof record->description - 1))
            record->description[0] = '\0';
        ParsePrinterLink(record->link, record->vendorId, record->productId,
                         sizeof record->vendorId, record->serial, sizeof record->serial);
        record->deviceId[0] = '\0';
        if (withDeviceId)
            AskDeviceId(record->node, record->deviceId, sizeof record->deviceId);
        if (visit(record, context))
            break;
    }
    HeapFree(GetProcessHeap(), 0, record);
    RegCloseKey(key);
    return true;
}
