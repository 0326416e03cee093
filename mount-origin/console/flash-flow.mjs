// One-button flashing of one board: version, size check, bootloader (and the board back in it), write, verify,
// start of the application, version again. Each function takes the board and returns the step it calls for:
// { send: [payloads], status: { text, failure } }, or null.

import { BOARD_COMMANDS, BOOTLOADER_KIB, cancelFirmware, runsBootloader, versionText } from "./protocol.mjs";
import { startWrite, writing } from "./firmware.mjs";

const FLOW_STAGES = [
  ["version", "Ask the version"],
  ["size", "Check the size"],
  ["bootloader", "Switch to the bootloader"],
  ["write", "Write"],
  ["verify", "Verify"],
  ["application", "Start the application"],
  ["again", "Ask the version again"],
];

const ANSWER_MS = 5000; // a command's answer
const ASK_AGAIN_MS = 2000; // between version requests while the board restarts
const COME_BACK_MS = 15000; // for the board to answer again after a switch

const current = (flow) => flow.stages[flow.index];
const mode = (version) => (runsBootloader(version) ? "bootloader" : "application");
const running = (text) => ({ status: { text, failure: false } });

function begin(flow, key, now, send = []) {
  flow.index = flow.stages.findIndex((stage) => stage.key === key);
  current(flow).state = "running";
  flow.deadline = now + ANSWER_MS;
  flow.waitingForBoard = false;
  return { send, status: { text: `flashing ${flow.source.name}: ${current(flow).label.toLowerCase()}…`, failure: false } };
}

function finish(flow, state, note = "") {
  Object.assign(current(flow), { state, note });
}

function fail(flow, reason) {
  finish(flow, "failed", reason);
  flow.outcome = "failed";
  flow.reason = reason;
  return { status: { text: `flashing ${flow.source.name} failed: ${reason}`, failure: true } };
}

// The relay answers a version request with the board's bootloader status too: that status is no answer to a switch.
function askVersion(flow) {
  flow.statusesToSkip += 1;
  return BOARD_COMMANDS.getVersion();
}

// A version request that is sent again until the board answers or COME_BACK_MS have passed.
function askUntilBack(flow, now) {
  flow.waitingForBoard = true;
  flow.giveUpAt = now + COME_BACK_MS;
  flow.deadline = now + ASK_AGAIN_MS;
  return { send: [askVersion(flow)], status: null };
}

export function startFlow(board, source, now) {
  board.flow = {
    source, index: 0, outcome: null, reason: "", deadline: 0, giveUpAt: 0, waitingForBoard: false, statusesToSkip: 0,
    stages: FLOW_STAGES.map(([key, label]) => ({ key, label, state: "waiting", note: "" })),
  };
  return begin(board.flow, "version", now, [askVersion(board.flow)]);
}

function checkSize(board, now) {
  const flow = board.flow;
  const { name, size } = flow.source;
  const flashKiB = Number(board.version.flashsize) || 0;
  const limit = (flashKiB - BOOTLOADER_KIB) * 1024;
  begin(flow, "size", now);
  if (size <= 0) return fail(flow, `${name} is empty.`);
  if (!flashKiB) return fail(flow, "the board did not say how large its flash is.");
  if (size > limit) {
    return fail(flow, `${name} has ${(size / 1024).toFixed(1)} KiB, more than the ${Math.max(limit, 0) / 1024} KiB the board takes ` +
      `(${flashKiB} KiB of flash, ${BOOTLOADER_KIB} KiB of them for its bootloader).`);
  }
  finish(flow, "done", `${(size / 1024).toFixed(1)} of ${limit / 1024} KiB`);
  if (board.bootloader) {
    begin(flow, "bootloader", now);
    finish(flow, "skipped", "already in its bootloader");
    return startWriteStage(board, now);
  }
  return begin(flow, "bootloader", now, [BOARD_COMMANDS.bootloader()]);
}

function startWriteStage(board, now) {
  return begin(board.flow, "write", now, startWrite(board, board.flow.source, now));
}

