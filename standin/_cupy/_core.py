"""The stand-in device array and the plumbing that keeps results on the device.

Device memory is host memory here; what the stand-in keeps from CuPy is the
boundary: a device array is a distinct type, not a NumPy array, that NumPy,
OpenCV or torch refuse to read as host data; operations on device arrays give
device arrays, and host arrays are refused where CuPy refuses them, so code that
forgets a transfer fails in the tests as it would on a GPU.

It also keeps CuPy's stream ordering (see ``cuda.stream``): every operation on
device arrays (arithmetic, comparisons, reductions, indexing, ``take``,
``concatenate``, ``where``, copies, fills, conversions) is queued on the current
stream like a kernel and reads its inputs only when the stream gets to it (see
``deferred``).  Only what CuPy itself reads back runs the stream's work at
once: host reads, and operations whose result size depends on the data.
"""

import numbers
import sys
import weakref

import numpy as np
from numpy.lib.array_utils import byte_bounds as _byte_bounds

from . import _counting
from .cuda import stream as _stream

_PYTHON_SCALARS = (bool, int, float, complex)


_IMPLICIT = ('Implicit conversion to a NumPy array is not allowed. '
             'Please use `.get()` to construct a NumPy array explicitly.')


class ndarray(np.lib.mixins.NDArrayOperatorsMixin):
    """Device array: host memory behind CuPy's ndarray interface.

    Not a numpy.ndarray: NumPy, OpenCV or torch reading it as host data would
    be a missing transfer on a GPU, so every implicit conversion is refused as
    CuPy refuses it.  The memory is held as a private NumPy view (``_mem``);
    operators, ufuncs and NumPy functions reach it through NumPy's dispatch
    protocols and give device arrays.
    """

    __slots__ = ('_mem', '_base', '__weakref__')

    def __init__(self, shape, dtype=float, memptr=None, strides=None, order='C'):
        if memptr is None:
            if strides is not None:
                raise NotImplementedError('the stand-in allocates only default strides')
            mem = poison(retiring(np.empty(shape, dtype, order=order)))
        else:
            dt = np.dtype(dtype)
            shape = (shape,) if isinstance(shape, numbers.Integral) else tuple(shape)
            if strides is None:
                span = int(np.prod(shape, dtype=np.int64)) * dt.itemsize
            else:
                span = dt.itemsize + sum((n - 1) * abs(s) for n, s in zip(shape, strides)) if all(shape) else 0
            owner = getattr(memptr, 'mem', None)
            size = getattr(owner, 'size', None)
            if size is not None and memptr.ptr + span > owner.ptr + size:
                raise ValueError('memptr does not hold %d bytes' % span)
            buf = np.asarray(_RawBuffer(memptr.ptr, span, memptr))
            mem = np.ndarray(shape, dt, buffer=buf, strides=strides, order=order)
        self._mem = mem
        self._base = None
        account(mem)

    # ---- what NumPy would convert through (there is no buffer protocol either)

    def __array__(self, dtype=None, copy=None):
        raise TypeError(_IMPLICIT)

    # ---- the array's description ------------------------------------------

    shape = property(lambda self: self._mem.shape)
    dtype = property(lambda self: self._mem.dtype)
    strides = property(lambda self: self._mem.strides)
    ndim = property(lambda self: self._mem.ndim)
    size = property(lambda self: self._mem.size)
    nbytes = property(lambda self: self._mem.nbytes)
    itemsize = property(lambda self: self._mem.itemsize)
    flags = property(lambda self: self._mem.flags)
    T = property(lambda self: self._view(self._mem.T))
    mT = property(lambda self: self._view(self._mem.mT))
    real = property(lambda self: self._view(self._mem.real))
    imag = property(lambda self: wrap(self._mem.imag, (self,)))

    @property
    def base(self):
        """The device array owning the memory of a view (None for the owner), as in CuPy."""
        return self._base

    def _view(self, mem):
        return device_view(mem, self if self._base is None else self._base)

    def __len__(self):
        return len(self._mem)

    # ---- CuPy's own attributes --------------------------------------------

    @property
    def device(self):
        from .cuda.device import Device
        return Device(0)

    @property
    def data(self):
        from .cuda.memory import MemoryPointer, _HostMemory
        return MemoryPointer(_HostMemory(address(self), self.nbytes, self), 0)

    def get(self, stream=None, order='C', out=None, blocking=True):
        _counting.download(self.nbytes)
        _stream.run_queued(stream)
        if out is not None:
            if not isinstance(out, np.ndarray):
                raise TypeError('out must be a numpy.ndarray')
            if out.shape != self.shape or out.dtype != self.dtype:
                raise ValueError('out has shape %s dtype %s, need %s %s'
                                 % (out.shape, out.dtype, self.shape, self.dtype))
            out[...] = self._mem
            return out
        return np.array(self._mem, order=order, copy=True)

    @property
    def __cuda_array_interface__(self):
        # Version 3 names the current stream (1 for the legacy default), as CuPy's does.
        from .cuda.stream import get_current_stream
        stream = get_current_stream().ptr
        return {'shape': self.shape, 'typestr': self.dtype.str, 'descr': self.dtype.descr,
                'data': (address(self), False), 'version': 3,
                'strides': None if self.flags.c_contiguous else self.strides,
                'stream': stream or 1}

    # DLPack: the consumer passes its stream, which is made to wait for the
    # work queued so far on the current stream (the producer's side of CUDA's
    # handshake); the capsule describes the host memory that stands for the device.
    def __dlpack_device__(self):
        return (2, 0)  # kDLCUDA, device 0

    def __dlpack__(self, stream=None, max_version=None, dl_device=None, copy=None):
        from .cuda.stream import Stream, ExternalStream, get_current_stream
        if stream != -1:
            consumer = Stream.null if stream is None else ExternalStream(stream)
            current = get_current_stream()
            if consumer._queue is not current._queue:
                consumer.wait_event(current.record())
        return self._mem.__dlpack__()

    def set(self, arr, stream=None):
        if not isinstance(arr, np.ndarray):
            raise TypeError('set() takes a numpy.ndarray, got %s' % type(arr).__name__)
        if arr.shape != self.shape:
            raise ValueError('shape mismatch: %s into %s' % (arr.shape, self.shape))
        if arr.dtype != self.dtype:
            raise TypeError('dtype mismatch: %s into %s' % (arr.dtype, self.dtype))
        # The host data is taken now (a copy from pageable memory is staged at
        # once); it reaches the device in stream order.
        src, dst = np.array(arr, copy=True), self._mem
        _counting.upload(src.nbytes)
        _stream.enqueue(lambda: np.copyto(dst, src), stream)

    def __repr__(self):
        _stream.run_queued()
        return repr(self._mem)

    def __str__(self):
        _stream.run_queued()
        return str(self._mem)

    # Pickling goes through the host, as CuPy's does.
    def __reduce__(self):
        return _unpickle, (self.get(),)

    # CuPy indexing never leaves the device: a single element is a 0-d array,
    # a view like any other basic index.
    def __getitem__(self, key):
        if _basic_index(key):
            r = self._mem[key]
            if isinstance(r, np.generic):
                r = self._mem[(key if type(key) is tuple else (key,)) + (Ellipsis,)]
            return self._view(r)
        _count_index(key)
        if _mask_index(key):  # the result's size is read back first
            _stream.run_queued()
            return wrap(self._mem[unwrap(key)], (self,))
        return deferred(_gather, (self, taken_now(key)), {})

    def __setitem__(self, key, value):
        _counting.launch()
        if not _basic_index(key):
            _count_index(key, scatter=True)
            key, value = taken_now(key), taken_now(value)
            if not _mask_index(key):  # a mask's selection is known only when it runs
                with _quiet():
                    np.empty_like(self._mem)[_zeroed(key)] = _zeroed(value)
            dst = self._mem
            _stream.enqueue(lambda: _scatter(dst, unwrap(key), unwrap(value)))
            return
        target = self._mem[key]
        if isinstance(target, np.generic):
            target = self._mem[(key if type(key) is tuple else (key,)) + (Ellipsis,)]
        if isinstance(value, ndarray):
            value = value._mem  # read when the copy runs
        elif isinstance(value, np.ndarray):
            value = np.array(value, copy=True)
            if value.ndim:
                _counting.upload(value.nbytes)
        if np.shape(value) != target.shape:
            try:
                np.broadcast_to(np.empty(np.shape(value), np.bool_), target.shape)
            except ValueError:
                raise ValueError('could not broadcast input array from shape %s into shape %s'
                                 % (np.shape(value), target.shape)) from None
        _stream.enqueue(lambda: np.copyto(target, value, casting='unsafe'))

    def __contains__(self, value):
        return bool((self == value).any())

    # Copies and conversions are device kernels: queued.
    def copy(self, order='C'):
        return copy_of(self, order=order)

    def astype(self, dtype, order='K', casting=None, subok=None, copy=True):
        if not copy and np.dtype(dtype) == self.dtype:
            return self
        return copy_of(self, dtype=dtype, order=order)

    def fill(self, value):
        _counting.launch()
        dst = self._mem
        if isinstance(value, ndarray):
            value = value._mem
        _stream.enqueue(lambda: dst.fill(value))

    def __copy__(self):
        return self.copy()

    def __deepcopy__(self, memo):
        return self.copy()

    def __iter__(self):
        if self.ndim == 0:
            raise TypeError('iteration over a 0-d array')
        return (self[i] for i in range(self.shape[0]))

    # In place on the device: queued.
    def sort(self, axis=-1, kind=None):
        _in_place(np.ndarray.sort, self, (axis,), {})

    def partition(self, kth, axis=-1):
        _in_place(np.ndarray.partition, self, (kth, axis), {})

    def put(self, indices, values, mode='wrap'):
        refuse_host((indices, values), 'put')
        _in_place(np.ndarray.put, self, (taken_now(indices), taken_now(values)), {'mode': mode})

    def searchsorted(self, v, side='left', sorter=None):
        return np.searchsorted(self, v, side=side, sorter=sorter)

    def round(self, decimals=0, out=None):
        return np.round(self, decimals, out=out)

    # ---- keeping NumPy's machinery on the device --------------------------

    def __array_ufunc__(self, ufunc, method, *inputs, **kwargs):
        what = ufunc.__name__ if method == '__call__' else '%s.%s' % (ufunc.__name__, method)
        for x in inputs:
            if not _operand_ok(x, what):
                return NotImplemented
        outs = kwargs.get('out')
        if outs is Ellipsis:  # NumPy's "always return an array"
            outs = None
            del kwargs['out']
        if outs is not None:
            outs = outs if isinstance(outs, tuple) else (outs,)
            for o in outs:
                if o is not None and not isinstance(o, ndarray):
                    raise TypeError('%s: out= must be a device array, got %s' % (what, type(o).__name__))
            kwargs['out'] = outs
        if 'where' in kwargs and not isinstance(kwargs['where'], (bool, np.bool_)):
            if not _operand_ok(kwargs['where'], what):
                return NotImplemented
        if method == 'at':
            _in_place(ufunc.at, inputs[0], tuple(taken_now(inputs[1:])), kwargs)
            return None
        return deferred(getattr(ufunc, method), inputs, kwargs)

    def __array_function__(self, func, types, args, kwargs):
        refuse_host(args, func.__name__)
        refuse_host(tuple(kwargs.values()), func.__name__)
        name = func.__name__
        if _sizes_from_data(name, args):
            _counting.sync()
            _stream.run_queued()
            sources = (args, tuple(kwargs.values()))
            return wrap(func(*unwrap(args), **{k: unwrap(v) for k, v in kwargs.items()}), sources)
        if name in _IN_PLACE:
            _in_place(func, args[0], tuple(taken_now(args[1:])), kwargs)
            return None
        return deferred(func, taken_now(args), taken_now(kwargs))


