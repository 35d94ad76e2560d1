"""Checkpoints exported to ONNX, and ONNX models built into TensorRT engines.

Where TensorRT is missing the stand-in builds the engines; they record what the build asked for
(flags, profiles, workspace, weight types), which the builder tests read back. The builder tests
run against the API of TensorRT 10 (precision flags) and of TensorRT 11 (strongly typed).
"""

import contextlib
import os

import cupy as cp
import numpy as np
import onnx
import pytest
import tensorrt as trt
import torch
import torch.nn.functional as F
from onnx import TensorProto, helper, numpy_helper

from quorvex.upscale import convert
from quorvex.upscale.convert import onnx_to_trt, onnx_to_trt_dynamic_shape, onnx_to_trt_fixed_shape, torch_to_onnx

standin_only = pytest.mark.skipif(not getattr(trt, "__quorvex_standin__", False),
                                  reason="reads what the TensorRT stand-in records")
DYNAMIC = ["N", 3, "H", "W"]


@pytest.fixture(autouse=True, params=[10, 11], ids=["trt10", "trt11"])
def generation(request):
    """The TensorRT API generation the test runs against (the stand-in offers either)."""
    if not getattr(trt, "__quorvex_standin__", False):
        if int(trt.__version__.split(".")[0]) != request.param:
            pytest.skip(f"the real TensorRT {trt.__version__} is installed")
        yield request.param
        return
    previous = trt.standin_set_version(request.param)
    yield request.param
    trt.standin_set_version(previous)


def explicit_batch():
    """The network flags the builders pass: explicit batch where the release has the flag."""
    creation = trt.NetworkDefinitionCreationFlag
    return 1 << int(creation.EXPLICIT_BATCH) if hasattr(creation, "EXPLICIT_BATCH") else 0

# ------------------------------------------------------------------ models made here

RNG = np.random.default_rng(0)
WEIGHT, BIAS = RNG.standard_normal((12, 3, 3, 3)).astype(np.float32) * 0.2, RNG.standard_normal(12).astype(np.float32)


def onnx_model(dims, kind="x2"):
    """x2: conv to 12 channels and depth-to-space, a x2 upscaler; resize: conv and nearest x2,
    times a Constant; double: 2 * input, any channel
    count; odd: an operator of an unknown domain, valid ONNX that no runtime loads."""
    out = dims[:2] + [d * 2 if isinstance(d, int) else d + "2" for d in dims[2:]] if kind == "x2" else dims
    nodes, inits, opsets = [], [], [helper.make_opsetid("", 17)]
    if kind == "x2":
        nodes = [helper.make_node("Conv", ["input", "w", "b"], ["f"], pads=[1, 1, 1, 1]),
                 helper.make_node("DepthToSpace", ["f"], ["output"], blocksize=2, mode="CRD")]
        inits = [numpy_helper.from_array(WEIGHT, "w"), numpy_helper.from_array(BIAS, "b")]
    elif kind == "resize":  # conv, nearest x2 upsampling (its scales must stay float), times a Constant's 1.0
        nodes = [helper.make_node("Conv", ["input", "w3", "b3"], ["f"], pads=[1, 1, 1, 1]),
                 helper.make_node("Resize", ["f", "", "scales"], ["up"], mode="nearest"),
                 helper.make_node("Constant", [], ["one"], value_float=1.0),
                 helper.make_node("Mul", ["up", "one"], ["output"])]
        inits = [numpy_helper.from_array(WEIGHT[:3], "w3"), numpy_helper.from_array(BIAS[:3], "b3"),
                 numpy_helper.from_array(np.array([1, 1, 2, 2], np.float32), "scales")]
    elif kind == "double":
        nodes = [helper.make_node("Mul", ["input", "two"], ["output"])]
        inits = [numpy_helper.from_array(np.array(2.0, np.float32), "two")]
    else:
        nodes = [helper.make_node("Frobnicate", ["input"], ["output"], domain="example.nowhere")]
        opsets.append(helper.make_opsetid("example.nowhere", 1))
    graph = helper.make_graph(nodes, kind, [helper.make_tensor_value_info("input", TensorProto.FLOAT, dims)],
                              [helper.make_tensor_value_info("output", TensorProto.FLOAT, out)], inits)
    return helper.make_model(graph, opset_imports=opsets)


