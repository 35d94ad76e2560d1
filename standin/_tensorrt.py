"""CPU stand-in for TensorRT's Python API (test code; see ``standin``).

Registered as ``tensorrt`` by ``standin.install()`` when the real one is not
importable.  A serialized engine is ``ENGINE_MAGIC`` followed by the bytes of
an ONNX model (``engine_bytes`` makes one, ``Builder`` builds one), and it runs
with ONNX Runtime on the CPU.

What the stand-in keeps from TensorRT is the contract around execution: tensors
are found by name, inputs first and then outputs, each in the order of the
ONNX graph; buffers are bound by raw address and read and written there when
``execute_async_v3`` runs, so buffers freed or unbound too early show up as
they would on a GPU.  Failures return ``None`` / ``False`` and log through the
logger, as TensorRT does, instead of raising.

``execute_async_v3`` runs the engine in the order of the stream whose handle it
is given (with the cupy stand-in the run is queued there; see
``cupy.cuda.stream``), so inputs staged on another stream without an event are
read before they arrive.

The stand-in offers the API of one TensorRT generation at a time, the one its
``__version__`` names: 10 (the default; ``QUORVEX_STANDIN_TENSORRT=11`` picks the
other) or 11, which ``standin_set_version`` switches in place.  TensorRT 11 networks are
strongly typed: the precision flags, ``platform_has_fast_*``, ``EXPLICIT_BATCH``
and the implicit-batch and old device-memory queries are gone from it.

Not emulated: reduced precision (an FP16/INT8 build, or a graph whose types are
half or bfloat16, still computes in single precision; only the I/O types stay the
model's), plugins, refitting, and engine building beyond what the ONNX parser gives.
"""

import ctypes
import enum
import json
import operator
import os
import sys

import numpy as np

__version__ = '10.0.0-standin'  # see standin_set_version
__quorvex_standin__ = True

ENGINE_MAGIC = b'QVTRT-STANDIN\x00'

# The build settings travel inside the engine as ONNX metadata, so that a
# deserialized engine still knows its profiles and what the build asked for.
_BUILD_KEY = 'quorvex.standin.build'

# What the stand-in device reports as its memory (the cupy stand-in's default).
_DEVICE_MEMORY = 16 << 30


# ---------------------------------------------------------------- enums

class _Enum(enum.Enum):
    """TensorRT's enums are pybind11 enums: named members that convert to int."""

    def __int__(self):
        return self.value

    def __index__(self):
        return self.value

    def __repr__(self):
        return '<%s.%s: %d>' % (type(self).__name__, self.name, self.value)


class DataType(_Enum):
    FLOAT = 0
    HALF = 1
    INT8 = 2
    INT32 = 3
    BOOL = 4
    UINT8 = 5
    FP8 = 6
    BF16 = 7
    INT64 = 8
    INT4 = 9

    @property
    def itemsize(self):
        return _ITEMSIZE[self]


_ITEMSIZE = {DataType.FLOAT: 4, DataType.HALF: 2, DataType.INT8: 1, DataType.INT32: 4,
             DataType.BOOL: 1, DataType.UINT8: 1, DataType.FP8: 1, DataType.BF16: 2,
             DataType.INT64: 8, DataType.INT4: 0.5}

float32 = DataType.FLOAT
float16 = DataType.HALF
bfloat16 = DataType.BF16
int8 = DataType.INT8
int32 = DataType.INT32
int64 = DataType.INT64
uint8 = DataType.UINT8
fp8 = DataType.FP8
int4 = DataType.INT4

_NPTYPE = {DataType.FLOAT: np.float32, DataType.HALF: np.float16, DataType.INT8: np.int8,
           DataType.INT32: np.int32, DataType.INT64: np.int64, DataType.BOOL: np.bool_,
           DataType.UINT8: np.uint8}

# ONNX Runtime's names for the tensor types TensorRT can take at its I/O.
_FROM_ORT = {'tensor(float)': DataType.FLOAT, 'tensor(float16)': DataType.HALF,
             'tensor(int8)': DataType.INT8, 'tensor(int32)': DataType.INT32,
             'tensor(int64)': DataType.INT64, 'tensor(bool)': DataType.BOOL,
             'tensor(uint8)': DataType.UINT8, 'tensor(bfloat16)': DataType.BF16}


def nptype(trt_type):
    """The NumPy type of a ``DataType``."""
    try:
        return _NPTYPE[trt_type]
    except (KeyError, TypeError):
        raise TypeError('Could not resolve TensorRT datatype to an equivalent numpy datatype.') \
            from None


def volume(iterable):
    n = 1
    for d in iterable:
        n *= d
    return n


class TensorIOMode(_Enum):
    NONE = 0
    INPUT = 1
    OUTPUT = 2


class TensorLocation(_Enum):
    DEVICE = 0
    HOST = 1


class NetworkDefinitionCreationFlag(_Enum):
    # Deprecated and ignored in TensorRT 10 (networks are always explicit
    # batch), but still defined there, so code written for 8.x keeps working.
    EXPLICIT_BATCH = 0
    STRONGLY_TYPED = 1


class BuilderFlag(_Enum):
    FP16 = 0
    INT8 = 1
    DEBUG = 2
    GPU_FALLBACK = 3
    REFIT = 4
    DISABLE_TIMING_CACHE = 5
    TF32 = 6
    SPARSE_WEIGHTS = 7
    SAFETY_SCOPE = 8
    OBEY_PRECISION_CONSTRAINTS = 9
    PREFER_PRECISION_CONSTRAINTS = 10
    DIRECT_IO = 11
    REJECT_EMPTY_ALGORITHMS = 12
    VERSION_COMPATIBLE = 13
    EXCLUDE_LEAN_RUNTIME = 14
    FP8 = 15
    ERROR_ON_TIMING_CACHE_MISS = 16
    BF16 = 17
    DISABLE_COMPILATION_CACHE = 18
    STRIP_PLAN = 19
    REFIT_IDENTICAL = 20
    WEIGHT_STREAMING = 21


class MemoryPoolType(_Enum):
    WORKSPACE = 0
    DLA_MANAGED_SRAM = 1
    DLA_LOCAL_DRAM = 2
    DLA_GLOBAL_DRAM = 3
    TACTIC_DRAM = 4
    TACTIC_SHARED_MEMORY = 5


