"""Command line of the built relay: -h, -v, port checks and the forms of -p."""

import sys

sys.dont_write_bytecode = True

import os  # noqa: E402
import re  # noqa: E402
import socket  # noqa: E402
import time  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import (CONTEXT_FAILED_LINE, FAILED_START_ENVIRONMENT, INVALID_PORT_TEXT, USAGE_TEXT, RelayProcess,  # noqa: E402
                           Workspace, accepts_connections, free_port, log_messages, port_is_free,
                           run_to_exit, serve_and_stop)

VERSION_LINE = re.compile(r"vantrelRelay version 0\.1\.3 \((.+)\)\n")
BUILD_TIME_FORMAT = "%a %b %d %H:%M:%S %Y"


def listening_line(port):
    return f"Non-SSL listening on port {port} (ws://localhost:{port})"


def exits_at_once(args, expected_status, expected_stdout_check):
    """A case for an invocation that must print something, start nothing and end by itself."""
    def case(context):
        with Workspace(context.repo_root, with_mount_origin=False) as workspace:
            result = run_to_exit(context.binary, args, workspace.path)
            context.expect_equal(result.status, expected_status, f"exit status of {args}")
            expected_stdout_check(context, result.stdout)
            context.expect_equal(os.listdir(workspace.path), [], f"files created by {args}")
    return case


def prints_usage(context, stdout):
    context.expect_equal(stdout, USAGE_TEXT, "standard output")


def prints_version(context, stdout):
    match = VERSION_LINE.fullmatch(stdout)
    if context.expect(match, f"version line, got {stdout!r}"):
        build_time = match.group(1)
        try:
            time.strptime(build_time, BUILD_TIME_FORMAT)
        except ValueError:
            context.expect(False, f"build time {build_time!r} is not in the form 'Thu Sep 12 23:28:14 2024'")


def refuses_port(context, stdout):
    """The refusal, after a line that names a value which is no number at all."""
    named = stdout[:-len(INVALID_PORT_TEXT)] if stdout.endswith(INVALID_PORT_TEXT) else None
    context.expect(named == "" or (named and named.startswith("-p ") and named.endswith(" is not a port number\n")),
                   f"standard output: {stdout!r}")


HELP_ARGUMENTS = [
    ["-h"],
    ["-h", "-v"],
    ["-v", "-h"],
    ["-p", "1024", "-h"],
    ["-hx"],
    ["-s", "-l", "6", "-f", "relay.log", "-h", "-p", "8080"],
    ["-f", "relay.log", "-p", "-h"],
]

VERSION_ARGUMENTS = [
    ["-v"],
    ["-p", "1024", "-v"],
    ["-v", "-l", "0"],
    ["-f", "relay.log", "-v", "-s"],
]

# `-p` as the last argument has the empty value; "-p -l 3" gives the port the text "-l".
INVALID_PORT_ARGUMENTS = [
    ["-p", "1024"],
    ["-p", "65536"],
    ["-p"],
    ["-l", "4", "-p"],
    ["-p="],
    ["-p", "0"],
    ["-p", "-1"],
    ["-p", "abc"],
    ["-p", "8080x"],
    ["-p", "-l", "3"],
    ["-p1024"],
    ["-p", "7000", "-p", "1024"],
]


def boundary_port_accepted(port):
    def case(context):
        with Workspace(context.repo_root) as workspace:
            was_free = port_is_free(port)
            with RelayProcess(context.binary, ["-p", str(port)], workspace.path) as relay:
                if was_free:
                    context.expect(relay.wait_listening(port), f"relay listens on {port}: {relay.stdout()!r}")
                    context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                else:
                    # Someone else holds the port: the number is still accepted, only binding fails.
                    context.expect_equal(relay.wait_exit(), 1, "exit status with the port taken")
                    context.expect(CONTEXT_FAILED_LINE in log_messages(relay.stdout(), "FATAL"),
                                   "context failure logged")
                output = relay.stdout()
                context.expect(INVALID_PORT_TEXT not in output, f"port {port} refused")
                context.expect(listening_line(port) in log_messages(output, "INFO"),
                               f"listening line for {port} in {output!r}")
    return case


# "{P}" is the port that must be chosen, "{Q}" another free port that must stay unused.
PORT_FORMS = [
    ["-p{P}"],
    ["-p={P}"],
    ["-p", "{P}"],
    ["-p", "{Q}", "-p", "{P}"],
    ["-p={Q}", "-p{P}"],
    ["-p", "1024", "-p", "{P}"],
    ["-p", "{P}", "-l", "4"],
]


