"""A job on a Ray cluster: its folder's images or its video's pieces spread over workers.

    quorvex upscale frames/ big/ --model 4x.pth --ray                 # a local Ray instance
    quorvex upscale film.mp4 film_x4.mp4 --model 4x.pth --ray=auto   # the cluster `ray start` made
    quorvex swap ... --ray=ray://head:10001 --workers 8 --gpus-per-worker 0.5

or from a program, quorvex.cli.run_job("upscale", "frames/", "big/", model="4x.pth", workers=4).

Each worker is a Ray actor that loads the job's models once on its GPU and keeps them for every
item it is given: the plan's items (cli.plan), the same the single-process run works through,
so both give the same files; the driver joins a video's pieces without re-encoding. Every
output and every piece is written under a temporary name and renamed when complete, so what
exists is finished: a job started again skips it, and a worker lost in the middle of an item
leaves nothing that counts. The driver hands each worker as many items as it takes at once (a
video's pieces one per core of its node, each encoding on one thread; images one); the items of a
worker that dies go back to the queue and a fresh worker takes the dead one's place.

Paths are those the driver sees: on a cluster of several machines INPUT and OUTPUT must be on
storage that every node mounts at the same path.
"""

from __future__ import annotations

import os
import sys

from quorvex.extras import install_hint

from .. import plan as plans
from ..common import USAGE, BadInput, CliError, Reporter, failed_note

RAY_NEEDED = f"--ray needs Ray, which is not installed: {install_hint('ray')}"
RESTARTS = 3  # fresh workers per worker slot before the job gives up
FORWARDED_ENV = ("QUORVEX_",)  # the driver's settings the workers need (QUORVEX_EMAP)


def answers(address: str, timeout: float = 5.0) -> bool:
    """Whether something listens at a HOST:PORT address (ray:// or not): Ray itself retries an
    address where nothing does for minutes. "auto" and other forms are left to Ray."""
    import socket

    host, _, port = address.removeprefix("ray://").rpartition(":")
    if not host or not port.isdigit():
        return True
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=timeout).close()
    except OSError:
        return False
    return True


def require_ray():
    try:
        import ray
    except ImportError:
        raise CliError(RAY_NEEDED, USAGE) from None
    return ray


# ---------------------------------------------------------------- the worker


MAX_SLOTS = 32  # items one worker runs at once, at most


class Worker:
    """One Ray actor: the job's worker on the GPU Ray gave it (device 0 of what it sees), loaded
    by load() and kept for every item. It takes a video's pieces several at a time, one per core
    of its node (each piece encodes on one thread), sharing the device work as the local runner
    does; images one at a time."""

    def __init__(self, options):
        from ..jobs import job_for

        self.job = job_for(options)
        self.reporter = Reporter(quiet=True)
        self.worker = self.pool = None

    def load(self, video: bool) -> tuple[int, int]:
        """Loads the models; returns (process id, the items it takes at once). A failure is the
        model's own error."""
        import concurrent.futures

        import cupy as cp

        from .local import SharedWorker, pieces_in_flight

        self.worker = SharedWorker(self.job.load(self.reporter, 0))
        cp.cuda.Device().synchronize()  # what loading made is read from the item threads' streams
        slots = pieces_in_flight(MAX_SLOTS) if video else 1
        # The items run in threads of this process's own, not in Ray's (which call run and wait).
        self.pool = concurrent.futures.ThreadPoolExecutor(slots, thread_name_prefix="quorvex-item")
        return os.getpid(), slots

    def run(self, item) -> tuple[int, int]:
        """One item of the plan; returns (process id, the worker's count so far). A cancelled
        item ends at its next frame: Ray only flags a running actor task as cancelled."""
        import concurrent.futures
        import threading

        import ray

        context, stop = ray.get_runtime_context(), threading.Event()
        future = self.pool.submit(item.run, self.worker, self.reporter, _Stoppable(stop))
        while True:
            try:
                future.result(timeout=0.1)
                return os.getpid(), self.worker.count
            except concurrent.futures.TimeoutError:
                if context.is_canceled():
                    stop.set()


class Cancelled(Exception):
    """The driver cancelled the item this worker was running."""