class ProfilingVerbosity(_Enum):
    LAYER_NAMES_ONLY = 0
    NONE = 1
    DETAILED = 2


class DeviceType(_Enum):
    GPU = 0
    DLA = 1


class ErrorCode(_Enum):
    SUCCESS = 0
    INTERNAL_ERROR = 1
    MEM_ALLOC_FAILED = 2
    MODEL_DESERIALIZE_FAILED = 3
    INVALID_VALUE = 4
    INVALID_GRAPH = 5
    INVALID_NODE = 6
    UNSUPPORTED_GRAPH = 7
    UNSUPPORTED_NODE = 8
    UNSUPPORTED_NODE_ATTR = 9
    UNSUPPORTED_NODE_INPUT = 10
    UNSUPPORTED_NODE_DATATYPE = 11
    UNSUPPORTED_NODE_DYNAMIC = 12
    UNSUPPORTED_NODE_SHAPE = 13
    REFIT_FAILED = 14


# ---------------------------------------------------------------- logging

class _Severity(_Enum):
    INTERNAL_ERROR = 0
    ERROR = 1
    WARNING = 2
    INFO = 3
    VERBOSE = 4

    # Custom loggers compare severities against their threshold.
    def __lt__(self, other):
        return self.value < int(other)

    def __le__(self, other):
        return self.value <= int(other)

    def __gt__(self, other):
        return self.value > int(other)

    def __ge__(self, other):
        return self.value >= int(other)


_Severity.__name__ = _Severity.__qualname__ = 'Severity'
_LETTER = {0: 'F', 1: 'E', 2: 'W', 3: 'I', 4: 'V'}


class ILogger:
    """Base of loggers; subclasses implement ``log(severity, msg)``."""

    Severity = _Severity
    INTERNAL_ERROR = _Severity.INTERNAL_ERROR
    ERROR = _Severity.ERROR
    WARNING = _Severity.WARNING
    INFO = _Severity.INFO
    VERBOSE = _Severity.VERBOSE

    def log(self, severity, msg):
        raise NotImplementedError


class Logger(ILogger):
    """Prints messages at ``min_severity`` or worse to stderr."""

    def __init__(self, min_severity=_Severity.WARNING):
        self.min_severity = _Severity(int(min_severity))

    def log(self, severity, msg):
        if int(severity) <= int(self.min_severity):
            print('[TRT] [%s] %s' % (_LETTER[int(severity)], msg), file=sys.stderr)


def _check_logger(logger):
    if not isinstance(logger, ILogger):
        raise TypeError('a tensorrt.ILogger is required, got %s' % type(logger).__name__)
    return logger


def _error(logger, msg):
    logger.log(_Severity.ERROR, msg)


def _warning(logger, msg):
    logger.log(_Severity.WARNING, msg)


def init_libnvinfer_plugins(logger, namespace):
    return True


# ---------------------------------------------------------------- small types

class Dims(tuple):
    """A shape: a tuple of ints, -1 for a dimension fixed only at run time."""

    MAX_DIMS = 8

    def __new__(cls, shape=()):
        return super().__new__(cls, (int(d) for d in shape))


class IHostMemory(bytes):
    """A serialized engine: usable as bytes, with TensorRT's attributes."""

    @property
    def nbytes(self):
        return len(self)

    @property
    def dtype(self):
        return DataType.UINT8


def _as_bytes(data, what):
    if isinstance(data, bytes):
        return bytes(data)
    try:
        return memoryview(data).tobytes()
    except TypeError:
        raise TypeError('%s: expected a buffer (bytes, IHostMemory), got %s'
                        % (what, type(data).__name__)) from None


def _as_int(value, what):
    # pybind11 takes ints and objects with __index__, but not floats or arrays.
    if isinstance(value, (float, np.floating)) or isinstance(value, np.ndarray):
        raise TypeError('%s: incompatible argument %r; an int is required' % (what, value))
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError('%s: incompatible argument of type %s; an int is required'
                        % (what, type(value).__name__)) from None


def _member(enum_type, value, what):
    # pybind11 enums do not convert from other enums or from ints.
    if not isinstance(value, enum_type):
        raise TypeError('%s: a tensorrt.%s is required, got %r' % (what, enum_type.__name__, value))
    return value


def _as_dims(shape, what):
    try:
        return Dims(_as_int(d, what) for d in shape)
    except TypeError:
        raise TypeError('%s: a shape (sequence of ints) is required, got %r' % (what, shape)) \
            from None


def engine_bytes(model):
    """Serialized stand-in engine for an ONNX model (a ``ModelProto``, bytes or a path).

    The model is not checked here, so tests can also make engines that fail
    to deserialize.
    """
    if hasattr(model, 'SerializeToString'):
        data = model.SerializeToString()
    elif isinstance(model, (str, os.PathLike)):
        with open(model, 'rb') as f:
            data = f.read()
    else:
        data = _as_bytes(model, 'engine_bytes')
    return ENGINE_MAGIC + data


# ---------------------------------------------------------------- ONNX models

class _Refused(Exception):
    """A reason for TensorRT to fail, to be logged."""


class _Tensor:
    """One I/O tensor of a model: engine dims (-1 where dynamic) and ONNX dim names."""

    def __init__(self, name, mode, dtype, dims, symbols):
        self.name = name
        self.mode = mode
        self.dtype = dtype
        self.dims = Dims(dims)
        self.symbols = tuple(symbols)


def _session(model_bytes):
    import onnxruntime
    options = onnxruntime.SessionOptions()
    options.log_severity_level = 3
    # Test processes share the cores: ONNX Runtime's threads spinning between runs slow the others.
    options.add_session_config_entry('session.intra_op.allow_spinning', '0')
    return onnxruntime.InferenceSession(_widened(model_bytes), options,
                                        providers=['CPUExecutionProvider'])


def onnx_mapping_name(data_type):
    from onnx import TensorProto
    return TensorProto.DataType.Name(data_type)