def _unpickle(host):
    _counting.upload(host.nbytes)
    return land(host)


def _reading(name, to_device=True):
    """An ndarray method: queued on the device, or (to_device False) a host read."""
    method = getattr(np.ndarray, name)

    def run(self, *args, **kwargs):
        if not to_device:
            _stream.run_queued()
            _counting.download(self.nbytes)
            return method(self._mem, *args, **kwargs)
        out = kwargs.get('out')
        if out is not None and not isinstance(out, ndarray):
            raise TypeError('%s: out= must be a device array, got %s' % (name, type(out).__name__))
        if _sizes_from_data(name, (self,) + args):
            _counting.sync()
            _stream.run_queued()
            r = method(self._mem, *unwrap(args), **{k: unwrap(v) for k, v in kwargs.items()})
            return wrap(r, (self,))
        return deferred(method, (self,) + taken_now(args), taken_now(kwargs))

    run.__name__ = name
    return run


# NumPy's methods, on the device; the second group reads the data back to the host.
for _name in ('all', 'any', 'argmax', 'argmin', 'argpartition', 'argsort', 'byteswap', 'choose',
              'clip', 'compress', 'conj', 'conjugate', 'cumprod', 'cumsum', 'diagonal', 'dot',
              'flatten', 'max', 'mean', 'min', 'nonzero', 'partition', 'prod', 'ravel', 'repeat',
              'reshape', 'squeeze', 'std', 'sum', 'swapaxes', 'take', 'trace', 'transpose', 'var',
              'view'):
    setattr(ndarray, _name, _reading(_name))
