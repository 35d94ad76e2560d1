"""The command's model runners order their engines' streams after the work that filled the batch
and before the work that reads the result, whatever stream the caller is on."""

import ctypes

import cupy as cp
import numpy as np
import onnx
import pytest
import tensorrt as trt
from onnx import TensorProto, helper

from quorvex.pipeline import models

standin_only = pytest.mark.skipif(not getattr(cp, "__quorvex_standin__", False) or
                                  not getattr(trt, "__quorvex_standin__", False),
                                  reason="engines are made as stand-in engines; the race shows on the stand-in")

FILL = cp.RawKernel(r"""
extern "C" __global__ void fill(float *out, float value, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) out[i] = value;
}""", "fill")


def filled(shape, value):
    """A batch written by a kernel on the current stream, still pending there."""
    batch = cp.empty(shape, cp.float32)
    FILL((1,), (batch.size,), (batch, np.float32(value), np.int32(batch.size)))
    return batch


def model(op, shape, out_shape, elem=TensorProto.FLOAT):
    nodes = [helper.make_node("Identity", ["input"], ["output"])] if op == "identity" else [
        helper.make_node("Resize", ["input", "", "scales"], ["output"], mode="nearest")]
    inits = [] if op == "identity" else [helper.make_tensor("scales", TensorProto.FLOAT, [4], [1, 1, 2, 2])]
    graph = helper.make_graph(nodes, op, [helper.make_tensor_value_info("input", elem, shape)],
                              [helper.make_tensor_value_info("output", elem, out_shape)], inits)
    return helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])


@standin_only
@pytest.mark.parametrize("elem", [TensorProto.FLOAT, TensorProto.FLOAT16], ids=["float32", "float16"])
def test_tensorrt_runner_reads_the_batch_its_producer_wrote(tmp_path, elem):
    from standin.tensorrt import engine_bytes

    path = tmp_path / "identity.engine"
    path.write_bytes(engine_bytes(model("identity", [1, 3, 4, 4], [1, 3, 4, 4], elem)))
    backend = models.TensorRTBackend(str(path), 0, None)
    out = backend.run(filled((1, 3, 4, 4), 7.0))
    np.testing.assert_array_equal(out.get(), np.full((1, 3, 4, 4), 7.0))


class CudaSession:
    """ONNX Runtime's CUDA provider as the backend sees it: it computes on a stream of its own
    unless the provider options give it one (user_compute_stream), reading and writing the
    bound device addresses there."""

    def __init__(self, path, sess_options=None, providers=None):
        options = dict(providers[0][1])
        given = int(options.get("user_compute_stream", "0"))
        self.stream = cp.cuda.ExternalStream(given) if given else cp.cuda.Stream(non_blocking=True)
        self.bound = {}

    def get_providers(self):
        return ["CUDAExecutionProvider", "CPUExecutionProvider"]

    def io_binding(self):
        session = self

        class Binding:
            def bind_input(self, name, device, device_id, dtype, shape, ptr):
                session.bound["input"] = (ptr, shape, dtype)

            def bind_output(self, name, device, device_id, dtype, shape, ptr):
                session.bound["output"] = (ptr, shape, dtype)

        return Binding()

    def run_with_iobinding(self, binding, run_options=None):
        def view(ptr, shape, dtype):
            count = int(np.prod(shape)) * np.dtype(dtype).itemsize
            return np.frombuffer((ctypes.c_char * count).from_address(ptr), dtype).reshape(shape)

        def work():  # nearest x2, as the model says
            x, y = view(*self.bound["input"]), view(*self.bound["output"])
            y[...] = x.repeat(2, axis=2).repeat(2, axis=3)

        cp.cuda.stream.standin_enqueue(work, self.stream)
        # ONNX Runtime waits for its provider's stream before Run returns.
        self.stream.synchronize()


@standin_only
@pytest.mark.parametrize("stream", ["current", "non-blocking"])
def test_onnx_runner_computes_on_a_stream_ordered_with_the_callers(tmp_path, monkeypatch, stream):
    import onnxruntime

    path = tmp_path / "x2.onnx"
    onnx.save(model("resize", [1, 3, 4, 4], [1, 3, 8, 8]), str(path))
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: ["CUDAExecutionProvider", "CPUExecutionProvider"])
    monkeypatch.setattr(onnxruntime, "InferenceSession", CudaSession)
    backend = models.OnnxBackend(str(path), 0, None, reporter=None)
    assert backend.on_gpu and backend.scale == 2
    caller = cp.cuda.Stream(non_blocking=True) if stream == "non-blocking" else cp.cuda.get_current_stream()
    with caller:
        out = backend.run(filled((1, 3, 4, 4), 7.0))
        out += 1.0  # the consumer, on the caller's stream
        np.testing.assert_array_equal(out.get(), np.full((1, 3, 8, 8), 8.0))
