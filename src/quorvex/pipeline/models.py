"""Super-resolution models by file type: PyTorch checkpoints (spandrel), ONNX models (ONNX
Runtime) and TensorRT engines. Each is inspected for what it needs (scale, channels, sizes,
batch, precisions) and run on (N, 3, H, W) RGB float32 batches on the device."""

from __future__ import annotations

import os
import pathlib

from quorvex.extras import install_hint

from .errors import USAGE
from .errors import JobError as CliError

TORCH_SUFFIXES = (".pth", ".pt", ".ckpt", ".safetensors", ".bin")
ONNX_SUFFIXES = (".onnx",)
ENGINE_SUFFIXES = (".engine", ".trt", ".plan")
MODEL_SUFFIXES = TORCH_SUFFIXES + ONNX_SUFFIXES + ENGINE_SUFFIXES


def model_kind(path: str) -> str:
    p = pathlib.Path(path)
    if p.is_dir():
        models = sorted(f.name for f in p.iterdir() if f.suffix.lower() in MODEL_SUFFIXES)
        hint = f" ({', '.join(models[:5])})" if models else ""
        raise CliError(f"{path}: a folder; give the model file in it{hint}", USAGE)
    if not p.is_file():
        raise CliError(f"{path}: no such model file", USAGE)
    if not os.access(p, os.R_OK):
        raise CliError(f"{path}: no permission to read", USAGE)
    ext = p.suffix.lower()
    if ext in TORCH_SUFFIXES:
        return "pytorch"
    if ext in ONNX_SUFFIXES:
        return "onnx"
    if ext in ENGINE_SUFFIXES:
        return "tensorrt"
    raise CliError(f"{path}: unknown model type {ext or '(none)'}; expected a PyTorch checkpoint "
                   f"({', '.join(TORCH_SUFFIXES)}), an ONNX model (.onnx) or a TensorRT engine "
                   f"({', '.join(ENGINE_SUFFIXES)})", USAGE)


def needs(module: str):
    try:
        return __import__(module)
    except ImportError:
        raise CliError(f"this model needs {module}: {install_hint(module)}", USAGE) from None


# ---- inspection ------------------------------------------------------------------------------

def _checkpoint_format(path: str) -> str | None:
    """What the file's first bytes say it is: 'zip' (torch.save), 'pickle' (the older torch.save),
    'safetensors', or None for anything else (an image given a checkpoint's name, say)."""
    with open(path, "rb") as file:
        head = file.read(9)
    if head.startswith(b"PK\x03\x04"):
        return "zip"
    if head[:1] == b"\x80":
        return "pickle"
    if len(head) == 9 and head[8:9] == b"{":
        return "safetensors"
    return None


def inspect_pytorch(path: str, device: str = "cpu", trust_model: bool = False) -> tuple[dict, object]:
    """(what the checkpoint is, as inspect prints it; the TorchUpscaler loaded from it)."""
    needs("torch")
    needs("spandrel")
    from spandrel import UnsupportedModelError

    from quorvex.upscale.core.torch import TorchUpscaler

    if _checkpoint_format(path) is None:
        raise CliError(f"{path}: not a PyTorch checkpoint (neither torch.save data nor safetensors)", USAGE)
    try:
        upscaler = TorchUpscaler(model_path=path, device=device, trust_model=trust_model)
    except AssertionError:
        raise CliError(f"{path}: not an image-to-image model (spandrel loads it as another kind)", USAGE) from None
    except UnsupportedModelError:
        raise CliError(f"{path}: spandrel does not recognise this model's architecture", USAGE) from None
    except Exception as error:
        name = getattr(error, "untrusted_global", None)
        if name:
            raise CliError(f"{path}: the checkpoint refers to {name}, which loading it in full would call, and a "
                           "full load can run code from the file; add --trust-model only if you trust its source",
                           USAGE) from None
        lines = str(error).strip().splitlines()
        detail = f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__
        raise CliError(f"{path}: cannot load this checkpoint: {detail}", USAGE) from None
    d = upscaler.model
    size = d.size_requirements
    precisions = ["fp32"] + (["fp16"] if d.supports_half else []) + (["bf16"] if d.supports_bfloat16 else [])
    info = {
        "file": path,
        "kind": "pytorch",
        "architecture": d.architecture.name,
        "architecture_id": d.architecture.id,
        "purpose": d.purpose,
        "scale": int(d.scale),
        "input_channels": int(d.input_channels),
        "output_channels": int(d.output_channels),
        "size_requirements": {"minimum": int(size.minimum), "multiple_of": int(size.multiple_of),
                              "square": bool(size.square)},
        "tiling": d.tiling.name,
        "precisions": precisions,
        "tags": list(d.tags),
    }
    return info, upscaler


