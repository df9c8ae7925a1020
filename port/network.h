/* Network printers: "tcp://HOST[:PORT]", a TCP connection to the printer's raw print port
 * (9100 unless told otherwise). network.cpp holds what both platforms share; the socket calls
 * are in network_<platform>.cpp here and socket_<platform>.cpp in io/. */
#ifndef NORVAT_NETWORK_H
#define NORVAT_NETWORK_H

#include "port/name.h"

/* Connecting gives up after this long in all, over every address the name resolves to. */
enum { kConnectTimeoutMs = 5000 };

/* Opens the network printer that name (a "tcp://" text) addresses, into the session. A malformed
 * address is refused with the bad-argument reason and changes nothing, an open port included;
 * otherwise the open port is closed first. Returns 1 when connected; 0 with the reason set (the
 * resolver's code for a name it does not know, the platform's for a refused or timed-out
 * connection). */
int OpenNetworkPrinter(const char *name);

/* Resolves and connects within kConnectTimeoutMs; on success stores the socket in the session,
 * set up for printing (no Nagle delay, a dead printer ending the connection within the write
 * bound). Returns 1, or 0 with the reason set. Platform file. */
int ConnectNetworkPrinter(const NetworkAddress *address);

#endif
