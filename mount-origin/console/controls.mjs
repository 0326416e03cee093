// Turns what the person does on the page into commands (commands.mjs). run(change) applies a change of the state
// with the time and sends what it queued; confirm(text) asks and resolves to whether the person agreed.

import * as commands from "./commands.mjs";
import * as restoreFlow from "./restore-flow.mjs";
import { CONFIRM_TEXT } from "./protocol.mjs";
import { downloadText, matchingEntries } from "./traffic-log.mjs";
import { element } from "./board-view.mjs";
import { logFilters } from "./log-view.mjs";

const typedTexts = (fieldset) =>
  Object.fromEntries([...fieldset.querySelectorAll("input[data-key]")].map((input) => [input.dataset.key, input.value]));

const submitted = (id, handler) => element(id).addEventListener("submit", (event) => {
  event.preventDefault();
  handler();
});

function download(state) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([downloadText(matchingEntries(state.log, logFilters()))], { type: "text/plain" }));
  link.download = "vantrel-traffic.txt";
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

export function wireControls(state, run, confirm) {
  element("port-list").addEventListener("click", (event) => {
    const button = event.target.closest(".port");
    if (button) run((current) => commands.selectBoard(current, button.dataset.port));
  });
  element("auto-refresh").addEventListener("change", (event) => run((current, now) => commands.setAutoRefresh(current, event.target.checked, now)));
  for (const button of document.querySelectorAll("#board-commands button")) {
    button.addEventListener("click", async () => {
      const command = button.dataset.command;
      const port = state.selected;
      if (CONFIRM_TEXT[command] && !(await confirm(CONFIRM_TEXT[command](port)))) {
        run((current) => commands.declined(current, command));
        return;
      }
      if (port === state.selected) run((current, now) => commands.boardCommand(current, command, now));
    });
  }
  element("node-type").addEventListener("change", () => run(commands.formChanged));
  element("node-id").addEventListener("input", () => run(commands.formChanged));
  // The feature's fields follow the chosen feature at the next drawing.
  element("feature-name").addEventListener("change", () => run((current) => current));
  submitted("add-node-form", () => run((current, now) => commands.submitNode(current, {
    type: element("node-type").value, id: element("node-id").value,
    texts: typedTexts(element("node-fields")), extra: element("node-properties").value,
  }, now)));
  submitted("feature-form", () => run((current, now) => commands.submitFeature(current, {
    feature: element("feature-name").value, texts: typedTexts(element("feature-fields")),
  }, now)));
  submitted("live-form", () => run((current, now) => commands.watchLive(current, element("live-id").value, now)));
  element("live-stop").addEventListener("click", () => run(commands.stopLive));
  submitted("tweak-form", () => run((current, now) => commands.sendTweak(current, {
    id: element("tweak-id").value, index: element("tweak-index").value, value: element("tweak-value").value,
  }, now)));

  const askFirst = async (text, change) => {
    const port = state.selected;
    // The list's choice; an image of this computer is named without its "local:" mark.
    const choice = element("firmware-file").value;
    const file = choice.replace(/^local:/, "");
    if (!choice) {
      run((current, now) => change(current, choice, now));
      return;
    }
    if (await confirm(text(file, port))) {
      if (port === state.selected) run((current, now) => change(current, choice, now));
    } else {
      run((current) => commands.declined(current, "write"));
    }
  };
  element("flash-button").addEventListener("click", () => askFirst((file, port) =>
    `Flash ${file} into ${port}? The board is switched to its bootloader, written, verified and started again.`, commands.flash));
  element("write-button").addEventListener("click", () => askFirst((file, port) =>
    `Write ${file} into ${port}? Its application is replaced; the board stays in its bootloader until the write succeeds.`, commands.writeOnly));
  element("flash-cancel").addEventListener("click", () => run(commands.cancel));
  element("start-application").addEventListener("click", () => run(commands.startApplication));
  element("firmware-refresh").addEventListener("click", () => run(commands.refreshFirmware));
  element("backup-button").addEventListener("click", () => run(restoreFlow.backup));
  element("restore-file").addEventListener("change", async (event) => {
    const [file] = event.target.files;
    if (!file) return;
    const text = await file.text();
    run((current, now) => restoreFlow.chooseRestore(current, file.name, text, now));
  });
  element("restore-button").addEventListener("click", async () => {
    const port = state.selected;
    if (await confirm(`Restore the file into ${port}? Every node of the board is removed first.`)) {
      if (port === state.selected) run(restoreFlow.restore);
    } else {
      run((current) => commands.declined(current, "restore"));
    }
  });
  element("firmware-upload").addEventListener("change", async (event) => {
    const [file] = event.target.files;
    if (!file) return;
    const bytes = new Uint8Array(await file.arrayBuffer());
    run((current) => commands.chooseLocalImage(current, file.name, bytes));
  });

  for (const id of ["log-filter", "log-board", "log-direction", "log-pause"]) {
    element(id).addEventListener(id === "log-filter" ? "input" : "change", () => run((current) => {
      current.log.changed = true;
      return current;
    }));
  }
  element("log-download").addEventListener("click", () => download(state));
  element("log-clear").addEventListener("click", () => run(commands.clearTraffic));
}

// Asks before a command that cannot be undone; resolves to whether the person agreed.
export function confirmDialog(text) {
  const dialog = element("confirm-dialog");
  element("confirm-text").textContent = text;
  dialog.returnValue = "";
  dialog.showModal();
  return new Promise((resolve) => dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true }));
}
