"""quorvex swap: the identity of one source face into the selected faces of images, folders and
videos: detection (TensorRT), source embedding (ONNX Runtime or TensorRT), the swap network,
optional restoration, and paste back through a soft mask."""

from __future__ import annotations

from .. import media
from ..common import USAGE, CliError, failed_note, parse_device, require_gpu
from quorvex.pipeline.models import ENGINE_SUFFIXES, inspect_onnx, model_kind, needs


def parse_faces(text: str):
    """'all', 'largest' or a count N (the N largest faces)."""
    if text in ("all", "largest"):
        return text
    if text.isdigit() and int(text) > 0:
        return int(text)
    raise CliError(f"--faces must be all, largest or a positive count, got {text!r}", USAGE)


def select(faces, which):
    if which == "all":
        return faces
    area = lambda f: float((f.bbox[2] - f.bbox[0]) * (f.bbox[3] - f.bbox[1]))  # noqa: E731
    ordered = sorted(faces, key=area, reverse=True)
    return ordered[:1] if which == "largest" else ordered[:which]


def rescale_matrix(matrix, source_size: int, target_size: int):
    """The frame -> crop matrix for the same crop resized from source_size to target_size pixels.

    Pixel centres sit at integer coordinates, so a crop position x becomes
    (x + 0.5) * target_size / source_size - 0.5, not a plain multiple of x.
    """
    import numpy as np

    ratio = target_size / source_size
    scaled = matrix * np.float32(ratio)
    scaled[:, 2] += np.float32(0.5 * ratio - 0.5)
    return scaled


def swap_faces(frame, source_face, detector, swapper, paster, enhancer=None, faces="all", crop_size=512,
               detections=None):
    """The frame with the selected faces given the source face's identity; returns the new frame
    and the number of faces swapped. Only the regions of those faces change. detections, when
    given, are the frame's faces as detector.get(frame, crop_size=crop_size) finds them. The
    faces are pasted back together, in one batched paste."""
    if detections is None:
        detections = detector.get(frame, crop_size=crop_size)
    crops, matrices = [], []
    for face in select(detections, faces):
        swapped = swapper.get(face, source_face)  # at the crop's size
        matrix = face.matrix
        if enhancer is not None:
            swapped = enhancer.get(swapped)
            # The restored face is larger than the crop: move the frame -> crop matrix onto it.
            matrix = rescale_matrix(matrix, face.image.shape[0], swapped.shape[0])
        crops.append(swapped)
        matrices.append(matrix)
    if not crops:
        return frame, 0
    return paster.get_many(frame, crops, matrices), len(crops)


def ort_device(device_id: int, reporter) -> str:
    ort = needs("onnxruntime", "onnxruntime")
    if "CUDAExecutionProvider" in ort.get_available_providers():
        return f"cuda:{device_id}"
    reporter.note("note: ONNX Runtime has no CUDA execution provider here, so the ONNX models run on the CPU "
                  "(pip install onnxruntime-gpu)")
    return "cpu"


def check_model(path: str, what: str, kinds: tuple[str, ...], inputs: int | None = None) -> str:
    """The model's kind, one of kinds; an ONNX model is read (its side files checked) and must
    take `inputs` inputs where given, so that a model given in another's place is named here."""
    kind = model_kind(path)
    if kind not in kinds:
        raise CliError(f"--{what} {path}: expected {' or '.join(kinds)}, got a {kind} model", USAGE)
    if kind == "onnx":
        found = len(inspect_onnx(path)["inputs"])
        if inputs is not None and found != inputs:
            raise CliError(f"--{what} {path}: a face {what} model takes {inputs} input{'s' if inputs > 1 else ''}; "
                           f"this one takes {found} (another role's model?)", USAGE)
    return kind


