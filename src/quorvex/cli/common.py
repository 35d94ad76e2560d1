"""What every command shares: its error type, the GPU check, progress bars and the summary."""

from __future__ import annotations

import contextlib
import sys
import time


class CliError(Exception):
    """A failure the user can act on: printed as one line, exit status `status`."""

    def __init__(self, message: str, status: int = 1):
        super().__init__(message)
        self.status = status

    def __reduce__(self):  # the status survives pickling (errors of Ray workers)
        return type(self), (str(self), self.status)


class BadInput(CliError):
    """One input file that cannot be processed (it does not decode, say): a folder run reports
    it and goes on with the others, and ends with status 1."""


USAGE = 2  # exit status for bad arguments and failed checks, as argparse uses


def parse_device(text: str) -> int:
    """The CUDA ordinal of 'cuda' or 'cuda:N'."""
    if text == "cuda":
        return 0
    head, _, ordinal = text.partition(":")
    if head != "cuda" or not ordinal.isdigit():
        raise CliError(f"--device must be cuda or cuda:N, got {text!r}", USAGE)
    return int(ordinal)


def require_gpu(device_id: int):
    """CuPy, imported once a usable CUDA device is known to be there."""
    try:
        import cupy
    except ImportError:
        raise CliError(
            "quorvex runs its image work on an NVIDIA GPU through CuPy, which is not installed: "
            "pip install 'quorvex[cuda12]' (or 'quorvex[cuda13]' for CUDA 13)", USAGE
        ) from None
    try:
        count = cupy.cuda.runtime.getDeviceCount()
    except Exception as error:  # no driver, no device: CuPy says which
        text = str(error)
        if "insufficient" in text or "no CUDA-capable device" in text:  # what CUDA says with no driver or GPU
            text = f"no NVIDIA driver or GPU answers ({text})"
        raise CliError(f"no usable NVIDIA GPU: {text}; quorvex needs a CUDA device for its image work",
                       USAGE) from None
    if count == 0:
        raise CliError("no NVIDIA GPU found; quorvex needs a CUDA device for its image work", USAGE)
    if device_id >= count:
        raise CliError(f"--device cuda:{device_id}: there {'is' if count == 1 else 'are'} only {count} CUDA device(s)", USAGE)
    cupy.cuda.Device(device_id).use()
    return cupy


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
