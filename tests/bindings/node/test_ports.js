'use strict';
// The Node.js binding against libNorvat.so and the devices of bed.py (run under it): ports open
// side by side, refused opens beside them, every maker listed, paper out, a printer that stopped
// taking bytes delaying nobody, calls cancelled and closed mid-way, a printer pulled mid-job.
// Prints "ok NAME" or "FAIL NAME: why" per case; exit status: the number of failures.
const assert = require('assert');
const norvat = require('norvat');

const LISTING = 'Label printer front desk#LBL0042';
const RECEIPT = '\\\\?\\USB#VID_04B8&PID_0202#RCP0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}';
let failures = 0;

async function test(name, body) {
  try {
    await body();
    console.log('ok ' + name);
  } catch (e) {
    failures++;
    console.log('FAIL ' + name + ': ' + e.stack);
  }
}

// Resolves to what the promise rejected with; fails when it resolved.
async function rejection(promise) {
  try {
    await promise;
  } catch (error) {
    return error;
  }
  throw new Error('did not reject');
}

// Sends payload to an echoing device and reads all of it back, and nothing more.
async function roundTrip(port, payload) {
  assert.strictEqual(await port.write(payload), payload.length);
  let back = Buffer.alloc(0);
  while (back.length < payload.length) {
    const chunk = await port.read(65536, 1000);
    assert.ok(chunk.length > 0, 'the answer stopped after ' + back.length + ' bytes');
    back = Buffer.concat([back, chunk]);
  }
  assert.deepStrictEqual(back, payload);
}

const everyByte = tag => Buffer.concat([Buffer.from(Array.from({ length: 256 }, (_, i) => i)), Buffer.from(tag)]);

