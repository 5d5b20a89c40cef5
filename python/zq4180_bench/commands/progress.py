"""Progress bars on a terminal (rich, loaded only then)."""

from __future__ import annotations

from .context import Context, plural


class _NoProgress:
    def update(self, **kwargs) -> None:
        pass

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None


class _Bar:
    def __init__(self, total: float | None, description: str) -> None:
        from rich.console import Console
        from rich.progress import (BarColumn, MofNCompleteColumn, Progress, TextColumn, TimeElapsedColumn,
                                   TimeRemainingColumn)
        columns = [TextColumn("{task.description}"), BarColumn(),
                   MofNCompleteColumn() if total else rows_column(),
                   TimeElapsedColumn(), TimeRemainingColumn(), TextColumn("{task.fields[info]}")]
        self.progress = Progress(*columns, console=Console(stderr=True), transient=False)
        self.task = self.progress.add_task(description, total=total, info="")

    def update(self, **kwargs) -> None:
        self.progress.update(self.task, **kwargs)

    def __enter__(self):
        self.progress.start()
        return self

    def __exit__(self, *exc):
        try:
            self.progress.stop()
        except OSError:  # the terminal went away (SIGHUP): the command's own end matters more
            pass
        return None


def rows_column():
    """A progress column counting rows: "1 row", "2 rows"."""
    from rich.progress import ProgressColumn
    from rich.text import Text

    class Rows(ProgressColumn):
        def render(self, task) -> Text:
            n = int(task.completed)
            return Text(f"{n} {plural(n, 'row')}")
    return Rows()


def progress(ctx: Context, total: float | None, description: str):
    return _Bar(total, description) if ctx.stderr_terminal else _NoProgress()
