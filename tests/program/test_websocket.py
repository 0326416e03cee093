"""The editor's WebSocket sub-protocol on the built relay: upgrade and the first greeting message."""

import sys

sys.dont_write_bytecode = True

import os  # noqa: E402
import socket  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port, log_messages  # noqa: E402
from websocket_client import WebSocketClient, WebSocketError  # noqa: E402

PROTOCOL = "vantrel-configurator"
SERVER_GREETING = '{"server":"0.1.3"}'
LOOPBACK_PEER_LINE = "Established connection with 127.0.0.1 (localhost)"


def greeting_case(relay_args, tls, editors):
    def case(context):
        # The editors leave after the first of their four greeting messages: writing the rest may find them gone.
        context.allow_error("lws_write: connection ended!")
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)] + relay_args, workspace.path) as relay:
                if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    clients = [WebSocketClient(port, PROTOCOL, tls=tls) for _ in range(editors)]
                    try:
                        for index, client in enumerate(clients):
                            context.expect_equal(client.response_headers.get("sec-websocket-protocol"),
                                                 PROTOCOL, f"sub-protocol accepted for editor {index}")
                            context.expect_equal(client.receive_text(), SERVER_GREETING,
                                                 f"first message to editor {index}")
                    finally:
                        for client in clients:
                            client.close()
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                established = [message for message in log_messages(relay.stdout(), "INFO")
                               if message.startswith("Established connection with ")]
        # The listener is dual-stack: an IPv4 peer must still be named as loopback.
        context.expect_equal(established, [LOOPBACK_PEER_LINE] * editors, "connection lines")
    return case