def resize_reference(x):
    features = F.conv2d(torch.as_tensor(x, dtype=torch.float64), torch.as_tensor(WEIGHT[:3], dtype=torch.float64),
                        torch.as_tensor(BIAS[:3], dtype=torch.float64), padding=1)
    return features.numpy().repeat(2, axis=2).repeat(2, axis=3)


def x2_reference(x):
    features = F.conv2d(torch.as_tensor(x), torch.as_tensor(WEIGHT), torch.as_tensor(BIAS), padding=1)
    return F.pixel_shuffle(features, 2).numpy()


@pytest.fixture
def paths(tmp_path):
    """(save(model) -> onnx path, engine path)."""
    def save(model):
        onnx.save(model, str(tmp_path / "model.onnx"))
        return str(tmp_path / "model.onnx")
    return save, str(tmp_path / "model.engine")


def load_engine(path):
    with open(path, "rb") as f:
        return trt.Runtime(trt.Logger(trt.Logger.WARNING)).deserialize_cuda_engine(f.read())


def run_engine(path, x):
    engine = load_engine(path)
    context = engine.create_execution_context()
    context.set_input_shape("input", x.shape)
    d_input = cp.asarray(x)
    d_output = cp.empty(tuple(context.get_tensor_shape("output")), cp.float32)
    context.set_tensor_address("input", d_input.data.ptr)
    context.set_tensor_address("output", d_output.data.ptr)
    stream = cp.cuda.Stream(non_blocking=True)
    stream.wait_event(cp.cuda.get_current_stream().record())  # the input is staged on the current stream
    assert context.execute_async_v3(stream.ptr)
    stream.synchronize()
    return cp.asnumpy(d_output)


def lines(capsys):
    return capsys.readouterr().out.splitlines()


@pytest.fixture
def flags_set(monkeypatch):
    """Every flag set on a builder config, in order."""
    calls, original = [], trt.IBuilderConfig.set_flag
    monkeypatch.setattr(trt.IBuilderConfig, "set_flag", lambda self, flag: calls.append(flag) or original(self, flag))
    return calls


def build_gives(monkeypatch, result):
    """build_serialized_network raises `result` if it is an exception, else returns it."""
    def build(self, network, config):
        if isinstance(result, BaseException):
            raise result
        return result
    monkeypatch.setattr(trt.Builder, "build_serialized_network", build)


# ------------------------------------------------------------------ ONNX to TensorRT


@standin_only
@pytest.mark.parametrize(
    "dims, kwargs, expected",
    [
        (DYNAMIC, {}, ([1, 3, 16, 16], [1, 3, 512, 512], [1, 3, 2048, 2048])),
        ([1, 3, "H", "W"], {"size_requirements": (32, 64, 128), "batch_requirements": (2, 3, 4)},
         ([1, 3, 32, 32], [1, 3, 64, 64], [1, 3, 128, 128])),
        (["N", 3, 40, "W"], {"size_requirements": (8, 16, 32), "batch_requirements": (2, 3, 5)},
         ([2, 3, 40, 8], [3, 3, 40, 16], [5, 3, 40, 32])),
        (["N", "C", "H", "W"], {"size_requirements": (8, 16, 32), "batch_requirements": (2, 3, 5)},
         ([2, 1, 8, 8], [3, 3, 16, 16], [5, 4, 32, 32])),
        ([1, 3, 8, 8], {}, None),
    ],
)
def test_dynamic_axes_get_the_profile(paths, capsys, dims, kwargs, expected):
    save, engine_path = paths
    onnx_to_trt_dynamic_shape(save(onnx_model(dims, "double" if "C" in dims else "x2")), engine_path,
                              workspace=3 << 30, **kwargs)
    info = load_engine(engine_path).standin_build_info
    assert info["workspace"] == 3 << 30 and info["network_flags"] == explicit_batch()
    out = lines(capsys)
    if expected is None:
        assert info["profiles"] == [] and "Optimization profile set:" not in out
        assert "No dynamic dimensions found - no optimization profile needed" in out
    else:
        assert info["profiles"] == [{"input": tuple(tuple(s) for s in expected)}]
        at = out.index("Optimization profile set:")
        assert out[at + 1:at + 4] == [f"  {k} shape: {s}" for k, s in zip(["Min", "Opt", "Max"], expected)]


