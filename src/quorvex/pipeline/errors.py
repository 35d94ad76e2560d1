"""The errors of a job, as the command reports them."""

from __future__ import annotations


class JobError(Exception):
    """A failure the user can act on (a model that does not fit, an option out of range): the
    command prints it as one line and exits with `status`."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status

    def __reduce__(self):  # the status survives pickling (errors of Ray workers)
        return type(self), (str(self), self.status)


class BadInput(JobError):
    """One input file that cannot be processed (it does not decode, say): a folder run reports
    it and goes on with the others, and ends with status 1."""


USAGE = 2  # exit status for bad arguments and failed checks, as argparse uses
