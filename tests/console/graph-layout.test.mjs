// The node graph's layout: columns by dependency, missing nodes, cycles, and a board of 100 nodes.

import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import { BOX, layoutGraph } from "../../mount-origin/console/graph-layout.mjs";

const tables = JSON.parse(fs.readFileSync(new URL("../../mount-origin/tables.json", import.meta.url)));
const nodes = (list) => new Map(list.map(([id, type, properties]) => [String(id), { id, type, properties }]));
const column = (layout, key) => (layout.boxes.find((box) => box.key === key).x - BOX.margin) / (BOX.width + BOX.columnGap);

// [nodes, node → column, broken edges]
const LAYOUTS = [
  [[[1, "analogin", { prop_pin: 3 }], [2, "scale", { prop_source: "#1", prop_scale: 2 }], [3, "servopwmout", { prop_source: "#2", prop_active: 1 }]],
    { 1: 0, 2: 1, 3: 2 }, 0],
  [[[5, "binaryop", { prop_binaryop_left: "#1", prop_binaryop_right: "#4" }], [1, "constant", { prop_value: 1 }], [4, "invert", { prop_source: "#1" }]],
    { 1: 0, 4: 1, 5: 2 }, 0],
  [[[2, "invert", { prop_source: "#9" }]], { "missing 9": 0, 2: 1 }, 1],
  [[[1, "invert", { prop_source: "#2" }], [2, "invert", { prop_source: "#1" }]], { 1: 1, 2: 0 }, 0],
  [[[1, "display", { prop_source: 0, prop_color: "#FF0000" }]], { 1: 0 }, 0],
];

test('columns by dependency', () => {
  for (const [list, columns, broken] of LAYOUTS) {
    const layout = layoutGraph(nodes(list), tables);
    for (const [key, expected] of Object.entries(columns)) assert.equal(column(layout, key), expected, `${key} of ${JSON.stringify(list)}`);
    assert.equal(layout.edges.filter((edge) => edge.broken).length, broken);
  }
});

test('a box shows its type, id and main values, not its references', () => {
  const layout = layoutGraph(nodes([[2, "scale", { prop_source: "#1", prop_center: 0.123456, prop_scale: 2 }], [1, "constant", { prop_value: 1 }]]), tables);
  assert.deepEqual(layout.boxes.find((box) => box.key === "2").lines, ["center 0.1235", "scale 2"]);
});

test('100 nodes: inputs, mixers and outputs fit 1280 px without overlapping', () => {
  const list = [];
  for (let id = 1; id <= 40; id++) list.push([id, "analogin", { prop_pin: id }]);
  for (let id = 41; id <= 70; id++) list.push([id, "mix", { prop_mix_source1: `#${id - 40}`, prop_mix_source2: `#${id - 30}` }]);
  for (let id = 71; id <= 100; id++) list.push([id, "servopwmout", { prop_source: `#${id - 30}` }]);
  const layout = layoutGraph(nodes(list), tables);
  assert.ok(layout.width <= 1240, `width ${layout.width}`);
  const places = new Set(layout.boxes.map((box) => `${box.x},${box.y}`));
  assert.equal(places.size, 100, "no two boxes in one place");
  assert.equal(layout.edges.length, 90);
});

test('an edge that skips a column passes beside the boxes of that column', () => {
  const layout = layoutGraph(nodes([[1, "constant", { prop_value: 1 }], [2, "invert", { prop_source: "#1" }],
    [3, "binaryop", { prop_binaryop_left: "#2", prop_binaryop_right: "#1" }]]), tables);
  const skipping = layout.edges.find((edge) => edge.from === "1" && edge.to === "3").path;
  const [, laneY] = skipping.match(/ L[0-9.]+ ([0-9.]+)/).map(Number);
  const middle = layout.boxes.find((box) => box.key === "2");
  assert.ok(laneY < middle.y || laneY > middle.y + BOX.height, `lane at ${laneY}, box from ${middle.y}`);
});
