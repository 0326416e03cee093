// The form checks from the relay's field tables, and which node inputs reference other nodes.

import { test } from "node:test";
import assert from "node:assert/strict";
import fs from "node:fs";
import { collectProperties, fieldValue, formTexts, referencesOf, tableOf } from "../../mount-origin/console/fields.mjs";

const tables = JSON.parse(fs.readFileSync(new URL("../../mount-origin/tables.json", import.meta.url)));
const fieldsOf = (type) => tableOf(tables, "nodes", type, "type").fields;
const field = (kind, extra = {}) => ({ kind, key: "k", label: "K", ...extra });

// [field, text, value or the start of the refusal]
const VALUES = [
  [field("integer", { min: 0, max: 255 }), "3", 3],
  [field("integer", { min: 0, max: 255 }), "300", "K (k) must be a whole number from 0 to 255"],
  [field("integer", { min: 0, max: 255 }), "2.5", "K (k) must be a whole number"],
  [field("integer", { min: 0, max: 255 }), "", "K (k) must be a whole number"],
  [field("number"), "-1.5", -1.5],
  [field("number"), "abc", "K (k) must be a number"],
  [field("source"), "#10", "#10"],
  [field("source"), "#ff8000", "#ff8000"],
  [field("source"), "0.5", 0.5],
  [field("source"), "#xyz", "K (k) must be a number, #id of a node or #RRGGBB"],
  [field("numberOrColor"), "#FF0000", "#FF0000"],
  [field("numberOrColor"), "#10", "K (k) must be a number or #RRGGBB"],
  [field("text", { maxLength: 4 }), "abcd", "abcd"],
  [field("text", { maxLength: 4 }), "abcdé", "K (k) takes at most 4 bytes"],
];

test('field values', () => {
  for (const [given, text, expected] of VALUES) {
    const value = fieldValue(given, text);
    if (typeof expected === "string" && value instanceof Error) assert.ok(value.message.startsWith(expected), `${text}: ${value.message}`);
    else assert.equal(value, expected, `${given.kind} ${text}`);
  }
});

// [type, typed texts, JSON extra, properties or the start of the refusal]
const FORMS = [
  ["constant", { prop_value: "2.5" }, "{}", { prop_value: 2.5 }],
  ["analogin", { prop_pin: "3" }, '{"prop_calib_min": 1}', { prop_pin: 3, prop_calib_min: 1 }],
  ["analogin", {}, '{"prop_bogus": 1}', 'Unknown property "prop_bogus"'],
  ["analogin", {}, '{"prop_pin": "3"}', "prop_pin must be given as a number, not as text"],
  ["analogin", {}, "[1]", "The JSON properties must be an object."],
  ["analogin", {}, "{", "The JSON properties are not valid JSON"],
  ["mapping", {}, '{"prop_points": "0,0;1,1"}', { prop_points: "0,0;1,1" }],
  ["mapping", { prop_pin: "1" }, "", 'Unknown property "prop_pin"'],
];

test('form properties', () => {
  for (const [type, texts, extra, expected] of FORMS) {
    const properties = collectProperties(tableOf(tables, "nodes", type, "type").fields, texts, extra);
    if (typeof expected === "string") assert.ok(properties.message?.startsWith(expected), `${type}: ${properties.message}`);
    else assert.deepEqual(properties, expected);
  }
});

test('an opened node fills its form: table fields as texts, the rest as JSON', () => {
  assert.deepEqual(formTexts(fieldsOf("scale"), { prop_source: "#10", prop_center: 0.5, prop_extra: 1 }),
    { texts: { prop_source: "#10", prop_center: "0.5", prop_scale: "0" }, extra: '{"prop_extra":1}' });
});

// [type, exported properties, the references]
const REFERENCES = [
  ["scale", { prop_source: "#10", prop_center: 0, prop_scale: "#11" }, [["prop_source", 10], ["prop_scale", 11]]],
  ["display", { prop_source: "#4", prop_color: "#123456", prop_display_label: "#12" }, [["prop_source", 4]]],
  ["binaryop", { prop_binaryop_left: 1.5, prop_binaryop_right: "#-3" }, [["prop_binaryop_right", -3]]],
  ["mapping", { prop_source: "#2", prop_points: "#1" }, [["prop_source", 2], ["prop_points", 1]]],
];

test('references between nodes', () => {
  for (const [type, properties, expected] of REFERENCES) {
    const fields = tableOf(tables, "nodes", type, "type").fields;
    assert.deepEqual(referencesOf({ type, properties }, fields).map(({ key, id }) => [key, id]), expected, type);
  }
});
