"""Counts of what a GPU would do for the work issued while counting.

On a GPU the package's per-call cost is dominated by host overhead: a kernel
launch (a RawKernel, or any CuPy operation that makes new data: arithmetic,
reductions, copies, fills, conversions, gathers), a synchronisation (an
explicit one, or an implicit one: a host read such as ``get``, ``asnumpy``,
``item`` or a scalar conversion, or an operation whose result size depends on
the data, such as ``nonzero``, one-argument ``where``, ``argsort`` or boolean
indexing) and host-device transfers.  The stand-in records them as they are
issued, for every ``Counts`` currently open.
"""

import collections
import contextlib
import threading

_active = []
_local = threading.local()


class Counts:
    """Launches, synchronisations and transfers (with bytes) counted so far; kernels
    holds the launches of each RawKernel by name."""

    _FIELDS = ('launches', 'syncs', 'uploads', 'upload_bytes', 'downloads', 'download_bytes')
    __slots__ = _FIELDS + ('kernels',)

    def __init__(self):
        for name in self._FIELDS:
            setattr(self, name, 0)
        self.kernels = collections.Counter()

    def as_dict(self):
        return {name: getattr(self, name) for name in self._FIELDS}

    def __repr__(self):
        return ('Counts(launches=%d, syncs=%d, uploads=%d (%d B), downloads=%d (%d B))'
                % (self.launches, self.syncs, self.uploads, self.upload_bytes,
                   self.downloads, self.download_bytes))


def _on():
    return _active and not getattr(_local, 'paused', 0)


def launch(kernel=None):
    if _on():
        for c in _active:
            c.launches += 1
            if kernel is not None:
                c.kernels[kernel] += 1


def sync():
    if _on():
        for c in _active:
            c.syncs += 1


def upload(nbytes):
    if _on():
        for c in _active:
            c.uploads += 1
            c.upload_bytes += int(nbytes)


def download(nbytes):
    """A device-to-host read: a transfer and the synchronisation it waits for."""
    if _on():
        for c in _active:
            c.downloads += 1
            c.download_bytes += int(nbytes)
            c.syncs += 1


@contextlib.contextmanager
def counting():
    """Counts what is issued inside the block (on any thread); yields the Counts."""
    c = Counts()
    _active.append(c)
    try:
        yield c
    finally:
        _active.remove(c)


@contextlib.contextmanager
def paused():
    """Work inside the block (the stand-in's own bookkeeping) is not counted."""
    _local.paused = getattr(_local, 'paused', 0) + 1
    try:
        yield
    finally:
        _local.paused -= 1
