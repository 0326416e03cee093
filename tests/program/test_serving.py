"""Files served from ./mount-origin over HTTP, and HTTPS with plain HTTP on one port with -s."""

import sys

sys.dont_write_bytecode = True

import http.client  # noqa: E402
import os  # noqa: E402
import re  # noqa: E402
import socket  # noqa: E402
import ssl  # noqa: E402
import subprocess  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port, log_messages  # noqa: E402
from websocket_client import insecure_tls_context  # noqa: E402

SECRET = b"lies outside the mount\n"

# Files beside index.html; several have extensions the web library knows no type for.
EXTRA_FILES = {
    "mount-origin/app.mjs": b"export const answer = 42;\n",
    "mount-origin/engine.wasm": b"\x00asm\x01\x00\x00\x00",
    "mount-origin/app.js.map": b'{"version":3,"sources":[]}',
    "mount-origin/graph.vtlgraph": b"odd extension\n",
    "mount-origin/lib/nested.js": b"console.log('nested');\n",
    "secret.txt": SECRET,
}

# (path, status, file whose bytes are the body or None, text the content type must hold or None)
REQUESTS = [
    ("/", 200, "mount-origin/index.html", "text/html"),
    ("/index.html", 200, "mount-origin/index.html", "text/html"),
    ("/app.mjs", 200, "mount-origin/app.mjs", "javascript"),
    ("/engine.wasm", 200, "mount-origin/engine.wasm", "application/wasm"),
    ("/app.js.map", 200, "mount-origin/app.js.map", None),
    ("/graph.vtlgraph", 200, "mount-origin/graph.vtlgraph", None),
    ("/lib/nested.js", 200, "mount-origin/lib/nested.js", "javascript"),
    ("/missing.html", 404, None, None),
]

TRAVERSAL_PATHS = ["/../secret.txt", "/lib/../../secret.txt", "/%2e%2e/secret.txt", "/..%2fsecret.txt"]


def make_workspace(repo_root):
    workspace = Workspace(repo_root)
    for relative, data in EXTRA_FILES.items():
        workspace.write(relative, data)
    return workspace


def http_get(port, path, tls):
    if tls:
        connection = http.client.HTTPSConnection("127.0.0.1", port, timeout=5, context=insecure_tls_context())
    else:
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
    try:
        connection.request("GET", path)
        response = connection.getresponse()
        return response.status, response.getheader("Content-Type", ""), response.read()
    finally:
        connection.close()


def check_requests(context, workspace, port, tls):
    scheme = "https" if tls else "http"
    for path, status, body_file, content_type in REQUESTS:
        got_status, got_type, body = http_get(port, path, tls)
        context.expect_equal(got_status, status, f"{scheme} status of {path}")
        if body_file is not None:
            context.expect(body == workspace.read(body_file), f"{scheme} body of {path}: {body[:60]!r}")
        if content_type is not None:
            context.expect(content_type in got_type, f"{scheme} content type of {path}: {got_type!r}")


def serving_case(relay_args, tls_requests):
    def case(context):
        port = free_port()
        with make_workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)] + relay_args, workspace.path) as relay:
                if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    check_requests(context, workspace, port, tls_requests)
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
    return case


# (Host header, status of GET /): only names of this relay are served, so a page whose name was made to point at
# this machine cannot read the console either.
HOST_ROWS = [("localhost:{port}", 200), ("127.0.0.1", 200), ("attacker.example:{port}", 403),
             ("localhost.attacker.example", 403), ("", 403)]


def raw_get(port, path, host):
    with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
        raw.sendall(f"GET {path} HTTP/1.1\r\nHost: {host}\r\nConnection: close\r\n\r\n".encode())
        response = b""
        try:
            while chunk := raw.recv(65536):
                response += chunk
        except (socket.timeout, ConnectionResetError):
            pass
    return response


def foreign_hosts_refused(context):
    port = free_port()
    with make_workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                for host, status in HOST_ROWS:
                    response = raw_get(port, "/", host.format(port=port))
                    context.expect(response.startswith(f"HTTP/1.1 {status} ".encode()), f"{host!r}: {response[:40]!r}")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


