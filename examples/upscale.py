"""Upscale an image file with a super-resolution checkpoint (any architecture spandrel knows).

    python examples/upscale.py --model 4x_model.pth --input photo.png --output photo_x4.png \
        [--tile 128] [--overlap 16] [--batch 8] [--device cuda]

Images larger than one tile are cut into overlapping tiles, run through the model in batches and
blended back with Gaussian weights, so any image size fits in device memory. The output format
follows the output's extension (8/16-bit PNG, JPEG, TIFF, or half-float EXR).
"""

from __future__ import annotations

import argparse
import sys

import cupy as cp
import cv2
import torch

from quorvex.io.store import store
from quorvex.upscale.core.torch import TorchUpscaler
from quorvex.upscale.tile import batch_to_tile, merge_tiles, tile_image, to_batch
from quorvex.utils.dtypes import to_float32


def upscale(image, upscaler, tile=128, overlap=16, batch=8, progress=None):
    """The upscaled BGR float32 device image; tiled when the image is larger than one tile."""
    height, width = image.shape[:2]
    if max(height, width) <= tile or upscaler.purpose == "FaceSR":
        return upscaler.get(image)
    tiles, padded_shape = tile_image(image, tile, overlap)
    outputs = []
    rgb = [2, 1, 0]  # tiles are BGR; the networks take RGB
    for start in range(0, len(tiles), batch):
        inputs = to_batch(tiles[start : start + batch])[:, rgb]
        with torch.no_grad():
            result = upscaler.model(inputs.to(upscaler.device))
        outputs += batch_to_tile(result[:, rgb].contiguous())
        if progress:
            progress(len(outputs), len(tiles))
    return merge_tiles(outputs, tuple(image.shape), padded_shape, upscaler.scale, tile, overlap)


def read_image(path: str):
    image = cv2.imread(path, cv2.IMREAD_COLOR | cv2.IMREAD_ANYDEPTH)
    if image is None:
        raise FileNotFoundError(f"cannot read an image from {path}")
    return to_float32(cp.asarray(image))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, help="checkpoint (.pth, .ckpt, .safetensors via torch.load)")
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--tile", type=int, default=128, help="tile side in input pixels")
    parser.add_argument("--overlap", type=int, default=16, help="pixels shared by neighbouring tiles")
    parser.add_argument("--batch", type=int, default=8, help="tiles per model run")
    parser.add_argument("--device", default="cuda")
    args = parser.parse_args(argv)

    upscaler = TorchUpscaler(model_path=args.model, device=args.device)
    image = read_image(args.input)

    def progress(done, total):
        print(f"\rtiles {done}/{total}", end="\n" if done == total else "", file=sys.stderr, flush=True)

    result = upscale(image, upscaler, args.tile, args.overlap, args.batch, progress)
    store(args.output, result)
    print(f"wrote {args.output} ({result.shape[1]}x{result.shape[0]}, x{upscaler.scale} by {upscaler.architecture.name})")
    return 0


if __name__ == "__main__":
    sys.exit(main())
