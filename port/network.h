/* Network printers: "tcp://HOST[:PORT]", a TCP connection to the printer's raw print port
 * (9100 unless told otherwise). network.cpp holds what both platforms share; the socket calls
 * are in network_<platform>.cpp here and socket_<platform>.cpp in io/. */
#ifndef NORVAT_NETWORK_H
#define NORVAT_NETWORK_H

#include "interface/session.h"
#include "port/name.h"

/* Opens the network printer that name (a "tcp://" text) addresses, into port. A malformed
 * address is refused with the bad-argument reason and changes nothing, an open port included;
 * otherwise the port's device is closed first. Connecting gives up after connectMs in all, over
 * every address the name resolves to. Returns 1 when connected; 0 with the reason set (the
 * resolver's code for a name it does not know, the platform's for a refused or timed-out
 * connection). */
int OpenNetworkPrinter(PortSession *port, const char *name, int connectMs);

/* Resolves and connects within connectMs; on success stores the socket in port, set up for
 * printing (no Nagle delay, a dead printer ending the connection within the write bound).
 * Returns 1, or 0 with the reason set. Platform file. */
int ConnectNetworkPrinter(PortSession *port, const NetworkAddress *address, int connectMs);

#endif
