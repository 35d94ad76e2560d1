"""quorvex upscale: images, folders and videos through a super-resolution model, or through the
Lanczos-4 resize when no model is given.

With a model, an image is cut into overlapping tiles a batch at a time, the tiles go through
the model and each returned batch is blended at once into the output image on the device
(quorvex.upscale.blend), so the device holds the input, the output and one batch, whatever the
image size.
"""

from __future__ import annotations

from .. import media
from ..common import USAGE, BadInput, CliError, failed_note, parse_device, require_gpu


def choose_tile(args, runner) -> int:
    """The tile side: the model's fixed size, else --tile checked against the model's bounds,
    else 128 brought within them."""
    if runner.fixed_tile:
        if args.tile is not None and args.tile != runner.fixed_tile:
            raise CliError(f"--tile {args.tile}: the model takes {runner.fixed_tile}x{runner.fixed_tile} inputs only "
                           "(leave --tile out)", USAGE)
        return runner.fixed_tile
    if args.tile is not None:
        tile = args.tile
        if tile % runner.multiple or tile < runner.minimum or (runner.maximum and tile > runner.maximum):
            bounds = [f"a multiple of {runner.multiple}"] if runner.multiple > 1 else []
            bounds += [f"at least {runner.minimum}"] if runner.minimum > 1 else []
            bounds += [f"at most {runner.maximum}"] if runner.maximum else []
            raise CliError(f"--tile {tile}: the model needs a tile side {' and '.join(bounds)}", USAGE)
        return tile
    tile = max(128, runner.minimum)
    tile = -(-tile // runner.multiple) * runner.multiple
    if runner.maximum and tile > runner.maximum:
        tile = runner.maximum // runner.multiple * runner.multiple
    return tile


def choose_batch(args, runner) -> int:
    if runner.fixed_batch:
        return runner.fixed_batch  # a partial last batch is filled up with copies
    batch = args.batch
    if runner.max_batch:
        batch = min(batch, runner.max_batch)
    return batch


def check_numbers(args) -> None:
    for name in ("tile", "batch", "scale"):
        value = getattr(args, name)
        if value is not None and value < 1:
            raise CliError(f"--{name} must be at least 1, got {value}", USAGE)
    if args.overlap < 0:
        raise CliError(f"--overlap must be at least 0, got {args.overlap}", USAGE)
    if args.tile is not None and args.overlap >= args.tile:
        raise CliError(f"--overlap {args.overlap} must be smaller than --tile {args.tile}", USAGE)
    if args.precision and not args.model:
        raise CliError("--precision needs --model", USAGE)


class Upscaler:
    def __init__(self, runner, tile: int, overlap: int, batch: int, reporter):
        self.runner, self.tile, self.overlap, self.batch, self.reporter = runner, tile, overlap, batch, reporter
        self.tiles_done = 0

    def grid(self, height: int, width: int) -> tuple[int, int, int, int]:
        """(padded height, padded width, rows, columns) of the tiles tile_image cuts: each side
        padded to fit the grid, a side shorter than a tile to one tile."""
        step = self.tile - self.overlap
        padded = [n + (step - (n - self.overlap) % step) % step if n >= self.tile else self.tile
                  for n in (height, width)]
        rows, columns = ((n - self.tile) // step + 1 if n >= self.tile else 0 for n in padded)
        return padded[0], padded[1], rows, columns

    def __call__(self, holder, bar=None, dtype=None):
        """The upscaled BGR device image of the one image in holder (a list, emptied so that
        the caller holds no other reference), float32 or converted to dtype (uint8, uint16) in
        the result's own memory. The device holds the image, the result and one batch: each
        batch is cut from the image (mirrored past its bottom and right edges, in the models' RGB
        order) and blended into the result as it comes back."""
        import torch

        from quorvex.upscale.blend import TileBlender

        image = holder.pop()
        height, width, channels = image.shape
        padded_height, padded_width, rows, columns = self.grid(height, width)
        if not rows * columns:
            raise BadInput(f"a {width}x{height} image is too small for tiles of {self.tile} overlapping by "
                           f"{self.overlap}; use a smaller --overlap")
        if self.runner.scale is None:
            self.runner.scale = probe_scale(self.runner, self.tile)
        scale, size, count = self.runner.scale, self.tile, rows * columns
        blender = TileBlender((padded_height, padded_width, channels), scale, size, self.overlap,
                              original_shape=(height, width, channels))
        inner = self.reporter.bar(count, "tile", leave=False) if bar is None and count > self.batch else None
        try:
            for first in range(0, count, self.batch):
                n = min(self.batch, count - first)
                inputs = blender.cut(image, first, n, rgb=True)  # the models take RGB
                if self.runner.fixed_batch and n < self.batch:
                    inputs = torch.cat([inputs, inputs[-1:].expand(self.batch - n, -1, -1, -1)])
                outputs = self.runner.run(inputs)[:n]
                del inputs
                if tuple(outputs.shape) != (n, 3, size * scale, size * scale):
                    raise CliError(f"the model returned {tuple(outputs.shape)} for {n} tiles of {size}x{size}; "
                                   f"expected ({n}, 3, {size * scale}, {size * scale})")
                blender.add(outputs, first, rgb=True)
                del outputs
                self.reporter.memory.sample()
                self.tiles_done += n
                if inner is not None:
                    inner.update(n)
        finally:
            if inner is not None:
                inner.close()
        del image
        return blender.result(dtype=dtype)


def probe_scale(runner, tile: int) -> int:
    """The scale of a model whose output size is not declared: one run on a blank tile."""
    import cupy as cp

    from quorvex.upscale.tile import to_batch

    blank = cp.zeros((tile, tile, 3), cp.float32)
    side = runner.run(to_batch([blank] * (runner.fixed_batch or 1))).shape[-1]
    if side % tile or side < tile:
        raise CliError(f"the model turns a {tile}x{tile} tile into {side}x{side}; expected a whole multiple")
    return side // tile


def lanczos(scale: int):
    from quorvex.transform.resize import INTER_LANCZOS4, resize

    def upscale(holder, bar=None):
        image = holder.pop()
        height, width = image.shape[:2]
        return resize(image, (width * scale, height * scale), interpolation=INTER_LANCZOS4)

    return upscale


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
    if isinstance(work, Upscaler) and channels != 3:
        # The model sees colour: grey as three equal channels (its luma comes back), the alpha
        # plane beside it is upscaled by Lanczos-4.
        image, alpha = media.colour_and_alpha(image)
    if isinstance(work, Upscaler) and dtype == np.float32:
        low, high = float(image.min()), float(image.max())
        if low < 0 or high > 1:  # the models (spandrel's checkpoints among them) clip to their 0..1
            reporter.note(f"note: {source}: values from {low:.3g} to {high:.3g}, beyond the 0..1 models work in; a "
                          "checkpoint's output is clipped to 0..1 (the Lanczos-4 resize, without --model, keeps them)")
    return media.ImageInput(source, [image], dtype, channels, alpha)


def upscale_input(work, reporter, given: media.ImageInput, target, bar=None):
    """The upscaled device image of given, in the input's layout, ready for write_image."""
    holder, channels, alpha = given.holder, given.channels, given.alpha
    if isinstance(work, Upscaler) and channels == 3:  # converted in the result's memory, not beside it
        result = work(holder, bar, stored_dtype(target, given.dtype))
    else:
        result = work(holder, bar)
    if isinstance(work, Upscaler) and channels != 3:
        if alpha is not None:
            from quorvex.transform.resize import INTER_LANCZOS4, resize

            alpha = resize(alpha, (result.shape[1], result.shape[0]), interpolation=INTER_LANCZOS4)
            alpha = alpha.reshape(alpha.shape[:2] + (1,))
        result = media.with_layout(result, channels, alpha)
    reporter.memory.sample()
    return result


def upscale_file(work, reporter, source, target, bar=None) -> None:
    given = read_input(work, reporter, source)
    media.write_image(target, upscale_input(work, reporter, given, target, bar), given.dtype, source)
    reporter.memory.sample()


class UpscaleJob:
    """quorvex upscale: a super-resolution model over tiles, or the Lanczos-4 resize."""

    command, verb, counted = "upscale", "upscaled", "tiles"

    def __init__(self, args):
        self.args = args

    def check_options(self) -> None:
        check_numbers(self.args)
        parse_device(self.args.device)

    def check_models(self) -> None:
        """The model file is there, of a known kind, and its library is installed: reported
        before the GPU check says anything."""
        if self.args.model:
            from ..models import inspect_onnx, model_kind, needs

            kind = model_kind(self.args.model)
            module = {"pytorch": "torch", "onnx": "onnxruntime", "tensorrt": "tensorrt"}[kind]
            needs(module, "torch" if kind == "pytorch" else module)
            if kind == "pytorch":
                needs("spandrel", "torch")
            if kind == "onnx":
                inspect_onnx(self.args.model)

    def load(self, reporter, device_id: int) -> UpscaleWorker:
        """The model loaded on device_id and checked against --tile, --overlap and --scale, or
        the Lanczos-4 resize."""
        args = self.args
        require_gpu(device_id)
        if args.model:
            from ..models import load_runner

            runner = load_runner(args.model, device_id, args.precision, reporter, getattr(args, "trust_model", False))
            tile = choose_tile(args, runner)
            if args.overlap >= tile:
                raise CliError(f"--overlap {args.overlap} must be smaller than the tile side {tile}", USAGE)
            work = Upscaler(runner, tile, args.overlap, choose_batch(args, runner), reporter)
            if runner.scale is None:
                runner.scale = probe_scale(runner, tile)
            if args.scale and args.scale != runner.scale:
                raise CliError(f"--scale {args.scale}: the model upscales x{runner.scale} (leave --scale out)", USAGE)
            description = f"{runner.description} (tile {tile}, overlap {args.overlap}, batch {work.batch})"
            return UpscaleWorker(work, runner.scale, description, reporter)
        scale = args.scale or 2
        return UpscaleWorker(lanczos(scale), scale, f"Lanczos-4 x{scale}", reporter)

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

    def __init__(self, work, scale: int, description: str, reporter):
        self.work, self.scale, self.description, self.reporter = work, scale, description, reporter
        self.keeps_range = not isinstance(work, Upscaler)  # the resize keeps values beyond 0..1; models clip

    @property
    def count(self) -> int:
        return self.work.tiles_done if isinstance(self.work, Upscaler) else 0

    def read(self, source) -> media.ImageInput:
        return read_input(self.work, self.reporter, source)

    def process(self, given: media.ImageInput, target, bar=None):
        return upscale_input(self.work, self.reporter, given, target, bar)

    def image(self, source, target, bar=None) -> None:
        upscale_file(self.work, self.reporter, source, target, bar)

    def frame(self, image, bar=None):
        return self.work([image], bar)

    def frame_size(self, size):
        return size[0] * self.scale, size[1] * self.scale
