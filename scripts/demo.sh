#!/usr/bin/env bash
# The main job: builds Norvat.dll for 32-bit x86 and 64-bit x86-64 and libNorvat.so for Linux,
# sets up simulated devices under Wine and, for each Windows target, drives them with the norvat
# tool built on the DLL: the version, a command and its answer on a serial port, the USB printer
# listing, and a command to a USB printer opened by its listing text; then printers of other
# makers through handles: every port listed, a printer's state, jobs to several printers at once.
# Then the same built on libNorvat.so against devices umockdev emulates.
# Last, the release folder and the packages (scripts/release.sh).
set -euo pipefail
. "$(dirname "$0")/lib.sh"
mkdir -p "$NORVAT_BUILD"
cd "$NORVAT_ROOT"

norvat_install_packages
for preset in x86 x64 linux; do
    echo "== build $preset"
    norvat_build "$preset"
done
echo "   $(ls -l build/x86/bin/Norvat.dll | awk '{print $5}') bytes  build/x86/bin/Norvat.dll"
echo "   $(ls -l build/x64/bin/Norvat.dll | awk '{print $5}') bytes  build/x64/bin/Norvat.dll"
echo "   $(ls -lL build/linux/lib/libNorvat.so | awk '{print $5}') bytes  build/linux/lib/libNorvat.so" \
     "(needs: $(objdump -p build/linux/lib/libNorvat.so | awk '/NEEDED/ { printf "%s ", $2 }'))"

echo "== simulated devices"
scripts/testbed.sh up
trap 'scripts/testbed.sh down' EXIT
norvat_wine_env

targets="x64"
if norvat_can_run_win32; then
    targets="x64 x86"
else
    echo "   32-bit run SKIPPED: $(norvat_win32_skip_reason)"
fi

for target in $targets; do
    bin=$NORVAT_ROOT/build/$target/bin
    if [ "$target" = x86 ]; then loader=/usr/lib/wine/wine; else loader=/usr/lib/wine/wine64; fi
    run() { (cd "$bin" && if [ "$target" = x86 ]; then unset WINELOADER; fi && "$loader" "$@"); }
    norvat() { echo "\$ norvat$(printf ' %q' "$@")"; run norvat.exe "$@" | sed 's/^/  /'; }

    echo
    echo "== $target: Norvat.dll against simulated printers"
    stop=$NORVAT_TESTBED/sim-stop ready=$NORVAT_TESTBED/sim-ready
    rm -f "$stop" "$ready"
    # A printer on the far end of COM1, two USB printers the ten exports take, and (where the
    # test bed's 64-bit driver runs) a receipt printer of another maker.
    other=()
    [ "$target" = x64 ] && other=(--printer 04B8:0202 RCPT0001 "Receipt printer, counter"
                                  "MFG:Acme;MDL:RP-80;CMD:ESC/POS;")
    run norvat_simprinter.exe --com 1 \
        --usb LBL0042 "Label printer, front desk" --usb RCP7731 "Receipt printer" \
        "${other[@]}" --until "$stop" --ready "$ready" &
    sim=$!
    for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
    [ -e "$ready" ] || { echo "simulated printers did not start"; exit 1; }

    norvat version
    norvat query COM1 "~HS"
    norvat list
    first=$(run norvat.exe list | head -n 1 | tr -d '\r')
    norvat query "$first" "~HS"
    norvat send --hex "$first" "1B 40"
    if [ "$target" = x64 ]; then
        norvat ports
        norvat status --escpos RCPT0001
        echo "\$ example_printers COM1 RCPT0001"
        run example_printers.exe COM1 RCPT0001 | sed 's/^/  /'
    fi

    touch "$stop"
    wait "$sim"
done

echo
echo "== linux: libNorvat.so against devices umockdev emulates"
# Two USB printers of two makers, a serial and a parallel port; the label printer and the device
# on the serial port each answer one "~HS" with a status line, and the receipt printer the four
# ESC/POS real-time status requests (paper low), as scripted in tests/linux/devices.
devices=$NORVAT_ROOT/tests/linux/devices
(
    cd build/linux/bin
    export LD_LIBRARY_PATH=$NORVAT_ROOT/build/linux/lib
    umockdev-run -d "$devices/printers.umockdev" \
        -s /dev/usb/lp0="$devices/label-printer.script" \
        -s /dev/usb/lp1="$devices/receipt-printer.script" \
        -s /dev/ttyS0="$devices/serial-printer.script" -- bash -c '
        show() { echo "\$ $(printf "%q " "$@")"; timeout 20 "$@" | sed "s/^/  /"; }
        norvat() { show ./norvat "$@"; }
        norvat version
        norvat ports
        norvat list     # the ten exports: their filters leave the other maker out
        norvat query "$(./norvat list | head -n 1)" "~HS"
        norvat query COM1 "~HS"
        norvat status --escpos RCP7731
        show ./example_printers COM1 LBL0042 RCP7731'
)
echo
echo "== release: the folder, its zip and a package for each ecosystem"
scripts/release.sh --no-build | sed 's/^/   /'
echo
echo "== done: both DLLs and libNorvat.so opened, wrote, read and closed their ports"
