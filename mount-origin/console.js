"use strict";

// The relay console: one WebSocket to the relay that served this page, a view per board, a traffic log.
// Messages only change state; the page is drawn at most once per animation frame, so a firmware write's thousands
// of progress replies cost one drawing per frame instead of one per reply.

const PROTOCOL = "vantrel-configurator";
const RECONNECT_FIRST_MS = 1000;
const RECONNECT_MAX_MS = 16000;
const LOG_LIMIT_PER_SOURCE = 5000; // entries kept per board (and for the relay's own messages)
const LOG_SHOWN = 300; // the newest matching entries drawn
const LIVE_POINTS = 100;

// What the relay sends instead of progress when a firmware write cannot go on.
const FIRMWARE_FAILURES = {
  firmwareFileNotFound: (detail) => `The firmware file "${detail}" does not exist in the relay's working directory.`,
  firmwareFileTooLarge: (detail) => `The firmware file "${detail}" is too large for this board's flash.`,
  firmwareFileCantOpen: (detail) => `The firmware file "${detail}" cannot be opened for reading.`,
  firmwareFileReadError: (detail) => `The firmware file "${detail}" could not be read completely.`,
  firmwareFileVerifyError: (detail) =>
    (detail ? `The write failed: ${detail}.` : "The board wrote something different from the file: verification failed.") +
    " The board stays in its bootloader: flash again.",
  firmwareNeedsBootloader: () => "The board refused the write: switch it to its bootloader first (Bootloader button).",
  firmwareWriteInProgress: () => "This board is already being written: wait for that write to end, or cancel it.",
  firmwareWriteCancelled: () => "Firmware write cancelled. The board stays in its bootloader: flash again before starting it.",
};
const PROGRESS_KEYS = ["romErase", "romWrite", "romVerify"];

// Payloads of the board command buttons.
const BOARD_COMMANDS = {
  getVersion: () => ({ getVersion: {} }),
  ledtoggle: () => ({ ledtoggle: {} }),
  configDump: () => ({ configDump: {} }),
  exportConfig: () => ({ exportConfig: 0 }),
  commitConfig: () => ({ commitConfig: {} }),
  resetConfig: () => ({ resetConfig: 1 }),
  looptime: () => ({ looptime: {} }),
  pause: () => ({ pause: 1 }),
  resume: () => ({ pause: 0 }),
  singleStep: () => ({ singleStep: {}, step: 1 }),
  bootloader: () => ({ request_bootloader: { bootloaderType: "bootloader", usbConfigType: "cdc" } }),
  application: () => ({ request_bootloader: { bootloaderType: "app", usbConfigType: "cdc" } }),
};
// What the status line says once a command without a reply of its own has been sent.
const SENT_TEXT = {
  ledtoggle: "LED toggle sent", commitConfig: "commit sent", resetConfig: "configuration reset sent",
  pause: "pause sent", resume: "resume sent", singleStep: "single step sent", bootloader: "switch to bootloader sent",
  application: "start of the application sent", configDump: "configuration dump asked for",
  looptime: "loop time asked for", getVersion: "version asked for", exportConfig: "export asked for",
};
const CONFIRM_TEXT = {
  resetConfig: (port) => `Reset the configuration of ${port}? Every node on the board is removed.`,
};

const element = (id) => document.getElementById(id);

const state = {
  socket: null,
  connected: false,
  reconnectDelay: RECONNECT_FIRST_MS,
  reconnectAttempt: 0,
  ports: [],
  firmwareFiles: [],
  selected: null,
  boards: new Map(),
  tables: null,
  log: { sources: new Map(), dropped: new Map(), seq: 0, changed: true },
  liveWatched: null,
  pendingReuse: null,
};

function boardState(port) {
  if (!state.boards.has(port)) {
    state.boards.set(port, {
      version: null, capabilities: null, bootloader: null, answer: null, stale: false, asked: false,
      nodes: new Map(), features: new Map(), exportSummary: "", addedIds: new Map(),
      write: null, live: new Map(), progressEntry: null,
    });
  }
  return state.boards.get(port);
}

// ---- Drawing, once per frame ----

let frameRequested = false;
function scheduleRender() {
  if (frameRequested) return;
  frameRequested = true;
  requestAnimationFrame(() => {
    frameRequested = false;
    renderPorts();
    renderBoard();
    renderFirmware();
    renderLive();
    renderLog();
  });
}