for _name in ('tolist', 'item', 'tobytes', 'tofile', 'dump', 'dumps',
              '__float__', '__int__', '__complex__', '__bool__', '__index__', '__format__'):
    setattr(ndarray, _name, _reading(_name, to_device=False))
del _name

ndarray.__module__ = 'cupy'


def device_view(mem, base=None):
    """The device array over `mem`, memory that stands for device memory (no work, no copy);
    base is the device array owning it, for a view."""
    dev = object.__new__(ndarray)
    dev._mem = mem
    dev._base = base
    account(mem)
    return dev


def address(dev):
    """Address of a device array's first element."""
    return dev._mem.__array_interface__['data'][0]


class _Ledger:
    """Bytes of host memory that device arrays hold, for the memory pool's statistics."""

    used = 0
    peak = 0
    held = 0  # what a caching pool would hold: the most used since its blocks were last freed
    owners = {}


def _release(key):
    _Ledger.used -= _Ledger.owners.pop(key)


def account(arr):
    """Count the memory behind a device array once, until the array owning it is freed.

    Memory owned by something else (a torch tensor, a raw pointer) is not the
    device's to count, as CuPy's pool does not see a tensor's memory either.
    """
    root = arr
    while True:
        base = root.base
        if isinstance(base, _RawBuffer) and isinstance(base._owner, np.ndarray):
            base = base._owner  # memory kept for queued work (see retiring)
        if not isinstance(base, np.ndarray):
            break
        root = base
    if not root.flags.owndata:
        return
    key = id(root)
    if key in _Ledger.owners:
        return
    _Ledger.owners[key] = root.nbytes
    _Ledger.used += root.nbytes
    _Ledger.peak = max(_Ledger.peak, _Ledger.used)
    _Ledger.held = max(_Ledger.held, _Ledger.used)
    weakref.finalize(root, _release, key)


