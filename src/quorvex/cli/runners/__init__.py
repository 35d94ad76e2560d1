"""Where a job runs: in this process (local), on a Ray cluster (ray) or live, frame by frame as
they arrive (live). Each takes any job (cli.jobs) and works through its plan (cli.plan)."""

from __future__ import annotations


def run(job, reporter) -> int:
    """Runs job where its options say; returns the exit status."""
    from ..plan import is_live

    if is_live(job.args):
        from .live import run
    elif getattr(job.args, "ray", None) is not None:
        from .ray import run
    else:
        from .local import run
    return run(job, reporter)
