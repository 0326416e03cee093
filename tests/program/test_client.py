"""The command-line client vantrel against vantrelRelaySim: every command, its exit statuses and its --json output,
a restore and export of every node type and feature at the boundaries of their field tables, images the client sends,
and the refusals."""

import json
import os
import signal
import subprocess
import sys

sys.dont_write_bytecode = True

import jsonschema  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port  # noqa: E402
from test_simulator import SimulatorRun, board_command, receive_until, simulator_binary  # noqa: E402
from test_websocket import network_address  # noqa: E402

CLIENT_TIMEOUT_S = 60
FLT_MAX = 3.4028234663852886e38


def client_binary(context):
    return os.path.join(os.path.dirname(context.binary), "vantrel")


def run_client(context, port, args, cwd, environment=None):
    """(status, standard output, standard error) of one vantrel run against the relay on port."""
    relay = [] if port is None else ["--relay", f"ws://localhost:{port}/"]
    completed = subprocess.run([client_binary(context)] + relay + args, cwd=cwd, capture_output=True,
                               timeout=CLIENT_TIMEOUT_S, env=dict(os.environ, **(environment or {})))
    return completed.returncode, completed.stdout.decode(errors="replace"), completed.stderr.decode(errors="replace")


def json_lines(text):
    return [json.loads(line) for line in text.splitlines() if line.strip()]


def one_error_line(context, stderr, piece, what):
    context.expect(stderr.count("\n") == 1 and piece in stderr, f"{what}: one line naming {piece!r}: {stderr!r}")


# (arguments, exit status, a piece of the one line on standard error): mistakes on the command line, and a relay
# that is not there ("{free}" is a port nothing listens on).
USAGE_ROWS = [
    ([], 2, "give a command"),
    (["bogus"], 2, "'bogus' is no command"),
    (["boards", "extra"], 2, "takes no arguments"),
    (["flash", "simACM0"], 2, "then the firmware file"),
    (["flash", "--all", "simACM0", "app.bin"], 2, "with --all give only the firmware file"),
    (["backup", "simACM0", "--commit"], 2, "--commit is an option of 'vantrel restore' only"),
    (["monitor", "simACM0", "--node", "0"], 2, "--node takes a node id from 1 to 65535"),
    (["--timeout", "soon", "boards"], 2, "--timeout takes seconds"),
    (["boards", "--relay", "ftp://localhost/"], 2, "is no relay address"),
    (["restore", "simACM0", "missing.json"], 2, "cannot read missing.json"),
    (["flash", "simACM0", "empty.bin"], 2, "empty.bin is empty"),
    (["boards", "--relay", "ws://127.0.0.1:{free}/"], 3, "cannot reach the relay at ws://127.0.0.1:{free}/"),
    (["fleet", "rollout", "empty.bin", "--where", "version<1.x"], 2, "a version is numbers with dots"),
    (["fleet", "rollout", "empty.bin", "--where", "colour=red"], 2, "no board field 'colour'"),
    (["fleet", "rollout", "empty.bin", "--where", "relay<lab"], 2, "relay takes = != ~"),
    (["fleet", "watch", "--broker", "mqtt://127.0.0.1:{free}"], 3, "cannot reach the broker at mqtt://127.0.0.1:{free}"),
]


def usage_case(args, status, piece):
    def case(context):
        with Workspace(context.repo_root, with_mount_origin=False) as workspace:
            workspace.write("empty.bin", b"")
            free = str(free_port())
            args_here = [arg.replace("{free}", free) for arg in args]
            result, stdout, stderr = run_client(context, None, args_here, workspace.path)
            context.expect_equal(result, status, f"exit status of vantrel {args_here}")
            one_error_line(context, stderr, piece.replace("{free}", free), f"vantrel {args_here}")
    return case


def help_case(context):
    with Workspace(context.repo_root, with_mount_origin=False) as workspace:
        for command in ["", "boards", "flash", "backup", "restore", "diff", "monitor", "fleet"]:
            status, stdout, stderr = run_client(context, None, ([command] if command else []) + ["--help"],
                                                workspace.path)
            context.expect(status == 0 and stdout.startswith(f"Usage: vantrel {command or 'COMMAND'}") and
                           "Exit status: 0 success" in stdout and stderr == "", f"help of {command!r}: {stdout!r}")


