"""quorvex swap: the identity of one source face into the selected faces of images, folders and
videos: detection (TensorRT), source embedding (ONNX Runtime or TensorRT), the swap network,
optional restoration, and paste back through a soft mask."""

from __future__ import annotations

from quorvex.pipeline.models import inspect_onnx, model_kind, needs
from quorvex.pipeline.swap import check_fraction, parse_det_size, parse_faces, parse_padding

from .. import media
from ..common import USAGE, CliError, failed_note, parse_device, require_gpu


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
    elif kind == "pytorch":
        needs("torch")
        needs("spandrel")
    return kind


class SwapJob:
    """quorvex swap: the identity of the --source face into the selected faces."""

    command, verb, counted = "swap", "swapped", "faces"

    def __init__(self, args):
        self.args = args

    def check_options(self) -> None:
        args = self.args
        parse_faces(args.faces)
        parse_device(args.device)
        if args.enhancer_blend is not None:
            check_fraction("enhancer-blend", args.enhancer_blend, closed=True)
            if not args.enhancer:
                raise CliError("--enhancer-blend needs --enhancer", USAGE)
        if args.det_thresh is not None:
            check_fraction("det-thresh", args.det_thresh, closed=False)
        if args.det_size is not None:
            parse_det_size(args.det_size)
        if args.mask_blur is not None:
            check_fraction("mask-blur", args.mask_blur, closed=True)
        if args.mask_padding is not None:
            parse_padding(args.mask_padding)
        if args.similarity is not None:
            check_fraction("similarity", args.similarity, closed=True)
            if not args.reference:
                raise CliError("--similarity needs --reference", USAGE)

    def check_models(self) -> None:
        """The model files and the source image; missing libraries are reported before the GPU
        check."""
        args = self.args
        check_model(args.detector, "detector", ("tensorrt", "onnx"))
        check_model(args.embedder, "embedder", ("onnx", "tensorrt"), inputs=1)
        check_model(args.swapper, "swapper", ("onnx",), inputs=2)
        if args.enhancer:
            check_model(args.enhancer, "enhancer", ("onnx", "pytorch"), inputs=1)
        for source in args.sources:
            media.check_image_input(source, "--source")
        if args.reference:
            media.check_image_input(args.reference, "--reference")
        needs("tensorrt")
        needs("onnxruntime")

    def load(self, reporter, device_id: int) -> Swapper:
        return Swapper(self.args, reporter, device_id)

    def summary(self, worker, done: int, unit: str, failed=()) -> str:
        if unit == "frames":
            return f"swapped {worker.count} faces in {done} frames"
        return f"swapped {worker.count} faces in {done} image{'s' if done != 1 else ''}{failed_note(failed)}"


class Swapper:
    """A swap job's work on one device: the package's FaceSwapper, with the command's source
    read as it reads its inputs; counts the faces it swapped."""

    def __init__(self, args, reporter, device_id: int):
        from quorvex.pipeline.swap import FaceSwapper

        require_gpu(device_id)
        self.reporter, self.keeps_range = reporter, False  # the models work in 0..1
        images = [media.colour_and_alpha(media.read_image(media.check_image_input(source, "--source"))[0])[0]
                  for source in args.sources]
        blend = 1.0 if args.enhancer_blend is None else args.enhancer_blend
        self.faces = FaceSwapper(args.detector, args.embedder, args.swapper, images,
                                 args.enhancer, args.faces, f"cuda:{device_id}", enhancer_blend=blend,
                                 det_thresh=args.det_thresh, det_size=args.det_size, mask_blur=args.mask_blur,
                                 mask_padding=args.mask_padding or (0, 0, 0, 0), reference=args.reference,
                                 similarity=0.4 if args.similarity is None else args.similarity,
                                 source_name=list(args.sources), trust_model=args.trust_model,
                                 reporter=reporter)

    @property
    def count(self) -> int:
        return self.faces.count

    def frame(self, frame, bar=None):
        """A live stream's next frame, its faces followed from the frames before."""
        if self.live_tracker is None:
            self.live_tracker = self.faces.tracker()
        return self.faces.swap(frame, self.live_tracker)

    live_tracker = None

    def sequence(self):
        """The frame function of one video piece, with a face tracker of its own."""
        tracker = self.faces.tracker()
        return lambda frame, bar=None: self.faces.swap(frame, tracker)

    def frame_size(self, size):
        return size

    def read(self, source) -> media.ImageInput:
        image, dtype = media.read_image(source)
        channels = image.shape[2]
        frame, alpha = media.colour_and_alpha(image)  # faces are found and swapped in colour
        return media.ImageInput(source, [frame], dtype, channels, alpha)

    def process(self, given: media.ImageInput, target, bar=None):
        return media.with_layout(self.faces.swap(given.holder.pop()), given.channels, given.alpha)

    def image(self, source, target, bar=None) -> None:
        given = self.read(source)
        media.write_image(target, self.process(given, target, bar), given.dtype, source)
        self.reporter.memory.sample()
