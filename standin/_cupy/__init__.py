"""CPU stand-in for the ``cupy`` package (test code; see ``standin``).

Loaded under the name ``cupy`` by ``standin.install()``.  Names not defined
here are taken from NumPy, with results moved onto the stand-in device.
"""

import builtins
import sys

import numpy as np

from . import _core
from ._core import ndarray, device_view, forward, to_device, poison, copy_of, IndexProxy, ObjectProxy
from . import _counting
from ._counting import counting
from ._kernel import RawKernel, RawModule
from . import cuda, linalg, random, fft, testing
from .cuda import stream as _stream

__version__ = '14.2.0'  # the CuPy whose API standin/api_manifest.json holds
__quorvex_standin__ = True

newaxis = None
inf = np.inf
nan = np.nan
pi = np.pi
e = np.e


def is_available():
    return True


def get_array_module(*args):
    for a in args:
        if isinstance(a, ndarray):
            return sys.modules[__name__]
    return np


def _from_cuda_array_interface(obj):
    cai = obj.__cuda_array_interface__
    shape = tuple(cai['shape'])
    dt = np.dtype(cai['typestr'])
    strides = cai.get('strides')
    ptr = cai['data'][0]
    if strides is None:
        span = int(np.prod(shape, dtype=np.int64)) * dt.itemsize
    else:
        # builtins: cupy.sum / cupy.all, once read, are names of this module too
        span = (dt.itemsize + builtins.sum((n - 1) * s for n, s in zip(shape, strides))) if builtins.all(shape) else 0
    buf = np.asarray(_core._RawBuffer(ptr, span, obj, readonly=cai['data'][1]))
    return device_view(np.ndarray(shape, dt, buffer=buf, strides=strides))


def _from_torch(t, ordered=False):
    """Device array of a tensor: a copy of a CPU tensor, the memory of a "CUDA" one.

    torch's work runs at once on what stands for the legacy default stream.
    Imported without a handshake (``__cuda_array_interface__`` carries no
    stream from torch) on a stream not ordered with that one, the array must
    not see torch's results before its stream is ordered after torch's: it gets
    them by a copy queued on the legacy default stream.  Otherwise, as on the
    GPU, the tensor's memory is shared.
    """
    from standin import _torch
    if _torch.cuda_ordinal(t) is None:
        return _upload(np.array(_torch.host_view(t), copy=True))  # host to device, as CuPy does
    if t.requires_grad:
        raise RuntimeError("Can't get __cuda_array_interface__ on Variable that requires grad. "
                           'If gradients aren\'t required, use var.detach() to get Variable '
                           "that doesn't require grad.")
    view = _core.retiring(_torch.host_view(t))
    if ordered or cuda.stream.ordered_with_legacy():
        return device_view(view)
    late = poison(_core.retiring(np.empty_like(view)))
    cuda.stream.enqueue(lambda: np.copyto(late, view), cuda.Stream.null)
    return device_view(late)


def from_dlpack(x, *, device=None, copy=None):
    """Device array sharing the memory of a DLPack producer, ordered after its stream."""
    if isinstance(x, ndarray):
        return device_view(x._mem)
    tensor_type = _core.torch_tensor_type()
    if tensor_type is not None and isinstance(x, tensor_type):
        from standin import _torch
        if _torch.cuda_ordinal(x) is None:
            raise BufferError('from_dlpack: the tensor is on the CPU (DLPack device kDLCPU); '
                              'CuPy imports device memory only')
        # torch makes the stream CuPy passes wait for its current stream.
        current = cuda.get_current_stream()
        if current.ptr != 0:
            current.wait_event(cuda.Stream.null.record())
        return _from_torch(x, ordered=True)
    raise TypeError('from_dlpack: %s is not a device DLPack producer' % type(x).__name__)


def asarray(a, dtype=None, order=None, *, blocking=False):
    """Device array from ``a``; device input with a matching dtype is returned as is."""
    if isinstance(a, ndarray):
        if dtype is None or np.dtype(dtype) == a.dtype:
            if order in ('C', 'F') and not a.flags[order + '_CONTIGUOUS']:
                return copy_of(a, order=order)
            return a
        return a.astype(dtype, order=order or 'K')
    tensor_type = _core.torch_tensor_type()
    if tensor_type is not None and isinstance(a, tensor_type):
        out = _from_torch(a)
    elif hasattr(type(a), '__cuda_array_interface__') or hasattr(a, '__cuda_array_interface__'):
        out = _from_cuda_array_interface(a)
    else:
        # Host data is copied, as a host-to-device transfer would.
        if type(a) in (list, tuple) and _core.has_device(a):  # device scalars: gathered on the device
            return _core.deferred(np.array, (a,), {'dtype': dtype, 'order': order or 'K'})
        return _upload(np.array(a, dtype=dtype, order=order or 'K', copy=True), blocking)
    if dtype is not None and np.dtype(dtype) != out.dtype:
        out = out.astype(dtype)
    return out


def _upload(host, blocking=False):
    """A host-to-device copy: queued on the current stream, or done before returning (blocking)."""
    _counting.upload(host.nbytes)
    if blocking and host.size and not host.dtype.hasobject:
        return _core.device_view(_core.retiring(host))
    return to_device(host)


