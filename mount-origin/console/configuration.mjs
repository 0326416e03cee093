// A board's configuration as one document, the one `vantrel backup` writes and `vantrel restore` reads
// (docs/vantrel-configuration.schema.json): reading and writing it, its differences in words, and the messages that
// make a board hold it again. Pure: no page, no socket.

export const FORMAT = "vantrel-configuration";
export const FORMAT_VERSION = 1;

const sortedKeys = (value) => {
  if (Array.isArray(value)) return value.map(sortedKeys);
  if (value === null || typeof value !== "object") return value;
  return Object.fromEntries(Object.keys(value).sort().map((key) => [key, sortedKeys(value[key])]));
};
const compact = (value) => JSON.stringify(sortedKeys(value));

// The document of what the board exported last, with its identity from its last version reply.
export function documentOf(board) {
  const version = board.version || {};
  return {
    format: FORMAT,
    version: FORMAT_VERSION,
    board: {
      firmware: `${version.versionMajor ?? 0}.${version.versionMinor ?? 0}.${version.versionPatch ?? 0}`,
      flashSizeKiB: version.flashsize ?? 0,
      idcode: version.idcode ?? 0,
      serial: version.serial ?? "",
    },
    features: [...board.features.values()].sort((a, b) => String(a.feature).localeCompare(String(b.feature))),
    nodes: [...board.nodes.values()].sort((a, b) => a.id - b.id),
  };
}

// One member a line, keys in order, as the command-line client lays it out: two backups of one board compare equal.
export function documentText(document) {
  const list = (entries) => (entries.length ? `[\n    ${entries.map(compact).join(",\n    ")}\n  ]` : "[]");
  return `{\n  "format": "${FORMAT}",\n  "version": ${FORMAT_VERSION},\n  "board": ${compact(document.board)},\n` +
    `  "features": ${list(document.features)},\n  "nodes": ${list(document.nodes)}\n}\n`;
}

// The document in a text, or the reason it is none.
export function readDocument(text) {
  let root;
  try {
    root = JSON.parse(text);
  } catch {
    return { error: "is no JSON" };
  }
  if (!root || typeof root !== "object" || root.format !== FORMAT) return { error: `is no board configuration (its "format" is not "${FORMAT}")` };
  if (root.version !== FORMAT_VERSION) return { error: `has format version ${JSON.stringify(root.version)}; this console reads version ${FORMAT_VERSION}` };
  const features = root.features ?? [];
  const nodes = root.nodes ?? [];
  if (!Array.isArray(features) || !Array.isArray(nodes)) return { error: 'has "features" or "nodes" that are no lists' };
  if (features.some((feature) => !feature || typeof feature.feature !== "string")) return { error: 'has a feature without a "feature" name' };
  if (nodes.some((node) => !node || !Number.isInteger(node.id) || node.id < 1 || node.id > 65535 || typeof node.type !== "string")) {
    return { error: 'has a node without an "id" from 1 to 65535 and a "type"' };
  }
  for (const [entries, key, what] of [[features, "feature", "feature"], [nodes, "id", "node"]]) {
    const seen = new Set();
    for (const entry of entries) {
      if (seen.has(entry[key])) return { error: `names the ${what} ${entry[key]} twice` };
      seen.add(entry[key]);
    }
  }
  return { document: { ...root, features, nodes } };
}

// Every member as "name" or "outer.inner" with its JSON text.
function flatten(value, prefix, members) {
  if (value && typeof value === "object" && !Array.isArray(value) && Object.keys(value).length) {
    for (const key of Object.keys(value)) flatten(value[key], prefix ? `${prefix}.${key}` : key, members);
  } else {
    members.set(prefix, compact(value));
  }
  return members;
}

// What differs, node by node and field by field, in words; empty when both hold the same.
export function differences(left, right, leftName = "the file", rightName = "the board") {
  const found = [];
  const entries = (document, list, key) => new Map(document[list].map((entry) => [entry[key], entry]));
  const subjects = [
    ["features", "feature", (feature) => `feature ${feature.feature}`],
    ["nodes", "id", (node) => `node ${node.id} (${node.type})`],
  ];
  for (const [list, key, subjectOf] of subjects) {
    const a = entries(left, list, key);
    const b = entries(right, list, key);
    for (const name of [...new Set([...a.keys(), ...b.keys()])].sort((x, y) => (x < y ? -1 : x > y ? 1 : 0))) {
      if (!a.has(name) || !b.has(name)) {
        found.push(`${subjectOf(a.get(name) || b.get(name))} is only in ${a.has(name) ? leftName : rightName}`);
        continue;
      }
      const subject = subjectOf(a.get(name));
      if (a.get(name).type !== b.get(name).type) {
        found.push(`${subject}: type is ${JSON.stringify(a.get(name).type)} in ${leftName}, ${JSON.stringify(b.get(name).type)} in ${rightName}`);
        continue;
      }
      const am = flatten(a.get(name), "", new Map());
      const bm = flatten(b.get(name), "", new Map());
      for (const member of [...new Set([...am.keys(), ...bm.keys()])].sort()) {
        if (member === key || am.get(member) === bm.get(member)) continue;
        const side = (members, where) => (members.has(member) ? `${members.get(member)} in ${where}` : `not in ${where}`);
        found.push(`${subject}: ${member.replace(/^properties\./, "")} is ${side(am, leftName)}, ${side(bm, rightName)}`);
      }
    }
  }
  return found;
}

const asInt32 = (bits) => bits | 0;

