"""The relay with simulated boards (vantrelRelaySim, built beside vantrelRelay): options, port list and board
conversations over the editor's WebSocket."""

import json
import os
import re
import socket
import sys
import time
import urllib.request

sys.dont_write_bytecode = True

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port, run_to_exit  # noqa: E402
from websocket_client import WebSocketClient  # noqa: E402

PROTOCOL = "vantrel-configurator"
REPLY_TIMEOUT_S = 10.0
# Port names of 8 KB sent by the hostile editor, each unique.
UNIQUE_NAMES = 50


def simulator_binary(context):
    return os.path.join(os.path.dirname(context.binary), "vantrelRelaySim")


def simulated_ports(count):
    return [{"name": f"simACM{index}", "usbProduct": f"vantrel board (simulated {index + 1})"}
            for index in range(count)]


def receive_until(client, predicate, timeout=REPLY_TIMEOUT_S):
    """Messages (parsed) up to and including the first that satisfies predicate; None if it never came."""
    deadline = time.monotonic() + timeout
    seen = []
    while time.monotonic() < deadline:
        try:
            message = json.loads(client.receive_text(timeout=max(deadline - time.monotonic(), 0.01)))
        except TimeoutError:
            break
        seen.append(message)
        if predicate(message):
            return seen
    return None


def board_command(client, port, payload):
    client.send_text(json.dumps({"port": port, "payload": payload}))


class SimulatorRun:
    """A running simulator on a free port with one editor connected, its greeting messages already read."""

    def __init__(self, context, args, workspace, extra_environment=None):
        self.context = context
        self.port = free_port()
        self.relay = RelayProcess(simulator_binary(context), ["-p", str(self.port)] + args, workspace.path,
                                  extra_environment)
        self.client = None
        self.greeting = []
        if not self.relay.wait_listening(self.port):
            raise RuntimeError(f"simulator does not listen: {self.relay.stdout()!r}")
        self.client = WebSocketClient(self.port, PROTOCOL)
        self.greeting = receive_until(self.client, lambda message: "firmwareFilesList" in message)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.client is not None:
            self.client.close()
        self.context.expect_equal(self.relay.stop(), 0, "exit status after SIGINT")
        # Sanitizer reports and library complaints land here.
        self.context.expect_equal(self.relay.stderr(), "", "standard error of the simulator")
        self.relay.__exit__(*exc)


def port_list_case(args, expected_count):
    def case(context):
        with Workspace(context.repo_root) as workspace, SimulatorRun(context, args, workspace) as run:
            ports = [message["ports"] for message in run.greeting or [] if "ports" in message]
            context.expect_equal(ports, [simulated_ports(expected_count)], "port list sent on connection")
            run.relay.stop()
            for port in simulated_ports(expected_count):
                context.expect(f"\t{port['name']} ({port['usbProduct']})" in run.relay.stdout(),
                               f"port {port['name']} logged among the current ports")
    return case


def version_case(context):
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
        serials = []
        for port in ("simACM0", "simACM1"):
            board_command(run.client, port, {"getVersion": {}})
            replies = receive_until(run.client, lambda message: "requestBootloaderStatus" in message)
            if not context.expect(replies is not None, f"getVersion on {port} answered in full"):
                return
            versions = [message for message in replies if "versionMajor" in message]
            capabilities = [message for message in replies if "capabilities" in message]
            if context.expect_equal(len(versions), 1, f"version replies of {port}"):
                context.expect_equal(versions[0]["portName"], port, "version reply names its port")
                context.expect_equal(versions[0]["flashsize"], 1024, "flash size")
                context.expect_equal(versions[0]["flags"] & 1, 0, "board runs its application")
                serials.append(versions[0]["serial"])
            if context.expect_equal(len(capabilities), 1, f"capability replies of {port}"):
                context.expect_equal(len(capabilities[0]["capabilities"]["usableNodes"]), 53,
                                     "every node type usable")
            context.expect_equal(replies[-1]["requestBootloaderStatus"], 0, "bootloader status")
        context.expect_equal(len(set(serials)), 2, f"the boards have distinct serials {serials}")
        with WebSocketClient(run.port, PROTOCOL) as other:
            board_command(other, "simACM1", {"getVersion": {}})
            context.expect(receive_until(other, lambda message: "requestBootloaderStatus" in message),
                           "the second editor's version request answered")
        run.relay.stop()
        info = [line for line in run.relay.stdout().splitlines() if "[INFO   ]" in line]
        for port, serial in zip(("simACM0", "simACM1"), serials):
            context.expect(any(line.endswith(f"{port}: vantrel v1.4.2, serial {serial}, flash 1024 KiB")
                               for line in info), f"identity of {port} on one line")
        takeovers = [line for line in info if "taken over by editor" in line]
        context.expect(len(takeovers) == 1 and "simACM1:" in takeovers[0], f"one takeover of simACM1: {takeovers}")


