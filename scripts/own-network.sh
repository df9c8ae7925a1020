#!/usr/bin/env bash
# Runs a command in a network namespace of its own, where only loopback exists (brought up
# here), with the Windows test bed's Wine server started inside it: Wine's server makes the
# sockets of every program it serves, so network printer tests under Wine reach loopback here
# and nothing else, and their packet filter rules touch nothing else. As root:
#   scripts/own-network.sh COMMAND...     (the test bed must be down outside first)
set -euo pipefail
. "$(dirname "$0")/lib.sh"
if [ "${NORVAT_IN_OWN_NETWORK:-}" != 1 ]; then
    export NORVAT_IN_OWN_NETWORK=1
    exec unshare -n "$0" "$@"
fi
ip link set lo up
"$NORVAT_ROOT/scripts/testbed.sh" up
trap '"$NORVAT_ROOT/scripts/testbed.sh" down' EXIT
"$@"
