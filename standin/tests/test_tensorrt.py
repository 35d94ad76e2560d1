"""The TensorRT stand-in must run engines through bound device memory as TensorRT does."""

import cupy as cp
import numpy as np
import pytest
import tensorrt as trt
from onnx import TensorProto, helper

from standin.tensorrt import ENGINE_MAGIC, engine_bytes

if not getattr(trt, '__quorvex_standin__', False):
    pytest.skip('the real TensorRT is installed', allow_module_level=True)


def affine_model(shape=(1, 3, 4, 4)):
    """y = x * 2 + 1 and s = sum of x over the channels, keeping dims."""
    x = helper.make_tensor_value_info('x', TensorProto.FLOAT, list(shape))
    y = helper.make_tensor_value_info('y', TensorProto.FLOAT, None)
    s = helper.make_tensor_value_info('s', TensorProto.FLOAT, None)
    nodes = [
        helper.make_node('Mul', ['x', 'two'], ['x2']),
        helper.make_node('Add', ['x2', 'one'], ['y']),
        helper.make_node('ReduceSum', ['x', 'axes'], ['s'], keepdims=1),
    ]
    inits = [helper.make_tensor('two', TensorProto.FLOAT, [], [2.0]),
             helper.make_tensor('one', TensorProto.FLOAT, [], [1.0]),
             helper.make_tensor('axes', TensorProto.INT64, [1], [1])]
    graph = helper.make_graph(nodes, 'affine', [x], [y, s], inits)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid('', 17)])
    model.ir_version = 8
    return model


def load(data):
    return trt.Runtime(trt.Logger(trt.Logger.WARNING)).deserialize_cuda_engine(data)


def test_install_registers_the_stand_in():
    assert trt.__version__ in ('10.0.0-standin', '11.4.0-standin')
    assert engine_bytes(b'abc') == ENGINE_MAGIC + b'abc'


def test_engine_describes_its_io_tensors_in_order():
    engine = load(engine_bytes(affine_model()))
    names = [engine.get_tensor_name(i) for i in range(engine.num_io_tensors)]
    assert names == list(engine) == ['x', 'y', 's'] and len(engine) == 3
    assert [engine.get_tensor_mode(n) for n in names] == [
        trt.TensorIOMode.INPUT, trt.TensorIOMode.OUTPUT, trt.TensorIOMode.OUTPUT]
    assert engine.get_tensor_mode('nope') == trt.TensorIOMode.NONE
    assert engine.get_tensor_shape('x') == (1, 3, 4, 4)
    assert engine.get_tensor_shape('s') == (1, 1, 4, 4)  # inferred, though the model omits it
    assert engine.get_tensor_dtype('y') == trt.DataType.FLOAT
    assert trt.nptype(engine.get_tensor_dtype('y')) is np.float32
    assert trt.nptype(trt.DataType.HALF) is np.float16
    with pytest.raises(TypeError):
        trt.nptype(trt.DataType.BF16)
    assert engine.num_layers == 3
    assert str(engine).startswith('<tensorrt.ICudaEngine')


def test_execution_writes_outputs_into_the_bound_buffers():
    engine = load(engine_bytes(affine_model()))
    context = engine.create_execution_context()
    x = cp.asarray(np.arange(48, dtype=np.float32).reshape(1, 3, 4, 4))
    y = cp.empty((1, 3, 4, 4), cp.float32)
    s = cp.empty((1, 1, 4, 4), cp.float32)
    for name, buf in (('x', x), ('y', y), ('s', s)):
        assert context.set_tensor_address(name, buf.data.ptr)
    assert context.get_tensor_address('y') == y.data.ptr
    stream = cp.cuda.Stream(non_blocking=True)
    stream.wait_event(cp.cuda.get_current_stream().record())  # x is staged on the current stream
    assert context.execute_async_v3(stream.ptr)
    stream.synchronize()
    np.testing.assert_array_equal(y.get(), x.get() * 2 + 1)
    np.testing.assert_array_equal(s.get(), x.get().sum(axis=1, keepdims=True))
    with pytest.raises(TypeError):  # the stream's handle, not the stream, as with pybind11
        context.execute_async_v3(stream)