def unopenable_board_case(context):
    """A board whose port may not be opened (-u) is answered with the reason and what to do."""
    context.allow_error("Could not open port simACM1")
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, ["-u", "1"], workspace) as run:
        board_command(run.client, "simACM1", {"getVersion": {}})
        answer = receive_until(run.client, lambda message: "portError" in message)
        context.expect(answer is not None and answer[-1] == {
            "port": "simACM1", "portError": {"reason": "permission", "text": answer[-1]["portError"]["text"]}}
            and "dialout" in answer[-1]["portError"]["text"], f"the reason: {answer}")
        board_command(run.client, "simACM0", {"getVersion": {}})
        context.expect(receive_until(run.client, lambda message: "versionMajor" in message),
                       "the other board is served")


def live_value_case(context):
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
        board_command(run.client, "simACM1", {"liveValue": {"id": 7, "flags": 1}})
        values = []
        deadline = time.monotonic() + REPLY_TIMEOUT_S
        while len(set(values)) < 2 and time.monotonic() < deadline:
            replies = receive_until(run.client, lambda message: "liveValue" in message)
            if replies is None:
                break
            values += [message["liveValue"]["value"] for message in replies
                       if "liveValue" in message and message["liveValue"]["id"] == 7]
        context.expect(len(set(values)) >= 2, f"live values of node 7 change over time: {values}")


