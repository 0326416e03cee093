"use strict";

// The relay console: one WebSocket to the relay that served this page, a view per board, a traffic log.

const PROTOCOL = "vantrel-configurator";
const RECONNECT_DELAY_MS = 1000;
const LOG_LIMIT = 2000;

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

const element = (id) => document.getElementById(id);

const state = {
  socket: null,
  ports: [],
  selected: null,
  boards: new Map(),
};

function boardState(port) {
  if (!state.boards.has(port)) {
    state.boards.set(port, {
      version: null, capabilities: null, bootloader: null, answer: null,
      nodes: new Map(), features: new Map(), exportSummary: "",
    });
  }
  return state.boards.get(port);
}

// ---- Connection ----

function connect() {
  const scheme = location.protocol === "https:" ? "wss" : "ws";
  setConnectionState("Connecting…", "waiting");
  let socket;
  try {
    socket = new WebSocket(`${scheme}://${location.host}/`, PROTOCOL);
  } catch (error) {
    setConnectionState(`Cannot connect: ${error.message}`, "down");
    setTimeout(connect, RECONNECT_DELAY_MS);
    return;
  }
  state.socket = socket;
  socket.onopen = () => {
    setConnectionState("Connected", "up");
    addLog("state", "connected");
  };
  socket.onclose = () => {
    if (state.socket !== socket) return;
    state.socket = null;
    setConnectionState("Disconnected, reconnecting…", "down");
    addLog("state", "disconnected");
    setTimeout(connect, RECONNECT_DELAY_MS);
  };
  socket.onmessage = (event) => {
    addLog("in", event.data);
    let message;
    try {
      message = JSON.parse(event.data);
    } catch (error) {
      addLog("state", `unreadable message: ${error.message}`);
      return;
    }
    if (message !== null && typeof message === "object") handleMessage(message);
  };
}

function setConnectionState(text, kind) {
  const badge = element("connection-state");
  badge.textContent = text;
  badge.className = `badge badge-${kind}`;
  for (const button of document.querySelectorAll("button:not(#log-clear)")) button.disabled = kind !== "up";
}

function send(object) {
  if (!state.socket || state.socket.readyState !== WebSocket.OPEN) {
    addLog("state", "not connected: nothing sent");
    return false;
  }
  const text = JSON.stringify(object);
  state.socket.send(text);
  addLog("out", text);
  return true;
}

function sendToBoard(payload) {
  if (!state.selected) {
    addLog("state", "no board chosen: nothing sent");
    return false;
  }
  return send({ port: state.selected, payload });
}

// ---- Messages from the relay ----