def test_dynamic_build_prints_its_progress_and_the_engine_runs(paths, capsys):
    save, engine_path = paths
    onnx_path = save(onnx_model(DYNAMIC))
    assert onnx_to_trt_dynamic_shape(onnx_path, engine_path, "fp32", batch_requirements=(1, 2, 3)) is None
    assert lines(capsys) == [
        f"Building TensorRT engine for upscale model from ONNX model: {onnx_path}",
        "\u26a0\ufe0f  WARNING: Transformer-based upscale models may not be compatible with TensorRT",
        "Size requirements: min=16, opt=512, max=2048",
        "Batch requirements: min=1, opt=2, max=3",
        "Input tensor name: input",
        "Input tensor shape: (-1, 3, -1, -1)",
        "Shape list: [-1, 3, -1, -1]",
        "Dynamic dimensions detected at axes: [0, 2, 3]",
        "Optimization profile set:",
        "  Min shape: [1, 3, 16, 16]",
        "  Opt shape: [2, 3, 512, 512]",
        "  Max shape: [3, 3, 2048, 2048]",
        "Building TensorRT engine... This may take several minutes.",
        f"\u2705 TensorRT upscale engine saved to: {engine_path}",
    ]
    x = np.random.default_rng(1).random((2, 3, 20, 28), dtype=np.float32)
    # The stand-in runs the same graph in ONNX Runtime: measured 3.6e-7 from PyTorch.
    np.testing.assert_allclose(run_engine(engine_path, x), x2_reference(x), rtol=1e-5, atol=1e-5)


@standin_only
@pytest.mark.parametrize(
    "build, precision, fp16, int8, flags",
    [
        ("dynamic", "fp16", True, True, ["FP16"]),
        ("dynamic", "fp16", False, True, ["TF32"]),
        ("dynamic", "bf16", True, True, ["BF16"]),
        ("dynamic", "bf16", False, True, ["TF32"]),  # gated on fast fp16 too
        ("dynamic", "int8", True, True, ["INT8"]),
        ("dynamic", "int8", True, False, ["TF32"]),
        ("dynamic", "fp32", True, True, ["TF32"]),
        ("dynamic", "FP16", True, True, ["TF32"]),  # compared as given
        ("fixed", "fp16", True, True, ["FP16"]),
        ("fixed", "fp16", False, True, []),
        ("fixed", "bf16", True, True, []),
        ("fixed", "int8", True, True, ["INT8"]),
        ("fixed", "int8", True, False, []),
        ("fixed", "fp32", True, True, []),
    ],
)
def test_precision_flags(paths, monkeypatch, flags_set, generation, build, precision, fp16, int8, flags):
    if generation >= 11:
        pytest.skip("TensorRT 11 has no precision flags")
    monkeypatch.setattr(trt.Builder, "platform_has_fast_fp16", fp16)
    monkeypatch.setattr(trt.Builder, "platform_has_fast_int8", int8)
    save, engine_path = paths
    if build == "dynamic":
        onnx_to_trt_dynamic_shape(save(onnx_model(DYNAMIC)), engine_path, precision)
    else:
        onnx_to_trt_fixed_shape(save(onnx_model(DYNAMIC)), engine_path, (1, 3, 8, 8), precision, 5 << 20)
    assert flags_set == [getattr(trt.BuilderFlag, f) for f in flags]
    info = load_engine(engine_path).standin_build_info
    assert set(flags_set) <= info["flags"]
    if build == "fixed":
        assert info["profiles"] == [] and info["workspace"] == 5 << 20 and info["network_flags"] == explicit_batch()


