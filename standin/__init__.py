"""CPU stand-ins for CuPy and CUDA, for testing quorvex on machines without a GPU.

This is test code.  ``install()`` puts a NumPy-backed imitation of the ``cupy``
package into ``sys.modules`` and maps torch's CUDA devices onto the CPU (once torch
is imported), so the package and its tests run unchanged on a CPU-only machine.  When the real
``tensorrt`` is not importable it also registers a TensorRT stand-in
(``standin._tensorrt``) as ``tensorrt``: its engines are ONNX models behind a
short header, run by ONNX Runtime on the CPU (``onnx`` and ``onnxruntime`` are
imported when first needed).  Tests make such engines with
``from standin.tensorrt import engine_bytes`` (``standin/tensorrt.py``
re-exports the stand-in's names).  Likewise ``PyNvVideoCodec``, where it is not
importable, is the stand-in ``standin._nvcodec``: NVDEC and NVENC done by PyAV,
frames in stand-in device memory.

Only the hardware is emulated.  The kernels under test are the package's real
CUDA C++ text: ``cupy.RawKernel`` compiles it with the host C++ compiler and
runs every thread of the grid on the CPU, so a fault in a kernel makes tests
fail.  The stand-in is deliberately stricter than a GPU where a GPU would
misbehave quietly: host arrays are refused wherever CuPy refuses them, kernel
arguments must match the declared parameter types, and each launch runs its
array arguments inside guard zones, reporting any write outside them.

Streams are CUDA's (``_cupy/cuda/stream.py``): kernel launches, copies, fills,
the results of array operations and TensorRT engine runs are queued on a stream
and run only when something is ordered after them (a host read, an event, a
synchronisation, the legacy default stream's implicit ordering), so a missing
dependency between streams, or between CuPy and torch (which stands on the
legacy default stream), shows up as stale data.

torch tensors made for a CUDA device (``device='cuda:N'``, ``.to``, ``.cuda``,
``from_dlpack`` of a device array) carry their ordinal through operations:
mixing two devices fails, ``numpy()`` refuses them, and ``cp.asarray`` /
``__dlpack_device__`` tell them from CPU tensors (which ``cp.asarray`` copies).

A device array is not a ``numpy.ndarray``: as with CuPy, NumPy, OpenCV, PIL
or ``torch.from_numpy`` given one directly (``np.asarray(dev)``,
``np.testing.assert_allclose(dev, ...)``, ``cv2.resize(dev, ...)``) fail, and
``get()`` / ``cupy.asnumpy`` are the ways to the host.  ``torch.as_tensor`` /
``torch.asarray`` / ``torch.tensor`` of one give a tensor on its CUDA device, as
torch's ``__cuda_array_interface__`` path does.

Known gaps: CPU tensors mixed with CUDA ones in an operation are not refused
(only two CUDA devices are), and warp-level intrinsics are not provided.
"""

import importlib.util
import os
import sys

_CUPY_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), '_cupy')


def installed():
    """True when the stand-in ``cupy`` is the one in ``sys.modules``."""
    return getattr(sys.modules.get('cupy'), '__quorvex_standin__', False)


def counting():
    """Context manager counting the launches, synchronisations and transfers issued inside it.

    Yields a ``Counts`` (launches, syncs, uploads, upload_bytes, downloads,
    download_bytes; a download counts as a synchronisation too).  Needs the
    stand-in ``cupy`` (see ``installed``): a GPU cannot count them.
    """
    if not installed():
        raise RuntimeError('counting needs the cupy stand-in; the real cupy is in use')
    return sys.modules['cupy']._counting.counting()


def _load_cupy():
    where = importlib.util.spec_from_file_location(
        'cupy', os.path.join(_CUPY_DIR, '__init__.py'), submodule_search_locations=[_CUPY_DIR])
    module = importlib.util.module_from_spec(where)
    sys.modules['cupy'] = module
    try:
        where.loader.exec_module(module)
    except BaseException:
        for name in [n for n in sys.modules if n == 'cupy' or n.startswith('cupy.')]:
            del sys.modules[name]
        raise
    return module


def _watch_cupy(cupy):
    from . import _api
    for name, module in list(sys.modules.items()):
        if name.split('.')[0] == 'cupy' and not any(p.startswith('_') for p in name.split('.')):
            _api.watch(module, 'cupy', name)
    return cupy


