#!/usr/bin/env bash
# Reads libNorvat.so back and fails on any difference from what hosts rely on: the SONAME,
# exactly the ten functions exported (and nothing else of ours), and libc and libudev as the only
# libraries it needs. usage: library_shape_check.sh LIBRARY
set -uo pipefail
lib=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

soname=$(objdump -p "$lib" | awk '/SONAME/ { print $2 }')
[ "$soname" = libNorvat.so.1 ] || fail "SONAME is '$soname', not libNorvat.so.1"

needed=$(objdump -p "$lib" | awk '/NEEDED/ { print $2 }' | LC_ALL=C sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 libudev.so.1 " ] || fail "needs: $needed"

expected="FindFirstUSB FindNextUSB GetDllVersion OpenUSB RcvBuf closeport openport sendbuf sendcommand setbaudrate "
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ { print $3 }' | LC_ALL=C sort | tr '\n' ' ')
[ "$exported" = "$expected" ] || fail "exports: $exported"

# C linkage, and code: a C++-mangled or data export would not bind by plain name.
for name in $expected; do
    nm -D --defined-only "$lib" | grep -qE " T $name\$" || fail "$name is not a plain function"
done

[ "$failures" -eq 0 ] && echo "libNorvat.so: SONAME, ten exports, needs libc and libudev only"
exit $((failures > 0))