class _Stoppable:
    """The progress of a worker's item, which ends the item once stop is set."""

    def __init__(self, stop):
        self.stop = stop

    def update(self, n: int = 1) -> None:
        if self.stop.is_set():
            raise Cancelled


# ---------------------------------------------------------------- the driver


class _Pool:
    """The workers: each runs as many items at once as its load() said; a dead one is replaced by a
    fresh one."""

    def __init__(self, ray, actor, size: int, options: dict):
        self.ray, self.actor, self.options = ray, actor, options
        self.loading = {}  # load ref -> actor
        self.idle = []  # an actor once per item it can take now
        self.busy = {}  # item ref -> (actor, item)
        self.dead = set()  # actors lost, each replaced once however many items they held
        self.restarts, self.limit = 0, RESTARTS * size
        self.retry = []  # items whose worker died
        for _ in range(size):
            self.start()

    def start(self) -> None:
        handle = self.actor.remote(*self.options["args"])
        self.loading[handle.load.remote(self.options["video"])] = handle

    def wait(self):
        """Blocks until a worker finishes loading or an item; returns (item, result) for a
        finished item (result a BadInput for an input that cannot be processed), None otherwise;
        an item whose worker died goes back through retry."""
        ray = self.ray
        refs = list(self.loading) + list(self.busy)
        (ref,), _ = ray.wait(refs, num_returns=1)
        if ref in self.loading:
            handle = self.loading.pop(ref)
            try:
                _, slots = ray.get(ref)
            except (ray.exceptions.RayActorError, ray.exceptions.WorkerCrashedError):
                self.replace(handle)
                return None
            except ray.exceptions.RayTaskError as error:
                raise _cause(error) from None
            self.idle += [handle] * slots
            return None
        handle, item = self.busy.pop(ref)
        try:
            result = ray.get(ref)
        except (ray.exceptions.RayActorError, ray.exceptions.WorkerCrashedError):
            self.retry.append(item)
            self.replace(handle)
            return None
        except ray.exceptions.RayTaskError as error:
            result = _cause(error)
            if not isinstance(result, BadInput):
                raise result from None
        self.idle.append(handle)
        return item, result

    def replace(self, handle) -> None:
        if handle in self.dead:
            return
        self.dead.add(handle)
        self.idle = [h for h in self.idle if h is not handle]
        self.restarts += 1
        if self.restarts > self.limit:
            raise CliError(f"workers died {self.restarts} times; giving up (finished outputs are kept, run again "
                           "to go on)")
        self.start()

    def submit(self, item) -> None:
        handle = self.idle.pop()
        self.busy[handle.run.remote(item)] = (handle, item)

    def close(self) -> None:
        # A killed worker's item counts as failed as soon as Ray marks the worker dead, which can
        # be before its process has stopped, and so before it has stopped writing. A running item
        # that is cancelled stops at its next frame (an image runs to its end) and gives its result
        # once it has returned: after this wait nothing more is written. Only an item still
        # running 30 s later is killed mid-way.
        busy = list(self.busy)
        for ref in busy:
            self.ray.cancel(ref)
        if busy:
            self.ray.wait(busy, num_returns=len(busy), timeout=30)
        for handle in {*self.idle, *(h for h, _ in self.busy.values()), *self.loading.values()}:
            self.ray.kill(handle, no_restart=True)
        if self.loading:
            self.ray.wait(list(self.loading), num_returns=len(self.loading), timeout=30)


def _cause(error):
    """The worker's own exception behind a Ray task error, as the single-process run raises it."""
    cause = getattr(error, "cause", None)
    return cause if isinstance(cause, BaseException) else error


def _forwarded_env() -> dict:
    return {k: v for k, v in os.environ.items() if k.startswith(FORWARDED_ENV)}


def check_options(args) -> None:
    if args.workers is not None and args.workers < 1:
        raise CliError(f"--workers must be at least 1, got {args.workers}", USAGE)
    if args.gpus_per_worker < 0:
        raise CliError(f"--gpus-per-worker must be at least 0, got {args.gpus_per_worker}", USAGE)
    if args.device != "cuda":
        raise CliError(f"--device {args.device}: with --ray, Ray gives each worker its GPU (--gpus-per-worker)", USAGE)


def run(job, reporter) -> int:
    return 1 if execute(job, reporter)["failed"] else 0


