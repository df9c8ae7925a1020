/* Opening a network printer: the part both platforms share. */
#include "port/network.h"

#include "interface/reason.h"
#include "interface/session.h"

int OpenNetworkPrinter(const char *name)
{
    NetworkAddress address;
    if (!ParseNetworkAddress(name, &address))
        return Refuse(kReasonBadArgument);
    /* As for any open: the old port goes first, so a failed connect leaves none open. */
    ClosePortHandle();
    return ConnectNetworkPrinter(&address);
}
