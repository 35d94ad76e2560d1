"""What every command shares: its error type, the GPU check, progress bars and the summary."""

from __future__ import annotations

import contextlib
import sys
import time

# The command's names for the pipeline's errors and device checks.
from quorvex.pipeline.device import parse_device, require_gpu  # noqa: F401
from quorvex.pipeline.errors import USAGE, BadInput  # noqa: F401
from quorvex.pipeline.errors import JobError as CliError  # noqa: F401


class DeviceMemory:
    """Device memory high-water mark: CuPy's pool (sampled; the pool keeps what it once held, so
    its total is a running maximum) plus what PyTorch's allocator reserved at its peak.
    ONNX Runtime's and TensorRT's own allocations are not seen."""

    def __init__(self):
        self.cupy_peak = 0

    def sample(self) -> None:
        cupy = sys.modules.get("cupy")
        if cupy is not None:
            self.cupy_peak = max(self.cupy_peak, int(cupy.get_default_memory_pool().total_bytes()))

    def peak(self) -> int:
        self.sample()
        total = self.cupy_peak
        torch = sys.modules.get("torch")
        if torch is not None and torch.cuda.is_available() and torch.cuda.is_initialized():
            total += int(torch.cuda.max_memory_reserved())
        return total


def human_bytes(n: float) -> str:
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.2f} {unit}"
        n /= 1024
    return f"{n:.2f} GiB"


class Reporter:
    """Progress bars on standard error (tqdm), a closing summary on standard output; nothing of
    either with quiet. Messages of the package's modules (model loading and the like) go to
    standard error, or nowhere with quiet, so that standard output carries the summary only."""

    def __init__(self, quiet: bool):
        self.quiet = quiet
        self.memory = DeviceMemory()
        self.started = time.perf_counter()

    def bar(self, total: int, unit: str, desc: str | None = None, leave: bool = True):
        from tqdm import tqdm

        return tqdm(total=total, unit=unit, desc=desc, disable=self.quiet, file=sys.stderr, leave=leave,
                    dynamic_ncols=True, smoothing=0.1)

    def note(self, text: str) -> None:
        if not self.quiet:
            print(text, file=sys.stderr)

    @contextlib.contextmanager
    def library_output(self):
        sink = open("/dev/null", "w") if self.quiet else sys.stderr  # noqa: SIM115
        try:
            with contextlib.redirect_stdout(sink):
                yield
        finally:
            if sink is not sys.stderr:
                sink.close()

    def summary(self, what: str, count: int, unit: str, skipped: int = 0) -> None:
        """One line: what was done, the time, the throughput in unit per second, skipped
        outputs, the device memory high-water mark."""
        if self.quiet:
            return
        seconds = time.perf_counter() - self.started
        parts = [f"{what} in {seconds:.1f} s", f"{count / seconds if seconds > 0 else 0.0:.2f} {unit}/s"]
        if skipped:
            parts.append(f"{skipped} skipped (already there; --overwrite redoes them)")
        peak = self.memory.peak()
        if peak:
            parts.append(f"peak device memory {human_bytes(peak)}")
        print(", ".join(parts))


def failed_note(failed: list) -> str:
    return f", {len(failed)} failed (see above)" if failed else ""
