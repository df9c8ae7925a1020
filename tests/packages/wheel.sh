#!/usr/bin/env bash
# The Python packages from release/packages/python: the Linux wheel installed into an empty venv
# (no PYTHONPATH, no LD_LIBRARY_PATH) talks to the emulated printer through the library inside
# it; each Windows wheel holds the DLL of its bitness where the package's loader looks first;
# the sdist holds the sources alone and builds offline.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
py=/usr/bin/python3
wheels=$packages/python

echo "== Python wheels and sdist"
check "the three wheels and the sdist are there, versioned $version" ls \
    "$wheels/norvat-$version-py3-none-linux_x86_64.whl" "$wheels/norvat-$version-py3-none-win32.whl" \
    "$wheels/norvat-$version-py3-none-win_amd64.whl" "$wheels/norvat-$version.tar.gz" || { summary; exit; }

venv=$work/venv
if check "the Linux wheel installs into an empty venv, nothing else in it" sh -c "
        $py -m venv '$venv' && '$venv/bin/pip' install -q --no-index '$wheels/norvat-$version-py3-none-linux_x86_64.whl' &&
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
