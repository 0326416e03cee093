"""Stopping the built relay with signals, and refusing to start on a port that is taken."""

import sys

sys.dont_write_bytecode = True

import contextlib  # noqa: E402
import os  # noqa: E402
import signal  # noqa: E402
import socket  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import (CONTEXT_FAILED_LINE, FAILED_START_ENVIRONMENT, START_BANNER, STOP_LINE, RelayProcess,  # noqa: E402
                           Workspace, accepts_connections, free_port, parse_log)
from websocket_client import WebSocketClient  # noqa: E402

PROTOCOL = "vantrel-configurator"



def stop_case(signal_number, with_editor_connected):
    def case(context):
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
                if not context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}"):
                    return
                editor = WebSocketClient(port, PROTOCOL) if with_editor_connected else contextlib.nullcontext()
                with editor:
                    status = relay.stop(signal_number)
                    if with_editor_connected:
                        context.expect(editor.wait_closed(), "the editor's connection is ended by the stop")
                context.expect_equal(status, 0, "exit status")
                context.expect(not accepts_connections(port), "port still accepts connections after the stop")
                lines, malformed = parse_log(relay.stdout())
        context.expect_equal(malformed, [], "lines not in the log format")
        last = [(line.level, line.message) for line in lines[-1:]]
        context.expect_equal(last, [("INFO", STOP_LINE)], "last line")
    return case


def busy_port_case(extra_args, check_output):
    def case(context):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            with Workspace(context.repo_root) as workspace:
                with RelayProcess(context.binary, ["-p", str(port)] + extra_args, workspace.path,
                                  FAILED_START_ENVIRONMENT) as relay:
                    status = relay.wait_exit()
                    output = relay.stdout()
        context.expect_equal(status, 1, "exit status with the port taken")
        lines, malformed = parse_log(output)
        context.expect_equal(malformed, [], "lines not in the log format")
        check_output(context, port, [(line.level, line.message) for line in lines])
    return case


def taken_port_line(port):
    return ("FATAL", f"Cannot listen on port {port}: another program uses it; choose another with -p")


def banner_then_fatal(context, port, lines):
    context.expect(lines[:1] == [("INFO", START_BANNER)], f"banner first: {lines}")
    context.expect(lines[-2:] == [taken_port_line(port), ("FATAL", CONTEXT_FAILED_LINE)], f"fatal lines last: {lines}")


def fatal_only(context, port, lines):
    context.expect_equal(lines, [taken_port_line(port), ("FATAL", CONTEXT_FAILED_LINE)], "lines at threshold FATAL")


def silent(context, port, lines):
    context.expect_equal(lines, [], "log lines with logging off")


CASES = [
    ("SIGINT stops the relay", stop_case(signal.SIGINT, with_editor_connected=False)),
    ("SIGTERM stops the relay", stop_case(signal.SIGTERM, with_editor_connected=False)),
    ("SIGINT with an editor connected", stop_case(signal.SIGINT, with_editor_connected=True)),
    ("SIGTERM with an editor connected", stop_case(signal.SIGTERM, with_editor_connected=True)),
    ("SIGHUP with an editor connected", stop_case(signal.SIGHUP, with_editor_connected=True)),
    ("busy port is fatal", busy_port_case([], banner_then_fatal)),
    ("busy port at -l 1 logs only the fatal line", busy_port_case(["-l", "1"], fatal_only)),
    ("busy port with logging off", busy_port_case(["-l", "0"], silent)),
]

if __name__ == "__main__":
    run_cases(CASES)
