// What the person using the page asks for, as functions of the state: each checks what it was given, queues
// what is to be sent (store.mjs) and says on the status line what happened.

import * as protocol from "./protocol.mjs";
import { BOARD_COMMANDS, SENT_TEXT } from "./protocol.mjs";
import { boardState, selectedBoard, send, sendToPort, setStatus } from "./store.mjs";
import { collectProperties, fieldValue, tableOf } from "./fields.mjs";
import { LOCAL_CHOICE, sourceOf, startWrite, writing } from "./firmware.mjs";
import { cancelFlow, startFlow } from "./flash-flow.mjs";
import { addEntry, clearLog, endProgress } from "./traffic-log.mjs";

// Every board command goes to the board the user chose, never to another.
export function sendToBoard(state, payload, sentText, now, command = null) {
  if (!state.selected) return setStatus(state, "Choose a board first: nothing sent.", true);
  if (sendToPort(state, state.selected, payload, now, command) && sentText) setStatus(state, `${state.selected}: ${sentText}.`);
  return state;
}

export function selectBoard(state, port) {
  state.selected = port;
  state.forms.pendingReuse = null;
  state.forms.editing = null;
  const board = boardState(state, port);
  return setStatus(state, board.version ? `${port} chosen.` : `${port} chosen: press Version to ask it for its facts.`);
}

export function boardCommand(state, command, now) {
  const board = selectedBoard(state);
  if (!board) return setStatus(state, "Choose a board first: nothing sent.", true);
  if (command === "exportConfig") {
    board.nodes.clear();
    board.features.clear();
    board.nodesRevision += 1;
    board.exportSummary = "Export running…";
  }
  if (command === "resetConfig") board.addedIds.clear();
  return sendToBoard(state, BOARD_COMMANDS[command](), SENT_TEXT[command], now, command);
}

const DECLINED = { resetConfig: "reset not sent", write: "write not started" };
export const declined = (state, command) => setStatus(state, `${state.selected}: ${DECLINED[command] || `${command} not sent`}.`);

function formError(state, key, text) {
  state.forms[key] = text;
  return state;
}

const isNodeId = (value) => Number.isInteger(value) && value >= 1 && value <= 65535;

// form: { type, id (text), texts (key → text of the typed inputs), extra (the JSON box) }.
export function submitNode(state, form, now) {
  const forms = state.forms;
  forms.nodeError = "";
  const id = Number(form.id);
  if (!form.type) return formError(state, "nodeError", "Choose a node type.");
  if (!isNodeId(id)) return formError(state, "nodeError", "The id must be a whole number from 1 to 65535.");
  const table = tableOf(state.tables, "nodes", form.type, "type");
  const properties = collectProperties(table ? table.fields : null, form.texts, form.extra);
  if (properties instanceof Error) return formError(state, "nodeError", properties.message);
  const board = boardState(state, state.selected);
  const usedBy = board.addedIds.get(id) || board.nodes.get(String(id))?.type;
  // A node opened from the graph is meant to be replaced; any other id in use is pointed out once.
  if (usedBy && forms.pendingReuse !== id && forms.editing !== id) {
    forms.pendingReuse = id;
    forms.nodeError = `Node id ${id} is already used on this board (${usedBy}): press Add node again to replace it.`;
    return state;
  }
  forms.pendingReuse = null;
  const before = state.outbox.length;
  sendToBoard(state, protocol.addNode(id, form.type, properties), `node ${id} (${form.type}) sent`, now);
  if (state.outbox.length > before) {
    board.addedIds.set(id, form.type);
    // The board only acknowledges a node: the graph shows what was sent until the next export.
    const previous = board.nodes.get(String(id));
    board.nodes.set(String(id), { type: form.type, id, pos: previous?.pos ?? { x: 0, y: 0 }, properties });
    board.nodesRevision += 1;
  }
  return state;
}

// Opens a node of the chosen board in the node form, to be changed and sent again.
export function openNode(state, id) {
  const node = selectedBoard(state)?.nodes.get(String(id));
  if (!node) return state;
  Object.assign(state.forms, { editing: node.id, pendingReuse: null, nodeError: "" });
  state.forms.request = { type: node.type, id: node.id, properties: node.properties || {}, serial: (state.forms.request?.serial || 0) + 1 };
  return setStatus(state, `${state.selected}: node ${node.id} (${node.type}) opened; Add node sends it again.`);
}

export function formChanged(state) {
  state.forms.pendingReuse = null;
  state.forms.editing = null;
  return state;
}

export function submitFeature(state, form, now) {
  state.forms.featureError = "";
  const table = tableOf(state.tables, "features", form.feature, "feature");
  if (!table) return formError(state, "featureError", "Choose a feature.");
  const settings = collectProperties(table.fields || [], form.texts);
  if (settings instanceof Error) return formError(state, "featureError", settings.message);
  return sendToBoard(state, protocol.setFeature(form.feature, settings), `feature ${form.feature} sent`, now);
}

export function watchLive(state, idText, now) {
  const id = Number(idText);
  if (!isNodeId(id)) return setStatus(state, "The node id must be a whole number from 1 to 65535.", true);
  state.liveWatched = id;
  return sendToBoard(state, protocol.watchLive(id, true), `watching the live values of node ${id}`, now, "liveValue");
}

