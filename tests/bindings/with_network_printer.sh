#!/usr/bin/env bash
# Runs COMMAND in a network namespace of its own (loopback only, up) beside a network printer on
# 127.0.0.1 (net_printer.py), whose address it finds in NORVAT_TEST_PRINTER. Where no namespace
# can be made (not root), COMMAND runs as it is, without the variable, and the binding tests
# skip their network case.
#   with_network_printer.sh COMMAND...
if [ "${NORVAT_IN_OWN_NETWORK:-}" != 1 ]; then
    if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
        NORVAT_IN_OWN_NETWORK=1 exec unshare -n "$0" "$@"
    fi
    exec "$@"
fi
ip link set lo up || exit 1
coproc PRINTER { exec python3 "$(dirname "$0")/net_printer.py"; }
read -r port <&"${PRINTER[0]}" || { echo "net_printer.py did not start" >&2; exit 1; }
export NORVAT_TEST_PRINTER=tcp://127.0.0.1:$port
"$@"
status=$?
exec {PRINTER[1]}>&-
wait "$PRINTER_PID" 2>/dev/null
exit $status
