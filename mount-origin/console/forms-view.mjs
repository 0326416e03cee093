// Draws the node and feature forms from the relay's field tables, their errors, and the board's export as a table.
// The inputs keep what the person types: they are rebuilt only when the type changes or a node is opened.

import { formTexts, kindHint, tableOf } from "./fields.mjs";
import { compactJson } from "./traffic-log.mjs";
import { selectedBoard } from "./store.mjs";
import { element } from "./board-view.mjs";

function buildFields(fieldset, fields, legend, texts = {}) {
  const caption = document.createElement("legend");
  caption.textContent = legend;
  fieldset.replaceChildren(caption);
  if (!fields) {
    const note = document.createElement("p");
    note.className = "hint";
    note.textContent = fields === null ? "This type has no fixed fields: give its properties as JSON below." : "Loading the relay's tables…";
    fieldset.append(note);
    return;
  }
  for (const field of fields) {
    const label = document.createElement("label");
    label.textContent = `${field.label} `;
    const input = document.createElement("input");
    input.dataset.key = field.key;
    input.name = field.key;
    if (field.kind === "integer" || field.kind === "number") {
      input.type = "number";
      input.step = field.kind === "integer" ? "1" : "any";
      if ("min" in field) input.min = String(field.min);
      if ("max" in field) input.max = String(field.max);
    } else {
      input.type = "text";
      if (field.maxLength) input.maxLength = field.maxLength;
    }
    input.value = texts[field.key] ?? String(field.default);
    const hint = document.createElement("small");
    hint.textContent = kindHint(field);
    label.append(input, hint);
    fieldset.append(label);
  }
}

// The fields of a table entry: undefined while the tables load, null for a type without fixed fields.
const fieldsOf = (state, list, name, nameKey) => (state.tables ? (tableOf(state.tables, list, name, nameKey)?.fields ?? null) : undefined);

function renderNodeForm(state) {
  const select = element("node-type");
  const board = selectedBoard(state);
  const known = board && board.capabilities ? board.capabilities.knownNodes || [] : [];
  const names = [...new Set(known.length ? known : (state.tables ? state.tables.nodes.map((node) => node.type) : []))].sort();
  const request = state.forms.request;
  const opened = request && select.dataset.request !== String(request.serial);
  if (names.join() !== [...select.options].map((option) => option.value).join()) {
    const current = select.value;
    select.replaceChildren(...names.map((name) => new Option(name, name)));
    if (names.includes(current)) select.value = current;
  }
  if (opened) {
    select.dataset.request = String(request.serial);
    if (!names.includes(request.type)) select.append(new Option(request.type, request.type));
    select.value = request.type;
    element("node-id").value = String(request.id);
  }
  const fieldset = element("node-fields");
  const drawn = `${select.value}|${state.tables ? "tables" : ""}`;
  if (!opened && fieldset.dataset.drawn === drawn) return;
  fieldset.dataset.drawn = drawn;
  const fields = fieldsOf(state, "nodes", select.value, "type");
  const form = formTexts(fields, opened ? request.properties : {});
  buildFields(fieldset, fields, "Properties", form.texts);
  if (opened) {
    element("node-properties").value = form.extra;
    (fieldset.querySelector("input") || element("node-id")).focus();
    element("nodes-panel").scrollIntoView({ block: "nearest" });
  }
}

function renderFeatureForm(state) {
  const select = element("feature-name");
  const names = state.tables ? state.tables.features.map((entry) => entry.feature) : [];
  if (names.join() !== [...select.options].map((option) => option.value).join()) {
    select.replaceChildren(...names.map((name) => new Option(name, name)));
  }
  const fieldset = element("feature-fields");
  const drawn = `${select.value}|${state.tables ? "tables" : ""}`;
  if (fieldset.dataset.drawn === drawn) return;
  fieldset.dataset.drawn = drawn;
  buildFields(fieldset, fieldsOf(state, "features", select.value, "feature"), "Settings");
}

function renderExports(state) {
  const board = selectedBoard(state);
  const body = element("export-table");
  const key = board ? `${state.selected}|${board.nodesRevision}|${board.features.size}|${board.exportSummary}` : "";
  if (body.dataset.key === key) return;
  body.dataset.key = key;
  body.replaceChildren();
  element("export-summary").textContent = board && board.exportSummary ? board.exportSummary : "Press Export to list the board's nodes.";
  if (!board) return;
  const addRow = (kind, id, type, content) => {
    const row = body.insertRow();
    for (const text of [kind, id, type, content]) row.insertCell().textContent = text;
  };
  for (const [id, node] of board.nodes) addRow("node", id, node.type, compactJson(node.properties ?? {}));
  for (const [name, feature] of board.features) {
    const settings = Object.fromEntries(Object.entries(feature).filter(([field]) => field !== "feature"));
    addRow("feature", name, "", compactJson(settings));
  }
}

export function renderForms(state) {
  renderNodeForm(state);
  renderFeatureForm(state);
  renderExports(state);
  element("node-form-error").textContent = state.forms.nodeError;
  element("feature-form-error").textContent = state.forms.featureError;
  element("tweak-error").textContent = state.forms.tweakError;
  element("add-node").textContent = state.forms.editing !== null ? `Save node ${state.forms.editing}` : "Add node";
}
