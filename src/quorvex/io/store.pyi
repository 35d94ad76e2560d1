"""Writing images to files: half-float EXR through OpenEXR, other formats through OpenCV."""

import cupy as cp
import numpy as np
import torch

def store(output_path: str, image: cp.ndarray | np.ndarray | torch.Tensor, param: int = -1, is_rgb: bool = False) -> None:
    """Writes an (H, W, C) image to output_path; the extension (case-sensitive) picks the format. '.exr': R, G, B half floats, DWAA compression at level param (default 1). '.jpg'/'.jpeg': 8-bit, quality param (default 100). '.png': 8-bit images stay 8-bit, others become 16-bit, compression param (default 3). '.tif'/'.tiff': the same, compression scheme param (default 5). Any other extension: written by OpenCV as it is. is_rgb: the channels are in RGB order. Raises OSError when OpenCV reports the write as failed."""