def execute(job, reporter, progress=None) -> dict:
    """The job on Ray, with the same outputs as the single-process run; returns the counts of
    items done, skipped (finished before), retried after their worker died, the fresh workers
    started in place of dead ones and the workers, and the inputs that failed (files that do
    not decode, say: reported, and the others go on)."""
    ray = require_ray()
    args = job.args
    check_options(args)
    plan = plans.plan(job)
    items, skipped, what = plan.items, plan.skipped + plan.kept, job.verb
    if not items and not plan.kept:
        reporter.note(f"nothing to do: {plan.skipped} output(s) already there (--overwrite to redo)")
        reporter.summary(f"{what} 0 images", 0, "images", plan.skipped)
        return {"done": 0, "skipped": skipped, "retried": 0, "restarts": 0, "workers": 0, "failed": []}

    started_here = False
    if not ray.is_initialized():
        address = args.ray or None  # None: RAY_ADDRESS if set, else a local instance
        no_cluster = CliError(f"--ray {address}: no Ray cluster answers there; start one (ray start --head) or give "
                              "--ray with no address for a cluster of this machine only", USAGE)
        if address and not answers(address):
            raise no_cluster
        try:
            with reporter.library_output():
                ray.init(address=address, logging_level="ERROR", log_to_driver=False,
                         **({} if address else {"include_dashboard": False}))
        except ConnectionError:  # Ray's own text speaks of its flags, not this command's
            raise no_cluster from None
        started_here = True
    try:
        workers = args.workers
        resources = ray.cluster_resources()
        # Ray would wait for ever for a worker that no node can hold.
        if args.gpus_per_worker > resources.get("GPU", 0):
            raise CliError(f"the Ray cluster has {resources.get('GPU', 0):g} GPU(s), fewer than --gpus-per-worker "
                           f"{args.gpus_per_worker:g} that each worker asks for", USAGE)
        if workers is None:
            if args.gpus_per_worker > 0:
                workers = max(1, int(resources.get("GPU", 0) / args.gpus_per_worker))
            else:
                workers = max(1, int(resources.get("CPU", 1)))
        workers = max(1, min(workers, len(items) or 1))
        env = _forwarded_env()
        actor = ray.remote(Worker).options(num_cpus=1, num_gpus=args.gpus_per_worker, max_restarts=0,
                                           max_task_retries=0, max_concurrency=MAX_SLOTS + 1,
                                           **({"runtime_env": {"env_vars": env}} if env else {}))
        pool = _Pool(ray, actor, workers if items else 0, {"args": (args,), "video": plan.kind == "video"})
        queue, counts, done, retried, failed = list(reversed(items)), {}, 0, 0, []
        try:
            with reporter.bar(sum(item.weight for item in items), plan.unit, desc=f"{workers} workers") as bar:
                while queue or pool.busy or pool.retry:
                    while pool.idle and (pool.retry or queue):
                        if pool.retry:
                            item = pool.retry.pop()
                            retried += 1
                        else:
                            item = queue.pop()
                        pool.submit(item)
                    finished = pool.wait()
                    if finished is None:
                        continue
                    item, result = finished
                    bar.update(item.weight)
                    if isinstance(result, BadInput):
                        if plan.kind == "video":
                            raise result  # a video is one output: it fails as a whole, as in one process
                        failed.append(str(item.source))
                        bar.write(f"quorvex {args.command}: skipped: {result}", file=sys.stderr)
                        continue
                    pid, counts[pid] = result
                    done += 1
                    if progress is not None:
                        progress({"item": str(item.target), "worker": pid, "done": done, "total": len(items)})
        finally:
            pool.close()
        plan.finish(reporter)
    finally:
        if started_here:
            ray.shutdown()

    found = f" ({sum(counts.values())} {job.counted})" if job.command == "swap" else ""
    if plan.kind == "video":
        reporter.summary(f"{what} {plan.total} frames{found} on {workers} Ray workers", plan.total, "frames")
    else:
        reporter.summary(f"{what} {done} image{'s' if done != 1 else ''}{found} on {workers} Ray workers"
                         f"{failed_note(failed)}", done, "images", skipped)
    return {"done": done, "skipped": skipped, "retried": retried, "restarts": pool.restarts, "workers": workers,
            "failed": failed}