def _onnx_dims(value_info) -> list:
    dims = []
    for d in value_info.type.tensor_type.shape.dim:
        dims.append(d.dim_value if d.HasField("dim_value") else (d.dim_param or "?"))
    return dims


def inspect_onnx(path: str) -> dict:
    import onnx

    from quorvex.upscale.convert import load_onnx

    try:
        model = load_onnx(path)
    except ValueError as error:  # side files outside the model's folder
        raise CliError(str(error), USAGE) from None
    except Exception as error:
        raise CliError(f"{path}: not a readable ONNX model: {error}", USAGE) from None
    if not model.graph.output:
        raise CliError(f"{path}: not an ONNX model (it has no graph outputs; an empty or truncated file?)", USAGE)
    initializers = {i.name for i in model.graph.initializer}

    def tensor(v):
        elem = onnx.TensorProto.DataType.Name(v.type.tensor_type.elem_type).lower()
        return {"name": v.name, "shape": _onnx_dims(v), "type": elem}

    info = {
        "file": path,
        "kind": "onnx",
        "opset": max((o.version for o in model.opset_import if o.domain in ("", "ai.onnx")), default=None),
        "inputs": [tensor(v) for v in model.graph.input if v.name not in initializers],
        "outputs": [tensor(v) for v in model.graph.output],
    }
    info["scale"] = _static_scale(info["inputs"], info["outputs"])
    return info


def _static_scale(inputs, outputs):
    if len(inputs) != 1 or len(outputs) != 1:
        return None
    a, b = inputs[0]["shape"], outputs[0]["shape"]
    if len(a) == 4 and len(b) == 4 and all(isinstance(x, int) and x > 0 for x in a[2:] + b[2:]):
        if b[2] % a[2] == 0 and b[2] // a[2] == b[3] // a[3]:
            return b[2] // a[2]
    return None


def _trt_engine(path: str):
    trt = needs("tensorrt")
    logger = trt.Logger(trt.Logger.WARNING)
    engine = trt.Runtime(logger).deserialize_cuda_engine(pathlib.Path(path).read_bytes())
    if engine is None:
        raise CliError(f"{path}: TensorRT cannot load this engine (built by another TensorRT version or GPU?)",
                       USAGE)
    return trt, engine


def inspect_tensorrt(path: str) -> dict:
    trt, engine = _trt_engine(path)
    inputs, outputs = [], []
    for i in range(engine.num_io_tensors):
        name = engine.get_tensor_name(i)
        entry = {"name": name, "shape": [d if d >= 0 else "dynamic" for d in engine.get_tensor_shape(name)],
                 "type": str(engine.get_tensor_dtype(name)).split(".")[-1].lower()}
        if engine.get_tensor_mode(name) == trt.TensorIOMode.INPUT:
            profile = engine.get_tensor_profile_shape(name, 0)
            if profile:
                entry["profile"] = {k: list(s) for k, s in zip(("min", "opt", "max"), profile)}
            inputs.append(entry)
        else:
            outputs.append(entry)
    info = {"file": path, "kind": "tensorrt", "inputs": inputs, "outputs": outputs}
    info["scale"] = _static_scale(inputs, outputs)
    return info


def inspect_model(path: str, trust_model: bool = False) -> dict:
    kind = model_kind(path)
    if kind == "pytorch":
        return inspect_pytorch(path, trust_model=trust_model)[0]
    if kind == "onnx":
        return inspect_onnx(path)
    return inspect_tensorrt(path)


def format_inspection(info: dict) -> str:
    lines = [f"{info['file']}: {info['kind']}"]
    if info["kind"] == "pytorch":
        s = info["size_requirements"]
        lines += [
            f"  architecture    {info['architecture']} ({info['architecture_id']}), purpose {info['purpose']}",
            f"  scale           x{info['scale']}",
            f"  channels        {info['input_channels']} in, {info['output_channels']} out",
            f"  size            minimum {s['minimum']}, multiple of {s['multiple_of']}"
            + (", square" if s["square"] else ""),
            f"  tiling          {info['tiling']}",
            f"  precisions      {', '.join(info['precisions'])}",
        ]
        return "\n".join(lines)
    if info.get("opset"):
        lines.append(f"  opset           {info['opset']}")
    for role in ("inputs", "outputs"):
        for t in info[role]:
            shape = " x ".join(str(d) for d in t["shape"])
            lines.append(f"  {role[:-1]:<6} {t['name']:<16} {t['type']:<8} {shape}")
            for k, v in t.get("profile", {}).items():
                lines.append(f"  {'':<6} {'':<16} {k:<8} {' x '.join(map(str, v))}")
    lines.append(f"  scale           {'x%d' % info['scale'] if info['scale'] else 'set by the input size (found at run time)'}")
    return "\n".join(lines)


