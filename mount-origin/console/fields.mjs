// The node and feature forms' rules, from the relay's own field tables (tables.json): which fields a type has,
// what a field's text stands for, and which node inputs point at other nodes.

// The table entry of a node type ("nodes", name, "type") or a feature ("features", name, "feature"), or null.
export function tableOf(tables, list, name, nameKey) {
  return tables ? (tables[list].find((entry) => entry[nameKey] === name) || null) : null;
}

export function kindHint(field) {
  if (field.kind === "integer") return `${field.key}: whole number ${field.min}…${field.max}`;
  if (field.kind === "number") return `${field.key}: number`;
  if (field.kind === "source") return `${field.key}: number, #id of a node or #RRGGBB`;
  if (field.kind === "numberOrColor") return `${field.key}: number or #RRGGBB`;
  return `${field.key}: text of up to ${field.maxLength} bytes`;
}

// The value a field's text stands for, or an Error saying why it does not fit the field.
export function fieldValue(field, raw) {
  const text = String(raw).trim();
  const number = text === "" ? NaN : Number(text);
  switch (field.kind) {
  case "integer":
    if (!Number.isInteger(number) || number < field.min || number > field.max) {
      return new Error(`${field.label} (${field.key}) must be a whole number from ${field.min} to ${field.max}`);
    }
    return number;
  case "number":
    return Number.isFinite(number) ? number : new Error(`${field.label} (${field.key}) must be a number`);
  case "source":
    if (Number.isFinite(number)) return number;
    if (/^#[0-9]+$/.test(text) || /^#[0-9a-fA-F]{6}$/.test(text)) return text;
    return new Error(`${field.label} (${field.key}) must be a number, #id of a node or #RRGGBB`);
  case "numberOrColor":
    if (Number.isFinite(number)) return number;
    if (/^#[0-9a-fA-F]{6}$/.test(text)) return text;
    return new Error(`${field.label} (${field.key}) must be a number or #RRGGBB`);
  default:
    return new TextEncoder().encode(text).length <= (field.maxLength ?? 23)
      ? text : new Error(`${field.label} (${field.key}) takes at most ${field.maxLength} bytes`);
  }
}

// The properties of a form: its typed inputs (key → text) and the optional JSON extra. Unknown keys and values of
// the wrong kind are refused with an Error; fields null means a type without fixed fields, which takes any JSON.
export function collectProperties(fields, texts, extraText) {
  const properties = {};
  for (const [key, text] of Object.entries(texts)) {
    const field = fields?.find((entry) => entry.key === key);
    if (!field) return new Error(`Unknown property "${key}"`);
    const value = fieldValue(field, text);
    if (value instanceof Error) return value;
    properties[key] = value;
  }
  if (extraText === undefined || extraText.trim() === "") return properties;
  let extra;
  try {
    extra = JSON.parse(extraText);
  } catch (error) {
    return new Error(`The JSON properties are not valid JSON: ${error.message}`);
  }
  if (extra === null || typeof extra !== "object" || Array.isArray(extra)) return new Error("The JSON properties must be an object.");
  for (const [key, value] of Object.entries(extra)) {
    if (!fields) {
      properties[key] = value;
      continue;
    }
    const field = fields.find((entry) => entry.key === key);
    if (!field) return new Error(`Unknown property "${key}": this type takes ${fields.map((entry) => entry.key).join(", ") || "none"}`);
    const checked = fieldValue(field, typeof value === "string" ? value : JSON.stringify(value));
    if (checked instanceof Error) return checked;
    if (field.kind !== "text" && typeof value === "string" && typeof checked === "number") {
      return new Error(`${field.key} must be given as a number, not as text`);
    }
    properties[key] = checked;
  }
  return properties;
}

// A node's property texts for its form: the table's fields from the node (or their defaults), and everything the
// table does not name as the JSON extra.
export function formTexts(fields, properties = {}) {
  const texts = {};
  for (const field of fields || []) texts[field.key] = String(properties[field.key] ?? field.default);
  const extra = Object.fromEntries(Object.entries(properties).filter(([key]) => !(fields || []).some((field) => field.key === key)));
  return { texts, extra: Object.keys(extra).length ? JSON.stringify(extra) : "{}" };
}

// A board writes a reference to node N as the text "#N"; a colour is "#" and exactly six hexadecimal digits.
function referencedId(value) {
  if (typeof value !== "string" || value.length === 7 || !/^#-?[0-9]+$/.test(value)) return null;
  return Number(value.slice(1));
}

// The inputs of an exported node that reference other nodes, as [{ key, id }]: the fields the table gives as
// sources, and for a type the table has no fields for, every property written as a reference.
export function referencesOf(node, fields) {
  const references = [];
  for (const [key, value] of Object.entries(node.properties || {})) {
    const field = fields ? fields.find((entry) => entry.key === key) : null;
    if (fields && field && field.kind !== "source") continue;
    const id = referencedId(value);
    if (id !== null) references.push({ key, id });
  }
  return references;
}
