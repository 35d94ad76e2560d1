"""Runs the suite on a real GPU when one is usable, otherwise on the CPU stand-ins."""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))


def _cuda_usable() -> bool:
    if os.environ.get("QUORVEX_STANDIN") == "1":
        return False
    try:
        import cupy

        return cupy.cuda.runtime.getDeviceCount() > 0
    except Exception:
        return False


ON_GPU = _cuda_usable()
import standin  # noqa: E402

if ON_GPU:
    standin.install_tensorrt()  # engines as ONNX models where TensorRT itself is missing
else:
    standin.install()


def pytest_collection_modifyitems(config, items):
    for item in items:
        if ON_GPU and "standin" in item.keywords:
            item.add_marker(pytest.mark.skip(reason="exercises the CPU stand-ins only"))
        if not ON_GPU and "gpu" in item.keywords:
            item.add_marker(pytest.mark.skip(reason="needs a CUDA device"))
