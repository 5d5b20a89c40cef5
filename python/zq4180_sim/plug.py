"""The supply's port: a pseudo-terminal, the symbolic link that names it, plugging in and out."""

from __future__ import annotations

import os
import shutil
import tempfile
import threading
import tty
from typing import Self


class _Plug:
    """One pty lifetime: from plugging in to unplugging."""

    def __init__(self) -> None:
        master, slave = os.openpty()
        try:
            self.pty_name = os.ttyname(slave)
            tty.setraw(slave)
        finally:
            # holding the slave would make lsof report the port busy
            os.close(slave)
        os.set_blocking(master, False)
        self.master = master
        self.wake_r, self.wake_w = os.pipe()
        self.halt = threading.Event()
        self.thread: threading.Thread | None = None

    def wake(self) -> None:
        self.halt.set()
        try:
            os.write(self.wake_w, b"x")
        except OSError:
            pass

    def close(self) -> None:
        for fd in (self.master, self.wake_r, self.wake_w):
            try:
                os.close(fd)
            except OSError:
                pass
        self.master = -1


class PtyPort:
    """Start and stop, the link at :attr:`port`, unplugging and replugging.

    Mixed into :class:`~zq4180_sim.VirtualSupply`, which sets these attributes up and
    serves each plug on its own thread with ``_serve``.
    """

    _lock: threading.RLock
    _cond: threading.Condition
    _plug: _Plug | None
    _started: bool
    _busy: bool
    _replug_timer: threading.Timer | None
    _own_dir: str | None
    _link: str | None
    error: BaseException | None

    def _serve(self, plug: _Plug) -> None:
        raise NotImplementedError

    # -- lifecycle ---------------------------------------------------------------

    def start(self) -> Self:
        with self._lock:
            if self._started:
                return self
            if self._link is None:
                self._own_dir = tempfile.mkdtemp(prefix="zq4180-sim-")
                self._link = os.path.join(self._own_dir, "ttyZQ4180")
            elif os.path.lexists(self._link) and not os.path.islink(self._link):
                raise FileExistsError(f"{self._link} exists and is not a symbolic link")
            elif not os.path.isdir(os.path.dirname(self._link)):
                raise FileNotFoundError(f"no directory for the link {self._link}")
            self._started = True
            try:
                self._plug_in()
            except BaseException:
                self._started = False
                self._cleanup_dir()
                raise
        return self

    def stop(self) -> None:
        with self._lock:
            if not self._started:
                return
            self._started = False
            self._cancel_replug()
        self.unplug()
        self._cleanup_dir()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def unplug(self) -> None:
        """The port disappears: the pty is closed and the link removed."""
        with self._lock:
            self._cancel_replug()
            plug, self._plug = self._plug, None
        if plug is None:
            return
        plug.wake()
        if plug.thread is not threading.current_thread():
            plug.thread.join()
        self._remove_link(plug.pty_name)
        with self._cond:
            self._busy = False
            self._cond.notify_all()

    def replug(self) -> None:
        """A fresh pty appears behind the same :attr:`port` (unplugging first if needed)."""
        self.unplug()
        with self._lock:
            if not self._started:
                raise RuntimeError("the supply is not started")
            self._plug_in()

    @property
    def port(self) -> str:
        """The stable path (a symbolic link) to open; it vanishes while unplugged."""
        if self._link is None:
            raise RuntimeError("the supply has no port until start() (or use it as a context manager)")
        return self._link

    @property
    def pty_name(self) -> str | None:
        """The current pty's own name, None while unplugged."""
        plug = self._plug
        return plug.pty_name if plug else None

    @property
    def plugged(self) -> bool:
        return self._plug is not None

    # -- plumbing ------------------------------------------------------------------

    def _plug_in(self) -> None:
        plug = _Plug()
        try:
            self._point_link(plug.pty_name)
        except BaseException:
            plug.close()
            raise
        plug.thread = threading.Thread(target=self._serve, args=(plug,), daemon=True,
                                       name=f"zq4180-sim {plug.pty_name}")
        self._plug = plug
        plug.thread.start()

    def _point_link(self, target: str) -> None:
        tmp = f"{self._link}.{os.getpid()}.{threading.get_ident()}.tmp"
        os.symlink(target, tmp)
        try:
            os.replace(tmp, self._link)  # atomic: the path never dangles mid-update
        except BaseException:
            os.unlink(tmp)
            raise

    def _remove_link(self, target: str) -> None:
        try:
            if os.readlink(self._link) == target:
                os.unlink(self._link)
        except OSError:
            pass

    def _cleanup_dir(self) -> None:
        if self._own_dir:
            shutil.rmtree(self._own_dir, ignore_errors=True)
            self._own_dir = None
            self._link = None

    def _cancel_replug(self) -> None:
        if self._replug_timer is not None:
            self._replug_timer.cancel()
            self._replug_timer = None

    def _unplug_from_inside(self, plug: _Plug, replug_after: float | None) -> None:
        with self._lock:
            if self._plug is not plug:
                return
            self._plug = None
            plug.halt.set()
            _close_quietly(plug.master)  # the serving thread closes the rest on its way out
            plug.master = -1
            self._remove_link(plug.pty_name)
            if replug_after is not None and self._started:
                self._replug_timer = threading.Timer(replug_after, self._timed_replug)
                self._replug_timer.daemon = True
                self._replug_timer.start()

    def _timed_replug(self) -> None:
        with self._lock:
            self._replug_timer = None
            if not self._started or self._plug is not None:
                return
            try:
                self._plug_in()
            except OSError as exc:
                self.error = exc


def _close_quietly(fd: int) -> None:
    try:
        os.close(fd)
    except OSError:
        pass