def log_lines_are_flushed_one_by_one(context):
    """Standard output is a file here, so only a flush after each line makes a line visible while the relay runs."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            if not context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                return
            with WebSocketClient(port, PROTOCOL) as client:
                for _ in range(4):
                    client.receive_text()
                # No idle port refresh from now on, whose own flush would carry the line out.
                client.send_text('{"set_auto_refresh_ports":false}')
                context.expect_equal(client.receive_text(), '{"autoRefreshPorts":false}', "refresh switched off")
            context.expect(relay.wait_for_output("Closed connection with 127.0.0.1 (localhost)"),
                           f"the last line is out while the relay runs: {relay.stdout()!r}")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


def long_message_logged_whole(context):
    """The library hands over a message up to its receive buffer in one piece, so the traffic line holds all of it."""
    port = free_port()
    text = '{"set_auto_refresh_ports":true,"pad":"' + "x" * 6000 + '"}'
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port), "-l", "5"], workspace.path) as relay:
            if not context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                return
            with WebSocketClient(port, PROTOCOL) as client:
                client.send_text(text)
                context.expect(relay.wait_for_output('"autoRefreshPorts":true'), "the command is answered")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
            received = [message for message in log_messages(relay.stdout(), "TRAFFIC")
                        if message.startswith("ser <- web: ")]
    context.expect_equal(received, ["ser <- web: " + text], "received traffic lines")


NO_ORIGIN_WARNING = "Every web page may drive the boards: no -o origin given"
EDITOR = ["-o", "https://editor.example"]

# (relay arguments, Origin sent or None, whether the upgrade is accepted); "{port}" is the relay's port.
# A refused upgrade gets 403 and one INFO line naming the origin, its control characters escaped.
ORIGIN_ROWS = [
    ([], "https://evil.example", True),
    (EDITOR, "https://evil.example", False),
    (EDITOR, "https://editor.example", True),
    (EDITOR, "HTTPS://Editor.example/", True),
    (["-o", "https://a.example"] + EDITOR, "https://a.example", True),
    (["-o", "https://a.example"] + EDITOR, "https://editor.example", True),
    (EDITOR, None, True),
    (EDITOR, "http://localhost:{port}", True),
    (EDITOR, "https://localhost:{port}", True),
    (EDITOR, "http://localhost:1", False),
    (EDITOR, "null", False),
    (EDITOR, "https://editor.example.evil.example", False),
    (EDITOR, "https://x\x1b[2J\x7f.example", False),
]


def origin_case(relay_args, origin_template, accepted):
    def case(context):
        # Clients that leave before their greeting is written.
        context.allow_error("lws_write: connection ended!")
        port = free_port()
        origin = origin_template.format(port=port) if origin_template is not None else None
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)] + relay_args, workspace.path) as relay:
                if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    try:
                        with WebSocketClient(port, PROTOCOL, origin=origin) as client:
                            status, greeting = client.status_line, client.receive_text()
                    except WebSocketError as refused:
                        status, greeting = str(refused), None
                    if accepted:
                        context.expect_equal(greeting, SERVER_GREETING, f"greeting for origin {origin!r}")
                    else:
                        context.expect("403" in status, f"origin {origin!r} refused with 403: {status!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                output = relay.stdout()
        refusals = [line for line in log_messages(output, "INFO") if "origin" in line]
        if accepted:
            context.expect_equal(refusals, [], "refusal lines")
        else:
            escaped = origin.replace("\x1b", "\\x1B").replace("\x7f", "\\x7F")
            context.expect(len(refusals) == 1 and escaped in refusals[0], f"one line naming {escaped}: {refusals}")
            context.expect("\x1b" not in output, "no raw control character in the log")
        warnings = log_messages(output, "WARNING").count(NO_ORIGIN_WARNING)
        context.expect_equal(warnings, 0 if relay_args else 1, "start-up warning about -o")
    return case


def handshake_status(port, source):
    """Sends an upgrade from `source` and returns (socket, status code); the socket stays open."""
    raw = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source, 0))
    raw.sendall((f"GET / HTTP/1.1\r\nHost: localhost:{port}\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                 f"Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n"
                 f"Sec-WebSocket-Protocol: {PROTOCOL}\r\n\r\n").encode())
    head = b""
    while b"\r\n" not in head:
        chunk = raw.recv(4096)
        if not chunk:
            break
        head += chunk
    parts = head.split(b" ")
    return raw, int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0


def descriptors(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


# (addresses the idle connections come from, connections from each, how many of them the relay takes,
#  whether a fresh editor from another address is still greeted while they stay open)
CAP_ROWS = [
    (["127.0.0.1"], 300, 32, True),
    ([f"127.0.0.{host}" for host in range(10, 20)], 30, 256, False),
]


def connection_cap_case(sources, per_source, admitted, fresh_editor_greeted):
    def case(context):
        # Clients that leave before their greeting is written.
        context.allow_error("lws_write: connection ended!")
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
                if not context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    return
                idle_descriptors = descriptors(relay.process.pid)
                held = []
                try:
                    statuses = []
                    for source in sources:
                        for _ in range(per_source):
                            raw, status = handshake_status(port, source)
                            held.append(raw)
                            statuses.append(status)
                    context.expect_equal(statuses.count(101), admitted, "upgrades taken")
                    context.expect_equal(statuses.count(503), len(statuses) - admitted, "upgrades refused with 503")
                    try:
                        with WebSocketClient(port, PROTOCOL, source="127.0.0.2") as editor:
                            greeted = editor.receive_text() == SERVER_GREETING
                    except WebSocketError:
                        greeted = False
                    context.expect_equal(greeted, fresh_editor_greeted, "a fresh editor greeted during the attack")
                finally:
                    for raw in held:
                        raw.close()
                with WebSocketClient(port, PROTOCOL, source="127.0.0.2") as editor:
                    context.expect_equal(editor.receive_text(), SERVER_GREETING, "a fresh editor greeted after it")
                context.expect(descriptors(relay.process.pid) <= idle_descriptors + 2,
                               f"descriptors back near idle ({idle_descriptors})")
                # Rate-limited: a few lines a second, then one line that counts those left out.
                context.expect(relay.wait_for_output("similar lines left out", timeout=3), "lines left out counted")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                refusals = [line for line in log_messages(relay.stdout(), "INFO") if line.startswith("Refused")]
        context.expect(0 < len(refusals) <= 30, f"{len(refusals)} refusal lines")
    return case


CASES = [
    ("log lines reach standard output at once", log_lines_are_flushed_one_by_one),
    ("a 6000-byte message is logged whole at -l 5", long_message_logged_whole),
    ("greeting over ws", greeting_case([], tls=False, editors=1)),
    ("greeting to two editors", greeting_case([], tls=False, editors=2)),
    ("greeting over wss with -s", greeting_case(["-s"], tls=True, editors=1)),
    ("greeting over plain ws with -s", greeting_case(["-s"], tls=False, editors=1)),
] + [
    (f"origin {origin!r} with {args}: {'accepted' if accepted else 'refused'}", origin_case(args, origin, accepted))
    for args, origin, accepted in ORIGIN_ROWS
] + [
    (f"{len(sources) * count} idle connections from {len(sources)} address(es)",
     connection_cap_case(sources, count, admitted, greeted))
    for sources, count, admitted, greeted in CAP_ROWS
]

if __name__ == "__main__":
    run_cases(CASES)