def _basic_index(key):
    """Whether indexing with key makes a view (no data is read)."""
    for k in (key if type(key) is tuple else (key,)):
        if not (k is None or k is Ellipsis or isinstance(k, slice)
                or (isinstance(k, numbers.Integral) and not isinstance(k, (bool, np.bool_)))):
            return False
    return True


# Operations whose result size (or order, for the sorts) depends on the data: CuPy reads
# it back before returning.
_DATA_SIZED = frozenset(('nonzero', 'argwhere', 'flatnonzero', 'unique', 'compress', 'extract',
                         'argsort'))


def _sizes_from_data(name, args):
    return name in _DATA_SIZED or (name == 'where' and len(args) == 1)


def _count_index(key, scatter=False):
    """Counts an advanced index: a gather (or scatter) kernel, host index arrays uploaded,
    and for a boolean mask on a gather, the read-back of the result size."""
    for k in (key if type(key) is tuple else (key,)):
        if isinstance(k, ndarray):
            if k.dtype == np.bool_ and not scatter:
                _counting.sync()
        elif isinstance(k, (np.ndarray, list)):
            _counting.upload(np.asarray(k).nbytes)


def _mask_index(key):
    """Whether an index holds a boolean mask (its selection's size is read back by CuPy)."""
    for k in (key if type(key) is tuple else (key,)):
        if isinstance(k, (ndarray, np.ndarray)) and k.dtype == np.bool_:
            return True
        if type(k) is list and k and all(isinstance(v, (bool, np.bool_)) for v in k):
            return True
    return False