function setStatus(text, failure = false) {
  const status = element("status");
  status.textContent = text;
  status.classList.toggle("error", failure);
}

// ---- Connection ----

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  setConnectionState("Connecting…", "waiting");
  let socket;
  try {
    socket = new WebSocket(`${scheme}://${location.host}/`, PROTOCOL);
  } catch (error) {
    retryLater(`cannot connect: ${error.message}`);
    return;
  }
  state.socket = socket;
  socket.onopen = () => {
    state.connected = true;
    state.reconnectDelay = RECONNECT_FIRST_MS;
    state.reconnectAttempt = 0;
    setConnectionState("Connected", "up");
    addLog(null, "state", "connected");
    // The board the user chose was being asked before the relay went away: its facts may be old, ask again.
    const board = state.selected && boardState(state.selected);
    if (board && board.asked) sendToBoard(BOARD_COMMANDS.getVersion(), "version asked for again after reconnecting");
  };
  socket.onclose = () => {
    if (state.socket !== socket) return;
    state.socket = null;
    const wasConnected = state.connected;
    state.connected = false;
    for (const board of state.boards.values()) board.stale = true;
    if (wasConnected) addLog(null, "state", "disconnected");
    retryLater("relay not reachable");
  };
  socket.onmessage = (event) => {
    let message;
    try {
      message = JSON.parse(event.data);
    } catch (error) {
      addLog(null, "state", `unreadable message: ${error.message}`);
      return;
    }
    if (message !== null && typeof message === "object") handleMessage(message, event.data);
  };
}

// One log line per attempt, and the wait doubles up to a limit: a relay that is down for an hour costs few lines.
function retryLater(reason) {
  state.reconnectAttempt += 1;
  const seconds = state.reconnectDelay / 1000;
  setConnectionState(`Disconnected, retrying in ${seconds} s`, "down");
  addLog(null, "state", `${reason}; reconnect attempt ${state.reconnectAttempt} in ${seconds} s`);
  setTimeout(connect, state.reconnectDelay);
  state.reconnectDelay = Math.min(state.reconnectDelay * 2, RECONNECT_MAX_MS);
  scheduleRender();
}

function setConnectionState(text, kind) {
  const badge = element("connection-state");
  badge.textContent = text;
  badge.className = `badge badge-${kind}`;
  scheduleRender();
}

function send(object, port = null) {
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) {
    setStatus("Not connected to the relay: nothing sent.", true);
    return false;
  }
  const text = JSON.stringify(object);
  state.socket.send(text);
  addLog(port, "out", text);
  return true;
}

// Every board command goes to the board the user chose, never to another.
function sendToBoard(payload, sentText) {
  if (!state.selected) {
    setStatus("Choose a board first: nothing sent.", true);
    return false;
  }
  const board = boardState(state.selected);
  board.asked = true;
  const sent = send({ port: state.selected, payload }, state.selected);
  if (sent && sentText) setStatus(`${state.selected}: ${sentText}.`);
  return sent;
}

// ---- Messages from the relay ----

function handleMessage(message, text) {
  const port = typeof (message.port ?? message.portName) === "string" ? (message.port ?? message.portName) : null;
  if (port && PROGRESS_KEYS.some((key) => key in message)) {
    logProgress(port, message);
  } else {
    addLog(port, "in", text);
  }
  if ("server" in message) element("server-version").textContent = String(message.server);
  if (Array.isArray(message.ports)) setPorts(message.ports);
  if ("autoRefreshPorts" in message) element("auto-refresh").checked = Boolean(message.autoRefreshPorts);
  if (Array.isArray(message.firmwareFilesList)) setFirmwareFiles(message.firmwareFilesList);
  if (port) handleBoardMessage(port, boardState(port), message);
  scheduleRender();
}

