"""The whole upscale command over a folder, in images per second, with its device memory peak."""

from __future__ import annotations

import pathlib

import cupy as cp
import numpy as np
from timing import tests_on_path, wall


def run_command(width: int, height: int, images: int, *, num_feat: int = 16, num_conv: int = 4) -> list[dict]:
    """The whole command, `quorvex upscale IN_DIR OUT_DIR --model compact.pth`, over `images`
    8-bit PNGs at x4 through a small seeded Compact checkpoint: images per second of the command
    (model load, PNG read and write included) with the device memory peak its summary line
    reports (CuPy's pool high-water mark plus what PyTorch reserved at its peak), and images per
    second of its Upscaler alone on a decoded float32 device image, the model loaded once."""
    import contextlib
    import io
    import re
    import tempfile
    import time

    import cv2
    import torch

    tests_on_path()
    from support.sr_models import compact, save_checkpoint

    from quorvex.cli import main as cli_main
    from quorvex.cli.common import Reporter
    from quorvex.pipeline.models import load_backend
    from quorvex.pipeline.upscale import TiledModel

    rng = np.random.default_rng(6)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        source, target = folder / "in", folder / "out"
        source.mkdir()
        # Gradients with a little grain, as photographs compress: PNG of noise would time zlib, not the package.
        ramp = (np.linspace(0, 200, width, dtype=np.float32)[None, :, None]
                + np.linspace(0, 50, height, dtype=np.float32)[:, None, None])
        for i in range(images):
            grain = rng.normal(0, 4, (height, width, 3)).astype(np.float32)
            cv2.imwrite(str(source / f"{i}.png"), np.clip(ramp + grain + 5 * i, 0, 255).astype(np.uint8))
        model = save_checkpoint(compact(scale=4, num_feat=num_feat, num_conv=num_conv, seed=0), folder / "compact.pth")

        cp.get_default_memory_pool().free_all_blocks()  # the command starts with an empty pool, as in its own process
        if torch.cuda.is_available():
            torch.cuda.empty_cache()
            torch.cuda.reset_peak_memory_stats()
        summary = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(summary), contextlib.redirect_stderr(io.StringIO()):
            status = cli_main(["upscale", str(source), str(target), "--model", str(model)])
        seconds = time.perf_counter() - start
        assert status == 0 and len(list(target.iterdir())) == images, (status, summary.getvalue())
        line = summary.getvalue().strip().splitlines()[-1]
        peak = re.search(r"peak device memory (.*)$", line)
        peak = peak.group(1) if peak else "not reported"

        # The Upscaler alone, the model loaded once: decoded image in, 8-bit result out.
        reporter = Reporter(quiet=True)
        work = TiledModel(load_backend(str(model), 0, None, reporter), 128, 16, 8, reporter)
        image = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
        upscaler = wall(lambda: work([image], None, np.uint8), images)
    print(f"{f'command: upscale {images} x {width}x{height} x4':48s} {images / seconds:7.2f} images/s "
          f"({seconds:.2f} s, model load and PNGs included; Compact {num_feat}nf {num_conv}nc); "
          f"peak device memory {peak}")
    print(f"{'  its summary line':48s} {line}")
    print(f"{f'Upscaler alone, {width}x{height} x4 to 8 bits':48s} {1 / upscaler:7.2f} images/s "
          f"({upscaler * 1e3:.1f} ms per image)")
    return [{"name": "command upscale", "images_per_second": images / seconds, "seconds": seconds, "peak": peak,
             "summary": line}, {"name": "Upscaler alone", "images_per_second": 1 / upscaler, "seconds": upscaler}]
