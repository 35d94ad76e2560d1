"""Image conversions between NumPy, CuPy, PyTorch and nvImageCodec, without changing the element type. Arrays are (height, width, channels); tensors (1, channels, height, width)."""

from nvidia import nvimgcodec
import cupy as cp
import numpy as np
import torch

def to_cupy(image: np.ndarray | torch.Tensor | nvimgcodec.Image) -> cp.ndarray:
    """Device array of an image: a device array is returned as is, a host array is copied to the current device, a tensor's length-1 axes are dropped and its axes moved to (H, W, C)."""
def to_numpy(image: cp.ndarray | torch.Tensor | nvimgcodec.Image) -> np.ndarray:
    """Host copy of a device array, tensor or nvImageCodec image, (H, W, C). Host arrays are refused."""
def to_tensor(image: np.ndarray | cp.ndarray | nvimgcodec.Image, device: str | torch.device | None = None) -> torch.Tensor:
    """(1, C, H, W) tensor of an (H, W, C) image. Without a device it goes to the image's CUDA device, or CuPy's current device for host arrays."""
