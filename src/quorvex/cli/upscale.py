"""quorvex upscale: images, folders and videos through a super-resolution model, or through the
Lanczos-4 resize when no model is given.

With a model, an image is cut into overlapping tiles a batch at a time, the tiles go through
the model and each returned batch is blended at once into the output image on the device
(quorvex.upscale.blend), so the device holds the input, the output and one batch, whatever the
image size.
"""

from __future__ import annotations

import pathlib

from .common import USAGE, BadInput, CliError, each_file, failed_note, local_plan, parse_device, require_gpu
from . import live, media, pieces


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


def prepare(args):
    """Everything checked that can be without a model: the numbers, the device, the model file,
    the inputs and outputs. Returns the plan."""
    check_numbers(args)
    parse_device(args.device)
    plan = media.plan(args.input, args.output, args.overwrite, drop_alpha=args.drop_alpha)
    if args.model:
        from .models import model_kind, needs

        kind = model_kind(args.model)  # the file is there and of a known kind
        # The model's library, reported missing before the GPU check says anything.
        module = {"pytorch": "torch", "onnx": "onnxruntime", "tensorrt": "tensorrt"}[kind]
        needs(module, "torch" if kind == "pytorch" else module)
        if kind == "pytorch":
            needs("spandrel", "torch")
    if plan.kind == "video":
        media.video_module()  # there before any model loads
        media.check_video_output(pathlib.Path(args.output), pieces.output_of(args))
    return plan


def load(args, reporter, device_id: int):
    """(the image function, a description of it) on device_id: the model loaded and checked
    against --tile, --overlap and --scale, or the Lanczos-4 resize."""
    require_gpu(device_id)
    if args.model:
        from .models import load_runner

        runner = load_runner(args.model, device_id, args.precision, reporter, getattr(args, "trust_model", False))
        tile = choose_tile(args, runner)
        if args.overlap >= tile:
            raise CliError(f"--overlap {args.overlap} must be smaller than the tile side {tile}", USAGE)
        work = Upscaler(runner, tile, args.overlap, choose_batch(args, runner), reporter)
        if runner.scale is None:
            runner.scale = probe_scale(runner, tile)
        if args.scale and args.scale != runner.scale:
            raise CliError(f"--scale {args.scale}: the model upscales x{runner.scale} (leave --scale out)", USAGE)
        return work, f"{runner.description} (tile {tile}, overlap {args.overlap}, batch {work.batch})"
    scale = args.scale or 2
    return lanczos(scale), f"Lanczos-4 x{scale}"


def frame_size(work, args):
    """Maps a video's (width, height) to the upscaled one's."""
    runner = getattr(work, "runner", None)
    factor = (runner.scale if runner else None) or args.scale or 2
    return lambda size: (size[0] * factor, size[1] * factor)


def stored_dtype(target, source_dtype):
    """The element type write_image stores target with: 8-bit sources give 8-bit files, others
    16-bit, EXR and float sources in TIFF float."""
    import numpy as np

    ext = media.suffix(target)
    if ext == ".exr" or (ext in (".tif", ".tiff") and source_dtype == np.float32):
        return np.float32
    return np.uint8 if source_dtype == np.uint8 else np.uint16


def upscale_file(work, reporter, source, target, bar=None) -> None:
    image, dtype = media.read_image(source)
    reporter.memory.sample()
    channels, alpha = image.shape[2], None
    if isinstance(work, Upscaler) and channels != 3:
        # The model sees colour: grey as three equal channels (its luma comes back), the alpha
        # plane beside it is upscaled by Lanczos-4.
        image, alpha = media.colour_and_alpha(image)
    holder = [image]
    del image
    if isinstance(work, Upscaler) and channels == 3:  # converted in the result's memory, not beside it
        result = work(holder, bar, stored_dtype(target, dtype))
    else:
        result = work(holder, bar)
    if isinstance(work, Upscaler) and channels != 3:
        if alpha is not None:
            from quorvex.transform.resize import INTER_LANCZOS4, resize

            alpha = resize(alpha, (result.shape[1], result.shape[0]), interpolation=INTER_LANCZOS4)
            alpha = alpha.reshape(alpha.shape[:2] + (1,))
        result = media.with_layout(result, channels, alpha)
    media.write_image(target, result, dtype)
    reporter.memory.sample()


def summarise(reporter, what: str, count: int, tiles: int, skipped: int, failed=()) -> None:
    if count == 1 and tiles and not failed:
        reporter.summary(f"upscaled 1 image ({tiles} tiles) with {what}", tiles, "tiles", skipped)
    else:
        reporter.summary(f"upscaled {count} image{'s' if count != 1 else ''}"
                         + (f" ({tiles} tiles)" if tiles else "") + f" with {what}{failed_note(failed)}", count,
                         "images", skipped)


def run(args, reporter) -> int:
    if live.wanted(args):
        check_numbers(args)
        return live.run(args, reporter, lambda: (lambda work: lambda image: work([image]))(
            load(args, reporter, parse_device(args.device))[0]), "upscaled")
    if getattr(args, "ray", None) is not None:
        from .distributed import run as run_on_ray

        return run_on_ray(args, reporter)
    plan = local_plan(args, reporter, prepare, "upscaled")
    if plan is None:
        return 0
    work, what = load(args, reporter, parse_device(args.device))
    if plan.kind == "video":
        (source, target), = plan.jobs
        frames = pieces.process(source, target, lambda frame, bar: work([frame], bar), frame_size(work, args),
                                reporter, args.overwrite, pieces.settings_of(args), pieces.output_of(args))
        reporter.summary(f"upscaled {frames} frames with {what}", frames, "frames")
        return 0

    failed = each_file("upscale", plan, lambda s, t, bar: upscale_file(work, reporter, s, t, bar), reporter,
                       "file")
    summarise(reporter, what, len(plan.jobs) - len(failed), work.tiles_done if isinstance(work, Upscaler) else 0,
              plan.skipped, failed)
    return 1 if failed else 0
