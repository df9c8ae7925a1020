# Shared by the scripts: package installation, Wine loaders and build locations. Source it.
NORVAT_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
NORVAT_BUILD=${NORVAT_BUILD:-$NORVAT_ROOT/build}
NORVAT_TESTBED=${NORVAT_TESTBED:-$NORVAT_BUILD/testbed}
export NORVAT_ROOT NORVAT_BUILD NORVAT_TESTBED

# The Windows build and its Wine test bed; the Linux build with libudev and its umockdev test bed;
# the bindings' runtimes (Mono, Python's venv, Free Pascal, Node.js); the packages' tools (NuGet
# and xbuild from Mono; debhelper, with build-essential, which dpkg-buildpackage insists on, and
# lintian); the network printer tests' packet filter (nftables) and ip (iproute2); a terminal
# (tmux) and hexdump (bsdextrautils) for the tool's tests.
NORVAT_PACKAGES="mingw-w64 wine64 socat cmake make googletest clang llvm libclang-rt-14-dev file \
pkg-config libudev-dev umockdev libumockdev-dev mono-mcs mono-runtime python3-venv \
python3-setuptools python3-wheel fp-compiler fp-units-fcl nodejs nuget mono-xbuild debhelper \
dpkg-dev build-essential lintian nftables iproute2 tmux bsdextrautils"
# npm comes with some builds of nodejs (and then conflicts with Debian's npm package): it is
# installed only where the command is missing.
NORVAT_NPM_PACKAGE="npm"
# Wine's 32-bit side, installed on its own: a mirror whose i386 index lags behind the amd64 one
# makes it uninstallable for a while, and then only the 32-bit runtime tests are lost.
NORVAT_WIN32_PACKAGES="wine32:i386"
NORVAT_WIN32_MISSING="$NORVAT_BUILD/win32-not-installed.txt"

norvat_missing_packages() {
    local p
    for p in "$@"; do dpkg -s "$p" >/dev/null 2>&1 || printf ' %s' "$p"; done
}

norvat_apt_install() {
    # Waits for another apt run (a second script of ours, say) instead of failing at once.
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@" \
        >>"$NORVAT_BUILD/apt.log" 2>&1
}

norvat_install_packages() {
    local missing win32_missing
    mkdir -p "$NORVAT_BUILD"
    missing=$(norvat_missing_packages $NORVAT_PACKAGES)
    command -v npm >/dev/null 2>&1 || missing="$missing $NORVAT_NPM_PACKAGE"
    win32_missing=$(norvat_missing_packages $NORVAT_WIN32_PACKAGES)
    if [ -z "$win32_missing" ]; then rm -f "$NORVAT_WIN32_MISSING"; fi
    [ -z "$missing$win32_missing" ] && return 0
    echo "== installing:$missing$win32_missing"
    if [ "$(id -u)" != 0 ]; then
        echo "packages missing and not root: run as root, or install:$missing$win32_missing" >&2
        return 1
    fi
    : >"$NORVAT_BUILD/apt.log"
    dpkg --print-foreign-architectures | grep -qx i386 || dpkg --add-architecture i386
    # A mirror in mid-sync fails one index or another; what it did fetch is still used.
    apt-get update -qq -o DPkg::Lock::Timeout=600 >>"$NORVAT_BUILD/apt.log" 2>&1 ||
        echo "   (apt-get update reported errors; going on with the indexes it has)"
    if [ -n "$missing" ]; then
        norvat_apt_install $missing || { tail -n 30 "$NORVAT_BUILD/apt.log"; return 1; }
    fi
    if [ -n "$win32_missing" ]; then
        # wine32's scripts print "Exec format error" on machines that cannot run 32-bit
        # programs; the package still installs and the 32-bit DLL is then checked statically.
        if norvat_apt_install $win32_missing; then
            rm -f "$NORVAT_WIN32_MISSING"
        else
            grep -E '^E: ' "$NORVAT_BUILD/apt.log" | tail -n 1 >"$NORVAT_WIN32_MISSING"
            echo "   $win32_missing could not be installed; 32-bit programs will not run here"
        fi
    fi
}

# Whether this machine can execute Wine's 32-bit loader (some kernels cannot run 32-bit
# programs at all, and wine32 may not have been installable). NORVAT_NO_WIN32=1 pretends it
# cannot, to try that path.
norvat_can_run_win32() {
    [ "${NORVAT_NO_WIN32:-0}" != 1 ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}

norvat_win32_skip_reason() {
    if [ "${NORVAT_NO_WIN32:-0}" = 1 ]; then
        echo "NORVAT_NO_WIN32=1 set"
    elif [ ! -e /usr/lib/wine/wine ] && [ -s "$NORVAT_WIN32_MISSING" ]; then
        echo "Wine's 32-bit side (wine32:i386) could not be installed: $(cat "$NORVAT_WIN32_MISSING")"
    elif [ ! -e /usr/lib/wine/wine ]; then
        echo "Wine's 32-bit side (wine32:i386) is not installed"
    else
        echo "this machine cannot execute Wine's 32-bit loader: $(/usr/lib/wine/wine --version 2>&1 | head -n 1)"
    fi
}

norvat_wine_env() {
    export WINEPREFIX="$NORVAT_TESTBED/prefix"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # Tell the 64-bit loader where it lives, so it never tries the 32-bit one first.
    export WINELOADER=/usr/lib/wine/wine64
}

# Runs a 64-bit Windows program (or a builtin such as regedit) under the test prefix.
norvat_wine64() { norvat_wine_env; /usr/lib/wine/wine64 "$@"; }

# The version, "MAJOR.MINOR", from its one home, interface/version.h.
norvat_version() {
    local major minor
    major=$(sed -n 's/^#define NORVAT_VERSION_MAJOR \([0-9]*\).*/\1/p' "$NORVAT_ROOT/interface/version.h")
    minor=$(sed -n 's/^#define NORVAT_VERSION_MINOR \([0-9]*\).*/\1/p' "$NORVAT_ROOT/interface/version.h")
    [ -n "$major" ] && [ -n "$minor" ] || { echo "interface/version.h: no version" >&2; return 1; }
    echo "$major.$minor"
}

# Configures and builds one preset (x86, x64 or native).
norvat_build() {
    cmake --preset "$1" >"$NORVAT_BUILD/configure-$1.log" 2>&1 ||
        { cat "$NORVAT_BUILD/configure-$1.log"; return 1; }
    cmake --build --preset "$1" -j"$(nproc)" >"$NORVAT_BUILD/build-$1.log" 2>&1 ||
        { tail -n 60 "$NORVAT_BUILD/build-$1.log"; return 1; }
}
