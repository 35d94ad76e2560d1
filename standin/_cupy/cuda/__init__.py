"""Stand-in for ``cupy.cuda``: one device (ordinal 0) that is the host CPU."""

from . import runtime, driver, compiler, device, stream, memory
from .device import Device, get_device_id
from .stream import Stream, ExternalStream, Event, get_current_stream, get_elapsed_time
from .memory import (MemoryPointer, MemoryPool, PinnedMemoryPool, alloc, set_allocator,
                     get_allocator, set_pinned_memory_allocator)


def is_available():
    return True


def get_local_runtime_version():
    return runtime.runtimeGetVersion()