@pytest.mark.parametrize("build", ["dynamic", "fixed"])
@pytest.mark.parametrize("precision, tolerance", [("fp32", 1e-5), ("fp16", 1e-2), ("bf16", 5e-2)])
def test_precisions_build_on_both_generations(paths, generation, build, precision, tolerance):
    save, engine_path = paths
    onnx_path = save(onnx_model(DYNAMIC, "resize"))
    onnx_to_trt(onnx_path, engine_path, input_shape=(1, 3, 16, 16) if build == "fixed" else None, precision=precision)
    engine = load_engine(engine_path)
    # Callers bind single-precision buffers whatever the precision inside.
    assert [engine.get_tensor_dtype(n) for n in ("input", "output")] == [trt.DataType.FLOAT] * 2
    reduced = {"fp16": "FLOAT16", "bf16": "BFLOAT16"}.get(precision) if build == "dynamic" or precision == "fp16" else None
    if getattr(trt, "__quorvex_standin__", False):
        info = engine.standin_build_info
        if generation >= 11:  # the precision comes from the graph's types
            assert info["weight_types"] == [reduced or "FLOAT"]
        else:
            assert info["weight_types"] == ["FLOAT"]
            assert trt.BuilderFlag[{"FLOAT16": "FP16", "BFLOAT16": "BF16"}.get(reduced, "TF32")] in info["flags"]
    x = np.random.default_rng(2).random((1, 3, 16, 16), dtype=np.float32)
    expected = resize_reference(x)
    np.testing.assert_allclose(run_engine(engine_path, x), expected, rtol=tolerance, atol=tolerance)


@standin_only
def test_strongly_typed_tensorrt_refuses_int8_by_name(paths, generation):
    if generation < 11:
        pytest.skip("TensorRT 10 has an INT8 flag")
    save, engine_path = paths
    with pytest.raises(RuntimeError) as raised:
        onnx_to_trt_fixed_shape(save(onnx_model(DYNAMIC)), engine_path, (1, 3, 8, 8), "int8")
    assert str(raised.value) == (
        f"TensorRT {trt.__version__} cannot build precision 'int8' from a floating-point model: it has no INT8 "
        "builder flag and builds int8 only from models quantized with Q/DQ nodes (build those with precision "
        "'fp32')")
    assert not os.path.exists(engine_path)


TRANSFORMER_HELP = [
    "", "\U0001f50d DETECTED: Transformer/Attention model incompatibility",
    "   Your model appears to use Transformer operations (DAT, SwinIR, etc.)",
    "   that are not well supported by TensorRT.",
    "", "\u2705 RECOMMENDED SOLUTIONS:",
    "   1. \U0001f680 Use PyTorch inference instead (fastest option):",
    "      - Load model with spandrel and use model_desc(image)",
    "   2. \U0001f4e6 Try ONNX Runtime for inference:",
    "      - onnxruntime-gpu provides good performance",
    "   3. \U0001f504 Convert to simpler architecture:",
    "      - Try ESRGAN, RealESRGAN, or EDSR models",
    "      - These CNN-based models work better with TensorRT",
]


def generic_help(mib):
    return [
        "   1. Try using onnx_to_trt_fixed_shape() with a fixed input size",
        f"   2. Reduce workspace size further (current: {mib}MB)",
        "   3. Try FP32 precision instead of FP16",
        "   4. Check if model operations are supported by TensorRT",
        "   5. Consider using smaller size_requirements:",
        "      - size_requirements=(64, 128, 256)",
        "      - Or fixed shape like (1, 3, 256, 256)",
    ]


@standin_only
@pytest.mark.parametrize(
    "result, text, transformer",
    [
        (RuntimeError("Unsupported GATHER node"), "Unsupported GATHER node", True),
        (ValueError("could not Transpose"), "could not Transpose", True),
        (RuntimeError("Reshape: bad volume"), "Reshape: bad volume", True),
        (RuntimeError("MultiHeadAttention"), "MultiHeadAttention", True),
        (RuntimeError("{ForeignNode[/attn/Softmax]}"), "{ForeignNode[/attn/Softmax]}", True),
        (MemoryError("out of memory"), "out of memory", False),
        (None, "Engine build failed - no bytes returned", False),
    ],
)
def test_build_failures_print_suggestions_and_are_wrapped(paths, monkeypatch, capsys, result, text, transformer):
    build_gives(monkeypatch, result)
    save, engine_path = paths
    with pytest.raises(RuntimeError) as raised:
        onnx_to_trt_dynamic_shape(save(onnx_model(DYNAMIC)), engine_path, workspace=3 * (1 << 20) + 5)
    assert str(raised.value) == f"TensorRT build failed. See suggestions above. Error: {text}"
    if result is not None:
        assert raised.value.__cause__ is result
    out = lines(capsys)
    assert out[out.index(f"\u274c TensorRT engine build failed: {text}") + 1:] == [
        "", "\U0001f4a1 Troubleshooting suggestions:"] + (TRANSFORMER_HELP if transformer else generic_help(3))
    assert not os.path.exists(engine_path)