class SwapJob:
    """quorvex swap: the identity of the --source face into the selected faces."""

    command, verb, counted = "swap", "swapped", "faces"

    def __init__(self, args):
        self.args = args

    def check_options(self) -> None:
        parse_faces(self.args.faces)
        parse_device(self.args.device)

    def check_models(self) -> None:
        """The model files and the source image; missing libraries are reported before the GPU
        check."""
        args = self.args
        check_model(args.detector, "detector", ("tensorrt",))
        check_model(args.embedder, "embedder", ("onnx", "tensorrt"), inputs=1)
        check_model(args.swapper, "swapper", ("onnx",), inputs=2)
        if args.enhancer:
            check_model(args.enhancer, "enhancer", ("onnx",), inputs=1)
        media.check_image_input(args.source, "--source")
        needs("tensorrt", "tensorrt")
        needs("onnxruntime", "onnxruntime")

    def load(self, reporter, device_id: int) -> Swapper:
        return Swapper(self.args, reporter, device_id)

    def summary(self, worker, done: int, unit: str, failed=()) -> str:
        if unit == "frames":
            return f"swapped {worker.count} faces in {done} frames"
        return f"swapped {worker.count} faces in {done} image{'s' if done != 1 else ''}{failed_note(failed)}"


class Swapper:
    """A swap job's work on one device: the models and the source face's embedding; counts the
    faces it swapped."""

    def __init__(self, args, reporter, device_id: int):
        require_gpu(device_id)
        from quorvex.face.detector import TrtFaceDetection
        from quorvex.face.paste import PasteBack
        from quorvex.face.swap import FaceSwap

        self.reporter, self.which, self.count = reporter, parse_faces(args.faces), 0
        self.keeps_range = False  # the models work in 0..1
        onnx_device = ort_device(device_id, reporter)
        with reporter.library_output():
            self.detector = TrtFaceDetection(model_path=args.detector, device_id=device_id)
            if not self.detector.use_kps:
                raise CliError(f"--detector {args.detector}: the engine gives no face landmarks "
                               f"({len(self.detector.output_names)} outputs); aligning and swapping faces needs an "
                               "engine with landmark outputs (9 or 15)", USAGE)
            if args.embedder.lower().endswith(ENGINE_SUFFIXES):
                from quorvex.face.recognizer import TrtFaceEmbedding

                embedder = TrtFaceEmbedding(model_path=args.embedder, device_id=device_id)
            else:
                from quorvex.face.embedding import FaceEmbedding

                embedder = FaceEmbedding(model_path=args.embedder, device=onnx_device)
            self.swapper = FaceSwap(model_path=args.swapper, device=onnx_device)
            self.enhancer = None
            if args.enhancer:
                from quorvex.face.embedding import session_arguments
                from quorvex.face.enhancer import GFPGAN

                self.enhancer = GFPGAN(args.enhancer, **session_arguments(onnx_device))
            self.paster = PasteBack()

            source_image, _ = media.read_image(media.check_image_input(args.source, "--source"))
            source_image = media.colour_and_alpha(source_image)[0]
            found = self.detector.get(source_image)
            if not found:
                raise CliError(f"--source {args.source}: no face found in this image")
            self.source_face = embedder.get(select(found, "largest")[0])

    def frame(self, frame, bar=None):
        with self.reporter.library_output():
            out, count = swap_faces(frame, self.source_face, self.detector, self.swapper, self.paster,
                                    self.enhancer, self.which)
        self.count += count
        return out

    def frame_size(self, size):
        return size

    def read(self, source) -> media.ImageInput:
        image, dtype = media.read_image(source)
        channels = image.shape[2]
        frame, alpha = media.colour_and_alpha(image)  # faces are found and swapped in colour
        return media.ImageInput(source, [frame], dtype, channels, alpha)

    def process(self, given: media.ImageInput, target, bar=None):
        return media.with_layout(self.frame(given.holder.pop()), given.channels, given.alpha)

    def image(self, source, target, bar=None) -> None:
        given = self.read(source)
        media.write_image(target, self.process(given, target, bar), given.dtype, source)
        self.reporter.memory.sample()
