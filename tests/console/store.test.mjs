// The console's state core without a browser: every kind of reply, each end of a firmware write, answers that do
// not come, and the connection going away and coming back.

import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import * as commands from "../../mount-origin/console/commands.mjs";
import { applyMessage, createState, takeOutbox, tick } from "../../mount-origin/console/store.mjs";
import { openConnection } from "../../mount-origin/console/connection.mjs";

const PORT = "simACM1";
const VERSION = { portName: PORT, versionMajor: 1, versionMinor: 4, versionPatch: 2, flags: 0, serial: "00AB", flashsize: 1024 };

function chosenBoard() {
  const state = commands.connected(createState(), 0);
  applyMessage(state, { server: "0.1.3", ports: [{ name: PORT, usbProduct: "board" }], firmwareFilesList: [{ name: "app.bin", size: 4096 }] }, 0);
  commands.selectBoard(state, PORT);
  return state;
}

const board = (state) => state.boards.get(PORT);
const sent = (state) => takeOutbox(state).map((text) => JSON.parse(text));

// [reply, what it leaves in the state]
const REPLIES = [
  [{ server: "0.2.0", autoRefreshPorts: false }, (state) => state.serverVersion === "0.2.0" && state.autoRefresh === false],
  [{ ports: [{ name: "other" }] }, (state) => state.selected === null && /no longer listed/.test(state.status.text)],
  [{ firmwareFilesList: [{ name: "b.bin", size: 1 }, { size: 2 }] }, (state) => state.firmwareFiles.length === 1],
  [VERSION, (state) => board(state).bootloader === false && /version 1\.4\.2 in its application/.test(state.status.text)],
  [{ ...VERSION, flags: 1 }, (state) => board(state).bootloader === true],
  [{ portName: PORT, capabilities: { knownNodes: ["a"], usableNodes: [] } }, (state) => board(state).capabilities.knownNodes[0] === "a"],
  [{ port: PORT, requestBootloaderStatus: 1, requestUSBConfigStatus: 1 }, (state) => board(state).bootloader === true],
  [{ portName: PORT, configDump: { nodes: [{ type: "clamp" }] } }, (state) => board(state).answer === "configuration holds 1 node(s): clamp"],
  [{ port: PORT, exportNode: { id: 9, type: "constant", properties: { prop_value: 2.5 } } }, (state) => board(state).nodes.get("9").type === "constant"],
  [{ port: PORT, exportFeature: { feature: "gps", doinit: 1 } }, (state) => board(state).features.get("gps").doinit === 1],
  [{ portName: PORT, exportCommit: { nodeCount: 3 } }, (state) => /reports 3 node/.test(state.status.text)],
  [{ portName: PORT, configCommit: { nodeCount: 2, memorySize: 40 } }, (state) => board(state).answer === "committed 2 node(s), 40 bytes"],
  [{ port: PORT, looptime: 120, nodecount: 4, memorysize: 64 }, (state) => board(state).answer === "loop time 120 µs, 4 node(s), 64 bytes"],
  [{ port: PORT, uploadProgress: 40 }, (state) => board(state).answer === "upload 40%"],
  [{ port: PORT, firmwareNeedsBootloader: "" }, (state) => board(state).write.stage === "failed" && state.status.failure],
  [{ port: PORT, portError: { reason: "permission", text: "add the relay's user to the dialout group" } },
    (state) => state.status.failure && /cannot be reached: add the relay's user to the dialout group/.test(state.status.text)],
];

for (const [reply, check] of REPLIES) {
  test(`reply ${Object.keys(reply).join(", ")}`, () => {
    const state = chosenBoard();
    applyMessage(state, reply, 1);
    assert.ok(check(state), JSON.stringify(state.status));
  });
}

test('live values keep the newest 100', () => {
  const state = chosenBoard();
  for (let value = 0; value < 150; value++) applyMessage(state, { port: PORT, liveValue: { id: 7, type: 0, value } }, 1);
  assert.deepEqual([board(state).live.get(7).length, board(state).live.get(7)[0]], [100, 50]);
});

const progress = (percent) => [{ port: PORT, romWrite: percent }, { port: PORT, romVerify: percent }];

// [replies after the write of app.bin started (one a second), stage, text on the status line, seconds after the
// last reply]
const WRITES = [
  [[{ port: PORT, romErase: 4096 }, ...progress(50), ...progress(100), { port: PORT, romFinish: 1 }], "done", /written and verified/],
  [[{ port: PORT, romErase: 4096 }, ...progress(50), { port: PORT, firmwareWriteCancelled: "cancelled by the editor" }], "cancelled", /cancelled/],
  [[{ port: PORT, firmwareFileVerifyError: "no answer within 1 s" }], "failed", /The write failed: no answer within 1 s\. The board stays/],
  [[{ port: PORT, firmwareFileTooLarge: "app.bin is 2048 KiB, the board takes at most 1008.0 KiB" }], "failed",
    /too large for this board: app\.bin is 2048 KiB, the board takes at most 1008\.0 KiB\./],
  [[{ port: PORT, firmwareFileEmpty: "app.bin" }], "failed", /"app\.bin" is empty/],
  [[{ port: PORT, romErase: 4096 }, { port: PORT, firmwareWriteInProgress: "app.bin" }], "erase", /already being written/],
  [[{ port: PORT, romErase: 4096 }, ...progress(10)], "failed", /No word from the relay about the write for 10 s/, 11],
  [[{ port: PORT, romErase: 4096 }, ...[1, 2, 3, 4, 5, 6].flatMap(progress)], "write", /writing app\.bin/, 5],
  [[], "failed", /No word from the relay about the write for 10 s/, 11],
];

for (const [replies, stage, status, silence] of WRITES) {
  test(`a write that ends ${stage}: ${status}`, () => {
    const state = chosenBoard();
    commands.writeOnly(state, "app.bin", 0);
    assert.deepEqual(sent(state).map((object) => object.payload), [{ write_firmware: { file: "app.bin" } }]);
    replies.forEach((reply, index) => applyMessage(state, reply, (index + 1) * 1000));
    if (silence) tick(state, (replies.length + silence) * 1000);
    assert.equal(board(state).write.stage, stage);
    assert.match(state.status.text, status);
    assert.equal(state.log.sources.get(PORT).filter((entry) => entry.text.startsWith("firmware progress")).length,
      replies.some((reply) => "romErase" in reply) ? 1 : 0, "one progress line per write");
  });
}

// [command, the reply that answers it]
const ANSWERED = [["getVersion", VERSION], ["exportConfig", { portName: PORT, exportCommit: { nodeCount: 0 } }],
  ["looptime", { port: PORT, looptime: 1, nodecount: 0, memorysize: 0 }], ["commitConfig", { portName: PORT, configCommit: {} }]];

for (const [command, reply] of ANSWERED) {
  test(`${command} answered in time, or said to be unanswered`, () => {
    const answered = chosenBoard();
    commands.boardCommand(answered, command, 0);
    applyMessage(answered, reply, 1000);
    tick(answered, 60000);
    assert.equal(answered.status.failure, false, answered.status.text);
    const unanswered = chosenBoard();
    commands.boardCommand(unanswered, command, 0);
    tick(unanswered, 4000);
    assert.equal(unanswered.status.failure, false, "still waiting");
    tick(unanswered, 11000);
    assert.match(unanswered.status.text, /^simACM1: no answer to .* within \d+ s/);
  });
}

test('a node id in use is pointed out once, unless the node was opened to be changed', () => {
  const state = commands.tablesLoaded(chosenBoard(), JSON.parse(fs.readFileSync(new URL("../../mount-origin/tables.json", import.meta.url))));
  applyMessage(state, { port: PORT, exportNode: { id: 9, type: "constant", properties: { prop_value: 1 } } }, 0);
  const form = { type: "constant", id: "9", texts: { prop_value: "2" }, extra: "" };
  commands.submitNode(state, form, 1);
  assert.match(state.forms.nodeError, /^Node id 9 is already used on this board \(constant\)/);
  commands.submitNode(state, form, 2);
  commands.openNode(state, 9);
  commands.submitNode(state, { ...form, texts: { prop_value: "3" } }, 3);
  assert.deepEqual(sent(state).map((object) => object.payload.addNode.properties.prop_value), [2, 3]);
  assert.equal(board(state).nodes.get("9").properties.prop_value, 3, "the graph shows what was sent");
});

test('a command without a connection sends nothing and says so', () => {
  const state = createState();
  commands.selectBoard(state, PORT);
  commands.boardCommand(state, "getVersion", 0);
  assert.deepEqual([takeOutbox(state).length, state.status.text], [0, "Not connected to the relay: nothing sent."]);
});

test('the relay goes away during a write and comes back', () => {
  const state = chosenBoard();
  commands.boardCommand(state, "getVersion", 0);
  applyMessage(state, VERSION, 1);
  commands.writeOnly(state, "app.bin", 2);
  sent(state);
  commands.disconnected(state, "relay not reachable", 1, 1, 3);
  assert.deepEqual([board(state).stale, board(state).write.stage, state.connection.up], [true, "failed", false]);
  commands.connected(state, 4);
  assert.deepEqual(sent(state).map((object) => object.payload), [{ getVersion: {} }], "the chosen board asked again");
  const lines = state.log.sources.get("").map((entry) => entry.text);
  assert.deepEqual(lines.slice(-3), ["disconnected", "relay not reachable; reconnect attempt 1 in 1 s", "connected"]);
});

test('reconnects wait 1, 2, 4 … 16 s, and 1 s again once connected', () => {
  const sockets = [];
  const waits = [];
  class FakeSocket { constructor() { sockets.push(this); } }
  openConnection("ws://relay/", { onConnecting() {}, onOpen() {}, onText() {}, onRetry: (reason, attempt, seconds) => waits.push(seconds) },
    { Socket: FakeSocket, later: (connect) => connect() });
  for (let attempt = 0; attempt < 6; attempt++) sockets.at(-1).onclose();
  sockets.at(-1).onopen();
  sockets.at(-1).onclose();
  assert.deepEqual(waits, [1, 2, 4, 8, 16, 16, 1]);
});