def _gather(mem, key):
    return mem[key]


def _scatter(mem, key, value):
    mem[key] = value


# NumPy functions that change their first argument in place.
_IN_PLACE = frozenset(('copyto', 'put', 'place', 'putmask', 'fill_diagonal', 'put_along_axis'))

# NumPy functions answering from shapes and dtypes alone: no data is read.
_NO_DATA = frozenset(('shape', 'ndim', 'size', 'result_type', 'can_cast', 'min_scalar_type',
                      'may_share_memory', 'shares_memory', 'iscomplexobj', 'isrealobj', 'isscalar',
                      'broadcast_shapes'))


def _quiet():
    """CuPy does not warn about values (0/0, overflow), and a probe reads stale memory."""
    return np.errstate(all='ignore')


def taken_now(x):
    """x with its host arrays copied: CuPy uploads them when it is called."""
    t = type(x)
    if t is np.ndarray:
        return x.copy()
    if t is list or t is tuple:
        return t(taken_now(v) for v in x)
    if t is dict:
        return {k: taken_now(v) for k, v in x.items()}
    return x


def has_device(x):
    """Whether x holds a device array (in lists, tuples and dict values too)."""
    if isinstance(x, ndarray):
        return True
    t = type(x)
    if t is list or t is tuple:
        return any(has_device(v) for v in x)
    if t is dict:
        return any(has_device(v) for v in x.values())
    return False


def _zeroed(x):
    """unwrap, with integer device arrays read as zeros: indices valid whatever the memory holds."""
    if isinstance(x, ndarray):
        return np.zeros(x.shape, x.dtype) if x.dtype.kind in 'iu' else x._mem
    t = type(x)
    if t is list or t is tuple:
        return t(_zeroed(v) for v in x)
    return x


def _leaves(r, found):
    if isinstance(r, (np.ndarray, np.generic)):
        found.append(r)
    elif isinstance(r, (list, tuple)):
        for v in r:
            _leaves(v, found)
    return found


class _Eager(Exception):
    pass