def api_problems():
    """Names the code under test used of the stand-ins that the real libraries lack (see ``_api``)."""
    from . import _api
    return _api.problems()


def _tensorrt_wanted():
    current = sys.modules.get('tensorrt')
    if current is not None:
        return getattr(current, '__quorvex_standin__', False)
    try:
        importlib.import_module('tensorrt')
        return False
    except Exception:
        # Missing, or installed but unusable (no CUDA libraries): drop what a
        # failed import left behind.
        for name in [n for n in sys.modules if n == 'tensorrt' or n.startswith('tensorrt.')]:
            del sys.modules[name]
        return True


def install():
    """Make ``import cupy`` give the stand-in and map torch's CUDA devices to the CPU.

    Also makes ``import tensorrt`` give the stand-in where the real one is not
    importable.  Call before quorvex is imported (a real cupy imported only to
    probe for a GPU is set aside).  Safe to call again.
    """
    current = sys.modules.get('cupy')
    if current is not None and not getattr(current, '__quorvex_standin__', False):
        # A real CuPy imported only to probe for a GPU can be set aside, as
        # long as nothing of quorvex holds on to it yet.
        if any(n == 'quorvex' or n.startswith('quorvex.') for n in sys.modules):
            raise RuntimeError('quorvex was imported with the real cupy; install the stand-in first')
        for name in [n for n in sys.modules if n.split('.')[0] in ('cupy', 'cupyx', 'cupy_backends')]:
            del sys.modules[name]
        current = None
    cupy = current if current is not None else _watch_cupy(_load_cupy())
    torch = sys.modules.get('torch')
    if torch is not None:
        from . import _torch
        _torch.apply(torch)
    elif not any(isinstance(f, _TorchMapper) for f in sys.meta_path):
        # Mapped when first imported: a process that never needs torch (most runs of the
        # command) does not pay seconds for importing it.
        sys.meta_path.insert(0, _TorchMapper())
    install_tensorrt()
    install_nvcodec()
    if importlib.util.find_spec('onnxruntime') is not None:
        from . import _api
        _api.watch_onnxruntime()
    return cupy


class _TorchMapper:
    """Maps torch's CUDA devices onto the CPU as soon as torch is imported.

    The devices mode that carries tensors' ordinals (``_torch``) is entered on the
    importing thread, as ``install()`` enters it on its caller's: torch first
    imported off the main thread would leave the main thread unchecked, so that
    is refused.
    """

    def find_spec(self, name, path=None, target=None):
        if name != 'torch':
            return None
        for finder in sys.meta_path:
            find = getattr(finder, 'find_spec', None) if finder is not self else None
            spec = find(name, path, target) if find is not None else None
            if spec is not None:
                break
        else:
            return None
        load = spec.loader.exec_module

        def exec_module(module):
            import threading
            if threading.current_thread() is not threading.main_thread():
                # Not an ImportError: code that treats torch as optional must not take it as missing.
                raise RuntimeError('the torch stand-in maps CUDA devices on the main thread: '
                                   'import torch there first')
            load(module)
            if self in sys.meta_path:
                sys.meta_path.remove(self)
            from . import _torch
            _torch.apply(module)

        spec.loader.exec_module = exec_module
        return spec


def install_tensorrt():
    """Make ``import tensorrt`` give the stand-in where the real one is not importable.

    On a GPU machine without TensorRT the real CuPy stays; engines then read and
    write the bound device memory through it.
    """
    if _tensorrt_wanted():
        from . import _api, _tensorrt
        sys.modules['tensorrt'] = _tensorrt
        _api.watch(_tensorrt, 'tensorrt', 'tensorrt')


def install_nvcodec():
    """Make ``import PyNvVideoCodec`` give the stand-in (PyAV underneath) where the real one is not importable."""
    current = sys.modules.get('PyNvVideoCodec')
    if current is not None:
        return
    try:
        importlib.import_module('PyNvVideoCodec')
    except Exception:
        # Missing, or present without a driver: the stand-in takes its place.
        for name in [n for n in sys.modules if n == 'PyNvVideoCodec' or n.startswith('PyNvVideoCodec.')]:
            del sys.modules[name]
        from . import _api, _nvcodec
        sys.modules['PyNvVideoCodec'] = _nvcodec
        _api.watch(_nvcodec, 'PyNvVideoCodec', 'PyNvVideoCodec')