def traversal_refused(context):
    port = free_port()
    with make_workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                for path in TRAVERSAL_PATHS:
                    response = raw_get(port, path, "localhost")
                    context.expect(SECRET not in response, f"{path} served a file outside the mount")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


def embedded_certificate(repo_root):
    with open(os.path.join(repo_root, "src", "app", "tls_material.cpp")) as source:
        text = source.read()
    match = re.search(r"-----BEGIN CERTIFICATE-----.*?-----END CERTIFICATE-----\n", text, re.S)
    return ssl.PEM_cert_to_DER_cert(match.group(0)) if match else None


def presents_embedded_certificate(context):
    expected = embedded_certificate(context.repo_root)
    context.expect(expected, "certificate found in src/app/tls_material.cpp")
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port), "-s"], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
                    with insecure_tls_context().wrap_socket(raw) as tls:
                        context.expect(tls.getpeercert(binary_form=True) == expected,
                                       "the certificate presented is the embedded one")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


# (TLS version, cipher suites offered, whether the relay agrees): TLS 1.2 only with ECDHE and AEAD suites.
TLS_ROWS = [
    (ssl.TLSVersion.TLSv1_2, "AES128-SHA", False),
    (ssl.TLSVersion.TLSv1_2, "AES256-SHA", False),
    (ssl.TLSVersion.TLSv1_2, "AES128-GCM-SHA256", False),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-AES128-SHA", False),
    (ssl.TLSVersion.TLSv1_2, "DHE-RSA-AES128-GCM-SHA256", False),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-AES128-GCM-SHA256", True),
    (ssl.TLSVersion.TLSv1_2, "ECDHE-RSA-CHACHA20-POLY1305", True),
    (ssl.TLSVersion.TLSv1_3, None, True),
]


