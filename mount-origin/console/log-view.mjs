// Draws the traffic log: the newest matching lines, long JSON folded, and the note about dropped lines.

import { LOG_SHOWN, compactJson, logNote, matchingEntries, totalEntries } from "./traffic-log.mjs";
import { element } from "./board-view.mjs";

const ARROWS = { in: "◀", out: "▶", state: "•" };

export const logFilters = () => ({
  text: element("log-filter").value, board: element("log-board").value, direction: element("log-direction").value,
});

function logItem(entry) {
  const item = document.createElement("li");
  item.className = `log-${entry.direction}`;
  const head = `${entry.time} ${ARROWS[entry.direction]} ${entry.port ? entry.port + " " : ""}`;
  let parsed = null;
  if (entry.text.startsWith("{")) {
    try {
      parsed = JSON.parse(entry.text);
    } catch {
      parsed = null;
    }
  }
  if (parsed && typeof parsed === "object" && entry.text.length > 80) {
    const details = document.createElement("details");
    const summary = document.createElement("summary");
    summary.textContent = head + compactJson(parsed).slice(0, 100) + "…";
    const pretty = document.createElement("pre");
    pretty.textContent = compactJson(parsed, 2);
    details.append(summary, pretty);
    item.append(details);
  } else {
    item.textContent = head + (parsed ? compactJson(parsed) : entry.text);
  }
  return item;
}

export function renderLog(state) {
  const log = state.log;
  if (!log.changed || element("log-pause").checked) return;
  log.changed = false;
  const entries = matchingEntries(log, logFilters());
  const shown = entries.slice(-LOG_SHOWN);
  const items = shown.map(logItem);
  if (!items.length) {
    const empty = document.createElement("li");
    empty.className = "log-empty";
    empty.textContent = totalEntries(log) ? "No matches for these filters." : "Nothing yet.";
    items.push(empty);
  }
  const list = element("traffic-log");
  list.replaceChildren(...items);
  list.scrollTop = list.scrollHeight;
  element("log-note").textContent = logNote(log, entries.length, shown.length);
}
