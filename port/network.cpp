/* Opening a network printer: the part both platforms share. */
#include "port/network.h"

#include "interface/reason.h"

int OpenNetworkPrinter(PortSession *port, const char *name, int connectMs)
{
    NetworkAddress address;
    if (!ParseNetworkAddress(name, &address))
        return Refuse(kReasonBadArgument);
    /* As for any open: the old port goes first, so a failed connect leaves none open. */
    ClosePortHandle(port);
    return ConnectNetworkPrinter(port, &address, connectMs);
}
