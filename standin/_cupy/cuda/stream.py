"""Stand-in for ``cupy.cuda.stream``: CUDA's stream ordering, played out on the host.

Work a GPU runs asynchronously (kernel launches, copies, fills, array
operations, TensorRT engine runs) is queued on a stream and runs only when
something is ordered after it: a host read (``get``, ``asnumpy``,
``synchronize``, an event's ``synchronize``), an operation whose result size
depends on the data (CuPy reads that back), or another stream's queue reaching
a ``wait_event`` on it.  The ordering is CUDA's: the legacy default stream is
ordered with every blocking stream; non-blocking streams and per-thread
default streams are ordered with nothing but what they wait on.

Of the orders a GPU may pick, the stand-in picks one that exposes a missing
dependency in either direction: work that nothing orders before a read stays
queued, so the read sees the old contents; and when forced work waits on
another stream, that stream's work runs before the forcing stream's own
earlier work (the two are unordered unless a wait says otherwise), so a
consumer that does not wait for its producer sees the old contents too.
"""

import collections
import itertools
import os
import threading
import time
import weakref

from . import runtime

_handles = itertools.count(0x5000)
_local = threading.local()
_lock = threading.RLock()
_seq = itertools.count(1)
_busy = set()  # queues with work pending; holds them alive until it has run
_retired = []  # memory dropped while work was pending, kept until none is

# CuPy reads this once, when it is imported.
PER_THREAD_DEFAULT = os.environ.get('CUPY_CUDA_PER_THREAD_DEFAULT_STREAM') == '1'


class _Queue:
    """The work of one CUDA stream, in issue order: (sequence number, callable, dependency),
    where a dependency (queue, sequence number) is a point of another stream's queue that the
    item waits for (an event wait, or the legacy default stream's implicit ordering)."""

    __slots__ = ('items', 'blocking', 'legacy', '__weakref__')

    def __init__(self, blocking=True, legacy=False):
        self.items = collections.deque()
        self.blocking = blocking
        self.legacy = legacy


_LEGACY = _Queue(legacy=True)
_by_handle = weakref.WeakValueDictionary()
_external = {}


# A file told once, at the first work queued, that this process used the device: a test
# run lists the tests whose child processes did (their result can depend on the stream mode).
_witness = os.environ.get('STANDIN_DEVICE_LOG')


def _witnessed():
    global _witness
    path, _witness = _witness, None
    with open(path, 'a') as f:
        f.write('%d\n' % os.getpid())


def _push(q, fn, dep=None):
    if _witness:
        _witnessed()
    seq = next(_seq)
    q.items.append((seq, fn, dep))
    _busy.add(q)
    return seq


def _enqueue(q, fn):
    """Queue fn on q behind what CUDA orders it after; returns its sequence number."""
    with _lock:
        if q.legacy:
            for other in list(_busy):
                if other.blocking and not other.legacy:
                    _push(q, None, (other, other.items[-1][0]))
        elif q.blocking and _LEGACY.items:
            _push(q, None, (_LEGACY, _LEGACY.items[-1][0]))
        return _push(q, fn)


def _drain(q, upto=None):
    """Runs q's queue up to and including sequence number upto (all without), with what it waits on.

    The other streams' work that q's items wait for runs first, before q's own
    earlier items: nothing orders the two unless the other stream waits on q
    in turn (then its wait pulls those items of q in first).  A consumer stream
    that forgot to wait for its producer thus runs before the producer's work.
    """
    with _lock:
        if not q.items:
            return
        if upto is None:
            upto = q.items[-1][0]
        for seq, _, dep in list(q.items):
            if seq > upto:
                break
            if dep is not None:
                _drain(*dep)
        while q.items and q.items[0][0] <= upto:
            _, fn, dep = q.items.popleft()
            if not q.items:
                _busy.discard(q)
            if dep is not None:
                _drain(*dep)
            if fn is not None:
                fn()
        if not _busy:
            del _retired[:]


def _nothing():
    pass


def _ptds_queue():
    q = getattr(_local, 'ptds', None)
    if q is None:
        q = _local.ptds = _Queue()
    return q


def queue_for_handle(handle):
    """The queue of a raw stream handle, as a library given only the handle would find it."""
    handle = int(handle)
    if handle in (0, 1):  # 0 and cudaStreamLegacy
        return _LEGACY
    if handle == 2:  # cudaStreamPerThread
        return _ptds_queue()
    q = _by_handle.get(handle)
    if q is None:
        q = _external.setdefault(handle, _Queue())
    return q


def _stack():
    s = getattr(_local, 'stack', None)
    if s is None:
        s = _local.stack = []
    return s


