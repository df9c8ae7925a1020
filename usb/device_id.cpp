/* Device links and descriptions of USB printers from what udev tells of them. */
#include "usb/device_id.h"

#include "interface/text.h"
#include "usb/link.h"

namespace {

const char kLinkHead[] = "\\\\?\\USB#";
const char kInterfaceClassTail[] = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

/* Appends hex, 1 to 4 digits, in upper case; false for anything else. */
bool AppendHexId(char *link, size_t size, size_t *at, const char *hex)
{
    const size_t length = hex == NULL ? 0 : BoundedLength(hex, 5);
    if (length == 0 || length > 4)
        return false;
    for (size_t i = 0; i < length; i++) {
        char c = hex[i];
        if (c >= 'a' && c <= 'f')
            c = (char)(c - 'a' + 'A');
        else if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')))
            return false;
        if (*at + 1 >= size)
            return false;
        link[(*at)++] = c;
    }
    link[*at] = '\0';
    return true;
}

bool AppendText(char *link, size_t size, size_t *at, const char *text)
{
    const size_t length = BoundedLength(text, size);
    if (*at + length >= size)
        return false;
    *at += CopyText(link + *at, size - *at, text);
    return true;
}

char Upper(char c)
{
    return c >= 'a' && c <= 'z' ? (char)(c - 'a' + 'A') : c;
}

/* The value of key in an IEEE 1284 device id ("MFG:Acme;MDL:LP-1;DES:Front desk;"): its text up
 * to the next ';' (or line end), with the length in *length; NULL when the key is absent or its
 * value is empty. Keys may have spaces before them, and are compared case-sensitively unless
 * anyCase is set. */
const char *DeviceIdValue(const char *deviceId, const char *key, size_t *length,
                          bool anyCase = false)
{
    const size_t keyLength = BoundedLength(key, 32);
    const char *p = deviceId;
    while (*p != '\0') {
        while (*p == ' ')
            p++;
        size_t i = 0;
        while (i < keyLength && (anyCase ? Upper(p[i]) == Upper(key[i]) : p[i] == key[i]))
            i++;
        const bool match = i == keyLength && p[i] == ':';
        const char *value = match ? p + keyLength + 1 : NULL;
        while (*p != '\0' && *p != ';')
            p++;
        if (value != NULL) {
            size_t n = 0;
            while (value + n < p && value[n] != '\r' && value[n] != '\n')
                n++;
            if (n > 0) {
                *length = n;
                return value;
            }
        }
        if (*p == ';')
            p++;
    }
    return NULL;
}

} // namespace

bool BuildDeviceLink(char *link, size_t size, const char *vendor, const char *product,
                     const char *serial)
{
    /* Never longer than a registry value may be; the Windows lookup would not read it either. */
    const size_t limit = size < kRegistryValueLimit + 1 ? size : kRegistryValueLimit + 1;
    size_t at = 0;
    if (size == 0)
        return false;
    link[0] = '\0';
    const bool built = serial != NULL && serial[0] != '\0' &&
                       AppendText(link, limit, &at, kLinkHead) &&
                       AppendText(link, limit, &at, "VID_") &&
                       AppendHexId(link, limit, &at, vendor) &&
                       AppendText(link, limit, &at, "&PID_") &&
                       AppendHexId(link, limit, &at, product) &&
                       AppendText(link, limit, &at, "#") &&
                       AppendText(link, limit, &at, serial) &&
                       AppendText(link, limit, &at, kInterfaceClassTail);
    if (!built)
        link[0] = '\0';
    return built;
}

bool DescribePrinter(char *field, size_t size, const char *deviceId, const char *product)
{
    static const char *const kKeys[] = { "DES", "DESCRIPTION", "MDL", "MODEL" };
    if (size == 0)
        return false;
    const size_t limit = size < kRegistryValueLimit + 1 ? size : kRegistryValueLimit + 1;
    const char *text = NULL;
    size_t length = 0;
    for (size_t k = 0; deviceId != NULL && text == NULL && k < sizeof kKeys / sizeof kKeys[0];
         k++)
        text = DeviceIdValue(deviceId, kKeys[k], &length);
    if (text == NULL && product != NULL && product[0] != '\0') {
        text = product;
        length = BoundedLength(product, limit);
    }
    if (text == NULL) {
        field[0] = '\0';
        return false;
    }
    if (length > limit - 1)
        length = limit - 1;
    for (size_t i = 0; i < length; i++)
        field[i] = text[i];
    field[length] = '\0';
    return true;
}

bool BuildPrinterLink(char *link, size_t size, const char *vendor, const char *product,
                      const char *serial, const char *usbPort)
{
    size_t at = 0;
    if (size == 0)
        return false;
    link[0] = '\0';
    const bool hasSerial = serial != NULL && serial[0] != '\0';
    const bool built = (hasSerial || (usbPort != NULL && usbPort[0] != '\0')) &&
                       AppendText(link, size, &at, kLinkHead) &&
                       AppendText(link, size, &at, "VID_") &&
                       AppendHexId(link, size, &at, vendor) &&
                       AppendText(link, size, &at, "&PID_") &&
                       AppendHexId(link, size, &at, product) &&
                       AppendText(link, size, &at, hasSerial ? "#" : "#&") &&
                       AppendText(link, size, &at, hasSerial ? serial : usbPort) &&
                       AppendText(link, size, &at, kInterfaceClassTail);
    if (!built)
        link[0] = '\0';
    return built;
}

void DeviceIdField(const char *deviceId, const char *longKey, const char *shortKey, char *field,
                   size_t size)
{
    if (size == 0)
        return;
    field[0] = '\0';
    if (deviceId == NULL)
        return;
    size_t length = 0;
    const char *value = DeviceIdValue(deviceId, longKey, &length, true);
    if (value == NULL)
        value = DeviceIdValue(deviceId, shortKey, &length, true);
    if (value == NULL)
        return;
    if (length > size - 1)
        length = size - 1;
    for (size_t i = 0; i < length; i++)
        field[i] = value[i];
    field[length] = '\0';
}
