#!/usr/bin/env bash
# The main job: builds Norvat.dll for 32-bit x86 and 64-bit x86-64 and libNorvat.so for Linux,
# sets up simulated devices under Wine and, for each Windows target, drives them with the norvat
# tool built on the DLL: the version, a command and its answer on a serial port, the USB printer
# listing, and a command to a USB printer opened by its listing text. Then the same tool built
# on libNorvat.so lists the ports and an emulated USB printer under umockdev, and queries it.
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
    # A printer on the far end of COM1, and two USB printers.
    run norvat_simprinter.exe --com 1 \
        --usb LBL0042 "Label printer, front desk" --usb RCP7731 "Receipt printer" \
        --until "$stop" --ready "$ready" &
    sim=$!
    for _ in $(seq 100); do [ -e "$ready" ] && break; sleep 0.1; done
    [ -e "$ready" ] || { echo "simulated printers did not start"; exit 1; }

    norvat version
    norvat query COM1 "~HS"
    norvat list
    first=$(run norvat.exe list | head -n 1 | tr -d '\r')
    norvat query "$first" "~HS"
    norvat send --hex "$first" "1B 40"

    touch "$stop"
    wait "$sim"
done

echo
echo "== linux: libNorvat.so against devices umockdev emulates"
# Two USB printers, a serial and a parallel port; the label printer and the device on the serial
# port each answer one "~HS" with a status line, as scripted in tests/linux/devices.
devices=$NORVAT_ROOT/tests/linux/devices
(
    cd build/linux/bin
    export LD_LIBRARY_PATH=$NORVAT_ROOT/build/linux/lib
    umockdev-run -d "$devices/printers.umockdev" \
        -s /dev/usb/lp0="$devices/label-printer.script" \
        -s /dev/ttyS0="$devices/serial-printer.script" -- bash -c '
        norvat() { echo "\$ norvat$(printf " %q" "$@")"; timeout 20 ./norvat "$@" | sed "s/^/  /"; }
        norvat version
        norvat ports
        norvat query "$(./norvat list | head -n 1)" "~HS"
        norvat query COM1 "~HS"'
)
echo
echo "== release: the folder, its zip and a package for each ecosystem"
scripts/release.sh --no-build | sed 's/^/   /'
echo
echo "== done: both DLLs and libNorvat.so opened, wrote, read and closed their ports"
