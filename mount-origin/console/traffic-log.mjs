// The traffic log: what went to and came from the relay, kept per board (and for the relay's own messages), each
// source capped, a firmware write's progress replies folded into one line. Filtered only when drawn.

import { PROGRESS_KEYS } from "./protocol.mjs";

export const LOG_LIMIT_PER_SOURCE = 5000; // entries kept per board
export const LOG_SHOWN = 300; // the newest matching entries drawn

export const createLog = () => ({ sources: new Map(), dropped: new Map(), progress: new Map(), seq: 0, changed: true });

export const timeText = (now) => new Date(now).toLocaleTimeString();

export function addEntry(log, port, direction, text, now) {
  const source = port || "";
  if (!log.sources.has(source)) log.sources.set(source, []);
  const entries = log.sources.get(source);
  const entry = { seq: ++log.seq, time: timeText(now), port: source, direction, text };
  entries.push(entry);
  if (entries.length > LOG_LIMIT_PER_SOURCE) {
    const removed = entries.splice(0, entries.length - LOG_LIMIT_PER_SOURCE);
    log.dropped.set(source, (log.dropped.get(source) || 0) + removed.length);
  }
  log.changed = true;
  return entry;
}

const round = (value) => (Number.isInteger(value) ? value : Number(value.toPrecision(6)));

// One line per write that counts its progress replies, instead of one line per reply.
export function addProgress(log, port, message, now) {
  let entry = log.progress.get(port);
  if (!entry || !log.sources.get(port)?.includes(entry)) {
    entry = addEntry(log, port, "in", "", now);
    entry.replies = 0;
    entry.values = {};
    log.progress.set(port, entry);
  }
  entry.replies += 1;
  for (const key of PROGRESS_KEYS) if (key in message) entry.values[key] = message[key];
  const values = entry.values;
  entry.text = `firmware progress (${entry.replies} replies): ` + [
    "romErase" in values ? `erase ${values.romErase} bytes` : null,
    "romWrite" in values ? `written ${round(values.romWrite)}%` : null,
    "romVerify" in values ? `verified ${round(values.romVerify)}%` : null,
  ].filter(Boolean).join(", ");
  log.changed = true;
}

// A write that starts anew gets a progress line of its own.
export const endProgress = (log, port) => log.progress.delete(port);

export function clearLog(log) {
  log.sources.clear();
  log.dropped.clear();
  log.progress.clear();
  log.changed = true;
}

// The entries that pass the filters ({ text, board, direction }), oldest first.
export function matchingEntries(log, filters) {
  const text = (filters.text || "").trim().toLowerCase();
  const sources = filters.board ? [filters.board] : [...log.sources.keys()];
  const entries = sources.flatMap((source) => log.sources.get(source) || []);
  return entries
    .filter((entry) => (!filters.direction || entry.direction === filters.direction)
      && (!text || entry.text.toLowerCase().includes(text) || entry.port.toLowerCase().includes(text)))
    .sort((a, b) => a.seq - b.seq);
}

export const totalEntries = (log) => [...log.sources.values()].reduce((sum, entries) => sum + entries.length, 0);

// The note under the filters: what the caps dropped, and how many matching lines are not drawn.
export function logNote(log, matching, shown) {
  const notes = [];
  const dropped = [...log.dropped].filter(([, count]) => count > 0);
  if (dropped.length) {
    notes.push("Older lines dropped: " + dropped.map(([source, count]) => `${count} of ${source || "the relay"}`).join(", ") + ".");
  }
  if (matching > shown) notes.push(`Showing the newest ${shown} of ${matching} matching lines; Download has them all.`);
  return notes.join(" ");
}

export const downloadText = (entries) =>
  entries.map((entry) => `${entry.time}\t${entry.direction}\t${entry.port}\t${entry.text}`).join("\n") + "\n";

export const compactJson = (value, indent) =>
  JSON.stringify(value, (key, item) => (typeof item === "number" ? round(item) : item), indent);
