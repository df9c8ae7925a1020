/* What a port's state means, the same on both platforms: the printer class's status byte, and
 * an ESC/POS printer's answers to its real-time status requests. */
#include "io/io.h"

#include "include/norvat.h"
#include "interface/reason.h"

namespace {

/* The status byte's lines (IEEE 1284): nError active low, Select, PaperEmpty. */
const unsigned kNoError = 0x08, kSelected = 0x10, kPaperEmpty = 0x20;

/* An ESC/POS status byte has bit 0 = 0, bit 1 = 1, bit 4 = 1, bit 7 = 0. */
bool IsStatusByte(unsigned char b)
{
    return (b & 0x93) == 0x12;
}

/* What each request's answer says, bit by bit. */
struct StatusBit {
    unsigned char mask;
    unsigned state;
};
struct Request {
    unsigned char n;
    StatusBit bits[4];
};
/* The order asked in: the printer's own state first, then why it is offline, the paper, and
 * what error it has. */
const Request kRequests[] = {
    {1, {{0x04, NORVAT_STATE_DRAWER_OPEN}, {0x08, NORVAT_STATE_OFFLINE}, {0, 0}, {0, 0}}},
    {2,
     {{0x04, NORVAT_STATE_COVER_OPEN},
      {0x08, NORVAT_STATE_FEED_BUTTON},
      {0x20, NORVAT_STATE_PAPER_OUT},
      {0x40, NORVAT_STATE_ERROR}}},
    {4, {{0x0C, NORVAT_STATE_PAPER_LOW}, {0x60, NORVAT_STATE_PAPER_OUT}, {0, 0}, {0, 0}}},
    {3,
     {{0x08, NORVAT_STATE_CUTTER_ERROR},
      {0x20, NORVAT_STATE_UNRECOVERABLE},
      {0x40, NORVAT_STATE_ERROR},
      {0, 0}}},
};

/* The most bytes one discard takes, so a device that never stops sending cannot hold it. */
const int kLongestDiscard = 1 << 16;

bool TimedOut(void)
{
    return PlatformError() == NORVAT_E_TIMEOUT;
}

} // namespace

unsigned DecodePrinterStatus(unsigned statusByte)
{
    unsigned state = 0;
    if ((statusByte & kNoError) == 0)
        state |= NORVAT_STATE_ERROR;
    if ((statusByte & kSelected) == 0)
        state |= NORVAT_STATE_OFFLINE;
    if ((statusByte & kPaperEmpty) != 0)
        state |= NORVAT_STATE_PAPER_OUT;
    return state;
}

int ReadPortState(PortSession *port, unsigned *state, unsigned *known)
{
    *state = *known = 0;
    switch (port->portKind) {
    case kPortUsbPrinter:
    case kPortParallel:
        return ReadPrinterState(port, state, known);
    case kPortSerialLine:
        if (!ReadModemState(port, state))
            return 0;
        *known = NORVAT_STATE_DSR | NORVAT_STATE_CTS | NORVAT_STATE_DCD;
        return 1;
    case kPortNetwork:
        *known = NORVAT_STATE_DISCONNECTED;
        *state = ConnectionEnded(port) ? NORVAT_STATE_DISCONNECTED : 0;
        return 1;
    case kPortDevice:
        return 1;
    }
    return 1;
}

int DiscardInput(PortSession *port)
{
    int discarded = 0;
    char scratch[512];
    while (discarded < kLongestDiscard) {
        uint32_t got = 0;
        if (!ReadPort(port, scratch, sizeof scratch, 0, &got))
            return TimedOut() ? discarded : -1;
        discarded += (int)got;
    }
    return discarded;
}

int AskEscPosStatus(PortSession *port, int timeoutMs, unsigned *state)
{
    *state = 0;
    if (DiscardInput(port) < 0)
        return 0;
    const uint32_t start = TickMs();
    int answered = 0;
    for (const Request &request : kRequests) {
        const unsigned char ask[3] = {0x10, 0x04, request.n};
        int64_t left = (int64_t)timeoutMs - (int64_t)(TickMs() - start);
        if (left <= 0)
            break;
        const uint32_t sent = WritePort(port, (const char *)ask, 3, WriteBoundMs(port, 3, (int)left));
        if (sent == 0 && answered == 0)
            return 0; /* the write's reason: timed out, gone, cancelled */
        if (sent != 3)
            break;
        /* One byte at a time, so nothing after the answer is taken; what is no status byte is
         * thrown away. A read that ended quietly is asked again while time is left. */
        bool gotAnswer = false;
        while (!gotAnswer && (left = (int64_t)timeoutMs - (int64_t)(TickMs() - start)) > 0) {
            unsigned char b = 0;
            uint32_t got = 0;
            if (!ReadPort(port, (char *)&b, 1, (uint32_t)left, &got)) {
                if (!TimedOut())
                    return 0; /* the device failed: its reason stays */
                continue;
            }
            if (got != 1 || !IsStatusByte(b))
                continue;
            for (const StatusBit &bit : request.bits)
                if ((b & bit.mask) != 0)
                    *state |= bit.state;
            gotAnswer = true;
        }
        if (!gotAnswer)
            break;
        answered++;
    }
    if (answered == 0)
        SetReason(kReasonTimedOut);
    return answered;
}