# ---- running ---------------------------------------------------------------------------------

class Backend:
    """A model ready to run. scale: None until known (ONNX and TensorRT models with dynamic
    sizes tell it by their first output). fixed_tile / fixed_batch: sizes the model requires;
    multiple / minimum / maximum: bounds on the tile side."""

    scale: int | None = None
    fixed_tile: int | None = None
    fixed_batch: int | None = None
    max_batch: int | None = None
    multiple = 1
    minimum = 1
    maximum: int | None = None
    description = ""

    def run(self, batch):
        raise NotImplementedError


def device_batch(batch, dtype):
    """A batch (a tensor or a device array) as a C-contiguous device array of dtype. A tensor comes
    through DLPack, which orders CuPy's current stream after torch's (the batch may end in torch
    work, a padding torch.cat); its __cuda_array_interface__ carries no stream to wait for."""
    import cupy as cp

    x = batch if isinstance(batch, cp.ndarray) else cp.from_dlpack(batch.detach())
    return cp.ascontiguousarray(x.astype(dtype, copy=False))


class TorchBackend(Backend):
    def __init__(self, path: str, device: str, precision: str | None, trust_model: bool = False):
        info, upscaler = inspect_pytorch(path, device, trust_model)
        if info["purpose"] == "FaceSR":
            raise CliError(f"{path}: a face-restoration model ({info['architecture']}), not an upscaler; give it "
                           "as --face-enhance (with --detector), or to quorvex swap as --enhancer", USAGE)
        if info["input_channels"] != 3 or info["output_channels"] != 3:
            raise CliError(f"{path}: the model maps {info['input_channels']} to {info['output_channels']} channels; "
                           "quorvex upscale runs colour (3-channel) models", USAGE)
        precision = precision or "fp32"
        if precision not in info["precisions"]:
            raise CliError(f"{path}: {info['architecture']} does not support {precision} "
                           f"(supported: {', '.join(info['precisions'])})", USAGE)
        import torch

        self.torch = torch
        self.descriptor = upscaler.model
        self.dtype = {"fp32": torch.float32, "fp16": torch.float16, "bf16": torch.bfloat16}[precision]
        if precision == "fp16":
            self.descriptor.half()
        elif precision == "bf16":
            self.descriptor.bfloat16()
        self.scale = info["scale"]
        size = info["size_requirements"]
        self.multiple, self.minimum = max(1, size["multiple_of"]), max(1, size["minimum"])
        self.description = f"{info['architecture']} x{self.scale} {precision}"

    def run(self, batch):
        with self.torch.inference_mode():
            # The descriptor pads to the architecture's size needs, cuts back and clamps.
            return self.descriptor(batch.to(self.dtype))


