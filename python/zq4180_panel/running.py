"""The panel from its workers' start to its end: the address and warnings, SCPI beside the page,
the web server, then the end (SCPI closed, the safe ends run, their result as the exit status).

Stop signals: before the workers run, one simply ends the start (nothing was switched yet).
Once they run, a stop signal must end in the panel's own end wherever it lands: while the
server starts it is held, then taken by the server's handlers as soon as they are installed,
or by the end when the server never ran.
"""

from __future__ import annotations

import signal
import sys
import threading

PROG = "zq4180-panel"
EXIT_OK, EXIT_FAIL = 0, 1


class Stop(BaseException):
    """A stop signal before the supplies' workers start."""


workers_run = threading.Event()
held: list[int] = []            # stop signals that came once the workers ran, before the server's handlers


def say(text: str) -> None:
    print(f"{PROG}: {text}", file=sys.stderr, flush=True)


def early_signals() -> dict:
    """Install the start's handlers for SIGINT, SIGTERM and SIGHUP; the previous ones."""
    workers_run.clear()
    held.clear()

    def stop(signum, frame):
        if workers_run.is_set():
            held.append(signum)
        else:
            raise Stop(signum)
    return {sig: signal.signal(sig, stop) for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}


def run(args, hub, sock, port: int, log_dir, previous_signals: dict) -> int:
    """Start the workers, serve until a stop signal, then end; the exit status."""
    stopper: list[threading.Thread] = []
    unconfirmed: list[str] = []
    scpi: list = []

    def shut_down() -> None:
        unconfirmed.extend(hub.shutdown())

    def on_signal(signum: int) -> None:
        if not stopper:
            say(f"{signal.Signals(signum).name}: stopping")
            thread = threading.Thread(target=shut_down, name="zq4180-panel stop", daemon=True)
            stopper.append(thread)
            thread.start()

    workers_run.set()
    hub.start()
    status = EXIT_FAIL
    try:
        status = _serve(args, hub, sock, port, log_dir, on_signal, scpi)
    finally:
        # from here on a signal changes nothing: the end below runs to completion (each safe end
        # is bounded by its tries; they run at once, one per ramping supply)
        for sig in previous_signals:
            signal.signal(sig, lambda signum, frame: None)
        if held and not stopper:
            say(f"{signal.Signals(held[0]).name}: stopping")
        for runner in scpi:
            runner.stop()
        if stopper:
            stopper[0].join()
        else:
            shut_down()
        say(f"the session's CSV logs stay in {log_dir}")
    for line in unconfirmed:
        print(line, file=sys.stderr, flush=True)
    return EXIT_FAIL if unconfirmed else status


def _serve(args, hub, sock, port: int, log_dir, on_signal, scpi: list) -> int:
    from .access import Policy, allowed_hosts, bind_is_loopback, bind_is_wildcard, host_literal, new_token
    from .addresses import browser_host, other_addresses

    stations = list(hub)
    token = new_token()
    policy = Policy(token, port, read_only=args.read_only, allow_remote_control=args.allow_remote_control,
                    hosts=allowed_hosts(args.host, args.allow_host))
    print(f"http://{browser_host(args.host)}:{port}/?token={token}", flush=True)

    if not bind_is_loopback(args.host):
        others = other_addresses(args.host) if bind_is_wildcard(args.host) else []
        say(f"warning: listening on {host_literal(args.host)}, not 127.0.0.1: anyone who reaches this "
            f"machine on port {port} sees the readings" +
            ("" if args.allow_remote_control else "; changes stay limited to this machine") +
            (f"; other machines reach it at {', '.join(f'http://{a}:{port}/' for a in others)}"
             if others else ""))
    if args.allow_remote_control:
        say("warning: --allow-remote-control: changes are accepted from other machines, and the token "
            "crosses the network in clear (an SSH tunnel is safer)")
    if args.read_only:
        say("read-only: every change is refused")
    for station in stations:
        lim = station.supply.limits
        if not args.read_only and (lim.voltage is None or lim.current is None):
            missing = [w for w, l in (("voltage", lim.voltage), ("current", lim.current)) if l is None]
            say(f"warning: {station.id}: no {' or '.join(missing)} limit configured (--max-voltage, "
                f"--max-current, or the configuration file)")
    say(f"serving {', '.join(f'{s.id} ({s.port})' for s in stations)}; logs in {log_dir}")
    if args.scpi is not None and not held:
        from zq4180_scpi.embed import serve_beside
        try:
            scpi.append(serve_beside(hub.workers(), *args.scpi_address, read_only=args.read_only, say=say))
        except OSError as exc:
            say(f"error: --scpi: {exc}")
            return EXIT_FAIL
        for line in scpi[0].lines:
            print(line, file=sys.stderr, flush=True)
    if not held:
        from . import server        # importing NiceGUI takes most of a second: a stop meanwhile is held
        if not held:
            server.serve(server.build_app(hub, policy), sock, on_signal, held)
    return EXIT_OK
