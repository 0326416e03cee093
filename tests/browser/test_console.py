"""The relay console in headless Chromium against vantrelRelaySim: boards listed, a version shown, a node added and
exported, a refused and a complete firmware write, a reload that reconnects; saves a screenshot. Then the page
over https with -s.

Run as `python3 test_console.py <vantrelRelay binary> <repository root>`; the simulator lies beside the relay and
Chromium is found on the PATH (or in the CHROMIUM environment variable). The screenshot goes to the file named
by VANTREL_CONSOLE_SCREENSHOT, by default console.png in the current directory.
"""

import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "program"))

from program_test_runner import run_cases  # noqa: E402
from relay_process import RelayProcess, Workspace, free_port  # noqa: E402
from websocket_client import WebSocketClient  # noqa: E402

WAIT_S = 15.0
CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--no-first-run", "--window-size=1400,1000",
                  # The relay's built-in certificate is self-signed.
                  "--ignore-certificate-errors"]


class Browser:
    """Headless Chromium driven over its DevTools WebSocket; killed when the `with` block ends."""

    def __init__(self):
        # Chromium's helper processes may still be writing the profile while it is removed.
        self._profile = tempfile.TemporaryDirectory(prefix="vantrel-browser-profile-", ignore_cleanup_errors=True)
        self.debug_port = free_port()
        executable = os.environ.get("CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
        if executable is None:
            raise RuntimeError("Chromium is not installed")
        self.process = subprocess.Popen(
            [executable] + CHROMIUM_FLAGS + [f"--user-data-dir={self._profile.name}",
                                             f"--remote-debugging-port={self.debug_port}", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.client = WebSocketClient(self.debug_port, None, timeout=WAIT_S, path=self._page_path())
        self._next_id = 0

    def _page_path(self):
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            try:
                with urllib.request.urlopen(f"http://127.0.0.1:{self.debug_port}/json/list", timeout=1) as answer:
                    pages = [target for target in json.load(answer) if target.get("type") == "page"]
                if pages:
                    url = pages[0]["webSocketDebuggerUrl"]
                    return url[url.index("/devtools/"):]
            except OSError:
                pass
            time.sleep(0.1)
        raise RuntimeError("Chromium offers no page to drive")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.client.close()
        # SIGTERM lets Chromium end its helper processes; SIGKILL only when it does not end in time.
        self.process.terminate()
        try:
            self.process.wait(timeout=WAIT_S)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(timeout=WAIT_S)
        self._profile.cleanup()

    def call(self, method, **params):
        self._next_id += 1
        self.client.send_text(json.dumps({"id": self._next_id, "method": method, "params": params}))
        deadline = time.monotonic() + WAIT_S
        while time.monotonic() < deadline:
            message = json.loads(self.client.receive_text(timeout=max(deadline - time.monotonic(), 0.01)))
            if message.get("id") == self._next_id:
                if "error" in message:
                    raise RuntimeError(f"{method} failed: {message['error']}")
                return message["result"]
        raise TimeoutError(f"no answer to {method}")

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")

    def wait_for(self, expression, timeout=WAIT_S):
        """True once the expression is truthy in the page; an expression that throws (page still loading) is false."""
        guarded = f"(() => {{ try {{ return Boolean({expression}); }} catch (error) {{ return false; }} }})()"
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.evaluate(guarded):
                return True
            time.sleep(0.1)
        return False

    def text(self, element_id):
        return self.evaluate(f"document.getElementById({json.dumps(element_id)}).textContent")

    def click(self, selector):
        self.evaluate(f"document.querySelector({json.dumps(selector)}).click()")


CONNECTED = "document.getElementById('connection-state').textContent === 'Connected'"
BOTH_BOARDS = ("[...document.querySelectorAll('#port-list .port')].map(b => b.textContent).join('|') === "
               "'simACM0vantrel board (simulated 1)|simACM1vantrel board (simulated 2)'")


def console_case(context):
    image = bytes((index * 13) & 0xFF for index in range(2000))
    relay_port = free_port()
    simulator = os.path.join(os.path.dirname(context.binary), "vantrelRelaySim")
    with Workspace(context.repo_root) as workspace:
        workspace.write("app.bin", image)
        with RelayProcess(simulator, ["-p", str(relay_port)], workspace.path) as relay, Browser() as browser:
            if not context.expect(relay.wait_listening(relay_port), f"simulator listens: {relay.stdout()!r}"):
                return
            browser.call("Page.navigate", url=f"http://127.0.0.1:{relay_port}/")
            context.expect(browser.wait_for(CONNECTED), "the page connects")
            context.expect(browser.wait_for(BOTH_BOARDS), "both simulated boards listed")
            context.expect_equal(browser.text("server-version"), "0.1.3", "relay version shown")

            browser.click('#port-list .port[data-port="simACM1"]')
            browser.click('#board-commands [data-command="getVersion"]')
            context.expect(browser.wait_for("document.getElementById('board-version').textContent === '1.4.2'"),
                           "version of the chosen board shown")
            context.expect_equal(browser.text("board-name"), "simACM1", "chosen board")
            context.expect_equal(browser.text("board-serial"), "003600213338510937363532", "serial of simACM1")
            context.expect_equal(browser.text("board-flash"), "128 KiB", "flash size")

            context.expect(browser.wait_for("document.getElementById('node-type').options.length > 0"),
                           "node types offered from the capabilities")
            browser.evaluate("document.getElementById('node-type').value = 'constant';"
                             "document.getElementById('node-id').value = '9';"
                             "document.getElementById('node-properties').value = '{}';")
            browser.click('#add-node-form button[type="submit"]')
            browser.click('#board-commands [data-command="exportConfig"]')
            context.expect(browser.wait_for("[...document.querySelectorAll('#export-table tr')].some("
                                            "row => row.cells[0].textContent === 'node' && "
                                            "row.cells[1].textContent === '9' && "
                                            "row.cells[2].textContent === 'constant')"),
                           "the added node comes back in the export table")
            context.expect(browser.wait_for("document.getElementById('export-summary').textContent"
                                            ".startsWith('Export complete')"), "export completion shown")

            browser.click("#flash-button")
            context.expect(browser.wait_for("document.getElementById('firmware-message').textContent"
                                            ".includes('bootloader first')"),
                           "a board in its application: the refusal is explained")
            browser.click('#board-commands [data-command="bootloader"]')
            context.expect(browser.wait_for("document.getElementById('board-mode').textContent === 'bootloader'"),
                           "board switched to its bootloader")
            browser.click("#flash-button")
            context.expect(browser.wait_for("document.getElementById('rom-write').value === 100 && "
                                            "document.getElementById('rom-verify').value === 100"),
                           "both progress bars reach 100%")
            context.expect(browser.wait_for("document.getElementById('firmware-message').textContent === "
                                            "'Firmware written.'"), "firmware write finished")

            screenshot = browser.call("Page.captureScreenshot", format="png")
            with open(os.environ.get("VANTREL_CONSOLE_SCREENSHOT", "console.png"), "wb") as out:
                out.write(base64.b64decode(screenshot["data"]))

            browser.call("Page.reload")
            context.expect(browser.wait_for(CONNECTED) and browser.wait_for(BOTH_BOARDS),
                           "a reload connects again and lists the boards")
            context.expect_equal(relay.stop(), 0, "simulator exit status after SIGINT")


def secure_case(context):
    relay_port = free_port()
    simulator = os.path.join(os.path.dirname(context.binary), "vantrelRelaySim")
    with Workspace(context.repo_root) as workspace:
        with RelayProcess(simulator, ["-p", str(relay_port), "-s"], workspace.path) as relay, Browser() as browser:
            if not context.expect(relay.wait_listening(relay_port), f"simulator listens: {relay.stdout()!r}"):
                return
            browser.call("Page.navigate", url=f"https://127.0.0.1:{relay_port}/")
            context.expect(browser.wait_for(CONNECTED), "the page served over https connects over wss")
            context.expect(browser.wait_for(BOTH_BOARDS), "both simulated boards listed")
            context.expect(browser.wait_for("document.getElementById('board-version').textContent === '1.4.2'"),
                           "version of the first board shown")
            context.expect_equal(relay.stop(), 0, "simulator exit status after SIGINT")


CASES = [("console on simulated boards", console_case), ("console over https with -s", secure_case)]

if __name__ == "__main__":
    run_cases(CASES)