class OnnxBackend(Backend):
    def __init__(self, path: str, device_id: int, precision: str | None, reporter):
        ort = needs("onnxruntime")
        info = inspect_onnx(path)
        if len(info["inputs"]) != 1 or len(info["outputs"]) != 1:
            raise CliError(f"{path}: an upscaling model has one input and one output; this one has "
                           f"{len(info['inputs'])} and {len(info['outputs'])}", USAGE)
        if precision:
            raise CliError("--precision applies to PyTorch checkpoints; an ONNX model's precision was fixed "
                           "when it was exported", USAGE)
        inp, out = info["inputs"][0], info["outputs"][0]
        if len(inp["shape"]) != 4 or inp["shape"][1] not in (3, "?") and not isinstance(inp["shape"][1], str):
            raise CliError(f"{path}: input {inp['name']} has shape {inp['shape']}; expected (batch, 3, height, width)",
                           USAGE)
        import numpy as np

        self.np = np
        self.input_dtype = {"float": np.float32, "float16": np.float16}.get(inp["type"])
        if self.input_dtype is None:
            raise CliError(f"{path}: input {inp['name']} is {inp['type']}; expected float or float16", USAGE)
        providers = ["CPUExecutionProvider"]
        self.stream = None
        if "CUDAExecutionProvider" in ort.get_available_providers():
            import cupy as cp

            # The CUDA provider computes on a stream of its own unless given one: it gets this
            # one, which run() orders after the batch's producer and before its consumer.
            with cp.cuda.Device(device_id):
                self.stream = cp.cuda.Stream(non_blocking=True)
            providers = [("CUDAExecutionProvider", {"device_id": device_id,
                                                    "user_compute_stream": str(self.stream.ptr)}),
                         "CPUExecutionProvider"]
        else:
            reporter.note("note: ONNX Runtime has no CUDA execution provider here, so the model runs on the CPU "
                          f"({install_hint('onnxruntime-gpu')})")
        options = ort.SessionOptions()
        options.log_severity_level = 3
        self.session = ort.InferenceSession(path, sess_options=options, providers=providers)
        self.on_gpu = "CUDAExecutionProvider" in self.session.get_providers()
        self.device_id = device_id
        self.input_name, self.output_name = inp["name"], out["name"]
        h, w = inp["shape"][2:]
        if isinstance(h, int) and isinstance(w, int):
            if h != w:
                raise CliError(f"{path}: the model takes {w}x{h} inputs; tiles are square", USAGE)
            self.fixed_tile = h
        if isinstance(inp["shape"][0], int):
            self.fixed_batch = inp["shape"][0]
        self.scale = info["scale"]
        self.description = f"ONNX {pathlib.Path(path).name} ({'CUDA' if self.on_gpu else 'CPU'})"

    def run(self, batch):
        import cupy as cp

        x = device_batch(batch, self.input_dtype)
        if self.on_gpu and self.scale:
            # Device buffers bound in place: no host round trip.
            n, c, h, w = x.shape
            y = cp.empty((n, c, h * self.scale, w * self.scale), dtype=self.input_dtype)
            binding = self.session.io_binding()
            binding.bind_input(self.input_name, "cuda", self.device_id, self.input_dtype, x.shape, x.data.ptr)
            binding.bind_output(self.output_name, "cuda", self.device_id, self.input_dtype, y.shape, y.data.ptr)
            current = cp.cuda.get_current_stream()
            self.stream.wait_event(current.record())
            self.session.run_with_iobinding(binding)
            current.wait_event(self.stream.record())
            return y
        (y,) = self.session.run([self.output_name], {self.input_name: cp.asnumpy(x)})
        return cp.asarray(y)


class TensorRTBackend(Backend):
    """A TensorRT engine through the package's TrtUpscaler (quorvex.upscale.core.engine)."""

    def __init__(self, path: str, device_id: int, precision: str | None):
        if precision:
            raise CliError("--precision applies to PyTorch checkpoints; an engine's precision was fixed when it "
                           "was built", USAGE)
        needs("tensorrt")
        from quorvex.upscale.core.engine import TrtUpscaler

        try:
            self.engine = TrtUpscaler(model_path=path, device_id=device_id)
        except RuntimeError:
            raise CliError(f"{path}: TensorRT cannot load this engine (built by another TensorRT version or GPU?)",
                           USAGE) from None
        except ValueError as error:
            raise CliError(f"{path}: {error}", USAGE) from None
        low, high = self.engine.input_low, self.engine.input_high
        if low[2:] == high[2:]:
            if low[2] != low[3]:
                raise CliError(f"{path}: the engine takes {low[3]}x{low[2]} inputs; tiles are square", USAGE)
            self.fixed_tile = low[2]
        else:
            self.minimum = max(low[2], low[3], 1)
            self.maximum = min(h for h in high[2:] if h >= 0) if max(high[2:]) >= 0 else None
        if low[0] == high[0]:
            self.fixed_batch = low[0]
        else:
            self.max_batch = high[0] if high[0] >= 0 else None
            if low[0] > 1:
                self.fixed_batch = low[0]
        self.description = f"TensorRT {pathlib.Path(path).name}"

    def run(self, batch):
        return self.engine.forward(device_batch(batch, self.engine.input_dtype))


def load_backend(path: str, device_id: int, precision: str | None, reporter, trust_model: bool = False) -> Backend:
    kind = model_kind(path)
    with reporter.library_output():
        if kind == "pytorch":
            return TorchBackend(path, f"cuda:{device_id}", precision, trust_model)
        if kind == "onnx":
            return OnnxBackend(path, device_id, precision, reporter)
        return TensorRTBackend(path, device_id, precision)
