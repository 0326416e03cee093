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


CASES = [
    ("greeting over ws", greeting_case([], tls=False, editors=1)),
    ("greeting to two editors", greeting_case([], tls=False, editors=2)),
    ("greeting over wss with -s", greeting_case(["-s"], tls=True, editors=1)),
    ("greeting over plain ws with -s", greeting_case(["-s"], tls=False, editors=1)),
]

if __name__ == "__main__":
    run_cases(CASES)
