#!/usr/bin/env bash
# Proves the bindings and the release's C/C++ packaging. Runs after the x86, x64 and linux builds
# and scripts/release.sh --no-build; builds only its own small programs, under build/bindings/.
#   - static: every binding (C#, Python, Pascal, Node.js) agrees with include/norvat.h, every
#     package's version with interface/version.h, and the checker refuses wrong copies
#   - Linux: C# under Mono, the Python package from a throwaway venv, Node.js (koffi from npm)
#     and Free Pascal, each against build/linux/lib/libNorvat.so and umockdev-emulated devices
#   - C/C++: consumers built with find_package(Norvat) and with pkg-config against the release,
#     run on Linux and under Wine (64-bit; 32-bit where this machine can run it)
# One line per check: passed, FAILED or SKIPPED with the reason. Exit status 1 on any failure.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
cd "$NORVAT_ROOT"

major=$(sed -n 's/^#define NORVAT_VERSION_MAJOR \([0-9]*\).*/\1/p' interface/version.h)
minor=$(sed -n 's/^#define NORVAT_VERSION_MINOR \([0-9]*\).*/\1/p' interface/version.h)
release=$NORVAT_ROOT/release/Norvat-$major.$minor
lib=$NORVAT_BUILD/linux/lib
tests=$NORVAT_ROOT/tests/bindings
work=$NORVAT_BUILD/bindings
py=/usr/bin/python3
listing="Label printer front desk#LBL0042"

. "$NORVAT_ROOT/scripts/checks.sh"

# check NAME LOG COMMAND...: one check that is a command; its output goes to LOG.
check() {
    local name=$1 log=$2
    shift 2
    if "$@" >"$log" 2>&1; then pass "$name"; else fail "$name (exit $?)"; show "$log"; return 1; fi
}

# emulated COMMAND...: runs COMMAND with the emulated printer (its script) and serial port, and
# beside a network printer in a network namespace of its own where one can be made.
emulated() {
    LD_LIBRARY_PATH=$lib TMPDIR=$work/tmp "$tests/with_network_printer.sh" \
        timeout 180 umockdev-run -d "$tests/devices.umockdev" \
        -s "/dev/usb/lp0=$tests/printer.script" -- "$@"
}

missing=
[ -f "$lib/libNorvat.so" ] || missing="$missing build/linux (norvat_build linux)"
for t in x86 x64; do [ -f "$NORVAT_BUILD/$t/bin/Norvat.dll" ] || missing="$missing build/$t"; done
[ -d "$release/linux" ] || missing="$missing $release (scripts/release.sh --no-build)"
if [ -n "$missing" ]; then
    fail "prerequisites missing:$missing"
    exit 1
fi
rm -rf "$work/cs" "$work/py" "$work/pas" "$work/c" "$work/tmp"
mkdir -p "$work/cs" "$work/py" "$work/pas" "$work/c" "$work/tmp"

echo "== static: the bindings against include/norvat.h"
check "checker: C#, Python, Pascal and Node.js agree with norvat.h, the packages' versions with version.h" "$work/check.log" \
    $py bindings/check_bindings.py
if $py tests/bindings/check_bindings_test.py -v >"$work/check_test.log" 2>&1; then
    pass "checker: refuses each of $($py -c "import sys; sys.path[:0] = ['tests/bindings', 'bindings']
import check_bindings_test as t; print(len(t.WRONG_COPIES))") wrong copies (stdcall, Unicode, short buffers, missing exports, versions, ...)"
else
    fail "checker: its own test"; show "$work/check_test.log" 30
fi

# in_testbed COMMAND...: COMMAND under umockdev-wrapper, making its own test bed of the devices
# NORVAT_TEST_DEVICES names (it answers the drivers' status requests itself), beside a network
# printer as emulated does.
in_testbed() {
    LD_LIBRARY_PATH=$lib TMPDIR=$work/tmp NORVAT_TEST_DEVICES=$tests/devices.umockdev \
        "$tests/with_network_printer.sh" timeout 180 umockdev-wrapper "$@"
}

