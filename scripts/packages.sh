#!/usr/bin/env bash
# Builds what each ecosystem installs, from the release folder (scripts/release.sh lays it out
# and then runs this), into release/packages/:
#   python/  norvat-V-py3-none-win32.whl, -win_amd64.whl, -manylinux_2_X_x86_64.whl (each with
#            its library beside the package's modules) and the sdist norvat-V.tar.gz
#   npm/     norvat-V.0.tgz: the Node.js binding with prebuilds/win32-ia32, win32-x64, linux-x64
#   nuget/   Norvat.V.0.nupkg: Norvat.Net.dll for .NET Framework 4.6.2+, runtimes/<rid>/native/
#            and build/Norvat.targets
#   debian/  libnorvat1, libnorvat-dev and norvat-tools, built by debhelper from the source tree
# V is the version of interface/version.h, which every package's metadata takes or is checked
# against. Builds under build/packages/. Usage: packages.sh [python|npm|nuget|debian]...
set -euo pipefail
. "$(dirname "$0")/lib.sh"
cd "$NORVAT_ROOT"

version=$(norvat_version)
major=${version%%.*}
release=$NORVAT_ROOT/release/Norvat-$version
out=$NORVAT_ROOT/release/packages
work=$NORVAT_BUILD/packages
py=/usr/bin/python3
[ -d "$release/linux" ] || { echo "$release missing: scripts/release.sh first" >&2; exit 1; }
mkdir -p "$work"

# fresh DIR: an empty DIR.
fresh() { rm -rf "$1"; mkdir -p "$1"; }

# manylinux_tag LIBRARY: the wheel platform a Linux library allows, read from the built binary:
# manylinux_2_X_x86_64 with X the highest GLIBC_2.X version it requires (PEP 600: the tag names
# the oldest glibc the wheel runs on). libc is all the library needs, and tests/packages/wheel.sh
# checks the wheel against the tag's policy.
manylinux_tag() {
    local x
    x=$(objdump -p "$1" | sed -n 's/^ *0x[0-9a-f]* 0x[0-9a-f]* [0-9]* GLIBC_2\.\([0-9]*\).*/\1/p' | sort -n | tail -n 1)
    [ -n "$x" ] || { echo "$1 requires no GLIBC_2.X version: not a glibc library?" >&2; return 1; }
    echo "manylinux_2_${x}_x86_64"
}

