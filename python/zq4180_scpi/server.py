"""The raw-socket server of one supply: one command line per ``\\n``, one reply line per line
that has one. What is not a SCPI client (an HTTP request, a line that does not end) is
closed before anything on it runs."""

from __future__ import annotations

import asyncio
import ipaddress
import logging
import re
import socket

from .errors import TEXTS, quoted
from .session import Session
from .station import MAX_CONNECTIONS

MAX_LINE = 4096          # bytes of one command line, its end not counted

log = logging.getLogger("zq4180_scpi")

_TOKEN = r"[!#$%&'*+.^_`|~0-9A-Za-z-]+"
_REQUEST_LINE = re.compile(rf"{_TOKEN}[ \t]+\S+[ \t]+HTTP/\d+(?:\.\d+)?[ \t]*", re.ASCII)
_HEADER_LINE = re.compile(rf"({_TOKEN}):(.?)", re.ASCII)
_HEADER_NAMES = {   # names no SCPI instrument uses as a keyword (a browser also puts a space after ':')
    "host", "origin", "content-type", "content-length", "user-agent", "accept", "accept-encoding",
    "accept-language", "connection", "referer", "cookie", "upgrade", "authorization", "transfer-encoding",
    "cache-control", "dnt", "if-none-match", "if-modified-since", "x-requested-with", "x-forwarded-for",
}


def http_like(line: str, first: bool) -> bool:
    """An HTTP request line (on a connection's first line), or anything shaped like an HTTP header
    (``Name:`` with a name SCPI never uses: a known header, one with a '-', or a value after ': ')."""
    if first and _REQUEST_LINE.fullmatch(line.strip()):
        return True
    m = _HEADER_LINE.match(line)
    if m is None:
        return False
    name, after = m.group(1), m.group(2)
    return name.lower() in _HEADER_NAMES or "-" in name or name.lower().startswith("sec-") or after in (" ", "\t")


def error_line(code: int, detail: str) -> bytes:
    return f"{code},{quoted(TEXTS[code] + '; ' + detail)}\n".encode()


def _address(peer) -> tuple[str, str]:
    """(host, host:port) of a peer; IPv4 shown plainly even on an IPv6 socket."""
    if not peer:
        return "", "?"
    host, port = peer[0], peer[1]
    try:
        ip = ipaddress.ip_address(host.split("%")[0])
        if ip.version == 6 and ip.ipv4_mapped is not None:
            host = str(ip.ipv4_mapped)
    except ValueError:
        pass
    shown = f"[{host}]:{port}" if ":" in host else f"{host}:{port}"
    return host, shown


class Listener:
    """Serves one station on one TCP port."""

    def __init__(self, station, host: str, port: int, *, allow_from: list | None = None) -> None:
        self.station = station
        self.host = host
        self.port = port
        self.allow_from = list(allow_from or [])
        self.server: asyncio.AbstractServer | None = None
        self.tasks: set[asyncio.Task] = set()
        self.http_refusals = 0
        self.bound = port

    async def start(self) -> int:
        # one address, so that the one port printed is the port on every socket (a name such as
        # localhost stands for several addresses, each of which would get a free port of its own)
        infos = await asyncio.get_running_loop().getaddrinfo(self.host, self.port, type=socket.SOCK_STREAM)
        infos.sort(key=lambda info: info[0] != socket.AF_INET)
        address = infos[0][4][0]
        self.server = await asyncio.start_server(self._client, address, self.port, limit=MAX_LINE + 2,
                                                 reuse_address=True)
        self.bound = self.server.sockets[0].getsockname()[1]
        return self.bound

    async def stop(self) -> None:
        if self.server is not None:
            self.server.close()
        for task in list(self.tasks):
            task.cancel()
        if self.tasks:
            await asyncio.gather(*self.tasks, return_exceptions=True)

    def _allowed(self, host: str) -> bool:
        if not self.allow_from:
            return True
        try:
            ip = ipaddress.ip_address(host.split("%")[0])
        except ValueError:
            return False
        return any(ip.version == net.version and ip in net for net in self.allow_from)

    async def _client(self, reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
        task = asyncio.current_task()
        if task is not None:
            self.tasks.add(task)
        host, shown = _address(writer.get_extra_info("peername"))
        name = self.station.name
        try:
            if not self._allowed(host):
                log.warning("%s: refused %s: not in --allow-from", name, shown)
                return
            if self.station.connections >= MAX_CONNECTIONS:
                log.warning("%s: refused %s: %d connections are open already", name, shown, MAX_CONNECTIONS)
                writer.write(error_line(-300, f"too many connections: {MAX_CONNECTIONS} are open on {name}"))
                await _drain(writer)
                return
            self.station.connections += 1
            try:
                await self._serve(reader, writer, Session(self.station, shown), shown)
            finally:
                self.station.connections -= 1
        except asyncio.CancelledError:
            pass
        finally:
            writer.close()
            if task is not None:
                self.tasks.discard(task)

    async def _serve(self, reader, writer, session: Session, shown: str) -> None:
        first = True
        while True:
            ended = False
            try:
                raw = await reader.readuntil(b"\n")
            except asyncio.IncompleteReadError as exc:   # the client closed: its last line still runs
                raw, ended = exc.partial, True
            except asyncio.LimitOverrunError:
                log.warning("%s: closed %s: a line over %d bytes", self.station.name, shown, MAX_LINE)
                writer.write(error_line(-363, f"a command line is longer than {MAX_LINE} bytes; connection closed"))
                await _drain(writer)
                return
            except (ConnectionError, OSError):
                return
            line = raw.decode("utf-8", errors="replace")
            if line.endswith("\n"):
                line = line[:-1]
            if line.endswith("\r"):
                line = line[:-1]
            if len(line.encode("utf-8", errors="replace")) > MAX_LINE:
                log.warning("%s: closed %s: a line over %d bytes", self.station.name, shown, MAX_LINE)
                writer.write(error_line(-363, f"a command line is longer than {MAX_LINE} bytes; connection closed"))
                await _drain(writer)
                return
            if http_like(line, first):
                self.http_refusals += 1
                log.warning("%s: closed %s: an HTTP request, not SCPI (%s); nothing on it ran",
                            self.station.name, shown, repr(line[:80]))
                return
            if line.strip():
                first = False
                reply = await session.execute(line)
                if reply is not None:
                    writer.write(reply.encode() + b"\n")
                    if not await _drain(writer):
                        ended = True
            if ended:
                return


async def _drain(writer) -> bool:
    try:
        await writer.drain()
        return True
    except (ConnectionError, OSError):
        return False
