/* Read-only lookups in the registry's record of the USB printer interface class. Each entry is
 * a subkey N; below it "#" holds "SymbolicLink", "#\Control" holds "Linked" and
 * "#\Device Parameters" holds "Port Description". Every key opened here is closed again on every
 * path; nothing is cached, since entries come and go as printers are plugged in. */
#include "usb/usb.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "interface/text.h"
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
