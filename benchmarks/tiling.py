"""Speed of the tiling round trip for super-resolution, without the model, on the GPU.

    python benchmarks/tiling.py            # 1920x1080, tile 128, overlap 16, scale 4
    python benchmarks/tiling.py --small    # a tiny image: checks that the script itself works

tile_image, to_batch, batch_to_tile and merge_tiles are timed one by one and as a round trip
(CUDA-event means after warm-up), against the time a Real-ESRGAN compact x4 network
(64 features, 32 convolutions, as realesr-general-x4v3) needs for the same tiles: the "share"
is how much the tiling adds to the model's own time. merge_tiles is also compared with the
plain CuPy loop over the tiles (weighted slices added into a canvas), the code one would write
without a kernel.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import cupy as cp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run import timed  # noqa: E402

TILE, OVERLAP, SCALE = 128, 16, 4


def _loop_merge(tiles, original_shape, padded_shape, weights):
    """merge_tiles written as CuPy array expressions, several launches per tile."""
    size, step = TILE * SCALE, (TILE - OVERLAP) * SCALE
    height, width, channels = padded_shape[0] * SCALE, padded_shape[1] * SCALE, padded_shape[2]
    merged = cp.zeros((height, width, channels), cp.float32)
    total = cp.zeros((height, width, channels), cp.float32)
    index = 0
    for y in range(0, height - size + 1, step):
        for x in range(0, width - size + 1, step):
            merged[y:y + size, x:x + size] += tiles[index] * weights
            total[y:y + size, x:x + size] += weights
            index += 1
    merged /= total  # the grid covers the whole canvas
    return merged[:original_shape[0] * SCALE, :original_shape[1] * SCALE]


def compact_network(num_feat: int, num_conv: int):
    """Real-ESRGAN's compact x4 layout: 3x3 convolutions with PReLU at input resolution, a pixel
    shuffle, plus the nearest-upsampled input. Built here so the GPU machine needs no spandrel."""
    import torch
    from torch import nn

    class Compact(nn.Module):
        def __init__(self):
            super().__init__()
            layers = [nn.Conv2d(3, num_feat, 3, padding=1), nn.PReLU(num_feat)]
            for _ in range(num_conv):
                layers += [nn.Conv2d(num_feat, num_feat, 3, padding=1), nn.PReLU(num_feat)]
            layers += [nn.Conv2d(num_feat, 3 * SCALE * SCALE, 3, padding=1), nn.PixelShuffle(SCALE)]
            self.body = nn.Sequential(*layers)

        def forward(self, x):
            return self.body(x) + torch.nn.functional.interpolate(x, scale_factor=SCALE, mode="nearest")

    return Compact().eval()


def run_tiling(width: int, height: int, repeat: int, *, num_feat: int = 64, num_conv: int = 32) -> list[dict]:
    import torch

    from quorvex.upscale.tile import batch_to_tile, create_gaussian_weights, merge_tiles, tile_image, to_batch

    device = "cuda" if torch.cuda.is_available() else "cpu"
    rng = np.random.default_rng(0)
    image = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    tiles, padded_shape = tile_image(image, TILE, OVERLAP)
    batch = to_batch(tiles)
    count = len(tiles)

    torch.manual_seed(0)
    model = compact_network(num_feat, num_conv).to(device)
    with torch.no_grad():
        output = model(batch)
    out_tiles = batch_to_tile(output)

    def model_run():
        with torch.no_grad():
            model(batch)

    # The model's output on the same tiles stands in for what it would return on to_batch(cut).
    def round_trip():
        cut, shape = tile_image(image, TILE, OVERLAP)
        to_batch(cut)
        merge_tiles(batch_to_tile(output), image.shape, shape, SCALE, TILE, OVERLAP)

    weights = create_gaussian_weights(TILE * SCALE, TILE * SCALE // 4)
    steps = {
        "tile_image": lambda: tile_image(image, TILE, OVERLAP),
        "to_batch": lambda: to_batch(tiles),
        "batch_to_tile": lambda: batch_to_tile(output),
        "merge_tiles": lambda: merge_tiles(out_tiles, image.shape, padded_shape, SCALE, TILE, OVERLAP),
    }
    check = merge_tiles(out_tiles, image.shape, padded_shape, SCALE, TILE, OVERLAP)
    expected = _loop_merge(out_tiles, image.shape, padded_shape, weights)
    assert float(cp.abs(check - expected).max()) < 1e-4, "merge_tiles disagrees with the CuPy loop"

    model_seconds = timed(model_run, repeat)
    total = timed(round_trip, repeat)
    print(f"{width}x{height}x3 float32, tile {TILE}, overlap {OVERLAP}, scale {SCALE}: {count} tiles, "
          f"model (compact {num_feat}nf {num_conv}nc, {device}) {model_seconds * 1e3:.2f} ms")
    rows = []
    for name, fn in steps.items():
        seconds = timed(fn, repeat)
        row = {"name": name, "seconds": seconds, "tiles_per_second": count / seconds,
               "model_share": seconds / model_seconds}
        if name == "merge_tiles":
            loop = timed(lambda: _loop_merge(out_tiles, image.shape, padded_shape, weights), repeat)
            row["alternative"] = loop
            print(f"{name:16s} {seconds * 1e6:9.1f} us {count / seconds:12.0f} tiles/s {row['model_share']:7.2%} "
                  f"of the model   CuPy loop {loop * 1e6:9.1f} us ({loop / seconds:.1f}x)")
        else:
            print(f"{name:16s} {seconds * 1e6:9.1f} us {count / seconds:12.0f} tiles/s {row['model_share']:7.2%} of the model")
        rows.append(row)
    rows.append({"name": "round trip", "seconds": total, "tiles_per_second": count / total,
                 "model_share": total / model_seconds, "model_seconds": model_seconds, "tiles": count})
    print(f"{'round trip':16s} {total * 1e6:9.1f} us {count / total:12.0f} tiles/s {total / model_seconds:7.2%} of the model")
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a tiny image and model, to check the script")
    args = parser.parse_args()
    if args.small:
        run_tiling(200, 120, repeat=2, num_feat=4, num_conv=1)
    else:
        run_tiling(1920, 1080, repeat=20)
    return 0


if __name__ == "__main__":
    sys.exit(main())
