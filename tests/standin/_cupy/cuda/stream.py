"""Stand-in for ``cupy.cuda.stream``.

Work runs synchronously on the host, so streams only need to keep their
bookkeeping (handles, the current-stream stack) and events only timestamps.
"""

import itertools
import threading
import time

from . import runtime

_handles = itertools.count(0x5000)
_local = threading.local()


def _stack():
    s = getattr(_local, 'stack', None)
    if s is None:
        s = _local.stack = []
    return s


class Stream:
    null = None  # set below

    def __init__(self, null=False, non_blocking=False, ptds=False, priority=None):
        self.ptr = 0 if null else (1 if ptds else next(_handles))
        self.non_blocking = non_blocking
        self.device_id = 0

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
        pass

    @property
    def done(self):
        return True

    def record(self, event=None):
        event = Event() if event is None else event
        event.record(self)
        return event

    def wait_event(self, event):
        pass

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


def get_current_stream(device_id=-1):
    s = _stack()
    if s:
        return s[-1]
    return getattr(_local, 'current', None) or Stream.null


class Event:
    def __init__(self, block=False, disable_timing=False, interprocess=False):
        self.ptr = next(_handles)
        self.disable_timing = disable_timing
        self._time = None

    def record(self, stream=None):
        self._time = time.perf_counter()

    def synchronize(self):
        pass

    @property
    def done(self):
        return True


def get_elapsed_time(start_event, end_event):
    """Milliseconds between two recorded events."""
    for ev in (start_event, end_event):
        if ev._time is None or ev.disable_timing:
            raise runtime.CUDARuntimeError(runtime.cudaErrorInvalidResourceHandle)
    return (end_event._time - start_event._time) * 1000.0