(async () => {
  const ports = {};
  await test('lists every maker with every field', async () => {
    const receipt = (await norvat.listPorts()).filter(p => p.serial === 'RCP0001');
    assert.deepStrictEqual(receipt, [{
      name: RECEIPT, kind: 'usb', description: 'Receipt printer', serial: 'RCP0001',
      vendorId: '04b8', productId: '0202', manufacturer: 'Maker', model: 'Receipt 80',
      commandSet: 'ESC/POS', deviceId: 'MFG:Maker;MDL:Receipt 80;CMD:ESC/POS;DES:Receipt printer;',
    }]);
    assert.deepStrictEqual(await norvat.usbPrinters(), [LISTING], 'the ten exports list only their makers');
    assert.strictEqual(await norvat.version(), 'Ver1.2 2011/8/1');
  });

  await test('ports open side by side, each exact both ways', async () => {
    [ports.label, ports.receipt, ports.serial] = await Promise.all(
      [norvat.open(LISTING), norvat.open(RECEIPT), norvat.open('COM1')]);
    await Promise.all([roundTrip(ports.label, everyByte('label')),
      roundTrip(ports.receipt, everyByte('receipt')),
      // XON and XOFF coming in are the serial line's flow control, not data.
      roundTrip(ports.serial, Buffer.from(everyByte('serial').filter(b => b !== 0x11 && b !== 0x13)))]);
    await ports.label.command('~HS\u00e9');  // an echoing device: the line comes back, 8-bit
    assert.deepStrictEqual(await ports.label.read(64, 1000), Buffer.from('~HS\xe9\r\n', 'latin1'));
    assert.strictEqual(await ports.label.write(Buffer.alloc(0)), 0);
    assert.strictEqual((await ports.label.read(4096, 0)).length, 0, 'nothing waits: an empty Buffer');
    assert.ok((await rejection(ports.label.write('text'))) instanceof TypeError);
    assert.ok((await rejection(ports.label.read(-1))) instanceof RangeError);
    assert.ok((await rejection(ports.label.write(Buffer.from('x'), -1))) instanceof RangeError);
  });

  await test('a refused open leaves every open port working, with code, errno and result', async () => {
    for (const [name, code, errno, result] of [
      ['tcp://bad:0', 'ERR_INVALID_ARG_VALUE', 22, norvat.ERR_ARGUMENT],
      ['COM55', 'ENOENT', 2, norvat.ERR_NOT_FOUND],
      ['NOPE0001', 'ENOENT', 19, norvat.ERR_NOT_FOUND],
      [LISTING, 'EBUSY', 16, norvat.ERR_BUSY],
    ]) {
      const e = await rejection(norvat.open(name));
      assert.deepStrictEqual([e.code, e.errno, e.result, e.port], [code, errno, result, name]);
      assert.ok(ports.label.isOpen && ports.receipt.isOpen);
      await Promise.all([roundTrip(ports.label, Buffer.from('still ' + name)),
        roundTrip(ports.receipt, Buffer.from('still ' + name))]);
    }
    assert.ok((await rejection(norvat.open(''))) instanceof RangeError);
    assert.ok((await rejection(norvat.open(null))) instanceof TypeError);
  });

  await test('each failure of an open port: code, errno and result', async () => {
    let e = await rejection(ports.label.setBaudRate(19200));
    assert.deepStrictEqual([e.code, e.errno, e.result], ['ENOTSUP', 25, norvat.ERR_UNSUPPORTED]);
    e = await rejection(ports.label.escposStatus(300)); // an echo is no ESC/POS answer
    assert.deepStrictEqual([e.code, e.errno, e.result], ['ETIMEDOUT', 110, norvat.ERR_TIMEOUT]);
    await ports.serial.setBaudRate(19200);
    assert.strictEqual(ports.serial.baudRate, 19200);
  });

  await test('status: paper out, ready, null for what a printer cannot tell', async () => {
    const unknown = { coverOpen: null, paperLow: null, feedButton: null, drawerOpen: null,
      cutterError: null, unrecoverable: null, dsr: null, cts: null, dcd: null, disconnected: null };
    assert.deepStrictEqual(await ports.receipt.status(),
      { paperOut: true, offline: false, error: false, ...unknown, ready: false });
    assert.deepStrictEqual(await ports.label.status(),
      { paperOut: false, offline: false, error: false, ...unknown, ready: true });
    assert.strictEqual(await ports.label.pending(), 0);
    assert.strictEqual(await ports.label.discardInput(), 0);
  });

  await test('a stalled printer\'s write overlaps another port\'s calls, which do not wait for it', async () => {
    const stalled = await norvat.open('RP80A001');
    const started = Date.now();
    let stalledEnded = 0;
    const filling = stalled.write(Buffer.alloc(1 << 20), 1500).then(n => { stalledEnded = Date.now(); return n; });
    await new Promise(resolve => setTimeout(resolve, 100));
    await roundTrip(ports.label, everyByte('meanwhile'));
    assert.strictEqual(stalledEnded, 0, 'the stalled write ended before the other port was done');
    assert.ok(Date.now() - started < 1000, 'the other port took ' + (Date.now() - started) + ' ms');
    const sent = await filling;
    assert.ok(sent < (1 << 20) && stalledEnded - started >= 1400, sent + ' bytes in ' + (stalledEnded - started) + ' ms');
    // Full now: a write takes nothing; a cancel ends it, and so does a close.
    for (const end of ['cancel', 'close']) {
      const writing = rejection(stalled.write(Buffer.from('more')));
      await new Promise(resolve => setTimeout(resolve, 200));
      const asked = Date.now();
      const closed = stalled[end]();
      const e = await writing;
      assert.deepStrictEqual([e.code, e.result], ['ECANCELED', norvat.ERR_CANCELLED]);
      assert.ok(Date.now() - asked < 500, end + ' took ' + (Date.now() - asked) + ' ms');
      await closed;
    }
    assert.ok(!stalled.isOpen);
    assert.strictEqual((await rejection(stalled.write(Buffer.from('x')))).code, 'EBADF');
    stalled.cancel(); // harmless once closed
  });

  await test('a printer pulled mid-job fails fast with ENODEV', async () => {
    await ports.receipt.write(Buffer.from('UNPLUG'));
    await new Promise(resolve => setTimeout(resolve, 200));
    const asked = Date.now();
    const e = await rejection(ports.receipt.write(Buffer.from('lost')));
    assert.deepStrictEqual([e.code, e.result], ['ENODEV', norvat.ERR_GONE]);
    assert.ok(Date.now() - asked < 2000);
    await roundTrip(ports.label, Buffer.from('the other printer still answers'));
  });

  await Promise.all(Object.values(ports).map(port => port.close()));
  process.exitCode = failures;
})();
