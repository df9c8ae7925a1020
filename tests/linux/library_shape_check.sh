#!/usr/bin/env bash
# Reads libNorvat.so back and fails on any difference from what hosts rely on: the SONAME,
# exactly the functions of norvat.h exported (and nothing else of ours), and libc as the only
# library it needs (libudev is loaded at run time). usage: library_shape_check.sh LIBRARY
set -uo pipefail
lib=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

soname=$(objdump -p "$lib" | awk '/SONAME/ { print $2 }')
[ "$soname" = libNorvat.so.1 ] || fail "SONAME is '$soname', not libNorvat.so.1"

needed=$(objdump -p "$lib" | awk '/NEEDED/ { print $2 }' | LC_ALL=C sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "needs: $needed"

# Every function the header declares, by name.
header=$(dirname "$0")/../../include/norvat.h
expected=$(sed -n 's/^NORVAT_API [^(]*NORVAT_CALL \([A-Za-z_]*\)(.*/\1/p' "$header" | LC_ALL=C sort | tr '\n' ' ')
[ -n "$expected" ] || fail "no functions read from $header"
exported=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ { print $3 }' | LC_ALL=C sort | tr '\n' ' ')
[ "$exported" = "$expected" ] || fail "exports: $exported"

# C linkage, and code: a C++-mangled or data export would not bind by plain name.
for name in $expected; do
    nm -D --defined-only "$lib" | grep -qE " T $name\$" || fail "$name is not a plain function"
done

[ "$failures" -eq 0 ] && echo "libNorvat.so: SONAME, the header's functions exported, needs libc only"
exit $((failures > 0))
