/* The ten exports: a thin layer over one default port, with their own state (the port number
 * openport reuses, the listing's cursor and count, the serial parsed last), their filters and
 * their results. Everything they do to a device goes through the same port, I/O and USB code as
 * the handles; only the rules here are theirs. */
#include "include/norvat.h"
#include "interface/ports.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "interface/timing.h"
#include "interface/version.h"
#include "io/io.h"
#include "port/name.h"
#include "port/port.h"
#include "usb/link.h"
#include "usb/usb.h"

namespace {

PortSession *const port = &defaultPort.session;

/* Port number last chosen by openport (0-9), or 6 after OpenUSB took the USB branch. */
unsigned short selectedPortNumber = 0;
/* Serial parsed from the device link examined last: up to 19 characters and a NUL. */
char parsedSerial[kSerialField] = {0};
/* Entry index at which FindNextUSB resumes, and the number of USB printer interface entries as
 * last counted (1 before any count, so a first FindNextUSB looks at entry 0 only). */
uint32_t enumCursor = 0;
uint32_t interfaceCount = 1;

const char kCrLf[] = "\r\n";

int Open(const char *name)
{
    return OpenPortByName(port, name, kConnectTimeoutMs);
}

/* The count of USB printer records; on Linux without libudev there are none to count, and the
 * reason says why. */
bool Count(void)
{
    interfaceCount = CountPrintInterfaces();
    return interfaceCount > 0;
}

int NoPrinter(void)
{
    return Refuse(PrinterRecordsAvailable() ? kReasonNoPrinter : kReasonNoRecords);
}

/* The listing is a cursor over entry indexes, not a snapshot: each call walks from start to
 * the count last taken, and the cursor moves past the entry returned. */
int ListFrom(uint32_t start, int (*passes)(const char *), char *buffer)
{
    char link[kLinkField] = {0};
    char description[kLinkField] = {0};
    for (uint32_t i = start; i < interfaceCount; i++) {
        if (!LookupPrintInterfaceDetails(i, link, description) || !passes(link))
            continue;
        ParseLinkSerial(link, parsedSerial);
        FormatListing(buffer, description, parsedSerial);
        enumCursor = i + 1;
        return 1;
    }
    return Refuse(PrinterRecordsAvailable() ? kReasonEndOfListing : kReasonNoRecords);
}

/* Opens the live printer with the serial in request ("description#serial" or a bare serial):
 * the first that passes the open filter and matches is the only one tried. */
int OpenUsbBySerial(const char *request)
{
    const char *wanted = WantedSerial(request);
    if (!Count())
        return NoPrinter();
    char link[kLinkField] = {0};
    char copy[kLinkField] = {0};
    for (uint32_t i = 0; i < interfaceCount; i++) {
        if (!LookupPrintInterface(i, link) || !PassesOpenFilter(link))
            continue;
        /* Parsing cuts its text, and the whole link is what gets opened. */
        CopyText(copy, sizeof copy, link);
        ParseLinkSerial(copy, parsedSerial);
        if (SerialMatches(parsedSerial, wanted))
            return Open(link);
    }
    return NoPrinter();
}

/* Opens the first live printer whose link passes the open filter (port number 6). */
int OpenFirstUsbPrinter(void)
{
    if (!Count())
        return NoPrinter();
    char link[kLinkField] = {0};
    for (uint32_t i = 0; i < interfaceCount; i++) {
        if (LookupPrintInterface(i, link) && PassesOpenFilter(link))
            return Open(link); /* only the first qualifying printer is tried */
    }
    return NoPrinter();
}

int OpenNumberedPort(unsigned short portNumber)
{
    switch (portNumber) {
    case 0:
        return Open("LPT1");
    case 5:
        return Open("LPT2");
    case 6:
        return OpenFirstUsbPrinter();
    default: {
        /* 1-4 and 7-9: "COM" and the single digit. There is no COM5 or COM6 by number. */
        char name[] = "COM0";
        name[3] = (char)('0' + portNumber % 10);
        return Open(name);
    }
    }
}

/* One write of the ten exports: their bounds, their results. */
uint32_t Write(const char *data, uint32_t count)
{
    if (!PortIsOpen(port))
        return (uint32_t)Refuse(kReasonNoPort);
    if (count == 0)
        return 1;
    return WritePort(port, data, count, WriteBoundMs(port, count, -1));
}

} // namespace

