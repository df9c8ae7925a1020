#!/usr/bin/env bash
# The Debian packages from release/packages/debian, without changing this machine: lintian, the
# dependencies dpkg worked out, what each package holds, apt's own dry run of installing them,
# and then the three unpacked into a throwaway root, where the tool runs and C consumers build
# with pkg-config and with find_package(Norvat) and talk to the emulated printer. (A real
# `apt-get install ./*.deb` and purge is for a fresh machine: ../shared/tools/fresh-machine.sh.)
set -uo pipefail
. "$(dirname "$0")/lib.sh"
debs=$packages/debian
arch=x86_64-linux-gnu

echo "== Debian packages"
check "libnorvat1, libnorvat-dev and norvat-tools $version are there" ls \
    "$debs/libnorvat1_${version}_amd64.deb" "$debs/libnorvat-dev_${version}_amd64.deb" \
    "$debs/norvat-tools_${version}_amd64.deb" || { summary; exit; }
lintian_clean() {
    lintian --fail-on error "$debs"/*.deb | tee "$work/lintian.log"
    echo "lintian: $(grep -c '^E:' "$work/lintian.log") errors, $(grep -c '^W:' "$work/lintian.log") warnings"
}
check "lintian finds no errors" lintian_clean
field() { # PACKAGE FIELD WANTED...: each WANTED is in the package's FIELD; "!WANTED" is not
    local have w
    have=$(dpkg-deb -f "$debs/$1_${version}_amd64.deb" "$2")
    echo "$1 $2: $have"
    for w in "${@:3}"; do
        case $w in
            !*) ! grep -qF "${w#!}" <<<"$have" || { echo "there: ${w#!}"; return 1; } ;;
            *) grep -qF "$w" <<<"$have" || { echo "missing: $w"; return 1; } ;;
        esac
    done
}
library_relations() {
    field libnorvat1 Depends 'libc6 (>= ' '!libudev' && field libnorvat1 Recommends libudev1
}
check "libnorvat1 depends on libc6, not on libudev1, which it recommends" library_relations
others_relations() {
    field norvat-tools Depends "libnorvat1 (>= $version)" && field libnorvat-dev Depends "libnorvat1 (= $version)"
}
check "the tool and -dev depend on libnorvat1 $version" others_relations
holds() { # PACKAGE PATH...: the package holds exactly these files and links (besides its docs)
    local list
    list=$(dpkg-deb -c "$debs/$1_${version}_amd64.deb" | awk '$1 !~ /^d/ { print $6 }' |
           grep -v '^./usr/share/doc/' | sort)
    echo "$1:" $list
    shift
    [ "$list" = "$(printf './%s\n' "$@" | sort)" ]
}
contents() {
    local cm=usr/lib/$arch/cmake/Norvat
    holds libnorvat1 "usr/lib/$arch/libNorvat.so.$version" "usr/lib/$arch/libNorvat.so.$major" &&
        holds libnorvat-dev usr/include/norvat.h "usr/lib/$arch/libNorvat.so" "usr/lib/$arch/pkgconfig/norvat.pc" \
            "$cm/NorvatConfig.cmake" "$cm/NorvatConfigVersion.cmake" "$cm/NorvatTargets.cmake" \
            "$cm/NorvatTargets-none.cmake" &&
        holds norvat-tools usr/bin/norvat usr/share/man/man1/norvat.1.gz
}
check "libnorvat1 holds the library under its SONAME; -dev the header, link, norvat.pc and CMake package; the tool" contents
check "apt would install the three with what they need (a dry run: nothing changes)" sh -c "
    apt-get -s -o Debug::NoLocking=1 install '$debs/libnorvat1_${version}_amd64.deb' \
        '$debs/libnorvat-dev_${version}_amd64.deb' '$debs/norvat-tools_${version}_amd64.deb' | tee '$work/apt.log' &&
    grep -q '^Inst libnorvat1 ' '$work/apt.log' && grep -q '^Inst libnorvat-dev ' '$work/apt.log' &&
    grep -q '^Inst norvat-tools ' '$work/apt.log'"

root=$work/root
for deb in "$debs"/*_"$version"_amd64.deb; do dpkg-deb -x "$deb" "$root"; done
libdir=$root/usr/lib/$arch
check "the unpacked library needs libc.so.6 alone" needs_libc_only "$libdir/libNorvat.so.$major"
check "the unpacked tool finds the unpacked library: norvat version" sh -c "
    LD_LIBRARY_PATH='$libdir' '$root/usr/bin/norvat' version | tee /dev/stderr | grep -qx 'Ver1.2 2011/8/1' &&
    test \"\$(objdump -p '$libdir/libNorvat.so.$major' | awk '/SONAME/ { print \$2 }')\" = libNorvat.so.$major"
consumer=$NORVAT_ROOT/tests/bindings/consumer
if check "a C consumer builds with pkg-config against the unpacked -dev package" sh -c "
        PKG_CONFIG_SYSROOT_DIR='$root' PKG_CONFIG_LIBDIR='$libdir/pkgconfig' PKG_CONFIG_ALLOW_SYSTEM_CFLAGS=1 \
        PKG_CONFIG_ALLOW_SYSTEM_LIBS=1 sh -c 'pkg-config --modversion norvat | grep -qx $version &&
            cc -Wall -Wextra -Werror $consumer/consumer.c \$(pkg-config --cflags --libs norvat) -o $work/pc-consumer'"; then
    check "the pkg-config consumer talks to the emulated printer" emulated env LD_LIBRARY_PATH="$libdir" "$work/pc-consumer" "$listing"
fi
if check "a C consumer builds with find_package(Norvat) against the unpacked -dev package" sh -c "
        cmake -S '$consumer' -B '$work/cmake' -DCMAKE_PREFIX_PATH='$root/usr' && cmake --build '$work/cmake' &&
        grep -q '$libdir/libNorvat.so' '$work/cmake/CMakeFiles/consumer.dir/link.txt'"; then
    check "the find_package consumer talks to the emulated printer" emulated env LD_LIBRARY_PATH="$libdir" "$work/cmake/consumer" "$listing"
fi
summary
