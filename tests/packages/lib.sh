# Shared by the package tests (one script per kind, each run by scripts/test.sh): one line per
# check, "passed:", "FAILED:" or "SKIPPED:" with the reason, and a closing
# "Packages KIND: N passed, M failed, K skipped". Each installs from release/packages/ into an
# empty folder of its own under /tmp, which nothing else of the project is in, and removes it.
. "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
cd "$NORVAT_ROOT"

version=$(norvat_version)
major=${version%%.*}
packages=$NORVAT_ROOT/release/packages
release=$NORVAT_ROOT/release/Norvat-$version
devices=$NORVAT_ROOT/tests/bindings
listing="Label printer front desk#LBL0042"
kind=$(basename "$0" .sh)
logs=$NORVAT_BUILD/package-tests/$kind
rm -rf "$logs"
mkdir -p "$logs"
work=$(mktemp -d "/tmp/norvat-$kind.XXXXXX")
trap 'rm -rf "$work"' EXIT

. "$NORVAT_ROOT/scripts/checks.sh"

# check NAME COMMAND...: one check that is a command; its output goes to a log of its own.
check() {
    local name=$1 log
    log=$logs/$(printf '%02d' $((passed + failed + skipped))).log
    shift
    if "$@" >"$log" 2>&1; then pass "$name"; else fail "$name (exit $?)"; show "$log"; return 1; fi
}

# emulated COMMAND...: COMMAND beside the emulated USB printer (answering as
# tests/bindings/printer.script says), a serial and a parallel port; with no LD_LIBRARY_PATH or
# PYTHONPATH, so that only what was installed is found.
emulated() {
    env -u LD_LIBRARY_PATH -u PYTHONPATH TMPDIR="$work" "$devices/with_network_printer.sh" \
        timeout 180 umockdev-run \
        -d "$devices/devices.umockdev" -s "/dev/usb/lp0=$devices/printer.script" -- "$@"
}

# machine FILE: what a library is built for: "pe-i386", "pe-x86-64" or "elf-x86-64".
machine() {
    objdump -f "$1" 2>/dev/null | sed -n 's/.*file format \(pei-i386\|pei-x86-64\|elf64-x86-64\)$/\1/p' |
        sed 's/^pei-/pe-/; s/^elf64-/elf-/'
}

# needs_libc_only LIBRARY: the libraries LIBRARY names as NEEDED are libc.so.6 alone
# (libudev.so.1 is loaded at run time, where it is installed).
needs_libc_only() {
    local needed
    needed=$(objdump -p "$1" | awk '$1 == "NEEDED" { print $2 }' | tr '\n' ' ')
    echo "$1 needs: $needed"
    [ "$needed" = "libc.so.6 " ]
}

summary() {
    echo
    echo "Packages $kind: $passed passed, $failed failed, $skipped skipped"
    [ "$failed" -eq 0 ]
}