export function stopLive(state, now) {
  if (state.liveWatched === null) return state;
  return sendToBoard(state, protocol.watchLive(state.liveWatched, false), `live values of node ${state.liveWatched} stopped`, now);
}

export function sendTweak(state, form, now) {
  state.forms.tweakError = "";
  const id = Number(form.id);
  const index = Number(form.index);
  const value = fieldValue({ kind: "numberOrColor", key: "value", label: "Value" }, form.value);
  if (!isNodeId(id) || !Number.isInteger(index) || index < 0 || index > 255) {
    state.forms.tweakError = "Give a node id from 1 to 65535 and an input from 0 to 255.";
    return state;
  }
  if (value instanceof Error) return formError(state, "tweakError", value.message);
  return sendToBoard(state, protocol.tweak(id, index, value), `tweak of node ${id} input ${index} sent`, now);
}

function chosenFile(state, choice) {
  if (choice.startsWith(LOCAL_CHOICE)) return state.localImage;
  return state.firmwareFiles.find((file) => file.name === choice) || null;
}

// An image of the user's computer becomes the list's choice; it is sent to the relay only when it is written.
export function chooseLocalImage(state, name, bytes) {
  if (!bytes.length) return setStatus(state, `${name} is empty: nothing to write.`, true);
  state.localImage = { name, bytes };
  return setStatus(state, `${name} (${bytes.length} bytes) from this computer chosen.`);
}
const noFile = (state) => setStatus(state, "There is no firmware file (*.bin) in the relay's working directory.", true);

// The expert's write: only the write itself, of a board already in its bootloader.
export function writeOnly(state, name, now) {
  const file = chosenFile(state, name);
  const board = selectedBoard(state);
  if (!file) return noFile(state);
  if (!board || writing(board)) return state;
  board.flow = null;
  endProgress(state.log, state.selected);
  for (const payload of startWrite(board, sourceOf(file), now)) sendToBoard(state, payload, `writing ${file.name}`, now);
  return state;
}

// The whole flash of one board, from its version to its new version (flash-flow.mjs).
export function flash(state, name, now) {
  const file = chosenFile(state, name);
  const board = selectedBoard(state);
  if (!file) return noFile(state);
  if (!board || writing(board) || (board.flow && !board.flow.outcome)) return state;
  if (!state.connection.up) return setStatus(state, "Not connected to the relay: nothing sent.", true);
  endProgress(state.log, state.selected);
  const step = startFlow(board, sourceOf(file), now);
  for (const payload of step.send) sendToPort(state, state.selected, payload, now);
  return setStatus(state, `${state.selected}: ${step.status.text}`);
}

// Cancel: the flash flow at whatever stage it is, or the expert's write.
export function cancel(state, now) {
  const board = selectedBoard(state);
  if (!board) return state;
  const step = cancelFlow(board);
  if (step) {
    for (const payload of step.send) sendToPort(state, state.selected, payload, now);
    return setStatus(state, `${state.selected}: ${step.status.text}`);
  }
  return writing(board) ? sendToBoard(state, protocol.cancelFirmware(), "cancel of the write sent", now) : state;
}

export const startApplication = (state, now) =>
  sendToBoard(state, BOARD_COMMANDS.application(), SENT_TEXT.application, now, "application");
export const refreshFirmware = (state, now) => (send(state, protocol.refreshFirmwareList(), null, now), state);
export const setAutoRefresh = (state, on, now) => (send(state, protocol.setAutoRefresh(on), null, now), state);
export const clearTraffic = (state) => (clearLog(state.log), state);

export function tablesLoaded(state, tables) {
  state.tables = tables;
  return state;
}

export function tablesFailed(state, reason) {
  // Without the tables every type is offered with its properties as JSON, as the relay takes them.
  state.tables = { nodes: [], features: [] };
  return setStatus(state, `The relay's field tables could not be loaded (${reason}): forms take JSON only.`, true);
}

// The connection (connection.mjs) opened: the chosen board's facts may be old, so it is asked again.
export function connected(state, now) {
  state.connection = { up: true, text: "Connected", kind: "up" };
  addEntry(state.log, null, "state", "connected", now);
  const board = selectedBoard(state);
  if (board && board.asked) {
    sendToBoard(state, BOARD_COMMANDS.getVersion(), "version asked for again after reconnecting", now, "getVersion");
  }
  return state;
}

// The connection closed or could not open; attempt and seconds are those of the next try.
export function disconnected(state, reason, attempt, seconds, now) {
  if (state.connection.up) addEntry(state.log, null, "state", "disconnected", now);
  state.connection = { up: false, text: `Disconnected, retrying in ${seconds} s`, kind: "down" };
  addEntry(state.log, null, "state", `${reason}; reconnect attempt ${attempt} in ${seconds} s`, now);
  for (const board of state.boards.values()) {
    board.stale = true;
    board.waiting = [];
    if (writing(board)) {
      Object.assign(board.write, { stage: "failed", endedAt: now,
        failure: "The connection to the relay was lost during the write: ask the board for its version before flashing again." });
    }
    if (board.flow && !board.flow.outcome) {
      Object.assign(board.flow, { outcome: "failed", reason: "the connection to the relay was lost." });
      Object.assign(board.flow.stages[board.flow.index], { state: "failed", note: "connection lost" });
    }
  }
  return state;
}

export const connecting = (state) => Object.assign(state, { connection: { up: false, text: "Connecting…", kind: "waiting" } });