echo "== C# under Mono, libNorvat.so and emulated devices"
if check "C#: Norvat.cs builds with mcs -target:library (C# 7, .NET Framework 4.x)" "$work/cs/build.log" \
        mcs -langversion:7 -warnaserror -target:library -out:"$work/cs/Norvat.Net.dll" \
        bindings/dotnet/Norvat.cs &&
   check "C#: the tests build against Norvat.Net.dll" "$work/cs/build-tests.log" \
        mcs -langversion:7 -warnaserror -r:"$work/cs/Norvat.Net.dll" -out:"$work/cs/NorvatPortTests.exe" \
        "$tests/dotnet/NorvatPortTests.cs"; then
    (cd "$work/cs" && in_testbed mono NorvatPortTests.exe) >"$work/cs/run.log" 2>&1
    cases "C#/Mono" "$work/cs/run.log" $?
fi

echo "== Python: the package from a throwaway venv, libNorvat.so and emulated devices"
venv=$work/py/venv
# A copy, so that pip's build leaves nothing in the source tree.
cp -r bindings/python "$work/py/src"
if check "Python: pip installs bindings/python offline into a venv" "$work/py/install.log" \
        sh -c "$py -m venv --system-site-packages '$venv' &&
               '$venv/bin/pip' install --no-index --no-build-isolation '$work/py/src' &&
               cd / && '$venv/bin/python' -c 'import norvat, sys; sys.exit(not norvat.__file__.startswith(\"$venv/\"))'"; then
    (cd "$tests/python" && emulated "$venv/bin/python" -m unittest -v test_scripted) >"$work/py/scripted.log" 2>&1
    cases "Python" "$work/py/scripted.log" $?
    (cd "$tests/python" && NORVAT_LIB_DIR=$lib LD_LIBRARY_PATH=$lib TMPDIR=$work/tmp \
        timeout 300 umockdev-wrapper "$venv/bin/python" -m unittest -v test_faults) >"$work/py/faults.log" 2>&1
    cases "Python, faults" "$work/py/faults.log" $?
fi

echo "== Node.js: the binding with koffi from npm, libNorvat.so and an in-process test bed"
node_dir=$work/node
rm -rf "$node_dir"
mkdir -p "$node_dir/modules"
# A copy with its dependency beside it, so that npm leaves nothing in the source tree.
if check "Node.js: npm installs bindings/node's dependency (koffi)" "$node_dir/install.log" \
        sh -c "cp -r bindings/node '$node_dir/modules/norvat' && cd '$node_dir/modules/norvat' &&
               npm install --no-audit --no-fund --omit=dev"; then
    (cd "$tests/node" && NODE_PATH=$node_dir/modules LD_LIBRARY_PATH=$lib TMPDIR=$work/tmp \
        timeout 300 umockdev-wrapper $py bed.py node test_ports.js) >"$node_dir/run.log" 2>&1
    cases "Node.js" "$node_dir/run.log" $?
fi

echo "== Free Pascal: Norvat.pas, libNorvat.so and emulated devices"
fpc_flags=(-vewn -Sew -FU"$work/pas" -Fu"$NORVAT_ROOT/bindings/pascal")
if check "Pascal: Norvat.pas compiles with fpc" "$work/pas/unit.log" fpc "${fpc_flags[@]}" bindings/pascal/Norvat.pas &&
   check "Pascal: the test program builds (the library is loaded at run time)" "$work/pas/build.log" \
        fpc "${fpc_flags[@]}" -o"$work/pas/norvat_test" "$tests/pascal/norvat_test.pas"; then
    in_testbed "$work/pas/norvat_test" >"$work/pas/run.log" 2>&1
    cases "Pascal" "$work/pas/run.log" $?
    (cd "$work/pas" && env -u LD_LIBRARY_PATH timeout 30 ./norvat_test --without-library) >"$work/pas/nolib.log" 2>&1
    cases "Pascal, no library" "$work/pas/nolib.log" $?
fi