@pytest.mark.parametrize("build", ["dynamic", "fixed"])
def test_parser_errors_go_to_stderr(paths, capsys, build):
    save, engine_path = paths
    with pytest.raises(RuntimeError) as raised:
        if build == "dynamic":
            onnx_to_trt_dynamic_shape(save(onnx_model(DYNAMIC, "odd")), engine_path)
        else:
            onnx_to_trt_fixed_shape(save(onnx_model(DYNAMIC, "odd")), engine_path, (1, 3, 8, 8))
    assert str(raised.value) == ("TensorRT build failed. See suggestions above. Error: Failed to parse the ONNX model"
                                 if build == "dynamic" else "Failed to parse the modified ONNX model")
    assert "Frobnicate" in capsys.readouterr().err
    assert not os.path.exists(engine_path)


def test_missing_onnx_file_is_wrapped(tmp_path):
    with pytest.raises(RuntimeError) as raised:
        onnx_to_trt_dynamic_shape(str(tmp_path / "none.onnx"), str(tmp_path / "m.engine"))
    assert isinstance(raised.value.__cause__, FileNotFoundError)
    assert str(raised.value) == f"TensorRT build failed. See suggestions above. Error: {raised.value.__cause__}"


@standin_only
def test_engine_file_is_replaced_whole_or_not_at_all(paths, monkeypatch):
    save, engine_path = paths
    onnx_path = save(onnx_model([1, 3, 8, 8]))
    with open(engine_path, "wb") as f:
        f.write(b"previous engine")
    with monkeypatch.context() as m:
        build_gives(m, object())  # not bytes: fails once the file is open
        with pytest.raises(RuntimeError):
            onnx_to_trt_dynamic_shape(onnx_path, engine_path)
    with open(engine_path, "rb") as f:
        assert f.read() == b"previous engine"
    onnx_to_trt_dynamic_shape(onnx_path, engine_path)
    assert load_engine(engine_path) is not None
    assert sorted(os.listdir(os.path.dirname(engine_path))) == ["model.engine", "model.onnx"]


