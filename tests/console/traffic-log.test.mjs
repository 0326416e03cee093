// The traffic log: caps per board, a write's progress folded into one line, filters and the note under them.

import { test } from "node:test";
import assert from "node:assert/strict";
import * as log from "../../mount-origin/console/traffic-log.mjs";

test('each board keeps its newest 5000 lines and the note says how many were dropped', () => {
  const traffic = log.createLog();
  for (let line = 0; line < log.LOG_LIMIT_PER_SOURCE + 3; line++) log.addEntry(traffic, "simACM0", "in", `line ${line}`, 0);
  log.addEntry(traffic, null, "state", "connected", 0);
  assert.equal(traffic.sources.get("simACM0").length, log.LOG_LIMIT_PER_SOURCE);
  assert.equal(traffic.sources.get("simACM0")[0].text, "line 3");
  assert.equal(log.logNote(traffic, 5001, 300), "Older lines dropped: 3 of simACM0. Showing the newest 300 of 5001 matching lines; Download has them all.");
});

test('progress replies of a write are one line, a new write starts a new one', () => {
  const traffic = log.createLog();
  log.addProgress(traffic, "simACM1", { romErase: 4096 }, 0);
  for (let percent = 1; percent <= 100; percent++) log.addProgress(traffic, "simACM1", { romWrite: percent, romVerify: percent - 1 }, 0);
  assert.deepEqual(traffic.sources.get("simACM1").map((entry) => entry.text),
    ["firmware progress (101 replies): erase 4096 bytes, written 100%, verified 99%"]);
  log.endProgress(traffic, "simACM1");
  log.addProgress(traffic, "simACM1", { romErase: 4096 }, 0);
  assert.equal(traffic.sources.get("simACM1").length, 2);
});

// [filters, the texts that match]
const FILTERS = [
  [{}, ["a out", "b in", "c state"]],
  [{ direction: "in" }, ["b in"]],
  [{ board: "simACM1" }, ["b in"]],
  [{ text: "SIMACM0" }, ["a out"]],
  [{ text: "nothing" }, []],
];

test('filters', () => {
  const traffic = log.createLog();
  log.addEntry(traffic, "simACM0", "out", "a out", 0);
  log.addEntry(traffic, "simACM1", "in", "b in", 0);
  log.addEntry(traffic, null, "state", "c state", 0);
  for (const [filters, texts] of FILTERS) {
    assert.deepEqual(log.matchingEntries(traffic, filters).map((entry) => entry.text), texts, JSON.stringify(filters));
  }
  assert.match(log.downloadText(log.matchingEntries(traffic, { board: "simACM1" })), /\tin\tsimACM1\tb in\n$/);
});
