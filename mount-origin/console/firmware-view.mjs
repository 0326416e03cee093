// Draws the firmware panel: the file list, the stages of a one-button flash, and the write's progress.

import { LOCAL_CHOICE, STAGE_TEXT, writeFigures, writing } from "./firmware.mjs";
import { selectedBoard } from "./store.mjs";
import { element } from "./board-view.mjs";

const STATE_WORDS = { waiting: "", running: "running", done: "done", skipped: "skipped", failed: "failed", cancelled: "cancelled" };

function renderFiles(state) {
  const select = element("firmware-file");
  const local = state.localImage;
  const wanted = state.firmwareFiles.map((file) => `${file.name}:${file.size}`).join("|") +
    (local ? `|${LOCAL_CHOICE}${local.name}:${local.bytes.length}` : "");
  if (select.dataset.files === wanted) return;
  const localChanged = local && !(select.dataset.files || "").includes(`${LOCAL_CHOICE}${local.name}:${local.bytes.length}`);
  select.dataset.files = wanted;
  const current = select.value;
  const options = state.firmwareFiles.map((file) => new Option(`${file.name} (${file.size} bytes)`, file.name));
  if (local) options.unshift(new Option(`${local.name} (${local.bytes.length} bytes, from this computer)`, LOCAL_CHOICE + local.name));
  select.replaceChildren(...options);
  if (localChanged) select.value = LOCAL_CHOICE + local.name;
  else if (options.some((option) => option.value === current)) select.value = current;
}

function renderFlow(flow) {
  const list = element("flash-stages");
  list.hidden = !flow;
  if (!flow) return;
  const wanted = flow.stages.map((stage) => `${stage.state}:${stage.note}`).join("|");
  if (list.dataset.stages === wanted) return;
  list.dataset.stages = wanted;
  list.replaceChildren(...flow.stages.map((stage) => {
    const item = document.createElement("li");
    item.dataset.stage = stage.key;
    item.dataset.state = stage.state;
    const words = [STATE_WORDS[stage.state], stage.note].filter(Boolean).join(": ");
    item.textContent = words ? `${stage.label} – ${words}` : stage.label;
    if (stage.state === "running") item.setAttribute("aria-current", "step");
    return item;
  }));
}

function flowMessage(flow) {
  if (!flow || !flow.outcome) return null;
  if (flow.outcome === "done") return { text: `Flashed ${flow.source.name}.`, failure: false };
  if (flow.outcome === "cancelled") return { text: `Flashing cancelled. ${flow.reason}`, failure: false };
  return { text: `Flashing failed: ${flow.reason}`, failure: true };
}

export function renderFirmware(state, now) {
  renderFiles(state);
  const board = selectedBoard(state);
  const write = board ? board.write : null;
  const flow = board ? board.flow : null;
  const flowRunning = Boolean(flow && !flow.outcome);
  const busy = board ? writing(board) || flowRunning : false;
  const up = state.connection.up && Boolean(board);
  element("flash-button").disabled = !up || busy;
  element("write-button").disabled = !up || busy;
  element("flash-cancel").disabled = !up || !busy;
  element("start-application").hidden = !(write && write.stage === "done" && board.bootloader && !flowRunning);
  element("start-application").disabled = !up;
  renderFlow(flow);
  const stage = element("write-stage");
  const message = element("firmware-message");
  const flowText = flowMessage(flow);
  if (!write) {
    stage.textContent = board ? (flowRunning ? "Preparing the write…" : "No write on this board yet.") : "Choose a board first.";
    delete stage.dataset.stage;
    element("write-progress").value = 0;
    element("write-figures").textContent = "\u00a0";
  } else {
    stage.textContent = STAGE_TEXT[write.stage];
    stage.dataset.stage = write.stage;
    element("write-progress").value = write.verified;
    element("write-figures").textContent = write.total ? writeFigures(write, now) : "\u00a0";
  }
  const failure = write ? write.failure || write.note || "" : "";
  const shown = flowText || (write && write.stage === "done" ? { text: "Firmware written.", failure: false } : { text: failure, failure: Boolean(failure) });
  message.textContent = shown.text;
  message.className = shown.failure ? "error" : "";
}
