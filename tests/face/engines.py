"""TensorRT engines of the tests' ONNX graphs (the stand-in wraps them; real TensorRT is not
asked to build them)."""

import pytest

try:
    from standin.tensorrt import engine_bytes
except ImportError:  # pragma: no cover - a GPU machine with TensorRT and without the stand-in
    engine_bytes = None


def engine(model):
    if engine_bytes is None:
        pytest.skip("needs the TensorRT stand-in to turn ONNX graphs into engines")
    return engine_bytes(model)
