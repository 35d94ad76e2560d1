"""The stand-in device array and the plumbing that keeps results on the device.

Device memory is host memory here; what the stand-in keeps from CuPy is the
boundary: a device array is a distinct type, operations on device arrays give
device arrays, and host arrays are refused where CuPy refuses them, so code that
forgets a transfer fails in the tests as it would on a GPU.
"""

import numbers
import sys
import weakref

import numpy as np

_PYTHON_SCALARS = (bool, int, float, complex)


class ndarray(np.ndarray):
    """Device array: host memory behind CuPy's ndarray interface."""

    def __new__(cls, shape, dtype=float, memptr=None, strides=None, order='C'):
        if memptr is None:
            if strides is not None:
                raise NotImplementedError('the stand-in allocates only default strides')
            arr = np.ndarray.__new__(cls, shape, dtype, order=order)
            poison(arr)
            return arr
        dt = np.dtype(dtype)
        shape = (shape,) if isinstance(shape, numbers.Integral) else tuple(shape)
        if strides is None:
            span = int(np.prod(shape, dtype=np.int64)) * dt.itemsize
        else:
            span = dt.itemsize + sum((n - 1) * abs(s) for n, s in zip(shape, strides)) if all(shape) else 0
        mem = getattr(memptr, 'mem', None)
        size = getattr(mem, 'size', None)
        if size is not None and memptr.ptr + span > mem.ptr + size:
            raise ValueError('memptr does not hold %d bytes' % span)
        buf = np.asarray(_RawBuffer(memptr.ptr, span, memptr))
        return np.ndarray.__new__(cls, shape, dt, buffer=buf, strides=strides, order=order)

    def __array_finalize__(self, obj):
        account(self)

    # ---- CuPy's own attributes --------------------------------------------

    @property
    def device(self):
        from .cuda.device import Device
        return Device(0)

    @property
    def data(self):
        from .cuda.memory import MemoryPointer, _HostMemory
        ptr = self.__array_interface__['data'][0]
        return MemoryPointer(_HostMemory(ptr, self.nbytes, self), 0)

    def get(self, stream=None, order='C', out=None, blocking=True):
        host = self.view(np.ndarray)
        if out is not None:
            if not isinstance(out, np.ndarray) or isinstance(out, ndarray):
                raise TypeError('out must be a numpy.ndarray')
            if out.shape != self.shape or out.dtype != self.dtype:
                raise ValueError('out has shape %s dtype %s, need %s %s'
                                 % (out.shape, out.dtype, self.shape, self.dtype))
            out[...] = host
            return out
        return np.array(host, order=order, copy=True)

    def set(self, arr, stream=None):
        if not isinstance(arr, np.ndarray) or isinstance(arr, ndarray):
            raise TypeError('set() takes a numpy.ndarray, got %s' % type(arr).__name__)
        if arr.shape != self.shape:
            raise ValueError('shape mismatch: %s into %s' % (arr.shape, self.shape))
        if arr.dtype != self.dtype:
            raise TypeError('dtype mismatch: %s into %s' % (arr.dtype, self.dtype))
        self.view(np.ndarray)[...] = arr

    def __repr__(self):
        return repr(self.view(np.ndarray))

    def __str__(self):
        return str(self.view(np.ndarray))

    # CuPy indexing never leaves the device: a single element is a 0-d array.
    def __getitem__(self, key):
        r = np.ndarray.__getitem__(self, key)
        if isinstance(r, np.generic):
            return np.asarray(r).view(ndarray)
        return r

    # These C methods build their results as host arrays or NumPy scalars.
    def argmax(self, *args, **kwargs):
        return wrap(np.ndarray.argmax(self, *args, **kwargs))

    def argmin(self, *args, **kwargs):
        return wrap(np.ndarray.argmin(self, *args, **kwargs))

    def trace(self, *args, **kwargs):
        return wrap(np.ndarray.trace(self, *args, **kwargs))

    def nonzero(self):
        return wrap(np.ndarray.nonzero(self))

    def searchsorted(self, v, side='left', sorter=None):
        return np.searchsorted(self, v, side=side, sorter=sorter)

    def round(self, decimals=0, out=None):
        # ndarray.round builds its intermediate on the host; go through np.round.
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
        if outs is not None:
            outs = outs if isinstance(outs, tuple) else (outs,)
            for o in outs:
                if o is not None and not isinstance(o, ndarray):
                    raise TypeError('%s: out= must be a device array, got %s' % (what, type(o).__name__))
            kwargs['out'] = tuple(unwrap(o) for o in outs)
        if 'where' in kwargs and not isinstance(kwargs['where'], (bool, np.bool_)):
            if not _operand_ok(kwargs['where'], what):
                return NotImplemented
            kwargs['where'] = unwrap(kwargs['where'])
        result = getattr(ufunc, method)(*(unwrap(x) for x in inputs), **kwargs)
        if method == 'at':
            return None
        if outs is None:
            return wrap(result)
        if len(outs) == 1:
            return outs[0] if outs[0] is not None else wrap(result)
        return tuple(o if o is not None else wrap(r) for o, r in zip(outs, result))

    def __array_function__(self, func, types, args, kwargs):
        refuse_host(args, func.__name__)
        refuse_host(tuple(kwargs.values()), func.__name__)
        result = func(*unwrap(args), **{k: unwrap(v) for k, v in kwargs.items()})
        out = kwargs.get('out')
        if isinstance(out, ndarray):
            return out
        return wrap(result)

    def __array_wrap__(self, arr, context=None, return_scalar=False):
        return arr.view(ndarray) if isinstance(arr, np.ndarray) else arr


