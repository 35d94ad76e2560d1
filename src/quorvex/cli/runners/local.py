"""A job in this process: its worker loads the models once on the --device GPU and takes the
plan's items in order."""

from __future__ import annotations

import sys

from .. import plan as plans
from ..common import USAGE, BadInput, CliError, parse_device


def run(job, reporter) -> int:
    args = job.args
    if args.workers is not None or args.gpus_per_worker != 1.0:
        raise CliError("--workers and --gpus-per-worker go with --ray", USAGE)
    plan = plans.plan(job)
    if not plan.items and not plan.kept:
        reporter.note(f"nothing to do: {plan.skipped} output(s) already there (--overwrite to redo)")
        reporter.summary(f"{job.verb} 0 images", 0, "images", plan.skipped)
        return 0
    worker = job.load(reporter, parse_device(args.device))
    failed = work_through(job, plan, worker, reporter)
    plan.finish(reporter)
    done = plan.total - len(failed)
    reporter.summary(job.summary(worker, done, plan.unit + "s", failed), done, plan.unit + "s",
                     0 if plan.kind == "video" else plan.skipped)
    return 1 if failed else 0


def work_through(job, plan, worker, reporter) -> list:
    """Runs each item of the plan, with a progress bar over a video's frames or a folder's
    images (none for one image: the worker shows its own). An input of a folder that cannot
    be processed is reported and the others go on; returns those inputs."""
    failed = []
    folder = plan.kind == "folder"
    if plan.kind == "video":
        bar = reporter.bar(plan.total, "frame", plan.video[0].name)
        bar.update(plan.total - sum(item.weight for item in plan.items))
    else:
        bar = reporter.bar(len(plan.items), "image") if folder else None
    try:
        for item in plan.items:
            try:
                item.run(worker, reporter, bar)
            except BadInput as error:
                if not folder:
                    raise
                failed.append(item.source)
                bar.write(f"quorvex {job.command}: skipped: {error}", file=sys.stderr)
            if folder:
                bar.update(1)
    finally:
        if bar is not None:
            bar.close()
    return failed