def _widened(model_bytes):
    """The model computing in single precision where its graph holds half or bfloat16 values
    (ONNX Runtime's CPU provider lacks most of those kernels); its I/O types stay."""
    import onnx
    from onnx import TensorProto, helper, numpy_helper
    reduced = (TensorProto.FLOAT16, TensorProto.BFLOAT16)
    model = onnx.load_from_string(model_bytes)
    graph = model.graph

    def widen_tensor(t):
        if t.data_type in reduced:
            t.CopyFrom(numpy_helper.from_array(numpy_helper.to_array(t).astype(np.float32), t.name))
            return True
        return False

    def widen(g):
        changed = any([widen_tensor(t) for t in g.initializer])
        for node in g.node:
            for a in node.attribute:
                if a.type == onnx.AttributeProto.TENSOR:
                    changed |= widen_tensor(a.t)
                elif node.op_type == 'Cast' and a.name == 'to' and a.i in reduced:
                    a.i, changed = TensorProto.FLOAT, True
                elif a.type == onnx.AttributeProto.GRAPH:
                    changed |= widen(a.g)
                elif a.type == onnx.AttributeProto.GRAPHS:
                    changed |= any([widen(sub) for sub in a.graphs])
        return changed

    if not widen(graph):
        return model_bytes
    del graph.value_info[:]
    cast_in, cast_out = [], []
    for vi in graph.input:
        kind = vi.type.tensor_type.elem_type
        if kind in reduced:
            inner = vi.name + '/standin_f32'
            for node in graph.node:
                node.input[:] = [inner if n == vi.name else n for n in node.input]
            cast_in.append(helper.make_node('Cast', [vi.name], [inner], to=TensorProto.FLOAT))
    for vi in graph.output:
        kind = vi.type.tensor_type.elem_type
        if kind in reduced:
            inner = vi.name + '/standin_f32'
            for node in graph.node:
                node.input[:] = [inner if n == vi.name else n for n in node.input]
                node.output[:] = [inner if n == vi.name else n for n in node.output]
            cast_out.append(helper.make_node('Cast', [inner], [vi.name], to=kind))
    nodes = cast_in + list(graph.node) + cast_out
    del graph.node[:]
    graph.node.extend(nodes)
    return model.SerializeToString()


def _io_of(session, model):
    """I/O tensors, inputs then outputs in graph order (ONNX Runtime leaves out initializers)."""
    ranked = {}
    for vi in list(model.graph.input) + list(model.graph.output):
        ranked[vi.name] = vi.type.tensor_type.HasField('shape')
    io = []
    for mode, args in ((TensorIOMode.INPUT, session.get_inputs()),
                       (TensorIOMode.OUTPUT, session.get_outputs())):
        for arg in args:
            dtype = _FROM_ORT.get(arg.type)
            if dtype is None:
                raise _Refused('%s %s has type %s, which TensorRT does not take at its I/O'
                               % (mode.name.lower(), arg.name, arg.type))
            if mode is TensorIOMode.INPUT and not ranked.get(arg.name, False):
                raise _Refused('input %s has no rank; TensorRT needs the rank of every input'
                               % arg.name)
            shape = arg.shape if isinstance(arg.shape, (list, tuple)) else []
            dims = [d if isinstance(d, int) and d >= 0 else -1 for d in shape]
            symbols = [d if isinstance(d, str) else None for d in shape]
            io.append(_Tensor(arg.name, mode, dtype, dims, symbols))
    return io


def _load(model_bytes):
    """(ModelProto, ONNX Runtime session, I/O tensors) of a model, or _Refused."""
    import onnx
    try:
        model = onnx.load_from_string(model_bytes)
    except Exception as exc:
        raise _Refused('the ONNX model could not be read: %s' % exc) from None
    try:
        session = _session(model_bytes)
    except Exception as exc:
        raise _Refused('ONNX Runtime could not load the model: %s' % exc) from None
    return model, session, _io_of(session, model)


# ---------------------------------------------------------------- runtime

class Runtime:
    def __init__(self, logger):
        self.logger = _check_logger(logger)
        self.max_threads = 1

    def deserialize_cuda_engine(self, serialized_engine):
        data = _as_bytes(serialized_engine, 'deserialize_cuda_engine')
        if not data.startswith(ENGINE_MAGIC):
            _error(self.logger, 'IRuntime::deserializeCudaEngine: Error Code 1: Serialization '
                   '(the data is not a serialized engine of this runtime: header missing)')
            return None
        try:
            return ICudaEngine._from_model(data[len(ENGINE_MAGIC):], self.logger)
        except _Refused as exc:
            _error(self.logger, 'IRuntime::deserializeCudaEngine: Error Code 1: Serialization '
                   '(%s)' % exc)
            return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def _profile_from_json(entry):
    return {name: tuple(Dims(s) for s in shapes) for name, shapes in entry.items()}