// What the field rows say: a key the export left out stands for the row's "omitted" value; a coordinate goes half a
// step beyond its whole step, so the board's cut toward zero lands on that step.
function applyFieldRows(rows, properties) {
  for (const row of rows) {
    if (!(row.key in properties) && "omitted" in row) properties[row.key] = row.omitted;
    if (!(row.key in properties)) continue;
    const value = properties[row.key];
    if ("step" in row && typeof value === "number") {
      const scale = Math.round(1 / row.step);
      const steps = Math.round(value * scale);
      properties[row.key] = steps === 0 ? 0 : (steps + Math.sign(steps) * 0.5) / scale;
    } else if (row.max === 4294967295 && Number.isInteger(value) && value > 2147483647) {
      properties[row.key] = asInt32(value);
    }
  }
}

// The export writes a point list as "y0;x1,y1;...;yn": the first and last x are the mapping's minx and maxx.
function pointList(text, minX, maxX) {
  const items = text ? text.split(";") : [];
  return items.flatMap((item, index) => {
    const inner = index > 0 && index + 1 < items.length && item.includes(",");
    const [x, y] = inner ? item.split(",").map(Number) : [index === 0 ? minX : maxX, Number(item)];
    return [x, y];
  });
}

// What the export names otherwise than the node's own command does.
const TYPE_RULES = {
  mapping(properties) {
    const text = String(properties.prop_mapping_points ?? "");
    const minX = typeof properties.prop_mapping_minx === "number" ? properties.prop_mapping_minx : 0;
    const maxX = typeof properties.prop_mapping_maxx === "number" ? properties.prop_mapping_maxx : 1;
    const [forward, reverse] = text.split("/");
    properties.points = pointList(forward, minX, maxX);
    if (reverse !== undefined) properties.points_reverse = pointList(reverse, minX, maxX);
    properties.miny = properties.prop_mapping_miny ?? 0;
    properties.maxy = properties.prop_mapping_maxy ?? 1;
    for (const key of ["prop_mapping_points", "prop_mapping_minx", "prop_mapping_maxx", "prop_mapping_miny", "prop_mapping_maxy"]) {
      delete properties[key];
    }
  },
  strobe(properties) {
    const pattern = String(properties.prop_strobe_pattern ?? "");
    const words = [0, 0];
    for (let step = 0; step < Math.min(pattern.length, 64); step++) if (pattern[step] === "1") words[step >> 5] |= 1 << (step % 32);
    [properties.prop_flags1, properties.prop_flags2] = words.map(asInt32);
    delete properties.prop_strobe_pattern;
  },
  rgbledindices(properties) {
    const words = [0, 0, 0, 0];
    for (const run of String(properties.prop_rgbled_indices ?? "").split(",").filter(Boolean)) {
      const [first, last = first] = run.split("-").map((part) => parseInt(part, 10));
      for (let index = Math.max(first, 1); index <= Math.min(last, 128); index++) words[(index - 1) >> 5] |= 1 << ((index - 1) % 32);
    }
    words.forEach((word, index) => { properties[`prop_flags${index + 1}`] = asInt32(word); });
    delete properties.prop_rgbled_indices;
  },
  rotaryencoder(properties) {
    properties.prop_rotaryencoder_predelta = properties.prop_rotaryencoderinput ?? 0;
    delete properties.prop_rotaryencoderinput;
  },
};

// The messages that make the board hold the document: one reset (every node and feature goes), every feature,
// every node. { payloads } or { error } for a type the tables do not know.
export function restorePayloads(document, tables) {
  const payloads = [{ resetConfig: 1 }];
  for (const exported of document.features) {
    const table = tables.features.find((entry) => entry.feature === exported.feature);
    if (!table) return { error: `the feature '${exported.feature}' is one this console does not know` };
    const feature = structuredClone(exported);
    delete feature.missingPropertiesFoundOnly;
    applyFieldRows(table.fields || [], feature);
    payloads.push({ setFeature: feature });
  }
  for (const exported of document.nodes) {
    const table = tables.nodes.find((entry) => entry.type === exported.type);
    if (!table) return { error: `node ${exported.id} has the type '${exported.type}', which this console does not know` };
    const properties = structuredClone(exported.properties || {});
    applyFieldRows(table.fields || [], properties);
    TYPE_RULES[exported.type]?.(properties);
    payloads.push({ addNode: { id: exported.id, type: exported.type, editorPos: exported.pos || {}, properties } });
  }
  return { payloads };
}

// The board's export is complete: what the waiting backup, comparison or restore makes of it. Returns the status
// line it calls for and, for a backup, the file to download; null when nothing waited.
export function followConfiguration(board, message, port) {
  const configuration = board.configuration;
  if (!configuration || !("exportCommit" in message)) return null;
  const held = documentOf(board);
  if (configuration.kind === "backup") {
    board.configuration = null;
    return {
      status: { text: `${port}: backup of ${held.nodes.length} node(s) and ${held.features.length} feature(s) ready.`, failure: false },
      download: { name: `${port}-configuration.json`, text: documentText(held) },
    };
  }
  const found = differences(configuration.document, held);
  if (configuration.kind === "check") {
    Object.assign(configuration, { kind: "review", diff: found });
    const text = found.length ? `${found.length} difference(s) between ${configuration.name} and the board; press Restore to send the file`
      : `the board holds ${configuration.name} already`;
    return { status: { text: `${port}: ${text}.`, failure: false } };
  }
  if (configuration.kind === "restoring") {
    Object.assign(configuration, { kind: found.length ? "failed" : "restored", diff: found });
    return found.length
      ? { status: { text: `${port}: the board does not hold ${configuration.name} after the restore: ${found[0]}.`, failure: true } }
      : { status: { text: `${port}: restored ${configuration.name} exactly; press Commit to keep it after a restart.`, failure: false } };
  }
  return null;
}