function handleBoardMessage(port, board, message) {
  if ("versionMajor" in message) {
    board.version = message;
    board.bootloader = (message.flags & 1) === 1;
    board.stale = false;
    if (port === state.selected) setStatus(`${port}: version ${versionText(message)} in its ${board.bootloader ? "bootloader" : "application"}.`);
  }
  if (message.capabilities) board.capabilities = message.capabilities;
  if ("requestBootloaderStatus" in message) {
    const status = message.requestBootloaderStatus;
    board.bootloader = status === 1 ? true : status === 0 ? false : board.bootloader;
    board.answer = `bootloader status ${status}, USB configuration ${message.requestUSBConfigStatus}`;
  }
  if (message.configDump) {
    const types = (message.configDump.nodes || []).map((node) => node.type);
    board.answer = `configuration holds ${types.length} node(s)${types.length ? ": " + types.join(", ") : ""}`;
  }
  if (message.exportNode) board.nodes.set(String(message.exportNode.id), message.exportNode);
  if (message.exportFeature) board.features.set(String(message.exportFeature.feature), message.exportFeature);
  if (message.exportCommit) {
    board.exportSummary = `Export complete: the board reports ${message.exportCommit.nodeCount} node(s).`;
    if (port === state.selected) setStatus(`${port}: ${board.exportSummary}`);
  }
  if (message.configCommit) {
    board.answer = `committed ${message.configCommit.nodeCount} node(s), ${message.configCommit.memorySize} bytes`;
  }
  if ("looptime" in message) {
    board.answer = `loop time ${message.looptime} µs, ${message.nodecount} node(s), ${message.memorysize} bytes`;
  }
  if (message.liveValue) {
    const { id, value } = message.liveValue;
    if (!board.live.has(id)) board.live.set(id, []);
    const values = board.live.get(id);
    values.push(value);
    if (values.length > LIVE_POINTS) values.shift();
  }
  if ("uploadProgress" in message) board.answer = `upload ${message.uploadProgress}%`;
  handleFirmwareMessage(port, board, message);
}

// ---- Firmware writes, one state per board ----

function handleFirmwareMessage(port, board, message) {
  const write = board.write;
  const now = performance.now();
  if ("romErase" in message && write) {
    write.stage = "erase";
    write.total = Number(message.romErase) || write.total;
  }
  if ("romWrite" in message && write) {
    write.written = Number(message.romWrite) || 0;
    if (write.stage === "erase" || write.stage === "start") write.stage = "write";
  }
  if ("romVerify" in message && write) {
    write.verified = Number(message.romVerify) || 0;
    if (write.written >= 100) write.stage = "verify";
    if (write.stage === "erase" || write.stage === "start") write.stage = "write";
  }
  if ("romFinish" in message && write && write.stage !== "done") {
    write.stage = "done";
    write.written = write.verified = 100;
    write.endedAt = now;
    board.bootloader = true;
    board.stale = false;
    setStatus(`${port}: firmware ${write.file} written and verified. Press Start application to run it.`);
  }
  for (const [reason, describe] of Object.entries(FIRMWARE_FAILURES)) {
    if (!(reason in message)) continue;
    const text = describe(String(message[reason]));
    // A refusal of a second write leaves the running one as it is.
    if (reason === "firmwareWriteInProgress" && write && write.stage !== "failed" && write.stage !== "done") {
      write.note = text;
    } else if (write && write.stage !== "done" && write.stage !== "failed") {
      write.stage = reason === "firmwareWriteCancelled" ? "cancelled" : "failed";
      write.failure = text;
      write.endedAt = now;
    } else {
      board.write = { file: "", total: 0, stage: "failed", failure: text, startedAt: now, endedAt: now, written: 0, verified: 0 };
    }
    setStatus(`${port}: ${text}`, true);
  }
}

function writing(board) {
  return board.write && ["start", "erase", "write", "verify"].includes(board.write.stage);
}

const STAGE_TEXT = {
  start: "Starting the write…",
  erase: "Erasing the flash…",
  write: "Writing and verifying…",
  verify: "Verifying the last chunks…",
  done: "Done: the firmware is written and verified.",
};

function writeFigures(write) {
  const total = write.total || 0;
  const done = Math.round((total * write.verified) / 100);
  const seconds = ((write.endedAt ?? performance.now()) - write.startedAt) / 1000;
  const rate = seconds > 0 ? done / 1024 / seconds : 0;
  const parts = [`${kib(done)} of ${kib(total)} KiB verified`];
  if (rate > 0) parts.push(`${rate.toFixed(1)} KiB/s`);
  if (write.endedAt === undefined && rate > 0 && total > done) {
    parts.push(`about ${Math.ceil((total - done) / 1024 / rate)} s left`);
  } else if (write.endedAt !== undefined) {
    parts.push(`${seconds.toFixed(1)} s`);
  }
  return parts.join(" · ");
}

const kib = (bytes) => (bytes / 1024).toFixed(1);