python_packages() {
    local stage=$work/python plat library venv=$work/python-venv linux
    linux=$(manylinux_tag "$release/linux/lib/libNorvat.so.$major") || return 1
    fresh "$out/python"
    # pip from a venv that sees Debian's setuptools and wheel: no index is ever asked.
    [ -x "$venv/bin/pip" ] || $py -m venv --system-site-packages "$venv"
    for plat in win32:x86/Norvat.dll win_amd64:x64/Norvat.dll "$linux:linux/lib/libNorvat.so.$major"; do
        library=${plat#*:}
        fresh "$stage"
        cp -r bindings/python/. "$stage"
        rm -rf "$stage"/*.egg-info "$stage/build"
        cp -L "$release/$library" "$stage/norvat/"
        NORVAT_WHEEL_PLATFORM=${plat%%:*} "$venv/bin/pip" wheel -q --no-deps --no-build-isolation \
            --no-index -w "$out/python" "$stage" >"$work/python-${plat%%:*}.log" 2>&1 ||
            { cat "$work/python-${plat%%:*}.log"; return 1; }
    done
    # The sdist is the sources alone; it finds the library by the platform's search.
    fresh "$stage"
    cp -r bindings/python/. "$stage"
    rm -rf "$stage"/*.egg-info "$stage/build"
    (cd "$stage" && $py -c 'import sys; from setuptools import build_meta as b; b.build_sdist(sys.argv[1])' \
        "$out/python") >"$work/python-sdist.log" 2>&1 || { cat "$work/python-sdist.log"; return 1; }
}

npm_package() {
    local stage=$work/npm/norvat
    fresh "$work/npm"
    fresh "$out/npm"
    cp -r bindings/node/. "$stage"
    rm -rf "$stage/node_modules" "$stage/prebuilds"
    mkdir -p "$stage/prebuilds/win32-ia32" "$stage/prebuilds/win32-x64" "$stage/prebuilds/linux-x64"
    cp "$release/x86/Norvat.dll" "$stage/prebuilds/win32-ia32/"
    cp "$release/x64/Norvat.dll" "$stage/prebuilds/win32-x64/"
    cp -L "$release/linux/lib/libNorvat.so.$major" "$stage/prebuilds/linux-x64/"
    (cd "$stage" && npm pack --silent --pack-destination "$out/npm") >"$work/npm.log" 2>&1 ||
        { cat "$work/npm.log"; return 1; }
}

nuget_package() {
    local stage=$work/nuget
    fresh "$stage"
    fresh "$out/nuget"
    mkdir -p "$stage/lib/net462" "$stage/build" "$stage/runtimes/win-x86/native" \
        "$stage/runtimes/win-x64/native" "$stage/runtimes/linux-x64/native"
    # The assembly's version from interface/version.h, like the package's.
    cat >"$stage/AssemblyVersion.cs" <<CS
[assembly: System.Reflection.AssemblyVersion("$version.0.0")]
[assembly: System.Reflection.AssemblyFileVersion("$version.0.0")]
[assembly: System.Reflection.AssemblyInformationalVersion("$version.0")]
CS
    # Mono's 4.5 profile: what it builds runs on .NET Framework 4.6.2 and later.
    mcs -langversion:7 -warnaserror -nowarn:1591 -target:library -doc:"$stage/lib/net462/Norvat.Net.xml" \
        -out:"$stage/lib/net462/Norvat.Net.dll" bindings/dotnet/Norvat.cs "$stage/AssemblyVersion.cs" \
        >"$work/nuget-mcs.log" 2>&1 || { cat "$work/nuget-mcs.log"; return 1; }
    cp bindings/dotnet/Norvat.targets "$stage/build/"
    cp "$release/x86/Norvat.dll" "$stage/runtimes/win-x86/native/"
    cp "$release/x64/Norvat.dll" "$stage/runtimes/win-x64/native/"
    cp -L "$release/linux/lib/libNorvat.so.$major" "$stage/runtimes/linux-x64/native/libNorvat.so"
    sed "s|@NORVAT_VERSION@|$version.0|g" bindings/dotnet/Norvat.package.xml.in >"$stage/Norvat.nuspec"
    (cd "$stage" && HOME=$stage nuget pack Norvat.nuspec -OutputDirectory "$out/nuget" -NoPackageAnalysis \
        -NonInteractive) >"$work/nuget.log" 2>&1 || { cat "$work/nuget.log"; return 1; }
}

debian_packages() {
    local stage=$work/debian
    fresh "$stage"
    mkdir -p "$stage/norvat-$version"
    fresh "$out/debian"
    # The source tree without builds, releases or git: what dpkg-buildpackage sees.
    tar -C "$NORVAT_ROOT" --exclude=./build --exclude=./release --exclude=./.git -cf - . |
        tar -x -C "$stage/norvat-$version"
    (cd "$stage/norvat-$version" && DEB_BUILD_OPTIONS=noddebs dpkg-buildpackage -b -us -uc) >"$work/debian.log" 2>&1 ||
        { tail -n 40 "$work/debian.log"; return 1; }
    cp "$stage"/*.deb "$out/debian/"
}

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(python npm nuget debian)
for kind in "${kinds[@]}"; do
    case $kind in
        python) python_packages ;;
        npm) npm_package ;;
        nuget) nuget_package ;;
        debian) debian_packages ;;
        *) echo "packages.sh: unknown kind $kind" >&2; exit 2 ;;
    esac
    echo "release/packages/$kind/: $(cd "$out/$kind" && ls | tr '\n' ' ')"
done