def _build(r, found, slots):
    """The device results standing for a probe's: views of sources, or fresh memory listed in slots."""
    if isinstance(r, (np.ndarray, np.generic)) and not r.dtype.hasobject:
        if type(r) is np.ndarray:
            for mem, base in found:
                if np.may_share_memory(r, mem):
                    slots.append(None)
                    return device_view(r, base)
        dst = poison(retiring(np.empty_like(r) if type(r) is np.ndarray else np.empty((), r.dtype)))
        _counting.launch()
        slots.append(dst)
        return device_view(dst)
    if isinstance(r, tuple) and hasattr(r, '_fields'):
        return type(r)(*(_build(v, found, slots) for v in r))
    if type(r) in (list, tuple):
        return type(r)(_build(v, found, slots) for v in r)
    if r is None:
        return None
    raise _Eager


def deferred(fn, args, kwargs):
    """fn(*args, **kwargs), NumPy's work over device arrays, as a kernel queued on the current stream.

    It runs once now on the memory as it stands (stale, perhaps; integer arrays
    read as zeros where stale indices fail) for what CuPy knows at the call:
    the results' shapes and dtypes, errors, and which results are views.  Views
    stay views; new results are device arrays that the computation fills when
    the stream gets to it, and out= arrays are written then.
    """
    sources = (args, tuple(kwargs.values()))
    if not has_device(sources):
        return wrap(fn(*args, **kwargs), sources)
    outs = kwargs.get('out')
    single = outs is not None and not isinstance(outs, tuple)
    if outs is not None:
        outs = (outs,) if single else outs

    def call(how, scratch=False):
        kw = {k: how(v) for k, v in kwargs.items()}
        if outs is not None:
            o = tuple(None if x is None else np.empty_like(x._mem) if scratch else x._mem for x in outs)
            kw['out'] = o[0] if single else o
        return fn(*how(args), **kw)

    failed = None
    try:
        with _quiet():
            probe = call(unwrap, scratch=True)
    except Exception as error:
        failed = error
    if failed is not None:
        try:
            with _quiet():
                probe = call(_zeroed, scratch=True)
        except Exception:
            raise failed from None
        failed = None  # its traceback holds this frame
    if outs is not None:
        if any(o is None for o in outs):
            raise NotImplementedError('the stand-in needs every out= array given')
        _counting.launch()

        def write():
            with _quiet():
                call(unwrap)
        _stream.enqueue(write)
        return kwargs['out'] if single else outs[0] if len(outs) == 1 else outs

    found = _arrays(sources, [])
    slots = []
    try:
        result = _build(probe, found, slots)
    except _Eager:
        # A host value (a Python bool, say): read from the memory as it is once the stream's work ran.
        if getattr(fn, '__name__', None) in _NO_DATA:
            return probe
        _stream.run_queued()
        return wrap(call(unwrap), sources)

    def run():
        with _quiet():
            r = call(unwrap)
        for dst, value in zip(slots, _leaves(r, [])):
            if dst is not None:
                np.copyto(dst, value, casting='unsafe')

    _stream.enqueue(run)
    return result


def _in_place(fn, target, args, kwargs):
    """fn(target, *args, **kwargs) changing a device array in place, queued on the current stream."""
    if not isinstance(target, ndarray):
        raise TypeError('%s: the array changed in place must be a device array, got %s'
                        % (getattr(fn, '__name__', 'function'), type(target).__name__))
    with _quiet():  # checks what CuPy checks at the call, on a scratch copy
        fn(np.array(target._mem, copy=True), *_zeroed(args), **{k: _zeroed(v) for k, v in kwargs.items()})
    _counting.launch()
    mem = target._mem

    def run():
        with _quiet():
            fn(mem, *unwrap(args), **{k: unwrap(v) for k, v in kwargs.items()})
    _stream.enqueue(run)


def copy_of(a, dtype=None, order='K'):
    """A device copy of a device array, made by a queued kernel on the current stream."""
    _counting.launch()
    src = a._mem
    dst = poison(retiring(np.empty_like(src, dtype=dtype, order=order)))
    _stream.enqueue(lambda: np.copyto(dst, src, casting='unsafe'))
    return device_view(dst)


