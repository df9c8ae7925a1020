#!/usr/bin/env bash
# Reads the symbols of both targets' import libraries and fails on any difference from the
# export table: every function importable by its plain name, cdecl decoration on 32-bit x86
# (a leading underscore, never @N), nNorvat as data only, and Norvat.dll as the DLL named.
# usage: import_libs_check.sh BUILD_ROOT
set -uo pipefail
root=$1
functions=$(sed -n 's/^NORVAT_API [^(]*NORVAT_CALL \([A-Za-z_]*\)(.*/\1/p' "$(dirname "$0")/../../include/norvat.h")
samples="_ZN7CNorvatC1Ev _ZN7CNorvatC2Ev _ZN7CNorvataSERKS_ _Z8fnNorvatv"
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

for target in x86 x64; do
    if [ "$target" = x86 ]; then u=_; else u=; fi
    for lib in Norvat.lib libNorvat.dll.a; do
        path=$root/$target/lib/$lib
        [ -f "$path" ] || { fail "$path missing"; continue; }
        syms=$(llvm-nm "$path" 2>/dev/null | awk 'NF >= 2 { print $NF }' | sort -u)
        for name in $functions $samples; do
            grep -qx "__imp_$u$name" <<<"$syms" || fail "$target/$lib: no __imp_$u$name"
            grep -qx "$u$name" <<<"$syms" || fail "$target/$lib: no call thunk $u$name"
        done
        grep -qx "__imp_${u}nNorvat" <<<"$syms" || fail "$target/$lib: no __imp_${u}nNorvat"
        grep -qx "${u}nNorvat" <<<"$syms" && fail "$target/$lib: nNorvat has a code thunk; it is data"
        decorated=$(grep -E '@[0-9]+$' <<<"$syms")
        [ -z "$decorated" ] || fail "$target/$lib: stdcall-decorated symbols: $decorated"
        names=$(strings -a "$path")
        grep -qx 'Norvat.dll' <<<"$names" || fail "$target/$lib: does not name Norvat.dll"
    done
done
[ "$failures" -eq 0 ] && echo "import libraries: all symbols as exported"
exit $((failures > 0))
