#!/usr/bin/env bash
# The npm package from release/packages/npm: `npm install` of the tarball into an empty project
# (koffi from the registry); each platform-arch picks its own library from it; a script lists
# the emulated ports, opens two at once, queries the printer, reads while a timer keeps running
# and checks each failure's codes; tsc type-checks an example against the declarations and
# refuses a misuse.
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
  try { await promise; } catch (e) { expect(ok(e), e.name + ' ' + e.code + ' ' + e.errno + ' ' + e.result + ': ' + e.message); return; }
  throw new Error('did not reject');
}
(async () => {
  let printer;
  await test('lists the emulated ports with their fields; the version', async () => {
    const ports = await norvat.listPorts(), usb = ports.find(p => p.serial === 'LBL0042');
    expect(usb && usb.serial === 'LBL0042' && usb.vendorId === '03f0' && usb.productId === '1950' &&
           usb.description === 'Label printer front desk' && usb.commandSet === 'ZPL', JSON.stringify(ports));
    expect(ports.some(p => p.kind === 'serial' && p.description === 'COM1'), JSON.stringify(ports));
    expect(JSON.stringify(await norvat.usbPrinters()) === JSON.stringify([process.argv[2]]), 'usbPrinters');
    expect(await norvat.version() === 'Ver1.2 2011/8/1', 'version');
  });
  await test('two ports open at once; the printer\'s bytes exact both ways', async () => {
    printer = await norvat.open(process.argv[2]);
    const serial = await norvat.open('COM1');
    expect(await printer.write(Buffer.from('~HS\r\n')) === 5, 'write count');
    await serial.setBaudRate(19200);
    expect((await printer.read(64, 2000)).toString() === 'READY\r\n', 'answer');
    expect(await printer.write(Buffer.from([0x1b, 0x40, 0x00, 0xff, 0x0d, 0x0a]), 2000) === 6, 'write count');
    expect(Buffer.compare(await printer.read(64, 2000), Buffer.from([0x41, 0x00, 0x42, 0xff, 0x0a])) === 0, 'binary answer');
    await serial.close();
  });
  await test('a read that waits does not block a timer beside it', async () => {
    let ticks = 0;
    const timer = setInterval(() => ticks++, 10), started = Date.now();
    const nothing = await printer.read(), took = Date.now() - started;
    clearInterval(timer);
    expect(nothing.length === 0 && took >= 300 && took < 1500, nothing.length + ' bytes in ' + took + ' ms');
    expect(ticks >= took / 30, ticks + ' ticks in ' + took + ' ms: the event loop was held');
  });
  await test('errors: result, code and errno; TypeError and RangeError for arguments', async () => {
    await rejects(norvat.open('COM55'), e => e.code === 'ENOENT' && e.errno === 2 && e.result === norvat.ERR_NOT_FOUND && e.port === 'COM55');
    await rejects(norvat.open(process.argv[2]), e => e.code === 'EBUSY' && e.errno === 16 && e.result === norvat.ERR_BUSY);
    await rejects(norvat.open('tcp://printer:0'), e => e instanceof RangeError && e.result === norvat.ERR_ARGUMENT);
    await rejects(norvat.open(''), e => e instanceof RangeError);
    await rejects(norvat.open(null), e => e instanceof TypeError);
    await rejects(printer.write('text'), e => e instanceof TypeError);
    await rejects(printer.read(-1), e => e instanceof RangeError);
    await rejects(printer.setBaudRate(19200), e => e.code === 'ENOTSUP' && e.errno === 25 && e.result === norvat.ERR_UNSUPPORTED);
    await printer.close();
    await rejects(printer.write(Buffer.from('x')), e => e.code === 'EBADF' && !printer.isOpen);
  });
  if (process.env.NORVAT_TEST_PRINTER)
    await test('a network printer by its address, its status; an unknown name gets ENOTFOUND', async () => {
      const net = await norvat.open(process.env.NORVAT_TEST_PRINTER);
      await net.write(Buffer.from('~HS\r\n'));
      expect((await net.read(64, 2000)).toString() === 'NET:~HS\r\n', 'answer');
      const status = await net.status();
      expect(status.disconnected === false && status.paperOut === null && status.ready, JSON.stringify(status));
      expect(await net.pending() === 0, 'pending');
      await net.close();
      await rejects(norvat.open('tcp://no-such-printer.invalid'), e => e.code === 'ENOTFOUND' && e.errno < 0);
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
  const ports: norvat.PortInfo[] = await norvat.listPorts();
  const port: norvat.NorvatPort = await norvat.open(ports[0]?.name ?? 'COM1');
  const sent: number = await port.write(Buffer.from([0x1b, 0x40]), 2000);
  const answer: Buffer = await port.read(64, 500);
  const status: norvat.Status = await port.status();
  const escpos: norvat.EscPosStatus = await port.escposStatus(1000);
  console.log(sent, answer.length, status.ready, status.paperOut, escpos.answered, await port.pending());
  port.cancel();
  await port.close();
}
main().catch((e: norvat.NorvatError) => console.log(e.code, e.result, e.errno, e.winerror));
TS
sed 's/port.write(Buffer.from(\[0x1b, 0x40\]), 2000)/port.write("text", 2000)/' "$project/example.ts" >"$project/misuse.ts"
tsc="npx tsc --noEmit --strict --target es2020 --module nodenext"
if check "typescript and @types/node as the test project's dev dependencies" sh -c \
        "cd '$project' && npm install --no-audit --no-fund --save-dev typescript @types/node"; then
    check "tsc type-checks an example against index.d.ts" sh -c "cd '$project' && $tsc example.ts"
    check "tsc refuses a write of a string" sh -c \
        "cd '$project' && ! $tsc misuse.ts >misuse.log; cat misuse.log; grep -q 'misuse.ts(5,.*TS2345' misuse.log"
fi
summary
