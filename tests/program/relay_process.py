"""Starting, watching and stopping the built relay, and reading what it logs.

Every process started here is killed when its `with` block ends, whatever happened inside.
"""

import os
import re
import resource
import shutil
import signal
import socket
import subprocess
import tempfile
import time

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 10.0
SHORT_RUN_TIMEOUT_S = 10.0

VERSION = "0.1.3"

USAGE_TEXT = (
    "\n"
    "Usage vantrelRelay [-h] [-v] [-p port] [-l logThreshold] [-f logFile]\n"
    "\n"
    "  -h displays this message and exits.\n"
    "\n"
    "  -v displays version info and exits.\n"
    "\n"
    "  -p port to listen on (default is 7681)\n"
    "\n"
    "  logThreshold is a number from 0 to 6\n"
    "     0 = off\n"
    "     1 = fatal\n"
    "     2 = error\n"
    "     3 = warning\n"
    "     4 = info\n"
    "     5 = traffic\n"
    "     6 = debug\n"
    "\n"
    "  If logFile is not given, output will be directed to stdout.\n"
    "\n"
)

INVALID_PORT_TEXT = "Invalid port number. Try a number from 1025 to 65535\n"
START_BANNER = f"Starting vantrel relay server v{VERSION}"
STOP_LINE = "Stopping vantrel relay server"
CONTEXT_FAILED_LINE = "libwebsockets init failed (lws_create_context)"

LEVEL_VALUES = {"DEBUG": 1, "TRAFFIC": 2, "INFO": 4, "WARNING": 8, "ERROR": 16, "FATAL": 32}
LOG_LINE = re.compile(
    r"^(?:[01]\d|2[0-3]):[0-5]\d:[0-6]\d \[(DEBUG  |TRAFFIC|INFO   |WARNING|ERROR  |FATAL  )\]: (.*)$")


class LogLine:
    def __init__(self, level, message):
        self.level = level
        self.message = message

    def __repr__(self):
        return f"[{self.level}] {self.message}"


def parse_log(text):
    """Returns (lines in the log format, lines that are not in it)."""
    parsed = []
    malformed = []
    for line in text.splitlines():
        match = LOG_LINE.match(line)
        if match:
            parsed.append(LogLine(match.group(1).strip(), match.group(2)))
        else:
            malformed.append(line)
    return parsed, malformed


# Standard output of every relay run since the last take_run_outputs(); the runner looks through it for ERROR lines.
_run_outputs = []


def take_run_outputs():
    outputs = list(_run_outputs)
    _run_outputs.clear()
    return outputs


def unexpected_errors(outputs, allowed):
    """The ERROR messages of the outputs that contain none of the allowed pieces."""
    return [message for output in outputs for message in log_messages(output, "ERROR")
            if not any(piece in message for piece in allowed)]


def log_messages(text, level=None):
    lines, _ = parse_log(text)
    return [line.message for line in lines if level is None or line.level == level]


def free_port():
    """A port that no socket of any address uses at the moment: the relay listens on all of them."""
    with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as probe:
        probe.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
        probe.bind(("::", 0))
        return probe.getsockname()[1]


def port_is_free(port):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        try:
            probe.bind(("127.0.0.1", port))
            return True
        except OSError:
            return False


def accepts_connections(port, timeout=0.5):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=timeout):
            return True
    except OSError:
        return False


class Workspace:
    """A temporary working directory for one relay run, optionally holding a copy of mount-origin."""

    def __init__(self, repo_root, with_mount_origin=True):
        self._directory = tempfile.TemporaryDirectory(prefix="vantrel-program-test-")
        self.path = self._directory.name
        if with_mount_origin:
            shutil.copytree(os.path.join(repo_root, "mount-origin"),
                            os.path.join(self.path, "mount-origin"))

    def file(self, relative):
        return os.path.join(self.path, relative)

    def write(self, relative, data):
        full = self.file(relative)
        os.makedirs(os.path.dirname(full), exist_ok=True)
        with open(full, "wb") as out:
            out.write(data if isinstance(data, bytes) else data.encode())
        return full

    def read(self, relative):
        with open(self.file(relative), "rb") as source:
            return source.read()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self._directory.cleanup()


