"""Loading the face pipeline's models: the detector (an engine, or an ONNX detector built into
one once, in quorvex's cache), the swap model's embedding map (extracted once, also cached),
ONNX Runtime's device, and the face-restoration model (ONNX, or a PyTorch checkpoint)."""

from __future__ import annotations

from quorvex.extras import install_hint

from .errors import USAGE
from .errors import JobError as CliError
from .models import inspect_pytorch, model_kind, needs


def cache_folder():
    """quorvex's own cache: $XDG_CACHE_HOME/quorvex, else ~/.cache/quorvex."""
    import os
    import pathlib

    return pathlib.Path(os.environ.get("XDG_CACHE_HOME") or os.path.expanduser("~/.cache")) / "quorvex"


def content_key(path: str) -> str:
    """The first 16 hex digits of the file's SHA-256: what a cached product of it is named by."""
    import hashlib

    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()[:16]


def cached_emap(swapper: str, reporter) -> str:
    """The swap model's own embedding map, extracted once into the cache (by the model's content)."""
    from quorvex.face.emap import extract_emap

    target = cache_folder() / f"emap-{content_key(swapper)}.npy"
    if not target.is_file():
        extract_emap(swapper, str(target))
    reporter.note(f"note: the embedding map is {swapper}'s own, kept at {target} (set QUORVEX_EMAP to use another)")
    return str(target)


def cached_detector_engine(detector: str, device_id: int, reporter, det_size=None) -> str:
    """A TensorRT engine of an ONNX detector, built once into the cache, by the model's content,
    the input size, the TensorRT version and the GPU's compute capability (an engine runs only
    where it was built). det_size (width, height): the input size of a model whose size is free
    (640 x 640 when not given); a model of a fixed size must have that one."""
    import pathlib

    import cupy as cp

    from .models import inspect_onnx

    trt = needs("tensorrt")
    capability = cp.cuda.Device(device_id).compute_capability
    inputs = inspect_onnx(detector)["inputs"]
    shape = inputs[0]["shape"] if inputs else []
    if len(shape) == 4 and all(isinstance(n, int) and n > 0 for n in shape):
        fixed = tuple(shape)
        if det_size is not None and tuple(det_size) != (shape[3], shape[2]):
            raise CliError(f"--det-size {det_size[0]}x{det_size[1]}: {detector} takes {shape[3]}x{shape[2]} inputs "
                           "only (leave --det-size out)", USAGE)
    else:
        width, height = det_size or (640, 640)
        fixed = (1, 3, height, width)
    size = "" if fixed[2:] == (640, 640) else f"-{fixed[3]}x{fixed[2]}"  # names from before --det-size kept
    name = f"{pathlib.Path(detector).stem}-{content_key(detector)}{size}-trt{trt.__version__}-sm{capability}.engine"
    target = cache_folder() / "engines" / name
    if not target.is_file():
        reporter.note(f"note: building a TensorRT engine of {detector} once, kept at {target}")
        target.parent.mkdir(parents=True, exist_ok=True)
        from quorvex.upscale.convert import onnx_to_trt

        with reporter.library_output():
            onnx_to_trt(detector, str(target), fixed, "fp16")
    return str(target)


def ort_device(device_id: int, reporter) -> str:
    ort = needs("onnxruntime")
    if "CUDAExecutionProvider" in ort.get_available_providers():
        return f"cuda:{device_id}"
    reporter.note("note: ONNX Runtime has no CUDA execution provider here, so the ONNX models run on the CPU "
                  f"({install_hint('onnxruntime-gpu')})")
    return "cpu"


def load_detector(detector, device_id: int, reporter, det_size=None, det_thresh=None,
                  purpose: str = "aligning and swapping faces"):
    """A TrtFaceDetection of an engine, or of an ONNX detector built into one once (cached), that
    gives landmarks."""
    from quorvex.face.detector import TrtFaceDetection

    detector = str(detector)
    if detector.lower().endswith(".onnx"):
        detector = cached_detector_engine(detector, device_id, reporter, det_size)
    with reporter.library_output():
        found = TrtFaceDetection(model_path=detector, device_id=device_id)
    if det_thresh is not None:
        found.det_thresh = float(det_thresh)
    if det_size is not None and tuple(found.input_size) != det_size:
        width, height = found.input_size
        raise CliError(f"--det-size {det_size[0]}x{det_size[1]}: the engine {detector} takes {width}x{height} "
                       "inputs (leave --det-size out, or give the ONNX detector to build one of this size)", USAGE)
    if not found.use_kps:
        raise CliError(f"--detector {detector}: the engine gives no face landmarks ({len(found.output_names)} outputs); "
                       f"{purpose} needs an engine with landmark outputs (9 or 15)", USAGE)
    return found


def load_enhancer(enhancer, device_id: int, onnx_device: str, trust_model: bool = False):
    """The face-restoration model behind get_many(crops): an ONNX model (ONNX Runtime), or a
    PyTorch checkpoint that spandrel builds as a face model (GFPGAN, CodeFormer, RestoreFormer)."""
    enhancer = str(enhancer)
    kind = model_kind(enhancer)
    if kind == "pytorch":
        info, upscaler = inspect_pytorch(enhancer, f"cuda:{device_id}", trust_model)
        if info["purpose"] != "FaceSR":
            raise CliError(f"{enhancer}: a {info['architecture']} model of purpose {info['purpose']}, not a "
                           "face-restoration one (spandrel purpose FaceSR)", USAGE)
        return CheckpointEnhancer(upscaler)
    if kind != "onnx":
        raise CliError(f"{enhancer}: a TensorRT engine; a face-restoration model is given as ONNX or as a "
                       "PyTorch checkpoint", USAGE)
    from quorvex.face.embedding import session_arguments
    from quorvex.face.enhancer import GFPGAN

    return GFPGAN(enhancer, **session_arguments(onnx_device))


class CheckpointEnhancer:
    """A face-restoration checkpoint (a TorchUpscaler of purpose FaceSR) behind the ONNX enhancer's
    get_many: the crops at 512 x 512, all in one run of the network."""

    size = 512  # what these networks are trained on, whatever spandrel's size requirements allow

    def __init__(self, upscaler):
        self.upscaler = upscaler

    def get_many(self, crops):
        if tuple(crops.shape[1:3]) != (self.size, self.size):
            from quorvex.transform.resize import INTER_AUTO, resize

            crops = resize(crops, (self.size, self.size), interpolation=INTER_AUTO)
        return self.upscaler.get_many(crops)
