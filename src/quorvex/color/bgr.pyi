"""BGR <-> RGB channel swaps for device (CuPy) and host (NumPy) images."""

import cupy as cp
import numpy as np

def bgr_to_rgb(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """Copy of an (H, W, C) image or (N, H, W, C) batch with channels 0 and 2 exchanged; same kind and element type."""
def rgb_to_bgr(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """Copy of an (H, W, C) image or (N, H, W, C) batch with channels 0 and 2 exchanged; same kind and element type."""