def _filled(host):
    _counting.launch()
    return to_device(host)


def asanyarray(a, dtype=None, order=None):
    return asarray(a, dtype, order)


def array(obj, dtype=None, copy=True, order='K', subok=False, ndmin=0, *, blocking=False):
    if not copy:
        a = asarray(obj, dtype)
        return a if a.ndim >= ndmin else a.reshape((1,) * (ndmin - a.ndim) + a.shape)
    if isinstance(obj, (np.ndarray, list, tuple)) or np.isscalar(obj):
        if type(obj) in (list, tuple) and _core.has_device(obj):  # device scalars: gathered on the device
            return _core.deferred(np.array, (obj,), {'dtype': dtype, 'order': order, 'ndmin': ndmin})
        return _upload(np.array(_core.unwrap(obj), dtype=dtype, copy=True, order=order, ndmin=ndmin))
    a = asarray(obj)
    if a.ndim < ndmin:
        a = a.reshape((1,) * (ndmin - a.ndim) + a.shape)
    return copy_of(a, dtype=dtype, order=order)


def ascontiguousarray(a, dtype=None):
    a = asarray(a)
    if a.flags.c_contiguous and (dtype is None or np.dtype(dtype) == a.dtype):
        return a
    return copy_of(a, dtype=dtype, order='C')


def asfortranarray(a, dtype=None):
    a = asarray(a)
    if a.flags.f_contiguous and (dtype is None or np.dtype(dtype) == a.dtype):
        return a
    return copy_of(a, dtype=dtype, order='F')


def asnumpy(a, stream=None, order='C', out=None, *, blocking=True):
    """Host copy of a device array; host input comes back as numpy.asarray would give it."""
    if isinstance(a, ndarray):
        return a.get(stream=stream, order=order, out=out)
    tensor_type = _core.torch_tensor_type()
    if tensor_type is not None and isinstance(a, tensor_type):
        from standin import _torch
        a = _torch.host_view(a)
    host = np.asarray(a, order=order)
    if out is not None:
        out[...] = host
        return out
    return host


def empty(shape, dtype=float, order='C'):
    return device_view(poison(_core.retiring(np.empty(shape, dtype=dtype, order=order))))


def empty_like(prototype, dtype=None, order='K', subok=None, shape=None):
    return device_view(poison(_core.retiring(np.empty_like(_core.unwrap(prototype), dtype=dtype,
                                                           order=order, shape=shape))))


def zeros(shape, dtype=float, order='C'):
    return _filled(np.zeros(shape, dtype=dtype, order=order))


def ones(shape, dtype=float, order='C'):
    return _filled(np.ones(shape, dtype=dtype, order=order))


def full(shape, fill_value, dtype=None, order='C'):
    _core.refuse_host((fill_value,), 'full')
    if isinstance(fill_value, ndarray):  # filled from device memory when the stream gets there
        return _core.deferred(np.full, (shape, fill_value), {'dtype': dtype, 'order': order})
    return _filled(np.full(shape, fill_value, dtype=dtype, order=order))


def _like(np_fn, what):
    # CuPy reads only shape, dtype and layout from the prototype, so a host
    # array is a valid prototype here.
    def like(prototype, *args, **kwargs):
        return _filled(np_fn(_core.unwrap(prototype), *_core.unwrap(args), **kwargs))
    like.__name__ = what
    return like


zeros_like = _like(np.zeros_like, 'zeros_like')
ones_like = _like(np.ones_like, 'ones_like')
full_like = _like(np.full_like, 'full_like')


def arange(start, stop=None, step=1, dtype=None):
    if stop is None:
        return _filled(np.arange(start, step=step, dtype=dtype))
    return _filled(np.arange(start, stop, step, dtype=dtype))


concatenate = forward(np.concatenate)
stack = forward(np.stack)
vstack = forward(np.vstack)
hstack = forward(np.hstack)
dstack = forward(np.dstack)
where = forward(np.where)
argsort = forward(np.argsort)
clip = forward(np.clip)

mgrid = IndexProxy(np.mgrid, 'mgrid')
ogrid = IndexProxy(np.ogrid, 'ogrid')
r_ = IndexProxy(np.r_, 'r_')
c_ = IndexProxy(np.c_, 'c_')
s_ = np.s_
index_exp = np.index_exp


def fuse(*args, **kwargs):
    """Kernel fusion is an optimisation only; the function runs as written."""
    if len(args) == 1 and callable(args[0]) and not kwargs:
        return args[0]
    return lambda f: f


def get_default_memory_pool():
    return cuda.memory._DEFAULT_POOL


def get_default_pinned_memory_pool():
    return cuda.memory._DEFAULT_PINNED_POOL


def __getattr__(name):
    if name.startswith('__'):
        raise AttributeError(name)
    try:
        value = getattr(np, name)
    except AttributeError:
        raise AttributeError("module 'cupy' has no attribute %r" % name) from None
    value = _core.forward_attr(value, name)
    globals()[name] = value
    return value
