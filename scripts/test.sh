#!/usr/bin/env bash
# Runs every test: installs what it needs, builds both DLLs, the native checks and the Linux
# library, lays out the release, brings up the simulated devices and runs ctest for the native
# checks, then the 64-bit and the 32-bit Windows tests under Wine, then the Linux tests natively
# under umockdev (the library and the tool also where libudev.so.1 is missing: a mount namespace
# of their own, as root), then the bindings (scripts/test_bindings.sh), then each kind of package as its
# ecosystem installs it (tests/packages/*.sh, from release/packages/). On machines that cannot execute
# 32-bit programs the 32-bit DLL is still checked statically (native checks), and its runtime
# tests are reported as skipped.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
mkdir -p "$NORVAT_BUILD"
cd "$NORVAT_ROOT"

norvat_install_packages || exit 1
for preset in x86 x64 native linux; do
    echo "== build $preset"
    norvat_build "$preset" || exit 1
done

echo "== release folder"
scripts/release.sh --no-build || exit 1

echo "== simulated devices"
scripts/testbed.sh up || exit 1
trap 'scripts/testbed.sh down' EXIT

counts="$NORVAT_BUILD/ctest-counts"
failures="$NORVAT_BUILD/test-failures"
: >"$counts"
: >"$failures"
# Runs one ctest preset under a label and records "label total failed skipped" (failed is -1
# when ctest broke off; skipped are the tests that skipped themselves, with their reason in the
# log); $wrap, when set, is the command ctest runs under.
wrap=
run_ctest() {
    local label=$1 preset=$2 log="$NORVAT_BUILD/ctest-$1.log" total bad self_skipped
    shift 2
    echo "== tests: $label"
    $wrap ctest --preset "$preset" "$@" 2>&1 | tee "$log" | grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|\*\*\*'
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    bad=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    if [ -z "$total" ]; then
        echo "ctest $label did not finish"
        echo "$label 0 -1" >>"$counts"
        # The cause (a discovery that failed or timed out, say) goes at the end of the output.
        { echo "ctest $label did not finish:"
          grep -E 'Error|rror:|imeout|Result:' "$log" | head -n 8 | sed 's/^/    /'; } >>"$failures"
    else
        self_skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \(Skipped\)$' "$log" || true)
        echo "$label $total $bad $self_skipped" >>"$counts"
        # Why, from the tests' own words (ctest shows only the failures' output).
        [ "$self_skipped" = 0 ] || awk '/: Skipped$/ { getline why; print "   SKIPPED: " why }' \
            "$NORVAT_BUILD/$preset/Testing/Temporary/LastTest.log" | sort -u
        if [ "$bad" != 0 ]; then
            { echo "ctest $label:"; sed -n '/tests FAILED:/,$p' "$log" | sed -n '2,21p' | grep -v '^Errors while'; } >>"$failures"
        fi
    fi
}

# The network printer tests under Wine (suites named Network...) run apart (below); the rest here.
network='^Network'
run_ctest native native
(norvat_wine_env; run_ctest x64 x64 -E "$network")
skipped=0
if norvat_can_run_win32; then
    (norvat_wine_env; unset WINELOADER; run_ctest x86 x86 -E "$network")
else
    # The same sources make the same tests on both targets.
    skipped=$(awk '$1 == "x64" { print $2 }' "$counts")
    echo "== tests: x86 runtime SKIPPED (${skipped:-0} tests): $(norvat_win32_skip_reason)"
    echo "   the 32-bit DLL's exports, imports, calling convention and version were checked statically"
fi

# Wine's server makes every socket of the programs it serves, so for the network printer tests
# it runs in a network namespace of this run's own: loopback only, and the tests' packet filter
# rules touch nothing else.
if [ "$(id -u)" = 0 ] && unshare -n true 2>/dev/null; then
    scripts/testbed.sh down
    wrap=scripts/own-network.sh
    (norvat_wine_env; run_ctest x64-network x64 -R "$network")
    if norvat_can_run_win32; then
        (norvat_wine_env; unset WINELOADER; run_ctest x86-network x86 -R "$network")
    else
        n=$(awk '$1 == "x64-network" { print $2 }' "$counts")
        skipped=$((skipped + ${n:-0}))
        echo "== tests: x86 network printers SKIPPED (${n:-0} tests): $(norvat_win32_skip_reason)"
    fi
    wrap=
    scripts/testbed.sh up || exit 1
else
    echo "== tests: network printers under Wine SKIPPED: a network namespace needs root (unshare -n)"
fi
# Each Linux test makes its own umockdev test bed, so they run side by side.
run_ctest linux linux -j 3

# Runs a script that prints "passed:"/"FAILED:"/"SKIPPED:" lines and closes with
# "...: N passed, M failed, K skipped"; records "NAME total failed" (-1 when it never closed).
run_script() {
    local name=$1 log="$NORVAT_BUILD/$1.log" line p f s
    shift
    "$@" 2>&1 | tee "$log" | grep -vE '^passed: '
    line=$(grep -E ': [0-9]+ passed, [0-9]+ failed, [0-9]+ skipped$' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        echo "$name 0 -1" >>"$counts"
        echo "$name did not finish: see $log" >>"$failures"
        return
    fi
    read -r p f s <<<"$(sed 's/.*: \([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/' <<<"$line")"
    echo "$name $((p + f)) $f" >>"$counts"
    skipped=$((skipped + s))
    if [ "$f" != 0 ]; then { echo "$name:"; grep '^FAILED: ' "$log" | sed 's/^FAILED: /    /'; } >>"$failures"; fi
}

echo "== tests: bindings"
run_script bindings scripts/test_bindings.sh
for script in tests/packages/wheel.sh tests/packages/npm.sh tests/packages/nuget.sh tests/packages/deb.sh; do
    echo "== tests: packages, $(basename "$script" .sh)"
    run_script "package-$(basename "$script" .sh)" "$script"
done

passed=$(awk '$3 >= 0 { p += $2 - $3 - $4 } END { print p + 0 }' "$counts")
skipped=$((skipped + $(awk '{ s += $4 } END { print s + 0 }' "$counts")))
failed=$(awk '{ f += ($3 < 0 ? 1 : $3) } END { print f + 0 }' "$counts")
echo
if [ -s "$failures" ]; then echo "Failures:"; cat "$failures"; echo; fi
echo "Summary: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