@pytest.mark.parametrize("function", [onnx_to_trt_dynamic_shape, onnx_to_trt])
@pytest.mark.parametrize(
    "kwargs, shown",
    [({"size_requirements": (16, 512)}, "size_requirements", ),
     ({"batch_requirements": (1, 1.0, 1)}, "batch_requirements"),
     ({"size_requirements": (16, True, 64)}, "size_requirements")],
)
def test_requirements_are_three_integers(capsys, function, kwargs, shown):
    with pytest.raises(ValueError) as raised:
        function("m.onnx", "m.engine", **kwargs)
    assert str(raised.value) == (f"{shown} must be a tuple of three integers (minimum, optimal, maximum), "
                                 f"got {kwargs[shown]}")
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: onnx_to_trt_dynamic_shape("a", "b", workspace=True), "Argument 'workspace' has incorrect type "
         "(expected int, got bool). Subclasses of built-in types are not accepted."),
        (lambda: onnx_to_trt_fixed_shape("a", "b", fixed_shape=[1, 3, 8, 8]),
         "Argument 'fixed_shape' has incorrect type (expected tuple, got list)"),
        (lambda: onnx_to_trt(b"a", "b"), "Argument 'onnx_path' has incorrect type (expected str, got bytes)"),
        (lambda: torch_to_onnx("a", "b", dynamic_axes=[0]),
         "Argument 'dynamic_axes' has incorrect type (expected dict, got list)"),
        (lambda: torch_to_onnx("a"), "torch_to_onnx() takes at least 2 positional arguments (1 given)"),
    ],
)
def test_argument_types(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_fixed_shape_rewrites_the_input_and_runs(paths, capsys):
    save, engine_path = paths
    onnx_path = save(onnx_model(DYNAMIC))
    assert onnx_to_trt_fixed_shape(onnx_path, engine_path, (2, 3, 10, 14), "fp32") is None
    assert lines(capsys) == [
        f"Building TensorRT engine with fixed shape from ONNX model: {onnx_path}",
        "Fixed input shape: (2, 3, 10, 14)",
        "Original ONNX input shape: [-1, 3, -1, -1]",
        "Modified ONNX input to fixed shape: (2, 3, 10, 14)",
        "\u2713 Modified ONNX model is valid",
        "TensorRT input tensor name: input",
        "TensorRT input shape: (2, 3, 10, 14)",
        "Using fixed shape - no optimization profile required",
        f"\u2705 TensorRT engine with fixed shape saved to: {engine_path}",
    ]
    assert tuple(load_engine(engine_path).get_tensor_shape("input")) == (2, 3, 10, 14)
    x = np.random.default_rng(2).random((2, 3, 10, 14), dtype=np.float32)
    np.testing.assert_allclose(run_engine(engine_path, x), x2_reference(x), rtol=1e-5, atol=1e-5)
    assert onnx.load(onnx_path).graph.input[0].type.tensor_type.shape.dim[0].dim_param == "N"  # only read


@standin_only
def test_fixed_shape_warns_on_validation_and_does_not_wrap_failures(paths, monkeypatch, capsys):
    def refuse(model):
        raise onnx.checker.ValidationError("bad node")
    monkeypatch.setattr(onnx.checker, "check_model", refuse)
    build_gives(monkeypatch, None)
    save, engine_path = paths
    with pytest.raises(RuntimeError) as raised:
        onnx_to_trt_fixed_shape(save(onnx_model(DYNAMIC)), engine_path, (1, 3, 8, 8))
    assert str(raised.value) == "Engine build failed" and raised.value.__cause__ is None
    out = lines(capsys)
    assert "\u26a0 ONNX model validation warning: bad node" in out
    assert out[-1] == "Using fixed shape - no optimization profile required"


@pytest.mark.parametrize("input_shape, mode", [(None, "Dynamic"), ((1, 3, 8, 8), "Fixed")])
def test_onnx_to_trt_builds_and_sums_up(paths, capsys, input_shape, mode):
    save, engine_path = paths
    onnx_path = save(onnx_model(DYNAMIC))
    assert onnx_to_trt(onnx_path, engine_path, input_shape) is None
    out = lines(capsys)
    head = (["\U0001f504 Using DYNAMIC shape mode",
             "\u26a0\ufe0f  WARNING: Transformer-based models may not be compatible with TensorRT"]
            if input_shape is None else
            ["\U0001f512 Using FIXED shape mode: (1, 3, 8, 8)",
             "\u26a0\ufe0f  WARNING: Fixed shape may not work with Transformer-based models"])
    assert out[:3] == [f"Converting ONNX to TensorRT: {onnx_path} \u2192 {engine_path}"] + head
    assert out[-6:] == ["", "\u2705 TensorRT conversion completed successfully!", f"   Engine saved to: {engine_path}",
                        f"   Mode: {mode} shape", "   Precision: fp16", "   Workspace: 512MB"]
    if getattr(trt, "__quorvex_standin__", False):
        assert load_engine(engine_path).standin_build_info["workspace"] == 512 << 20


@pytest.mark.parametrize(
    "input_shape, tail",
    [
        (None, ["\u274c Dynamic shape conversion failed: boom", "\U0001f4a1 Suggestion: Try fixed shape mode instead",
                "   Use input_shape=(1, 3, 512, 512) for example"]),
        ((1, 3, 64, 64), ["\u274c Fixed shape conversion failed: boom",
                          "\U0001f4a1 Suggestion: Try dynamic shape mode instead",
                          "   Remove input_shape parameter or set it to None"]),
    ],
)
@pytest.mark.parametrize("fails", [False, True])
def test_onnx_to_trt_hands_over_by_keyword_and_reraises(monkeypatch, capsys, input_shape, tail, fails):
    calls, error = [], ValueError("boom")

    def builder(**kwargs):
        calls.append(kwargs)
        if fails:
            raise error
    monkeypatch.setattr(convert, "onnx_to_trt_fixed_shape", builder)
    monkeypatch.setattr(convert, "onnx_to_trt_dynamic_shape", builder)
    with pytest.raises(ValueError) if fails else contextlib.nullcontext() as raised:
        onnx_to_trt("m.onnx", "m.engine", input_shape, "int8", 7 << 20, (8, 16, 32), (1, 2, 4))
    common = {"onnx_path": "m.onnx", "engine_path": "m.engine", "precision": "int8", "workspace": 7 << 20}
    assert calls == [{**common, "fixed_shape": input_shape} if input_shape else
                     {**common, "size_requirements": (8, 16, 32), "batch_requirements": (1, 2, 4)}]
    out = lines(capsys)
    if fails:
        assert raised.value is error and out[-4:] == [""] + tail
    else:
        assert out[-1] == "   Workspace: 7MB"


# ------------------------------------------------------------------ PyTorch to ONNX


class TinyCompact(torch.nn.Module):
    """Real-ESRGAN's compact layout, which spandrel recognises by its keys: conv, PReLU, conv,
    PReLU, conv to 3 * scale^2 channels, pixel shuffle, plus the input upscaled by nearest."""

    def __init__(self, features=8, scale=2):
        super().__init__()
        conv = torch.nn.Conv2d
        self.body = torch.nn.ModuleList([conv(3, features, 3, padding=1), torch.nn.PReLU(features),
                                         conv(features, features, 3, padding=1), torch.nn.PReLU(features),
                                         conv(features, 3 * scale * scale, 3, padding=1)])
        self.upsampler = torch.nn.PixelShuffle(scale)
        self.scale = scale

    def forward(self, x):
        out = x
        for layer in self.body:
            out = layer(out)
        return self.upsampler(out) + F.interpolate(x, scale_factor=self.scale, mode="nearest")


@pytest.fixture
def checkpoint(tmp_path):
    pytest.importorskip("spandrel")
    pytest.importorskip("spandrel_extra_arches")
    torch.manual_seed(0)
    model = TinyCompact().eval()
    torch.save(model.state_dict(), str(tmp_path / "tiny_x2.pth"))
    return str(tmp_path / "tiny_x2.pth"), lambda x: model(torch.as_tensor(x)).detach().numpy()


def ort_run(path, x):
    import onnxruntime
    return onnxruntime.InferenceSession(path, providers=["CPUExecutionProvider"]).run(None, {"input": x})[0]


def dims_of(value_info):
    return [d.dim_param or d.dim_value for d in value_info.type.tensor_type.shape.dim]


def test_default_export_is_dynamic_and_matches_pytorch(tmp_path, capsys, checkpoint):
    model_path, reference = checkpoint
    onnx_path = str(tmp_path / "tiny.onnx")
    assert torch_to_onnx(model_path, onnx_path) is None
    assert lines(capsys) == [
        f"Exporting PyTorch model to ONNX: {model_path} \u2192 {onnx_path}",
        "Precision: fp32, Device: cuda",
        "Input shape: (1, 3, 128, 128)",
        "Dynamic axes: {'input': {0: 'batch_size', 2: 'height', 3: 'width'}, "
        "'output': {0: 'batch_size', 2: 'height', 3: 'width'}}",
        f"\u2705 ONNX model exported to: {onnx_path}",
    ]
    exported = onnx.load(onnx_path)
    assert [(i.name, dims_of(i)) for i in exported.graph.input] == [("input", ["batch_size", 3, "height", "width"])]
    assert [o.name for o in exported.graph.output] == ["output"]
    assert {o.domain: o.version for o in exported.opset_import}[""] == 20
    assert sorted(os.listdir(tmp_path)) == ["tiny.onnx", "tiny_x2.pth"]  # weights inside, no second file
    for shape in [(1, 3, 128, 128), (2, 3, 20, 36)]:
        x = np.random.default_rng(3).random(shape, dtype=np.float32)
        # float32 on the CPU: only the summation order differs (measured 1.2e-7).
        np.testing.assert_allclose(ort_run(onnx_path, x), reference(x), rtol=1e-5, atol=1e-5)


def test_input_shape_alone_is_static_and_given_axes_feed_an_engine(tmp_path, capsys, checkpoint):
    model_path, reference = checkpoint
    static, dynamic = str(tmp_path / "static.onnx"), str(tmp_path / "dynamic.onnx")
    torch_to_onnx(model_path, static, (1, 3, 24, 16), device="cpu", opset_version=17)
    assert lines(capsys)[1:4] == ["Precision: fp32, Device: cpu", "Input shape: (1, 3, 24, 16)", "Dynamic axes: None"]
    exported = onnx.load(static)
    assert dims_of(exported.graph.input[0]) == [1, 3, 24, 16] and dims_of(exported.graph.output[0]) == [1, 3, 48, 32]
    assert {o.domain: o.version for o in exported.opset_import}[""] == 17

    axes = {"input": {2: "h", 3: "w"}, "output": {2: "h2", 3: "w2"}}
    torch_to_onnx(model_path, dynamic, (1, 3, 16, 16), axes, device="cuda:0")
    assert f"Dynamic axes: {axes}" in lines(capsys)
    onnx_to_trt_dynamic_shape(dynamic, str(tmp_path / "e.engine"), "fp32", size_requirements=(8, 16, 32))
    x = np.random.default_rng(5).random((1, 3, 12, 28), dtype=np.float32)
    np.testing.assert_allclose(run_engine(str(tmp_path / "e.engine"), x), reference(x), rtol=1e-5, atol=1e-5)


def test_fp16_export_casts_to_half_and_stays_close(tmp_path, checkpoint):
    model_path, reference = checkpoint
    onnx_path = str(tmp_path / "tiny16.onnx")
    torch_to_onnx(model_path, onnx_path, precision="fp16", device="cpu")
    casts = [a.i for n in onnx.load(onnx_path).graph.node if n.op_type == "Cast" for a in n.attribute]
    assert TensorProto.FLOAT16 in casts
    x = np.random.default_rng(6).random((1, 3, 32, 32), dtype=np.float32)
    # Half-precision convolutions: measured 5e-4 from the float32 result.
    np.testing.assert_allclose(ort_run(onnx_path, x), reference(x), rtol=2e-3, atol=2e-3)


@pytest.mark.parametrize(
    "precision, dtype, device, device_type",
    [("fp16", torch.float16, "cuda", "cuda"), ("bf16", torch.bfloat16, "cpu", "cpu"),
     ("fp32", torch.float32, "cuda:0", "cuda"), ("int8", torch.float32, "cpu", "cpu")],
)
def test_export_runs_under_autocast(tmp_path, monkeypatch, checkpoint, precision, dtype, device, device_type):
    seen = []

    @contextlib.contextmanager
    def autocast(device_type, dtype=None):
        seen.append(("enter", device_type, dtype))
        yield
        seen.append(("exit",))

    monkeypatch.setattr(torch, "autocast", autocast)
    monkeypatch.setattr(torch.onnx, "export", lambda model, x, f, **kw: seen.append(("export", tuple(x.shape))))
    torch_to_onnx(checkpoint[0], str(tmp_path / "m.onnx"), precision=precision, device=device)
    assert seen == [("enter", device_type, dtype), ("export", (1, 3, 128, 128)), ("exit",)]


@pytest.mark.parametrize(
    "text, suggested",
    [("\"slow_conv2d_cpu\" not implemented for 'Half'", True), ("fp16 overflow in /body.2/Conv", True),
     ("HALF is unsupported", True), ("FP16 in capitals is not matched", False), ("unknown operator foo", False)],
)
def test_export_failures_print_and_reraise(tmp_path, monkeypatch, capsys, checkpoint, text, suggested):
    error = RuntimeError(text)

    def export(*args, **kwargs):
        raise error
    monkeypatch.setattr(torch.onnx, "export", export)
    with pytest.raises(RuntimeError) as raised:
        torch_to_onnx(checkpoint[0], str(tmp_path / "m.onnx"), device="cpu")
    assert raised.value is error
    expected = [f"\u274c ONNX export failed: {text}"] + (
        ["\U0001f4a1 Suggestion: Try exporting with fp32 precision to avoid type issues",
         "   Use precision='fp32' parameter"] if suggested else [])
    out = lines(capsys)
    assert out[-len(expected):] == expected and out[-len(expected) - 1].startswith("Dynamic axes: ")


def test_failures_before_the_export_print_no_failure(tmp_path, capsys, checkpoint):
    with pytest.raises(FileNotFoundError):
        torch_to_onnx(str(tmp_path / "missing.pth"), str(tmp_path / "m.onnx"))
    assert len(lines(capsys)) == 2
