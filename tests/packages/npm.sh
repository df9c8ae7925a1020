#!/usr/bin/env bash
# The npm package from release/packages/npm: `npm install` of the tarball into an empty project
# (koffi from the registry); each platform-arch picks its own library from it; a script lists
# the emulated printer, queries it and reads while a timer keeps running; tsc type-checks an
# example against the declarations and refuses a misuse.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
tarball=$packages/npm/norvat-$version.0.tgz
project=$work/project

echo "== npm package"
mkdir -p "$project"
check "npm install of norvat-$version.0.tgz into an empty project (koffi from the registry)" sh -c "
    cd '$project' && npm init -y >/dev/null && npm install --no-audit --no-fund '$tarball' &&
    test -f node_modules/norvat/index.d.ts && test -d node_modules/koffi" || { summary; exit; }

# The platform and the architecture are all the loader asks.
picks() {
    local target picked
    for target in win32-ia32:pe-i386 win32-x64:pe-x86-64 linux-x64:elf-x86-64; do
        picked=$(cd "$project" && node -e "const [p, a] = process.argv[1].split('-');
            Object.defineProperty(process, 'platform', { value: p });
            Object.defineProperty(process, 'arch', { value: a });
            console.log(require('norvat/lib/native').libraryPath());" "${target%%:*}")
        echo "$target: $picked $(machine "$picked")"
        [ "$(machine "$picked")" = "${target#*:}" ] || return 1
    done
}
check "each platform-arch picks its own library: win32-ia32 i386, win32-x64 x86-64, linux-x64" picks
check "the linux-x64 library needs libc.so.6 alone" \
    needs_libc_only "$project/node_modules/norvat/prebuilds/linux-x64/libNorvat.so.$major"

cat >"$project/check.js" <<'JS'
// Against the emulated printer, in the order its script wants the bytes.
const norvat = require('norvat');
let failures = 0;
async function test(name, body) {
  try { await body(); console.log('ok ' + name); } catch (e) { failures++; console.log('FAIL ' + name + ': ' + e.stack); }
}
function expect(ok, what) { if (!ok) throw new Error(what); }
async function rejects(promise, ok) {
  try { await promise; } catch (e) { expect(ok(e), e.name + ' ' + e.code + ' ' + e.errno + ': ' + e.message); return; }
  throw new Error('did not reject');
}
(async () => {
  let port;
  await test('lists the emulated printer, opens it by its listing text, the version', async () => {
    const printers = await norvat.usbPrinters();
    expect(printers.length === 1 && printers[0] === process.argv[2], JSON.stringify(printers));
    port = await norvat.open(printers[0]);
    expect(await norvat.version() === 'Ver1.2 2011/8/1', 'version');
  });
  await test('queries it, bytes exact both ways', async () => {
    await port.command('~HS');
    expect((await port.read()).toString() === 'READY\r\n', 'answer');
    expect(await port.write(Buffer.from([0x1b, 0x40, 0x00, 0xff, 0x0d, 0x0a])) === 6, 'write count');
    expect(Buffer.compare(await port.read(), Buffer.from([0x41, 0x00, 0x42, 0xff, 0x0a])) === 0, 'binary answer');
  });
  await test('a read that waits does not block a timer beside it', async () => {
    let ticks = 0;
    const timer = setInterval(() => ticks++, 10), started = Date.now();
    const nothing = await port.read(), took = Date.now() - started;
    clearInterval(timer);
    expect(nothing.length === 0 && took >= 300 && took < 1500, nothing.length + ' bytes in ' + took + ' ms');
    expect(ticks >= took / 30, ticks + ' ticks in ' + took + ' ms: the event loop was held');
  });
  await test('errors: code and errno the failed call left, TypeError and RangeError for arguments', async () => {
    await rejects(norvat.open('COM55'), e => e.code === 'ENOENT' && e.errno === 2 && e.port === 'COM55');
    await rejects(port.command('~HS'), e => e.code === 'EBADF' && e.errno === 9 && !port.isOpen);
    await rejects(norvat.open('NOPE0001'), e => e.code === 'ENODEV' && e.errno === 19);
    await rejects(norvat.open(''), e => e instanceof RangeError);
    await rejects(norvat.open(null), e => e instanceof TypeError);
    const serial = await norvat.open('COM1');
    await rejects(serial.write('text'), e => e instanceof TypeError);
    await rejects(serial.read(-1), e => e instanceof RangeError);
    await rejects(serial.setBaudRate(0), e => e instanceof RangeError);
    await serial.setBaudRate(19200);
    expect(serial.baudRate === 19200, 'baudRate ' + serial.baudRate);
    const parallel = await norvat.open('LPT1');
    await rejects(parallel.setBaudRate(19200), e => e.code === 'ENOTTY' && e.errno === 25);
    await parallel.close();
  });
  if (process.env.NORVAT_TEST_PRINTER)
    await test('a network printer by its address; an unknown name gets the resolver\'s code', async () => {
      const printer = await norvat.open(process.env.NORVAT_TEST_PRINTER);
      await printer.command('~HS');
      expect((await printer.read()).toString() === 'NET:~HS\r\n', 'answer');
      await printer.close();
      // ENOTFOUND, or EAI_AGAIN where no name server can be reached (as in the test's namespace).
      await rejects(norvat.open('tcp://no-such-printer.invalid'), e => ['ENOTFOUND', 'EAI_AGAIN'].includes(e.code));
    });
  process.exitCode = failures;
})();
JS
(cd "$project" && emulated node check.js "$listing") >"$logs/run.log" 2>&1
cases "Node.js" "$logs/run.log" $?
skip "the package under Node.js for Windows (win32-ia32, win32-x64): none here; each DLL is picked and checked from the file above"

cat >"$project/example.ts" <<'TS'
import * as norvat from 'norvat';
async function main(): Promise<void> {
  const port: norvat.NorvatPort = await norvat.open((await norvat.usbPrinters())[0] ?? 'COM1');
  const sent: number = await port.write(Buffer.from([0x1b, 0x40]));
  const answer: Buffer = await port.read(64);
  await port.setBaudRate(19200);
  console.log(sent, answer.length, port.baudRate, port.isOpen, norvat.E_TIMEOUT);
}
main().catch((e: norvat.NorvatError) => console.log(e.code, e.errno, e.winerror));
TS
sed 's/port.write(Buffer.from(\[0x1b, 0x40\]))/port.write("text")/' "$project/example.ts" >"$project/misuse.ts"
tsc="npx tsc --noEmit --strict --target es2020 --module nodenext"
if check "typescript and @types/node as the test project's dev dependencies" sh -c \
        "cd '$project' && npm install --no-audit --no-fund --save-dev typescript @types/node"; then
    check "tsc type-checks an example against index.d.ts" sh -c "cd '$project' && $tsc example.ts"
    check "tsc refuses a write of a string" sh -c \
        "cd '$project' && ! $tsc misuse.ts >misuse.log; cat misuse.log; grep -q 'misuse.ts(4,.*TS2345' misuse.log"
fi
summary