def boards_case(count):
    def case(context):
        with Workspace(context.repo_root) as workspace, SimulatorRun(context, ["-n", str(count)], workspace) as run:
            status, stdout, _ = run_client(context, run.port, ["boards", "--json"], workspace.path)
            context.expect_equal(status, 0, "exit status of boards --json")
            boards = json.loads(stdout)
            context.expect_equal([(board["port"], board["mode"], board["firmware"], board["flashSizeKiB"])
                                  for board in boards],
                                 [(f"simACM{i}", "application", "1.4.2", 1024) for i in range(count)], "boards listed")
            context.expect_equal(len({board["serial"] for board in boards}), count, "one serial per board")
            status, stdout, _ = run_client(context, run.port, ["boards"], workspace.path)
            lines = stdout.splitlines()
            context.expect(status == 0 and (lines[0].split() == ["PORT", "PRODUCT", "FIRMWARE", "MODE", "SERIAL",
                                                                 "FLASH"] if count else
                                            lines == ["The relay lists no boards."]) and len(lines) == max(count + 1, 1),
                           f"the table: {stdout!r}")
    return case


# The value every field takes in one round of the round trip, by the field's kind; "ref" is a reference to the next
# node. A 32-bit unsigned field reaches its highest value as -1: the relay reads those fields as signed. Coordinates
# are the limits and steps whose exported text, read back, lands a step beside (2147483639 and -199986 steps).
def round_value(round_name, row, ref):
    kind = row["kind"]
    if "step" in row:
        return {"lowest": -214.7483648, "highest": 214.74836395, "beyond": 214.7483647, "odd": -0.01999865}[round_name]
    if kind == "integer":
        highest = -1 if row["max"] == 4294967295 else row["max"]
        return {"lowest": row["min"], "highest": highest, "beyond": row["default"],
                "odd": (row["min"] + min(row["max"], 2 ** 31 - 1)) // 2}[round_name]
    if kind == "text":
        return {"lowest": "", "highest": "abcdefghijklmnopqrstuvw", "beyond": "label \u00e4\u00f6", "odd": "a"}[round_name]
    if kind == "numberOrColor":
        return {"lowest": "#000000", "highest": "#FFFFFF", "beyond": 0.1, "odd": -0.0}[round_name]
    if kind == "source":
        return {"lowest": 1e-45, "highest": ref, "beyond": -1e39, "odd": "#FF8000"}[round_name]
    return {"lowest": -FLT_MAX, "highest": FLT_MAX, "beyond": 1e39, "odd": 0.0}[round_name]


ROUNDS = ["lowest", "highest", "beyond", "odd"]
# The types without a field table, by round.
MAPPINGS = {
    "lowest": [{"prop_mapping_type": 0, "points": [], "miny": -FLT_MAX, "maxy": -FLT_MAX}],
    "highest": [{"prop_mapping_type": 1, "points": [i / 7 for i in range(16)], "points_reverse": [i for i in range(16)],
                 "miny": FLT_MAX, "maxy": FLT_MAX, "prop_source": "#1"}],
    "beyond": [{"prop_mapping_type": 1, "points": [], "points_reverse": [0, 1, 0.5, 0.25, 1, 0]}],
    "odd": [{"prop_mapping_type": 0, "points": [0.3, 0.7]}, {"prop_mapping_type": 0, "points": [-1, 2, 3, -4]}],
}
NRF24_FORMATS = {"lowest": [], "highest": [{"type": "f"}] * 8, "beyond": [{"type": "b"}] * 40,
                 "odd": [{"type": "f"}, {"type": "b"}, {"type": "b"}, {"type": "f"}]}


def round_commands(tables, round_name):
    """The addNode and setFeature payloads of one round: every node type and every feature."""
    types = []
    for entry in tables["nodes"]:
        if entry["type"] not in [name for name, _ in types]:
            types.append((entry["type"], entry["fields"]))
    payloads = []
    for index, (name, fields) in enumerate(types):
        ref = f"#{(index + 1) % len(types) + 1}"
        for offset, properties in enumerate(MAPPINGS[round_name] if fields is None else
                                            [{row["key"]: round_value(round_name, row, ref) for row in fields}]):
            node = {"id": index + 1 + 100 * offset, "type": name, "properties": properties,
                    "editorPos": {"x": -32768 if round_name == "lowest" else 32767, "y": index}}
            payloads.append({"addNode": node})
    for entry in tables["features"]:
        feature = {row["key"]: round_value(round_name, row, None) for row in entry["fields"] or []}
        feature["feature"] = entry["feature"]
        if entry["feature"] == "nrf24":
            feature["format"] = NRF24_FORMATS[round_name]
        payloads.append({"setFeature": feature})
    return payloads, len(types)


def load_board(run, port, payloads):
    board_command(run.client, port, {"resetConfig": 1})
    for payload in payloads:
        board_command(run.client, port, payload)
    board_command(run.client, port, {"looptime": {}})
    return receive_until(run.client, lambda message: "looptime" in message and message.get("port") == port)


def document(workspace, name):
    with open(workspace.file(name)) as source:
        return json.load(source)


def round_trip_case(context):
    """Every node type and feature at the boundaries of its field table goes onto a board; its backup, restored onto
    another board, comes back from that board's export as it was."""
    with open(os.path.join(context.repo_root, "mount-origin", "tables.json")) as source:
        tables = json.load(source)
    with open(os.path.join(context.repo_root, "docs", "vantrel-configuration.schema.json")) as source:
        validator = jsonschema.Draft202012Validator(json.load(source))
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
        for round_name in ROUNDS:
            payloads, type_count = round_commands(tables, round_name)
            context.expect(load_board(run, "simACM0", payloads), f"{round_name}: the board took the round")
            status, _, stderr = run_client(context, run.port, ["backup", "simACM0", "-o", "a.json"], workspace.path)
            context.expect_equal((status, stderr), (0, ""), f"{round_name}: backup of simACM0")
            original = document(workspace, "a.json")
            errors = [error.message for error in validator.iter_errors(original)]
            context.expect_equal(errors, [], f"{round_name}: the backup follows the schema")
            context.expect_equal((len({node["type"] for node in original["nodes"]}), len(original["features"])),
                                 (type_count, len(tables["features"])), f"{round_name}: every type and feature kept")
            status, stdout, stderr = run_client(context, run.port, ["restore", "simACM1", "a.json", "--json"],
                                                workspace.path)
            context.expect_equal((status, stderr), (0, ""), f"{round_name}: restore onto simACM1")
            stages = [event.get("stage", event.get("error")) for event in json_lines(stdout)]
            context.expect_equal(stages, ["version", "sent", "exported", "restored"], f"{round_name}: restore stages")
            run_client(context, run.port, ["backup", "simACM1", "-o", "b.json"], workspace.path)
            restored = document(workspace, "b.json")
            for part in ("features", "nodes"):
                mismatched = [(a, b) for a, b in zip(original[part], restored[part]) if a != b]
                context.expect(len(original[part]) == len(restored[part]) and not mismatched,
                               f"{round_name}: {part} back from the export as they were: {mismatched[:2]}")
            status, _, _ = run_client(context, run.port, ["backup", "simACM0", "-o", "again.json"], workspace.path)
            context.expect(workspace.read("again.json") == workspace.read("a.json"),
                           f"{round_name}: two backups of one board are equal byte for byte")


def configuration_commands_case(context):
    """backup to standard output, diff of files and of a board, restore with --commit, and restores that fail."""
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
        load_board(run, "simACM0", [{"addNode": {"id": 5, "type": "pid", "properties": {"prop_pid_gainP": 0.5}}},
                                    {"setFeature": {"feature": "nrf24", "bindid": 3000000000, "format": []}}])
        status, stdout, _ = run_client(context, run.port, ["backup", "simACM0"], workspace.path)
        context.expect(status == 0 and json.loads(stdout)["format"] == "vantrel-configuration", "backup to stdout")
        workspace.write("a.json", stdout)
        changed = json.loads(stdout)
        changed["nodes"][0]["properties"]["prop_pid_gainP"] = 0.25
        changed["features"][0]["bindid"] = 5
        workspace.write("b.json", json.dumps(changed))
        # (arguments, exit status, standard output)
        rows = [
            (["diff", "a.json", "a.json"], 0, ""),
            (["diff", "simACM0", "a.json"], 0, ""),
            (["diff", "a.json", "b.json"], 1, "feature nrf24: bindid is 3000000000 in a.json, 5 in b.json\n"
                                              "node 5 (pid): prop_pid_gainP is 0.5 in a.json, 0.25 in b.json\n"),
            (["diff", "simACM1", "a.json"], 1, "feature nrf24 is only in a.json\nnode 5 (pid) is only in a.json\n"),
        ]
        for args, expected_status, expected_stdout in rows:
            status, stdout, _ = run_client(context, run.port, args, workspace.path)
            context.expect_equal((status, stdout), (expected_status, expected_stdout), f"vantrel {args}")
        status, stdout, _ = run_client(context, run.port, ["diff", "a.json", "b.json", "--json"], workspace.path)
        context.expect_equal(json.loads(stdout.splitlines()[0])[1],
                             {"subject": "node 5 (pid)", "member": "prop_pid_gainP", "left": 0.5, "right": 0.25},
                             "a difference as JSON")

        status, stdout, _ = run_client(context, run.port, ["restore", "simACM1", "a.json", "--commit"], workspace.path)
        context.expect(status == 0 and "simACM1: committed (1 nodes," in stdout and
                       stdout.endswith("simACM1: holds exactly a.json (1 features and 1 nodes)\n"),
                       f"restore with --commit: {stdout!r}")
        workspace.write("other.json", '{"format": "something else", "version": 1}')
        # (arguments, exit status, a piece of the one error line)
        failures = [
            # The relay reads a bindid below 2^31 as no number: the board keeps 0, and the restore says so.
            (["restore", "simACM1", "b.json"], 1, "simACM1 does not hold what b.json says: feature nrf24: bindid is 5 "
                                                  "in b.json, 0 in the board\n"),
            (["restore", "simACM1", "other.json"], 2, "other.json is no board configuration"),
            (["restore", "simACM9", "a.json"], 1, "simACM9 is not among the boards the relay lists (simACM0, simACM1)"),
            (["backup", "simACM0", "-o", "missing/x.json"], 1, "cannot write missing/x.json"),
        ]
        for args, expected_status, piece in failures:
            status, _, stderr = run_client(context, run.port, args, workspace.path)
            context.expect_equal(status, expected_status, f"exit status of vantrel {args}")
            one_error_line(context, stderr, piece, f"vantrel {args}")


# Commands for a board whose port cannot be opened (the simulator's -u 1): each fails with the relay's portError text.
UNOPENABLE_ROWS = [["boards"], ["backup", "simACM1"], ["restore", "simACM1", "a.json"], ["flash", "simACM1", "app.bin"],
                   ["monitor", "simACM1", "--node", "3"]]


def unopenable_case(context):
    context.allow_error("simACM1")
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, ["-u", "1"], workspace) as run:
        workspace.write("app.bin", bytes(64))
        workspace.write("a.json", '{"format": "vantrel-configuration", "version": 1, "board": {}, "features": [], '
                                  '"nodes": []}')
        for args in UNOPENABLE_ROWS:
            status, _, stderr = run_client(context, run.port, args, workspace.path)
            context.expect_equal(status, 1, f"exit status of vantrel {args}")
            one_error_line(context, stderr, "add the relay's user to the dialout group", f"vantrel {args}")


