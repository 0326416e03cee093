"""The editor's WebSocket sub-protocol on the built relay: upgrade and the first greeting message."""

import sys

sys.dont_write_bytecode = True

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port, log_messages  # noqa: E402
from websocket_client import WebSocketClient  # noqa: E402

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


CASES = [
    ("log lines reach standard output at once", log_lines_are_flushed_one_by_one),
    ("greeting over ws", greeting_case([], tls=False, editors=1)),
    ("greeting to two editors", greeting_case([], tls=False, editors=2)),
    ("greeting over wss with -s", greeting_case(["-s"], tls=True, editors=1)),
    ("greeting over plain ws with -s", greeting_case(["-s"], tls=False, editors=1)),
]

if __name__ == "__main__":
    run_cases(CASES)
