"""NDI frames to BGR and back, one line per FourCC and direction."""

from __future__ import annotations

import cupy as cp
import numpy as np
from timing import Report, timed


def run_ndi(width: int, height: int, repeat: int) -> list[dict]:
    """NDI frames to BGR and back, one line per FourCC and direction; bw counts the frame's bytes and the image's."""
    from quorvex.color import ndi

    image = cp.asarray(np.random.default_rng(0).random((height, width, 4), dtype=np.float32))
    copy_target = cp.empty_like(image[..., :3])
    copy = timed(lambda: cp.copyto(copy_target, image[..., :3]), repeat)
    report = Report(2 * copy_target.nbytes / copy)
    for fourcc in ndi.FOURCCS:
        frame = ndi.from_bgr(image, fourcc)
        out = ndi.to_bgr(frame, fourcc, width, height)
        moved = frame.nbytes + out.nbytes
        report.add(f"ndi.to_bgr {fourcc} {width}x{height}", timed(lambda: ndi.to_bgr(frame, fourcc, width, height), repeat),
                   moved, fn=lambda: ndi.to_bgr(frame, fourcc, width, height))
        source = image[..., : out.shape[2]].copy()
        report.add(f"ndi.from_bgr {fourcc} {width}x{height}", timed(lambda: ndi.from_bgr(source, fourcc), repeat),
                   moved, fn=lambda: ndi.from_bgr(source, fourcc))
    return report.rows
