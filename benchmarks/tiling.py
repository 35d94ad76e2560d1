"""Speed of the tiling round trip for super-resolution, without the model, on the GPU.

    python benchmarks/tiling.py            # 1920x1080, tile 128, overlap 16, scale 4; memory at 4K
    python benchmarks/tiling.py --small    # small images: checks the script; memory at a tenth of 4K
    python benchmarks/tiling.py --seams    # tiled against whole-image output of seeded spandrel models

tile_image, to_batch, batch_to_tile and merge_tiles are timed one by one and as a round trip
(CUDA-event means after warm-up), against the time a Real-ESRGAN compact x4 network
(64 features, 32 convolutions, as realesr-general-x4v3) needs for the same tiles: the "share"
is how much the tiling adds to the model's own time. merge_tiles is also compared with the
plain CuPy loop over the tiles (weighted slices added into a canvas), the code one would write
without a kernel.

The command's own path, TileBlender (cut a batch in RGB, blend the model's batch back, the
result to 8 bits), is timed in tiles per second against a target of 20,000; on the CPU
stand-ins it shows what it issues instead (launches, syncs, transfers). The device memory
of a whole upscale through the package's TiledModel (a nearest-neighbour x4 network, whose own
memory is negligible) is compared with the image, the float32 result and one batch.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

import cupy as cp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import counts, timed  # noqa: E402

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


BLEND_TARGET = 20_000  # tiles per second, tile 128 at x4, for the blending to stay far below the model


def run_blender(width: int, height: int, repeat: int, batch: int = 8) -> list[dict]:
    """TileBlender as the command drives it over one image: per batch, cut (RGB) and add (RGB);
    at the end, the result converted to 8 bits in place."""
    import torch

    from quorvex.pipeline.upscale import TiledModel
    from quorvex.upscale.blend import TileBlender

    rng = np.random.default_rng(0)
    image = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    padded_height, padded_width, rows, columns = TiledModel(None, TILE, OVERLAP, batch, None).grid(height, width)
    count, side = rows * columns, TILE * SCALE
    outputs = torch.rand(batch, 3, side, side, device="cuda")  # what the model returns (the stand-in's "cuda")

    def blend(cut=True, add=True):
        blender = TileBlender((padded_height, padded_width, 3), SCALE, TILE, OVERLAP, original_shape=image.shape)
        for first in range(0, count, batch):
            n = min(batch, count - first)
            if cut:
                blender.cut(image, first, n, rgb=True)
            blender.add(outputs[:n], first, rgb=True)
        return blender.result(dtype=cp.uint8)

    rows_out = []
    print(f"TileBlender, {width}x{height} x{SCALE}, tile {TILE}, overlap {OVERLAP}, batch {batch}: {count} tiles, "
          f"target {BLEND_TARGET} tiles/s")
    for name, fn in (("blend (add, result)", lambda: blend(cut=False)), ("cut + blend", blend)):
        seconds = timed(fn, repeat)
        rate = count / seconds
        print(f"{name:24s} {seconds * 1e3:9.2f} ms {rate:12.0f} tiles/s {rate / BLEND_TARGET:6.2f} x target "
              f"{counts(fn)}")
        rows_out.append({"name": f"TileBlender {name}", "seconds": seconds, "tiles_per_second": rate,
                         "target": BLEND_TARGET, "tiles": count})
    return rows_out


def run_memory(width: int, height: int, batch: int = 8) -> dict:
    """Peak device memory of one upscale through the package's TiledModel (read, tiles, blend,
    8-bit PNG written), against the image, the float32 result and one batch. On the stand-in
    the pool's ledger gives the true peak, which the command's summary must report."""
    import tempfile

    import cv2
    import torch

    from quorvex.cli.common import Reporter, human_bytes
    from quorvex.cli.jobs.upscale import upscale_file
    from quorvex.pipeline.upscale import TiledModel

    class Nearest:
        fixed_batch, scale = None, SCALE

        def run(self, x):
            return torch.nn.functional.interpolate(x, scale_factor=SCALE, mode="nearest")

    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as folder:
        source, target = pathlib.Path(folder) / "in.png", pathlib.Path(folder) / "out.png"
        cv2.imwrite(str(source), rng.integers(0, 256, (height, width, 3), dtype=np.uint8))
        pool = cp.get_default_memory_pool()
        pool.free_all_blocks()
        if torch.cuda.is_available():
            torch.cuda.reset_peak_memory_stats()
        ledger = hasattr(pool, "standin_peak_bytes")
        if ledger:
            pool.standin_reset_peak()
        before = pool.used_bytes()
        reporter = Reporter(quiet=True)
        upscale_file(TiledModel(Nearest(), TILE, OVERLAP, batch, reporter), reporter, source, target)
        reported = reporter.memory.peak() - before
        peak = pool.standin_peak_bytes() - before if ledger else reported
    image, result = height * width * 3 * 4, height * width * SCALE * SCALE * 3 * 4
    one_batch = batch * 3 * TILE * TILE * 4 * (1 + SCALE * SCALE)
    bound = image + result + one_batch
    print(f"upscale {width}x{height} x{SCALE} to 8 bits: peak device memory {human_bytes(peak)} "
          f"({'pool ledger' if ledger else 'pool and torch'}), {peak / bound:.3f} x (image {human_bytes(image)} "
          f"+ float32 result {human_bytes(result)} + one batch {human_bytes(one_batch)}); "
          f"the summary line reports {human_bytes(reported)}")
    return {"name": "upscale memory", "peak": peak, "reported": reported, "bound": bound}


def run_seams() -> list[dict]:
    """PSNR of the command's tiled output against the same model run on the whole image, and the
    seam ratio (mean error within 4 output pixels of a tile's edge over the mean elsewhere), for
    seeded spandrel networks at x2 on a 320x256 image of gradients with grain."""
    import torch

    tests = pathlib.Path(__file__).resolve().parent.parent / "tests"
    sys.path.insert(0, str(tests))  # the test's models and measures
    from support.sr_models import compact, photo_like, rrdb, seam_ratio, tiled_and_whole

    image = photo_like(256, 320)
    cases = (("Compact, 32 features, 8 convs", compact(scale=2, num_feat=32, num_conv=8),
              ((64, 8), (64, 16), (64, 32), (128, 16))),
             ("RRDBNet, 16 filters, 2 blocks", rrdb(), ((64, 32), (128, 16))))
    rows = []
    with torch.no_grad():
        for name, model, grids in cases:
            for tile, overlap in grids:
                tiled, whole = tiled_and_whole(model, image, tile, overlap)
                psnr = 10 * np.log10(1 / np.mean((tiled - whole) ** 2))
                ratio = seam_ratio(np.abs(tiled - whole).mean(2), tile, overlap)
                print(f"{name:32s} {tile:4d} / {overlap:<3d} PSNR {psnr:6.1f} dB  seam ratio {ratio:6.2f}  "
                      f"max error {np.abs(tiled - whole).max():.1e}")
                rows.append({"name": name, "tile": tile, "overlap": overlap, "psnr": psnr, "seam_ratio": ratio})
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a tiny image and model, to check the script")
    parser.add_argument("--seams", action="store_true", help="only the seam table (seeded spandrel models)")
    args = parser.parse_args()
    if args.seams:
        run_seams()
    elif args.small:
        run_tiling(200, 120, repeat=2, num_feat=4, num_conv=1)
        run_blender(200, 120, repeat=1)
        run_memory(384, 216)
    else:
        run_tiling(1920, 1080, repeat=20)
        run_blender(3840, 2160, repeat=5)
        run_memory(3840, 2160)
    return 0


if __name__ == "__main__":
    sys.exit(main())
