#!/usr/bin/env bash
# Checks the release folder and its zip: exactly the files a developer expects, and every DLL
# importing KERNEL32.dll and ADVAPI32.dll only. usage: release_check.sh RELEASE_DIR
set -uo pipefail
dir=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

expected="USAGE.txt
include/norvat.h
x64/Norvat.dll
x64/Norvat.lib
x64/libNorvat.dll.a
x64/norvat.exe
x86/Norvat.dll
x86/Norvat.lib
x86/libNorvat.dll.a
x86/norvat.exe"
[ -d "$dir" ] || { echo "FAIL: $dir missing (scripts/release.sh makes it)"; exit 1; }
actual=$(cd "$dir" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$expected")" ] || fail "folder holds:"$'\n'"$actual"

zipped=$(cd "$(dirname "$dir")" && cmake -E tar tf "$(basename "$dir").zip" 2>/dev/null |
         grep -v '/$' | sed "s|^$(basename "$dir")/||" | LC_ALL=C sort)
[ "$zipped" = "$(LC_ALL=C sort <<<"$expected")" ] || fail "zip holds:"$'\n'"$zipped"

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
