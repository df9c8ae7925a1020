#!/usr/bin/env bash
# Simulated devices for the Windows tests, in a throwaway Wine prefix under the build tree.
#   testbed.sh up     set up (idempotent): prefix, persistent wineserver, COM pairs, LPT FIFOs
#   testbed.sh down   stop what "up" started (by process id) and remove the devices
#   testbed.sh status what is running
# COM1-COM4 and COM7-COM9 are the library's ends of socat pty pairs; COM11-COM14 and
# COM17-COM19 are the matching device ends the tests use. LPT1 and LPT2 are FIFOs. After an x64
# build, the test driver (tests/win/driver/) runs too: simulated devices with state, plugged by
# the tests themselves.
set -euo pipefail
. "$(dirname "$0")/lib.sh"

DEV=$NORVAT_TESTBED/dev
PIDS=$NORVAT_TESTBED/pids
WINE_LOG=$NORVAT_TESTBED/wine.log
COM_PORTS="1 2 3 4 7 8 9"
DRIVER=norvat_testprn
DRIVER_SYS=$NORVAT_BUILD/x64/bin/$DRIVER.sys

alive() { [ -f "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null; }

start_wineserver() {
    alive "$PIDS/wineserver" && return 0
    mkdir -p "$WINEPREFIX"
    # In the foreground (-f) so that we hold its id; persistent (-p) so that the mount manager
    # and the registry stay up between the many short test processes.
    /usr/lib/wine/wineserver64 -f -p >"$NORVAT_TESTBED/wineserver.log" 2>&1 &
    echo $! >"$PIDS/wineserver"
    sleep 0.5
}

# Ends the Windows processes of this prefix (services, device hosts, tests) together with its
# server; killing the server alone would leave them behind.
stop_wineserver() {
    alive "$PIDS/wineserver" || return 0
    /usr/lib/wine/wineserver64 -k 2>/dev/null || true
    for _ in $(seq 50); do alive "$PIDS/wineserver" || break; sleep 0.1; done
    rm -f "$PIDS/wineserver"
}

# A prefix made where 32-bit programs could not run has no 32-bit side; once they can (wine32
# installed later), it is made again.
fresh_prefix=0
init_prefix() {
    local kind=win64
    norvat_can_run_win32 && kind=wow64
    if [ -f "$WINEPREFIX/.norvat-ready" ]; then
        if [ "$kind" = win64 ] || [ "$(cat "$WINEPREFIX/.norvat-ready")" = wow64 ]; then
            return 0
        fi
        stop_wineserver
        rm -rf "$WINEPREFIX"
        start_wineserver
    fi
    fresh_prefix=1
    if [ "$kind" = wow64 ]; then
        (unset WINELOADER; /usr/lib/wine/wine wineboot.exe -i) >"$NORVAT_TESTBED/wineboot.log" 2>&1
    else
        /usr/lib/wine/wine64 wineboot.exe -i >"$NORVAT_TESTBED/wineboot.log" 2>&1
    fi
    echo "$kind" >"$WINEPREFIX/.norvat-ready"
}

start_pair() {
    local n=$1 d=$(( $1 + 10 ))
    if ! alive "$PIDS/socat-com$n"; then
        rm -f "$DEV/com$n" "$DEV/com$d"
        socat pty,raw,echo=0,link="$DEV/com$n" pty,raw,echo=0,link="$DEV/com$d" \
            >"$NORVAT_TESTBED/socat-com$n.log" 2>&1 &
        echo $! >"$PIDS/socat-com$n"
    fi
}

# Runs a Windows program of the prefix, its output going to the log.
wine_run() { /usr/lib/wine/wine64 "$@" </dev/null >>"$WINE_LOG" 2>&1; }

driver_running() { /usr/lib/wine/wine64 sc.exe query "$DRIVER" 2>/dev/null | grep -q RUNNING; }

# Installs the driver that the x64 build made (again, when it changed), registers it as a
# demand-start kernel service and starts it; skipped without an x64 build. The path in the
# service entry must be absolute: a relative one fails to load (c0000142).
start_driver() {
    local installed="$WINEPREFIX/drive_c/windows/system32/drivers/$DRIVER.sys"
    [ -f "$DRIVER_SYS" ] || return 0
    if ! cmp -s "$DRIVER_SYS" "$installed"; then
        stop_driver
        cp "$DRIVER_SYS" "$installed"
    fi
    /usr/lib/wine/wine64 sc.exe query "$DRIVER" >/dev/null 2>&1 ||
        wine_run sc.exe create "$DRIVER" type= kernel start= demand \
            binpath= "C:\\windows\\system32\\drivers\\$DRIVER.sys"
    driver_running || wine_run sc.exe start "$DRIVER"
    driver_running || { echo "the test driver did not start (see $WINE_LOG)" >&2; exit 1; }
}

# Stops the driver (its unload routine runs) if it runs.
stop_driver() {
    alive "$PIDS/wineserver" && driver_running || return 0
    wine_run sc.exe stop "$DRIVER" || true
}

up() {
    mkdir -p "$DEV" "$PIDS"
    norvat_wine_env
    start_wineserver
    init_prefix
    local n reg="$NORVAT_TESTBED/ports.reg"
    for n in $COM_PORTS; do start_pair "$n"; done
    for n in 1 2; do [ -p "$DEV/lpt$n" ] || { rm -f "$DEV/lpt$n"; mkfifo "$DEV/lpt$n"; }; done
    for n in $COM_PORTS; do
        for _ in $(seq 50); do [ -e "$DEV/com$n" ] && [ -e "$DEV/com$((n + 10))" ] && break; sleep 0.1; done
        [ -e "$DEV/com$n" ] || { echo "socat pair for COM$n did not come up" >&2; exit 1; }
    done
    # Wine's mount manager rebuilds dosdevices from this key when it starts, so the mapping
    # goes in both places.
    {
        echo "REGEDIT4"; echo; echo "[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]"
        for n in $COM_PORTS; do
            echo "\"COM$n\"=\"$DEV/com$n\""
            echo "\"COM$((n + 10))\"=\"$DEV/com$((n + 10))\""
        done
        echo "\"LPT1\"=\"$DEV/lpt1\""; echo "\"LPT2\"=\"$DEV/lpt2\""
    } >"$reg"
    /usr/lib/wine/wine64 regedit.exe /S "$(echo "Z:$reg" | tr / '\\')" </dev/null >>"$WINE_LOG" 2>&1
    for n in $COM_PORTS; do
        ln -sfn "$DEV/com$n" "$WINEPREFIX/dosdevices/com$n"
        ln -sfn "$DEV/com$((n + 10))" "$WINEPREFIX/dosdevices/com$((n + 10))"
    done
    ln -sfn "$DEV/lpt1" "$WINEPREFIX/dosdevices/lpt1"
    ln -sfn "$DEV/lpt2" "$WINEPREFIX/dosdevices/lpt2"
    # The mount manager of a new prefix started before the ports were written: it opens them
    # by their links, but lists only what it found at start (the DOS device names and the
    # SERIALCOMM map that "norvat ports" shows). A server restart starts it again.
    if [ "$fresh_prefix" = 1 ]; then
        stop_wineserver
        start_wineserver
    fi
    # The first program after a server start launches the prefix's services, and they inherit
    # its standard handles. Were that program a test run by ctest, they would hold ctest's pipe
    # open and the run would wait for them until it timed out. So a throwaway program goes
    # first, its output going to a file.
    /usr/lib/wine/wine64 cmd.exe /c exit </dev/null >>"$WINE_LOG" 2>&1
    start_driver
}

down() {
    local f
    norvat_wine_env
    stop_driver
    stop_wineserver
    for f in "$PIDS"/socat-* "$PIDS"/wineserver; do
        [ -f "$f" ] || continue
        kill "$(cat "$f")" 2>/dev/null || true
        rm -f "$f"
    done
    rm -rf "$DEV"
}

status() {
    local f
    for f in "$PIDS"/*; do
        [ -f "$f" ] || continue
        if alive "$f"; then echo "$(basename "$f"): running ($(cat "$f"))"; else echo "$(basename "$f"): gone"; fi
    done
}

case "${1:-}" in
    up) up ;;
    down) down ;;
    status) status ;;
    *) echo "usage: $0 up|down|status" >&2; exit 2 ;;
esac
