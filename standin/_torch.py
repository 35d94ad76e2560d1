"""CUDA devices of a CPU-only torch build, mapped onto the CPU.

The package hands tensors to and from the device; on the stand-in the device is
the host, so a tensor asked for on ``cuda`` / ``cuda:N`` is made on the CPU.
``torch.cuda`` itself is left alone: ``torch.cuda.is_available()`` stays False.

A tensor made for a CUDA device carries the ordinal it stands on (``cuda_ordinal``);
operations pass it on to their results and, as on a GPU, refuse tensors of two
different CUDA devices, ``numpy()`` refuses it, ``cpu()`` / ``to('cpu')`` copy, and
``__dlpack_device__`` reports it, so CPU and "CUDA" tensors stay distinct for the
package.  Tensors made without a device are CPU tensors.

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


_ORDINAL = '_quorvex_standin_cuda'


def cuda_ordinal(tensor):
    """The CUDA ordinal a tensor stands on, None for a CPU tensor."""
    return getattr(tensor, _ORDINAL, None)


def _ordinal_of(torch, device):
    if isinstance(device, str):
        return int(device[5:]) if device.startswith('cuda:') else 0
    if isinstance(device, torch.device):
        return 0 if device.index is None else device.index
    return int(device)


def _place(tensors, ordinal):
    """Marks tensors (nested in lists, tuples, dicts) as standing on CUDA device ordinal or the CPU."""
    import torch
    if isinstance(tensors, torch.Tensor):
        if ordinal is None:
            if hasattr(tensors, _ORDINAL):
                delattr(tensors, _ORDINAL)
        else:
            setattr(tensors, _ORDINAL, ordinal)
    elif isinstance(tensors, (list, tuple)):
        for t in tensors:
            _place(t, ordinal)
    elif isinstance(tensors, dict):
        for t in tensors.values():
            _place(t, ordinal)
    return tensors


def _target(torch, args, kwargs):
    """(device given?, CUDA ordinal or None) of a call's device argument."""
    device = kwargs.get('device')
    if device is None and args and isinstance(args[0], (str, torch.device)) or (
            args and isinstance(args[0], int) and not isinstance(args[0], bool)):
        device = args[0]
    if device is None:
        return False, None
    return True, _ordinal_of(torch, device) if _is_cuda(torch, device) else None


def host_view(tensor):
    """NumPy view of a tensor's memory, whatever device it stands on (for the stand-ins)."""
    import torch
    with torch._C.DisableTorchFunction():
        return tensor.resolve_conj().resolve_neg().numpy()


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


def _with_cpu_device(torch, fn, like_self=False):
    # torch's factories take the device by keyword only.
    @functools.wraps(fn)
    def wrapper(*args, **kwargs):
        device = kwargs.get('device')
        ordinal = _ordinal_of(torch, device) if _is_cuda(torch, device) else None
        if ordinal is not None:
            kwargs['device'] = 'cpu'
        _reads_device_arrays(args)
        from_device = fn.__name__ in _FROM_DATA and _is_device_array(args[0] if args else None)
        if from_device:
            # torch takes a device array through __cuda_array_interface__: a tensor on the
            # array's device over its memory (torch.tensor copies it).
            args = (args[0]._mem,) + args[1:]
        result = fn(*args, **kwargs)
        if device is not None:
            _place(result, ordinal)
        elif from_device:
            _place(result, 0)
        elif like_self or fn.__name__.endswith('_like'):
            _place(result, cuda_ordinal(args[0]))
        return result
    return _mark(wrapper, fn)


_FROM_DATA = ('as_tensor', 'asarray', 'tensor')


def _is_device_array(obj):
    cupy = _standin_cupy()
    return cupy is not None and isinstance(obj, cupy.ndarray)


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
        return _place(torch.from_numpy(ext_tensor._mem), ext_tensor.device.id)
    return _mark(from_dlpack, fn)


def _on_cpu(torch, args, kwargs):
    """A `to` call's positional arguments with a CUDA device first made the CPU; device= in
    kwargs is changed in place the same way."""
    if _is_cuda(torch, kwargs.get('device')):
        kwargs['device'] = 'cpu'
    return (('cpu',) + args[1:]) if args and _is_cuda(torch, args[0]) else args


def _to_cpu_first(torch, fn):
    # Tensor.to: the device may come first, positionally. A move between the
    # CPU and a device copies, as it does on a GPU.
    @functools.wraps(fn)
    def to(self, *args, **kwargs):
        given, ordinal = _target(torch, args, kwargs)
        args = _on_cpu(torch, args, kwargs)
        result = fn(self, *args, **kwargs)
        if not given:
            return result
        if result is self and ordinal != cuda_ordinal(self):
            result = self.clone()
        return _place(result, ordinal)
    return _mark(to, fn)


def _module_to(torch, fn):
    # Module.to moves parameters and buffers in place.
    @functools.wraps(fn)
    def to(self, *args, **kwargs):
        given, ordinal = _target(torch, args, kwargs)
        args = _on_cpu(torch, args, kwargs)
        result = fn(self, *args, **kwargs)
        if given:
            _place(list(self.parameters()) + list(self.buffers()), ordinal)
        return result
    return _mark(to, fn)