class ICudaEngine:
    """An engine: its I/O tensors are the model's, inputs first, then outputs."""

    def __init__(self):
        raise TypeError('ICudaEngine is made by Runtime.deserialize_cuda_engine')

    @classmethod
    def _from_model(cls, model_bytes, logger):
        model, session, io = _load(model_bytes)
        self = object.__new__(cls)
        self._model_bytes = model_bytes
        self._session = session
        self._logger = logger
        self._io = io
        self._by_name = {t.name: t for t in io}
        self._num_layers = len(model.graph.node)
        self.name = model.graph.name
        meta = {p.key: p.value for p in model.metadata_props}
        self._build = None
        profiles = []
        if _BUILD_KEY in meta:
            raw = json.loads(meta[_BUILD_KEY])
            profiles = [_profile_from_json(p) for p in raw['profiles']]
            self._build = {
                'flags': frozenset(BuilderFlag[n] for n in raw['flags']),
                'profiles': profiles,
                'workspace': raw['memory_pools'].get('WORKSPACE', _DEVICE_MEMORY),
                'memory_pools': {MemoryPoolType[k]: v for k, v in raw['memory_pools'].items()},
                'builder_optimization_level': raw['builder_optimization_level'],
                'network_flags': raw['network_flags'],
                'weight_types': raw['weight_types'],
            }
        # An engine has at least one profile; without a build, its bounds are
        # the model's own shapes (None where a dimension is dynamic).
        self._profiles = profiles or [{}]
        return self

    # -- engine-wide ------------------------------------------------------

    @property
    def num_io_tensors(self):
        return len(self._io)

    @property
    def num_layers(self):
        return self._num_layers

    @property
    def num_optimization_profiles(self):
        return len(self._profiles)

    @property
    def has_implicit_batch_dimension(self):
        return False

    @property
    def device_memory_size(self):
        return 0

    @property
    def device_memory_size_v2(self):
        return 0

    @property
    def refittable(self):
        return False

    @property
    def standin_build_info(self):
        """What the build asked for (flags, profiles, memory pools); None if not built by Builder."""
        return self._build

    def serialize(self):
        return IHostMemory(ENGINE_MAGIC + self._model_bytes)

    def create_execution_context(self):
        return IExecutionContext._for(self)

    def __len__(self):
        return len(self._io)

    def __iter__(self):
        return iter([t.name for t in self._io])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def __repr__(self):
        def show(mode):
            return ', '.join('%s: %s%s' % (t.name, t.dtype.name, tuple(t.dims))
                             for t in self._io if t.mode is mode)
        return '<tensorrt.ICudaEngine (stand-in) %r inputs [%s] outputs [%s] layers %d>' % (
            self.name, show(TensorIOMode.INPUT), show(TensorIOMode.OUTPUT), self._num_layers)

    __str__ = __repr__

    # -- per tensor -------------------------------------------------------

    def _tensor(self, name, what):
        t = self._by_name.get(name)
        if t is None:
            _error(self._logger, 'ICudaEngine::%s: Error Code 3: API Usage Error '
                   '(%r is not the name of an I/O tensor of this engine)' % (what, name))
        return t

    def get_tensor_name(self, index):
        index = _as_int(index, 'get_tensor_name')
        if not 0 <= index < len(self._io):
            _error(self._logger, 'ICudaEngine::getIOTensorName: Error Code 3: API Usage Error '
                   '(index %d out of range [0, %d))' % (index, len(self._io)))
            return None
        return self._io[index].name

    def get_tensor_shape(self, name):
        t = self._tensor(name, 'getTensorShape')
        return Dims() if t is None else t.dims

    def get_tensor_dtype(self, name):
        t = self._tensor(name, 'getTensorDataType')
        return DataType.FLOAT if t is None else t.dtype

    def get_tensor_mode(self, name):
        t = self._by_name.get(name)
        return TensorIOMode.NONE if t is None else t.mode

    def get_tensor_location(self, name):
        return TensorLocation.DEVICE

    def is_shape_inference_io(self, name):
        return False

    def get_tensor_profile_shape(self, name, profile_index):
        """[min, opt, max] of an input in a profile (the engine's dims if the build set none)."""
        t = self._tensor(name, 'getProfileShape')
        profile_index = _as_int(profile_index, 'get_tensor_profile_shape')
        if t is None or t.mode is not TensorIOMode.INPUT:
            return []
        if not 0 <= profile_index < len(self._profiles):
            _error(self._logger, 'ICudaEngine::getProfileShape: Error Code 3: API Usage Error '
                   '(profile index %d out of range)' % profile_index)
            return []
        return list(self._profiles[profile_index].get(name, (t.dims,) * 3))