class RunResult:
    def __init__(self, status, stdout, stderr):
        self.status = status
        self.stdout = stdout
        self.stderr = stderr


# libwebsockets 4.1.6 itself leaks 72 bytes when lws_create_context fails to bind; in a sanitizer build
# the leak check would turn the exit status 1 into an abort. Only runs that fail to start ignore leaks inside it.
LIBRARY_LEAK_SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                         "libwebsockets_init_failure.supp")
FAILED_START_ENVIRONMENT = {"LSAN_OPTIONS": f"suppressions={LIBRARY_LEAK_SUPPRESSIONS}"}


def run_to_exit(binary, args, cwd, timeout=SHORT_RUN_TIMEOUT_S, extra_environment=None):
    """Runs the relay for an invocation that must end by itself (subprocess.run kills it on time-out)."""
    environment = dict(os.environ, **(extra_environment or {}))
    completed = subprocess.run([binary] + args, cwd=cwd, capture_output=True, timeout=timeout, env=environment)
    _run_outputs.append(completed.stdout.decode(errors="replace"))
    return RunResult(completed.returncode, completed.stdout.decode(errors="replace"),
                     completed.stderr.decode(errors="replace"))


class RelayProcess:
    """A relay that serves until it is signalled; standard output and error go to files."""

    def __init__(self, binary, args, cwd, extra_environment=None, descriptor_limit=None, journal=False):
        environment = dict(os.environ, **(extra_environment or {}))
        limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (descriptor_limit, descriptor_limit))
                 if descriptor_limit else None)
        self._output_directory = tempfile.TemporaryDirectory(prefix="vantrel-relay-output-")
        self._stdout_path = os.path.join(self._output_directory.name, "stdout")
        self._stderr_path = os.path.join(self._output_directory.name, "stderr")
        with open(self._stdout_path, "wb") as stdout, open(self._stderr_path, "wb") as stderr:
            if journal:
                # What the journal tells a service whose standard output it reads.
                status = os.fstat(stdout.fileno())
                environment["JOURNAL_STREAM"] = f"{status.st_dev}:{status.st_ino}"
            self.process = subprocess.Popen([binary] + args, cwd=cwd, stdout=stdout, stderr=stderr,
                                            stdin=subprocess.DEVNULL, env=environment, preexec_fn=limit)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.kill()
        _run_outputs.append(self.stdout())
        self._output_directory.cleanup()

    def running(self):
        return self.process.poll() is None

    def stdout(self):
        with open(self._stdout_path, "rb") as source:
            return source.read().decode(errors="replace")

    def stderr(self):
        with open(self._stderr_path, "rb") as source:
            return source.read().decode(errors="replace")

    def wait_listening(self, port, timeout=START_TIMEOUT_S):
        """True once the port accepts TCP connections; false if the relay ended or time ran out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if not self.running():
                return False
            if accepts_connections(port):
                return True
            time.sleep(0.02)
        return False

    def wait_for_output(self, text, timeout=START_TIMEOUT_S):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.stdout():
                return True
            if not self.running():
                return text in self.stdout()
            time.sleep(0.02)
        return False

    def wait_exit(self, timeout=STOP_TIMEOUT_S):
        """The exit status, or None when the relay is still running after the time-out."""
        try:
            return self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self, signal_number=signal.SIGINT, timeout=STOP_TIMEOUT_S):
        """Signals the relay and returns its exit status, or None if it did not end in time."""
        if self.running():
            self.process.send_signal(signal_number)
        return self.wait_exit(timeout)

    def kill(self):
        if self.running():
            self.process.kill()
            self.process.wait(timeout=STOP_TIMEOUT_S)


def serve_and_stop(context, args, port, workspace, signal_number=signal.SIGINT):
    """Runs the relay until it listens on `port`, stops it, and returns its standard output.

    Records a failure on `context` if it does not listen or does not stop with status 0.
    """
    with RelayProcess(context.binary, args, workspace.path) as relay:
        listening = relay.wait_listening(port)
        context.expect(listening, f"relay {args} listens on port {port}; output: {relay.stdout()!r}")
        status = relay.stop(signal_number)
        context.expect_equal(status, 0, f"exit status of relay {args} after a stop signal")
        return relay.stdout()
