"""Stages that overlap: a job's items are read in one thread, worked on in the caller's thread and
written in others, with bounded queues between, so that an item costs the slowest stage rather
than the sum and at most a few items are in flight.

Device work stays in the caller's thread, on its current stream. The reading and writing threads
queue their uploads and downloads on non-blocking streams of their own, so copies overlap the
caller's kernels. What one thread hands another is ordered by an event recorded on the
producer's stream and waited for on the consumer's; CuPy stages host-to-device copies through
its pinned buffers. An item read is kept alive until its result has been written, so that its
memory is not reused while device work queued on another stream may still read it.
"""

from __future__ import annotations

import dataclasses
import queue
import threading
import time
from typing import Callable, Iterable

_END = object()
_POLL = 0.05  # seconds a blocked thread waits before it looks whether the run has stopped


@dataclasses.dataclass
class StageTimes:
    """Seconds each stage spent on its own work (not waiting for the others), and the wall time."""

    read: float = 0.0
    work: float = 0.0
    write: float = 0.0
    wall: float = 0.0
    items: int = 0

    @property
    def slowest(self) -> float:
        return max(self.read, self.work, self.write)


class Stopped(Exception):
    """The run was stopped by a failure in another stage."""


def _event():
    """An event recorded on this thread's current stream, or None where no device work can be queued."""
    import sys

    cp = sys.modules.get("cupy")
    if cp is None:
        return None
    event = cp.cuda.Event(block=False, disable_timing=True)
    event.record(cp.cuda.get_current_stream())  # Event.record() alone records on the null stream
    return event


def _own_stream():
    """A non-blocking stream for a reading or writing thread to make current, where device work
    can be queued; otherwise nothing."""
    import contextlib
    import sys

    cp = sys.modules.get("cupy")
    return cp.cuda.Stream(non_blocking=True) if cp is not None else contextlib.nullcontext()


def _wait_for(event) -> None:
    if event is not None:
        import cupy as cp

        cp.cuda.get_current_stream().wait_event(event)


class _Run:
    def __init__(self):
        self.stop = threading.Event()
        self.error: BaseException | None = None
        self.lock = threading.Lock()

    def fail(self, error: BaseException) -> None:
        with self.lock:
            if self.error is None:
                self.error = error
        self.stop.set()

    def put(self, channel: queue.Queue, item) -> None:
        while not self.stop.is_set():
            try:
                channel.put(item, timeout=_POLL)
                return
            except queue.Full:
                continue
        raise Stopped

    def get(self, channel: queue.Queue):
        while True:
            try:
                return channel.get(timeout=_POLL)
            except queue.Empty:
                if self.stop.is_set():
                    raise Stopped from None


def run_stages(items: Iterable, work: Callable, write: Callable, depth: int = 2, writers: int = 1,
               times: StageTimes | None = None) -> int:
    """Calls write(work(item)) for every item of items; returns how many were written.

    The first failure of any stage stops the others and is raised here, as is anything raised in
    this thread (KeyboardInterrupt); every thread has ended when this returns.

    Args:
        items: iterated in a thread of its own (decoding, reading files, uploads).
        work: runs in this thread (the device work).
        write: runs in `writers` threads (downloads, encoding, writing files): in the order of
            items where writers is 1.
        depth: at most this many items wait between two stages.
        writers: the number of threads running write.
        times: a StageTimes the stages' seconds are added to.

    Returns:
        How many items were written.
    """
    if depth < 1 or writers < 1:
        raise ValueError(f"run_stages() takes depth and writers of 1 or more, got {depth} and {writers}")
    times = times if times is not None else StageTimes()
    run = _Run()
    read_out, write_in = queue.Queue(depth), queue.Queue(depth)
    written = [0]

    def reader():
        try:
            with _own_stream():
                _read()
        except Stopped:
            pass
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            run.fail(error)

    def _read():
        iterator = iter(items)
        while not run.stop.is_set():
            started = time.perf_counter()
            item = next(iterator, _END)
            times.read += time.perf_counter() - started
            if item is _END:
                break
            run.put(read_out, (item, _event()))
        run.put(read_out, _END)

    def writer():
        try:
            with _own_stream():
                _write()
        except Stopped:
            pass
        except BaseException as error:  # noqa: BLE001 - handed to the caller
            run.fail(error)

    def _write():
        while True:
            entry = run.get(write_in)
            if entry is _END:
                run.put(write_in, _END)  # for the other writers
                return
            result, _item, event = entry
            started = time.perf_counter()
            _wait_for(event)
            write(result)
            with run.lock:
                times.write += time.perf_counter() - started
                written[0] += 1
            del result, _item, entry  # the item's memory is free once its result is out

    threads = [threading.Thread(target=reader, name="quorvex-read", daemon=True)]
    threads += [threading.Thread(target=writer, name=f"quorvex-write-{i}", daemon=True) for i in range(writers)]
    wall = time.perf_counter()
    for thread in threads:
        thread.start()
    try:
        while True:
            entry = run.get(read_out)
            if entry is _END:
                run.put(write_in, _END)
                break
            item, event = entry
            del entry
            started = time.perf_counter()
            _wait_for(event)
            result = work(item)
            times.work += time.perf_counter() - started
            times.items += 1
            run.put(write_in, (result, item, _event()))
            del item, result
        for thread in threads[1:]:
            while thread.is_alive() and not run.stop.is_set():
                thread.join(_POLL)
    except Stopped:
        pass
    except BaseException as error:
        run.fail(error)
    finally:
        for thread in threads:
            thread.join()
        times.wall += time.perf_counter() - wall
    if run.error is not None:
        raise run.error
    return written[0]


def overlapped(items: Iterable, work: Callable, depth: int = 2):
    """Yields work(item) for each item of items, in order, with items iterated in a thread of its
    own (at most `depth` ahead) while work runs here; what the thread hands over is ordered by
    an event, as in run_stages. Closing the generator stops the thread."""
    run, channel = _Run(), queue.Queue(depth)

    def reader():
        try:
            with _own_stream():
                for item in items:
                    run.put(channel, (item, _event()))
                    if run.stop.is_set():
                        return
                run.put(channel, _END)
        except Stopped:
            pass
        except BaseException as error:  # noqa: BLE001 - handed to the consumer
            run.fail(error)

    thread = threading.Thread(target=reader, name="quorvex-read", daemon=True)
    thread.start()
    previous = None  # (item, its work's event): freed once that work has run
    try:
        while True:
            try:
                entry = run.get(channel)
            except Stopped:
                break
            if entry is _END:
                break
            item, event = entry
            del entry
            _wait_for(event)
            result = work(item)
            if previous is not None and previous[1] is not None:
                previous[1].synchronize()
            previous = item, _event()
            del item
            yield result
    finally:
        run.stop.set()
        thread.join()
    if run.error is not None:
        raise run.error
