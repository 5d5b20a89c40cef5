"""What the front-panel benchmarks share: a panel process, headless Chromium pages, CPU time.

The panel runs as a user runs it (``python3 -m zq4180_panel``, the installed package);
Chromium is Debian's (/usr/bin/chromium with /usr/bin/chromedriver), nothing downloaded.
"""
from __future__ import annotations

import contextlib
import os
import re
import select
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
FIRST_LINE = re.compile(r"^http://(?P<host>[^/]+):(?P<port>\d+)/\?token=(?P<token>[A-Za-z0-9_-]+)$")
LINE_LIMIT = 1 / (2 * 26 * 10 / 4800)     # exchanges/s: request + reply at 4800 baud 8N1 (9.23)


class Panel:
    def __init__(self, args: list[str], *, nofile: int | None = None) -> None:
        self.dir = tempfile.TemporaryDirectory(prefix="zq4180-panel-bench-")
        config = os.path.join(self.dir.name, "zq4180.toml")
        open(config, "w").close()
        env = {k: v for k, v in os.environ.items() if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG")}
        self.err = open(os.path.join(self.dir.name, "panel.err"), "wb")
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "zq4180_panel", "--port", "0", "--config", config,
             "--log-dir", os.path.join(self.dir.name, "logs"), *args],
            stdout=subprocess.PIPE, stderr=self.err, env=env, cwd=self.dir.name,
            preexec_fn=None if nofile is None else lambda: _limit_files(nofile))
        line = self._first_line(60)
        m = FIRST_LINE.match(line)
        if not m:
            raise SystemExit(f"unexpected first line {line!r}")
        self.url, self.token, self.port = line, m["token"], int(m["port"])
        self.base = f"http://{m['host']}:{self.port}"

    def _first_line(self, timeout: float) -> str:
        fd = self.proc.stdout.fileno()
        data = b""
        deadline = time.monotonic() + timeout
        while b"\n" not in data:
            if not select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
                raise SystemExit("the panel printed no address")
            chunk = os.read(fd, 4096)
            if not chunk:
                raise SystemExit(f"the panel ended: {open(self.err.name).read()}")
            data += chunk
        return data.split(b"\n", 1)[0].decode()

    def post(self, path: str, body: bytes) -> int:
        req = urllib.request.Request(self.base + path, data=body, method="POST",
                                     headers={"Authorization": f"Bearer {self.token}",
                                              "Content-Type": "application/json"})
        with urllib.request.urlopen(req, timeout=20) as resp:
            return resp.status

    def get(self, path: str) -> bytes:
        with urllib.request.urlopen(self.base + path, timeout=20) as resp:
            return resp.read()

    def cpu_seconds(self) -> float:
        """User + system CPU time of the panel process so far."""
        with open(f"/proc/{self.proc.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def close(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
        self.proc.stdout.close()
        self.err.close()
        self.dir.cleanup()


def _limit_files(soft: int) -> None:
    import resource
    hard = resource.getrlimit(resource.RLIMIT_NOFILE)[1]
    resource.setrlimit(resource.RLIMIT_NOFILE, (min(soft, hard), hard))


def rss_and_cpu(pid: int) -> tuple[float, float]:
    """(resident MB, CPU seconds so far) of a process."""
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) / 1024
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return rss, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


@contextlib.contextmanager
def panel(args: list[str], **kwargs):
    p = Panel(args, **kwargs)
    try:
        yield p
    finally:
        p.close()


@contextlib.contextmanager
def chromium(width: int = 1400, height: int = 1000):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    if not (os.access(CHROMIUM, os.X_OK) and os.access(CHROMEDRIVER, os.X_OK)):
        raise SystemExit("needs Debian's chromium and chromium-driver")
    opts = webdriver.ChromeOptions()
    opts.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", f"--window-size={width},{height}",
                "--disable-background-timer-throttling", "--disable-renderer-backgrounding",
                "--disable-backgrounding-occluded-windows"):
        opts.add_argument(arg)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=opts)
    try:
        yield driver
    finally:
        driver.quit()


def open_pages(driver, url: str, count: int, kind: str = "tab", *, more: bool = False) -> list[str]:
    """``count`` pages of the panel in one browser (each its own page and socket), the first in the
    current tab unless ``more``; their handles."""
    handles = []
    for k in range(count):
        if k or more:
            driver.switch_to.new_window(kind)
        driver.get(url)
        handles.append(driver.current_window_handle)
    for handle in handles:
        driver.switch_to.window(handle)
        wait_text(driver, '[data-testid="connection-state"]', "ok")
    return handles


def wait_text(driver, selector: str, text: str, timeout: float = 20) -> None:
    from selenium.webdriver.common.by import By
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if any(e.text == text for e in driver.find_elements(By.CSS_SELECTOR, selector)):
                return
        except Exception:
            pass
        time.sleep(0.1)
    raise SystemExit(f"the page never showed {text!r} at {selector}")


def percentile(values: list[float], q: float) -> float:
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    k = (len(ordered) - 1) * q
    lo, hi = int(k), min(int(k) + 1, len(ordered) - 1)
    return ordered[lo] + (ordered[hi] - ordered[lo]) * (k - lo)