class IExecutionContext:
    """Binds buffers by address and runs the engine's model on them."""

    def __init__(self):
        raise TypeError('IExecutionContext is made by ICudaEngine.create_execution_context')

    @classmethod
    def _for(cls, engine):
        self = object.__new__(cls)
        self._engine = engine
        self._logger = engine._logger
        self._addresses = {}
        self._input_shapes = {}
        self._profile = 0
        self._dry_runs = {}
        self._warned_default_stream = False
        self.name = ''
        self.debug_sync = False
        return self

    @property
    def engine(self):
        return self._engine

    @property
    def active_optimization_profile(self):
        return self._profile

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def set_optimization_profile_async(self, profile_index, stream_handle):
        profile_index = _as_int(profile_index, 'set_optimization_profile_async')
        _as_int(stream_handle, 'set_optimization_profile_async')
        if not 0 <= profile_index < self._engine.num_optimization_profiles:
            _error(self._logger, 'IExecutionContext::setOptimizationProfileAsync: Error Code 3: '
                   'API Usage Error (profile index %d out of range)' % profile_index)
            return False
        if profile_index != self._profile:
            # Switching profiles forgets the input shapes, as in TensorRT.
            self._profile = profile_index
            self._input_shapes.clear()
        return True

    # -- shapes -----------------------------------------------------------

    def set_input_shape(self, name, shape):
        shape = _as_dims(shape, 'set_input_shape')
        t = self._engine._by_name.get(name)
        where = 'IExecutionContext::setInputShape: Error Code 3: API Usage Error (%s)'
        if t is None or t.mode is not TensorIOMode.INPUT:
            _error(self._logger, where % ('%r is not an input tensor of the engine' % name))
            return False
        if len(shape) != len(t.dims):
            _error(self._logger, where % ('input %s has %d dimensions, got shape %s'
                                          % (name, len(t.dims), tuple(shape))))
            return False
        bounds = self._engine._profiles[self._profile].get(name)
        for i, (d, fixed) in enumerate(zip(shape, t.dims)):
            if d < 0 or (fixed >= 0 and d != fixed):
                _error(self._logger, where % ('dimension %d of input %s must be %s, got %d'
                                              % (i, name, fixed if fixed >= 0 else '>= 0', d)))
                return False
            if bounds is not None and not bounds[0][i] <= d <= bounds[2][i]:
                _error(self._logger, where % (
                    'shape %s of input %s is outside optimization profile %d: min %s, max %s'
                    % (tuple(shape), name, self._profile, tuple(bounds[0]), tuple(bounds[2]))))
                return False
        self._input_shapes[name] = shape
        return True

    def _input_shape(self, t):
        return self._input_shapes.get(t.name, t.dims)

    def _output_shapes(self):
        """Output shapes for the current input shapes; -1 where not yet known."""
        engine = self._engine
        inputs = [t for t in engine._io if t.mode is TensorIOMode.INPUT]
        outputs = [t for t in engine._io if t.mode is TensorIOMode.OUTPUT]
        known = {}
        for t in inputs:
            for sym, d in zip(t.symbols, self._input_shape(t)):
                if sym is not None and d >= 0:
                    known.setdefault(sym, d)
        shapes = {}
        for t in outputs:
            shapes[t.name] = Dims(
                d if d >= 0 else known.get(sym, -1) for d, sym in zip(t.dims, t.symbols))
        complete = all(min(self._input_shape(t), default=0) >= 0 for t in inputs)
        if complete and any(min(t.dims, default=0) < 0 for t in outputs):
            # TensorRT infers output shapes from the graph, not from the names
            # the model gives its output axes (an exporter may reuse the input's
            # names for an upscaled output): run it once on zeros for these
            # input shapes.
            key = tuple(self._input_shape(t) for t in inputs)
            if key not in self._dry_runs:
                feed = {t.name: np.zeros(self._input_shape(t), _NPTYPE.get(t.dtype, np.float32))
                        for t in inputs}
                try:
                    got = engine._session.run([t.name for t in outputs], feed)
                    self._dry_runs[key] = {t.name: Dims(r.shape) for t, r in zip(outputs, got)}
                except Exception:
                    self._dry_runs[key] = {}
            shapes.update(self._dry_runs[key])
        return shapes

    def get_tensor_shape(self, name):
        t = self._engine._by_name.get(name)
        if t is None:
            _error(self._logger, 'IExecutionContext::getTensorShape: Error Code 3: API Usage '
                   'Error (%r is not the name of an I/O tensor of the engine)' % name)
            return Dims()
        if t.mode is TensorIOMode.INPUT:
            return self._input_shape(t)
        return self._output_shapes()[name]

    def infer_shapes(self):
        """Names of inputs whose shapes are still to be set."""
        return [t.name for t in self._engine._io
                if t.mode is TensorIOMode.INPUT and min(self._input_shape(t), default=0) < 0]

    @property
    def all_binding_shapes_specified(self):
        return not self.infer_shapes()

    # -- addresses --------------------------------------------------------

    def set_tensor_address(self, name, memory):
        memory = _as_int(memory, 'set_tensor_address')
        if name not in self._engine._by_name:
            _error(self._logger, 'IExecutionContext::setTensorAddress: Error Code 3: API Usage '
                   'Error (%r is not the name of an I/O tensor of the engine)' % name)
            return False
        t = self._engine._by_name[name]
        align = max(1, int(t.dtype.itemsize))
        if memory % align:
            _error(self._logger, 'IExecutionContext::setTensorAddress: Error Code 3: API Usage '
                   'Error (address 0x%x of tensor %s is not aligned to %d bytes)'
                   % (memory, name, align))
            return False
        self._addresses[name] = memory
        return True

    def get_tensor_address(self, name):
        return self._addresses.get(name, 0)

    # -- execution --------------------------------------------------------

    def execute_v2(self, bindings):
        """Synchronous execution with addresses given in I/O tensor order."""
        bindings = list(bindings)
        io = self._engine._io
        if len(bindings) != len(io):
            _error(self._logger, 'IExecutionContext::executeV2: Error Code 3: API Usage Error '
                   '(%d bindings for %d I/O tensors)' % (len(bindings), len(io)))
            return False
        for t, ptr in zip(io, bindings):
            if not self.set_tensor_address(t.name, ptr):
                return False
        return self._run(None)

    def execute_async_v3(self, stream_handle):
        stream_handle = _as_int(stream_handle, 'execute_async_v3')
        if stream_handle == 0 and not self._warned_default_stream:
            self._warned_default_stream = True
            _warning(self._logger, 'Using default stream in enqueueV3() may lead to performance '
                     'issues due to additional calls to cudaStreamSynchronize() by TensorRT to '
                     'ensure correct synchronization. Please use non-default stream instead.')
        return self._run(stream_handle)

    def _run(self, stream_handle):
        """Checks the bindings now; the engine runs in the stream's order (None: synchronously)."""
        try:
            work = self._prepare(stream_handle)
        except _Refused as exc:
            _error(self._logger, 'IExecutionContext::enqueueV3: Error Code 3: API Usage Error '
                   '(%s)' % exc)
            return False
        cupy = sys.modules.get('cupy')
        if cupy is None or not getattr(cupy, '__quorvex_standin__', False):
            work()  # on a GPU the reads and writes themselves go through the stream
        else:
            stream = cupy.cuda.stream
            queue_stream = stream.ExternalStream(0 if stream_handle is None else stream_handle)
            stream.enqueue(work, queue_stream)
            if stream_handle is None:
                queue_stream.synchronize()
        return True

    def _bound(self, t, shape):
        if t.dtype not in _NPTYPE:
            raise _Refused('tensor %s has type %s, which the stand-in cannot run'
                           % (t.name, t.dtype.name))
        ptr = self._addresses.get(t.name, 0)
        if ptr == 0 and volume(shape) > 0:
            raise _Refused('no address is set for %s tensor %s; call set_tensor_address() '
                           'before execution' % (t.mode.name.lower(), t.name))
        return ptr

    def _prepare(self, stream_handle):
        engine = self._engine
        inputs = []
        for t in engine._io:
            if t.mode is not TensorIOMode.INPUT:
                continue
            shape = self._input_shape(t)
            if min(shape, default=0) < 0:
                raise _Refused('the shape of input %s is not set; call set_input_shape() '
                               'before execution' % t.name)
            inputs.append((t, shape, self._bound(t, shape)))
        outputs = [t for t in engine._io if t.mode is TensorIOMode.OUTPUT]
        shapes = self._output_shapes()
        targets = []
        for t in outputs:
            shape = shapes[t.name]
            if min(shape, default=0) < 0:
                raise _Refused('the shape of output %s could not be determined' % t.name)
            targets.append((t, shape, self._bound(t, shape)))

        def work():
            # Copies, so that an output bound over an input cannot change it mid-run.
            feed = {t.name: _read(ptr, shape, _NPTYPE[t.dtype], stream_handle)
                    for t, shape, ptr in inputs}
            try:
                results = engine._session.run([t.name for t in outputs], feed)
            except Exception as exc:
                raise RuntimeError('TensorRT stand-in: execution failed: %s' % exc) from None
            for (t, shape, _), r in zip(targets, results):
                r = np.asarray(r)
                if r.shape != tuple(shape) or r.dtype != _NPTYPE[t.dtype]:
                    raise RuntimeError('TensorRT stand-in: output %s came out as %s %s, but the '
                                       'engine gave it as %s %s' % (t.name, r.dtype, r.shape,
                                                                   np.dtype(_NPTYPE[t.dtype]),
                                                                   tuple(shape)))
            for (t, shape, ptr), r in zip(targets, results):
                _write(ptr, shape, _NPTYPE[t.dtype], r, stream_handle)

        return work