function startWrite(file) {
  const board = boardState(state.selected);
  const size = (state.firmwareFiles.find((entry) => entry.name === file) || {}).size || 0;
  board.write = { file, total: size, stage: "start", written: 0, verified: 0, startedAt: performance.now() };
  board.progressEntry = null;
  sendToBoard({ write_firmware: { file } }, `writing ${file}`);
  scheduleRender();
}

// ---- Rendering ----

function setPorts(ports) {
  state.ports = ports.filter((port) => port && typeof port.name === "string");
  if (state.selected && !state.ports.some((port) => port.name === state.selected)) {
    setStatus(`${state.selected} is no longer listed.`, true);
    state.selected = null;
  }
  const logBoard = element("log-board");
  const current = logBoard.value;
  logBoard.replaceChildren(new Option("All", ""), ...state.ports.map((port) => new Option(port.name, port.name)));
  logBoard.value = [...logBoard.options].some((option) => option.value === current) ? current : "";
}

function renderPorts() {
  const list = element("port-list");
  const wanted = state.ports.map((port) => port.name).join("|");
  if (list.dataset.ports !== wanted) {
    list.dataset.ports = wanted;
    list.replaceChildren();
    for (const port of state.ports) {
      const item = document.createElement("li");
      const button = document.createElement("button");
      button.type = "button";
      button.className = "port";
      button.dataset.port = port.name;
      const name = document.createElement("span");
      name.className = "port-name";
      name.textContent = port.name;
      const product = document.createElement("small");
      product.textContent = port.usbProduct || "";
      const writeState = document.createElement("small");
      writeState.className = "port-write";
      button.append(name, product, writeState);
      button.addEventListener("click", () => selectBoard(port.name));
      item.append(button);
      list.append(item);
    }
  }
  for (const button of list.querySelectorAll(".port")) {
    const selected = button.dataset.port === state.selected;
    button.classList.toggle("selected", selected);
    button.setAttribute("aria-pressed", String(selected));
    const write = state.boards.get(button.dataset.port)?.write;
    button.querySelector(".port-write").textContent = write ? portWriteText(write) : "";
  }
  element("no-ports").hidden = state.ports.length > 0;
}

function portWriteText(write) {
  if (write.stage === "done") return "firmware written";
  if (write.stage === "failed") return "firmware write failed";
  if (write.stage === "cancelled") return "firmware write cancelled";
  return `writing firmware ${Math.floor(write.verified)}%`;
}

function selectBoard(port) {
  state.selected = port;
  state.pendingReuse = null;
  const board = boardState(port);
  setStatus(board.version ? `${port} chosen.` : `${port} chosen: press Version to ask it for its facts.`);
  scheduleRender();
}

function versionText(version) {
  return `${version.versionMajor}.${version.versionMinor}.${version.versionPatch}`;
}

function renderBoard() {
  element("board-name").textContent = state.selected || "–";
  element("no-board").hidden = Boolean(state.selected);
  element("board-details").hidden = !state.selected;
  const up = state.connected;
  const board = state.selected ? boardState(state.selected) : null;
  const busy = board ? writing(board) : false;
  for (const button of document.querySelectorAll("#board-commands button, #add-node, #set-feature, #live-watch, #live-stop, #tweak-send, #firmware-refresh")) {
    button.disabled = !up || !board || (busy && button.hasAttribute("data-dangerous"));
  }
  element("firmware-refresh").disabled = !up;
  if (!board) {
    renderExports(null);
    renderNodeTypes();
    return;
  }
  const version = board.version;
  element("board-facts").classList.toggle("stale", board.stale);
  const stale = board.stale ? " (stale)" : "";
  element("board-version").textContent = version ? versionText(version) + stale : "– (press Version)";
  element("board-serial").textContent = version ? version.serial : "–";
  element("board-flash").textContent = version ? `${version.flashsize} KiB` : "–";
  element("board-mode").textContent = board.bootloader === null ? "–" : (board.bootloader ? "bootloader" : "application") + stale;
  element("board-answer").textContent = board.answer || "–";
  const usable = board.capabilities ? board.capabilities.usableNodes || [] : [];
  const known = board.capabilities ? board.capabilities.knownNodes || [] : [];
  element("capability-count").textContent = String(usable.length);
  element("capabilities").textContent = known.length
    ? known.map((name) => (usable.includes(name) ? name : `${name} (not usable)`)).join(", ") : "–";
  renderNodeTypes();
  renderExports(board);
}

