#!/usr/bin/env bash
# Runs every test: installs what it needs, builds both DLLs, the native checks and the Linux
# library, lays out the release, brings up the simulated devices and runs ctest for the native
# checks, then the 64-bit and the 32-bit Windows tests under Wine, then the Linux tests natively
# under umockdev, then the bindings (scripts/test_bindings.sh), then each kind of package as its
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
# Runs one ctest preset and records "preset total failed" (failed is -1 when ctest broke off).
run_ctest() {
    local preset=$1 log="$NORVAT_BUILD/ctest-$1.log" total bad
    shift
    echo "== tests: $preset"
    ctest --preset "$preset" "$@" 2>&1 | tee "$log" | grep -E '^ *[0-9]+/[0-9]+ Test|tests passed|\*\*\*'
    total=$(sed -n 's/.*tests failed out of \([0-9]*\).*/\1/p' "$log" | tail -n 1)
    bad=$(sed -n 's/.* \([0-9]*\) tests failed out of.*/\1/p' "$log" | tail -n 1)
    if [ -z "$total" ]; then
        echo "ctest $preset did not finish"
        echo "$preset 0 -1" >>"$counts"
        # The cause (a discovery that failed or timed out, say) goes at the end of the output.
        { echo "ctest $preset did not finish:"
          grep -E 'Error|rror:|imeout|Result:' "$log" | head -n 8 | sed 's/^/    /'; } >>"$failures"
    else
        echo "$preset $total $bad" >>"$counts"
        if [ "$bad" != 0 ]; then
            { echo "ctest $preset:"; sed -n '/tests FAILED:/,$p' "$log" | sed -n '2,21p' | grep -v '^Errors while'; } >>"$failures"
        fi
    fi
}

run_ctest native
(norvat_wine_env; run_ctest x64)
skipped=0
if norvat_can_run_win32; then
    (norvat_wine_env; unset WINELOADER; run_ctest x86)
else
    # The same sources make the same tests on both targets.
    skipped=$(awk '$1 == "x64" { print $2 }' "$counts")
    echo "== tests: x86 runtime SKIPPED (${skipped:-0} tests): $(norvat_win32_skip_reason)"
    echo "   the 32-bit DLL's exports, imports, calling convention and version were checked statically"
fi
# Each Linux test makes its own umockdev test bed, so they run side by side.
run_ctest linux -j 3

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

passed=$(awk '$3 >= 0 { p += $2 - $3 } END { print p + 0 }' "$counts")
failed=$(awk '{ f += ($3 < 0 ? 1 : $3) } END { print f + 0 }' "$counts")
echo
if [ -s "$failures" ]; then echo "Failures:"; cat "$failures"; echo; fi
echo "Summary: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
