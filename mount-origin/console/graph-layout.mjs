// Where the boxes and edges of a board's node graph go: a column per dependency depth (nodes that read no other
// node on the left, the nodes that read them to their right), the boxes of a column ordered by the rows of their
// neighbours, so that edges cross little. A reference to a node the board does not hold gets a box of its own,
// marked missing.

import { referencesOf, tableOf } from "./fields.mjs";

export const BOX = { width: 150, height: 58, lane: 8, columnGap: 46, rowGap: 12, margin: 8 };
const VALUE_LINES = 2;
const LINE_CHARS = 20;
const SWEEPS = 3;

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
    .map((key) => `${shortKey(key, node.type)} ${valueText(properties[key])}`)
    .map((line) => (line.length > LINE_CHARS ? `${line.slice(0, LINE_CHARS - 1)}…` : line));
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
  const depth = depths([...boxes.keys()], inputs);

  // An edge that skips columns runs through a lane of its own in each column it crosses, so it passes between
  // boxes instead of under them. Lanes are ordered like boxes; the layout's boxes are the real ones only.
  const byId = (a, b) => a.id - b.id || a.key.localeCompare(b.key);
  const columns = [];
  for (const box of [...boxes.values()].sort(byId)) (columns[depth.get(box.key)] ||= []).push(box);
  const links = [];
  for (const [number, edge] of edges.entries()) {
    edge.lanes = [];
    let previous = edge.from;
    for (let column = depth.get(edge.from) + 1; column < depth.get(edge.to); column++) {
      const lane = { key: `lane ${number} ${column}`, id: Infinity, lane: true };
      columns[column].push(lane);
      edge.lanes.push(lane);
      links.push([previous, lane.key]);
      previous = lane.key;
    }
    links.push([previous, edge.to]);
  }
  const neighbours = () => new Map(columns.flat().map((box) => [box.key, []]));
  const before = neighbours();
  const after = neighbours();
  for (const [from, to] of links) {
    before.get(to).push(from);
    after.get(from).push(to);
  }

  // Columns ordered by the mean row of what their boxes read, then by the mean row of what reads them, a few
  // times over: boxes move next to their neighbours and edges cross less.
  const row = new Map();
  const place = (column) => column.forEach((box, position) => row.set(box.key, position));
  const reorder = (column, linked) => {
    const mean = (box) => {
      const rows = linked.get(box.key).filter((key) => row.has(key)).map((key) => row.get(key));
      return rows.length ? rows.reduce((sum, value) => sum + value, 0) / rows.length : row.get(box.key);
    };
    const means = new Map(column.map((box) => [box.key, mean(box)]));
    column.sort((a, b) => means.get(a.key) - means.get(b.key) || row.get(a.key) - row.get(b.key));
    place(column);
  };
  columns.forEach(place);
  for (let sweep = 0; sweep < SWEEPS; sweep++) {
    for (let index = 1; index < columns.length; index++) reorder(columns[index], before);
    for (let index = columns.length - 2; index >= 0; index--) reorder(columns[index], after);
  }
  let height = 0;
  columns.forEach((column, index) => {
    let y = BOX.margin;
    for (const box of column) {
      box.x = BOX.margin + index * (BOX.width + BOX.columnGap);
      box.y = y;
      y += (box.lane ? BOX.lane : BOX.height) + BOX.rowGap;
    }
    height = Math.max(height, y - BOX.rowGap + BOX.margin);
  });
  return {
    boxes: columns.flat().filter((box) => !box.lane),
    edges: edges.map(({ lanes, ...edge }) => ({ ...edge, path: edgePath(boxes.get(edge.from), lanes, boxes.get(edge.to), edge) })),
    width: 2 * BOX.margin + columns.length * BOX.width + Math.max(0, columns.length - 1) * BOX.columnGap,
    height,
  };
}

// From the right side of the source, along its lanes, to the input's place on the left side of the reader.
function edgePath(from, lanes, to, edge) {
  const points = [[from.x + BOX.width, from.y + BOX.height / 2]];
  for (const lane of lanes) points.push([lane.x, lane.y + BOX.lane / 2], [lane.x + BOX.width, lane.y + BOX.lane / 2]);
  points.push([to.x, to.y + (BOX.height * (edge.index + 1)) / (edge.count + 1)]);
  let path = `M${points[0][0]} ${points[0][1]}`;
  for (let index = 1; index < points.length; index++) {
    const [x1, y1] = points[index - 1];
    const [x2, y2] = points[index];
    const bend = Math.max(24, Math.abs(x2 - x1) / 2);
    path += index % 2 ? ` C${x1 + bend} ${y1} ${x2 - bend} ${y2} ${x2} ${y2}` : ` L${x2} ${y2}`;
  }
  return path;
}