def monitor_case(args, wanted, check):
    def case(context):
        with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
            monitor = subprocess.Popen([client_binary(context), "--relay", f"ws://localhost:{run.port}/", "monitor",
                                        "simACM0", "--json"] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            events = []
            try:
                while len(events) < wanted:
                    line = monitor.stdout.readline()
                    if not line:
                        break
                    events.append(json.loads(line))
                monitor.send_signal(signal.SIGINT)
                status = monitor.wait(timeout=CLIENT_TIMEOUT_S)
            finally:
                if monitor.poll() is None:
                    monitor.kill()
            context.expect_equal(status, 0, "exit status after Ctrl+C")
            context.expect_equal(monitor.stderr.read(), b"", "standard error")
            check(context, events)
    return case


def live_values_seen(context, events):
    context.expect(all(event["node"] == 7 and event["port"] == "simACM0" for event in events) and
                   len({event["value"] for event in events}) > 1, f"changing values of node 7: {events}")


def traffic_seen(context, events):
    directions = [event.get("direction") for event in events[:3]]
    context.expect(directions == ["out", "in", None] and events[0]["message"]["payload"] == {"looptime": {}} and
                   events[2]["looptime"] > 0, f"a loop time request, its answer and its value: {events[:3]}")


def flash_case(context):
    """Images on this machine, written into one board and into all, and the end table."""
    image = bytes((index * 13 + index // 97) & 0xFF for index in range(64 * 1024))
    with Workspace(context.repo_root, with_mount_origin=False) as files:
        files.write("app.bin", image)
        files.write("huge.bin", bytes(1024 * 1024))
        with Workspace(context.repo_root) as workspace, SimulatorRun(context, ["-n", "3"], workspace) as run:
            status, stdout, stderr = run_client(context, run.port, ["flash", "simACM1", files.file("app.bin"), "--json"],
                                                files.path)
            events = json_lines(stdout)
            context.expect_equal((status, stderr), (0, ""), "flash of one board")
            context.expect_equal([event["stage"] for event in events if event["event"] == "stage"],
                                 ["version", "size", "bootloader", "write", "application", "again", "done"], "stages")
            progress = [event["verifiedBytes"] for event in events if event["event"] == "progress"]
            context.expect(progress == sorted(progress) and progress[-1] == len(image) and len(progress) <= 10,
                           f"progress in tenths up to the whole image: {progress}")
            context.expect_equal([(event["port"], event["result"], event["firmware"]) for event in events
                                  if event["event"] == "result"], [("simACM1", "ok", "1.4.2")], "the result")
            status, stdout, _ = run_client(context, run.port, ["flash", "--all", "app.bin"], files.path)
            rows = [line.split()[:2] for line in stdout.splitlines()[-4:]]
            context.expect_equal((status, rows), (0, [["PORT", "RESULT"], ["simACM0", "ok"], ["simACM1", "ok"],
                                                      ["simACM2", "ok"]]), f"the end table of --all: {stdout!r}")
            status, stdout, stderr = run_client(context, run.port, ["flash", "simACM0", "simACM2", "huge.bin"],
                                                files.path)
            context.expect(status == 1 and stdout.count("failed") == 4 and "switching" not in stdout,
                           f"an image too large is refused before the switch: {stdout!r}")
            one_error_line(context, stderr, "2 of 2 boards failed, first simACM0: huge.bin has 1024.0 KiB, more than "
                                            "the 1008.0 KiB the bootloader leaves free", "the refusal")
            board_command(run.client, "simACM0", {"getVersion": {}})
            context.expect_equal(receive_until(run.client, lambda m: "versionMajor" in m)[-1]["flags"] & 1, 0,
                                 "the board still runs its application")


# What the relay makes of an announced image (name, announced size) followed by a binary message of that many bytes
# (None: none is sent), on a board in its bootloader whose flash size is known: the reply key and a piece of its text,
# or None for a write that goes on to romFinish; and a piece of a WARNING line, or None. "cancel" sends
# cancel_firmware between the announcement and the image.
IMAGE_ROWS = [
    ("cancel", 100, ("firmwareWriteCancelled", "cancelled by the editor before the image came"),
     "Dropping a binary message from 127.0.0.1 (localhost): none was announced"),
    (100, 100, None, None),
    (0, None, ("firmwareFileEmpty", "x.bin"), None),
    (2 * 1024 * 1024, None, ("firmwareFileTooLarge", "x.bin is 2048 KiB, the board takes at most 1008.0 KiB"),
     "Image refused before it was sent"),
    (100, 99, ("firmwareFileReadError", "the image has 99 bytes, not the 100 announced"), None),
    (100, 101, ("firmwareFileReadError", "the image is longer than the 100 bytes announced"),
     "longer than the 100 bytes announced"),
    (None, 64, None, "Dropping a binary message from 127.0.0.1 (localhost): none was announced"),
]


def image_case(announced, sent, refusal, warning):
    def case(context):
        if refusal is not None and announced != "cancel":
            context.allow_error("Firmware write not started")
        with Workspace(context.repo_root) as workspace, SimulatorRun(context, [], workspace) as run:
            board_command(run.client, "simACM0", {"request_bootloader": {"bootloaderType": "bootloader"}})
            board_command(run.client, "simACM0", {"getVersion": {}})
            receive_until(run.client, lambda message: "versionMajor" in message)
            if announced is not None:
                board_command(run.client, "simACM0", {"write_firmware_image": {"name": "x.bin",
                                                                               "size": 100 if announced == "cancel" else
                                                                               announced}})
            if announced == "cancel":
                board_command(run.client, "simACM0", {"cancel_firmware": {}})
            if sent is not None:
                run.client.send_binary(bytes(range(256)) * (sent // 256) + bytes(sent % 256))
            # A later command shows the binary message was not taken for the text of a command.
            board_command(run.client, "simACM1", {"looptime": {}})
            awaited = {"looptime"} | ({"romFinish"} if refusal is None and announced is not None else set())
            seen = set()
            replies = receive_until(run.client, lambda message: seen.update(message) or awaited <= seen)
            if not context.expect(replies is not None, "answered"):
                return
            failures = [(key, value) for message in replies for key, value in message.items()
                        if key.startswith("firmware")]
            if refusal is None:
                context.expect(failures == [] and (announced is None or any("romFinish" in m for m in replies)),
                               f"no refusal and, for an image, a complete write: {failures}")
            else:
                context.expect(len(failures) == 1 and failures[0][0] == refusal[0] and refusal[1] in failures[0][1],
                               f"refused with {refusal}: {failures}")
            if warning is not None:
                context.expect(run.relay.wait_for_output(warning), f"a WARNING naming {warning!r}")
    return case


def tls_case(context):
    """wss:// to a relay started with -s: its certificate is trusted once given with --ca."""
    import ssl
    from test_serving import embedded_certificate
    with Workspace(context.repo_root) as workspace, SimulatorRun(context, ["-s", "-n", "1"], workspace) as run:
        workspace.write("relay.crt", ssl.DER_cert_to_PEM_cert(embedded_certificate(context.repo_root)))
        secure = ["--relay", f"wss://localhost:{run.port}/", "boards", "--json"]
        status, _, stderr = run_client(context, None, secure, workspace.path)
        context.expect_equal(status, 3, "exit status without the certificate")
        one_error_line(context, stderr, "is its certificate one this machine trusts? Give the relay's own with --ca",
                       "an untrusted certificate")
        status, stdout, _ = run_client(context, None, secure + ["--ca", "relay.crt"], workspace.path)
        context.expect(status == 0 and len(json.loads(stdout)) == 1, f"boards over wss with --ca: {status} {stdout!r}")


def token_case(context):
    """A relay open to the network wants its token from a client beyond loopback: in --token or VANTREL_TOKEN."""
    address = network_address()
    if not context.expect(address is not None, "this machine has an address beyond loopback to test from"):
        return
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(simulator_binary(context), ["-p", str(port), "-i", "0.0.0.0"], workspace.path) as relay:
            if not context.expect(relay.wait_listening(port), f"simulator listens: {relay.stdout()!r}"):
                return
            token = workspace.read("relay-token").decode().strip()
            remote = ["--relay", f"ws://{address}:{port}/", "boards", "--json"]
            # (extra arguments, environment, exit status)
            rows = [([], {}, 3), (["--token", token[::-1]], {}, 3), (["--token", token], {}, 0),
                    ([], {"VANTREL_TOKEN": token}, 0)]
            for extra, environment, expected in rows:
                status, stdout, stderr = run_client(context, None, remote + extra, workspace.path, environment)
                context.expect_equal(status, expected, f"exit status with {extra} {list(environment)}")
                if expected == 3:
                    one_error_line(context, stderr, "wants its access token: give it with --token or VANTREL_TOKEN",
                                   "a refusal for want of the token")
                else:
                    context.expect_equal(len(json.loads(stdout)), 2, "both boards listed")
            context.expect_equal(relay.stop(), 0, "exit status after SIGINT")


CASES = [
    (f"vantrel {' '.join(args)[:50]}: status {status}", usage_case(args, status, piece))
    for args, status, piece in USAGE_ROWS
] + [
    ("--help of every command", help_case),
    ("boards of three simulated boards", boards_case(3)),
    ("boards of none", boards_case(0)),
    ("restore and export of every node type and feature at its boundaries", round_trip_case),
    ("backup, diff, restore --commit and failed restores", configuration_commands_case),
    ("every command for a board whose port cannot be opened", unopenable_case),
    ("monitor of a node's live values until Ctrl+C", monitor_case(["--node", "7"], 5, live_values_seen)),
    ("monitor of the loop time with its traffic", monitor_case(["--traffic"], 3, traffic_seen)),
    ("flash of one board, of all, and an image too large", flash_case),
] + [
    (f"an image of {announced} bytes announced, {sent} sent", image_case(announced, sent, refusal, warning))
    for announced, sent, refusal, warning in IMAGE_ROWS
] + [
    ("a client beyond loopback needs the token", token_case),
    ("wss with the relay's certificate", tls_case),
]

if __name__ == "__main__":
    run_cases(CASES)