def _real_cupy():
    """CuPy when the real one drives a GPU (the bound addresses are then device memory)."""
    cupy = sys.modules.get("cupy")
    if cupy is None or getattr(cupy, "__quorvex_standin__", False):
        return None
    return cupy


def _device(cupy, ptr, shape, dtype):
    nbytes = volume(shape) * np.dtype(dtype).itemsize
    memory = cupy.cuda.UnownedMemory(ptr, nbytes, None)
    return cupy.ndarray(tuple(shape), dtype, cupy.cuda.MemoryPointer(memory, 0))


def _gpu_stream(cupy, handle):
    return None if handle is None else cupy.cuda.ExternalStream(handle)


def _read(ptr, shape, dtype, stream_handle=None):
    cupy = _real_cupy()
    if cupy is not None and volume(shape):
        return _device(cupy, ptr, shape, dtype).get(stream=_gpu_stream(cupy, stream_handle))
    return np.array(_memory(ptr, shape, dtype), copy=True)


def _write(ptr, shape, dtype, values, stream_handle=None):
    cupy = _real_cupy()
    if cupy is not None and volume(shape):
        stream = _gpu_stream(cupy, stream_handle)
        _device(cupy, ptr, shape, dtype).set(np.ascontiguousarray(values, dtype), stream=stream)
        if stream is not None:
            stream.synchronize()  # the host values must outlive the copy
    else:
        _memory(ptr, shape, dtype)[...] = values


def _memory(ptr, shape, dtype):
    """The bytes at a bound address as an array (like the device, it trusts the address)."""
    shape = tuple(shape)
    count = volume(shape)
    if count == 0:
        return np.empty(shape, dtype)
    raw = (ctypes.c_char * (count * np.dtype(dtype).itemsize)).from_address(ptr)
    return np.frombuffer(raw, dtype, count).reshape(shape)


# ---------------------------------------------------------------- building

class ITensor:
    """An input or output of a parsed network."""

    def __init__(self, name, dtype, shape, is_input):
        self._name = name
        self._dtype = dtype
        self._shape = Dims(shape)
        self._is_input = is_input

    @property
    def name(self):
        return self._name

    @property
    def dtype(self):
        return self._dtype

    @property
    def shape(self):
        return self._shape

    @shape.setter
    def shape(self, value):
        # Inputs may be reshaped before the build (e.g. to make a dim dynamic).
        value = _as_dims(value, 'ITensor.shape')
        if not self._is_input or len(value) != len(self._shape):
            raise ValueError('the stand-in can change only the dims of an input, keeping its '
                             'rank (%s: %s -> %s)' % (self._name, self._shape, tuple(value)))
        self._shape = value

    @property
    def is_network_input(self):
        return self._is_input

    @property
    def is_network_output(self):
        return not self._is_input

    @property
    def location(self):
        return TensorLocation.DEVICE

    def __repr__(self):
        return '<tensorrt.ITensor %s %s %s>' % (self._name, self._dtype.name, tuple(self._shape))


class INetworkDefinition:
    def __init__(self):
        raise TypeError('INetworkDefinition is made by Builder.create_network')

    @classmethod
    def _new(cls, flags):
        self = object.__new__(cls)
        self.flags = flags
        self.name = ''
        self._model = None
        self._inputs = []
        self._outputs = []
        return self

    @property
    def num_inputs(self):
        return len(self._inputs)

    @property
    def num_outputs(self):
        return len(self._outputs)

    @property
    def num_layers(self):
        return 0 if self._model is None else len(self._model.graph.node)

    @property
    def has_implicit_batch_dimension(self):
        return False

    def get_input(self, index):
        return self._inputs[index] if 0 <= index < len(self._inputs) else None

    def get_output(self, index):
        return self._outputs[index] if 0 <= index < len(self._outputs) else None

    def __len__(self):
        return self.num_layers

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class ParserError:
    def __init__(self, code, desc):
        self._code = code
        self._desc = desc

    def code(self):
        return self._code

    def desc(self):
        return self._desc

    def file(self):
        return ''

    def func(self):
        return 'parse'

    def line(self):
        return 0

    def node(self):
        return -1

    def __str__(self):
        return '%s: %s' % (self._code.name, self._desc)

    __repr__ = __str__