function renderFirmware() {
  const board = state.selected ? boardState(state.selected) : null;
  const write = board ? board.write : null;
  const busy = board ? writing(board) : false;
  const up = state.connected && Boolean(board);
  element("flash-button").disabled = !up || busy;
  element("flash-cancel").disabled = !up || !busy;
  element("start-application").hidden = !(write && write.stage === "done" && board.bootloader);
  element("start-application").disabled = !up;
  const stage = element("write-stage");
  const message = element("firmware-message");
  if (!write) {
    stage.textContent = board ? "No write on this board yet." : "Choose a board first.";
    element("write-progress").value = 0;
    element("write-figures").textContent = "\u00a0";
    message.textContent = "";
    message.className = "";
    return;
  }
  stage.textContent = write.stage === "failed" || write.stage === "cancelled"
    ? (write.stage === "cancelled" ? "Cancelled." : "Failed.") : STAGE_TEXT[write.stage];
  stage.dataset.stage = write.stage;
  element("write-progress").value = write.verified;
  element("write-figures").textContent = write.total ? writeFigures(write) : "\u00a0";
  const failure = write.failure || write.note || "";
  message.textContent = write.stage === "done" ? "Firmware written." : failure;
  message.className = failure && write.stage !== "done" ? "error" : "";
}

// Node types: the board's own list once it answered, the relay's tables before.
function renderNodeTypes() {
  const select = element("node-type");
  const board = state.selected ? boardState(state.selected) : null;
  const known = board && board.capabilities ? board.capabilities.knownNodes || [] : [];
  const tableTypes = state.tables ? state.tables.nodes.map((node) => node.type) : [];
  const names = [...new Set(known.length ? known : tableTypes)].sort();
  if (names.join() === [...select.options].map((option) => option.value).join()) return;
  const current = select.value;
  select.replaceChildren(...names.map((name) => new Option(name, name)));
  if (names.includes(current)) select.value = current;
  renderNodeFields();
}

function renderExports(board) {
  const body = element("export-table");
  const key = board ? `${state.selected}|${board.nodes.size}|${board.features.size}|${board.exportSummary}` : "";
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

// ---- Typed forms from the relay's field tables ----

function tableOf(list, name, nameKey) {
  return state.tables ? (state.tables[list].find((entry) => entry[nameKey] === name) || null) : null;
}

function buildFields(fieldset, fields, legend) {
  fieldset.replaceChildren();
  const caption = document.createElement("legend");
  caption.textContent = legend;
  fieldset.append(caption);
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
    input.dataset.kind = field.kind;
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
    input.value = String(field.default);
    const hint = document.createElement("small");
    hint.textContent = kindHint(field);
    label.append(input, hint);
    fieldset.append(label);
  }
}

function kindHint(field) {
  if (field.kind === "integer") return `${field.key}: whole number ${field.min}…${field.max}`;
  if (field.kind === "number") return `${field.key}: number`;
  if (field.kind === "source") return `${field.key}: number, #id of a node or #RRGGBB`;
  if (field.kind === "numberOrColor") return `${field.key}: number or #RRGGBB`;
  return `${field.key}: text of up to ${field.maxLength} bytes`;
}

function renderNodeFields() {
  const table = tableOf("nodes", element("node-type").value, "type");
  buildFields(element("node-fields"), state.tables ? (table ? table.fields : null) : undefined, "Properties");
}

function renderFeatureFields() {
  const table = tableOf("features", element("feature-name").value, "feature");
  buildFields(element("feature-fields"), state.tables ? (table ? table.fields : null) : undefined, "Settings");
}

