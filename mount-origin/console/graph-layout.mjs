// Where the boxes and edges of a board's node graph go: a column per dependency depth (nodes that read no other
// node on the left, the nodes that read them to their right), the boxes of a column ordered by the rows of the
// nodes they read, so that edges cross little. A reference to a node the board does not hold gets a box of its own,
// marked missing.

import { referencesOf, tableOf } from "./fields.mjs";

export const BOX = { width: 150, height: 58, columnGap: 46, rowGap: 12, margin: 8 };
const VALUE_LINES = 2;
const LINE_CHARS = 24;

// The words shown for a property: without "prop_" and without the type's name in front.
function shortKey(key, type) {
  const bare = key.replace(/^prop_/, "");
  return bare.startsWith(`${type}_`) ? bare.slice(type.length + 1) : bare;
}

const valueText = (value) => (typeof value === "number" && !Number.isInteger(value) ? String(Number(value.toPrecision(4)))
  : typeof value === "object" ? JSON.stringify(value) : String(value));

// The node's main values: its properties that are not references, in the order of its table.
export function mainValues(node, fields, references) {
  const properties = node.properties || {};
  const keys = fields ? fields.map((field) => field.key).filter((key) => key in properties) : Object.keys(properties);
  return keys.filter((key) => !references.some((reference) => reference.key === key))
    .slice(0, VALUE_LINES)
    .map((key) => `${shortKey(key, node.type)} ${valueText(properties[key])}`.slice(0, LINE_CHARS));
}

// Depth of every node: 0 for a node that reads none, else one more than the deepest node it reads. A cycle is cut
// where the walk meets a node it is still inside.
function depths(ids, inputs) {
  const depth = new Map();
  const inside = new Set();
  const visit = (id) => {
    if (depth.has(id)) return depth.get(id);
    if (inside.has(id)) return -1;
    inside.add(id);
    let deepest = -1;
    for (const source of inputs.get(id) || []) deepest = Math.max(deepest, visit(source));
    inside.delete(id);
    depth.set(id, deepest + 1);
    return deepest + 1;
  };
  for (const id of ids) visit(id);
  return depth;
}

// nodes: the board's exported nodes (id text → node); tables: the relay's field tables (or null).
export function layoutGraph(nodes, tables) {
  const boxes = new Map();
  const edges = [];
  for (const [key, node] of nodes) {
    const fields = tableOf(tables, "nodes", node.type, "type")?.fields ?? null;
    const references = referencesOf(node, fields);
    boxes.set(key, { key, id: node.id, type: node.type, missing: false, lines: mainValues(node, fields, references) });
    references.forEach((reference, index) => edges.push({ from: String(reference.id), source: reference.id, to: key, input: reference.key,
      index, count: references.length }));
  }
  for (const edge of edges) {
    if (boxes.has(edge.from)) continue;
    edge.broken = true;
    const ghost = `missing ${edge.from}`;
    if (!boxes.has(ghost)) boxes.set(ghost, { key: ghost, id: Number(edge.from), type: "missing", missing: true, lines: [`no node #${edge.from}`] });
    edge.from = ghost;
  }
  const inputs = new Map([...boxes.keys()].map((key) => [key, []]));
  for (const edge of edges) inputs.get(edge.to).push(edge.from);

  const byId = (a, b) => a.id - b.id || a.key.localeCompare(b.key);
  const depth = depths([...boxes.keys()], inputs);
  const columns = [];
  for (const box of [...boxes.values()].sort(byId)) {
    const column = depth.get(box.key);
    (columns[column] ||= []).push(box);
  }
  // Each column after the first in the order of the mean row of what its boxes read.
  const row = new Map();
  columns.forEach((column, index) => {
    if (index > 0) {
      const mean = (box) => {
        const rows = inputs.get(box.key).filter((source) => row.has(source)).map((source) => row.get(source));
        return rows.length ? rows.reduce((sum, value) => sum + value, 0) / rows.length : Infinity;
      };
      const means = new Map(column.map((box) => [box.key, mean(box)]));
      column.sort((a, b) => means.get(a.key) - means.get(b.key) || byId(a, b));
    }
    column.forEach((box, position) => {
      row.set(box.key, position);
      box.x = BOX.margin + index * (BOX.width + BOX.columnGap);
      box.y = BOX.margin + position * (BOX.height + BOX.rowGap);
    });
  });
  const tallest = Math.max(0, ...columns.map((column) => column.length));
  return {
    boxes: columns.flat(),
    edges: edges.map((edge) => ({ ...edge, path: edgePath(boxes.get(edge.from), boxes.get(edge.to), edge) })),
    width: 2 * BOX.margin + columns.length * BOX.width + Math.max(0, columns.length - 1) * BOX.columnGap,
    height: 2 * BOX.margin + tallest * BOX.height + Math.max(0, tallest - 1) * BOX.rowGap,
  };
}

// From the right side of the source to the input's place on the left side of the reader.
function edgePath(from, to, edge) {
  const x1 = from.x + BOX.width;
  const y1 = from.y + BOX.height / 2;
  const x2 = to.x;
  const y2 = to.y + (BOX.height * (edge.index + 1)) / (edge.count + 1);
  const bend = Math.max(24, Math.abs(x2 - x1) / 2);
  return `M${x1} ${y1} C${x1 + bend} ${y1} ${x2 - bend} ${y2} ${x2} ${y2}`;
}
