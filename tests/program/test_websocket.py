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
        context.allow_error("ended while a reply was being sent")
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
                # Everything the relay sends is read before the client leaves: a reply still being written to a
                # client that has gone is an ERROR line of its own.
                for _ in range(4):
                    client.receive_text()
                client.send_text(text)
                context.expect_equal(client.receive_text(), '{"autoRefreshPorts":true}', "the command is answered")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
            received = [message for message in log_messages(relay.stdout(), "TRAFFIC")
                        if message.startswith("ser <- web: ")]
    context.expect_equal(received, ["ser <- web: " + text], "received traffic lines")


EDITOR = ["-o", "https://editor.example"]
LOCAL = "localhost:{port}"
REBOUND = "attacker.example:{port}"
# A browser never sends an origin beyond 1024 characters; the relay takes none.
LONG_ORIGIN = "https://" + "a" * 1008 + ".example"

# (relay arguments, Host sent, Origin sent or None, whether the upgrade is accepted); "{port}" is the relay's port
# and "{machine}" this machine's host name. A refused upgrade gets 403 and one INFO line naming the origin or the
# host, its control characters escaped.
TRUST_ROWS = [
    # Without -o: programs and the relay's own page, under any name of the relay.
    ([], LOCAL, None, True),
    ([], LOCAL, "http://localhost:{port}", True),
    ([], LOCAL, "https://localhost:{port}", True),
    ([], "127.0.0.1:{port}", "http://127.0.0.1:{port}", True),
    ([], "[::1]:{port}", "http://[::1]:{port}", True),
    ([], "LocalHost.:{port}", "http://localhost:{port}", True),
    ([], "{machine}:{port}", "http://{machine}:{port}", True),
    ([], "{machine}.local:{port}", "http://{machine}.local:{port}", True),
    (["-a", "robot.example"], "robot.example:{port}", "http://robot.example:{port}", True),
    ([], LOCAL, "https://evil.example", False),
    ([], LOCAL, "null", False),
    ([], LOCAL, "http://localhost:1", False),
    # A page of another host on the relay's port is not the relay's own, an address neither.
    ([], LOCAL, "http://127.0.0.1:{port}", False),
    ([], LOCAL, "http://203.0.113.5:{port}", False),
    # A name made to point at this machine is refused whatever the options.
    ([], REBOUND, "http://attacker.example:{port}", False),
    (EDITOR, REBOUND, "http://attacker.example:{port}", False),
    (["-i", "127.0.0.1"], REBOUND, "http://attacker.example:{port}", False),
    (["-i", "127.0.0.1"] + EDITOR, REBOUND, None, False),
    ([], "", None, False),
    # -o lets further pages in.
    (EDITOR, LOCAL, "https://evil.example", False),
    (EDITOR, LOCAL, "https://editor.example", True),
    (EDITOR, LOCAL, "HTTPS://Editor.example/", True),
    (["-o", "https://a.example"] + EDITOR, LOCAL, "https://a.example", True),
    (["-o", "https://a.example"] + EDITOR, LOCAL, "https://editor.example", True),
    (EDITOR, LOCAL, None, True),
    (EDITOR, LOCAL, "http://localhost:{port}", True),
    (EDITOR, LOCAL, "http://localhost:1", False),
    (EDITOR, LOCAL, "null", False),
    (EDITOR, LOCAL, "https://editor.example.evil.example", False),
    (EDITOR, LOCAL, "https://x\x1b[2J\x7f.example", False),
    (["-o", LONG_ORIGIN], LOCAL, LONG_ORIGIN, True),
    (["-o=" + LONG_ORIGIN + "x"], LOCAL, LONG_ORIGIN + "x", False),
]
ORIGINS_LINE = "WebSocket connections are let in from the relay's own page and from programs that send no Origin"


