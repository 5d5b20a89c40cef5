"""Running ``zq4180-panel`` as a user does: a process, its first line, HTTP and signals."""

from __future__ import annotations

import http.client
import json
import os
import re
import select
import signal
import subprocess
import sys
import time

FIRST_LINE = re.compile(r"^http://(?P<host>[^/]+):(?P<port>\d+)/\?token=(?P<token>[A-Za-z0-9_-]+)$")

# Command words on the wire: status and identity reads change nothing.
READS = {0x26, 0x31}


def changes_sent(supply, since: int = 0) -> list[int]:
    """Command words other than reads that reached a virtual supply after ``since`` exchanges."""
    return [e.request[2] for e in supply.exchanges[since:] if e.request[2] not in READS]


class Panel:
    """One ``python -m zq4180_panel`` process (the installed package)."""

    def __init__(self, args: list[str], cwd, *, ready_timeout: float = 30.0) -> None:
        env = {k: v for k, v in os.environ.items() if k not in ("ZQ4180_PORT", "ZQ4180_CONFIG")}
        self.err_path = os.path.join(cwd, f"panel-{time.monotonic_ns()}.err")
        with open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen([sys.executable, "-m", "zq4180_panel", "--port", "0", *args], cwd=cwd,
                                         stdout=subprocess.PIPE, stderr=err, env=env)
        self.first_line = self._read_line(ready_timeout)
        m = FIRST_LINE.match(self.first_line)
        if not m:
            self.stop()
            raise AssertionError(f"unexpected first line {self.first_line!r}; stderr: {self.stderr()}")
        self.host, self.port, self.token = m["host"], int(m["port"]), m["token"]
        self.connect_host = "127.0.0.1" if self.host in ("0.0.0.0", "[::]") else self.host.strip("[]")
        self.origin = f"http://{self.host}:{self.port}"
        self.cookie = f"zq4180_panel_{self.port}={self.token}"
        self._wait_serving()

    def _read_line(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        data = b""
        fd = self.proc.stdout.fileno()
        while b"\n" not in data:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                self.stop()
                raise AssertionError(f"no first line within {timeout} s; stderr: {self.stderr()}")
            chunk = os.read(fd, 4096)
            if not chunk:
                raise AssertionError(f"the panel ended (status {self.proc.wait()}): {self.stderr()}")
            data += chunk
        return data.split(b"\n", 1)[0].decode()

    def _wait_serving(self) -> None:
        deadline = time.monotonic() + 20
        while True:
            try:
                if self.request("GET", "/api/supplies")[0] == 200:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise AssertionError(f"the panel does not answer; stderr: {self.stderr()}")
            time.sleep(0.1)

    def request(self, method: str, path: str, body=None, headers: dict | None = None, *,
                address: str | None = None, timeout: float = 20.0):
        """(status, headers, parsed body) — Host defaults to what the first line names."""
        conn = http.client.HTTPConnection(address or self.connect_host, self.port, timeout=timeout)
        hdrs = {"Host": f"{self.host}:{self.port}"}
        hdrs.update(headers or {})
        data = None
        if body is not None:
            data = json.dumps(body).encode() if not isinstance(body, (bytes, str)) else body
            hdrs.setdefault("Content-Type", "application/json")
        try:
            conn.request(method, path, body=data, headers={k: v for k, v in hdrs.items() if v is not None})
            resp = conn.getresponse()
            raw = resp.read()
        finally:
            conn.close()
        try:
            parsed = json.loads(raw)
        except ValueError:
            parsed = raw.decode(errors="replace")
        return resp.status, resp.headers, parsed

    def bearer(self) -> dict:
        return {"Authorization": f"Bearer {self.token}"}

    def post(self, path: str, body=None, **kw):
        headers = kw.pop("headers", None)
        return self.request("POST", path, body if body is not None else {}, headers or self.bearer(), **kw)

    def supplies(self) -> list[dict]:
        return self.request("GET", "/api/supplies")[2]

    def wait_for(self, predicate, timeout: float = 10.0, what: str = "condition"):
        deadline = time.monotonic() + timeout
        while True:
            value = predicate()
            if value:
                return value
            if time.monotonic() > deadline:
                raise AssertionError(f"timed out waiting for {what}")
            time.sleep(0.05)

    def signal(self, sig: int) -> tuple[int, float]:
        """Send ``sig``; (exit status, seconds until the process ended)."""
        start = time.monotonic()
        self.proc.send_signal(sig)
        try:
            status = self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            raise
        return status, time.monotonic() - start

    def stderr(self) -> str:
        with open(self.err_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stop(self) -> None:
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc.stdout.close()
