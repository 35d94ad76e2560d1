"""Timing shared by the benchmark scripts: CUDA-event means, what a call issues on the CPU
stand-ins, and the report lines with their share of copy bandwidth."""

from __future__ import annotations

import pathlib
import sys
import time

import cupy as cp

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"


def synchronize():
    """Waits for the device, CuPy's and PyTorch's work alike."""
    cp.cuda.Device().synchronize()
    try:
        import torch

        if torch.cuda.is_available():
            torch.cuda.synchronize()
    except ImportError:
        pass


def counts(fn) -> str:
    """What one call of fn issues, where the CPU stand-in counts it; empty on a GPU."""
    try:
        import standin
    except ImportError:
        return ""
    if not standin.installed():
        return ""
    fn()
    synchronize()
    with standin.counting() as c:
        fn()
    synchronize()
    return f"[L {c.launches}, S {c.syncs}, up {c.uploads}/{c.upload_bytes} B, down {c.downloads}/{c.download_bytes} B]"


def timed(fn, repeat: int) -> float:
    """Mean seconds per call, measured with CUDA events after two warm-up calls."""
    fn()
    fn()
    synchronize()
    start, end = cp.cuda.Event(), cp.cuda.Event()
    start.record()
    for _ in range(repeat):
        fn()
    end.record()
    end.synchronize()
    synchronize()
    return cp.cuda.get_elapsed_time(start, end) / 1e3 / repeat


class Report:
    def __init__(self, copy_bandwidth: float):
        self.copy_bandwidth = copy_bandwidth
        self.rows: list[dict] = []
        print(f"{'operation':48s} {'time':>10s} {'bw':>6s} {'alternative':>12s} {'vs':>7s}")

    def add(self, name: str, ours: float, moved_bytes: int, theirs: float | None = None, label: str = "",
            fn=None):
        if fn is not None:
            label = f"{label} {counts(fn)}".strip()
        fraction = moved_bytes / ours / self.copy_bandwidth
        row = {"name": name, "seconds": ours, "bandwidth_fraction": fraction, "alternative": theirs}
        self.rows.append(row)
        alt = f"{theirs * 1e6:9.1f} us" if theirs else ""
        ratio = f"{theirs / ours:6.2f}x" if theirs else ""
        print(f"{name:48s} {ours * 1e6:7.1f} us {fraction:6.1%} {alt:>12s} {ratio:>7s}  {label}")
        return row


def tests_on_path():
    """The tests' support package (test networks) and, without TensorRT, its stand-in."""
    for path in (TESTS, TESTS.parent):  # tests/support, and the stand-ins at the repository's root
        if str(path) not in sys.path:
            sys.path.insert(0, str(path))


def wall(fn, repeat: int) -> float:
    """Mean wall-clock seconds per call after warm-up, for work that waits on the host."""

    fn()
    synchronize()
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    synchronize()
    return (time.perf_counter() - start) / repeat
