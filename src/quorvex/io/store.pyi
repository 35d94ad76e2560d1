"""Writing images to files: half-float EXR through OpenEXR, other formats through OpenCV."""

import cupy as cp
import numpy as np
import torch

def store(output_path: str, image: cp.ndarray | np.ndarray | torch.Tensor, param: int = -1, is_rgb: bool = False) -> None:
    """
    Writes an (H, W, C) image to output_path; the extension (in any case) picks the format.

    The file is written under a temporary name in the same folder and renamed over output_path when complete.

    Args:
        output_path: the file; by its extension:
            '.exr': R, G, B half floats, DWAA compression at level param (default 1, else 1 to 100).
            '.jpg'/'.jpeg'/'.jpe': 8-bit, quality param (default 100).
            '.png': 8-bit images stay 8-bit, others become 16-bit, compression param (default 3).
            '.tif'/'.tiff': the same, compression scheme param (default 5).
            '.jp2', '.ppm', '.pgm', '.pnm': 8-bit stays, others become 16-bit.
            '.pfm', '.hdr', '.pic': float32 (integers scaled to 0..1).
            Any other extension OpenCV writes: 8-bit (param unused).
        image: the (H, W, C) image; floats are converted by to_uint8/to_uint16.
        param: the format's level, quality or compression scheme above; -1 takes its default.
        is_rgb: the channels are in RGB order.

    Raises:
        ValueError: an extension without a writer or an EXR level out of range, before anything is written.
        OSError: OpenCV reports the write as failed.
    """
