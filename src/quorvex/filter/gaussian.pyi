"""Separable Gaussian blur of device images with OpenCV's kernel weights and default border (BORDER_REFLECT_101)."""

import cupy as cp

gaussian_kernel_code: str
gaussian_kernel: cp.RawKernel
gaussian_rows_kernel_code: str
gaussian_rows_kernel: cp.RawKernel
gaussian_cols_kernel_code: str
gaussian_cols_kernel: cp.RawKernel

class GaussianBlur:
    """Gaussian blur as cv2.GaussianBlur(image, (ksize, ksize), sigma) on float32 images. An instance keeps the device weights of every (device, ksize, sigma) it has used in its `weights` dict; copies and pickles start with an empty one."""
    weights: dict[tuple[int, int, float], cp.ndarray]
    def __init__(self) -> None:
        """A blur with an empty weight cache."""
    def get(self, image: cp.ndarray, ksize: int, sigma: float) -> cp.ndarray:
        """
        Blurred copy of an (H, W) or (H, W, C) device image, or of each image of an (N, H, W, C) batch in the same launches.

        Borders reflect about the edge pixel (gfedcb|abcdefgh|gfedcba).

        Args:
            image: the image or batch. float16, uint8 and uint16 are read and written by the blur itself, integers as 0..1 over their range and written back rounded and saturated; other types are blurred in float32 and converted back.
            ksize: odd and positive, at most 1048577, or 0 to take round(8 sigma + 1) | 1.
            sigma: <= 0 means 0.3 ((ksize - 1) / 2 - 1) + 0.8, with OpenCV's fixed weights for ksize 1 to 9.

        Returns:
            The blurred copy, of the image's shape and element type.
        """
