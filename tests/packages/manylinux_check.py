"""Checks a Linux wheel against the manylinux policy its tag names, as PyPI's uploaders' tool
would: every shared object in it is x86-64, needs only libraries the policy allows, and requires
no symbol version above the policy's limits. Prints what it found; exits 1 on any violation.
    manylinux_check.py WHEEL"""
import re
import subprocess
import sys
import tempfile
import zipfile

# From the manylinux policy file of pypa/auditwheel (src/auditwheel/policy/manylinux-policy.json),
# x86_64: for each policy, the libraries a wheel may need (lib_whitelist) and the highest version
# of each symbol version family (symbol_versions) other than GLIBC, whose limit is the tag's own
# glibc version (PEP 600). Versions a family allows by name (TM_1, FLOAT128) are listed whole.
# A tag between two rows gets the lower row: the policies only ever grow, so that is never more
# than the tag allows.
LIBRARIES = {"libgcc_s.so.1", "libstdc++.so.6", "libm.so.6", "libdl.so.2", "librt.so.1",
             "libc.so.6", "libnsl.so.1", "libutil.so.1", "libpthread.so.0", "libresolv.so.2",
             "libX11.so.6", "libXext.so.6", "libXrender.so.1", "libICE.so.6", "libSM.so.6",
             "libGL.so.1", "libgobject-2.0.so.0", "libgthread-2.0.so.0", "libglib-2.0.so.0",
             "libz.so.1", "libanl.so.1", "libatomic.so.1"}
POLICIES = [  # (glibc minor, libraries beyond LIBRARIES, {family: highest or named versions})
    (5, set(), {"GLIBCXX": "3.4.8", "CXXABI": "1.3.1", "GCC": "4.2.0"}),
    (17, {"libexpat.so.1"}, {"GLIBCXX": "3.4.19", "CXXABI": "1.3.7 TM_1", "GCC": "4.8.0"}),
    (28, {"libexpat.so.1", "libmvec.so.1"},
     {"GLIBCXX": "3.4.24", "CXXABI": "1.3.11 FLOAT128 TM_1", "GCC": "7.0.0"}),
    (34, {"libexpat.so.1", "libmvec.so.1"},
     {"GLIBCXX": "3.4.29", "CXXABI": "1.3.13 FLOAT128 TM_1", "GCC": "7.0.0"}),
    (35, {"libexpat.so.1", "libmvec.so.1"},
     {"GLIBCXX": "3.4.30", "CXXABI": "1.3.13 FLOAT128 TM_1", "GCC": "12.0.0"}),
]


def numbers(version):
    return tuple(int(n) for n in version.split("."))


def allowed(family, version, glibc, limits):
    """Whether a required FAMILY_VERSION is within the policy."""
    if family == "GLIBC":
        return re.fullmatch(r"2(\.\d+)+", version) is not None and numbers(version) <= (2, glibc)
    if family not in limits:
        return False
    highest, *named = limits[family].split()
    if version in named:
        return True
    return re.fullmatch(r"\d+(\.\d+)*", version) is not None and numbers(version) <= numbers(highest)


def main(wheel):
    tag = re.fullmatch(r"[^-]+-[^-]+-py3-none-(manylinux_2_(\d+)_x86_64)\.whl", wheel.rsplit("/", 1)[-1])
    if tag is None:
        sys.exit(f"{wheel}: not a py3-none-manylinux_2_X_x86_64 wheel")
    glibc = int(tag.group(2))
    policy = [p for p in POLICIES if p[0] <= glibc]
    if not policy:
        sys.exit(f"{tag.group(1)}: older than any policy known here")
    _, extra, limits = policy[-1]
    failures = []
    with tempfile.TemporaryDirectory() as unpacked, zipfile.ZipFile(wheel) as z:
        meta = z.read(next(n for n in z.namelist() if n.endswith(".dist-info/WHEEL"))).decode()
        if "Tag: py3-none-" + tag.group(1) not in meta.splitlines():
            failures.append("the WHEEL file's Tag is not the file name's")
        objects = [n for n in z.namelist() if re.search(r"\.so(\.\d+)*$", n)]
        if not objects:
            failures.append("no shared object in the wheel")
        for name in objects:
            dump = subprocess.run(["objdump", "-p", z.extract(name, unpacked)], capture_output=True,
                                  text=True, check=True).stdout
            if "file format elf64-x86-64" not in dump:
                failures.append(f"{name} is not x86-64")
            needed = re.findall(r"^\s+NEEDED\s+(\S+)$", dump, re.M)
            required = re.findall(r"^\s+0x[0-9a-f]+ 0x[0-9a-f]+ \d+ ([A-Z]+)_(\S+)$", dump, re.M)
            print(f"{name}: needs {' '.join(needed)}; requires "
                  + " ".join(f"{f}_{v}" for f, v in required))
            failures += [f"{name} needs {n}, which {tag.group(1)} does not allow"
                         for n in needed if n not in LIBRARIES | extra]
            failures += [f"{name} requires {f}_{v}, above what {tag.group(1)} allows"
                         for f, v in required if not allowed(f, v, glibc, limits)]
    for failure in failures:
        print("refused:", failure)
    if failures:
        sys.exit(1)
    print(f"{tag.group(1)}: the policy holds")


main(sys.argv[1])
