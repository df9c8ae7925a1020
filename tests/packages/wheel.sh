#!/usr/bin/env bash
# The Python packages from release/packages/python: the Linux wheel meets the manylinux policy its
# tag names (and a wrong tag is refused), and installed into an empty venv (no PYTHONPATH, no
# LD_LIBRARY_PATH) talks to the emulated printer through the library inside it; each Windows
# wheel holds the DLL of its bitness where the package's loader looks first; the sdist holds the
# sources alone and builds offline.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
py=/usr/bin/python3
wheels=$packages/python

echo "== Python wheels and sdist"
linux=$(ls "$wheels/norvat-$version-py3-none-manylinux_2_"*_x86_64.whl 2>/dev/null)
check "the three wheels and the sdist are there, versioned $version, the Linux one manylinux" ls \
    "$linux" "$wheels/norvat-$version-py3-none-win32.whl" \
    "$wheels/norvat-$version-py3-none-win_amd64.whl" "$wheels/norvat-$version.tar.gz" || { summary; exit; }

# The policy its tag names, then the same check on copies that lie: tagged one glibc lower (so the
# tag is the lowest the library allows), and with a library that needs libudev.so.1.
glibc=${linux##*manylinux_2_}
glibc=${glibc%%_*}
linux_library() {
    $py -m zipfile -e "$linux" "$work/linux-wheel" && needs_libc_only "$work/linux-wheel/norvat/libNorvat.so.$major"
}
check "the Linux wheel's library needs libc.so.6 alone" linux_library
check "the Linux wheel meets manylinux_2_${glibc}_x86_64: its libraries and symbol versions" \
    $py tests/packages/manylinux_check.py "$linux"
retag() { # TAG [LIBRARY]: a copy of the Linux wheel tagged TAG, its library replaced by LIBRARY
    mkdir -p "$work/$1" && $py - "$linux" "$1" "$work/$1/norvat-$version-py3-none-$1.whl" "${@:2}" <<'PY'
import re, sys, zipfile
wheel, tag, out, *library = sys.argv[1:]
with zipfile.ZipFile(wheel) as src, zipfile.ZipFile(out, "w") as dst:
    for item in src.infolist():
        data = src.read(item)
        if item.filename.endswith(".dist-info/WHEEL"):
            data = re.sub(rb"Tag: py3-none-\S+", b"Tag: py3-none-" + tag.encode(), data)
        elif library and re.search(r"\.so(\.\d+)*$", item.filename):
            data = open(library[0], "rb").read()
        dst.writestr(item, data)
PY
}
refused() { # TAG WHY [LIBRARY]: the check refuses the copy tagged TAG, saying WHY
    local said accepted
    retag "$1" "${@:3}" || return 1
    said=$($py tests/packages/manylinux_check.py "$work/$1/norvat-$version-py3-none-$1.whl" 2>&1)
    accepted=$?
    echo "$said"
    [ "$accepted" != 0 ] && grep -q "^refused: .*$2" <<<"$said"
}
check "the check refuses it tagged manylinux_2_$((glibc - 1))_x86_64: the library requires GLIBC_2.$glibc" \
    refused "manylinux_2_$((glibc - 1))_x86_64" "requires GLIBC_2.$glibc,"
cc -shared -o "$work/libNorvat.so.$major" -x c /dev/null -Wl,--no-as-needed -ludev
check "the check refuses it with a library that needs libudev.so.1" \
    refused "manylinux_2_${glibc}_x86_64" "needs libudev.so.1," "$work/libNorvat.so.$major"

venv=$work/venv
if check "the Linux wheel installs into an empty venv, nothing else in it" sh -c "
        $py -m venv '$venv' && '$venv/bin/pip' install -q --no-index '$linux' &&
        '$venv/bin/pip' list --format=freeze | grep -v -e '^pip==' -e '^setuptools==' | grep -qx 'norvat==$version' &&
        test \"\$('$venv/bin/pip' list --format=freeze | grep -vc -e '^pip==' -e '^setuptools==')\" = 1"; then
    # The binding's own scripted test, copied out of the tree, against the wheel's library.
    cp "$devices/python/test_scripted.py" "$work/"
    (cd "$work" && emulated "$venv/bin/python" -c "
import sys, unittest, norvat, norvat._native as n
assert norvat.__file__.startswith('$venv/'), norvat.__file__
assert n.load()._name == '$venv/lib/python%d.%d/site-packages/norvat/libNorvat.so.$major' % sys.version_info[:2], n.load()._name
print('ok loads', n.load()._name)
result = unittest.main(module='test_scripted', argv=['x', '-v'], exit=False).result
print('ok' if result.wasSuccessful() else 'FAIL', 'the binding test (round trip, errors):', result.testsRun, 'tests')
sys.exit(not result.wasSuccessful())") >"$logs/linux-run.log" 2>&1
    cases "Linux wheel" "$logs/linux-run.log" $?
fi

# The loader as it runs on Windows: sys.platform is all it asks; what it opens is recorded.
windows_wheel() { # TAG OBJDUMP_FORMAT RELEASE_DLL
    $py - "$wheels/norvat-$version-py3-none-$1.whl" "$work/$1" "$2" "$3" <<'PY'
import ctypes, subprocess, sys, zipfile
wheel, dir, wanted, release = sys.argv[1:]
with zipfile.ZipFile(wheel) as z:
    z.extractall(dir)
    meta = z.read([n for n in z.namelist() if n.endswith(".dist-info/WHEEL")][0]).decode()
assert "Root-Is-Purelib: false" in meta and "Tag: py3-none-" + wheel.rsplit("-", 1)[1][:-4] in meta, meta
opened = []
sys.platform, sys.path[:0] = "win32", [dir]
ctypes.CDLL = lambda path, **kw: opened.append((path, kw)) or type("Lib", (), {"__getattr__": lambda s, n: s})()
import norvat._native
norvat._native.load()
assert opened == [(dir + "/norvat/Norvat.dll", {"use_last_error": True})], opened
assert "file format " + wanted in subprocess.run(["objdump", "-f", opened[0][0]], capture_output=True, text=True).stdout
assert open(opened[0][0], "rb").read() == open(release, "rb").read(), "not the release's DLL"
print(opened[0][0], wanted)
PY
}
check "win32 wheel: the loader opens norvat/Norvat.dll beside its modules, the release's 32-bit DLL" \
    windows_wheel win32 pei-i386 "$release/x86/Norvat.dll"
check "win_amd64 wheel: the loader opens norvat/Norvat.dll beside its modules, the release's 64-bit DLL" \
    windows_wheel win_amd64 pei-x86-64 "$release/x64/Norvat.dll"
skip "the Windows wheels under Python for Windows: none here (no Windows Python for Wine)"

check "the sdist holds the sources, no library, and builds a py3-none-any wheel offline" sh -c "
    tar tzf '$wheels/norvat-$version.tar.gz' | grep -q 'norvat-$version/norvat/_native.py' &&
    ! tar tzf '$wheels/norvat-$version.tar.gz' | grep -E '\\.(dll|so)' &&
    $py -m venv --system-site-packages '$work/build' &&
    '$work/build/bin/pip' wheel -q --no-deps --no-build-isolation --no-index -w '$work/sdist' '$wheels/norvat-$version.tar.gz' &&
    ls '$work/sdist/norvat-$version-py3-none-any.whl'"
summary
