// Backup and restore of one board's configuration from the page, with the same document and the same exactness
// check as the command-line client: a backup exports the board and hands the document over for download; a restore
// first exports the board to show what the file would change, then, when asked, resets the board, sends every
// feature and node, exports again and compares.

import { BOARD_COMMANDS } from "./protocol.mjs";
import { boardState, selectedBoard, sendToPort, setStatus } from "./store.mjs";
import { readDocument, restorePayloads } from "./configuration.mjs";

// An export of the chosen board, its earlier export forgotten first.
function exportBoard(state, port, board, now) {
  board.nodes.clear();
  board.features.clear();
  board.nodesRevision += 1;
  if (!board.version) sendToPort(state, port, BOARD_COMMANDS.getVersion(), now, "getVersion");
  return sendToPort(state, port, BOARD_COMMANDS.exportConfig(), now, "exportConfig");
}

export function backup(state, now) {
  const board = selectedBoard(state);
  if (!board) return setStatus(state, "Choose a board first: nothing sent.", true);
  if (exportBoard(state, state.selected, board, now)) {
    board.configuration = { kind: "backup" };
    setStatus(state, `${state.selected}: exporting its configuration for the backup…`);
  }
  return state;
}

// A configuration file chosen for a restore: read, then compared with what the board holds now.
export function chooseRestore(state, name, text, now) {
  const board = selectedBoard(state);
  if (!board) return setStatus(state, "Choose a board first: nothing sent.", true);
  const { document, error } = readDocument(text);
  if (error) return setStatus(state, `${name} ${error}.`, true);
  if (exportBoard(state, state.selected, board, now)) {
    board.configuration = { kind: "check", name, document, diff: null };
    setStatus(state, `${state.selected}: comparing ${name} with the board…`);
  }
  return state;
}

export function restore(state, now) {
  const board = selectedBoard(state);
  const configuration = board?.configuration;
  if (!configuration || configuration.kind !== "review") return setStatus(state, "Choose a configuration file first.", true);
  const { payloads, error } = restorePayloads(configuration.document, state.tables);
  if (error) return setStatus(state, `${state.selected}: not restored: ${error}.`, true);
  for (const payload of payloads) sendToPort(state, state.selected, payload, now);
  if (exportBoard(state, state.selected, board, now)) {
    configuration.kind = "restoring";
    setStatus(state, `${state.selected}: restoring ${configuration.name}…`);
  }
  return state;
}

export const configurationOf = (state, port) => boardState(state, port).configuration || null;
