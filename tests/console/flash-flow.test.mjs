// One-button flashing as the state core runs it: each row is what the board and the relay answer, step by step,
// and where the flow ends.

import { test } from "node:test";
import assert from "node:assert/strict";
import * as commands from "../../mount-origin/console/commands.mjs";
import { applyMessage, createState, takeOutbox, tick } from "../../mount-origin/console/store.mjs";

const PORT = "simACM0";
const version = (bootloader, flashsize = 1024) =>
  ({ portName: PORT, versionMajor: 1, versionMinor: 4, versionPatch: 2, flags: bootloader ? 1 : 0, flashsize });
const status = (value) => ({ port: PORT, requestBootloaderStatus: value, requestUSBConfigStatus: 1 });
// The relay answers a version request with the version and then the bootloader status.
const asked = (bootloader) => [version(bootloader), status(bootloader ? 1 : 0)];
const WRITE = [{ port: PORT, romErase: 8192 }, { port: PORT, romWrite: 100 }, { port: PORT, romVerify: 100 }, { port: PORT, romFinish: 1 }];
const CANCEL = "cancel";

// [name, file size, events (a reply, a number of seconds to let pass, or CANCEL), outcome, stage states, what
// the page sent, in order]
const FLOWS = [
  ["from the application", 8000, [...asked(false), status(1), ...asked(true), ...WRITE, status(0), ...asked(false)], "done",
    "done done done done done done done", ["getVersion", "request_bootloader", "getVersion", "write_firmware", "request_bootloader", "getVersion"]],
  ["already in the bootloader", 8000, [...asked(true), ...WRITE, status(0), ...asked(false)], "done",
    "done done skipped done done done done", ["getVersion", "write_firmware", "request_bootloader", "getVersion"]],
  ["too large", 2 * 1024 * 1024, [...asked(false)], "failed", "done failed waiting waiting waiting waiting waiting", ["getVersion"]],
  ["empty", 0, [...asked(false)], "failed", "done failed waiting waiting waiting waiting waiting", ["getVersion"]],
  ["no version", 8000, [6], "failed", "failed waiting waiting waiting waiting waiting waiting", ["getVersion"]],
  ["the switch refused", 8000, [...asked(false), status(0)], "failed", "done done failed waiting waiting waiting waiting",
    ["getVersion", "request_bootloader"]],
  ["the board back late", 8000, [...asked(false), status(1), 3, 3, ...asked(true), ...WRITE, status(0), ...asked(false)], "done",
    "done done done done done done done", ["getVersion", "request_bootloader", "getVersion", "getVersion", "getVersion", "write_firmware", "request_bootloader", "getVersion"]],
  ["the board never back", 8000, [...asked(false), status(1), 5, 5, 5], "failed", "done done failed waiting waiting waiting waiting",
    ["getVersion", "request_bootloader", "getVersion", "getVersion", "getVersion"]],
  ["a verify error", 8000, [...asked(true), { port: PORT, romErase: 8192 }, { port: PORT, firmwareFileVerifyError: "" }], "failed",
    "done done skipped failed waiting waiting waiting", ["getVersion", "write_firmware"]],
  ["cancelled during the write", 8000, [...asked(true), { port: PORT, romErase: 8192 }, CANCEL], "cancelled",
    "done done skipped cancelled waiting waiting waiting", ["getVersion", "write_firmware", "cancel_firmware"]],
  ["cancelled before the switch", 8000, [...asked(false), CANCEL, status(1)], "cancelled",
    "done done cancelled waiting waiting waiting waiting", ["getVersion", "request_bootloader"]],
];

for (const [name, size, events, outcome, stages, commandsSent] of FLOWS) {
  test(`flash ${name}: ${outcome}`, () => {
    const state = commands.connected(createState(), 0);
    applyMessage(state, { ports: [{ name: PORT }], firmwareFilesList: [{ name: "app.bin", size }] }, 0);
    commands.selectBoard(state, PORT);
    let now = 0;
    const texts = [];
    commands.flash(state, "app.bin", now);
    for (const event of events) {
      now += typeof event === "number" ? event * 1000 : 10;
      if (event === CANCEL) commands.cancel(state, now);
      else if (typeof event === "number") tick(state, now);
      else applyMessage(state, event, now);
      texts.push(state.status.text);
    }
    const flow = state.boards.get(PORT).flow;
    assert.equal(flow.outcome, outcome, texts.join("\n"));
    assert.equal(flow.stages.map((stage) => stage.state).join(" "), stages);
    assert.deepEqual(takeOutbox(state).map((text) => Object.keys(JSON.parse(text).payload)[0]), commandsSent);
    if (outcome === "failed") assert.ok(flow.reason.length > 10 && state.status.failure, `a reason in words: ${flow.reason}`);
  });
}

test('the too-large refusal names both sizes and the bootloader\'s share', () => {
  const state = commands.connected(createState(), 0);
  applyMessage(state, { ports: [{ name: PORT }], firmwareFilesList: [{ name: "big.bin", size: 1020 * 1024 }] }, 0);
  commands.selectBoard(state, PORT);
  commands.flash(state, "big.bin", 0);
  applyMessage(state, version(false), 1);
  assert.equal(state.boards.get(PORT).flow.reason, "big.bin has 1020.0 KiB, more than the 1008 KiB the board takes (1024 KiB of flash, 16 KiB of them for its bootloader).");
});

test("an image of this computer is announced, then sent whole as one binary message", () => {
  const state = commands.connected(createState(), 0);
  applyMessage(state, { ports: [{ name: PORT }], firmwareFilesList: [] }, 0);
  commands.selectBoard(state, PORT);
  commands.chooseLocalImage(state, "mine.bin", new Uint8Array([1, 2, 3]));
  commands.flash(state, "local:mine.bin", 0);
  for (const reply of [...asked(true), ...WRITE]) applyMessage(state, reply, 10);
  const sent = takeOutbox(state);
  const image = sent.findIndex((message) => message instanceof Uint8Array);
  assert.deepEqual(JSON.parse(sent[image - 1]).payload, { write_firmware_image: { name: "mine.bin", size: 3 } });
  assert.deepEqual([...sent[image]], [1, 2, 3]);
  assert.equal(commands.chooseLocalImage(state, "none.bin", new Uint8Array()).status.failure, true);
});
