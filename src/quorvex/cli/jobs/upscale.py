"""quorvex upscale: images, folders and videos through the package's Upscaler (a
super-resolution model over tiles, or the Lanczos-4 resize when no model is given)."""

from __future__ import annotations

from quorvex.pipeline.models import inspect_onnx, model_kind, needs
from quorvex.pipeline.upscale import TiledModel, Upscaler, check_numbers

from .. import media
from ..common import USAGE, CliError, failed_note, parse_device


def stored_dtype(target, source_dtype):
    """The element type write_image stores target with: 8-bit sources give 8-bit files, others
    16-bit, EXR and float sources in TIFF float."""
    import numpy as np

    ext = media.suffix(target)
    if ext == ".exr" or (ext in (".tif", ".tiff") and source_dtype == np.float32):
        return np.float32
    return np.uint8 if source_dtype == np.uint8 else np.uint16


def read_input(work, reporter, source) -> media.ImageInput:
    """The image of source as work takes it: colour apart from grey or alpha for a model."""
    import numpy as np

    image, dtype = media.read_image(source)
    reporter.memory.sample()
    channels, alpha = image.shape[2], None
    if isinstance(work, TiledModel) and channels != 3:
        # The model sees colour: grey as three equal channels (its luma comes back), the alpha
        # plane beside it is upscaled by Lanczos-4.
        image, alpha = media.colour_and_alpha(image)
    if isinstance(work, TiledModel) and dtype == np.float32:
        low, high = float(image.min()), float(image.max())
        if low < 0 or high > 1:  # the models (spandrel's checkpoints among them) clip to their 0..1
            reporter.note(f"note: {source}: values from {low:.3g} to {high:.3g}, beyond the 0..1 models work in; a "
                          "checkpoint's output is clipped to 0..1 (the Lanczos-4 resize, without --model, keeps them)")
    return media.ImageInput(source, [image], dtype, channels, alpha)


def upscale_input(work, reporter, given: media.ImageInput, target, bar=None, finish=None):
    """The upscaled device image of given, in the input's layout, ready for write_image; finish,
    if given, resizes the model's output to --outscale."""
    holder, channels, alpha = given.holder, given.channels, given.alpha
    if isinstance(work, TiledModel) and channels == 3 and finish is None:  # converted in the result's memory
        result = work(holder, bar, stored_dtype(target, given.dtype))
    else:
        result = work(holder, bar)
    if finish is not None:
        result = finish(result)
    if isinstance(work, TiledModel) and channels != 3:
        if alpha is not None:
            from quorvex.transform.resize import INTER_LANCZOS4, resize

            alpha = resize(alpha, (result.shape[1], result.shape[0]), interpolation=INTER_LANCZOS4)
            alpha = alpha.reshape(alpha.shape[:2] + (1,))
        result = media.with_layout(result, channels, alpha)
    reporter.memory.sample()
    return result


def upscale_file(work, reporter, source, target, bar=None, finish=None) -> None:
    given = read_input(work, reporter, source)
    media.write_image(target, upscale_input(work, reporter, given, target, bar, finish), given.dtype, source)
    reporter.memory.sample()


class UpscaleJob:
    """quorvex upscale: a super-resolution model over tiles, or the Lanczos-4 resize."""

    command, verb, counted = "upscale", "upscaled", "tiles"

    def __init__(self, args):
        self.args = args

    def check_options(self) -> None:
        check_numbers(self.args)
        parse_device(self.args.device)
        if bool(self.args.face_enhance) != bool(self.args.detector):
            raise CliError("--face-enhance MODEL and --detector DET go together", USAGE)

    def check_models(self) -> None:
        """The model file is there, of a known kind, and its library is installed: reported
        before the GPU check says anything."""
        if self.args.model:
            kind = model_kind(self.args.model)
            module = {"pytorch": "torch", "onnx": "onnxruntime", "tensorrt": "tensorrt"}[kind]
            needs(module)
            if kind == "pytorch":
                needs("spandrel")
            if kind == "onnx":
                inspect_onnx(self.args.model)
        if self.args.face_enhance:
            from .swap import check_model

            check_model(self.args.detector, "detector", ("tensorrt", "onnx"))
            check_model(self.args.face_enhance, "face-enhance", ("onnx", "pytorch"), inputs=1)
            needs("tensorrt")
            needs("onnxruntime")

    def load(self, reporter, device_id: int) -> UpscaleWorker:
        """The model loaded on device_id and checked against --tile, --overlap and --scale, or
        the Lanczos-4 resize."""
        args = self.args
        faces = None
        if args.face_enhance:
            from quorvex.pipeline.swap import FaceRestorer

            faces = FaceRestorer(args.detector, args.face_enhance, f"cuda:{device_id}",
                                 trust_model=args.trust_model, reporter=reporter)
        upscaler = Upscaler(args.model, args.tile, args.overlap, args.batch, args.precision, f"cuda:{device_id}",
                            scale=args.scale, outscale=args.outscale, trust_model=args.trust_model, reporter=reporter,
                            faces=faces)
        return UpscaleWorker(upscaler, reporter)

    def summary(self, worker, done: int, unit: str, failed=()) -> str:
        what = worker.description
        if unit == "frames":
            return f"upscaled {done} frames with {what}"
        tiles = worker.count
        if done == 1 and tiles and not failed:
            return f"upscaled 1 image ({tiles} tiles) with {what}"
        return (f"upscaled {done} image{'s' if done != 1 else ''}" + (f" ({tiles} tiles)" if tiles else "")
                + f" with {what}{failed_note(failed)}")


class UpscaleWorker:
    """An upscale job's work on one device: its model (or the resize) for images and frames."""

    def __init__(self, upscaler, reporter):
        self.work, self.finish, self.description = upscaler.work, upscaler.finish, upscaler.description
        self.reporter, self.output_size = reporter, upscaler.output_size
        # the resize keeps values beyond 0..1; models clip, the face models too
        self.keeps_range = not isinstance(self.work, TiledModel) and upscaler.faces is None

    @property
    def count(self) -> int:
        return self.work.tiles_done if isinstance(self.work, TiledModel) else 0

    def read(self, source) -> media.ImageInput:
        return read_input(self.work, self.reporter, source)

    def process(self, given: media.ImageInput, target, bar=None):
        return upscale_input(self.work, self.reporter, given, target, bar, self.finish)

    def image(self, source, target, bar=None) -> None:
        upscale_file(self.work, self.reporter, source, target, bar, self.finish)

    def frame(self, image, bar=None):
        result = self.work([image], bar)
        return result if self.finish is None else self.finish(result)

    def sequence(self):
        """The frame function of one video piece: frames are upscaled on their own."""
        return self.frame

    def frame_size(self, size):
        return self.output_size(*size)
