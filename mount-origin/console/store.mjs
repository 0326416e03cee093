// The console's state and what a message from the relay does to it. No page, socket or clock here: every function
// takes the state and the time, changes the state in place (a write's thousands of progress replies must not copy
// logs of 5000 lines) and returns it; what is to be sent waits in state.outbox for the connection.

import { ANSWERS, PROGRESS_KEYS, boardMessage, portOf, runsBootloader, versionText } from "./protocol.mjs";
import { applyWriteMessage, expireWrite } from "./firmware.mjs";
import { abandonFlow, followFlow, tickFlow } from "./flash-flow.mjs";
import { followConfiguration } from "./configuration.mjs";
import { addEntry, addProgress, createLog } from "./traffic-log.mjs";

export const LIVE_POINTS = 100;

export function createState() {
  return {
    connection: { up: false, text: "Connecting…", kind: "waiting" },
    serverVersion: "–",
    autoRefresh: true,
    ports: [],
    firmwareFiles: [],
    selected: null,
    boards: new Map(),
    tables: null,
    log: createLog(),
    status: { text: "Choose a board in the list.", failure: false },
    forms: { nodeError: "", featureError: "", tweakError: "", pendingReuse: null, editing: null, request: null },
    liveWatched: null,
    outbox: [],
    // An image chosen on the user's computer: { name, bytes }.
    localImage: null,
    // A file for the page to hand to the browser's download: { name, text }.
    download: null,
  };
}

export function boardState(state, port) {
  if (!state.boards.has(port)) {
    state.boards.set(port, {
      version: null, capabilities: null, bootloader: null, answer: null, stale: false, asked: false,
      nodes: new Map(), features: new Map(), exportSummary: "", addedIds: new Map(), nodesRevision: 0,
      write: null, flow: null, live: new Map(), waiting: [],
      // A backup, or a restore's comparison, review and check (restore-flow.mjs).
      configuration: null,
    });
  }
  return state.boards.get(port);
}

export const selectedBoard = (state) => (state.selected ? boardState(state, state.selected) : null);

export function setStatus(state, text, failure = false) {
  state.status = { text, failure };
  return state;
}

// Queues a message for the relay and logs it; false (and a status line that says so) when there is no connection.
export function send(state, object, port, now) {
  if (!state.connection.up) {
    setStatus(state, "Not connected to the relay: nothing sent.", true);
    return false;
  }
  const text = JSON.stringify(object);
  state.outbox.push(text);
  addEntry(state.log, port, "out", text, now);
  return true;
}

// A board command; a command the board answers is remembered until its answer comes or its time runs out.
export function sendToPort(state, port, payload, now, command = null) {
  // An image's bytes go as they are, as the binary message its announcement promised.
  if (payload instanceof Uint8Array) {
    if (!state.connection.up) return false;
    state.outbox.push(payload);
    addEntry(state.log, port, "out", `(the image, ${payload.length} bytes)`, now);
    return true;
  }
  const board = boardState(state, port);
  board.asked = true;
  const sent = send(state, boardMessage(port, payload), port, now);
  const answer = ANSWERS[command];
  if (sent && answer) board.waiting.push({ ...answer, deadline: now + answer.seconds * 1000 });
  return sent;
}

export const takeOutbox = (state) => state.outbox.splice(0);

function setPorts(state, ports) {
  state.ports = ports.filter((port) => port && typeof port.name === "string");
  if (state.selected && !state.ports.some((port) => port.name === state.selected)) {
    setStatus(state, `${state.selected} is no longer listed.`, true);
    state.selected = null;
  }
}

// Replies about the relay itself, by key.
const RELAY_REPLIES = [
  ["server", (state, value) => { state.serverVersion = String(value); }],
  ["ports", (state, value) => { if (Array.isArray(value)) setPorts(state, value); }],
  ["autoRefreshPorts", (state, value) => { state.autoRefresh = Boolean(value); }],
  ["firmwareFilesList", (state, value) => {
    if (Array.isArray(value)) state.firmwareFiles = value.filter((file) => file && typeof file.name === "string");
  }],
];