def land(host, stream=None):
    """A device array that receives a freshly computed host array when the stream gets to it."""
    if host.size == 0 or host.dtype.hasobject:
        return device_view(host)
    dst = poison(retiring(np.empty_like(host)))
    _stream.enqueue(lambda: np.copyto(dst, host), stream)
    return device_view(dst)


def retiring(a):
    """A view of a's memory that, once dropped, keeps it until no queued work can reach it.

    CuPy's pool hands freed memory out again only in stream order, so a kernel
    still queued may read an array its caller has dropped (through a pointer
    table, say); NumPy would free it at once.
    """
    if a.size == 0:
        return a
    lo, hi = _byte_bounds(a)
    buf = np.asarray(_RawBuffer(lo, hi - lo, a))
    return np.ndarray(a.shape, a.dtype, buffer=buf, offset=a.ctypes.data - lo, strides=a.strides)


class _RawBuffer:
    """Exposes foreign memory to NumPy while keeping its owner alive (see retiring)."""

    def __init__(self, ptr, nbytes, owner, readonly=False):
        self.__array_interface__ = {
            'data': (int(ptr), bool(readonly)),
            'shape': (int(nbytes),),
            'typestr': '|u1',
            'version': 3,
        }
        self._owner = owner

    def __del__(self):
        try:
            _stream.retire(self._owner)
        except Exception:  # interpreter shutdown
            pass


def poison(arr):
    """Fill fresh, uninitialised device memory with 0xFF bytes.

    numpy.empty often hands out zeroed pages, which would hide a kernel that
    leaves part of its output unwritten; on the device such memory holds
    garbage.  All-ones bytes read as NaN for floats and -1 / max for integers.
    """
    if arr.size == 0 or arr.dtype.hasobject or arr.dtype == np.bool_:
        return arr
    flat = arr.ravel(order='K')
    if flat.base is None and arr.size > 1:  # ravel copied: not one dense block
        arr[...] = np.frombuffer(b'\xff' * arr.dtype.itemsize, arr.dtype)[0]
        return arr
    flat.view(np.uint8).fill(0xFF)
    return arr


def is_host_array(x):
    return isinstance(x, np.ndarray) and x.ndim > 0


def _host_error(what, x):
    return TypeError(
        '%s: got a numpy.ndarray of shape %s (host memory) where a device array is '
        'needed; CuPy does not convert implicitly, use cupy.asarray() first' % (what, x.shape))


def refuse_host(values, what):
    for v in values:
        if is_host_array(v):
            raise _host_error(what, v)
        if type(v) in (list, tuple):
            refuse_host(v, what)


def _operand_ok(x, what):
    """True for what CuPy's ufuncs take; raises for host arrays and sequences."""
    if (x is None or isinstance(x, ndarray) or isinstance(x, np.generic)
            or isinstance(x, _PYTHON_SCALARS)):
        return True
    if isinstance(x, np.ndarray):
        if x.ndim == 0:
            return True
        raise _host_error(what, x)
    if isinstance(x, (list, tuple)):
        raise TypeError('%s: unsupported operand type %s; CuPy needs device arrays or scalars'
                        % (what, type(x).__name__))
    return False


def unwrap(x):
    if isinstance(x, ndarray):
        return x._mem
    t = type(x)
    if t is list or t is tuple:
        return t(unwrap(v) for v in x)
    return x


def _arrays(x, found):
    if isinstance(x, ndarray):
        found.append((x._mem, x if x._base is None else x._base))
    elif isinstance(x, np.ndarray):
        found.append((x, None))
    elif type(x) in (list, tuple):
        for v in x:
            _arrays(v, found)
    return found