def firmware_case(context):
    image = bytes((index * 7 + index // 251) & 0xFF for index in range(256 * 1024))
    with Workspace(context.repo_root) as workspace:
        workspace.write("app.bin", image)
        with SimulatorRun(context, [], workspace) as run:
            context.expect_equal([message["firmwareFilesList"] for message in run.greeting or []
                                  if "firmwareFilesList" in message],
                                 [[{"name": "app.bin", "size": len(image)}]], "firmware files offered")
            board_command(run.client, "simACM0", {"getVersion": {}})
            context.expect(receive_until(run.client, lambda message: "requestBootloaderStatus" in message),
                           "version known before flashing")

            context.allow_error("Firmware write not started: the board")
            board_command(run.client, "simACM0", {"write_firmware": {"file": "app.bin"}})
            refused = receive_until(run.client, lambda message: "firmwareNeedsBootloader" in message)
            context.expect(refused is not None, "a board in its application refuses the firmware write")

            board_command(run.client, "simACM0", {"request_bootloader": {"bootloaderType": "bootloader",
                                                                         "usbConfigType": "cdc"}})
            switched = receive_until(run.client, lambda message: "requestBootloaderStatus" in message)
            context.expect(switched is not None and switched[-1]["requestBootloaderStatus"] == 1,
                           f"board switched to its bootloader: {switched}")

            board_command(run.client, "simACM0", {"write_firmware": {"file": "app.bin"}})
            flashed = receive_until(run.client, lambda message: "romFinish" in message, timeout=120)
            if not context.expect(flashed is not None, "firmware write finished"):
                return
            writes = [message["romWrite"] for message in flashed if "romWrite" in message]
            verifies = [message["romVerify"] for message in flashed if "romVerify" in message]
            chunks = (len(image) + 31) // 32
            context.expect_equal(len(writes), chunks, "one write progress per chunk")
            context.expect_equal(len(verifies), chunks, "one verified echo per chunk")
            context.expect(writes and writes[-1] == 100 and verifies and verifies[-1] == 100,
                           "both progress streams reach 100")
            context.expect(any("romErase" in message for message in flashed), "erase reported")
            context.expect(not any(key.startswith("firmware") for message in flashed for key in message),
                           "no failure reported")
            check_status_pages(context, run.port, len(image), chunks)
            output = run.relay.stdout()
            context.expect(f"simACM0: Writing firmware app.bin ({len(image)} bytes)" in output,
                           "the start of the write at INFO")
            context.expect(re.search(r"simACM0: Firmware write of app\.bin completed in [0-9.]+ s \([0-9.]+ KiB/s\)",
                                     output) is not None, "the end of the write at INFO, with its time and speed")


def status_page(port, path):
    with urllib.request.urlopen(f"http://127.0.0.1:{port}{path}", timeout=REPLY_TIMEOUT_S) as response:
        return response.headers.get("Content-Type"), response.read().decode()


def check_status_pages(context, port, image_size, chunks):
    """/health and /metrics after a write of simACM0 refused before it began (in its application) and one verified
    in its bootloader, with one editor connected."""
    kind, text = status_page(port, "/health")
    health = json.loads(text)
    context.expect(kind == "application/json" and health["version"] == "0.1.3" and health["editors"] == 1,
                   f"/health: {kind} {text[:200]}")
    context.expect_equal({board["port"]: board["state"] for board in health["boards"]},
                         {"simACM0": "bootloader", "simACM1": "closed"}, "boards' states")
    kind, text = status_page(port, "/metrics")
    samples = dict(line.rsplit(" ", 1) for line in text.splitlines() if line and not line.startswith("#"))
    expected = {"vantrel_boards": 2, "vantrel_editors": 1, 'vantrel_firmware_writes_total{result="completed"}': 1,
                'vantrel_firmware_writes_total{result="failed"}': 0, "vantrel_firmware_bytes_verified_total": image_size,
                "vantrel_acknowledgement_timeouts_total": 0, "vantrel_replies_dropped_total": 0}
    context.expect_equal({name: int(samples.get(name, -1)) for name in expected}, expected, "metrics after the write")
    # The version request, the bootloader switch and the write: start, every chunk, finish.
    context.expect(int(samples["vantrel_messages_sent_total"]) >= chunks + 4 and
                   int(samples["vantrel_messages_received_total"]) >= 2 * chunks,
                   f"message counts {samples}")
    context.expect(kind.startswith("text/plain") and "# TYPE vantrel_messages_sent_total counter" in text,
                   "the Prometheus text format")


def process_resources(pid):
    """Resident memory in KiB and open descriptors of a running process."""
    with open(f"/proc/{pid}/status") as status:
        resident = int(re.search(r"VmRSS:\s+(\d+)", status.read()).group(1))
    return resident, len(os.listdir(f"/proc/{pid}/fd"))


def settled_resources(pid):
    """Resources once the relay has finished closing what just left: the same descriptor count for 0.3 s."""
    deadline = time.monotonic() + REPLY_TIMEOUT_S
    resident, descriptors = process_resources(pid)
    stable_since = time.monotonic()
    while time.monotonic() - stable_since < 0.3 and time.monotonic() < deadline:
        time.sleep(0.05)
        resident, now = process_resources(pid)
        if now != descriptors:
            descriptors, stable_since = now, time.monotonic()
    return resident, descriptors


def fresh_editor_served(context, port, when):
    """A new editor gets its greeting and a board's answer."""
    with WebSocketClient(port, PROTOCOL) as fresh:
        greeting = receive_until(fresh, lambda message: "firmwareFilesList" in message)
        board_command(fresh, "simACM1", {"looptime": {}})
        answered = receive_until(fresh, lambda message: "looptime" in message)
        context.expect(greeting is not None and answered is not None, f"a fresh editor is served {when}")


def hostile_editor_case(context):
    # What the attacks are answered with.
    for refusal in ("Could not find port", "Firmware write not started: no such firmware file",
                    "Firmware file shadow.bin refused: a link, which is not followed"):
        context.allow_error(refusal)
    with Workspace(context.repo_root) as workspace, Workspace(context.repo_root, with_mount_origin=False) as outside:
        workspace.write("app.bin", bytes(64))
        # A link named like a firmware file that leads out of the working directory.
        os.symlink(outside.write("secret.bin", b"secret" * 16), workspace.file("shadow.bin"))
        # A sanitizer build holds freed memory back (quarantine) for seconds: given back at once, resident memory
        # shows what the relay holds. Other builds ignore the variable.
        sanitizer = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") +
                     ":quarantine_size_mb=1:allocator_release_to_os_interval_ms=0"}
        with SimulatorRun(context, [], workspace, sanitizer) as run:
            pid = run.relay.process.pid
            fresh_editor_served(context, run.port, "before the attacks")
            idle_resident, idle_descriptors = settled_resources(pid)
            attacker = WebSocketClient(run.port, PROTOCOL)
            greeting = receive_until(attacker, lambda message: "firmwareFilesList" in message)
            context.expect_equal(greeting and greeting[-1]["firmwareFilesList"], [{"name": "app.bin", "size": 64}],
                                 "the link is not listed")
            # Names that would forge log lines or move the terminal's cursor (first: later attacks use up the
            # allowance of this log line).
            board_command(attacker, "sim\nACM0\u001b[2J", {"getVersion": {}})
            context.expect(run.relay.wait_for_output("Could not find port sim\\x0AACM0\\x1B[2J"),
                           "control characters are escaped")
            # A board ready to take whatever it is sent.
            board_command(attacker, "simACM0", {"request_bootloader": {"bootloaderType": "bootloader",
                                                                       "usbConfigType": "cdc"}})
            receive_until(attacker, lambda message: "requestBootloaderStatus" in message)

            # Other spellings of a listed port and other devices are never opened.
            names = ["/dev//simACM0", "simACM0/", "/dev/null", "../simACM0"] + [f"sim{'/' * i}ACM0" for i in range(1, 200)]
            for name in names:
                board_command(attacker, name, {"write_firmware": {"file": "app.bin"}})
            # Only firmware files of the working directory are read; anything else is answered as missing.
            paths = ["../../etc/passwd", "/etc/passwd", "/etc/passwd\u0000.bin", "shadow.bin", "mount-origin/index.html",
                     "mount-origin"]
            for path in paths:
                board_command(attacker, "simACM0", {"write_firmware": {"file": path}})
            answers = receive_until(attacker, lambda message: message.get("firmwareFileNotFound") == paths[-1])
            failures = [sorted(message) for message in answers or [] if message.get("port") == "simACM0"]
            context.expect_equal(failures, [["firmwareFileNotFound", "port"]] * len(paths),
                                 "every path outside the firmware files is answered as a missing file, and the "
                                 "board is sent nothing")
            # Unique long port names: what they add to the log is bounded, however many come.
            logged = len(run.relay.stdout())
            for index in range(UNIQUE_NAMES):
                board_command(attacker, f"{index:06d}" + "p" * 8192, {"getVersion": {}})
            board_command(attacker, "simACM1", {"looptime": {}})
            context.expect(receive_until(attacker, lambda message: "looptime" in message) is not None,
                           "the board answers after the unique names")
            grown = len(run.relay.stdout()) - logged
            context.expect(grown <= UNIQUE_NAMES * 500,
                           f"{grown} bytes of log for {UNIQUE_NAMES} unique 8 KB port names")
            # Unfinished text held while small messages keep arriving.
            attacker.send_text('{"port":"' + "x" * 1000000)
            for _ in range(2000):
                attacker.send_text("aaaaaaa")
            fresh_editor_served(context, run.port, "while a megabyte of unfinished text is held")
            # A value behind a comment that has closed and fails is read once, not again for every piece after it.
            for piece in ["/**/[1", ",1.5" * 130000, ",x]"] + ["a"] * 600:
                attacker.send_text(piece)
            fresh_editor_served(context, run.port, "while a failed value behind a comment is followed by small messages")
            # An editor that never reads, flooded with large replies (dumps of 3000 nodes), is closed once its
            # budget is spent; meanwhile resident memory stays bounded.
            # The other board: this one now runs its bootloader.
            for node in range(1, 3001):
                board_command(attacker, "simACM1", {"addNode": {"id": node, "type": "constant"}})
            board_command(attacker, "simACM1", {"configDump": {}})
            context.expect(receive_until(attacker, lambda message: "configDump" in message, timeout=60) is not None,
                           "a dump of the board's 3000 nodes")
            flooder = WebSocketClient(run.port, PROTOCOL)
            flooder.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            closing = "Closing the connection with 127.0.0.1 (localhost): it does not read its replies"
            peak = idle_resident
            # Bounded by time, not by rounds: a sanitizer build on a busy machine answers slowly.
            flood_deadline = time.monotonic() + 60
            while time.monotonic() < flood_deadline:
                if closing in run.relay.stdout():
                    break
                try:
                    for _ in range(20):
                        board_command(flooder, "simACM1", {"configDump": {}})
                except OSError:
                    break
                peak = max(peak, process_resources(pid)[0])
                time.sleep(0.05)
            context.expect(run.relay.wait_for_output(closing, timeout=60), "the editor that never reads is closed")
            context.expect(peak <= idle_resident + 64 * 1024,
                           f"resident memory {peak} KiB while flooded, within 64 MiB above its idle {idle_resident} KiB")
            flooder.close()
            attacker.close()
            fresh_editor_served(context, run.port, "after the attackers left")

            deadline = time.monotonic() + REPLY_TIMEOUT_S
            resident, descriptors = process_resources(pid)
            while descriptors != idle_descriptors and time.monotonic() < deadline:
                time.sleep(0.05)
                resident, descriptors = process_resources(pid)
            context.expect_equal(descriptors, idle_descriptors, "descriptors back at their idle count")
            context.expect(resident <= 2 * idle_resident,
                           f"resident memory {resident} KiB within twice its idle {idle_resident} KiB")
            output = run.relay.stdout()
            context.expect("\x1b" not in output, "no terminal escape reaches the log")
            context.expect("Could not find port /dev//simACM0" in output, "another spelling of a port is refused")


def descriptors_kept_back_case(context):
    """Connections that pour in never take the descriptors the relay keeps back for its own files: a write still
    opens its firmware file while more clients wait than the process may hold descriptors."""
    image = bytes(index & 0xFF for index in range(4096))
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        workspace.write("app.bin", image)
        with RelayProcess(simulator_binary(context), ["-p", str(port)], workspace.path, descriptor_limit=200) as relay:
            if not context.expect(relay.wait_listening(port), f"simulator listens: {relay.stdout()!r}"):
                return
            with WebSocketClient(port, PROTOCOL) as editor:
                receive_until(editor, lambda message: "firmwareFilesList" in message)
                board_command(editor, "simACM0", {"request_bootloader": {"bootloaderType": "bootloader"}})
                receive_until(editor, lambda message: "requestBootloaderStatus" in message)
                flood = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(250)]
                try:
                    board_command(editor, "simACM0", {"write_firmware": {"file": "app.bin"}})
                    written = receive_until(editor, lambda message: "romFinish" in message or
                                            any(key.startswith("firmware") for key in message))
                finally:
                    for client in flood:
                        client.close()
            context.expect(written is not None and "romFinish" in written[-1],
                           f"the write opened its file: {(written or [None])[-1]}")
            context.expect(relay.running(), "the relay still runs")


