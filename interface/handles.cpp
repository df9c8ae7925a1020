/* Ports by handle: any number open at once, each with its own record and lock. */
#include "include/norvat.h"
#include "interface/ports.h"
#include "interface/reason.h"
#include "interface/text.h"
#include "interface/timing.h"
#include "io/io.h"
#include "port/name.h"
#include "port/port.h"
#include "usb/usb.h"

namespace {

/* Whether name names a USB printer (by its link, serial or listing text) rather than a port. A
 * text with '#' never names a serial port; on Windows a "/dev/" text is a printer's serial. */
bool NamesPrinter(const char *name)
{
    switch (ClassifyPortName(name)) {
    case kPortNameNetwork:
    case kPortNameParallel:
        return false;
    case kPortNameSerial:
        for (const char *p = name; *p != '\0'; p++)
            if (*p == '#')
                return true;
        return false;
    case kPortNameDevicePath:
        return !kOpensDevicePaths;
    case kPortNameDeviceLink:
        break;
    }
    return true;
}

/* Opens what name names into port: 1, or 0 with the reason set. */
int OpenNamed(PortSession *port, const char *name, int connectMs)
{
    if (NamesPrinter(name))
        return OpenPrinter(port, name);
    return OpenPortByName(port, name, connectMs);
}

/* Makes sure a handle's device is there before a call uses it: 0, or NORVAT_ERR_GONE while a
 * printer that went away is still away. A USB or network printer that went is opened again
 * (its connection, for a network printer that closed it while idle, made anew). */
int Present(norvat_port *port)
{
    PortSession *session = &port->session;
    if (port->reopens && PortIsOpen(session) && session->portKind == kPortNetwork &&
        ConnectionEnded(session))
        ClosePortHandle(session);
    if (PortIsOpen(session))
        return 0;
    if (port->reopens && OpenNamed(session, port->openedName, kReconnectTimeoutMs))
        return 0;
    return NORVAT_ERR_GONE; /* the platform's code of the last try stays */
}

/* The portable code of a failed call on a device; a USB or network printer that is gone is let
 * go, so that the next call looks for it again. */
int IoFailure(norvat_port *port)
{
    const int code = PortableFailure(kFailedIo);
    if (code == NORVAT_ERR_GONE && port->reopens)
        ClosePortHandle(&port->session);
    return code;
}

/* A call on a handle, from its turn at the port to the end of it. */
class HandleCall {
public:
    explicit HandleCall(norvat_port *port) : port_(port), begun_(BeginCall(port, &closing_)) {}
    ~HandleCall()
    {
        if (begun_)
            EndCall(port_);
    }
    HandleCall(const HandleCall &) = delete;
    HandleCall &operator=(const HandleCall &) = delete;

    bool Begun() const { return begun_; }
    /* Why it did not begin: no open handle, or one closed while the call waited for its turn. */
    int Refusal() const { return PortableRefusal(closing_ ? kReasonCancelled : kReasonBadArgument); }
    norvat_port *Port() const { return port_; }
    PortSession *Session() const { return &port_->session; }

private:
    CallScope scope_;
    norvat_port *port_;
    bool closing_ = false;
    bool begun_;
};

} // namespace

int PortableRefusal(Reason reason)
{
    SetReason(reason);
    return PortableFailure(kFailedOpen);
}

int NORVAT_CALL norvat_open(const char *name, norvat_port **handle)
{
    /* No name of any port comes near this long; the handle keeps the whole name. */
    if (name == NULL || handle == NULL || BoundedLength(name, kOpenedNameField) >= kOpenedNameField)
        return PortableRefusal(kReasonBadArgument);
    CallScope scope;
    norvat_port *port = (norvat_port *)AllocateZeroed(sizeof *port);
    if (port == NULL)
        return NORVAT_ERR_SYSTEM;
    port->session.portHandle = NORVAT_NO_PORT;
    port->session.portKind = kPortDevice;
    port->session.writeTimeoutMs = kWriteWaitMs;
    InitPortLock(&port->lock);
    if (!InitSession(&port->session)) {
        const int code = PortableFailure(kFailedOpen);
        DestroyPortLock(&port->lock);
        FreeMemory(port);
        return code;
    }
    CopyText(port->openedName, sizeof port->openedName, name);
    port->reopens = NamesPrinter(name) || ClassifyPortName(name) == kPortNameNetwork;
    /* Listed before it opens, so that two opens of one device cannot both get it. */
    ListPort(port);
    if (!OpenNamed(&port->session, name, kConnectTimeoutMs)) {
        const int code = PortableFailure(kFailedOpen);
        UnlistPort(port);
        FinishSession(&port->session);
        DestroyPortLock(&port->lock);
        FreeMemory(port);
        return code;
    }
    *handle = port;
    return 0;
}