def port_form_selects(template):
    def case(context):
        chosen, other = free_port(), free_port()
        args = [part.replace("{P}", str(chosen)).replace("{Q}", str(other)) for part in template]
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, args, workspace.path) as relay:
                context.expect(relay.wait_listening(chosen), f"{args} listens on {chosen}: {relay.stdout()!r}")
                context.expect(not accepts_connections(other), f"{args} also listens on {other}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                context.expect(listening_line(chosen) in log_messages(relay.stdout(), "INFO"),
                               f"listening line for {chosen} in {relay.stdout()!r}")
    return case


def default_port_is_7681(context):
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(context.binary, [], workspace.path) as relay:
            context.expect(relay.wait_for_output(listening_line(7681)), f"listening line: {relay.stdout()!r}")


def reachable(family, address, port):
    try:
        with socket.socket(family, socket.SOCK_STREAM) as probe:
            probe.settimeout(0.5)
            probe.connect((address, port))
            return True
    except OSError:
        return False


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
            probe.bind(("::1", 0))
            return True
    except OSError:
        return False


LOOPBACKS = {"127.0.0.1": socket.AF_INET, "::1": socket.AF_INET6}


def listens_only_on(address):
    """-i binds one address: the relay answers there and not on the loopback of the other family."""
    def case(context):
        loopbacks = LOOPBACKS if has_ipv6_loopback() else {"127.0.0.1": socket.AF_INET}
        if address not in loopbacks:
            print(f"     skipped -i {address}: this machine has no IPv6 loopback (::1)")
            return
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            with RelayProcess(context.binary, ["-p", str(port), "-i", address], workspace.path) as relay:
                context.expect(relay.wait_for_output(listening_line(port)), f"relay starts: {relay.stdout()!r}")
                deadline = time.monotonic() + 5
                while not reachable(LOOPBACKS[address], address, port) and time.monotonic() < deadline:
                    time.sleep(0.05)
                for other, family in loopbacks.items():
                    context.expect_equal(reachable(family, other, port), other == address, f"reachable on {other}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
    return case


# Each ends the start with a FATAL line naming the problem and status 1.
FATAL_ROWS = [
    (["-i", "localhost"], "Cannot listen on localhost"),
    (["-i", "192.0.2.1"], "Cannot listen on 192.0.2.1"),
    (["-s", "-C", "missing.pem", "-K", "missing.pem"], "Cannot read the TLS certificate file 'missing.pem'"),
    (["-s", "-C", "missing.pem"], "-C certfile and -K keyfile must be given together"),
    (["-s", "-K", "missing.pem"], "-C certfile and -K keyfile must be given together"),
]


def fatal_start(args, expected):
    def case(context):
        with Workspace(context.repo_root) as workspace:
            result = run_to_exit(context.binary, ["-p", str(free_port())] + args, workspace.path,
                                 extra_environment=FAILED_START_ENVIRONMENT)
            context.expect_equal(result.status, 1, f"exit status of {args}")
            fatal = log_messages(result.stdout, "FATAL")
            context.expect(any(line.startswith(expected) for line in fatal), f"{expected!r} in {fatal}")
            # The relay's own lines say what failed; the library's are not shown a second time.
            context.expect_equal(result.stderr, "", "standard error")
    return case


def mistakes_named(context):
    """Arguments the relay cannot use are named in one WARNING each, and the relay serves on."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        output = serve_and_stop(context, ["-p", str(port), "--port", "8080", "-x"], port, workspace)
    warnings = [line for line in log_messages(output, "WARNING") if line.startswith("Ignoring")]
    context.expect(len(warnings) == 2 and "did you mean '-p 8080'?" in warnings[0] and "'-x'" in warnings[1],
                   f"warnings: {warnings}")


CASES = (
    [(f"usage for {args}", exits_at_once(args, 0, prints_usage)) for args in HELP_ARGUMENTS]
    + [(f"version for {args}", exits_at_once(args, 0, prints_version)) for args in VERSION_ARGUMENTS]
    + [(f"port refused for {args}", exits_at_once(args, 1, refuses_port)) for args in INVALID_PORT_ARGUMENTS]
    + [(f"port {port} accepted", boundary_port_accepted(port)) for port in (1025, 65535)]
    + [(f"port chosen by {form}", port_form_selects(form)) for form in PORT_FORMS]
    + [("default port 7681", default_port_is_7681)]
    + [(f"-i {address} listens there only", listens_only_on(address)) for address in LOOPBACKS]
    + [(f"FATAL for {args}", fatal_start(args, expected)) for args, expected in FATAL_ROWS]
    + [("arguments the relay cannot use are named", mistakes_named)]
)

if __name__ == "__main__":
    run_cases(CASES)