ndarray.__module__ = 'cupy'


class _Ledger:
    """Bytes of host memory that device arrays hold, for the memory pool's statistics."""

    used = 0
    peak = 0
    owners = {}


def _release(key):
    _Ledger.used -= _Ledger.owners.pop(key)


def account(arr):
    """Count the memory behind a device array once, until the array owning it is freed.

    Memory owned by something else (a torch tensor, a raw pointer) is not the
    device's to count, as CuPy's pool does not see a tensor's memory either.
    """
    root = arr
    while isinstance(root.base, np.ndarray):
        root = root.base
    if not root.flags.owndata:
        return
    key = id(root)
    if key in _Ledger.owners:
        return
    _Ledger.owners[key] = root.nbytes
    _Ledger.used += root.nbytes
    _Ledger.peak = max(_Ledger.peak, _Ledger.used)
    weakref.finalize(root, _release, key)


class _RawBuffer:
    """Exposes foreign memory to NumPy while keeping its owner alive."""

    def __init__(self, ptr, nbytes, owner, readonly=False):
        self.__array_interface__ = {
            'data': (int(ptr), bool(readonly)),
            'shape': (int(nbytes),),
            'typestr': '|u1',
            'version': 3,
        }
        self._owner = owner


def poison(arr):
    """Fill fresh, uninitialised device memory with 0xFF bytes.

    numpy.empty often hands out zeroed pages, which would hide a kernel that
    leaves part of its output unwritten; on the device such memory holds
    garbage.  All-ones bytes read as NaN for floats and -1 / max for integers.
    """
    if arr.size == 0 or arr.dtype.hasobject or arr.dtype == np.bool_:
        return arr
    flat = arr.view(np.ndarray).ravel(order='K')
    if flat.base is None and arr.size > 1:  # ravel copied: not one dense block
        arr.view(np.ndarray)[...] = np.frombuffer(b'\xff' * arr.dtype.itemsize, arr.dtype)[0]
        return arr
    flat.view(np.uint8).fill(0xFF)
    return arr


def is_host_array(x):
    return isinstance(x, np.ndarray) and not isinstance(x, ndarray) and x.ndim > 0


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
        return x.view(np.ndarray)
    t = type(x)
    if t is list or t is tuple:
        return t(unwrap(v) for v in x)
    return x


def wrap(r):
    t = type(r)
    if t is np.ndarray:
        return r.view(ndarray)
    if isinstance(r, np.generic):
        return np.asarray(r).view(ndarray)
    if t is list or t is tuple:
        return t(wrap(v) for v in r)
    if isinstance(r, tuple) and hasattr(r, '_fields'):
        return t(*(wrap(v) for v in r))
    return r


def to_device(a):
    """View a freshly made host array as a device array (no copy)."""
    return a.view(ndarray)


def forward(fn, what=None, allow_host=False):
    """Wrap a NumPy callable so that it refuses host arrays and returns device arrays."""
    what = what or getattr(fn, '__name__', 'function')

    def call(*args, **kwargs):
        if not allow_host:
            refuse_host(args, what)
            refuse_host(tuple(kwargs.values()), what)
        return wrap(fn(*args, **kwargs))

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
        return wrap(getattr(self._uf, method)(*args, **kwargs))

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
        return wrap(self._obj[unwrap(key)])

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
