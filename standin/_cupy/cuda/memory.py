"""Stand-in for ``cupy.cuda.memory``: pointers into host memory, and pools with nothing to pool."""

import numpy as np


class _HostMemory:
    """Plays cupy.cuda.Memory: a block of bytes, kept alive by ``owner``."""

    def __init__(self, ptr, size, owner):
        self.ptr = int(ptr)
        self.size = int(size)
        self.device_id = 0
        self._owner = owner


class MemoryPointer:
    def __init__(self, mem, offset):
        self.mem = mem
        self.ptr = mem.ptr + int(offset)
        self.device_id = 0

    @property
    def device(self):
        from .device import Device
        return Device(0)

    def __int__(self):
        return self.ptr

    def __add__(self, offset):
        return MemoryPointer(self.mem, self.ptr - self.mem.ptr + int(offset))

    def __repr__(self):
        return '<MemoryPointer 0x%x>' % self.ptr


def alloc(size):
    block = np.empty(max(int(size), 1), np.uint8)
    block.fill(0xFF)
    return MemoryPointer(_HostMemory(block.ctypes.data, size, block), 0)


class MemoryPool:
    """Nothing is pooled: used bytes are what live device arrays hold. Total bytes
    are what CuPy's pool would hold, which keeps the blocks it once handed out until
    ``free_all_blocks``: the most used since then.

    ``standin_peak_bytes`` and ``standin_reset_peak`` are the stand-in's own, for tests that
    measure how much device memory a piece of work holds at once.
    """

    def __init__(self, allocator=None):
        self._limit = 0

    def malloc(self, size):
        return alloc(size)

    def used_bytes(self):
        from .._core import _Ledger
        return _Ledger.used

    def total_bytes(self):
        from .._core import _Ledger
        return _Ledger.held

    def standin_peak_bytes(self):
        from .._core import _Ledger
        return _Ledger.peak

    def standin_reset_peak(self):
        from .._core import _Ledger
        _Ledger.peak = _Ledger.used

    def free_bytes(self):
        return 0

    def n_free_blocks(self):
        return 0

    def free_all_blocks(self, stream=None):
        from .._core import _Ledger
        _Ledger.held = _Ledger.used

    def set_limit(self, size=None, fraction=None):
        self._limit = int(size or 0)

    def get_limit(self):
        return self._limit


class PinnedMemoryPool:
    def __init__(self, allocator=None):
        pass

    def n_free_blocks(self):
        return 0

    def free_all_blocks(self):
        pass


_DEFAULT_POOL = MemoryPool()
_DEFAULT_PINNED_POOL = PinnedMemoryPool()
_allocator = _DEFAULT_POOL.malloc


def set_allocator(allocator=None):
    global _allocator
    _allocator = allocator or _DEFAULT_POOL.malloc


def get_allocator():
    return _allocator


def set_pinned_memory_allocator(allocator=None):
    pass
