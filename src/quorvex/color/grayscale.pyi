"""Grayscale conversion of three-channel device images (ITU-R BT.709 luma)."""

import cupy as cp

rgb_to_grayscale_typed_kernel_code: str
rgb_to_grayscale_kernel_code: str
rgb_to_grayscale_kernel: cp.RawKernel
bgr_to_grayscale_typed_kernel_code: str
bgr_to_grayscale_kernel_code: str
bgr_to_grayscale_kernel: cp.RawKernel
def rgb_to_grayscale(image: cp.ndarray) -> cp.ndarray:
    """Gray version of an RGB (H, W, 3) device image: float32, the luma 0.2126 R + 0.7152 G + 0.0722 B in all three channels."""
def bgr_to_grayscale(image: cp.ndarray) -> cp.ndarray:
    """Gray version of a BGR (H, W, 3) device image, same weights on the reordered channels, read in place by one kernel."""