class Stream:
    null = None  # set below
    ptds = None

    def __init__(self, null=False, non_blocking=False, ptds=False, priority=None):
        self.non_blocking = bool(non_blocking) and not null and not ptds
        self.device_id = 0
        if null:
            self.ptr, self._q = 0, _LEGACY
        elif ptds:
            self.ptr, self._q = 2, None
        else:
            self.ptr = next(_handles)
            self._q = _Queue(blocking=not self.non_blocking)
            _by_handle[self.ptr] = self._q

    @property
    def _queue(self):
        return self._q if self._q is not None else _ptds_queue()

    def __enter__(self):
        _stack().append(self)
        return self

    def __exit__(self, *exc):
        _stack().pop()
        return False

    def use(self):
        _local.current = self
        return self

    def synchronize(self):
        from .. import _counting
        _counting.sync()
        _drain(self._queue)

    @property
    def done(self):
        return not self._queue.items

    def record(self, event=None):
        event = Event() if event is None else event
        event.record(self)
        return event

    def wait_event(self, event):
        # Waiting on an event that was never recorded is a no-op, as in CUDA.
        if event._queue is not None:
            with _lock:
                _push(self._queue, None, (event._queue, event._seq))

    def launch_host_func(self, callback, arg):
        _enqueue(self._queue, lambda: callback(arg))

    def __eq__(self, other):
        return isinstance(other, Stream) and other.ptr == self.ptr

    def __hash__(self):
        return hash(('Stream', self.ptr))

    def __repr__(self):
        return '<Stream %d (device 0)>' % self.ptr


Stream.null = Stream(null=True)
Stream.ptds = Stream(ptds=True)


class ExternalStream(Stream):
    def __init__(self, ptr, device_id=-1):
        self.ptr = int(ptr)
        self.non_blocking = False
        self.device_id = 0
        self._q = None if self.ptr == 2 else queue_for_handle(self.ptr)


def get_current_stream(device_id=-1):
    s = _stack()
    if s:
        return s[-1]
    current = getattr(_local, 'current', None)
    if current is not None:
        return current
    return Stream.ptds if PER_THREAD_DEFAULT else Stream.null


class Event:
    def __init__(self, block=False, disable_timing=False, interprocess=False):
        self.ptr = next(_handles)
        self.disable_timing = disable_timing
        self._time = None
        self._queue = None
        self._seq = 0

    def record(self, stream=None):
        stream = Stream.null if stream is None else stream  # CuPy's default: the null stream, not the current one
        self._queue = stream._queue
        self._seq = _enqueue(self._queue, _nothing)
        self._time = time.perf_counter()

    def synchronize(self):
        from .. import _counting
        _counting.sync()
        if self._queue is not None:
            _drain(self._queue, self._seq)

    @property
    def done(self):
        q = self._queue
        return q is None or not q.items or q.items[0][0] > self._seq


def get_elapsed_time(start_event, end_event):
    """Milliseconds between two recorded events."""
    for ev in (start_event, end_event):
        if ev._time is None or ev.disable_timing:
            raise runtime.CUDARuntimeError(runtime.cudaErrorInvalidResourceHandle)
    return (end_event._time - start_event._time) * 1000.0


# ---- what the rest of the stand-in calls --------------------------------

def enqueue(fn, stream=None):
    """Runs fn when the stream (the current one by default) gets to it."""
    _enqueue((get_current_stream() if stream is None else stream)._queue, fn)


standin_enqueue = enqueue  # for tests that put host work of their own on a stream


def run_queued(stream=None):
    """Completes what work issued now on the stream would be ordered after.

    Operations the stand-in computes at once call this first, so that they see
    their own stream's earlier work and nothing that is not ordered before it.
    """
    if not _busy:
        return
    q = (get_current_stream() if stream is None else stream)._queue
    with _lock:
        _drain(q, _enqueue(q, _nothing))


def run_queued_legacy():
    """run_queued for the legacy default stream (where torch runs its work)."""
    if _busy:
        with _lock:
            _drain(_LEGACY, _enqueue(_LEGACY, _nothing))


def ordered_with_legacy(stream=None):
    """Whether work on the stream is ordered with the legacy default stream without an event."""
    q = (get_current_stream() if stream is None else stream)._queue
    return q.legacy or q.blocking


def retire(memory):
    """Keeps dropped device memory while queued work might still reach it."""
    if _busy:
        _retired.append(memory)


def synchronize_device():
    """cudaDeviceSynchronize: everything queued anywhere runs."""
    with _lock:
        while _busy:
            _drain(next(iter(_busy)))
