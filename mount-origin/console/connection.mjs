// The one WebSocket to the relay that served the page. When it closes it is opened again after a wait that doubles
// up to a limit, so a relay that is down for an hour costs a few log lines, not thousands.

import { PROTOCOL } from "./protocol.mjs";

export const RECONNECT_FIRST_MS = 1000;
export const RECONNECT_MAX_MS = 16000;

// events: onConnecting(), onOpen(), onText(text), onRetry(reason, attempt, seconds). The socket class and the
// timer are given, so that tests can stand in for them.
export function openConnection(url, events, { Socket = globalThis.WebSocket, later = globalThis.setTimeout } = {}) {
  let socket = null;
  let delay = RECONNECT_FIRST_MS;
  let attempt = 0;

  function retry(reason) {
    attempt += 1;
    events.onRetry(reason, attempt, delay / 1000);
    later(connect, delay);
    delay = Math.min(delay * 2, RECONNECT_MAX_MS);
  }

  function connect() {
    events.onConnecting();
    let opened;
    try {
      opened = new Socket(url, PROTOCOL);
    } catch (error) {
      retry(`cannot connect: ${error.message}`);
      return;
    }
    socket = opened;
    opened.onopen = () => {
      delay = RECONNECT_FIRST_MS;
      attempt = 0;
      events.onOpen();
    };
    opened.onclose = () => {
      if (socket !== opened) return;
      socket = null;
      retry("relay not reachable");
    };
    opened.onmessage = (event) => events.onText(String(event.data));
  }

  connect();
  return {
    // Sends one text; false when the socket is not open.
    send(text) {
      if (!socket || socket.readyState !== 1) return false;
      socket.send(text);
      return true;
    },
  };
}

export const relayUrl = (location) => `${location.protocol === "https:" ? "wss" : "ws"}://${location.host}/`;
