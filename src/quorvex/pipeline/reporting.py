"""What a job tells its user while it runs, for a program: notes to the "quorvex" logger,
progress to a callback where one is given, nothing printed."""

from __future__ import annotations

import contextlib
import io
import logging

log = logging.getLogger("quorvex")


class _Bar:
    def __init__(self, total, progress):
        self.total, self.done, self.progress = total, 0, progress

    def update(self, n: int = 1) -> None:
        self.done += n
        if self.progress is not None:
            self.progress(self.done, self.total)

    def close(self) -> None:
        pass

    def write(self, text: str, file=None) -> None:
        log.warning(text)


class _NoMemory:
    def sample(self) -> None:
        pass


class _Logged(io.TextIOBase):
    """Standard output as the modules print to it (model loading and the like), line by line
    into the log."""

    def write(self, text: str) -> int:
        for line in text.splitlines():
            if line.strip():
                log.info(line)
        return len(text)


class Silent:
    """The command's reporter as a program sees it: progress(done, total) called as work goes on."""

    def __init__(self, progress=None):
        self.progress, self.memory = progress, _NoMemory()

    def bar(self, total, unit: str = "", desc: str | None = None, leave: bool = True) -> _Bar:
        return _Bar(total, self.progress)

    def note(self, text: str) -> None:
        log.info(text)

    def library_output(self):
        return contextlib.redirect_stdout(_Logged())
