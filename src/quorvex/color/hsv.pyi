"""BGR <-> HSV conversion of device images as OpenCV's float conversions: H in degrees 0..360, S and V 0..1."""

import cupy as cp
import numpy as np

bgr_to_hsv_kernel_code: str
bgr_to_hsv_kernel: cp.RawKernel
hsv_to_bgr_kernel_code: str
hsv_to_bgr_kernel: cp.RawKernel
def bgr_to_hsv(image: cp.ndarray | np.ndarray) -> cp.ndarray:
    """HSV of a BGR (H, W, 3) image, or of each of an (N, H, W, 3) batch (integer images scaled to 0..1 first): float32 H in degrees 0..360, S and V 0..1; grey pixels have H = 0 and S = 0. One kernel launch."""
def hsv_to_bgr(image: cp.ndarray | np.ndarray) -> cp.ndarray:
    """BGR float32 of an HSV (H, W, 3) float image or (N, H, W, 3) batch (H in degrees, any value wraps around the circle; S, V 0..1). One kernel launch."""