def trust_case(relay_args, host_template, origin_template, accepted):
    def case(context):
        # Clients that leave before their greeting is written.
        context.allow_error("ended while a reply was being sent")
        port = free_port()
        machine = socket.gethostname()
        host = host_template.format(port=port, machine=machine)
        origin = origin_template.format(port=port, machine=machine) if origin_template is not None else None
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)] + relay_args, workspace.path) as relay:
                if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    try:
                        with WebSocketClient(port, PROTOCOL, origin=origin, host=host) as client:
                            status, greeting = client.status_line, client.receive_text()
                    except WebSocketError as refused:
                        status, greeting = str(refused), None
                    if accepted:
                        context.expect_equal(greeting, SERVER_GREETING, f"greeting for {host!r}, origin {origin!r}")
                    else:
                        context.expect("403" in status, f"{host!r}, origin {origin!r} refused with 403: {status!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                output = relay.stdout()
        refusals = [line for line in log_messages(output, "INFO") if line.startswith("Refused")]
        if accepted:
            context.expect_equal(refusals, [], "refusal lines")
        else:
            named = "longer than 1024 characters" if len(origin or "") > 1024 else origin if host_template == LOCAL else host
            named = named.replace("\x1b", "\\x1B").replace("\x7f", "\\x7F")
            context.expect(len(refusals) == 1 and named in refusals[0], f"one line naming {named!r}: {refusals}")
            context.expect("\x1b" not in output, "no raw control character in the log")
        context.expect_equal(len([line for line in log_messages(output, "INFO") if line.startswith(ORIGINS_LINE)]), 1,
                             "one line at start-up says which pages are let in")
        context.expect(not any("-o" in line for line in log_messages(output, "WARNING")), "no warning about -o")
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
        context.allow_error("ended while a reply was being sent")
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


def network_address():
    """An IPv4 address of this machine that is not loopback: a peer connecting from it to it is "beyond this
    machine" for the relay, yet nothing leaves the machine."""
    import fcntl
    import struct
    for _, name in socket.if_nameindex():
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
            try:
                request = struct.pack("256s", name.encode()[:15])
                address = socket.inet_ntoa(fcntl.ioctl(probe.fileno(), 0x8915, request)[20:24])  # SIOCGIFADDR
            except OSError:
                continue
        if not address.startswith("127."):
            return address
    return None


def http_status(address, port, path, headers, source):
    """(status, headers) of a GET sent from `source`."""
    with socket.create_connection((address, port), timeout=5, source_address=(source, 0)) as raw:
        lines = "".join(f"{name}: {value}\r\n" for name, value in headers.items())
        raw.sendall(f"GET {path} HTTP/1.1\r\n{lines}Connection: close\r\n\r\n".encode())
        response = b""
        while b"\r\n\r\n" not in response:
            chunk = raw.recv(4096)
            if not chunk:
                break
            response += chunk
    head = response.split(b"\r\n\r\n")[0].decode(errors="replace").split("\r\n")
    parts = head[0].split(" ")
    fields = dict((line.partition(":")[0].lower(), line.partition(":")[2].strip()) for line in head[1:])
    return (int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0), fields


# How a peer beyond loopback presents the token T, and whether it is let in: (kind, path, headers).
TOKEN_ROWS = [
    ("ws", "/", {}, False),
    ("ws", "/?token={token}", {}, True),
    ("ws", "/", {"Authorization": "Bearer {token}"}, True),
    ("ws", "/", {"Cookie": "other=1; {cookie}={token}"}, True),
    ("ws", "/", {"Authorization": "Bearer {wrong}"}, False),
    ("ws", "/?token={wrong}", {}, False),
    ("ws", "/", {"Cookie": "x{cookie}={token}"}, False),
    ("http", "/", {}, False),
    ("http", "/", {"Cookie": "{cookie}={token}"}, True),
    ("http", "/index.html", {"Authorization": "Bearer {token}"}, True),
    ("http", "/metrics", {}, False),
    ("http", "/health", {"Authorization": "Bearer {token}"}, True),
]


def network_peer_case(context):
    """-i 0.0.0.0 opens the relay to the network: a peer beyond loopback gets in only with the token, which is kept
    in relay-token across restarts; without -i the relay does not answer beyond loopback at all."""
    # Clients that leave before their greeting is written.
    context.allow_error("ended while a reply was being sent")
    address = network_address()
    if not context.expect(address is not None, "this machine has an address beyond loopback to test from"):
        return
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}")
            try:
                socket.create_connection((address, port), timeout=2).close()
                reached = True
            except OSError:
                reached = False
            context.expect(not reached, f"without -i the relay is not reachable at {address}")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
        context.expect(not os.path.exists(workspace.file("relay-token")), "no token made for a loopback relay")
        tokens = []
        for run in range(2):
            with RelayProcess(context.binary, ["-p", str(port), "-i", "0.0.0.0"], workspace.path) as relay:
                if not context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    return
                token = workspace.read("relay-token").decode().strip()
                tokens.append(token)
                context.expect_equal(os.stat(workspace.file("relay-token")).st_mode & 0o777, 0o600,
                                     "only the relay's user may read the token")
                context.expect(relay.wait_for_output(f":{port}/?token={token}"), "the console address names the token")
                values = {"token": token, "wrong": token[:-1] + ("0" if token[-1] != "0" else "1"),
                          "cookie": f"vantrel_token_{port}"}
                for kind, path, headers, admitted in TOKEN_ROWS if run == 0 else []:
                    path = path.format(**values)
                    headers = {name: value.format(**values) for name, value in headers.items()}
                    if kind == "http":
                        status, _ = http_status(address, port, path, dict(headers, Host=f"{address}:{port}"), address)
                    else:
                        try:
                            with WebSocketClient(port, PROTOCOL, path=path, headers=headers, address=address,
                                                 source=address, host=f"{address}:{port}",
                                                 origin=f"http://{address}:{port}") as client:
                                status = 101 if client.receive_text() == SERVER_GREETING else 0
                        except WebSocketError as refused:
                            status = int(str(refused).split(" ")[3]) if "HTTP/1" in str(refused) else 0
                    context.expect_equal(status, (101 if kind == "ws" else 200) if admitted else 401,
                                         f"{kind} {path} with {headers}")
                status, fields = http_status(address, port, f"/?token={token}", {"Host": f"{address}:{port}"}, address)
                cookie = fields.get("set-cookie", "")
                context.expect(status == 200 and cookie.startswith(f"vantrel_token_{port}={token};") and
                               "HttpOnly" in cookie and "SameSite=Strict" in cookie,
                               f"the console address hands the token over as a cookie: {status} {fields}")
                with WebSocketClient(port, PROTOCOL) as local:
                    context.expect_equal(local.receive_text(), SERVER_GREETING, "loopback needs no token")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                refusals = [line for line in log_messages(relay.stdout(), "INFO") if "access token" in line and "left out" not in line]
                # One line per refusal, at most five a second.
                refused = min(sum(1 for row in TOKEN_ROWS if not row[3]), 5) if run == 0 else 0
                context.expect_equal(len(refusals), refused, f"one line per refusal: {refusals}")
        context.expect(len(set(tokens)) == 1 and len(tokens[0]) == 32, f"the same token across restarts: {tokens}")


CASES = [
    ("log lines reach standard output at once", log_lines_are_flushed_one_by_one),
    ("a 6000-byte message is logged whole at -l 5", long_message_logged_whole),
    ("greeting over ws", greeting_case([], tls=False, editors=1)),
    ("greeting to two editors", greeting_case([], tls=False, editors=2)),
    ("greeting over wss with -s", greeting_case(["-s"], tls=True, editors=1)),
    ("greeting over plain ws with -s", greeting_case(["-s"], tls=False, editors=1)),
] + [
    (f"host {host!r}, origin {origin!r:.40} with {' '.join(args)[:40]}: {'accepted' if accepted else 'refused'}",
     trust_case(args, host, origin, accepted))
    for args, host, origin, accepted in TRUST_ROWS
] + [
    (f"{len(sources) * count} idle connections from {len(sources)} address(es)",
     connection_cap_case(sources, count, admitted, greeted))
    for sources, count, admitted, greeted in CAP_ROWS
] + [
    ("a peer beyond loopback needs the token", network_peer_case),
]

if __name__ == "__main__":
    run_cases(CASES)
