// Draws the title bar, the status line, the board list and the chosen board's facts and buttons.

import { versionText } from "./protocol.mjs";
import { portWriteText, writing } from "./firmware.mjs";
import { selectedBoard } from "./store.mjs";

export const element = (id) => document.getElementById(id);

export function renderHeader(state) {
  const badge = element("connection-state");
  badge.textContent = state.connection.text;
  badge.className = `badge badge-${state.connection.kind}`;
  element("server-version").textContent = state.serverVersion;
  element("auto-refresh").checked = state.autoRefresh;
  const status = element("status");
  if (status.textContent !== state.status.text) status.textContent = state.status.text;
  status.classList.toggle("error", state.status.failure);
}

export function renderPorts(state) {
  const list = element("port-list");
  const wanted = state.ports.map((port) => port.name).join("|");
  if (list.dataset.ports !== wanted) {
    list.dataset.ports = wanted;
    list.replaceChildren(...state.ports.map((port) => {
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
      item.append(button);
      return item;
    }));
  }
  for (const button of list.querySelectorAll(".port")) {
    const selected = button.dataset.port === state.selected;
    button.classList.toggle("selected", selected);
    button.setAttribute("aria-pressed", String(selected));
    const write = state.boards.get(button.dataset.port)?.write;
    button.querySelector(".port-write").textContent = write ? portWriteText(write) : "";
  }
  element("no-ports").hidden = state.ports.length > 0;
  const logBoard = element("log-board");
  const options = ["", ...state.ports.map((port) => port.name)];
  if ([...logBoard.options].map((option) => option.value).join("|") !== options.join("|")) {
    const current = logBoard.value;
    logBoard.replaceChildren(...options.map((name) => new Option(name || "All", name)));
    logBoard.value = options.includes(current) ? current : "";
  }
}

const BUSY_LOCKED = "#board-commands button, #add-node, #set-feature, #live-watch, #live-stop, #tweak-send";

export function renderBoard(state) {
  element("board-name").textContent = state.selected || "–";
  element("no-board").hidden = Boolean(state.selected);
  element("board-details").hidden = !state.selected;
  const board = selectedBoard(state);
  const busy = board ? writing(board) || Boolean(board.flow && !board.flow.outcome) : false;
  for (const button of document.querySelectorAll(BUSY_LOCKED)) {
    button.disabled = !state.connection.up || !board || (busy && button.hasAttribute("data-dangerous"));
  }
  element("firmware-refresh").disabled = !state.connection.up;
  if (!board) return;
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
}
