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

/* Whether name names a USB printer (by its link, serial or listing text) rather than a port: a
 * text with '#' never names a serial port, and on Windows a "/dev/" text is a serial too. */
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

/* The portable code of a failed call, from the reason it left. */
int Failure(FailedStep step)
{
    return PortableFailure(step);
}

/* A call on a handle, from its turn at the port to the end of it. */
class HandleCall {
public:
    explicit HandleCall(norvat_port *port) : port_(port), begun_(BeginCall(port)) {}
    ~HandleCall()
    {
        if (begun_)
            EndCall(port_);
    }
    HandleCall(const HandleCall &) = delete;
    HandleCall &operator=(const HandleCall &) = delete;

    bool Begun() const { return begun_; }
    PortSession *Session() const { return &port_->session; }

private:
    CallScope scope_;
    norvat_port *port_;
    bool begun_;
};

/* A handle that is not open, or one being closed while the call waited for its turn. */
int NotOpen(norvat_port *port)
{
    (void)port;
    return PortableRefusal(kReasonBadArgument);
}

} // namespace

int PortableRefusal(Reason reason)
{
    SetReason(reason);
    return PortableFailure(kFailedOpen);
}

int NORVAT_CALL norvat_open(const char *name, norvat_port **handle)
{
    if (name == NULL || handle == NULL)
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
        const int code = Failure(kFailedOpen);
        DestroyPortLock(&port->lock);
        FreeMemory(port);
        return code;
    }
    CopyText(port->openedName, sizeof port->openedName, name);
    /* Listed before it opens, so that two opens of one device cannot both get it. */
    ListPort(port);
    if (!OpenNamed(&port->session, name, kConnectTimeoutMs)) {
        const int code = Failure(kFailedOpen);
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
        return NotOpen(port);
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
        return NotOpen(port);
    if (count == 0)
        return 0;
    PortSession *session = call.Session();
    const uint32_t n = (uint32_t)count;
    const uint32_t written =
        WritePort(session, (const char *)data, n, WriteBoundMs(session, n, timeout_ms));
    return written > 0 ? (int)written : Failure(kFailedIo);
}

int NORVAT_CALL norvat_read(norvat_port *port, void *buffer, int size, int timeout_ms)
{
    if (size < 0 || (buffer == NULL && size > 0))
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return NotOpen(port);
    if (size == 0)
        return 0;
    const uint32_t window = timeout_ms < 0 ? (uint32_t)kReadWindowMs : (uint32_t)timeout_ms;
    uint32_t received = 0;
    if (ReadPort(call.Session(), (char *)buffer, (uint32_t)size, window, &received))
        return (int)received;
    const int code = Failure(kFailedIo);
    /* Nothing came in time: no failure. */
    return code == NORVAT_ERR_TIMEOUT ? 0 : code;
}

int NORVAT_CALL norvat_set_baud_rate(norvat_port *port, int rate)
{
    if (rate <= 0)
        return PortableRefusal(kReasonBadArgument);
    HandleCall call(port);
    if (!call.Begun())
        return NotOpen(port);
    PortSession *session = call.Session();
    if (session->portKind != kPortSerialLine)
        return PortableRefusal(kReasonNoSerialLine);
    return SetLineSpeed(session, rate) ? 0 : Failure(kFailedIo);
}

int NORVAT_CALL norvat_cancel(norvat_port *port)
{
    CallScope scope;
    return CancelCall(port, false) ? 0 : NotOpen(port);
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