// The value a field's text stands for, or an Error saying why it does not fit the field.
function fieldValue(field, raw) {
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

// Reads a form's typed inputs and the optional JSON extra; unknown keys and values of the wrong kind are refused.
function collectProperties(fields, fieldset, extraText) {
  const properties = {};
  for (const input of fieldset.querySelectorAll("input[data-key]")) {
    const field = fields.find((entry) => entry.key === input.dataset.key);
    const value = fieldValue(field, input.value);
    if (value instanceof Error) return value;
    properties[field.key] = value;
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
    if (checked instanceof Error || (field.kind !== "text" && typeof value === "string" && typeof checked === "number")) {
      return checked instanceof Error ? checked : new Error(`${field.key} must be given as a number, not as text`);
    }
    properties[key] = checked;
  }
  return properties;
}

function submitNode(event) {
  event.preventDefault();
  const error = element("node-form-error");
  error.textContent = "";
  const type = element("node-type").value;
  const id = Number(element("node-id").value);
  if (!type) {
    error.textContent = "Choose a node type.";
    return;
  }
  if (!Number.isInteger(id) || id < 1 || id > 65535) {
    error.textContent = "The id must be a whole number from 1 to 65535.";
    return;
  }
  const table = tableOf("nodes", type, "type");
  const properties = collectProperties(table ? table.fields : null, element("node-fields"), element("node-properties").value);
  if (properties instanceof Error) {
    error.textContent = properties.message;
    return;
  }
  const board = boardState(state.selected);
  const usedBy = board.addedIds.get(id) || board.nodes.get(String(id))?.type;
  if (usedBy && state.pendingReuse !== id) {
    state.pendingReuse = id;
    error.textContent = `Node id ${id} is already used on this board (${usedBy}): press Add node again to replace it.`;
    return;
  }
  state.pendingReuse = null;
  if (sendToBoard({ addNode: { id, type, editorPos: { x: 0, y: 0 }, properties } }, `node ${id} (${type}) sent`)) {
    board.addedIds.set(id, type);
  }
}

function submitFeature(event) {
  event.preventDefault();
  const error = element("feature-form-error");
  error.textContent = "";
  const name = element("feature-name").value;
  const table = tableOf("features", name, "feature");
  if (!table) {
    error.textContent = "Choose a feature.";
    return;
  }
  const settings = collectProperties(table.fields || [], element("feature-fields"));
  if (settings instanceof Error) {
    error.textContent = settings.message;
    return;
  }
  sendToBoard({ setFeature: { feature: name, ...settings } }, `feature ${name} sent`);
}

function loadTables() {
  fetch("tables.json").then((response) => {
    if (!response.ok) throw new Error(`HTTP ${response.status}`);
    return response.json();
  }).then((tables) => {
    state.tables = tables;
    element("feature-name").replaceChildren(...tables.features.map((entry) => new Option(entry.feature, entry.feature)));
    renderFeatureFields();
    element("node-type").replaceChildren();
    renderNodeTypes();
  }).catch((error) => {
    // Without the tables every type is offered with its properties as JSON, as the relay takes them.
    state.tables = { nodes: [], features: [] };
    renderNodeFields();
    renderFeatureFields();
    setStatus(`The relay's field tables could not be loaded (${error.message}): forms take JSON only.`, true);
  });
}

// ---- Live values and tweaks ----

function renderLive() {
  const board = state.selected ? boardState(state.selected) : null;
  const id = state.liveWatched;
  const values = board && id !== null ? board.live.get(id) || [] : [];
  const last = values.length ? values[values.length - 1] : null;
  element("live-value").textContent = id === null ? "–"
    : last === null ? `node ${id}: waiting for values…` : `node ${id}: ${typeof last === "number" ? round(last) : last}`;
  const numbers = values.filter((value) => typeof value === "number");
  if (!numbers.length) {
    element("live-line").setAttribute("points", "");
    return;
  }
  const min = Math.min(...numbers);
  const span = Math.max(...numbers) - min || 1;
  const step = 200 / Math.max(LIVE_POINTS - 1, 1);
  element("live-line").setAttribute("points", numbers.map((value, index) =>
    `${(index * step).toFixed(1)},${(58 - ((value - min) / span) * 56).toFixed(1)}`).join(" "));
}

function readNodeId(id) {
  const value = Number(element(id).value);
  return Number.isInteger(value) && value >= 1 && value <= 65535 ? value : null;
}

// ---- Traffic log: per source, capped, filtered when drawn ----

const round = (value) => (Number.isInteger(value) ? value : Number(value.toPrecision(6)));
const compactJson = (value) => JSON.stringify(value, (key, item) => (typeof item === "number" ? round(item) : item));

function addLog(port, direction, text) {
  const source = port || "";
  const log = state.log;
  if (!log.sources.has(source)) log.sources.set(source, []);
  const entries = log.sources.get(source);
  const entry = { seq: ++log.seq, time: new Date().toLocaleTimeString(), port: source, direction, text };
  entries.push(entry);
  if (entries.length > LOG_LIMIT_PER_SOURCE) {
    entries.splice(0, entries.length - LOG_LIMIT_PER_SOURCE);
    log.dropped.set(source, (log.dropped.get(source) || 0) + 1);
  }
  log.changed = true;
  scheduleRender();
  return entry;
}

// One line per write that is updated, instead of one line per progress reply.
function logProgress(port, message) {
  const board = boardState(port);
  if (!board.progressEntry || !state.log.sources.get(port)?.includes(board.progressEntry)) {
    board.progressEntry = addLog(port, "in", "");
    board.progressEntry.replies = 0;
    board.progressEntry.values = {};
  }
  const entry = board.progressEntry;
  entry.replies += 1;
  for (const key of PROGRESS_KEYS) if (key in message) entry.values[key] = message[key];
  const values = entry.values;
  entry.text = `firmware progress (${entry.replies} replies): ` + [
    "romErase" in values ? `erase ${values.romErase} bytes` : null,
    "romWrite" in values ? `written ${round(values.romWrite)}%` : null,
    "romVerify" in values ? `verified ${round(values.romVerify)}%` : null,
  ].filter(Boolean).join(", ");
  state.log.changed = true;
}

function matchingEntries() {
  const filter = element("log-filter").value.trim().toLowerCase();
  const board = element("log-board").value;
  const direction = element("log-direction").value;
  const sources = board ? [board] : [...state.log.sources.keys()];
  let entries = [];
  for (const source of sources) entries = entries.concat(state.log.sources.get(source) || []);
  return entries
    .filter((entry) => (!direction || entry.direction === direction)
      && (!filter || entry.text.toLowerCase().includes(filter) || entry.port.toLowerCase().includes(filter)))
    .sort((a, b) => a.seq - b.seq);
}

function renderLog() {
  if (!state.log.changed || element("log-pause").checked) return;
  state.log.changed = false;
  const entries = matchingEntries();
  const list = element("traffic-log");
  const shown = entries.slice(-LOG_SHOWN);
  const items = shown.map(logItem);
  if (!items.length) {
    const empty = document.createElement("li");
    empty.className = "log-empty";
    empty.textContent = totalLogEntries() ? "No matches for these filters." : "Nothing yet.";
    items.push(empty);
  }
  list.replaceChildren(...items);
  list.scrollTop = list.scrollHeight;
  const notes = [];
  const dropped = [...state.log.dropped].filter(([, count]) => count > 0);
  if (dropped.length) {
    notes.push("Older lines dropped: " + dropped.map(([source, count]) => `${count} of ${source || "the relay"}`).join(", ") + ".");
  }
  if (entries.length > shown.length) notes.push(`Showing the newest ${shown.length} of ${entries.length} matching lines; Download has them all.`);
  element("log-note").textContent = notes.join(" ");
}

function totalLogEntries() {
  let count = 0;
  for (const entries of state.log.sources.values()) count += entries.length;
  return count;
}

const ARROWS = { in: "◀", out: "▶", state: "•" };

function logItem(entry) {
  const item = document.createElement("li");
  item.className = `log-${entry.direction}`;
  const head = `${entry.time} ${ARROWS[entry.direction]} ${entry.port ? entry.port + " " : ""}`;
  let parsed = null;
  if (entry.text.startsWith("{")) {
    try {
      parsed = JSON.parse(entry.text);
    } catch (error) {
      parsed = null;
    }
  }
  if (parsed && typeof parsed === "object" && entry.text.length > 80) {
    const details = document.createElement("details");
    const summary = document.createElement("summary");
    summary.textContent = head + compactJson(parsed).slice(0, 100) + "…";
    const pretty = document.createElement("pre");
    pretty.textContent = JSON.stringify(parsed, (key, item) => (typeof item === "number" ? round(item) : item), 2);
    details.append(summary, pretty);
    item.append(details);
  } else {
    item.textContent = head + (parsed ? compactJson(parsed) : entry.text);
  }
  return item;
}

function downloadLog() {
  const lines = matchingEntries().map((entry) => `${entry.time}\t${entry.direction}\t${entry.port}\t${entry.text}`);
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([lines.join("\n") + "\n"], { type: "text/plain" }));
  link.download = "vantrel-traffic.txt";
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

// ---- Wiring ----

function setFirmwareFiles(files) {
  state.firmwareFiles = files.filter((file) => file && typeof file.name === "string");
  const select = element("firmware-file");
  const current = select.value;
  select.replaceChildren(...state.firmwareFiles.map((file) => new Option(`${file.name} (${file.size} bytes)`, file.name)));
  if ([...select.options].some((option) => option.value === current)) select.value = current;
}

// Asks before a command that cannot be undone; resolves to whether the user agreed.
function confirmFirst(text) {
  const dialog = element("confirm-dialog");
  element("confirm-text").textContent = text;
  dialog.returnValue = "";
  dialog.showModal();
  return new Promise((resolve) => dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true }));
}