function handleMessage(message) {
  if ("server" in message) element("server-version").textContent = String(message.server);
  if (Array.isArray(message.ports)) setPorts(message.ports);
  if ("autoRefreshPorts" in message) element("auto-refresh").checked = Boolean(message.autoRefreshPorts);
  if (Array.isArray(message.firmwareFilesList)) setFirmwareFiles(message.firmwareFilesList);

  const port = message.port ?? message.portName;
  if (typeof port !== "string") return;
  const board = boardState(port);
  if ("versionMajor" in message) {
    board.version = message;
    board.bootloader = (message.flags & 1) === 1;
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
  if (message.exportCommit) board.exportSummary = `Export complete: the board reports ${message.exportCommit.nodeCount} node(s).`;
  if (message.configCommit) {
    board.answer = `committed ${message.configCommit.nodeCount} node(s), ${message.configCommit.memorySize} bytes`;
  }
  if ("looptime" in message) {
    board.answer = `loop time ${message.looptime} µs, ${message.nodecount} node(s), ${message.memorysize} bytes`;
  }
  if (message.liveValue) board.answer = `live value of node ${message.liveValue.id}: ${message.liveValue.value}`;
  if ("uploadProgress" in message) board.answer = `upload ${message.uploadProgress}%`;
  handleFirmwareMessage(port, message);
  if (port === state.selected) renderBoard();
}

function handleFirmwareMessage(port, message) {
  if (port !== state.selected) return;
  if ("romErase" in message) showFirmwareMessage(`Erasing ${message.romErase} bytes…`, false);
  if ("romWrite" in message) setProgress("rom-write", message.romWrite);
  if ("romVerify" in message) setProgress("rom-verify", message.romVerify);
  if ("romFinish" in message) showFirmwareMessage("Firmware written.", false);
  for (const [reason, describe] of Object.entries(FIRMWARE_FAILURES)) {
    if (reason in message) showFirmwareMessage(describe(String(message[reason])), true);
  }
}

// ---- Rendering ----

function setPorts(ports) {
  state.ports = ports.filter((port) => port && typeof port.name === "string");
  const list = element("port-list");
  list.replaceChildren();
  for (const port of state.ports) {
    const item = document.createElement("li");
    const button = document.createElement("button");
    button.className = "port";
    button.dataset.port = port.name;
    button.textContent = port.name;
    const product = document.createElement("small");
    product.textContent = port.usbProduct || "";
    button.append(product);
    button.addEventListener("click", () => selectBoard(port.name));
    item.append(button);
    list.append(item);
  }
  element("no-ports").hidden = state.ports.length > 0;
  const stillThere = state.ports.some((port) => port.name === state.selected);
  if (!stillThere) selectBoard(state.ports.length ? state.ports[0].name : null);
  else markSelected();
}

function markSelected() {
  for (const button of document.querySelectorAll("#port-list .port")) {
    button.classList.toggle("selected", button.dataset.port === state.selected);
  }
}

function selectBoard(port) {
  state.selected = port;
  markSelected();
  setProgress("rom-write", 0);
  setProgress("rom-verify", 0);
  showFirmwareMessage("", false);
  renderBoard();
  // A board shown for the first time introduces itself, so its facts and node types are there at once.
  if (port && !boardState(port).version) sendToBoard(BOARD_COMMANDS.getVersion());
}

function renderBoard() {
  element("board-name").textContent = state.selected || "–";
  element("no-board").hidden = Boolean(state.selected);
  element("board-details").hidden = !state.selected;
  if (!state.selected) {
    renderExports(null);
    return;
  }
  const board = boardState(state.selected);
  const version = board.version;
  element("board-version").textContent = version
    ? `${version.versionMajor}.${version.versionMinor}.${version.versionPatch}` : "– (press Version)";
  element("board-serial").textContent = version ? version.serial : "–";
  element("board-flash").textContent = version ? `${version.flashsize} KiB` : "–";
  element("board-mode").textContent = board.bootloader === null ? "–" : board.bootloader ? "bootloader" : "application";
  element("board-answer").textContent = board.answer || "–";
  const usable = board.capabilities ? board.capabilities.usableNodes || [] : [];
  const known = board.capabilities ? board.capabilities.knownNodes || [] : [];
  element("capability-count").textContent = String(usable.length);
  element("capabilities").textContent = known.length
    ? known.map((name) => (usable.includes(name) ? name : `${name} (not usable)`)).join(", ") : "–";
  renderNodeTypes(known);
  renderExports(board);
}

function renderNodeTypes(known) {
  const select = element("node-type");
  const current = select.value;
  const names = [...new Set(known)].sort();
  if (names.join() === [...select.options].map((option) => option.value).join()) return;
  select.replaceChildren(...names.map((name) => new Option(name, name)));
  if (names.includes(current)) select.value = current;
}

function renderExports(board) {
  const body = element("export-table");
  body.replaceChildren();
  element("export-summary").textContent = board ? board.exportSummary : "";
  if (!board) return;
  const addRow = (kind, key, type, content) => {
    const row = body.insertRow();
    for (const text of [kind, key, type, content]) row.insertCell().textContent = text;
  };
  for (const [id, node] of board.nodes) addRow("node", id, node.type, JSON.stringify(node.properties ?? {}));
  for (const [name, feature] of board.features) {
    const settings = Object.fromEntries(Object.entries(feature).filter(([key]) => key !== "feature"));
    addRow("feature", name, "", JSON.stringify(settings));
  }
}

function setFirmwareFiles(files) {
  const select = element("firmware-file");
  const current = select.value;
  select.replaceChildren(...files.filter((file) => file && typeof file.name === "string")
    .map((file) => new Option(`${file.name} (${file.size} bytes)`, file.name)));
  if ([...select.options].some((option) => option.value === current)) select.value = current;
}

function setProgress(id, percent) {
  const value = Math.max(0, Math.min(100, Number(percent) || 0));
  element(id).value = value;
  element(`${id}-text`).textContent = `${value.toFixed(value % 1 ? 1 : 0)}%`;
}

function showFirmwareMessage(text, failure) {
  const message = element("firmware-message");
  message.textContent = text;
  message.className = failure ? "error" : "";
}

// ---- Traffic log ----

function addLog(direction, text) {
  const entry = { time: new Date().toLocaleTimeString(), direction, text };
  const list = element("traffic-log");
  if (list.children.length >= LOG_LIMIT) list.firstElementChild.remove();
  list.append(logItem(entry));
  applyLogFilter(list.lastElementChild);
  list.scrollTop = list.scrollHeight;
}

function logItem(entry) {
  const item = document.createElement("li");
  item.className = `log-${entry.direction}`;
  const arrow = { in: "◀", out: "▶", state: "•" }[entry.direction];
  item.textContent = `${entry.time} ${arrow} ${entry.text}`;
  return item;
}

function applyLogFilter(item) {
  const filter = element("log-filter").value.trim().toLowerCase();
  item.hidden = filter !== "" && !item.textContent.toLowerCase().includes(filter);
}

// ---- Wiring ----

function wire() {
  element("auto-refresh").addEventListener("change", (event) => {
    send({ set_auto_refresh_ports: event.target.checked });
  });
  for (const button of document.querySelectorAll("#board-commands button")) {
    button.addEventListener("click", () => {
      const command = button.dataset.command;
      if (command === "exportConfig" && state.selected) {
        const board = boardState(state.selected);
        board.nodes.clear();
        board.features.clear();
        board.exportSummary = "Export running…";
        renderBoard();
      }
      sendToBoard(BOARD_COMMANDS[command]());
    });
  }
  element("add-node-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const error = element("node-form-error");
    error.textContent = "";
    let properties;
    try {
      properties = JSON.parse(element("node-properties").value || "{}");
    } catch (parseError) {
      error.textContent = `Properties are not valid JSON: ${parseError.message}`;
      return;
    }
    if (properties === null || typeof properties !== "object" || Array.isArray(properties)) {
      error.textContent = "Properties must be a JSON object.";
      return;
    }
    const id = Number(element("node-id").value);
    const type = element("node-type").value;
    if (!type) {
      error.textContent = "Ask the board for its version first: the node types come with its capabilities.";
      return;
    }
    if (!Number.isInteger(id) || id < 1 || id > 65535) {
      error.textContent = "The id must be a whole number from 1 to 65535.";
      return;
    }
    sendToBoard({ addNode: { id, type, editorPos: { x: 0, y: 0 }, properties } });
  });
  element("flash-button").addEventListener("click", () => {
    const file = element("firmware-file").value;
    if (!file) {
      showFirmwareMessage("There is no firmware file (*.bin) in the relay's working directory.", true);
      return;
    }
    setProgress("rom-write", 0);
    setProgress("rom-verify", 0);
    showFirmwareMessage(`Flashing ${file}…`, false);
    sendToBoard({ write_firmware: { file } });
  });
  element("flash-cancel").addEventListener("click", () => sendToBoard({ cancel_firmware: {} }));
  element("firmware-refresh").addEventListener("click", () => send({ firmware_file_list_refresh: true }));
  element("log-filter").addEventListener("input", () => {
    for (const item of element("traffic-log").children) applyLogFilter(item);
  });
  element("log-clear").addEventListener("click", () => element("traffic-log").replaceChildren());
}

wire();
renderBoard();
connect();
