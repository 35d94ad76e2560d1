"""Upscale an image file with a super-resolution checkpoint (any architecture spandrel knows).

    python examples/upscale.py --model 4x_model.pth --input photo.png --output photo_x4.png \
        [--tile 128] [--overlap 16] [--batch 8] [--bits 8|16] [--device cuda]

The image is cut into overlapping tiles (a small image is padded up to one tile), run through the
model in batches and blended back with Gaussian weights, so any image size fits in device memory.
The output format follows the output's extension (PNG, JPEG, TIFF, half-float EXR, ...); PNG and
TIFF get the input's bit depth unless --bits says otherwise. The arguments, the input and the
output folder are checked before the model is loaded; any failure is reported in one line.
"""

from __future__ import annotations

import argparse
import importlib.util
import os
import sys

import cupy as cp
import cv2
import torch

from quorvex.io.store import store
from quorvex.upscale.core.torch import TorchUpscaler
from quorvex.upscale.blend import TileBlender
from quorvex.upscale.tile import tile_image, to_batch
from quorvex.utils.dtypes import to_uint8


class Refused(Exception):
    """A reason, known before the model runs, why the command cannot succeed."""


def upscale(image, upscaler, tile=128, overlap=16, batch=8, progress=None):
    """The upscaled BGR float32 device image of a BGR device image (float, uint8 or uint16).

    Each batch of model outputs is blended into the result as it comes back (TileBlender, as the
    quorvex command does), so device memory holds the image, the result and one batch."""
    if upscaler.purpose == "FaceSR":
        return upscaler.get(image)
    tiles, padded_shape = tile_image(image, tile, overlap)
    blender = TileBlender(padded_shape, upscaler.scale, tile, overlap)
    rgb = [2, 1, 0]  # tiles are BGR; the networks take RGB
    for start in range(0, len(tiles), batch):
        inputs = to_batch(tiles[start : start + batch])[:, rgb]
        with torch.no_grad():
            blender.add(upscaler.model(inputs.to(upscaler.device)), start, rgb=True)
        if progress:
            progress(min(start + batch, len(tiles)), len(tiles))
    return blender.result(tuple(image.shape))


def read_image(path: str):
    """The image as stored (uint8, uint16 or float32), three channels, on the device."""
    image = cv2.imread(path, cv2.IMREAD_COLOR | cv2.IMREAD_ANYDEPTH) if os.path.isfile(path) else None
    if image is None:
        raise Refused(f"cannot read an image from {path}")
    return cp.asarray(image)


def describe(error: Exception) -> str:
    return str(error) or type(error).__name__  # a bare assertion has no message


def check_arguments(args) -> None:
    """Refuses what would fail only after the model has run."""
    if args.tile < 1:
        raise Refused(f"--tile must be at least 1, got {args.tile}")
    if not 0 <= args.overlap < args.tile:
        raise Refused(f"--overlap must be at least 0 and less than --tile ({args.tile}), got {args.overlap}")
    if args.batch < 1:
        raise Refused(f"--batch must be at least 1, got {args.batch}")
    folder = os.path.dirname(os.path.abspath(args.output))
    if not os.path.isdir(folder):
        raise Refused(f"the output folder {folder} does not exist")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise Refused(f"the output folder {folder} is not writable")
    if os.path.isdir(args.output):
        raise Refused(f"--output {args.output} is a folder")
    ext = os.path.splitext(args.output)[1]
    if ext.lower() == ".exr":
        if importlib.util.find_spec("OpenEXR") is None:
            raise Refused("writing .exr files needs OpenEXR: pip install OpenEXR")
    elif not ext or not cv2.haveImageWriter(args.output):
        raise Refused(f"cannot write '{ext}' files: no image writer for that extension")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="upscale.py", description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, help="checkpoint (.pth, .ckpt, .safetensors via torch.load)")
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--tile", type=int, default=128, help="tile side in input pixels")
    parser.add_argument("--overlap", type=int, default=16, help="pixels shared by neighbouring tiles")
    parser.add_argument("--batch", type=int, default=8, help="tiles per model run")
    parser.add_argument("--bits", type=int, choices=(8, 16), help="PNG/TIFF bits per channel (default: the input's)")
    parser.add_argument("--device", default="cuda")
    args = parser.parse_args(argv)

    def fail(message: str, status: int) -> int:
        print(f"{parser.prog}: error: {message}", file=sys.stderr)
        return status

    def progress(done, total):
        print(f"\rtiles {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)

    try:
        check_arguments(args)
        image = read_image(args.input)
    except Refused as reason:
        return fail(str(reason), 2)
    try:
        upscaler = TorchUpscaler(model_path=args.model, device=args.device)
    except Exception as error:
        return fail(f"cannot load the model {args.model}: {describe(error)}", 1)
    if args.tile * upscaler.scale < 4:
        return fail(f"--tile {args.tile} at x{upscaler.scale} is below the 4 output pixels the blending needs", 2)

    bits = args.bits or (8 if image.dtype == cp.uint8 else 16)
    try:
        result = upscale(image, upscaler, args.tile, args.overlap, args.batch, progress)
        if bits == 8 and os.path.splitext(args.output)[1].lower() in (".png", ".tif", ".tiff"):
            result = to_uint8(result)  # store keeps 8-bit images at 8 bits and writes floats at 16
        store(args.output, result)
    except Exception as error:
        return fail(describe(error), 1)
    height, width = result.shape[:2]
    print(f"wrote {args.output} ({width}x{height}, x{upscaler.scale} by {upscaler.architecture.name})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