def test_failures_return_none_or_false_and_log(capsys):
    assert load(b'not an engine') is None
    assert load(engine_bytes(b'\x08\x01garbage')) is None
    assert 'Error' in capsys.readouterr().err

    context = load(engine_bytes(affine_model())).create_execution_context()
    x = cp.zeros((1, 3, 4, 4), cp.float32)
    y = cp.zeros((1, 3, 4, 4), cp.float32)
    assert not context.set_tensor_address('nope', x.data.ptr)
    assert context.set_tensor_address('x', x.data.ptr)
    assert context.set_tensor_address('y', y.data.ptr)
    assert not context.execute_async_v3(cp.cuda.Stream().ptr)  # 's' is unbound
    assert 'tensor s' in capsys.readouterr().err
    assert (y.get() == 0).all()


def test_dynamic_model_builds_through_the_builder_and_runs_with_set_shapes():
    model = affine_model(shape=['n', 3, 'h', 'w'])
    logger = trt.Logger()
    builder = trt.Builder(logger)
    network = builder.create_network(0)  # explicit batch is implied from TensorRT 10 on
    parser = trt.OnnxParser(network, logger)
    assert parser.parse(model.SerializeToString()), [str(parser.get_error(i))
                                                      for i in range(parser.num_errors)]
    assert (network.num_inputs, network.num_outputs) == (1, 2)
    assert network.get_input(0).shape == (-1, 3, -1, -1)

    config = builder.create_builder_config()
    config.set_flag(trt.BuilderFlag.SPARSE_WEIGHTS)
    config.set_memory_pool_limit(trt.MemoryPoolType.WORKSPACE, 1 << 28)
    assert builder.build_serialized_network(network, config) is None  # dynamic needs a profile
    profile = builder.create_optimization_profile()
    profile.set_shape('x', (1, 3, 2, 2), (1, 3, 8, 8), (2, 3, 16, 16))
    assert config.add_optimization_profile(profile) == 0
    plan = builder.build_serialized_network(network, config)
    assert plan is not None and plan.nbytes == len(bytes(plan))

    engine = load(plan)
    info = engine.standin_build_info
    assert {trt.BuilderFlag.SPARSE_WEIGHTS, trt.BuilderFlag.TF32} <= info['flags']
    assert info['profiles'] == [{'x': ((1, 3, 2, 2), (1, 3, 8, 8), (2, 3, 16, 16))}]
    assert info['workspace'] == 1 << 28
    assert engine.get_tensor_shape('x') == (-1, 3, -1, -1)

    context = engine.create_execution_context()
    assert not context.set_input_shape('x', (1, 3, 32, 32))  # beyond the profile's max
    assert context.set_input_shape('x', (2, 3, 5, 6))
    assert context.get_tensor_shape('s') == (2, 1, 5, 6)
    x = cp.asarray(np.random.default_rng(0).random((2, 3, 5, 6), dtype=np.float32))
    y = cp.empty((2, 3, 5, 6), cp.float32)
    s = cp.empty((2, 1, 5, 6), cp.float32)
    cp.cuda.get_current_stream().synchronize()  # execute_v2 orders itself after no stream
    assert context.execute_v2([x.data.ptr, y.data.ptr, s.data.ptr])
    np.testing.assert_allclose(y.get(), x.get() * 2 + 1, rtol=1e-6)
    np.testing.assert_allclose(s.get(), x.get().sum(axis=1, keepdims=True), rtol=1e-6)


@pytest.mark.parametrize('major', [10, 11])
def test_each_version_offers_its_own_api(major):
    previous = trt.standin_set_version(major)
    try:
        assert trt.__version__.split('.')[0] == str(major)
        weak = major < 11  # TensorRT 11 networks are strongly typed
        assert all(hasattr(trt.BuilderFlag, f) == weak for f in ('FP16', 'BF16', 'INT8', 'FP8',
                                                                   'OBEY_PRECISION_CONSTRAINTS',
                                                                   'PREFER_PRECISION_CONSTRAINTS'))
        assert hasattr(trt.BuilderFlag, 'TF32')
        assert hasattr(trt.NetworkDefinitionCreationFlag, 'EXPLICIT_BATCH') == weak
        assert all(hasattr(trt.Builder, q) == weak
                   for q in ('platform_has_fast_fp16', 'platform_has_fast_int8', 'platform_has_tf32'))
        assert all(hasattr(trt.ICudaEngine, q) == weak for q in ('device_memory_size', 'has_implicit_batch_dimension'))
        assert not hasattr(trt.IBuilderConfig, 'max_workspace_size')  # gone from TensorRT 10
    finally:
        trt.standin_set_version(previous)
