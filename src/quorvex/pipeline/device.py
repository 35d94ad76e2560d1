"""The CUDA device a job runs on."""

from __future__ import annotations

from quorvex.extras import install_hint

from .errors import USAGE
from .errors import JobError as CliError


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
            f"quorvex runs its image work on an NVIDIA GPU through CuPy, which is not installed: "
            f"{install_hint('cupy')}", USAGE
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
