/* Port names: which kind of port a text names, and network addresses taken apart. */
#include "port/name.h"

#include "interface/text.h"

namespace {

const char kNetworkScheme[] = "tcp://";
const unsigned kLongestPortNumber = 65535;

bool HasNetworkScheme(const char *name)
{
    for (int i = 0; kNetworkScheme[i] != '\0'; i++) {
        char c = name[i];
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != kNetworkScheme[i])
            return false; /* a shorter text stops at its NUL, which matches nothing */
    }
    return true;
}

/* Characters of a host name or IPv4 literal: letters, digits, '-', '.', '_'. */
bool IsHostCharacter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_';
}

/* Characters of a bracketed IPv6 literal: hex digits, ':', '.' (an embedded IPv4 part), and '%'
 * with letters and digits for a zone ("fe80::1%eth0"). The resolver checks the rest. */
bool IsLiteralV6Character(char c)
{
    return IsHostCharacter(c) || c == ':' || c == '%';
}

} // namespace

PortNameKind ClassifyPortName(const char *name)
{
    if (HasNetworkScheme(name))
        return kPortNameNetwork;
    if (name[0] == 'C')
        return kPortNameSerial;
    if (StartsWith(name, "LPT") && name[3] >= '1' && name[3] <= '9' && name[4] == '\0')
        return kPortNameParallel;
    if (StartsWith(name, "/dev/"))
        return kPortNameDevicePath;
    return kPortNameDeviceLink;
}

bool OpenedByName(const char *request, bool devicePaths)
{
    const PortNameKind kind = ClassifyPortName(request);
    return (request[0] == 'C' && request[1] == 'O') || kind == kPortNameNetwork ||
           (devicePaths && kind == kPortNameDevicePath);
}

bool ParseNetworkAddress(const char *name, NetworkAddress *address)
{
    if (!HasNetworkScheme(name))
        return false;
    const char *p = name + sizeof kNetworkScheme - 1;
    const bool literalV6 = *p == '[';
    if (literalV6)
        p++;
    size_t length = 0;
    while (literalV6 ? IsLiteralV6Character(p[length]) : IsHostCharacter(p[length])) {
        if (length == kLongestHostName)
            return false;
        address->host[length] = p[length];
        length++;
    }
    address->host[length] = '\0';
    if (length == 0)
        return false;
    p += length;
    if (literalV6 && *p++ != ']')
        return false;

    unsigned port = kDefaultNetworkPort;
    if (*p == ':') {
        p++;
        port = 0;
        int digits = 0;
        for (; *p >= '0' && *p <= '9'; p++) {
            if (++digits > 5)
                return false;
            port = port * 10 + (unsigned)(*p - '0');
        }
        if (digits == 0 || port == 0 || port > kLongestPortNumber)
            return false;
    }
    if (*p != '\0')
        return false; /* text after the port, or a character no host has */

    char digitsReversed[5];
    int n = 0;
    do {
        digitsReversed[n++] = (char)('0' + port % 10);
        port /= 10;
    } while (port > 0);
    for (int i = 0; i < n; i++)
        address->service[i] = digitsReversed[n - 1 - i];
    address->service[n] = '\0';
    address->literalV6 = literalV6;
    return true;
}