class OnnxParser:
    def __init__(self, network, logger):
        if not isinstance(network, INetworkDefinition):
            raise TypeError('OnnxParser needs an INetworkDefinition, got %s'
                            % type(network).__name__)
        self._network = network
        self._logger = _check_logger(logger)
        self._errors = []

    @property
    def num_errors(self):
        return len(self._errors)

    def get_error(self, index):
        return self._errors[index] if 0 <= index < len(self._errors) else None

    def clear_errors(self):
        self._errors.clear()

    def _fail(self, code, desc):
        self._errors.append(ParserError(code, desc))
        _error(self._logger, 'ModelImporter: %s: %s' % (code.name, desc))
        return False

    def parse(self, model, path=None):
        import onnx
        data = _as_bytes(model, 'OnnxParser.parse')
        try:
            proto = onnx.load_from_string(data)
        except Exception as exc:
            return self._fail(ErrorCode.MODEL_DESERIALIZE_FAILED,
                              'Failed to parse ONNX model from the buffer: %s' % exc)
        if path is not None:
            from onnx import external_data_helper
            if any(external_data_helper.uses_external_data(t) for t in proto.graph.initializer):
                external_data_helper.load_external_data_for_model(
                    proto, os.path.dirname(os.path.abspath(path)))
                data = proto.SerializeToString()
        return self._import(proto, data)

    def parse_from_file(self, model):
        import onnx
        if not os.path.isfile(model):
            return self._fail(ErrorCode.MODEL_DESERIALIZE_FAILED,
                              'Failed to open file %s' % model)
        try:
            proto = onnx.load(model)
        except Exception as exc:
            return self._fail(ErrorCode.MODEL_DESERIALIZE_FAILED,
                              'Failed to parse ONNX model %s: %s' % (model, exc))
        return self._import(proto, proto.SerializeToString())

    def _import(self, proto, data):
        net = self._network
        if net._model is not None:
            return self._fail(ErrorCode.INVALID_GRAPH, 'the network already holds a model')
        if _MAJOR >= 11:
            # Strongly typed: every operator must get the types ONNX defines for it.
            import onnx
            try:
                onnx.shape_inference.infer_shapes(_bf16_as_fp16(proto), check_type=True, strict_mode=True)
            except Exception as exc:
                return self._fail(ErrorCode.INVALID_NODE, 'type check failed: %s' % exc)
        try:
            _, _, io = _load(data)
        except _Refused as exc:
            return self._fail(ErrorCode.INVALID_GRAPH, str(exc))
        net._model = proto
        net.name = proto.graph.name
        net._inputs = [ITensor(t.name, t.dtype, t.dims, True)
                       for t in io if t.mode is TensorIOMode.INPUT]
        net._outputs = [ITensor(t.name, t.dtype, t.dims, False)
                        for t in io if t.mode is TensorIOMode.OUTPUT]
        return True

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def _bf16_as_fp16(proto):
    """A copy typed with half where bfloat16 stands: TensorRT takes bfloat16 wherever it takes
    half, also in operators whose ONNX opset lists no bfloat16."""
    from onnx import TensorProto
    copy = type(proto)()
    copy.CopyFrom(proto)
    bf16, fp16 = TensorProto.BFLOAT16, TensorProto.FLOAT16

    def retype(g):
        for t in g.initializer:
            if t.data_type == bf16:
                t.data_type = fp16
        for vi in list(g.input) + list(g.output) + list(g.value_info):
            if vi.type.tensor_type.elem_type == bf16:
                vi.type.tensor_type.elem_type = fp16
        for node in g.node:
            for a in node.attribute:
                if a.HasField('t') and a.t.data_type == bf16:
                    a.t.data_type = fp16
                if node.op_type == 'Cast' and a.name == 'to' and a.i == bf16:
                    a.i = fp16
                if a.HasField('g'):
                    retype(a.g)
                for sub in a.graphs:
                    retype(sub)

    retype(copy.graph)
    return copy


class IOptimizationProfile:
    def __init__(self):
        self._shapes = {}
        self._valid = True

    def set_shape(self, input, min, opt, max):
        shapes = tuple(_as_dims(s, 'set_shape') for s in (min, opt, max))
        lo, mid, hi = shapes
        ok = len(lo) == len(mid) == len(hi) and all(
            0 <= a <= b <= c for a, b, c in zip(lo, mid, hi))
        if not ok:
            # TensorRT marks the profile invalid; adding it to a config then fails.
            self._valid = False
            print('[TRT] [E] IOptimizationProfile::setDimensions: Error Code 3: API Usage Error '
                  '(need min <= opt <= max, all >= 0, of one rank; got %s for %s)'
                  % ([tuple(s) for s in shapes], input), file=sys.stderr)
            return
        self._shapes[input] = shapes

    def get_shape(self, input):
        return list(self._shapes.get(input, ()))

    def __bool__(self):
        return self._valid


class IBuilderConfig:
    def __init__(self):
        raise TypeError('IBuilderConfig is made by Builder.create_builder_config')

    @classmethod
    def _new(cls):
        self = object.__new__(cls)
        self._flags = {BuilderFlag.TF32}  # on by default in TensorRT
        self._profiles = []
        self._pools = {}
        self.builder_optimization_level = 3
        self.profiling_verbosity = ProfilingVerbosity.LAYER_NAMES_ONLY
        self.default_device_type = DeviceType.GPU
        self.DLA_core = -1
        self.avg_timing_iterations = 1
        if _MAJOR < 11:
            self.int8_calibrator = None
        return self

    @property
    def flags(self):
        return sum(1 << f.value for f in self._flags)

    @flags.setter
    def flags(self, value):
        value = _as_int(value, 'flags')
        self._flags = {f for f in BuilderFlag if value & (1 << f.value)}

    def set_flag(self, flag):
        self._flags.add(_member(BuilderFlag, flag, 'set_flag'))

    def clear_flag(self, flag):
        self._flags.discard(_member(BuilderFlag, flag, 'clear_flag'))

    def get_flag(self, flag):
        return _member(BuilderFlag, flag, 'get_flag') in self._flags

    def add_optimization_profile(self, profile):
        if not isinstance(profile, IOptimizationProfile):
            raise TypeError('add_optimization_profile needs an IOptimizationProfile')
        if not profile:
            return -1
        # The config takes a snapshot, as TensorRT copies the profile.
        self._profiles.append(dict(profile._shapes))
        return len(self._profiles) - 1

    @property
    def num_optimization_profiles(self):
        return len(self._profiles)

    def set_memory_pool_limit(self, pool, pool_size):
        self._pools[_member(MemoryPoolType, pool, 'set_memory_pool_limit')] = _as_int(pool_size, 'set_memory_pool_limit')

    def get_memory_pool_limit(self, pool):
        pool = _member(MemoryPoolType, pool, 'get_memory_pool_limit')
        return self._pools.get(pool, _DEVICE_MEMORY if pool is MemoryPoolType.WORKSPACE else 0)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


class Builder:
    def __init__(self, logger):
        self.logger = _check_logger(logger)
        self.max_threads = 1

    platform_has_fast_fp16 = True
    platform_has_fast_int8 = True
    platform_has_tf32 = True
    num_DLA_cores = 0

    def create_network(self, flags=0):
        flags = _as_int(flags, 'create_network')
        # EXPLICIT_BATCH (bit 0) is gone from TensorRT 11; STRONGLY_TYPED is accepted there.
        if flags & ~(0b11 if _MAJOR < 11 else 0b10):
            _error(self.logger, 'IBuilder::createNetworkV2: Error Code 3: API Usage Error '
                   '(unknown network creation flags 0x%x)' % flags)
            return None
        return INetworkDefinition._new(flags)

    def create_builder_config(self):
        return IBuilderConfig._new()

    def create_optimization_profile(self):
        return IOptimizationProfile()

    def is_network_supported(self, network, config):
        return network._model is not None

    def build_serialized_network(self, network, config):
        try:
            return IHostMemory(ENGINE_MAGIC + _build(network, config))
        except _Refused as exc:
            _error(self.logger, 'IBuilder::buildSerializedNetwork: Error Code 4: API Usage '
                   'Error (%s)' % exc)
            return None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False


