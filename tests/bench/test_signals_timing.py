"""Signals held back during an exchange (signals.deferred), in this process."""
import os
import signal
import sys
import threading

import pytest

from zq4180_bench import signals


@pytest.fixture
def handlers():
    signals.install()


def _send(sig):
    os.kill(os.getpid(), sig)


@pytest.mark.parametrize("sig, raised", [
    (signal.SIGINT, KeyboardInterrupt), (signal.SIGTERM, signals.Terminated), (signal.SIGHUP, signals.Terminated),
])
def test_a_signal_inside_the_block_is_raised_once_it_is_over(handlers, sig, raised):
    steps = []
    with pytest.raises(raised) as info:
        with signals.deferred():
            _send(sig)
            steps.append("after the signal")   # the block goes on to its end
            _send(signal.SIGINT)                # later ones are not raised in place of the first
            steps.append("end")
    assert steps == ["after the signal", "end"]
    assert signals.exit_status(info.value) == 128 + sig


def test_the_first_signal_wins_and_an_error_in_the_block_does_not_hide_it(handlers):
    with pytest.raises(signals.Terminated) as info:
        with signals.deferred():
            _send(signal.SIGTERM)
            raise OSError("port gone")
    assert isinstance(info.value.__context__, OSError)


def test_nothing_held_back_means_nothing_raised_and_handlers_restored(handlers):
    before = {s: signal.getsignal(s) for s in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    with signals.deferred():
        pass
    assert {s: signal.getsignal(s) for s in before} == before
    with pytest.raises(KeyboardInterrupt):   # and a signal after the block acts at once
        _send(signal.SIGINT)


@pytest.mark.parametrize("outer", ["shielded", "deferred"])
def test_nested_blocks_leave_the_signal_to_the_outer_one(handlers, outer):
    if outer == "shielded":
        with signals.shielded() as seen:
            with signals.deferred():
                _send(signal.SIGHUP)
            with signals.deferred():
                _send(signal.SIGINT)
        assert seen == [signal.SIGHUP, signal.SIGINT]
    else:
        with pytest.raises(signals.Terminated):
            with signals.deferred():
                with signals.deferred():
                    _send(signal.SIGTERM)
                inner_done = True
        assert inner_done


def test_outside_the_main_thread_nothing_changes(handlers):
    result = []

    def work():
        with signals.deferred():
            result.append(signal.getsignal(signal.SIGINT))
    t = threading.Thread(target=work)
    t.start()
    t.join()
    assert result == [signal.default_int_handler]


def test_a_programs_own_handler_gets_the_signal_and_an_ignored_one_stays_ignored(handlers):
    got = []
    signal.signal(signal.SIGTERM, lambda signum, frame: got.append(signum))
    signal.signal(signal.SIGHUP, signal.SIG_IGN)
    with signals.deferred():
        _send(signal.SIGTERM)
        _send(signal.SIGHUP)
        assert got == []
    assert got == [signal.SIGTERM]
    assert signal.getsignal(signal.SIGHUP) == signal.SIG_IGN


# -- the zq4180 command in a process of its own ----------------------------------------------

import random  # noqa: E402
import subprocess  # noqa: E402
import time  # noqa: E402

from .helpers import OUTPUT, STATUS, WORK_MODE, wait_for  # noqa: E402

SIGNALS = [signal.SIGINT, signal.SIGTERM, signal.SIGHUP]
LINES = {signal.SIGINT: "zq4180: interrupted", signal.SIGTERM: "zq4180: stopped by SIGTERM",
         signal.SIGHUP: "zq4180: stopped by SIGHUP"}


def start_run(supply, tmp_path, *extra):
    seq = tmp_path / "hold.csv"
    seq.write_text("voltage,current,seconds\n3.0,0.1,30\n")
    return subprocess.Popen(["zq4180", "run", supply.port, str(seq), "--log", str(tmp_path / "run.csv"),
                             "--interval", "0.2", "--force", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)


def finish(proc, timeout=20):
    try:
        _, err = proc.communicate(timeout=timeout)
    finally:
        proc.kill()
    return err


# where the signal lands: inside the k-th exchange after the output went on, or after a pause
MOMENTS = [("inside", 1), ("inside", 2), ("inside", 4), ("between", 0.05), ("between", 0.25), ("between", 0.5)]


@pytest.mark.parametrize("where, when", MOMENTS)
def test_a_signal_inside_or_between_exchanges_ends_with_a_confirmed_off(make_supply, tmp_path, where, when):
    supply = make_supply(pacing=True)
    sig = random.choice(SIGNALS)
    proc = start_run(supply, tmp_path)
    try:
        assert wait_for(lambda: supply.state.output_on)
        if where == "inside":
            # sent as the supply takes a request: the command is then waiting for the reply
            seen = []

            def hook(exchange):
                seen.append(exchange)
                if len(seen) == when:
                    proc.send_signal(sig)
            supply.on_exchange = hook
        else:
            time.sleep(when + random.uniform(0, 0.2))
            proc.send_signal(sig)
        err = finish(proc)
    finally:
        proc.kill()
    assert proc.returncode == 128 + sig, err
    assert "Traceback" not in err and "output off (confirmed)" in err and LINES[sig] in err
    assert not supply.state.output_on and not supply.state.remote
    assert [(r[2], r[3]) for r in supply.requests[-3:]] == [(OUTPUT, 0), (STATUS, 0), (WORK_MODE, 0)]


def _cut_before_the_package_held_signals(proc, err: str) -> bool:
    """Python's own KeyboardInterrupt traceback, from the interpreter's start-up or the entry
    script's imports: no frame of the package after the line that holds signals back."""
    import re

    import zq4180_bench
    if proc.returncode != -signal.SIGINT or not err.endswith("KeyboardInterrupt\n"):
        return False
    with open(zq4180_bench.__file__, encoding="utf-8") as source:
        held = next(n for n, line in enumerate(source, 1) if line.startswith("_hold_signals_while_starting()"))
    frames = re.findall(r'File "[^"]*zq4180_bench[/\\]([^"]+)", line (\d+)', err)
    return all(path == "__init__.py" and int(line) <= held for path, line in frames)


@pytest.mark.parametrize("sig", SIGNALS)
@pytest.mark.parametrize("trial", range(4))
def test_a_signal_during_start_up_ends_with_its_status_and_one_line(supply, sig, trial):
    proc = subprocess.Popen(["zq4180", "status", supply.port], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    time.sleep(random.uniform(0.0, 0.35))
    proc.send_signal(sig)
    out, err = proc.communicate(timeout=20)
    if proc.returncode == 0:              # it had finished
        return
    if err.startswith("Fatal Python error: init_") or _cut_before_the_package_held_signals(proc, err):
        return      # the interpreter's own start-up, before the command's package could hold signals back
    if proc.returncode == -sig:           # before the interpreter ran any of the command: the default action
        assert err == ""
        return
    assert "Traceback" not in err and "Error" not in err, err
    assert proc.returncode == 128 + sig, err
    assert err.splitlines() == [LINES[sig]]
    assert all(r[2] in (0x31, STATUS) for r in supply.requests)   # only reads, nothing set


@pytest.mark.parametrize("storm", [1, 4])
def test_an_unconfirmed_safe_end_exits_1_whatever_signals_follow(make_supply, tmp_path, storm):
    supply = make_supply(pacing=True)

    def hook(exchange):         # acknowledges output-off and keeps the output on
        if exchange.request[2] == OUTPUT and exchange.request[3] == 0:
            supply.state.configure(output_on=True)
    proc = start_run(supply, tmp_path)
    try:
        assert wait_for(lambda: supply.state.output_on)
        supply.on_exchange = hook
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        for _ in range(storm * 10):          # through the safe end and after it
            if proc.poll() is not None:
                break
            time.sleep(0.1 / storm)
            proc.send_signal(random.choice(SIGNALS))
        err = finish(proc)
    finally:
        proc.kill()
    assert proc.returncode == 1, err
    said = [line for line in err.splitlines() if "OUTPUT MAY STILL BE ON" in line]
    assert len(said) == 1 and said[0].startswith(f"zq4180: {supply.port}: OUTPUT MAY STILL BE ON")
    assert "Traceback" not in err


@pytest.mark.parametrize("exc, status, line", [(KeyboardInterrupt(), 130, "zq4180: interrupted"),
                                               (signals.Terminated(signal.SIGTERM), 143, "zq4180: stopped by SIGTERM"),
                                               (signals.Terminated(signal.SIGHUP), 129, "zq4180: stopped by SIGHUP")])
def test_a_signal_that_cut_an_import_short_ends_without_importing_again(monkeypatch, capsys, exc, status, line):
    # a signal inside an import can leave a half-imported module behind (Python 3.13's pathlib);
    # ending on it must not import anything more, or the ending itself fails with a traceback
    from zq4180_bench.commands.context import Context
    from zq4180_bench.commands.main import _ending
    from zq4180_bench.commands.parser import build_parser
    ctx = Context(build_parser().parse_args(["status", "/dev/null"]))
    for name in ("config", "errors", "limits", "logs", "procedures"):
        monkeypatch.setitem(sys.modules, f"zq4180_bench.{name}", None)     # importing it would fail
    monkeypatch.setattr(signals, "ignore", lambda: None)
    assert _ending(ctx, exc) == status
    assert capsys.readouterr().err.splitlines() == [line]


@pytest.mark.parametrize("name, sig, status, lines", [
    ("zq4180", signal.SIGTERM, 143, ["zq4180: stopped by SIGTERM"]),
    ("zq4180", signal.SIGINT, 130, ["zq4180: interrupted"]),
    ("zq4180", signal.SIGHUP, 129, ["zq4180: stopped by SIGHUP"]),
    ("another-program", signal.SIGTERM, -signal.SIGTERM, []),     # a program that imports the library
])
def test_a_signal_while_the_package_loads_is_held_for_the_command_only(tmp_path, name, sig, status, lines):
    script = tmp_path / name
    script.write_text("import os, signal, sys\n"
                      "import zq4180_bench\n"
                      f"os.kill(os.getpid(), {int(sig)})\n"
                      "from zq4180_bench.cli import main\n"
                      "sys.exit(main(['status', '/nonexistent/port']))\n")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == status, proc.stderr
    assert proc.stderr.splitlines() == lines