def _devices_mode(torch):
    """Passes tensors' devices on to results and refuses mixing two CUDA devices."""

    class Devices(torch.overrides.TorchFunctionMode):
        def __torch_function__(self, func, types, args=(), kwargs=None):
            kwargs = kwargs or {}
            ordinals = set()
            for t in _tensors_in((args, kwargs)):
                o = getattr(t, _ORDINAL, None)
                if o is not None:
                    ordinals.add(o)
            if len(ordinals) > 1:
                a, b = sorted(ordinals)[:2]
                raise RuntimeError('Expected all tensors to be on the same device, but found at '
                                   'least two devices, cuda:%d and cuda:%d!' % (a, b))
            if ordinals and func is torch.Tensor.numpy:
                raise TypeError("can't convert cuda:%d device type tensor to numpy. Use "
                                'Tensor.cpu() to copy the tensor to host memory first.'
                                % ordinals.pop())
            result = func(*args, **kwargs)
            if ordinals and func not in _LEAVES_DEVICE:
                _place_new(result, ordinals.pop(), args)
            return result

    return Devices()


_LEAVES_DEVICE = set()


def _in_every_thread(torch):
    # torch keeps its function modes per thread, and a CUDA tensor is one in every thread: each
    # thread started from now on runs under a mode of its own.
    import threading

    bootstrap = threading.Thread._bootstrap_inner

    def _bootstrap_inner(self):
        with _devices_mode(torch):
            bootstrap(self)

    threading.Thread._bootstrap_inner = _bootstrap_inner


def _tensors_in(obj):
    import torch
    if isinstance(obj, torch.Tensor):
        yield obj
    elif isinstance(obj, (list, tuple)):
        for v in obj:
            yield from _tensors_in(v)
    elif isinstance(obj, dict):
        for v in obj.values():
            yield from _tensors_in(v)


def _place_new(result, ordinal, args):
    # Results of an operation on device tensors are on that device; a CPU tensor
    # an operation hands back unchanged (an argument) keeps its place.
    import torch
    if isinstance(result, torch.Tensor):
        if not hasattr(result, _ORDINAL) and not any(result is a for a in _tensors_in(args)):
            setattr(result, _ORDINAL, ordinal)
    elif isinstance(result, (list, tuple)):
        for r in result:
            _place_new(r, ordinal, args)


def _patch(owner, name, make):
    fn = getattr(owner, name, None)
    if fn is None or getattr(fn, _MARK, False):
        return
    setattr(owner, name, make(fn))


def apply(torch):
    """Map CUDA devices onto the CPU (once; later calls change nothing)."""
    for name in _FACTORIES:
        _patch(torch, name, lambda fn: _with_cpu_device(torch, fn))
    _patch(torch, 'from_numpy', lambda fn: _with_cpu_device(torch, fn))
    _patch(torch, 'from_dlpack', lambda fn: _from_dlpack(torch, fn))
    _patch(torch.utils.dlpack, 'from_dlpack', lambda fn: _from_dlpack(torch, fn))
    _patch(torch.Tensor, 'to', lambda fn: _to_cpu_first(torch, fn))
    _patch(torch.nn.Module, 'to', lambda fn: _module_to(torch, fn))

    def tensor_cuda(fn):
        def cuda(self, device=None, non_blocking=False, memory_format=torch.preserve_format):
            return self.to(torch.device('cuda', 0 if device is None else _ordinal_of(torch, device)),
                           non_blocking=non_blocking, memory_format=memory_format)
        return _mark(functools.wraps(fn)(cuda), fn)

    def tensor_cpu(fn):
        def cpu(self, memory_format=torch.preserve_format):
            return self.to('cpu', memory_format=memory_format)
        return _mark(functools.wraps(fn)(cpu), fn)

    def module_cuda(fn):
        def cuda(self, device=None):
            return self.to(torch.device('cuda', 0 if device is None else _ordinal_of(torch, device)))
        return _mark(functools.wraps(fn)(cuda), fn)

    def module_cpu(fn):
        def cpu(self):
            return self.to('cpu')
        return _mark(functools.wraps(fn)(cpu), fn)

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

    def dlpack_device(fn):
        def __dlpack_device__(self):
            ordinal = cuda_ordinal(self)
            return (1, 0) if ordinal is None else (2, ordinal)  # kDLCPU / kDLCUDA
        return _mark(functools.wraps(fn)(__dlpack_device__), fn)

    _patch(torch.Tensor, '__dlpack_device__', dlpack_device)
    _patch(torch.Tensor, 'cpu', tensor_cpu)
    _patch(torch.nn.Module, 'cpu', module_cpu)
    for name in _TENSOR_NEW:
        _patch(torch.Tensor, name, lambda fn: _with_cpu_device(torch, fn, like_self=True))
    _LEAVES_DEVICE.update((torch.Tensor.to, torch.Tensor.cpu, torch.Tensor.cuda, torch.Tensor.numpy,
                           torch.Tensor.__dlpack_device__))
    if not getattr(torch, _MARK, False):
        setattr(torch, _MARK, True)
        _devices_mode(torch).__enter__()  # for the life of the process
        _in_every_thread(torch)
    _patch(torch.Tensor, 'cuda', tensor_cuda)
    _patch(torch.nn.Module, 'cuda', module_cuda)
    _patch(torch.Tensor, 'pin_memory', pin_memory)
    _patch(torch, 'load', load)
