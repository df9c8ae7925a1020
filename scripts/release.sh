#!/usr/bin/env bash
# Builds the three targets and lays out what a developer downloads: release/Norvat-<version>/
# with x86/ and x64/ (Norvat.dll, Norvat.lib, libNorvat.dll.a, norvat.exe, pkgconfig/norvat.pc),
# linux/ (lib/libNorvat.so and its links, lib/pkgconfig/norvat.pc, bin/norvat), include/norvat.h,
# lib/cmake/Norvat/ for find_package(Norvat), bindings/ (C#, Python, Pascal, Node.js) and a short usage
# text, and a zip of that folder beside it; then release/packages/ (scripts/packages.sh): the
# Python wheels, the npm package, the NuGet package and the Debian packages. --no-build takes the
# builds as they are.
set -euo pipefail
. "$(dirname "$0")/lib.sh"
mkdir -p "$NORVAT_BUILD"
cd "$NORVAT_ROOT"

if [ "${1:-}" != --no-build ]; then
    norvat_install_packages
    norvat_build x86
    norvat_build x64
    norvat_build linux
fi
for target in x86 x64 linux; do
    [ -d "build/$target" ] || { echo "build/$target missing: norvat_build $target first" >&2; exit 1; }
done

major=$(sed -n 's/^#define NORVAT_VERSION_MAJOR \([0-9]*\).*/\1/p' interface/version.h)
minor=$(sed -n 's/^#define NORVAT_VERSION_MINOR \([0-9]*\).*/\1/p' interface/version.h)
name=Norvat-$major.$minor
out=$NORVAT_ROOT/release/$name
rm -rf "$out" "$out.zip"
mkdir -p "$out/include"
# @NAME@ in a template from cmake/package/, for this version.
fill() {
    sed -e "s|@NORVAT_VERSION@|$major.$minor|g" -e "s|@NORVAT_VERSION_MAJOR@|$major|g" \
        -e "s|@NORVAT_PC_PREFIX@|${3:-}|g" -e "s|@NORVAT_PC_LIBDIR@|${4:-}|g" \
        "cmake/package/$1.in" >"$2"
}
for target in x86 x64; do
    mkdir -p "$out/$target/pkgconfig"
    cp build/$target/bin/Norvat.dll build/$target/bin/norvat.exe "$out/$target/"
    cp build/$target/lib/Norvat.lib build/$target/lib/libNorvat.dll.a "$out/$target/"
    fill norvat.pc "$out/$target/pkgconfig/norvat.pc" '${pcfiledir}/../..' "$target"
done
mkdir -p "$out/linux/lib/pkgconfig" "$out/linux/bin"
cp -P build/linux/lib/libNorvat.so build/linux/lib/libNorvat.so.$major \
    "build/linux/lib/libNorvat.so.$major.$minor" "$out/linux/lib/"
cp build/linux/bin/norvat "$out/linux/bin/"
# The tool finds the library beside it in the release, not in the build tree (what an install
# step does; the new path is shorter than the build's, so it fits in place).
cmake -DFILE="$out/linux/bin/norvat" -DRPATH='$ORIGIN/../lib' -P cmake/package/set_rpath.cmake >/dev/null
fill norvat.pc "$out/linux/lib/pkgconfig/norvat.pc" '${pcfiledir}/../../..' linux/lib
mkdir -p "$out/lib/cmake/Norvat"
fill NorvatConfig.cmake "$out/lib/cmake/Norvat/NorvatConfig.cmake"
fill NorvatConfigVersion.cmake "$out/lib/cmake/Norvat/NorvatConfigVersion.cmake"
cp include/norvat.h "$out/include/"
# The bindings' sources, as a host copies them into its own build.
mkdir -p "$out/bindings/dotnet" "$out/bindings/python/norvat" "$out/bindings/pascal" "$out/bindings/node/lib"
cp bindings/README-section.md "$out/bindings/README.md"
cp bindings/dotnet/Norvat.cs bindings/dotnet/Norvat.csproj "$out/bindings/dotnet/"
cp bindings/python/pyproject.toml bindings/python/README.md "$out/bindings/python/"
cp bindings/python/norvat/__init__.py bindings/python/norvat/_native.py "$out/bindings/python/norvat/"
cp bindings/pascal/Norvat.pas "$out/bindings/pascal/"
cp bindings/node/package.json bindings/node/index.js bindings/node/index.d.ts bindings/node/README.md \
    "$out/bindings/node/"
cp bindings/node/lib/native.js "$out/bindings/node/lib/"
cat >"$out/USAGE.txt" <<TEXT
Norvat $major.$minor - port library for printer-class devices (COM, LPT, USB printers)

x86/  32-bit build      x64/  64-bit build
  Norvat.dll       ship it beside your program; it needs nothing but Windows itself
  Norvat.lib       import library for MSVC
  libNorvat.dll.a  import library for MinGW
  norvat.exe       command-line check of a printer: norvat --help
  pkgconfig/       norvat.pc for MinGW builds that use pkg-config
linux/  x86-64 Linux build
  lib/libNorvat.so the library (libc only; libudev.so.1, where installed, for USB printers) and
                   its links; lib/pkgconfig/norvat.pc
  bin/norvat       the same command-line tool
include/norvat.h   the ten functions, cdecl, with what each returns and how long it blocks
lib/cmake/Norvat/  find_package(Norvat): the target Norvat::Norvat for MinGW, MSVC and Linux
bindings/          C# (Norvat.cs), Python (pip install bindings/python), Delphi/Free Pascal
                   (Norvat.pas), Node.js (bindings/node); bindings/README.md shows each in a
                   few lines. The packages beside this folder (packages/: Python wheels, npm,
                   NuGet, Debian) carry the libraries for their ecosystem.

C/C++:  #include "norvat.h", link Norvat.lib (MSVC) or -lNorvat (MinGW, Linux); or with CMake
        find_package(Norvat $major.$minor REQUIRED) and target_link_libraries(app PRIVATE Norvat::Norvat)
        with CMAKE_PREFIX_PATH set to this folder; or pkg-config with PKG_CONFIG_PATH set to
        <this folder>/<x86|x64|linux/lib>/pkgconfig.
Others: bind the exports by name with the cdecl convention, or use bindings/.

  norvat ports                          every port and every maker's USB printer
  norvat status RCP7731                 is it ready? exit 0 ready, 2 not ready, 1 not asked
  norvat query COM1 "~HS"               send a command, print the answer
  norvat query "Label printer#LBL0042" "~HS"
TEXT
(cd "$NORVAT_ROOT/release" && cmake -E tar cf "$name.zip" --format=zip "$name")
echo "release/$name/ and release/$name.zip"
# What each ecosystem installs: wheels and sdist, the npm package, the NuGet package, the .debs.
scripts/packages.sh
