"""Upscaling: a super-resolution model over overlapping tiles, or the Lanczos-4 resize.

    from quorvex.pipeline import Upscaler

    upscaler = Upscaler("4x.pth")                  # a checkpoint, an ONNX model or a TensorRT engine
    big = upscaler.upscale(image)                  # a device or host (H, W, 3) BGR image, any size
    for frame in upscaler.frames(frames): ...      # a stream, the next frame read while one runs

With a model, an image is cut into overlapping tiles a batch at a time, the tiles go through
the model and each returned batch is blended at once into the output image on the device
(quorvex.upscale.blend), so the device holds the input, the output and one batch, whatever the
image size.
"""

from __future__ import annotations

import dataclasses
import math

from .device import parse_device, require_gpu
from .errors import USAGE, BadInput
from .errors import JobError as CliError
from .reporting import Silent


@dataclasses.dataclass(frozen=True)
class UpscaleOptions:
    """What an upscale is made with. The command builds one from its arguments."""

    model: str | None = None
    tile: int | None = None
    overlap: int = 16
    batch: int = 8
    precision: str | None = None
    scale: int | None = None
    trust_model: bool = False
    outscale: float | None = None


def outscaled(width: int, height: int, factor: float) -> tuple[int, int]:
    """(width, height) times factor, truncated as the upscaling tools users know do it, at least 1."""
    return max(1, int(width * factor)), max(1, int(height * factor))