int NORVAT_CALL norvat_close(norvat_port *port)
{
    if (port == NULL)
        return 0;
    CallScope scope;
    if (!CancelCall(port, true))
        return PortableRefusal(kReasonBadArgument);
    /* Our turn comes after the call in flight has seen the cancel, and after the calls queued
     * before us have given up. */
    LockPort(&port->lock);
    ClosePortHandle(&port->session);
    UnlockPort(&port->lock);
    LockRegistry();
    port->users--; /* the count CancelCall took for us */
    UnlockRegistry();
    UnlistPort(port);
    FinishSession(&port->session);
    DestroyPortLock(&port->lock);
    FreeMemory(port);
    return 0;
}

int NORVAT_CALL norvat_write(norvat_port *port, const void *data, int count, int timeout_ms)
{
    if (count < 0 || (data == NULL && count > 0))
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    if (count == 0)
        return 0;
    if (const int gone = Present(call.Port()))
        return gone;
    PortSession *session = call.Session();
    const uint32_t n = (uint32_t)count;
    const uint32_t written =
        WritePort(session, (const char *)data, n, WriteBoundMs(session, n, timeout_ms));
    return written > 0 ? (int)written : IoFailure(call.Port());
}

int NORVAT_CALL norvat_read(norvat_port *port, void *buffer, int size, int timeout_ms)
{
    if (size < 0 || (buffer == NULL && size > 0))
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    if (size == 0)
        return 0;
    /* A connection the printer closed is not made anew here: what it sent before is read first,
     * and the read after that says the connection ended. */
    if (!PortIsOpen(call.Session()))
        if (const int gone = Present(call.Port()))
            return gone;
    const uint32_t window = timeout_ms < 0 ? (uint32_t)kReadWindowMs : (uint32_t)timeout_ms;
    uint32_t received = 0;
    if (ReadPort(call.Session(), (char *)buffer, (uint32_t)size, window, &received))
        return (int)received;
    const int code = IoFailure(call.Port());
    /* Nothing came in time: no failure. */
    return code == NORVAT_ERR_TIMEOUT ? 0 : code;
}

int NORVAT_CALL norvat_set_baud_rate(norvat_port *port, int rate)
{
    if (rate <= 0)
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    PortSession *session = call.Session();
    if (session->portKind != kPortSerialLine)
        return PortableRefusal(kReasonNoSerialLine);
    return SetLineSpeed(session, rate) ? 0 : PortableFailure(kFailedIo);
}

int NORVAT_CALL norvat_status(norvat_port *port, unsigned *state, unsigned *known)
{
    if (state == NULL)
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    PortSession *session = call.Session();
    unsigned kinds = 0;
    *state = 0;
    if (session->portKind == kPortNetwork || (!PortIsOpen(session) && port->reopens &&
                                              ClassifyPortName(port->openedName) ==
                                                  kPortNameNetwork)) {
        /* A network printer's state is its connection, as it stands: asking never connects. */
        kinds = NORVAT_STATE_DISCONNECTED;
        if (!PortIsOpen(session) || ConnectionEnded(session))
            *state = NORVAT_STATE_DISCONNECTED;
    } else {
        if (const int gone = Present(port))
            return gone;
        if (!ReadPortState(session, state, &kinds)) {
            const int code = IoFailure(port);
            /* A driver that does not answer the request: nothing is known, which is no failure. */
            if (code != NORVAT_ERR_UNSUPPORTED)
                return code;
            *state = kinds = 0;
        }
    }
    if (known != NULL)
        *known = kinds;
    return 0;
}

int NORVAT_CALL norvat_pending(norvat_port *port)
{
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    PortSession *session = call.Session();
    return PortIsOpen(session) ? (int)PendingBytes(session) : 0;
}

int NORVAT_CALL norvat_discard_input(norvat_port *port)
{
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    if (const int gone = Present(port))
        return gone;
    const int discarded = DiscardInput(call.Session());
    return discarded >= 0 ? discarded : IoFailure(port);
}

int NORVAT_CALL norvat_escpos_status(norvat_port *port, int timeout_ms, unsigned *state)
{
    if (state == NULL)
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return call.Refusal();
    *state = 0;
    if (const int gone = Present(port))
        return gone;
    const int answered =
        AskEscPosStatus(call.Session(), timeout_ms < 0 ? kEscPosWaitMs : timeout_ms, state);
    return answered > 0 ? answered : IoFailure(port);
}

int NORVAT_CALL norvat_cancel(norvat_port *port)
{
    CallScope scope;
    return CancelCall(port, false) ? 0 : PortableRefusal(kReasonBadArgument);
}

const char *NORVAT_CALL norvat_error_text(int result)
{
    switch (result) {
    case NORVAT_ERR_ARGUMENT: return "argument refused";
    case NORVAT_ERR_NOT_FOUND: return "no such port or printer";
    case NORVAT_ERR_BUSY: return "port already open";
    case NORVAT_ERR_ACCESS: return "permission denied";
    case NORVAT_ERR_TIMEOUT: return "timed out";
    case NORVAT_ERR_UNSUPPORTED: return "not supported on this port";
    case NORVAT_ERR_GONE: return "device gone";
    case NORVAT_ERR_CANCELLED: return "cancelled";
    case NORVAT_ERR_SYSTEM: return "system error";
    default: return result >= 0 ? "success" : "unknown result";
    }
}
