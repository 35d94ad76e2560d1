"""CUDA devices of a CPU-only torch build, mapped onto the CPU.

The package hands tensors to and from the device; on the stand-in the device is
the host, so a tensor asked for on ``cuda`` / ``cuda:N`` is made on the CPU.
``torch.cuda`` itself is left alone: ``torch.cuda.is_available()`` stays False.

torch's work runs at once, on what stands for its current stream, the legacy
default stream: a tensor made over a stand-in device array sees the array's
work on the streams ordered with that one, and nothing queued elsewhere unless
``torch.from_dlpack`` (which passes torch's stream to ``__dlpack__``) ordered it.
"""

import functools
import sys

_MARK = '_quorvex_standin_wrapped'

_FACTORIES = (
    'as_tensor', 'asarray', 'tensor', 'scalar_tensor', 'empty', 'empty_strided', 'zeros', 'ones',
    'full', 'rand', 'randn', 'randint', 'randperm', 'arange', 'linspace', 'logspace', 'eye',
    'empty_like', 'zeros_like', 'ones_like', 'full_like', 'rand_like', 'randn_like',
    'randint_like',
)
_TENSOR_NEW = ('new_empty', 'new_zeros', 'new_ones', 'new_full', 'new_tensor')


def _is_cuda(torch, device):
    if isinstance(device, str):
        return device == 'cuda' or device.startswith('cuda:')
    if isinstance(device, torch.device):
        return device.type == 'cuda'
    # torch reads a bare int as a CUDA ordinal
    return isinstance(device, int) and not isinstance(device, bool)


def _mark(wrapper, original):
    setattr(wrapper, _MARK, True)
    wrapper.__wrapped__ = original
    return wrapper


def _standin_cupy():
    cupy = sys.modules.get('cupy')
    return cupy if getattr(cupy, '__quorvex_standin__', False) else None


def _reads_device_arrays(args):
    # torch reads a device array it is given with work on its own stream.
    cupy = _standin_cupy()
    if cupy is not None and any(isinstance(a, cupy.ndarray) for a in args):
        cupy.cuda.stream.run_queued_legacy()


def _with_cpu_device(torch, fn):
    # torch's factories take the device by keyword only.
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        if _is_cuda(torch, kwargs.get('device')):
            kwargs['device'] = 'cpu'
        _reads_device_arrays(args)
        return fn(*args, **kwargs)
    return _mark(wrapper, fn)


def _from_dlpack(torch, fn):
    @functools.wraps(fn)
    def from_dlpack(ext_tensor, *args, **kwargs):
        cupy = _standin_cupy()
        if cupy is None or not isinstance(ext_tensor, cupy.ndarray):
            return fn(ext_tensor, *args, **kwargs)
        # As torch does for a CUDA producer: its current stream (the legacy
        # default, handle 1) is passed so that the producer orders it.
        ext_tensor.__dlpack__(stream=1)
        cupy.cuda.stream.run_queued_legacy()
        import numpy as np
        return torch.from_numpy(ext_tensor.view(np.ndarray))
    return _mark(from_dlpack, fn)


def _to_cpu_first(torch, fn):
    # Tensor.to / Module.to: the device may come first, positionally.
    @functools.wraps(fn)
    def to(self, *args, **kwargs):
        if args and _is_cuda(torch, args[0]):
            args = ('cpu',) + args[1:]
        if _is_cuda(torch, kwargs.get('device')):
            kwargs['device'] = 'cpu'
        return fn(self, *args, **kwargs)
    return _mark(to, fn)


def _patch(owner, name, make):
    fn = getattr(owner, name, None)
    if fn is None or getattr(fn, _MARK, False):
        return
    setattr(owner, name, make(fn))


def apply(torch):
    """Map CUDA devices onto the CPU (once; later calls change nothing)."""
    for name in _FACTORIES:
        _patch(torch, name, lambda fn: _with_cpu_device(torch, fn))
    for name in _TENSOR_NEW:
        _patch(torch.Tensor, name, lambda fn: _with_cpu_device(torch, fn))
    _patch(torch, 'from_numpy', lambda fn: _with_cpu_device(torch, fn))
    _patch(torch, 'from_dlpack', lambda fn: _from_dlpack(torch, fn))
    _patch(torch.utils.dlpack, 'from_dlpack', lambda fn: _from_dlpack(torch, fn))
    _patch(torch.Tensor, 'to', lambda fn: _to_cpu_first(torch, fn))
    _patch(torch.nn.Module, 'to', lambda fn: _to_cpu_first(torch, fn))

    def tensor_cuda(fn):
        def cuda(self, device=None, non_blocking=False, memory_format=torch.preserve_format):
            return self.to('cpu', non_blocking=non_blocking, memory_format=memory_format)
        return _mark(functools.wraps(fn)(cuda), fn)

    def module_cuda(fn):
        def cuda(self, device=None):
            return self.to('cpu')
        return _mark(functools.wraps(fn)(cuda), fn)

    # A host-to-device copy from pinned memory is plain memory here; a CPU-only
    # build would refuse to pin.
    def pin_memory(fn):
        def pin(self, *args, **kwargs):
            return self
        return _mark(functools.wraps(fn)(pin), fn)

    def load(fn):
        @functools.wraps(fn)
        def wrapper(*args, **kwargs):
            loc = kwargs.get('map_location')
            if loc is not None and not callable(loc) and not isinstance(loc, dict) and _is_cuda(torch, loc):
                kwargs['map_location'] = 'cpu'
            if len(args) > 1 and isinstance(args[1], (str, torch.device, int)) and _is_cuda(torch, args[1]):
                args = args[:1] + ('cpu',) + args[2:]
            return fn(*args, **kwargs)
        return _mark(wrapper, fn)

    # Every tensor stands for one on the device, so DLPack consumers see it there.
    def dlpack_device(fn):
        def __dlpack_device__(self):
            return (2, 0)  # kDLCUDA, device 0
        return _mark(functools.wraps(fn)(__dlpack_device__), fn)

    _patch(torch.Tensor, '__dlpack_device__', dlpack_device)
    _patch(torch.Tensor, 'cuda', tensor_cuda)
    _patch(torch.nn.Module, 'cuda', module_cuda)
    _patch(torch.Tensor, 'pin_memory', pin_memory)
    _patch(torch, 'load', load)
