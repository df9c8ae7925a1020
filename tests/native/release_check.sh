#!/usr/bin/env bash
# Checks the release folder and its zip: exactly the files a developer expects, every DLL
# importing KERNEL32.dll and ADVAPI32.dll only, the Linux library needing libc alone
# with its links in place, and the Linux tool finding the library beside it.
# usage: release_check.sh RELEASE_DIR
set -uo pipefail
dir=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected="USAGE.txt
bindings/README.md
bindings/dotnet/Norvat.cs
bindings/dotnet/Norvat.csproj
bindings/node/README.md
bindings/node/index.d.ts
bindings/node/index.js
bindings/node/lib/native.js
bindings/node/package.json
bindings/pascal/Norvat.pas
bindings/python/README.md
bindings/python/norvat/__init__.py
bindings/python/norvat/_native.py
bindings/python/pyproject.toml
include/norvat.h
lib/cmake/Norvat/NorvatConfig.cmake
lib/cmake/Norvat/NorvatConfigVersion.cmake
linux/bin/norvat
linux/lib/libNorvat.so
linux/lib/libNorvat.so.1
linux/lib/libNorvat.so.1.3
linux/lib/pkgconfig/norvat.pc
x64/Norvat.dll
x64/Norvat.lib
x64/libNorvat.dll.a
x64/norvat.exe
x64/pkgconfig/norvat.pc
x86/Norvat.dll
x86/Norvat.lib
x86/libNorvat.dll.a
x86/norvat.exe
x86/pkgconfig/norvat.pc"
[ -d "$dir" ] || { echo "FAIL: $dir missing (scripts/release.sh makes it)"; exit 1; }
actual=$(cd "$dir" && find . -type f -o -type l | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] || fail "folder holds:"$'\n'"$actual"

zipped=$(cd "$(dirname "$dir")" && cmake -E tar tf "$(basename "$dir").zip" 2>/dev/null |
         grep -v '/$' | sed "s|^$(basename "$dir")/||" | LC_ALL=C sort)
[ "$zipped" = "$(LC_ALL=C sort <<<"$expected")" ] || fail "zip holds:"$'\n'"$zipped"
# The links stay links in the zip, so that unpacking it gives one library, not three.
links=$(cd "$(dirname "$dir")" && cmake -E tar tvf "$(basename "$dir").zip" 2>/dev/null |
        grep -o 'libNorvat\.so[.0-9]* -> .*' | LC_ALL=C sort | tr '\n' ' ')
[ "$links" = "libNorvat.so -> libNorvat.so.1 libNorvat.so.1 -> libNorvat.so.1.3 " ] ||
    fail "zip links: $links"

lib=$dir/linux/lib
[ "$(readlink "$lib/libNorvat.so")" = libNorvat.so.1 ] &&
    [ "$(readlink "$lib/libNorvat.so.1")" = libNorvat.so.1.3 ] && [ -f "$lib/libNorvat.so.1.3" ] &&
    [ ! -L "$lib/libNorvat.so.1.3" ] || fail "linux/lib: libNorvat.so -> .so.1 -> .so.1.3 broken"
needed=$(readelf -d "$lib/libNorvat.so.1.3" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | LC_ALL=C sort | tr '\n' ' ')
[ "$needed" = "libc.so.6 " ] || fail "libNorvat.so needs: $needed"
readelf -h "$lib/libNorvat.so.1.3" | grep -q 'X86-64' || fail "libNorvat.so is not x86-64"
runpath=$(readelf -d "$dir/linux/bin/norvat" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
[ "$runpath" = '$ORIGIN/../lib' ] || fail "linux/bin/norvat looks for the library in: $runpath"

for target in x86 x64; do
    if [ "$target" = x86 ]; then od=i686-w64-mingw32-objdump; machine=i386; else od=x86_64-w64-mingw32-objdump; machine=x86-64; fi
    dll=$dir/$target/Norvat.dll
    imports=$($od -p "$dll" | awk '/DLL Name:/ { print toupper($3) }' | LC_ALL=C sort | tr '\n' ' ')
    [ "$imports" = "ADVAPI32.DLL KERNEL32.DLL " ] || fail "$target/Norvat.dll imports: $imports"
    header=$($od -f "$dll")
    grep -q "$machine" <<<"$header" || fail "$target/Norvat.dll is not $machine"
    tool=$($od -p "$dir/$target/norvat.exe")
    grep -q 'DLL Name: Norvat.dll' <<<"$tool" || fail "$target/norvat.exe does not use Norvat.dll"
done
grep -q 'GetDllVersion' "$dir/include/norvat.h" || fail "header incomplete"
[ "$failures" -eq 0 ] && echo "release folder and zip: complete"
exit $((failures > 0))
