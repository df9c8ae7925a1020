#!/usr/bin/env bash
# Runs the bench: installs what it needs, builds both Windows targets and the Linux library,
# brings up the simulated devices and runs norvat_bench.exe for x64 and, where this machine can
# execute 32-bit programs, x86, then norvat_bench for Linux on a pseudo-terminal. Prints each
# table; the figures land in build/bench/norvat-bench-<arch>.json. The test bed is
# taken down again only if this script brought it up. Exit status 0 when every run completed
# (a target missed is reported in the table, not in the status).
set -uo pipefail
. "$(dirname "$0")/lib.sh"
mkdir -p "$NORVAT_BUILD/bench"
cd "$NORVAT_ROOT"

norvat_install_packages || exit 1
for preset in x64 x86 linux; do
    echo "== build $preset"
    norvat_build "$preset" || exit 1
done

if ! scripts/testbed.sh status 2>/dev/null | grep -q '^wineserver: running'; then
    trap 'scripts/testbed.sh down' EXIT
fi
echo "== simulated devices"
scripts/testbed.sh up || exit 1

# Wine maps the Linux root to drive Z:.
winpath() { echo "Z:$1" | tr / '\\'; }

status=0
run_bench() {
    local arch=$1 loader=$2 json="$NORVAT_BUILD/bench/norvat-bench-$1.json"
    echo "== bench $arch"
    rm -f "$json"
    (
        norvat_wine_env
        [ "$arch" = x86 ] && unset WINELOADER
        cd "$NORVAT_BUILD/$arch/bin" && "$loader" norvat_bench.exe --json "$(winpath "$json")"
    ) || status=1
    [ -f "$json" ] || { echo "no figures from $arch"; status=1; }
}

run_bench x64 /usr/lib/wine/wine64
if norvat_can_run_win32; then
    run_bench x86 /usr/lib/wine/wine
else
    echo "== bench x86 SKIPPED: $(norvat_win32_skip_reason)"
fi
echo "== bench linux"
rm -f "$NORVAT_BUILD/bench/norvat-bench-linux.json"
"$NORVAT_BUILD/linux/bin/norvat_bench" --json "$NORVAT_BUILD/bench/norvat-bench-linux.json" || status=1
echo
ls -l "$NORVAT_BUILD"/bench/*.json 2>/dev/null
exit $status
