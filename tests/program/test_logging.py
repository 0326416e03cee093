"""Logging of the built relay: -l thresholds, -f log files and the line format."""

import sys

sys.dont_write_bytecode = True

import os  # noqa: E402

from program_test_runner import run_cases  # noqa: E402
from relay_process import (LEVEL_VALUES, START_BANNER, STOP_LINE, RelayProcess, Workspace,  # noqa: E402
                           free_port, parse_log, serve_and_stop)

OFF = 65535

# (arguments after -p, threshold the run must use); a value that is no level is named in a WARNING first.
THRESHOLDS = [
    ([], 4),
    (["-l", "0"], OFF),
    (["-l", "abc"], 4),
    (["-l", "debug"], 1),
    (["-l", "ERROR"], 16),
    (["-l", "1"], 32),
    (["-l", "2"], 16),
    (["-l", "3"], 8),
    (["-l", "4"], 4),
    (["-l", "5"], 2),
    (["-l", "6"], 1),
    (["-l", "7"], 4),
    (["-l", "-1"], 4),
    (["-l6"], 1),
    (["-l=6"], 1),
    (["-l", "0", "-l", "6"], 1),
]


def threshold_case(extra_args, threshold):
    def case(context):
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            output = serve_and_stop(context, ["-p", str(port)] + extra_args, port, workspace)
        lines, malformed = parse_log(output)
        context.expect_equal(malformed, [], "lines not in the log format")
        if threshold == OFF:
            context.expect_equal(output, "", "standard output with logging off")
            return
        below = [line for line in lines if LEVEL_VALUES[line.level] < threshold]
        context.expect_equal(below, [], f"lines below threshold {threshold}")
        messages = [line.message for line in lines]
        if extra_args[1:2] and extra_args[1] in ("abc", "7", "-1"):
            named = messages.pop(0) if messages else ""
            context.expect(named.startswith(f"-l {extra_args[1]} is no log level"), f"the value is named: {named!r}")
        if threshold <= LEVEL_VALUES["INFO"]:
            context.expect(messages[:1] == [START_BANNER], f"banner first: {messages[:2]}")
            context.expect(messages[-1:] == [STOP_LINE], f"stop line last: {messages[-2:]}")
        else:
            context.expect(START_BANNER not in messages, "banner printed above INFO")
        if threshold == LEVEL_VALUES["DEBUG"]:
            context.expect("  message size: 154" in messages, f"message size line in {messages}")
            context.expect(any(message.startswith("  libwebsockets: ") for message in messages),
                           f"library version line in {messages}")
    return case


def journal_priorities_case(context):
    """With standard output the journal's stream, every line carries its syslog priority; elsewhere none does."""
    port = free_port()
    with Workspace(context.repo_root) as workspace:
        for journal in (True, False):
            with RelayProcess(context.binary, ["-p", str(port), "-l", "6", "--bogus"], workspace.path,
                              journal=journal) as relay:
                context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                lines = relay.stdout().splitlines()
            if journal:
                parsed, malformed = parse_log("\n".join(line[3:] for line in lines))
                priorities = [(line[:3], entry.level) for line, entry in zip(lines, parsed)]
                context.expect(not malformed and len(parsed) == len(lines), f"lines after the prefix: {malformed}")
                context.expect_equal({level: prefix for prefix, level in priorities},
                                     {"DEBUG": "<7>", "INFO": "<6>", "WARNING": "<4>"}, "priority of each level")
                context.expect(len(set(priorities)) == 3, f"one priority per level: {set(priorities)}")
            else:
                context.expect(not any(line.startswith("<") for line in lines), "no prefix outside the journal")


def missing_value_case(option, warning):
    def case(context):
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            output = serve_and_stop(context, ["-p", str(port), option], port, workspace)
            context.expect_equal(os.listdir(workspace.path), ["mount-origin"], "files in the working directory")
        lines, malformed = parse_log(output)
        context.expect_equal(malformed, [], "lines not in the log format")
        head = [(line.level, line.message) for line in lines[:2]]
        context.expect_equal(head, [("WARNING", warning), ("INFO", START_BANNER)], "first lines")
        context.expect(all(line.level != "DEBUG" for line in lines), "threshold stays at INFO")
    return case


def log_file_appends_across_runs(context):
    with Workspace(context.repo_root) as workspace:
        workspace.write("relay.log", "line from before\n")
        for run in (1, 2):
            port = free_port()
            output = serve_and_stop(context, ["-p", str(port), "-f", "relay.log"], port, workspace)
            context.expect_equal(output, "", f"standard output of run {run}")
        text = workspace.read("relay.log").decode()
    context.expect(text.startswith("line from before\n"), f"earlier content kept: {text[:80]!r}")
    lines, malformed = parse_log(text)
    context.expect_equal(malformed, ["line from before"], "lines not in the log format")
    messages = [line.message for line in lines]
    starts = [index for index, message in enumerate(messages) if message == START_BANNER]
    stops = [index for index, message in enumerate(messages) if message == STOP_LINE]
    context.expect_equal(len(starts), 2, "banners in the file")
    context.expect_equal(len(stops), 2, "stop lines in the file")
    if len(starts) == 2 and len(stops) == 2:
        context.expect_equal(starts[0], 0, "position of the first run's banner")
        context.expect_equal(starts[1], stops[0] + 1, "second run starts right after the first stopped")
        context.expect_equal(stops[1], len(messages) - 1, "position of the last stop line")


def refused_log_target_case(target, reason):
    """-f to something that cannot hold the log: one WARNING on standard error, the log on standard output."""
    def case(context):
        port = free_port()
        with Workspace(context.repo_root) as workspace:
            if target == "fifo":
                os.mkfifo(workspace.file(target))
            with RelayProcess(context.binary, ["-p", str(port), "-f", target], workspace.path) as relay:
                # A FIFO without a reader must neither hold up the start nor the stop.
                context.expect(relay.wait_listening(port), f"relay listens: {relay.stdout()!r}")
                context.expect_equal(relay.stop(), 0, "exit status after SIGINT")
                output, errors = relay.stdout(), relay.stderr()
            context.expect(not os.path.exists(workspace.file("missing")), "missing directory created")
        messages = [line.message for line in parse_log(output)[0]]
        context.expect(messages[:1] == [START_BANNER], f"banner on standard output: {output!r}")
        context.expect(messages[-1:] == [STOP_LINE], f"stop line on standard output: {output!r}")
        warning = ("WARNING", f"Cannot log to {target}: {reason}; logging to standard output")
        lines, malformed = parse_log(errors)
        context.expect_equal(([(line.level, line.message) for line in lines], malformed), ([warning], []),
                             "standard error")
    return case


CASES = (
    [(f"threshold for {args or 'no -l'}", threshold_case(args, threshold)) for args, threshold in THRESHOLDS]
    + [("-l without value", missing_value_case("-l", "No value given for -l parameter, using 'info'")),
       ("-f without value", missing_value_case("-f", "No value given for -f parameter, using stdout")),
       ("-f appends across runs", log_file_appends_across_runs),
       ("-f in a missing directory", refused_log_target_case("missing/relay.log", "No such file or directory")),
       ("-f to a FIFO without a reader", refused_log_target_case("fifo", "not a regular file")),
       ("-f to a device", refused_log_target_case("/dev/full", "not a regular file")),
       ("syslog priorities when standard output is the journal", journal_priorities_case)]
)

if __name__ == "__main__":
    run_cases(CASES)