int NORVAT_CALL openport(const char *selector)
{
    if (selector == NULL)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    const char first = selector[0];
    if (first >= '0' && first <= '9')
        selectedPortNumber = (unsigned short)(first - '0');
    return OpenNumberedPort(selectedPortNumber);
}

int NORVAT_CALL OpenUSB(const char *request)
{
    if (request == NULL)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    if (OpenedByName(request, kOpensDevicePaths))
        return Open(request);
    selectedPortNumber = 6;
    return OpenUsbBySerial(request);
}

int NORVAT_CALL FindFirstUSB(char *buffer)
{
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    if (!Count())
        return Refuse(PrinterRecordsAvailable() ? kReasonEndOfListing : kReasonNoRecords);
    return ListFrom(0, PassesFirstListingFilter, buffer);
}

int NORVAT_CALL FindNextUSB(char *buffer)
{
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    return ListFrom(enumCursor, PassesNextListingFilter, buffer);
}

int NORVAT_CALL closeport(void)
{
    DefaultPortCall call;
    const bool closed = ClosePortHandle(port);
    /* The 64-bit builds have always passed the close's result on, and hosts may test it; the
     * 32-bit build has always said 0. */
    return sizeof(void *) == 8 && closed ? 1 : 0;
}

int NORVAT_CALL setbaudrate(int rate)
{
    if (rate <= 0)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    if (!PortIsOpen(port))
        return Refuse(kReasonNoPort);
    /* A socket is not asked for a line speed at all. */
    if (port->portKind == kPortNetwork)
        return Refuse(kReasonNoSerialLine);
    return SetLineSpeed(port, rate);
}

int NORVAT_CALL sendbuf(const char *data, int count)
{
    if (data == NULL || count < 0)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    return (int)Write(data, (uint32_t)count);
}

int NORVAT_CALL sendcommand(const char *text)
{
    if (text == NULL)
        return Refuse(kReasonBadArgument);
    /* One turn for the whole command, so another thread's bytes never land inside it. */
    DefaultPortCall call;
    if (PortIsOpen(port) && port->portKind == kPortNetwork) {
        /* On a stream, a write per byte only costs a round trip per byte: the command and its
         * CR LF go as one write, and count only when the printer acknowledged all of it. */
        const WritePiece pieces[2] = {{text, (uint32_t)BoundedLength(text, UINT32_MAX - 2)},
                                      {kCrLf, 2}};
        const uint32_t total = pieces[0].count + 2;
        return WriteSocket(port, pieces, 2, WriteBoundMs(port, total, -1)) == total ? 1 : 0;
    }
    /* One write per byte, as devices that parse commands byte by byte expect. */
    for (const char *c = text; *c != '\0'; c++) {
        if (Write(c, 1) == 0)
            return 0;
    }
    if (Write(&kCrLf[0], 1) == 0)
        return 0;
    return Write(&kCrLf[1], 1) == 1 ? 1 : 0;
}

int NORVAT_CALL RcvBuf(char *buffer, int count)
{
    if (buffer == NULL || count < 0)
        return Refuse(kReasonBadArgument);
    DefaultPortCall call;
    if (!PortIsOpen(port))
        return Refuse(kReasonNoPort);
    if (count == 0) {
        /* Nothing asked, nothing read: the device is not touched, so no byte waiting there is
         * taken, and the buffer holds the empty text, as after any read of 0 bytes. */
        buffer[0] = '\0';
        return Refuse(kReasonNone);
    }
    uint32_t received = 0;
    if (!ReadPort(port, buffer, (uint32_t)count, kReadWindowMs, &received))
        return 0;
    buffer[received] = '\0';
    return (int)received;
}

int NORVAT_CALL GetDllVersion(char *buffer)
{
    static const char kVersion[] = NORVAT_VERSION_TEXT;
    if (buffer == NULL)
        return Refuse(kReasonBadArgument);
    return (int)CopyText(buffer, sizeof kVersion, kVersion);
}
