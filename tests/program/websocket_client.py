"""A minimal blocking WebSocket client (handshake, masked client frames, text messages) for the tests."""

import base64
import hashlib
import os
import socket
import ssl
import struct
import time

ACCEPT_GUID = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11"

OPCODE_CONTINUATION = 0x0
OPCODE_TEXT = 0x1
OPCODE_BINARY = 0x2
OPCODE_CLOSE = 0x8
OPCODE_PING = 0x9
OPCODE_PONG = 0xA


class WebSocketError(Exception):
    pass


class ConnectionClosed(WebSocketError):
    pass


def insecure_tls_context():
    """TLS without certificate checks: the relay's built-in certificate is self-signed."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def encode_client_frame(opcode, payload, final=True):
    """One client frame; clients must mask every frame."""
    mask = os.urandom(4)
    header = bytearray([(0x80 if final else 0) | opcode])
    length = len(payload)
    if length < 126:
        header.append(0x80 | length)
    elif length < 65536:
        header.append(0x80 | 126)
        header += struct.pack("!H", length)
    else:
        header.append(0x80 | 127)
        header += struct.pack("!Q", length)
    masked = bytes(byte ^ mask[index % 4] for index, byte in enumerate(payload))
    return bytes(header) + mask + masked


class WebSocketClient:
    def __init__(self, port, protocol, tls=False, timeout=5.0, path="/", origin=None, source=None, host=None,
                 headers=None, address="127.0.0.1"):
        source_address = (source, 0) if source else None
        raw = socket.create_connection((address, port), timeout=timeout, source_address=source_address)
        self.sock = insecure_tls_context().wrap_socket(raw) if tls else raw
        self.sock.settimeout(timeout)
        self._buffer = b""
        self.response_headers = {}
        self.status_line = ""
        try:
            self._handshake(f"localhost:{port}" if host is None else host, protocol, path, origin, headers or {})
        except Exception:
            self.sock.close()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.sock.close()

    def _handshake(self, host, protocol, path, origin, headers):
        key = base64.b64encode(os.urandom(16)).decode()
        protocol_line = f"Sec-WebSocket-Protocol: {protocol}\r\n" if protocol is not None else ""
        origin_line = f"Origin: {origin}\r\n" if origin is not None else ""
        origin_line += "".join(f"{name}: {value}\r\n" for name, value in headers.items())
        request = (f"GET {path} HTTP/1.1\r\n"
                   f"Host: {host}\r\n"
                   f"Upgrade: websocket\r\n"
                   f"Connection: Upgrade\r\n"
                   f"Sec-WebSocket-Key: {key}\r\n"
                   f"Sec-WebSocket-Version: 13\r\n"
                   f"{protocol_line}"
                   f"{origin_line}"
                   f"\r\n")
        self.sock.sendall(request.encode())
        while b"\r\n\r\n" not in self._buffer:
            self._read_more()
        head, self._buffer = self._buffer.split(b"\r\n\r\n", 1)
        lines = head.decode(errors="replace").split("\r\n")
        self.status_line = lines[0]
        for line in lines[1:]:
            name, _, value = line.partition(":")
            self.response_headers[name.strip().lower()] = value.strip()
        if not self.status_line.startswith("HTTP/1.1 101"):
            raise WebSocketError(f"upgrade refused: {self.status_line}")
        expected = base64.b64encode(hashlib.sha1((key + ACCEPT_GUID).encode()).digest()).decode()
        if self.response_headers.get("sec-websocket-accept") != expected:
            raise WebSocketError(f"bad Sec-WebSocket-Accept in {self.response_headers}")

    def _read_more(self):
        chunk = self.sock.recv(65536)
        if not chunk:
            raise ConnectionClosed("connection ended by the server")
        self._buffer += chunk

    def _take(self, count):
        while len(self._buffer) < count:
            self._read_more()
        data, self._buffer = self._buffer[:count], self._buffer[count:]
        return data

    def _read_frame(self):
        first, second = self._take(2)
        final = bool(first & 0x80)
        opcode = first & 0x0F
        length = second & 0x7F
        if length == 126:
            length = struct.unpack("!H", self._take(2))[0]
        elif length == 127:
            length = struct.unpack("!Q", self._take(8))[0]
        if second & 0x80:
            raise WebSocketError("the server sent a masked frame")
        return final, opcode, self._take(length)

    def send_text(self, text):
        self.sock.sendall(encode_client_frame(OPCODE_TEXT, text.encode()))

    def send_binary(self, payload):
        self.sock.sendall(encode_client_frame(OPCODE_BINARY, payload))

    def receive_text(self, timeout=5.0):
        """The next whole text message; answers pings; raises ConnectionClosed on a close frame."""
        deadline = time.monotonic() + timeout
        pieces = []
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError("no complete text message in time")
            self.sock.settimeout(remaining)
            final, opcode, payload = self._read_frame()
            if opcode == OPCODE_PING:
                self.sock.sendall(encode_client_frame(OPCODE_PONG, payload))
            elif opcode == OPCODE_PONG:
                continue
            elif opcode == OPCODE_CLOSE:
                raise ConnectionClosed("close frame received")
            elif (opcode == OPCODE_TEXT and not pieces) or (opcode == OPCODE_CONTINUATION and pieces):
                pieces.append(payload)
                if final:
                    return b"".join(pieces).decode()
            else:
                raise WebSocketError(f"unexpected frame opcode {opcode}")

    def wait_closed(self, timeout=5.0):
        """True when the server ends the connection (close frame or end of stream) within the time-out."""
        deadline = time.monotonic() + timeout
        try:
            while time.monotonic() < deadline:
                self.sock.settimeout(max(deadline - time.monotonic(), 0.01))
                _, opcode, _ = self._read_frame()
                if opcode == OPCODE_CLOSE:
                    return True
        except (ConnectionClosed, ConnectionResetError, ssl.SSLError):
            return True
        except socket.timeout:
            return False
        return False

    def close(self):
        try:
            self.sock.sendall(encode_client_frame(OPCODE_CLOSE, struct.pack("!H", 1000)))
        except OSError:
            pass
        self.sock.close()
