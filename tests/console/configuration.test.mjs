// The configuration document in the page: written as the command-line client lays it out, read back, its
// differences in words, the messages that restore it, and a backup and restore as the state core runs them.

import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import * as commands from "../../mount-origin/console/commands.mjs";
import * as restoreFlow from "../../mount-origin/console/restore-flow.mjs";
import { differences, documentText, readDocument, restorePayloads } from "../../mount-origin/console/configuration.mjs";
import { applyMessage, createState, takeOutbox } from "../../mount-origin/console/store.mjs";

const tables = JSON.parse(fs.readFileSync(new URL("../../mount-origin/tables.json", import.meta.url)));
const PORT = "simACM0";
const node = (id, type, properties = {}) => ({ id, type, pos: { x: id, y: 0 }, properties });
const doc = (nodes, features = []) => ({ format: "vantrel-configuration", version: 1, board: { firmware: "1.4.2", flashSizeKiB: 1024, idcode: 1, serial: "0" }, features, nodes });

test("a document is written one member a line and read back as it was", () => {
  const written = doc([node(2, "constant", { prop_value: 1.5 }), node(1, "clamp")], [{ feature: "gps", doinit: 1 }]);
  const text = documentText(written);
  assert.match(text, /^\{\n {2}"format": "vantrel-configuration",\n {2}"version": 1,\n/);
  assert.match(text, /\n {2}"nodes": \[\n {4}\{"id":2,"pos":\{"x":2,"y":0\},"properties":\{"prop_value":1\.5\},"type":"constant"\},\n/);
  assert.deepEqual(readDocument(text).document.nodes, written.nodes);
});

// [text, what is wrong with it]
const REFUSED = [
  ["{", /no JSON/], ['{"format":"other"}', /no board configuration/], ['{"format":"vantrel-configuration","version":2}', /version 2/],
  ['{"format":"vantrel-configuration","version":1,"nodes":[{"id":0,"type":"x"}]}', /"id" from 1 to 65535/],
  ['{"format":"vantrel-configuration","version":1,"nodes":[{"id":3,"type":"x"},{"id":3,"type":"y"}]}', /node 3 twice/],
];
for (const [text, reason] of REFUSED) {
  test(`refused: ${text.slice(0, 40)}`, () => assert.match(readDocument(text).error, reason));
}

test("differences are named node by node and field by field", () => {
  const file = doc([node(1, "clamp", { prop_min: 0 }), node(2, "constant"), node(4, "pid")]);
  const board = doc([node(1, "clamp", { prop_min: 2 }), node(2, "mix"), node(3, "constant")]);
  assert.deepEqual(differences(file, board), [
    "node 1 (clamp): prop_min is 0 in the file, 2 in the board",
    'node 2 (constant): type is "constant" in the file, "mix" in the board',
    "node 3 (constant) is only in the board",
    "node 4 (pid) is only in the file",
  ]);
  assert.deepEqual(differences(file, file), []);
});

// [exported node, the properties its addNode carries]
const TRANSLATIONS = [
  [node(1, "strobe", { prop_strobe_pattern: "1".repeat(33) }), { prop_flags1: -1, prop_flags2: 1 }],
  [node(2, "rgbledindices", { prop_rgbled_indices: "1-2,33" }), { prop_flags1: 3, prop_flags2: 1, prop_flags3: 0, prop_flags4: 0 }],
  [node(3, "rotaryencoder", {}), { prop_rotaryencoder_predelta: 0 }],
  [node(4, "mapping", { prop_mapping_points: "0;0.5,0.8;1", prop_mapping_minx: 0, prop_mapping_maxx: 2 }),
    { points: [0, 0, 0.5, 0.8, 2, 1], miny: 0, maxy: 1 }],
  [node(5, "geocalc", { prop_geocalc_tolat: 1.2345678 }), { prop_geocalc_tolat: 1.23456785 }],
  [node(6, "digitalin", {}), { prop_digitalinput_pull: 0 }],
];
for (const [exported, expected] of TRANSLATIONS) {
  test(`restore of a ${exported.type} node`, () => {
    const { payloads } = restorePayloads(doc([exported]), tables);
    assert.deepEqual(payloads[0], { resetConfig: 1 });
    const sent = payloads[1].addNode;
    assert.deepEqual({ id: sent.id, editorPos: sent.editorPos }, { id: exported.id, editorPos: exported.pos });
    for (const [key, value] of Object.entries(expected)) assert.deepEqual(sent.properties[key], value, key);
    assert.ok(!("prop_strobe_pattern" in sent.properties || "prop_mapping_points" in sent.properties));
  });
}

test("a type the tables do not know is no restore", () => {
  assert.match(restorePayloads(doc([node(1, "warpdrive")]), tables).error, /warpdrive/);
});

test("backup, then a restore shown as a difference first and checked after", () => {
  const state = commands.connected(createState(), 0);
  state.tables = tables;
  applyMessage(state, { ports: [{ name: PORT }] }, 0);
  commands.selectBoard(state, PORT);
  const exported = { port: PORT, exportNode: node(1, "constant", { prop_value: 2 }) };
  const commit = { portName: PORT, exportCommit: { nodeCount: 1 } };
  restoreFlow.backup(state, 1);
  for (const reply of [exported, commit]) applyMessage(state, reply, 2);
  assert.match(state.download.text, /"prop_value":2/);
  const text = state.download.text;
  takeOutbox(state);
  restoreFlow.chooseRestore(state, "saved.json", text.replace('"prop_value":2', '"prop_value":3'), 3);
  for (const reply of [exported, commit]) applyMessage(state, reply, 4);
  assert.match(state.status.text, /1 difference/);
  takeOutbox(state);
  restoreFlow.restore(state, 5);
  const sent = takeOutbox(state).map((message) => Object.keys(JSON.parse(message).payload)[0]);
  assert.deepEqual(sent.filter((key) => key !== "getVersion"), ["resetConfig", "addNode", "exportConfig"]);
  for (const reply of [exported, commit]) applyMessage(state, reply, 6);
  assert.equal(state.status.failure, true, "the board still holds 2");
  assert.match(state.status.text, /prop_value is 3 in the file, 2 in the board/);
});
