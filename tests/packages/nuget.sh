#!/usr/bin/env bash
# The NuGet package from release/packages/nuget: `nuget install` from that folder into an empty
# one (Mono's nuget); the binding's own test built with mcs against the installed assembly runs
# under Mono on the package's linux-x64 library (ports at once, status, each exception type); xbuild
# evaluates the package's Norvat.targets for x86, x64 and AnyCPU projects and copies the DLLs.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
nupkg=$packages/nuget/Norvat.$version.0.nupkg
installed=$work/packages/Norvat.$version.0

echo "== NuGet package"
check "Norvat.$version.0.nupkg: lib/net462, build/Norvat.targets, runtimes/<rid>/native, version $version.0" \
    python3 -c "import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = set(z.namelist())
for f in ('lib/net462/Norvat.Net.dll', 'build/Norvat.targets', 'runtimes/win-x86/native/Norvat.dll',
          'runtimes/win-x64/native/Norvat.dll', 'runtimes/linux-x64/native/libNorvat.so'):
    assert f in names, f + ' missing from ' + repr(sorted(names))
assert b'<version>$version.0</version>' in z.read('Norvat.nuspec'), z.read('Norvat.nuspec')" "$nupkg" ||
    { summary; exit; }
check "nuget install from the local folder into an empty one" sh -c "
    cd '$work' && HOME='$work' nuget install Norvat -Source '$packages/nuget' -OutputDirectory packages -NonInteractive &&
    ls -R '$installed'" || { summary; exit; }
natives() {
    [ "$(machine "$installed/runtimes/win-x86/native/Norvat.dll")" = pe-i386 ] &&
        [ "$(machine "$installed/runtimes/win-x64/native/Norvat.dll")" = pe-x86-64 ] &&
        [ "$(machine "$installed/runtimes/linux-x64/native/libNorvat.so")" = elf-x86-64 ] &&
        objdump -p "$installed/runtimes/linux-x64/native/libNorvat.so" | grep "SONAME *libNorvat.so.$major\$"
}
check "the native libraries: win-x86 i386, win-x64 x86-64, linux-x64 x86-64 with SONAME libNorvat.so.$major" natives

consumer=$work/consumer
mkdir -p "$consumer"
cp "$installed/lib/net462/Norvat.Net.dll" "$installed/runtimes/linux-x64/native/libNorvat.so" "$consumer/"
echo 'class V { static void Main() { System.Console.WriteLine(typeof(Norvat.NorvatPort).Assembly.GetName().Version); } }' \
    >"$consumer/v.cs"
check "the installed Norvat.Net.dll is assembly version $version.0.0" sh -c "
    cd '$consumer' && mcs -r:Norvat.Net.dll v.cs && mono v.exe | grep -qx '$version.0.0'"
if check "the binding's test builds with mcs against the installed Norvat.Net.dll" \
        mcs -langversion:7 -warnaserror -r:"$consumer/Norvat.Net.dll" -out:"$consumer/NorvatPortTests.exe" \
        "$devices/dotnet/NorvatPortTests.cs"; then
    # Mono finds libNorvat.so beside the program: no LD_LIBRARY_PATH. The test makes its own
    # test bed of the emulated devices, under umockdev-wrapper.
    (cd "$consumer" && env -u LD_LIBRARY_PATH TMPDIR="$work" NORVAT_TEST_DEVICES="$devices/devices.umockdev" \
        "$devices/with_network_printer.sh" timeout 180 umockdev-wrapper mono NorvatPortTests.exe) >"$logs/run.log" 2>&1
    cases "C# from the package" "$logs/run.log" $?
fi

# The targets file in the projects a .NET Framework developer has: xbuild evaluates it and runs
# the copy to the output folder (Mono here has no reference assemblies to compile against).
cat >"$work/App.csproj" <<XML
<?xml version="1.0" encoding="utf-8"?>
<Project ToolsVersion="4.0" DefaultTargets="Build" xmlns="http://schemas.microsoft.com/developer/msbuild/2003">
  <PropertyGroup>
    <OutputType>Exe</OutputType>
    <AssemblyName>App</AssemblyName>
    <TargetFrameworkVersion>v4.6.2</TargetFrameworkVersion>
    <OutputPath>bin\\\$(PlatformTarget)\\</OutputPath>
  </PropertyGroup>
  <Import Project="\$(MSBuildToolsPath)\\Microsoft.CSharp.targets" />
  <Import Project="$installed/build/Norvat.targets" />
</Project>
XML
copied() { # PLATFORM_TARGET FILE=RUNTIME...: the files the targets put in bin/PLATFORM_TARGET
    local target=$1 pair
    shift
    (cd "$work" && xbuild /nologo /v:minimal /t:_CopyDeployFilesToOutputDirectory /p:PlatformTarget="$target" App.csproj) || return 1
    find "$work/bin/$target" -type f | sort
    [ "$(find "$work/bin/$target" -type f | wc -l)" -eq $# ] || { echo "not exactly: $*"; return 1; }
    for pair in "$@"; do
        cmp "$work/bin/$target/${pair%%=*}" "$installed/runtimes/${pair#*=}/native/Norvat.dll" || return 1
    done
}
check "Norvat.targets: an x86 project gets the 32-bit DLL as Norvat.dll" copied x86 Norvat.dll=win-x86
check "Norvat.targets: an x64 project gets the 64-bit DLL as Norvat.dll" copied x64 Norvat.dll=win-x64
check "Norvat.targets: an AnyCPU project gets both, in x86\\ and x64\\" copied AnyCPU x86/Norvat.dll=win-x86 x64/Norvat.dll=win-x64
skip "the package under .NET on Windows: no .NET runtime for Wine here, so an AnyCPU program loading x86\\ or x64\\Norvat.dll is not run"
summary
