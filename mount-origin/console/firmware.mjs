// A firmware write of one board as the console follows it: its stage from the relay's progress replies, its end,
// its figures, and a deadline so that a write the relay stops talking about ends on the page too.

import { FIRMWARE_FAILURES, WRITE_SILENCE_SECONDS, WRITE_START_SECONDS, writeFirmware, writeFirmwareImage } from "./protocol.mjs";

const RUNNING = ["start", "erase", "write", "verify"];

export const STAGE_TEXT = {
  start: "Starting the write…",
  erase: "Erasing the flash…",
  write: "Writing and verifying…",
  verify: "Verifying the last chunks…",
  done: "Done: the firmware is written and verified.",
  failed: "Failed.",
  cancelled: "Cancelled.",
};

export const writing = (board) => Boolean(board.write && RUNNING.includes(board.write.stage));

// Where the image comes from: a file of the relay's working directory, or one of the user's computer that the page
// sends (its bytes follow the announcement as one binary message). Each gives its name, size and the messages that
// start its write.
export const fileSource = (file) => ({ name: file.name, size: file.size || 0, commands: () => [writeFirmware(file.name)] });
export const imageSource = (image) => ({
  name: image.name, size: image.bytes.length, commands: () => [writeFirmwareImage(image.name, image.bytes.length), image.bytes],
});
// The choice of the file list: a file of the relay, or the image chosen on this computer ("local:" before its name).
export const LOCAL_CHOICE = "local:";
export const sourceOf = (file) => (file.bytes ? imageSource(file) : fileSource(file));

// A new write of the image; returns the payloads that start it.
export function startWrite(board, source, now) {
  board.write = {
    file: source.name, total: source.size, stage: "start", written: 0, verified: 0, startedAt: now,
    deadline: now + WRITE_START_SECONDS * 1000,
  };
  return source.commands();
}

function end(write, stage, now, failure) {
  write.stage = stage;
  write.endedAt = now;
  if (failure) write.failure = failure;
}

// Follows one reply of the relay; returns the status line it calls for ({ text, failure }) or null.
export function applyWriteMessage(board, message, now) {
  const write = board.write;
  const running = write && RUNNING.includes(write.stage);
  if (running && ["romErase", "romWrite", "romVerify"].some((key) => key in message)) {
    write.deadline = now + WRITE_SILENCE_SECONDS * 1000;
    if ("romErase" in message) {
      write.stage = "erase";
      write.total = Number(message.romErase) || write.total;
    }
    if ("romWrite" in message) write.written = Number(message.romWrite) || 0;
    if ("romVerify" in message) write.verified = Number(message.romVerify) || 0;
    if (("romWrite" in message || "romVerify" in message) && (write.stage === "erase" || write.stage === "start")) {
      write.stage = "write";
    }
    if ("romVerify" in message && write.written >= 100) write.stage = "verify";
  }
  if ("romFinish" in message && running) {
    write.written = write.verified = 100;
    end(write, "done", now);
    board.bootloader = true;
    board.stale = false;
    return { text: `firmware ${write.file} written and verified. Press Start application to run it.`, failure: false };
  }
  for (const [reason, describe] of Object.entries(FIRMWARE_FAILURES)) {
    if (!(reason in message)) continue;
    const text = describe(String(message[reason]));
    if (reason === "firmwareWriteInProgress" && running) {
      write.note = text; // a refusal of a second write leaves the running one as it is
    } else if (running) {
      end(write, reason === "firmwareWriteCancelled" ? "cancelled" : "failed", now, text);
    } else {
      board.write = { file: "", total: 0, stage: "failed", failure: text, startedAt: now, endedAt: now, written: 0, verified: 0 };
    }
    return { text, failure: true };
  }
  return null;
}

// Ends a write the relay has said nothing about for too long; returns the status text or null.
export function expireWrite(board, now) {
  const write = board.write;
  if (!write || !RUNNING.includes(write.stage) || now < write.deadline) return null;
  const seconds = write.stage === "start" ? WRITE_START_SECONDS : WRITE_SILENCE_SECONDS;
  const text = `No word from the relay about the write for ${seconds} s: it may have stopped. Ask the board for its version before flashing again.`;
  end(write, "failed", now, text);
  return text;
}

const kib = (bytes) => (bytes / 1024).toFixed(1);

export function writeFigures(write, now) {
  const total = write.total || 0;
  const done = Math.round((total * write.verified) / 100);
  const seconds = ((write.endedAt ?? now) - write.startedAt) / 1000;
  const rate = seconds > 0 ? done / 1024 / seconds : 0;
  const parts = [`${kib(done)} of ${kib(total)} KiB verified`];
  if (rate > 0) parts.push(`${rate.toFixed(1)} KiB/s`);
  if (write.endedAt === undefined && rate > 0 && total > done) {
    parts.push(`about ${Math.ceil((total - done) / 1024 / rate)} s left`);
  } else if (write.endedAt !== undefined) {
    parts.push(`${seconds.toFixed(1)} s`);
  }
  return parts.join(" · ");
}

export function portWriteText(write) {
  if (write.stage === "done") return "firmware written";
  if (write.stage === "failed") return "firmware write failed";
  if (write.stage === "cancelled") return "firmware write cancelled";
  return `writing firmware ${Math.floor(write.verified)}%`;
}