def _check_profiles(network, profiles):
    inputs = {t.name: t.shape for t in network._inputs}
    dynamic = [n for n, s in inputs.items() if min(s, default=0) < 0]
    if dynamic and not profiles:
        raise _Refused('Network has dynamic or shape inputs, but no optimization profile has '
                       'been defined (%s)' % ', '.join(dynamic))
    for k, profile in enumerate(profiles):
        for name in profile:
            if name not in inputs:
                raise _Refused('optimization profile %d sets %r, which is not a network input'
                               % (k, name))
        for name, dims in inputs.items():
            shapes = profile.get(name)
            if shapes is None:
                if name in dynamic:
                    raise _Refused('optimization profile %d is missing values for input %s'
                                   % (k, name))
                continue
            for s in shapes:
                if len(s) != len(dims) or any(d >= 0 and d != v for d, v in zip(dims, s)):
                    raise _Refused('optimization profile %d gives input %s shape %s, which does '
                                   'not fit its dims %s' % (k, name, tuple(s), tuple(dims)))


def _build(network, config):
    if not isinstance(network, INetworkDefinition) or not isinstance(config, IBuilderConfig):
        raise TypeError('build_serialized_network(network, config) takes an '
                        'INetworkDefinition and an IBuilderConfig')
    if network._model is None or not network._outputs:
        raise _Refused('Network must have at least one output')
    _check_profiles(network, config._profiles)
    model = type(network._model)()
    model.CopyFrom(network._model)
    # Input dims changed through ITensor.shape go into the model.
    reshaped = {t.name: t.shape for t in network._inputs}
    for vi in model.graph.input:
        dims = reshaped.get(vi.name)
        if dims is None:
            continue
        for i, (dim, d) in enumerate(zip(vi.type.tensor_type.shape.dim, dims)):
            if d >= 0:
                dim.dim_value = d
            elif not (dim.HasField('dim_param') and dim.dim_param):
                dim.dim_param = '%s_dim%d' % (vi.name, i)
    pools = {p.name: n for p, n in config._pools.items()}
    pools.setdefault('WORKSPACE', _DEVICE_MEMORY)
    info = {
        'flags': sorted(f.name for f in config._flags),
        'profiles': [{n: [list(s) for s in shapes] for n, shapes in p.items()}
                     for p in config._profiles],
        'memory_pools': pools,
        'builder_optimization_level': int(config.builder_optimization_level),
        'network_flags': network.flags,
        # Strongly typed builds take their precision from these.
        'weight_types': sorted({onnx_mapping_name(t.data_type) for t in model.graph.initializer}),
    }
    for i in reversed(range(len(model.metadata_props))):
        if model.metadata_props[i].key == _BUILD_KEY:
            del model.metadata_props[i]
    entry = model.metadata_props.add()
    entry.key = _BUILD_KEY
    entry.value = json.dumps(info)
    return model.SerializeToString()


# ---------------------------------------------------------------- generations

_MAJOR = 10
_VERSIONS = {10: '10.0.0-standin', 11: '11.4.0-standin'}
_BUILDER_FLAG_10 = BuilderFlag
_CREATION_FLAG_10 = NetworkDefinitionCreationFlag
# Weak typing is gone from TensorRT 11: networks take their precision from their types.
_BUILDER_FLAG_11 = _Enum('BuilderFlag', [
    (f.name, f.value) for f in BuilderFlag
    if f.name not in ('FP16', 'INT8', 'FP8', 'BF16', 'OBEY_PRECISION_CONSTRAINTS',
                      'PREFER_PRECISION_CONSTRAINTS', 'DIRECT_IO')])
_CREATION_FLAG_11 = _Enum('NetworkDefinitionCreationFlag', [('STRONGLY_TYPED', 1)])
_REMOVED_IN_11 = {
    'Builder': ('platform_has_fast_fp16', 'platform_has_fast_int8', 'platform_has_tf32'),
    'ICudaEngine': ('device_memory_size', 'has_implicit_batch_dimension'),
    'INetworkDefinition': ('has_implicit_batch_dimension',),
}
_KEPT = {(cls, name): globals()[cls].__dict__[name]
         for cls, names in _REMOVED_IN_11.items() for name in names}


def standin_set_version(major):
    """Offers the API of TensorRT ``major`` (10 or 11) from now on; returns the previous major.

    The module is changed in place, so handles to it taken earlier see the new API.
    """
    global _MAJOR, __version__, BuilderFlag, NetworkDefinitionCreationFlag
    if major not in _VERSIONS:
        raise ValueError('the TensorRT stand-in offers versions 10 and 11, not %r' % (major,))
    previous, _MAJOR, __version__ = _MAJOR, major, _VERSIONS[major]
    BuilderFlag = _BUILDER_FLAG_10 if major < 11 else _BUILDER_FLAG_11
    NetworkDefinitionCreationFlag = _CREATION_FLAG_10 if major < 11 else _CREATION_FLAG_11
    for (cls, name), value in _KEPT.items():
        if major < 11:
            setattr(globals()[cls], name, value)
        elif name in globals()[cls].__dict__:
            delattr(globals()[cls], name)
    return previous


# pybind11 reports TensorRT's classes as living in ``tensorrt``.
for _cls in [v for v in list(globals().values()) if isinstance(v, type) and
             v.__module__ == __name__ and not v.__name__.startswith('_')]:
    _cls.__module__ = 'tensorrt'
_Severity.__module__ = 'tensorrt'
for _cls in (_BUILDER_FLAG_11, _CREATION_FLAG_11):
    _cls.__module__ = 'tensorrt'
del _cls

standin_set_version(int(os.environ.get('QUORVEX_STANDIN_TENSORRT', '10')))