// The write and verify stages follow the write's own state, which firmware.mjs keeps.
function followWrite(board, now) {
  const flow = board.flow;
  const write = board.write;
  if (!write || !["write", "verify"].includes(current(flow).key)) return null;
  if (write.stage === "failed" || write.stage === "cancelled") return fail(flow, write.failure || "the write ended.");
  if (current(flow).key === "write" && (write.stage === "verify" || write.stage === "done")) {
    finish(flow, "done");
    begin(flow, "verify", now);
  }
  if (write.stage !== "done") return null;
  finish(flow, "done", `${(write.total / 1024).toFixed(1)} KiB verified`);
  return begin(flow, "application", now, [BOARD_COMMANDS.application()]);
}

function switched(board, message, now, wanted) {
  const flow = board.flow;
  const status = message.requestBootloaderStatus;
  if (status !== wanted) {
    const where = wanted === 1 ? "did not switch to its bootloader" : "did not start its application";
    return fail(flow, `the board ${where} (status ${status}).`);
  }
  if (current(flow).key === "application") {
    finish(flow, "done");
    begin(flow, "again", now);
  }
  return { ...askUntilBack(flow, now), ...running(`flashing ${flow.source.name}: waiting for the board to come back…`) };
}

function cameBack(board, message, now) {
  const flow = board.flow;
  const wanted = current(flow).key === "bootloader";
  if (runsBootloader(message) !== wanted) {
    return fail(flow, `the board answered from its ${mode(message)}, not from its ${wanted ? "bootloader" : "application"}.`);
  }
  finish(flow, "done", `v${versionText(message)} in its ${mode(message)}`);
  if (wanted) return startWriteStage(board, now);
  flow.outcome = "done";
  return { status: { text: `${flow.source.name} flashed: v${versionText(message)} runs.`, failure: false } };
}

export function followFlow(board, message, now) {
  const flow = board.flow;
  if (!flow || flow.outcome) return null;
  const key = current(flow).key;
  if ("requestBootloaderStatus" in message) {
    const wanted = key === "bootloader" ? 1 : key === "application" ? 0 : null;
    const answersSwitch = wanted !== null && !flow.waitingForBoard;
    if (flow.statusesToSkip > 0 && !(answersSwitch && message.requestBootloaderStatus === wanted)) {
      flow.statusesToSkip -= 1;
      return null;
    }
    if (answersSwitch) return switched(board, message, now, wanted);
  }
  if (key === "version" && "versionMajor" in message) {
    finish(flow, "done", `v${versionText(message)} in its ${mode(message)}`);
    return checkSize(board, now);
  }
  if ((key === "bootloader" || key === "again") && flow.waitingForBoard && "versionMajor" in message) {
    return cameBack(board, message, now);
  }
  return followWrite(board, now);
}

export function tickFlow(board, now) {
  const flow = board.flow;
  if (!flow || flow.outcome) return null;
  const followed = followWrite(board, now);
  if (followed || writing(board) || now < flow.deadline) return followed;
  if (flow.waitingForBoard && now < flow.giveUpAt) {
    flow.deadline = now + ASK_AGAIN_MS;
    return { send: [askVersion(flow)] };
  }
  if (flow.waitingForBoard) return fail(flow, `the board did not answer again within ${COME_BACK_MS / 1000} s.`);
  return fail(flow, `no answer to "${current(flow).label.toLowerCase()}" within ${ANSWER_MS / 1000} s.`);
}

// The relay said the board cannot be reached: a flash that runs ends with that reason.
export function abandonFlow(board, reason) {
  const flow = board.flow;
  return !flow || flow.outcome ? null : fail(flow, reason);
}

export function cancelFlow(board) {
  const flow = board.flow;
  if (!flow || flow.outcome) return null;
  const duringWrite = writing(board);
  finish(flow, "cancelled");
  flow.outcome = "cancelled";
  flow.reason = duringWrite ? "The board stays in its bootloader with an incomplete image: flash again."
    : board.bootloader ? "The board stays in its bootloader." : "Nothing was written.";
  return { send: duringWrite ? [cancelFirmware()] : [], status: { text: `flashing cancelled. ${flow.reason}`, failure: false } };
}
