"""What the suite uses of the stand-ins is checked against the real libraries' API (api_manifest.json).

The session fails at its end on any name the real library lacks (tests/conftest.py); these tests
show that the record sees what code outside the stand-ins touches, and that the check reads the
manifest of the generation emulated.
"""

import pytest

import standin

pytestmark = pytest.mark.standin

if standin.installed():
    from standin import _api


@pytest.mark.parametrize("entry, problem", [
    (("member", "tensorrt-11", "BuilderFlag", "FP16"), "tensorrt-11: BuilderFlag.FP16"),
    (("member", "tensorrt-10", "BuilderFlag", "FP16"), None),
    (("member", "tensorrt-11", "ICudaEngine", "device_memory_size"), "tensorrt-11: ICudaEngine.device_memory_size"),
    (("member", "tensorrt-10", "IBuilderConfig", "max_workspace_size"), "tensorrt-10: IBuilderConfig.max_workspace_size"),
    (("module", "tensorrt-11", "tensorrt", "BuilderFlag"), None),
    (("kwargs", "onnxruntime", "InferenceSession", "__init__", ("session_options",)),
     "onnxruntime: InferenceSession.__init__(session_options=) takes path_or_bytes, sess_options, providers, "
     "provider_options, disabled_optimizers, enable_fallback, read_config_from_model"),
    (("kwargs", "onnxruntime", "InferenceSession", "__init__", ("providers", "sess_options")), None),
    (("kwargs", "cupy", "ndarray", "get", ("stream",)), None),
    (("kwargs", "cupy", "cupy", "asarray", ("dtype", "device")), "cupy: cupy.asarray(device=) takes a, dtype, order, copy, blocking"),
    (("module", "cupy", "cupy.cuda", "ExternalStream"), None),
    (("member", "PyNvVideoCodec", "PyNvDecoder", "GetPixelFormat"), None),
])
def test_names_are_checked_against_the_emulated_generation(entry, problem):
    assert _api.problems({entry}) == ([problem] if problem else [])


def test_what_code_outside_the_stand_ins_touches_is_recorded():
    import cupy as cp
    import tensorrt as trt

    a = cp.asarray([1, 2], dtype=cp.float32)
    a.get(order="C")
    _ = trt.BuilderFlag.TF32
    cp.cuda.Stream(non_blocking=True)
    expected = {("module", "cupy", "cupy", "asarray"), ("kwargs", "cupy", "cupy", "asarray", ("dtype",)),
                ("member", "cupy", "ndarray", "get"), ("kwargs", "cupy", "ndarray", "get", ("order",)),
                ("member", _api._lib("tensorrt"), "BuilderFlag", "TF32"), ("module", "cupy", "cupy.cuda", "Stream"),
                ("kwargs", "cupy", "Stream", "__init__", ("non_blocking",))}
    assert expected <= _api.touched
    assert _api.problems(expected) == []
