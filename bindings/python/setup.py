"""The wheels. Built as it is, the package is pure Python and finds the library by the platform's
search. scripts/packages.sh places one library in norvat/ and sets NORVAT_WHEEL_PLATFORM, and the
wheel then carries it and is tagged for that platform alone: win32 (the 32-bit Norvat.dll),
win_amd64 (the 64-bit one) or manylinux_2_X_x86_64 (libNorvat.so.1), X read from the library's
highest GLIBC_2.X requirement. libNorvat.so.1 needs libc.so.6 alone (libudev.so.1 is loaded at run
time, where it is installed), so the Linux wheel meets the manylinux policy its tag names."""
import os

from setuptools import Distribution, setup

PLATFORM = os.environ.get("NORVAT_WHEEL_PLATFORM")
cmdclass = {}


class NorvatDistribution(Distribution):
    """With a library inside, the package is installed as platform-specific (platlib), which
    also puts its files at the wheel's root rather than under .data/purelib."""

    def has_ext_modules(self):
        return bool(PLATFORM)


if PLATFORM:
    from wheel.bdist_wheel import bdist_wheel

    class PlatformWheel(bdist_wheel):
        """A wheel for one platform: the library is not Python, so the tag says py3-none."""

        def finalize_options(self):
            super().finalize_options()
            self.root_is_pure = False

        def get_tag(self):
            return "py3", "none", PLATFORM

    cmdclass["bdist_wheel"] = PlatformWheel

setup(cmdclass=cmdclass, distclass=NorvatDistribution)
