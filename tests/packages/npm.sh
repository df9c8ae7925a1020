#!/usr/bin/env bash
# The npm package from release/packages/npm: its three libraries, each picked for its own
# process.platform/process.arch; `npm install` of the tarball into an empty project (koffi from
# the registry), where a script lists the emulated printer, queries it, and reads while a timer
# keeps running; tsc type-checks an example against the declarations and refuses a misuse.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
tarball=$packages/npm/norvat-$version.0.tgz

echo "== npm package"
check "norvat-$version.0.tgz holds the binding, its declarations and three libraries" sh -c "
    tar tzf '$tarball' | sort >'$work/contents' && cat '$work/contents' &&
    for f in index.js index.d.ts lib/native.js prebuilds/win32-ia32/Norvat.dll \
             prebuilds/win32-x64/Norvat.dll prebuilds/linux-x64/libNorvat.so.$major; do
        grep -qx \"package/\$f\" '$work/contents' || exit 1; done" || { summary; exit; }

project=$work/project
mkdir -p "$project"
check "npm install of the tarball into an empty project (koffi from the registry)" sh -c "
    cd '$project' && npm init -y >/dev/null && npm install --no-audit --no-fund '$tarball' &&
    test -f node_modules/norvat/index.js && test -d node_modules/koffi" || { summary; exit; }

# Which library each process gets: the platform and architecture are all the loader asks.
check "each platform-arch picks its own library: win32-ia32 i386, win32-x64 x86-64, linux-x64" sh -c "
    cd '$project' && for target in win32-ia32:pe-i386 win32-x64:pe-x86-64 linux-x64:elf-x86-64; do
        picked=\$(node -e \"
            const [platform, arch] = process.argv[1].split('-');
            Object.defineProperty(process, 'platform', { value: platform });
            Object.defineProperty(process, 'arch', { value: arch });
            console.log(require('norvat/lib/native').libraryPath());\" \"\${target%%:*}\") &&
        echo \"\$target \$picked\" && test -f \"\$picked\" &&
        test \"\$(objdump -f \"\$picked\" | sed -n 's/.*file format //p' | sed 's/^pei-/pe-/; s/^elf64-/elf-/')\" = \"\${target#*:}\" || exit 1
    done"

cat >"$project/check.js" <<'JS'
// Against the emulated printer, in the order its script wants the bytes.
const norvat = require('norvat');
const listing = process.argv[2];
let failures = 0;
async function test(name, body) {
  try { await body(); console.log('ok ' + name); }
  catch (e) { failures++; console.log('FAIL ' + name + ': ' + (e && e.stack || e)); }
}
function expect(ok, what) { if (!ok) throw new Error(what); }
async function rejects(promise, check) {
  try { await promise; } catch (e) { expect(check(e), 'rejected with ' + e.name + ' ' + e.code + ': ' + e.message); return e; }
  throw new Error('did not reject');
}
(async () => {
  await test('lists the emulated printer and the version', async () => {
    const printers = await norvat.usbPrinters();
    expect(printers.length === 1 && printers[0] === listing, JSON.stringify(printers));
    expect(await norvat.version() === 'Ver1.2 2011/8/1', 'version');
  });
  const port = await norvat.open(listing);
  await test('queries it by its listing text, bytes exact both ways', async () => {
    await port.command('~HS');
    const answer = await port.read();
    expect(answer.toString() === 'READY\r\n', JSON.stringify(answer.toString()));
    expect(await port.write(Buffer.from([0x1b, 0x40, 0x00, 0xff, 0x0d, 0x0a])) === 6, 'write count');
    expect(Buffer.compare(await port.read(), Buffer.from([0x41, 0x00, 0x42, 0xff, 0x0a])) === 0, 'binary answer');
  });
  await test('a read that waits does not block a timer beside it', async () => {
    let ticks = 0;
    const timer = setInterval(() => ticks++, 10);
    const started = Date.now();
    const nothing = await port.read();
    const took = Date.now() - started;
    clearInterval(timer);
    expect(nothing.length === 0, 'read ' + nothing.length + ' bytes');
    expect(took >= 300 && took < 1500, 'the read took ' + took + ' ms');
    expect(ticks >= took / 10 / 3, ticks + ' ticks in ' + took + ' ms: the event loop was held');
  });
  await test('errors: code and errno from the failed call, TypeError and RangeError for arguments', async () => {
    await rejects(norvat.open('COM55'), e => e.code === 'ENOENT' && e.errno === 2 && e.port === 'COM55');
    expect(!port.isOpen, 'a failed open leaves no port open');
    await rejects(port.command('~HS'), e => e.code === 'EBADF' && e.errno === 9);
    await rejects(norvat.open('NOPE0001'), e => e.code === 'ENODEV' && e.errno === 19);
    await rejects(norvat.open(''), e => e instanceof RangeError);
    await rejects(norvat.open(null), e => e instanceof TypeError);
    const serial = await norvat.open('COM1');
    await rejects(serial.write('text'), e => e instanceof TypeError);
    await rejects(serial.read(-1), e => e instanceof RangeError);
    await rejects(serial.setBaudRate(0), e => e instanceof RangeError);
    expect(serial.baudRate === 9600, 'baudRate after open ' + serial.baudRate);
    await serial.setBaudRate(19200);
    expect(serial.baudRate === 19200, 'baudRate ' + serial.baudRate);
    await serial.close();
    const parallel = await norvat.open('LPT1');
    await rejects(parallel.setBaudRate(19200), e => e.code === 'ENOTTY' && e.errno === 25);
    await parallel.close();
  });
  process.exitCode = failures;
})();
JS
(cd "$project" && emulated node check.js "$listing") >"$logs/run.log" 2>&1
cases "Node.js" "$logs/run.log" $?
skip "the package under Node.js for Windows (win32-ia32, win32-x64): none here; each DLL is checked from the file above"

cat >"$project/example.ts" <<'TS'
import * as norvat from 'norvat';
async function main(): Promise<void> {
  const printers: string[] = await norvat.usbPrinters();
  const port: norvat.NorvatPort = await norvat.open(printers[0] ?? 'COM1');
  const sent: number = await port.write(Buffer.from([0x1b, 0x40]));
  await port.command('~HS');
  const answer: Buffer = await port.read(64);
  await port.setBaudRate(19200);
  const rate: number = port.baudRate;
  console.log(sent, answer.length, rate, port.isOpen, norvat.E_TIMEOUT);
  await port.close();
}
main().catch((e: norvat.NorvatError) => console.log(e.code, e.errno, e.winerror));
TS
sed 's/await port.write(Buffer.from(\[0x1b, 0x40\]))/await port.write("text")/' "$project/example.ts" >"$project/misuse.ts"
tsc_flags=(--noEmit --strict --target es2020 --module nodenext)
if check "typescript and @types/node as the test project's dev dependencies" sh -c \
        "cd '$project' && npm install --no-audit --no-fund --save-dev typescript @types/node"; then
    check "tsc type-checks an example against index.d.ts" sh -c "cd '$project' && npx tsc ${tsc_flags[*]} example.ts"
    check "tsc refuses a write of a string" sh -c \
        "cd '$project' && ! npx tsc ${tsc_flags[*]} misuse.ts >'$work/misuse.log'; cat '$work/misuse.log'; grep -q 'misuse.ts(5,.*TS2345' '$work/misuse.log'"
fi
summary
