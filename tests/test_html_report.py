"""The HTML report, opened in headless Chromium over the DevTools protocol.

Chromium talks the protocol over a pipe (``--remote-debugging-pipe``: it
reads commands on fd 3 and answers on fd 4, each message JSON ending in a
NUL byte), so the test needs no client library and no open port. The
screenshot goes to ``$VELMORA_ARTIFACTS`` (default ``build/test-artifacts``);
with ``VELMORA_UPDATE_DOCS=1`` it also replaces ``docs/report.png``.
"""

import base64
import fcntl
import json
import os
import re
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

from velmora_scan import scan
from velmora_scan.__main__ import main
from velmora_scan.output import html
from velmora_scan.settings import Settings

ROOT = Path(__file__).resolve().parent.parent


def _above_nine(fd: int) -> int:
    moved = fcntl.fcntl(fd, fcntl.F_DUPFD, 10)
    os.close(fd)
    return moved


class Browser:
    def __init__(self, binary: str, profile: str):
        to_chrome_r, self._to_chrome = os.pipe()
        self._from_chrome, from_chrome_w = os.pipe()
        # The shell moves the two ends to fds 3 and 4; from numbers above 9,
        # so that neither redirection overwrites the other's source.
        to_chrome_r = _above_nine(to_chrome_r)
        from_chrome_w = _above_nine(from_chrome_w)
        command = (f"exec {binary} --headless --no-sandbox --disable-gpu --hide-scrollbars --no-first-run "
                   f"--remote-debugging-pipe --user-data-dir={profile} about:blank "
                   f"3<&{to_chrome_r} 4>&{from_chrome_w}")
        self.proc = subprocess.Popen(["bash", "-c", command], pass_fds=(to_chrome_r, from_chrome_w),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_chrome_r)
        os.close(from_chrome_w)
        self._buffer = b""
        self._next = 0
        self.events: list[dict] = []
        self.session = None

    def _read(self, deadline: float) -> dict:
        while b"\0" not in self._buffer:
            if time.monotonic() > deadline:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self._from_chrome, 1 << 16)
            if not chunk:
                raise EOFError("chromium closed the pipe")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method: str, timeout: float = 30, **params) -> dict:
        self._next += 1
        message = {"id": self._next, "method": method, "params": params}
        if self.session and not method.startswith("Target."):
            message["sessionId"] = self.session
        os.write(self._to_chrome, json.dumps(message).encode() + b"\0")
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read(deadline)
            if answer.get("id") == self._next:
                if "error" in answer:
                    raise RuntimeError(f"{method}: {answer['error']}")
                return answer["result"]
            self.events.append(answer)

    def wait_for(self, method: str, timeout: float = 30) -> dict:
        deadline = time.monotonic() + timeout
        for event in self.events:
            if event.get("method") == method:
                return event
        while True:
            event = self._read(deadline)
            self.events.append(event)
            if event.get("method") == method:
                return event

    def evaluate(self, expression: str):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        return result["result"].get("value")

    def close(self) -> None:
        try:
            self.call("Browser.close", timeout=5)
        except (OSError, RuntimeError, TimeoutError, EOFError):
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self._to_chrome)
        os.close(self._from_chrome)

    def errors(self) -> list[str]:
        out = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.exceptionThrown":
                out.append(params["exceptionDetails"].get("text", "") + " " +
                           str(params["exceptionDetails"].get("exception", {}).get("description", "")))
            elif method == "Runtime.consoleAPICalled" and params.get("type") in ("error", "assert"):
                out.append(" ".join(str(a.get("value", a.get("description", ""))) for a in params.get("args", [])))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                out.append(params["entry"].get("text", ""))
        return out


def chromium() -> str:
    if "libasan" in os.environ.get("LD_PRELOAD", ""):
        # The sanitizer run preloads ASan into every child; the browser is
        # not ours to check, and the report's code is Python.
        pytest.skip("not run under the sanitizers")
    found = os.environ.get("VELMORA_CHROMIUM") or shutil.which("chromium") or shutil.which("chromium-browser")
    if not found:
        if os.environ.get("CI"):
            pytest.fail("chromium is not installed (scripts/setup-browser.sh installs it)")
        pytest.skip("chromium is not installed (scripts/setup-browser.sh installs it)")
    return found