def wrap(r, sources=()):
    """Device arrays of results computed now from `sources`.

    A view of a source stays a view; a new result lands in device memory in
    stream order, as a kernel's output would.
    """
    t = type(r)
    if t is np.ndarray:
        for mem, base in _arrays(sources, []):
            if np.may_share_memory(r, mem):
                return device_view(r, base)
        _counting.launch()
        return land(r)
    if isinstance(r, np.generic):
        _counting.launch()
        return land(np.asarray(r))
    if t is list or t is tuple:
        return t(wrap(v, sources) for v in r)
    if isinstance(r, tuple) and hasattr(r, '_fields'):
        return t(*(wrap(v, sources) for v in r))
    return r


def to_device(a):
    """A device array of a freshly made host array, copied to the device in stream order."""
    return land(a)


def forward(fn, what=None, allow_host=False):
    """Wrap a NumPy callable so that it refuses host arrays and returns device arrays."""
    what = what or getattr(fn, '__name__', 'function')

    def call(*args, **kwargs):
        if not allow_host:
            refuse_host(args, what)
            refuse_host(tuple(kwargs.values()), what)
        # Device arguments reach __array_function__ / __array_ufunc__, which queue the work.
        return wrap(fn(*args, **kwargs), (args, tuple(kwargs.values())))

    call.__name__ = getattr(fn, '__name__', what)
    call.__qualname__ = call.__name__
    call.__doc__ = getattr(fn, '__doc__', None)
    call.__wrapped__ = fn
    return call


class UfuncProxy:
    """A NumPy ufunc seen through the device boundary (CuPy ufuncs are not NumPy's)."""

    def __init__(self, uf):
        self._uf = uf
        self.__name__ = uf.__name__
        self.__doc__ = uf.__doc__

    def _run(self, method, args, kwargs):
        what = self.__name__ if method == '__call__' else '%s.%s' % (self.__name__, method)
        refuse_host(args, what)
        refuse_host(tuple(kwargs.values()), what)
        return wrap(getattr(self._uf, method)(*args, **kwargs), (args, tuple(kwargs.values())))

    def __call__(self, *args, **kwargs):
        return self._run('__call__', args, kwargs)

    def reduce(self, *args, **kwargs):
        return self._run('reduce', args, kwargs)

    def accumulate(self, *args, **kwargs):
        return self._run('accumulate', args, kwargs)

    def reduceat(self, *args, **kwargs):
        return self._run('reduceat', args, kwargs)

    def outer(self, *args, **kwargs):
        return self._run('outer', args, kwargs)

    def at(self, *args, **kwargs):
        self._run('at', args, kwargs)

    def __getattr__(self, name):
        return getattr(self._uf, name)

    def __repr__(self):
        return '<ufunc %r>' % self.__name__


class IndexProxy:
    """mgrid / ogrid / r_ / c_: NumPy index tricks returning device arrays."""

    def __init__(self, obj, what):
        self._obj = obj
        self._what = what

    def __getitem__(self, key):
        keys = key if isinstance(key, tuple) else (key,)
        refuse_host(keys, self._what)
        return deferred(_gather, (self._obj, taken_now(key)), {})

    def __len__(self):
        return len(self._obj)


class ObjectProxy:
    """Wraps an object (a NumPy random Generator, say) so its methods return device arrays."""

    def __init__(self, obj, what):
        object.__setattr__(self, '_obj', obj)
        object.__setattr__(self, '_what', what)

    def __getattr__(self, name):
        attr = getattr(self._obj, name)
        if callable(attr) and not isinstance(attr, type):
            return forward(attr, '%s.%s' % (self._what, name))
        return attr

    def __repr__(self):
        return '<stand-in %s wrapping %r>' % (self._what, self._obj)


def forward_attr(np_value, what):
    """What a CuPy namespace should expose for a NumPy attribute."""
    if isinstance(np_value, np.ufunc):
        return UfuncProxy(np_value)
    if isinstance(np_value, type) or not callable(np_value):
        return np_value
    if type(np_value).__name__ == 'module':
        return np_value
    return forward(np_value, what)


def torch_tensor_type():
    torch = sys.modules.get('torch')
    return getattr(torch, 'Tensor', None) if torch is not None else None