def choose_tile(options, backend) -> int:
    """The tile side: the model's fixed size, else --tile checked against the model's bounds,
    else 128 brought within them. --tile 0 gives 0: each image whole, in one pass where it fits."""
    if backend.fixed_tile:
        if options.tile not in (None, 0, backend.fixed_tile):
            raise CliError(f"--tile {options.tile}: the model takes {backend.fixed_tile}x{backend.fixed_tile} inputs only "
                           "(leave --tile out)", USAGE)
        return backend.fixed_tile
    if options.tile == 0:
        return 0
    if options.tile is not None:
        tile = options.tile
        if tile % backend.multiple or tile < backend.minimum or (backend.maximum and tile > backend.maximum):
            bounds = [f"a multiple of {backend.multiple}"] if backend.multiple > 1 else []
            bounds += [f"at least {backend.minimum}"] if backend.minimum > 1 else []
            bounds += [f"at most {backend.maximum}"] if backend.maximum else []
            raise CliError(f"--tile {tile}: the model needs a tile side {' and '.join(bounds)}", USAGE)
        return tile
    tile = max(128, backend.minimum)
    tile = -(-tile // backend.multiple) * backend.multiple
    if backend.maximum and tile > backend.maximum:
        tile = backend.maximum // backend.multiple * backend.multiple
    return tile


def choose_batch(options, backend) -> int:
    if backend.fixed_batch:
        return backend.fixed_batch  # a partial last batch is filled up with copies
    batch = options.batch
    if backend.max_batch:
        batch = min(batch, backend.max_batch)
    return batch


def check_numbers(options) -> None:
    for name in ("tile", "batch", "scale"):
        value = getattr(options, name)
        least = 0 if name == "tile" else 1  # --tile 0: the whole image
        if value is not None and value < least:
            raise CliError(f"--{name} must be at least {least}, got {value}", USAGE)
    if options.overlap < 0:
        raise CliError(f"--overlap must be at least 0, got {options.overlap}", USAGE)
    if options.tile and options.overlap >= options.tile:
        raise CliError(f"--overlap {options.overlap} must be smaller than --tile {options.tile}", USAGE)
    if options.precision and not options.model:
        raise CliError("--precision needs --model", USAGE)
    outscale = getattr(options, "outscale", None)
    if outscale is not None and not (math.isfinite(outscale) and outscale > 0):
        raise CliError(f"--outscale must be a positive number, got {outscale}", USAGE)


class TiledModel:
    """A model run over an image tile by tile, each batch blended into the result as it returns."""

    def __init__(self, backend, tile: int, overlap: int, batch: int, reporter):
        self.backend, self.tile, self.overlap, self.batch, self.reporter = backend, tile, overlap, batch, reporter
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
        if self.tile == 0:
            whole = self.whole_side(height, width)
            if whole is not None:
                return self.run_whole(image, whole, dtype)
            return TiledModel(self.backend, self.backend.maximum // self.backend.multiple * self.backend.multiple,
                              self.overlap, self.batch, self.reporter)([image], bar, dtype)
        padded_height, padded_width, rows, columns = self.grid(height, width)
        if not rows * columns:
            raise BadInput(f"a {width}x{height} image is too small for tiles of {self.tile} overlapping by "
                           f"{self.overlap}; use a smaller --overlap")
        if self.backend.scale is None:
            self.backend.scale = probe_scale(self.backend, self.tile)
        scale, size, count = self.backend.scale, self.tile, rows * columns
        blender = TileBlender((padded_height, padded_width, channels), scale, size, self.overlap,
                              original_shape=(height, width, channels))
        inner = self.reporter.bar(count, "tile", leave=False) if bar is None and count > self.batch else None
        try:
            for first in range(0, count, self.batch):
                n = min(self.batch, count - first)
                inputs = blender.cut(image, first, n, rgb=True)  # the models take RGB
                if self.backend.fixed_batch and n < self.batch:
                    inputs = torch.cat([inputs, inputs[-1:].expand(self.batch - n, -1, -1, -1)])
                outputs = self.backend.run(inputs)[:n]
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


    def whole_side(self, height: int, width: int):
        """The (height, width) an image goes through the model whole at (its sides rounded up to
        the model's multiple and minimum), or None where that is beyond the model's maximum."""
        backend = self.backend
        sides = tuple(max(-(-n // backend.multiple) * backend.multiple, backend.minimum) for n in (height, width))
        return None if backend.maximum and max(sides) > backend.maximum else sides

    def run_whole(self, image, sides, dtype):
        """The image through the model in one run, mirrored past its bottom and right edges to
        sides; as __call__ returns."""
        import cupy as cp
        import torch

        from quorvex.upscale.tile import to_batch

        height, width = image.shape[:2]
        inputs = to_batch([image])[:, [2, 1, 0]]  # the models take RGB
        del image
        pad = (0, sides[1] - width, 0, sides[0] - height)
        if any(pad):
            mode = "reflect" if pad[1] < width and pad[3] < height else "replicate"
            inputs = torch.nn.functional.pad(inputs, pad, mode=mode)
        if self.backend.fixed_batch:
            inputs = inputs.expand(self.backend.fixed_batch, -1, -1, -1)
        if self.backend.scale is None:
            self.backend.scale = probe_scale(self.backend, choose_tile(UpscaleOptions(), self.backend))
        scale = self.backend.scale
        outputs = self.backend.run(inputs)[:1]
        expected = (1, 3, sides[0] * scale, sides[1] * scale)
        if tuple(outputs.shape) != expected:
            raise CliError(f"the model returned {tuple(outputs.shape)} for a {sides[1]}x{sides[0]} image; "
                           f"expected {expected}")
        from .models import device_batch

        planes = device_batch(outputs, cp.float32)[0, ::-1, :height * scale, :width * scale]  # RGB back to BGR
        del outputs
        result = cp.ascontiguousarray(planes.transpose(1, 2, 0))
        del planes
        self.reporter.memory.sample()
        self.tiles_done += 1
        if dtype is not None:
            from quorvex.utils.dtypes import to_uint8, to_uint16

            result = {cp.dtype(cp.uint8): to_uint8, cp.dtype(cp.uint16): to_uint16}[cp.dtype(dtype)](result)
        return result


def probe_scale(backend, tile: int) -> int:
    """The scale of a model whose output size is not declared: one run on a blank tile."""
    import cupy as cp

    from quorvex.upscale.tile import to_batch

    blank = cp.zeros((tile, tile, 3), cp.float32)
    side = backend.run(to_batch([blank] * (backend.fixed_batch or 1))).shape[-1]
    if side % tile or side < tile:
        raise CliError(f"the model turns a {tile}x{tile} tile into {side}x{side}; expected a whole multiple")
    return side // tile


def lanczos(scale: float):
    """The Lanczos-4 resize by scale (a whole factor, or any --outscale)."""
    from quorvex.transform.resize import INTER_LANCZOS4, resize

    def upscale(holder, bar=None):
        image = holder.pop()
        height, width = image.shape[:2]
        return resize(image, outscaled(width, height, scale), interpolation=INTER_LANCZOS4)

    return upscale


def to_outscale(outscale: float, scale: int):
    """The model's output (its input times scale) resized by Lanczos-4 to the input times outscale."""
    from quorvex.transform.resize import INTER_LANCZOS4, resize

    def finish(result):
        height, width = result.shape[0] // scale, result.shape[1] // scale
        size = outscaled(width, height, outscale)
        return result if size == (result.shape[1], result.shape[0]) else resize(result, size, INTER_LANCZOS4)

    return finish


class Upscaler:
    """A super-resolution model over tiles, or the Lanczos-4 resize, loaded once on device.

    Args:
        model: a checkpoint spandrel recognises, an ONNX model or a TensorRT engine; None for the
            Lanczos-4 resize by scale (2 unless given).
        tile: the tile side in input pixels (None: 128, or what the model needs; 0: each image
            whole where the model allows its size); overlap: pixels neighbouring tiles share;
            batch: tiles per model run.
        precision: "fp32", "fp16" or "bf16", for checkpoints.
        device: "cuda" or "cuda:N".
        scale: the resize's factor without a model (with one, it must be the model's).
        outscale: any final scale: the model's output resized by Lanczos-4 to the input's size
            times this.
        trust_model: allow the full unpickling some old checkpoints need.
        progress: progress(done, total), called as an image's tiles are done.
        faces: a FaceRestorer whose restore() the final image goes through.

    Raises:
        JobError: a model, option or size the job cannot run with (the command's message).
    """

    def __init__(self, model=None, tile: int | None = None, overlap: int = 16, batch: int = 8,
                 precision: str | None = None, device: str = "cuda", *, scale: int | None = None,
                 outscale: float | None = None, trust_model: bool = False, progress=None, reporter=None, faces=None):
        options = UpscaleOptions(None if model is None else str(model), tile, overlap, batch, precision, scale,
                                 trust_model, outscale)
        check_numbers(options)
        self.options, self.device_id = options, parse_device(device)
        self.reporter = reporter if reporter is not None else Silent(progress)
        require_gpu(self.device_id)
        if options.model:
            from .models import load_backend

            backend = load_backend(options.model, self.device_id, options.precision, self.reporter, options.trust_model)
            tile = choose_tile(options, backend)
            if tile and options.overlap >= tile:
                raise CliError(f"--overlap {options.overlap} must be smaller than the tile side {tile}", USAGE)
            self.work = TiledModel(backend, tile, options.overlap, choose_batch(options, backend), self.reporter)
            if backend.scale is None:
                backend.scale = probe_scale(backend, tile or choose_tile(UpscaleOptions(), backend))
            if options.scale and options.scale != backend.scale:
                raise CliError(f"--scale {options.scale}: the model upscales x{backend.scale} (leave --scale out)", USAGE)
            self.scale = backend.scale
            self.description = (f"{backend.description} (tile {tile}, overlap {options.overlap}, batch {self.work.batch})"
                                if tile else f"{backend.description} (each image whole where it fits)")
            if outscale is not None and outscale != backend.scale:
                self.finish = to_outscale(outscale, backend.scale)
                self.description += f", then Lanczos-4 to x{outscale:g}"
        else:
            if outscale is not None and scale is not None:
                raise CliError("--scale and --outscale both set the Lanczos-4 resize's factor; give one", USAGE)
            self.scale = options.scale or 2
            self.work = lanczos(outscale or self.scale)
            self.description = f"Lanczos-4 x{outscale or self.scale:g}"
        self.outscale = outscale
        self.faces = faces
        if faces is not None:  # the faces restored in the final image
            before = self.finish
            self.finish = faces.restore if before is None else (lambda image: faces.restore(before(image)))
            self.description += ", faces restored"

    finish = None  # what follows the model or the resize: to --outscale, the faces restored (faces)

    def output_size(self, width: int, height: int) -> tuple[int, int]:
        """The (width, height) an input of width x height comes out at."""
        return outscaled(width, height, self.outscale or self.scale)

    @property
    def tiled(self) -> bool:
        return isinstance(self.work, TiledModel)

    @property
    def tiles_done(self) -> int:
        return self.work.tiles_done if self.tiled else 0

    def upscale(self, image, dtype=None):
        """image (H, W, 3) BGR, float32 in 0..1 or 8/16-bit codes, on the device or the host, upscaled:
        float32 (or dtype) of the same kind (a host image gives a host result)."""
        import cupy as cp
        import numpy as np

        on_host = isinstance(image, np.ndarray)
        if not isinstance(image, (np.ndarray, cp.ndarray)):
            raise TypeError(f"Upscaler.upscale() takes a NumPy or CuPy array, got {type(image).__name__}")
        if image.ndim != 3 or image.shape[2] != 3:
            raise ValueError(f"Upscaler.upscale() takes a (height, width, 3) BGR image, got {tuple(image.shape)}")
        codes = {np.dtype(np.uint8): 255.0, np.dtype(np.uint16): 65535.0}.get(np.dtype(image.dtype))
        if codes is None and image.dtype != np.float32:
            raise ValueError(f"Upscaler.upscale() takes float32, uint8 or uint16 pixels, got {image.dtype}")
        device = cp.asarray(image)
        device = device.astype(cp.float32) / codes if codes else cp.ascontiguousarray(device)
        holder = [device]
        del device
        if self.finish is not None:
            result = self.finish(self.work(holder, None))
        else:
            result = self.work(holder, None, dtype) if self.tiled else self.work(holder, None)
        if dtype is not None and result.dtype != dtype:
            from quorvex.utils.dtypes import to_uint8, to_uint16

            result = {np.dtype(np.uint8): to_uint8, np.dtype(np.uint16): to_uint16}[np.dtype(dtype)](result)
        return result.get() if on_host else result

    def frames(self, frames, dtype=None):
        """Each frame of an iterable, upscaled; the next frame is taken from it (decoded, read,
        uploaded) in a thread of its own while one is on the device."""
        from .stages import overlapped

        yield from overlapped(frames, lambda frame: self.upscale(frame, dtype))


