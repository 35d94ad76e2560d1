"""A job in this process: its worker loads the models once on the --device GPU and takes the
plan's items: a video's pieces several at a time (one encoder thread each, so that every core
encodes), a folder's images read ahead and written behind."""

from __future__ import annotations

import concurrent.futures
import os
import sys
import threading

from .. import plan as plans
from ..common import USAGE, BadInput, CliError, parse_device


def run(job, reporter) -> int:
    return 1 if execute(job, reporter)["failed"] else 0


def execute(job, reporter, progress=None) -> dict:
    """The job in this process; returns the counts of items done and skipped (finished before)
    and the inputs that failed (files that do not decode, say: reported, and the others go on).
    progress, if given, is called after each finished item with a dict (item, done, total)."""
    args = job.args
    if args.workers is not None or args.gpus_per_worker != 1.0:
        raise CliError("--workers and --gpus-per-worker go with --ray", USAGE)
    plan = plans.plan(job)
    if not plan.items and not plan.kept:
        reporter.note(f"nothing to do: {plan.skipped} output(s) already there (--overwrite to redo)")
        reporter.summary(f"{job.verb} 0 images", 0, "images", plan.skipped)
        return {"done": 0, "skipped": plan.skipped + plan.kept, "failed": []}
    worker = job.load(reporter, parse_device(args.device))
    finished = _Finished(progress, len(plan.items))
    failed = work_through(job, plan, worker, reporter, finished)
    plan.finish(reporter)
    done = plan.total - len(failed)
    reporter.summary(job.summary(worker, done, plan.unit + "s", failed), done, plan.unit + "s",
                     0 if plan.kind == "video" else plan.skipped)
    return {"done": finished.done, "skipped": plan.skipped + plan.kept, "failed": [str(f) for f in failed]}


class _Finished:
    """Counts the items that end well and tells progress of each, from whichever thread."""

    def __init__(self, progress, total: int):
        self.progress, self.total, self.done, self.lock = progress, total, 0, threading.Lock()

    def __call__(self, item) -> None:
        with self.lock:
            self.done += 1
            if self.progress is not None:
                self.progress({"item": str(item.target), "done": self.done, "total": self.total})


def work_through(job, plan, worker, reporter, finished=None) -> list:
    """Runs each item of the plan, with a progress bar over a video's frames or a folder's
    images (none for one image: the worker shows its own). An input of a folder that cannot
    be processed is reported and the others go on; returns those inputs. finished(item) is
    called for each item that ends well."""
    finished = finished if finished is not None else (lambda item: None)
    failed = []
    folder = plan.kind == "folder"
    if plan.kind == "video":
        bar = reporter.bar(plan.total, "frame", plan.video[0].name)
        bar.update(plan.total - sum(item.weight for item in plan.items))
    else:
        bar = reporter.bar(len(plan.items), "image") if folder else None
    try:
        if plan.kind == "video":
            make_pieces(plan.items, worker, reporter, bar, finished)
            return failed
        if folder:
            return through_folder(job, plan.items, worker, reporter, bar, finished)
        for item in plan.items:  # one image
            item.run(worker, reporter, bar)
            finished(item)
    finally:
        if bar is not None:
            bar.close()
    return failed


def pieces_in_flight(count: int) -> int:
    """Pieces made at once: one per core, each with its one-thread encoder (what keeps a piece's
    bytes the same however many run beside it)."""
    return max(1, min(count, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1))


class Stopped(Exception):
    """Another piece failed, or the user stopped the run."""


class SharedWorker:
    """The worker as the pieces made side by side share it: one frame's device work at a time."""

    def __init__(self, worker):
        self._worker, self._lock = worker, threading.Lock()

    def frame(self, image, bar=None):
        with self._lock:
            return self._worker.frame(image, bar)

    def sequence(self):
        frame = self._worker.sequence()

        def locked(image, bar=None):
            with self._lock:
                return frame(image, bar)

        return locked

    def __getattr__(self, name):
        return getattr(self._worker, name)


class _StoppableBar:
    """The run's progress bar, through which a piece learns, frame by frame, that the run stopped."""

    def __init__(self, bar, stop: threading.Event):
        self.bar, self.stop = bar, stop

    def update(self, n: int = 1) -> None:
        if self.stop.is_set():
            raise Stopped
        self.bar.update(n)


def make_pieces(items, worker, reporter, bar, finished=lambda item: None) -> None:
    """Makes the pieces, several at once; the first failure (or Ctrl-C) stops the others at their
    next frame and is raised once they have ended, leaving only finished pieces."""
    import cupy as cp

    shared, stop = SharedWorker(worker), threading.Event()
    stoppable = _StoppableBar(bar, stop)
    stream = cp.cuda.get_current_stream()  # the pieces' device work goes on the caller's stream

    def make(item):
        with stream:
            item.run(shared, reporter, stoppable)
        finished(item)

    pool = concurrent.futures.ThreadPoolExecutor(pieces_in_flight(len(items)), thread_name_prefix="quorvex-piece")
    futures = [pool.submit(make, item) for item in items]
    try:
        pending = set(futures)
        while pending:
            done, pending = concurrent.futures.wait(pending, timeout=0.1,
                                                    return_when=concurrent.futures.FIRST_EXCEPTION)
            if any(f.exception() is not None for f in done):
                break
    finally:
        stop.set()  # no-op for a run that finished
        pool.shutdown(wait=True, cancel_futures=True)
    for future in futures:  # the first failure in the order of the pieces
        if not future.cancelled() and future.exception() is not None and not isinstance(future.exception(), Stopped):
            raise future.exception()


def through_folder(job, items, worker, reporter, bar, finished=lambda item: None) -> list:
    """A folder's images read ahead (one thread) and written behind (a thread per core: a PNG
    encode costs more than the device work), the device work here. An image that cannot be
    read, processed or written is reported, in the folder's order, and the others go on;
    returns those inputs."""
    from quorvex.pipeline import run_stages

    from .. import media

    outcomes, reported, lock = {}, [0], threading.Lock()  # index -> BadInput or None, once written

    def attempt(item, step, *args):
        try:
            try:
                return step(*args)
            except Exception as error:
                plans.raise_for_image(item.source, error)
        except BadInput as error:
            return error

    def read():
        for index, item in enumerate(items):
            yield index, attempt(item, worker.read, item.source)

    def work(entry):
        index, given = entry
        if isinstance(given, BadInput):
            return index, given, None
        return index, attempt(items[index], worker.process, given, items[index].target), given.dtype

    def write(entry):
        index, result, dtype = entry
        item = items[index]
        if not isinstance(result, BadInput):
            result = attempt(item, media.write_image, item.target, result, dtype, item.source)
        if not isinstance(result, BadInput):
            finished(item)
        with lock:
            outcomes[index] = result if isinstance(result, BadInput) else None
            while reported[0] in outcomes:  # what has ended after every image before it
                if outcomes[reported[0]] is not None:
                    bar.write(f"quorvex {job.command}: skipped: {outcomes[reported[0]]}", file=sys.stderr)
                reported[0] += 1
            bar.update(1)

    run_stages(read(), work, write, writers=pieces_in_flight(len(items)))
    return [items[index].source for index, outcome in sorted(outcomes.items()) if outcome is not None]