// Replies about one board, by key: a new kind of reply is one more row.
const BOARD_REPLIES = [
  ["versionMajor", (state, port, board, message) => {
    board.version = message;
    board.bootloader = runsBootloader(message);
    board.stale = false;
    if (port === state.selected && !(board.flow && !board.flow.outcome)) {
      setStatus(state, `${port}: version ${versionText(message)} in its ${board.bootloader ? "bootloader" : "application"}.`);
    }
  }],
  ["capabilities", (state, port, board, message) => { board.capabilities = message.capabilities; }],
  ["requestBootloaderStatus", (state, port, board, message) => {
    const status = message.requestBootloaderStatus;
    board.bootloader = status === 1 ? true : status === 0 ? false : board.bootloader;
    board.answer = `bootloader status ${status}, USB configuration ${message.requestUSBConfigStatus}`;
  }],
  ["configDump", (state, port, board, message) => {
    const types = (message.configDump.nodes || []).map((node) => node.type);
    board.answer = `configuration holds ${types.length} node(s)${types.length ? ": " + types.join(", ") : ""}`;
  }],
  ["exportNode", (state, port, board, message) => {
    board.nodes.set(String(message.exportNode.id), message.exportNode);
    board.nodesRevision += 1;
  }],
  ["exportFeature", (state, port, board, message) => {
    board.features.set(String(message.exportFeature.feature), message.exportFeature);
  }],
  ["exportCommit", (state, port, board, message) => {
    board.exportSummary = `Export complete: the board reports ${message.exportCommit.nodeCount} node(s).`;
    if (port === state.selected) setStatus(state, `${port}: ${board.exportSummary}`);
  }],
  ["configCommit", (state, port, board, message) => {
    board.answer = `committed ${message.configCommit.nodeCount} node(s), ${message.configCommit.memorySize} bytes`;
  }],
  ["looptime", (state, port, board, message) => {
    board.answer = `loop time ${message.looptime} µs, ${message.nodecount} node(s), ${message.memorysize} bytes`;
  }],
  ["liveValue", (state, port, board, message) => {
    const { id, value } = message.liveValue;
    if (!board.live.has(id)) board.live.set(id, []);
    const values = board.live.get(id);
    values.push(value);
    if (values.length > LIVE_POINTS) values.shift();
  }],
  ["uploadProgress", (state, port, board, message) => { board.answer = `upload ${message.uploadProgress}%`; }],
  // The relay could not take the command to the board: nothing it waits for will come.
  ["portError", (state, port, board, message) => {
    const { reason, text } = message.portError;
    board.waiting.length = 0;
    board.answer = `the board cannot be reached (${reason}): ${text}`;
    setStatus(state, `${port}: the board cannot be reached: ${text}.`, true);
    runStep(state, port, abandonFlow(board, text));
  }],
];

function settleAnswers(board, message) {
  for (const key of Object.keys(message)) {
    const index = board.waiting.findIndex((entry) => entry.key === key);
    if (index >= 0) board.waiting.splice(index, 1);
  }
}

// What a flow step asks for: its payloads sent to its board, its words on the status line.
function runStep(state, port, step, now) {
  if (!step) return;
  for (const payload of step.send || []) sendToPort(state, port, payload, now);
  if (step.status) setStatus(state, `${port}: ${step.status.text}`, step.status.failure);
}

export function applyMessage(state, message, now, text = JSON.stringify(message)) {
  const port = portOf(message);
  if (port && PROGRESS_KEYS.some((key) => key in message)) {
    addProgress(state.log, port, message, now);
  } else {
    addEntry(state.log, port, "in", text, now);
  }
  for (const [key, apply] of RELAY_REPLIES) if (key in message) apply(state, message[key]);
  if (!port) return state;
  const board = boardState(state, port);
  for (const [key, apply] of BOARD_REPLIES) if (key in message && message[key] !== null) apply(state, port, board, message, now);
  settleAnswers(board, message);
  const written = applyWriteMessage(board, message, now);
  if (written) setStatus(state, `${port}: ${written.text}`, written.failure);
  runStep(state, port, followFlow(board, message, now), now);
  const configured = followConfiguration(board, message, port);
  if (configured?.download) state.download = configured.download;
  if (configured) setStatus(state, configured.status.text, configured.status.failure);
  return state;
}

// Time passing: answers that did not come, writes the relay went silent about, and the flash flow's waits.
export function tick(state, now) {
  for (const [port, board] of state.boards) {
    for (const entry of board.waiting.filter((waiting) => now >= waiting.deadline)) {
      board.waiting.splice(board.waiting.indexOf(entry), 1);
      board.answer = `no answer to ${entry.what} within ${entry.seconds} s`;
      setStatus(state, `${port}: no answer to ${entry.what} within ${entry.seconds} s. Is the board still connected?`, true);
    }
    const expired = expireWrite(board, now);
    if (expired) setStatus(state, `${port}: ${expired}`, true);
    runStep(state, port, tickFlow(board, now), now);
  }
  return state;
}