def refresh_flood_case(context):
    with Workspace(context.repo_root) as workspace:
        for index in range(20000):
            open(workspace.file(f"f{index:05}.bin"), "wb").close()
        with SimulatorRun(context, [], workspace) as run:
            context.expect_equal([len(message["firmwareFilesList"]) for message in run.greeting or []
                                  if "firmwareFilesList" in message], [20000], "every firmware file listed")
            # Thousands of refreshes that are never read are answered a few times a second, each from the kept list.
            with WebSocketClient(run.port, PROTOCOL) as flooder:
                for _ in range(3000):
                    flooder.send_text('{"firmware_file_list_refresh":1}')
                fresh_editor_served(context, run.port, "while another floods 20 000 files' list with refreshes")


def options_case(context):
    binary = simulator_binary(context)
    with Workspace(context.repo_root, with_mount_origin=False) as workspace:
        usage = run_to_exit(binary, ["-h"], workspace.path)
        context.expect_equal(usage.status, 0, "exit status of -h")
        context.expect("Usage vantrelRelaySim" in usage.stdout and "-n number of simulated boards" in usage.stdout,
                       f"own usage text: {usage.stdout!r}")
        for value in ("17", "-1", "two", ""):
            result = run_to_exit(binary, ["-n", value, "-p", str(free_port())], workspace.path)
            context.expect_equal((result.status, result.stdout),
                                 (1, "Invalid board count. Try a number from 0 to 16\n"), f"-n {value!r}")
        for value in ("-1", "1000001", "soon"):
            result = run_to_exit(binary, ["-d", value, "-p", str(free_port())], workspace.path)
            context.expect_equal((result.status, result.stdout),
                                 (1, "Invalid answer delay. Try a number of microseconds from 0 to 1000000\n"),
                                 f"-d {value!r}")
        bad_port = run_to_exit(binary, ["-p", "80"], workspace.path)
        context.expect_equal((bad_port.status, bad_port.stdout),
                             (1, "Invalid port number. Try a number from 1025 to 65535\n"), "-p 80")
        relay_usage = run_to_exit(context.binary, ["-h"], workspace.path)
        context.expect("-n" not in relay_usage.stdout, "vantrelRelay's usage has no board count")


CASES = [
    ("two simulated boards by default", port_list_case([], 2)),
    ("board count from -n", port_list_case(["-n", "3"], 3)),
    ("no boards with -n 0", port_list_case(["-n0"], 0)),
    ("version requests answered per board", version_case),
    ("live values change over time", live_value_case),
    ("a board that may not be opened is answered with the reason", unopenable_board_case),
    ("firmware write after switching to the bootloader", firmware_case),
    ("a hostile editor neither reaches beyond the boards and files nor starves others", hostile_editor_case),
    ("descriptors are kept back for files while connections pour in", descriptors_kept_back_case),
    ("an editor flooding the firmware list with refreshes starves no other", refresh_flood_case),
    ("usage text and invalid options", options_case),
]

if __name__ == "__main__":
    run_cases(CASES)
