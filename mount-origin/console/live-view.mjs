// Draws the watched node's last value and a chart of its last values.

import { LIVE_POINTS, selectedBoard } from "./store.mjs";
import { element } from "./board-view.mjs";

const round = (value) => (Number.isInteger(value) ? value : Number(value.toPrecision(6)));

export function renderLive(state) {
  const board = selectedBoard(state);
  const id = state.liveWatched;
  const values = board && id !== null ? board.live.get(id) || [] : [];
  const last = values.length ? values[values.length - 1] : null;
  const waiting = board && board.waiting.some((entry) => entry.key === "liveValue");
  element("live-value").textContent = id === null ? "–"
    : last !== null ? `node ${id}: ${typeof last === "number" ? round(last) : last}`
      : waiting ? `node ${id}: waiting for values…` : `node ${id}: no values`;
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