echo "== C/C++ against the release: find_package(Norvat) and pkg-config"
c=$work/c
consumer() { # consumer TARGET: configure and build tests/bindings/consumer for TARGET
    local toolchain=()
    [ "$1" = linux ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$NORVAT_ROOT/cmake/toolchain-mingw-$1.cmake")
    cmake -S "$tests/consumer" -B "$c/$1" "${toolchain[@]}" -DCMAKE_PREFIX_PATH="$release" &&
        cmake --build "$c/$1"
}
# The C example against the release's pkg-config file: CC TARGET_FOLDER OUTPUT
pc_consumer() {
    PKG_CONFIG_PATH=$release/$2/pkgconfig PKG_CONFIG_LIBDIR=/nonexistent \
        sh -c "$1 -Wall -Wextra -Werror $tests/consumer/consumer.c \$(pkg-config --cflags --libs norvat) -o $3"
}
# Checks that a 32-bit program is i386 and imports the exports from Norvat.dll by their plain
# (cdecl) names, and that the Norvat.dll beside it is the release's x86 one.
x86_shape() {
    local dump
    dump=$(i686-w64-mingw32-objdump -p "$1") || return 1
    grep -q 'file format pei-i386' <<<"$dump" &&
        sed -n '/DLL Name: Norvat.dll/,/^$/p' <<<"$dump" | grep -qw GetDllVersion &&
        ! sed -n '/DLL Name: Norvat.dll/,/^$/p' <<<"$dump" | grep -q '@' &&
        cmp "$(dirname "$1")/Norvat.dll" "$release/x86/Norvat.dll"
}

if check "C/C++: find_package(Norvat) builds a Linux consumer" "$c/linux.log" consumer linux; then
    check "C/C++: the Linux consumer runs on the release's libNorvat.so and talks to the printer" \
        "$c/linux-run.log" emulated env -u LD_LIBRARY_PATH "$c/linux/consumer" "$listing"
    check "C/C++: the Linux consumer loads the release's library, not the build's" "$c/linux-ldd.log" \
        sh -c "env -u LD_LIBRARY_PATH ldd '$c/linux/consumer' | grep -F '$release/linux/lib/libNorvat.so.1'"
fi
if check "C/C++: pkg-config builds a Linux consumer" "$c/pc-linux.log" pc_consumer cc linux/lib "$c/pc-linux"; then
    check "C/C++: the pkg-config consumer runs on the release's libNorvat.so" "$c/pc-linux-run.log" \
        env LD_LIBRARY_PATH="$release/linux/lib" "$c/pc-linux"
fi

# The test bed's prefix (scripts/testbed.sh up makes it with the 32-bit side where it can run).
norvat_wine_env
if check "C/C++: find_package(Norvat) builds a MinGW x64 consumer" "$c/x64.log" consumer x64; then
    check "C/C++: the x64 consumer runs under Wine with the release's Norvat.dll" "$c/x64-run.log" \
        sh -c "cd '$c/x64' && cmp Norvat.dll '$release/x64/Norvat.dll' && timeout 300 /usr/lib/wine/wine64 consumer.exe"
fi
mkdir -p "$c/pc-x64"
if check "C/C++: pkg-config builds a MinGW x64 consumer" "$c/pc-x64.log" \
        pc_consumer x86_64-w64-mingw32-gcc x64 "$c/pc-x64/consumer.exe"; then
    cp "$release/x64/Norvat.dll" "$c/pc-x64/"
    check "C/C++: the x64 pkg-config consumer runs under Wine" "$c/pc-x64-run.log" \
        sh -c "cd '$c/pc-x64' && timeout 300 /usr/lib/wine/wine64 consumer.exe"
fi
if check "C/C++: find_package(Norvat) builds a MinGW x86 consumer" "$c/x86.log" consumer x86; then
    check "C/C++: the x86 consumer is i386, imports plain cdecl names, the release's x86 Norvat.dll beside it" \
        "$c/x86-shape.log" x86_shape "$c/x86/consumer.exe"
    if norvat_can_run_win32; then
        check "C/C++: the x86 consumer runs under Wine" "$c/x86-run.log" \
            sh -c "unset WINELOADER; cd '$c/x86' && timeout 300 /usr/lib/wine/wine consumer.exe"
    else
        skip "C/C++: running the x86 consumer under Wine: $(norvat_win32_skip_reason)"
    fi
fi
mkdir -p "$c/pc-x86"
check "C/C++: pkg-config builds a MinGW x86 consumer" "$c/pc-x86.log" \
    pc_consumer i686-w64-mingw32-gcc x86 "$c/pc-x86/consumer.exe"

echo "== Windows runtimes of the other bindings"
skip "C# on Windows: no .NET runtime for Wine here (no wine-mono package); held to norvat.h statically"
skip "Python on Windows: no Windows Python here; held to norvat.h statically"
skip "Node.js on Windows: no Windows Node.js here; held to norvat.h statically"
skip "Pascal on Windows: fpc has no Windows units here; held to norvat.h statically"

echo
echo "Bindings: $passed passed, $failed failed, $skipped skipped"
[ "$failed" -eq 0 ]