def tls_suites(context):
    """The relay's TLS offers forward secrecy and authenticated encryption only, and says when its key is shared."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port), "-s"], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                for version, ciphers, agreed in TLS_ROWS:
                    tls = insecure_tls_context()
                    tls.minimum_version = tls.maximum_version = version
                    if ciphers:
                        # The client offers what its own defaults would hold back too.
                        tls.set_ciphers(ciphers + ":@SECLEVEL=0")
                    try:
                        with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
                            with tls.wrap_socket(raw) as session:
                                negotiated = session.cipher()[0]
                    except (ssl.SSLError, OSError):
                        negotiated = None
                    context.expect_equal(negotiated is not None, agreed, f"{version.name} with {ciphers}: {negotiated}")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
            context.expect(any("the same in every copy" in line for line in log_messages(relay.stdout(), "WARNING")),
                           "-s alone warns that its key pair is shared")


def operator_certificate(context):
    """-C and -K: the operator's own pair is presented instead of the built-in one."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        certificate, key = workspace.file("relay.crt"), workspace.file("relay.key")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                        "/CN=relay.example", "-keyout", key, "-out", certificate], check=True, capture_output=True)
        with open(certificate) as source:
            expected = ssl.PEM_cert_to_DER_cert(source.read())
        with RelayProcess(context.binary, ["-p", str(port), "-s", "-C", "relay.crt", "-K", key],
                          workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                with socket.create_connection(("127.0.0.1", port), timeout=5) as raw:
                    with insecure_tls_context().wrap_socket(raw) as tls:
                        context.expect(tls.getpeercert(binary_form=True) == expected,
                                       "the certificate presented is the operator's")
                context.expect_equal(http_get(port, "/", tls=True)[0], 200, "https status of /")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


def certificate_without_tls(context):
    """-C and -K without -s serve plain HTTP and say that they did nothing (the service names its pair so)."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port), "-C", "none.crt", "-K", "none.key"],
                          workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                context.expect_equal(http_get(port, "/", tls=False)[0], 200, "http status of /")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
            context.expect("-C and -K take effect only with -s; serving without TLS"
                           in log_messages(relay.stdout(), "INFO"), "line about -C and -K")


# Names under mount-origin that must not be served: (name, how it is made from its full path).
UNSERVABLE = [
    ("passwd.txt", lambda path: os.symlink("/etc/passwd", path)),
    ("outside.txt", lambda path: os.symlink("../secret.txt", path)),
    ("etc", lambda path: os.symlink("/etc", path)),
    ("fifo.txt", os.mkfifo),
]


def unservable_files_refused(context):
    """Links out of the mount and FIFOs get 404, and the relay keeps serving (a FIFO would block its open)."""
    port = free_port()
    with make_workspace(context.repo_root) as workspace:
        for name, make in UNSERVABLE:
            make(workspace.file(os.path.join("mount-origin", name)))
        os.symlink("index.html", workspace.file("mount-origin/inside.html"))
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                for path in ["/passwd.txt", "/outside.txt", "/etc/passwd", "/fifo.txt"]:
                    status, _, body = http_get(port, path, tls=False)
                    context.expect_equal(status, 404, f"status of {path}")
                    context.expect(SECRET not in body and b"root:" not in body, f"{path} served {body[:60]!r}")
                status, _, body = http_get(port, "/inside.html", tls=False)
                context.expect(status == 200 and body == workspace.read("mount-origin/index.html"),
                               "a link inside the mount is served")
                check_requests(context, workspace, port, tls=False)
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


def listening_line_case(relay_args, expected_template, unexpected_prefix):
    def case(context):
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)] + relay_args, workspace.path) as relay:
                context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                messages = log_messages(relay.stdout(), "INFO")
        expected = expected_template.format(port=port)
        context.expect(expected in messages, f"{expected!r} in {messages}")
        context.expect(not any(message.startswith(unexpected_prefix) for message in messages),
                       f"no line beginning {unexpected_prefix!r}")
    return case


def missing_mount_origin_warned(context):
    """A missing console folder or page is warned about, and no console address is given for it."""
    port = free_port()
    for with_mount_origin, page in ((False, False), (True, False), (True, True)):
        with Workspace(context.repo_root, with_mount_origin=with_mount_origin) as workspace:
            if with_mount_origin and not page:
                os.remove(workspace.file("mount-origin/index.html"))
            with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
                context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                warnings = [message for message in log_messages(relay.stdout(), "WARNING") if "mount-origin" in message]
                consoles = [message for message in log_messages(relay.stdout(), "INFO") if message.startswith("Console")]
        context.expect_equal(len(warnings), 0 if page else 1, f"warnings with folder {with_mount_origin}, page {page}")
        context.expect_equal(len(consoles), 1 if page else 0, f"console lines with folder {with_mount_origin}, page {page}")


def tls_client_on_plain_relay(context):
    """An https page or wss client on a relay without -s is named in the log, and plain HTTP still works."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
            if context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                try:
                    http_get(port, "/", tls=True)
                except (ssl.SSLError, OSError):
                    pass
                context.expect_equal(http_get(port, "/", tls=False)[0], 200, "plain HTTP after it")
                context.expect(relay.wait_for_output("spoke TLS (https or wss) to this relay"),
                               f"the TLS client is named: {relay.stdout()!r}")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


CASES = [
    ("files over HTTP", serving_case([], tls_requests=False)),
    ("files over HTTPS with -s", serving_case(["-s"], tls_requests=True)),
    ("files over plain HTTP with -s", serving_case(["-s"], tls_requests=False)),
    ("paths leaving the mount are refused", traversal_refused),
    ("only the relay's own host names are served", foreign_hosts_refused),
    ("-s presents the embedded certificate", presents_embedded_certificate),
    ("-s with -C and -K presents the operator's certificate", operator_certificate),
    ("-C and -K without -s", certificate_without_tls),
    ("TLS suites without forward secrecy or AEAD are refused", tls_suites),
    ("links out of the mount and FIFOs get 404", unservable_files_refused),
    ("listening line without -s",
     listening_line_case([], "Non-SSL listening on port {port} (ws://localhost:{port})", "SSL")),
    ("listening line with -s",
     listening_line_case(["-s"], "SSL listening on port {port} (wss://localhost:{port})", "Non-SSL")),
    ("console address without -s", listening_line_case([], "Console: http://localhost:{port}/", "Console: https")),
    ("console address with -s", listening_line_case(["-s"], "Console: https://localhost:{port}/", "Console: http:")),
    ("a missing mount-origin is warned about", missing_mount_origin_warned),
    ("a TLS client on a relay without -s is named", tls_client_on_plain_relay),
]

if __name__ == "__main__":
    run_cases(CASES)
