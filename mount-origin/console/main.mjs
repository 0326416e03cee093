// The console's entry: one state, one connection to the relay that served the page, and the page drawn at most
// once per animation frame, so that a write's thousands of progress replies cost one drawing per frame.

import * as commands from "./commands.mjs";
import { applyMessage, createState, takeOutbox, tick } from "./store.mjs";
import { openConnection, relayUrl } from "./connection.mjs";
import { parseReply } from "./protocol.mjs";
import { addEntry } from "./traffic-log.mjs";
import { renderBoard, renderHeader, renderPorts } from "./board-view.mjs";
import { confirmDialog, wireControls } from "./controls.mjs";
import { renderConfiguration } from "./configuration-view.mjs";
import { renderFirmware } from "./firmware-view.mjs";
import { renderForms } from "./forms-view.mjs";
import { renderGraph } from "./graph-view.mjs";
import { renderLive } from "./live-view.mjs";
import { renderLog } from "./log-view.mjs";

const TICK_MS = 250;

const state = createState();
let connection = null;
let frameRequested = false;

function render() {
  frameRequested = false;
  renderHeader(state);
  renderPorts(state);
  renderBoard(state);
  renderFirmware(state, Date.now());
  renderForms(state);
  renderConfiguration(state);
  renderGraph(state, (id) => run((current) => commands.openNode(current, id)));
  renderLive(state);
  renderLog(state);
}

function scheduleRender() {
  if (frameRequested) return;
  frameRequested = true;
  requestAnimationFrame(render);
}

// Applies one change of the state, sends what it queued and draws the page at the next frame.
function run(change) {
  change(state, Date.now());
  for (const text of takeOutbox(state)) connection?.send(text);
  scheduleRender();
}

wireControls(state, run, confirmDialog);
fetch("tables.json").then((response) => {
  if (!response.ok) throw new Error(`HTTP ${response.status}`);
  return response.json();
}).then((tables) => run((current) => commands.tablesLoaded(current, tables)),
  (error) => run((current) => commands.tablesFailed(current, error.message)));
connection = openConnection(relayUrl(location), {
  onConnecting: () => run(commands.connecting),
  onOpen: () => run(commands.connected),
  onRetry: (reason, attempt, seconds) => run((current, now) => commands.disconnected(current, reason, attempt, seconds, now)),
  onText: (text) => run((current, now) => {
    const message = parseReply(text);
    if (message instanceof Error) addEntry(current.log, null, "state", `unreadable message: ${message.message}`, now);
    else applyMessage(current, message, now, text);
    return current;
  }),
});
setInterval(() => run(tick), TICK_MS);
