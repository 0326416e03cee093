// The relay's WebSocket protocol as the console speaks it: the commands it sends, which reply answers which
// command and how long it may take, and what the relay's firmware refusals mean in words.

export const PROTOCOL = "vantrel-configurator";

// Board command payloads, by the name of the button that sends them.
export const BOARD_COMMANDS = {
  getVersion: () => ({ getVersion: {} }),
  ledtoggle: () => ({ ledtoggle: {} }),
  configDump: () => ({ configDump: {} }),
  exportConfig: () => ({ exportConfig: 0 }),
  commitConfig: () => ({ commitConfig: {} }),
  resetConfig: () => ({ resetConfig: 1 }),
  looptime: () => ({ looptime: {} }),
  pause: () => ({ pause: 1 }),
  resume: () => ({ pause: 0 }),
  singleStep: () => ({ singleStep: {}, step: 1 }),
  bootloader: () => ({ request_bootloader: { bootloaderType: "bootloader", usbConfigType: "cdc" } }),
  application: () => ({ request_bootloader: { bootloaderType: "app", usbConfigType: "cdc" } }),
};

// What the status line says once a board command has been sent.
export const SENT_TEXT = {
  ledtoggle: "LED toggle sent", commitConfig: "commit sent", resetConfig: "configuration reset sent",
  pause: "pause sent", resume: "resume sent", singleStep: "single step sent", bootloader: "switch to bootloader sent",
  application: "start of the application sent", configDump: "configuration dump asked for",
  looptime: "loop time asked for", getVersion: "version asked for", exportConfig: "export asked for",
};

export const CONFIRM_TEXT = {
  resetConfig: (port) => `Reset the configuration of ${port}? Every node on the board is removed.`,
};

// Commands the board answers, with the reply key that answers them and how long the answer may take. The other
// commands (LED toggle, pause, a node, a feature, a tweak) are only acknowledged by the board, never answered.
export const ANSWERS = {
  getVersion: { key: "versionMajor", seconds: 5, what: "the version request" },
  configDump: { key: "configDump", seconds: 5, what: "the configuration dump" },
  exportConfig: { key: "exportCommit", seconds: 10, what: "the export" },
  commitConfig: { key: "configCommit", seconds: 5, what: "the commit" },
  looptime: { key: "looptime", seconds: 5, what: "the loop time request" },
  bootloader: { key: "requestBootloaderStatus", seconds: 5, what: "the switch to the bootloader" },
  application: { key: "requestBootloaderStatus", seconds: 5, what: "the start of the application" },
  liveValue: { key: "liveValue", seconds: 5, what: "the live value request" },
};

// A write's own stages: the first word about it, and then the longest silence between two progress replies.
export const WRITE_START_SECONDS = 10;
export const WRITE_SILENCE_SECONDS = 10;

// The share of a board's flash that the relay leaves to the bootloader: an image may take the rest.
export const BOOTLOADER_KIB = 16;

export const PROGRESS_KEYS = ["romErase", "romWrite", "romVerify"];

// What the relay sends instead of progress when a firmware write cannot go on.
export const FIRMWARE_FAILURES = {
  firmwareFileNotFound: (detail) => `The firmware file "${detail}" does not exist in the relay's working directory.`,
  firmwareFileTooLarge: (detail) => `The firmware file is too large for this board: ${detail}.`,
  firmwareFileCantOpen: (detail) => `The firmware file "${detail}" cannot be opened for reading.`,
  firmwareFileEmpty: (detail) => `The firmware file "${detail}" is empty.`,
  firmwareFileReadError: (detail) => `The firmware file "${detail}" could not be read completely.`,
  firmwareFileVerifyError: (detail) =>
    (detail ? `The write failed: ${detail}.` : "The board wrote something different from the file: verification failed.") +
    " The board stays in its bootloader: flash again.",
  firmwareNeedsBootloader: () => "The board refused the write: switch it to its bootloader first (Bootloader button).",
  firmwareWriteInProgress: () => "This board is already being written: wait for that write to end, or cancel it.",
  firmwareWriteCancelled: () => "Firmware write cancelled. The board stays in its bootloader: flash again before starting it.",
};

export const boardMessage = (port, payload) => ({ port, payload });
export const writeFirmware = (file) => ({ write_firmware: { file } });
export const cancelFirmware = () => ({ cancel_firmware: {} });
// An image of the user's computer: announced by name and size, then sent as the next binary message.
export const writeFirmwareImage = (name, size) => ({ write_firmware_image: { name, size } });
export const watchLive = (id, on) => ({ liveValue: { id, flags: on ? 1 : 0 } });
export const addNode = (id, type, properties) => ({ addNode: { id, type, editorPos: { x: 0, y: 0 }, properties } });
export const setFeature = (feature, settings) => ({ setFeature: { feature, ...settings } });
export const tweak = (id, index, value) =>
  (typeof value === "number" ? { tweak: id, index, number: value } : { tweak: id, index, color: value });
export const refreshFirmwareList = () => ({ firmware_file_list_refresh: true });
export const setAutoRefresh = (on) => ({ set_auto_refresh_ports: on });

// The board a reply is about: most replies name it "port", some "portName".
export function portOf(message) {
  const port = message.port ?? message.portName;
  return typeof port === "string" ? port : null;
}

// The message in a text from the relay, or an Error saying why it is none.
export function parseReply(text) {
  try {
    const message = JSON.parse(text);
    return message !== null && typeof message === "object" && !Array.isArray(message)
      ? message : new Error("not a JSON object");
  } catch (error) {
    return error;
  }
}

export const versionText = (version) => `${version.versionMajor}.${version.versionMinor}.${version.versionPatch}`;
export const runsBootloader = (version) => (version.flags & 1) === 1;