def test_sample_report_renders_in_chromium_without_errors(tmp_path, capsys, monkeypatch):
    binary = chromium()
    report = tmp_path / "report.html"
    # As the README's picture says: no path, the bundled sample by its short paths.
    monkeypatch.chdir(tmp_path)
    assert main(["--no-progress", "--html", str(report)]) == 0
    capsys.readouterr()
    text = report.read_text(encoding="utf-8")
    # Nothing to fetch: no external resource, and a policy that refuses any.
    assert not re.search(r"<(link|img|iframe)\b|\bsrc=|url\((?!#)", text)
    assert "default-src 'none'" in text

    browser = Browser(binary, tempfile.mkdtemp(dir=tmp_path))
    try:
        target = browser.call("Target.createTarget", url="about:blank")["targetId"]
        browser.session = browser.call("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            browser.call(f"{domain}.enable")
        browser.call("Emulation.setDeviceMetricsOverride", width=1280, height=1500, deviceScaleFactor=1, mobile=False)
        browser.call("Page.navigate", url=report.as_uri())
        browser.wait_for("Page.loadEventFired")
        counts = browser.evaluate("""JSON.stringify({
            ready: document.body.dataset.ready,
            histograms: document.querySelectorAll('#histograms svg rect.bar').length > 0
                        && document.querySelectorAll('#histograms .hist').length,
            modules: document.querySelectorAll('#treemap-chart rect.module').length,
            coloured: [...document.querySelectorAll('#treemap-chart rect.module')].every(r => r.getAttribute('fill')),
            nodes: document.querySelectorAll('#graph-chart circle.node').length,
            profiles: document.querySelectorAll('#profiles svg.sparkline polyline').length,
            clusters: document.querySelectorAll('#clusters .cluster .side pre').length,
            excerpts: document.querySelectorAll('#worst details.excerpt pre').length,
            sortable: document.querySelectorAll('table.sortable').length,
        })""")
        assert json.loads(counts) == {"ready": "1", "histograms": 5, "modules": 4, "coloured": True, "nodes": 3,
                                      "profiles": 4, "clusters": 2, "excerpts": 10, "sortable": 3}
        shot = base64.b64decode(browser.call("Page.captureScreenshot", format="png")["data"])
        # Sorting: a click on "statements" orders the rows by it, a second click reverses them.
        column = """(() => { const t = document.querySelector('table.functions');
            const i = [...t.tHead.rows[0].cells].findIndex(c => c.textContent === 'statements');
            t.tHead.rows[0].cells[i].click();
            return [...t.tBodies[0].rows].map(r => Number(r.cells[i].textContent)); })()"""
        first = browser.evaluate(column)
        assert first == sorted(first, reverse=True) and first != sorted(first)
        assert browser.evaluate(column) == sorted(first)
        errors = browser.errors()
    finally:
        browser.close()
    assert errors == []
    assert shot[:8] == b"\x89PNG\r\n\x1a\n"
    artifacts = Path(os.environ.get("VELMORA_ARTIFACTS", ROOT / "build" / "test-artifacts"))
    artifacts.mkdir(parents=True, exist_ok=True)
    (artifacts / "html-report.png").write_bytes(shot)
    if os.environ.get("VELMORA_UPDATE_DOCS") == "1":
        (ROOT / "docs" / "report.png").write_bytes(shot)


def test_text_from_the_input_cannot_break_out_of_the_page(tmp_path):
    hostile = tmp_path / "x<b>.py"
    body = "\n".join(f"    s = '</script><script>alert({i})</script>'" for i in range(6))
    hostile.write_text(f"def f():\n{body}\n\ndef g():\n{body}\n")
    text = html.document(scan([str(tmp_path)]), Settings())
    assert "<script>alert(" not in text and "x<b>.py" not in text
    assert text.count("<script") == 2  # the data block and the script
