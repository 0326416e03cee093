// Draws the configuration panel: what a chosen file would change on the board, how a restore ended, and hands a
// backup to the browser's download.

import { selectedBoard } from "./store.mjs";
import { element } from "./board-view.mjs";

const SHOWN = 200;

const SUMMARY = {
  check: (configuration) => `Comparing ${configuration.name} with the board…`,
  review: (configuration) => (configuration.diff.length
    ? `${configuration.name} would change ${configuration.diff.length} thing(s) on the board:`
    : `The board holds ${configuration.name} already.`),
  restoring: (configuration) => `Restoring ${configuration.name}…`,
  restored: (configuration) => `Restored ${configuration.name} exactly.`,
  failed: (configuration) => `After the restore the board still differs from ${configuration.name}:`,
};

function handOver(download) {
  const link = document.createElement("a");
  link.href = URL.createObjectURL(new Blob([download.text], { type: "application/json" }));
  link.download = download.name;
  link.click();
  setTimeout(() => URL.revokeObjectURL(link.href), 1000);
}

export function renderConfiguration(state) {
  if (state.download) {
    handOver(state.download);
    state.download = null;
  }
  const board = selectedBoard(state);
  const configuration = board?.configuration;
  element("backup-button").disabled = !board;
  element("restore-button").disabled = configuration?.kind !== "review";
  element("configuration-summary").textContent = configuration && SUMMARY[configuration.kind]
    ? SUMMARY[configuration.kind](configuration) : "";
  const diff = configuration?.diff || [];
  const list = element("configuration-diff");
  const wanted = diff.slice(0, SHOWN).join("\n") + (diff.length > SHOWN ? `\n… and ${diff.length - SHOWN} more` : "");
  if (list.dataset.shown === wanted) return;
  list.dataset.shown = wanted;
  list.replaceChildren(...(wanted ? wanted.split("\n") : []).map((text) => {
    const item = document.createElement("li");
    item.textContent = text;
    return item;
  }));
}
