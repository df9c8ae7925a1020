#!/usr/bin/env bash
# Builds both targets and lays out what a developer downloads: release/Norvat-<version>/ with
# x86/ and x64/ (Norvat.dll, Norvat.lib, libNorvat.dll.a, norvat.exe), include/norvat.h and a
# short usage text, and a zip of that folder beside it.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
mkdir -p "$NORVAT_BUILD"
cd "$NORVAT_ROOT"

if [ "${1:-}" != --no-build ]; then
    norvat_install_packages
    norvat_build x86
    norvat_build x64
fi

major=$(sed -n 's/^#define NORVAT_VERSION_MAJOR \([0-9]*\).*/\1/p' interface/version.h)
minor=$(sed -n 's/^#define NORVAT_VERSION_MINOR \([0-9]*\).*/\1/p' interface/version.h)
name=Norvat-$major.$minor
out=$NORVAT_ROOT/release/$name
rm -rf "$out" "$out.zip"
mkdir -p "$out/include"
for target in x86 x64; do
    mkdir -p "$out/$target"
    cp build/$target/bin/Norvat.dll build/$target/bin/norvat.exe "$out/$target/"
    cp build/$target/lib/Norvat.lib build/$target/lib/libNorvat.dll.a "$out/$target/"
done
cp include/norvat.h "$out/include/"
cat >"$out/USAGE.txt" <<TEXT
Norvat $major.$minor - port library for printer-class devices (COM, LPT, USB printers)

x86/  32-bit build      x64/  64-bit build
  Norvat.dll       ship it beside your program; it needs nothing but Windows itself
  Norvat.lib       import library for MSVC
  libNorvat.dll.a  import library for MinGW
  norvat.exe       command-line check of a printer: norvat --help
include/norvat.h   the ten functions, cdecl, with what each returns and how long it blocks

C/C++:  #include "norvat.h", link Norvat.lib (MSVC) or -lNorvat (MinGW).
Others: bind the exports by name with the cdecl convention.

  norvat list                           connected USB printers as description#serial
  norvat query COM1 "~HS"               send a command, print the answer
  norvat query "Label printer#LBL0042" "~HS"
TEXT
(cd "$NORVAT_ROOT/release" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "release/$name/ and release/$name.zip"