function wire() {
  element("auto-refresh").addEventListener("change", (event) => {
    send({ set_auto_refresh_ports: event.target.checked });
  });
  for (const button of document.querySelectorAll("#board-commands button")) {
    button.addEventListener("click", async () => {
      const command = button.dataset.command;
      const port = state.selected;
      if (CONFIRM_TEXT[command] && !(await confirmFirst(CONFIRM_TEXT[command](port)))) {
        setStatus(`${port}: ${command === "resetConfig" ? "reset" : command} not sent.`);
        return;
      }
      if (port !== state.selected) return;
      const board = boardState(port);
      if (command === "exportConfig") {
        board.nodes.clear();
        board.features.clear();
        board.exportSummary = "Export running…";
      }
      if (command === "resetConfig") board.addedIds.clear();
      sendToBoard(BOARD_COMMANDS[command](), SENT_TEXT[command]);
      scheduleRender();
    });
  }
  element("node-type").addEventListener("change", () => {
    state.pendingReuse = null;
    renderNodeFields();
  });
  element("node-id").addEventListener("input", () => { state.pendingReuse = null; });
  element("feature-name").addEventListener("change", renderFeatureFields);
  element("add-node-form").addEventListener("submit", submitNode);
  element("feature-form").addEventListener("submit", submitFeature);
  element("live-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const id = readNodeId("live-id");
    if (id === null) {
      setStatus("The node id must be a whole number from 1 to 65535.", true);
      return;
    }
    state.liveWatched = id;
    sendToBoard({ liveValue: { id, flags: 1 } }, `watching the live values of node ${id}`);
  });
  element("live-stop").addEventListener("click", () => {
    if (state.liveWatched === null) return;
    sendToBoard({ liveValue: { id: state.liveWatched, flags: 0 } }, `live values of node ${state.liveWatched} stopped`);
  });
  element("tweak-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const error = element("tweak-error");
    error.textContent = "";
    const id = readNodeId("tweak-id");
    const index = Number(element("tweak-index").value);
    const value = fieldValue({ kind: "numberOrColor", key: "value", label: "Value" }, element("tweak-value").value);
    if (id === null || !Number.isInteger(index) || index < 0 || index > 255) {
      error.textContent = "Give a node id from 1 to 65535 and an input from 0 to 255.";
      return;
    }
    if (value instanceof Error) {
      error.textContent = value.message;
      return;
    }
    const payload = typeof value === "number" ? { tweak: id, index, number: value } : { tweak: id, index, color: value };
    sendToBoard(payload, `tweak of node ${id} input ${index} sent`);
  });
  element("flash-button").addEventListener("click", async () => {
    const file = element("firmware-file").value;
    const port = state.selected;
    if (!file) {
      setStatus("There is no firmware file (*.bin) in the relay's working directory.", true);
      return;
    }
    if (!(await confirmFirst(`Write ${file} into ${port}? Its application is replaced; the board stays in its bootloader until the write succeeds.`))) {
      setStatus(`${port}: write not started.`);
      return;
    }
    if (port === state.selected) startWrite(file);
  });
  element("flash-cancel").addEventListener("click", () => sendToBoard({ cancel_firmware: {} }, "cancel of the write sent"));
  element("start-application").addEventListener("click", () => sendToBoard(BOARD_COMMANDS.application(), SENT_TEXT.application));
  element("firmware-refresh").addEventListener("click", () => send({ firmware_file_list_refresh: true }));
  for (const id of ["log-filter", "log-board", "log-direction", "log-pause"]) {
    element(id).addEventListener(id === "log-filter" ? "input" : "change", () => {
      state.log.changed = true;
      scheduleRender();
    });
  }
  element("log-download").addEventListener("click", downloadLog);
  element("log-clear").addEventListener("click", () => {
    state.log.sources.clear();
    state.log.dropped.clear();
    for (const board of state.boards.values()) board.progressEntry = null;
    state.log.changed = true;
    scheduleRender();
  });
}

wire();
loadTables();
scheduleRender();
connect();
