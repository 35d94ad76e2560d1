"""Resizing of device images (H, W) or (H, W, C) with OpenCV's interpolations, agreeing with cv2.resize. INTER_AUTO (the default) picks INTER_AREA when no axis grows and INTER_LINEAR when one is enlarged."""

import cupy as cp

INTER_NEAREST: int
INTER_LINEAR: int
INTER_CUBIC: int
INTER_AREA: int
INTER_LANCZOS4: int
INTER_AUTO: int
resize_nearest_kernel_code: str
resize_nearest_kernel: cp.RawKernel
resize_nearest_batch_kernel_code: str
resize_nearest_batch_kernel: cp.RawKernel
resize_linear_kernel_code: str
resize_linear_kernel: cp.RawKernel
resize_linear_batch_kernel_code: str
resize_linear_batch_kernel: cp.RawKernel
resize_cubic_kernel_code: str
resize_cubic_kernel: cp.RawKernel
resize_cubic_batch_kernel_code: str
resize_cubic_batch_kernel: cp.RawKernel
resize_area_kernel_code: str
resize_area_kernel: cp.RawKernel
resize_area_batch_kernel_code: str
resize_area_batch_kernel: cp.RawKernel
resize_lanczos4_kernel_code: str
resize_lanczos4_kernel: cp.RawKernel
resize_lanczos4_batch_kernel_code: str
resize_lanczos4_batch_kernel: cp.RawKernel
resize_lanczos4_rows3_kernel_code: str
resize_lanczos4_rows3_kernel: cp.RawKernel
resize_lanczos4_rows3_batch_kernel_code: str
resize_lanczos4_rows3_batch_kernel: cp.RawKernel
resize_lanczos4_rows1_kernel_code: str
resize_lanczos4_rows1_kernel: cp.RawKernel
resize_lanczos4_rows1_batch_kernel_code: str
resize_lanczos4_rows1_batch_kernel: cp.RawKernel
resize_linear3_kernel_code: str
resize_linear3_kernel: cp.RawKernel
resize_linear3_batch_kernel_code: str
resize_linear3_batch_kernel: cp.RawKernel
resize_cubic3_kernel_code: str
resize_cubic3_kernel: cp.RawKernel
resize_cubic3_batch_kernel_code: str
resize_cubic3_batch_kernel: cp.RawKernel
def resize(image: cp.ndarray, size: tuple[int, int] | list[int], interpolation: int = -1) -> cp.ndarray:
    """
    New device image of shape (height, width[, C]) for size = (width, height), sampled as cv2.resize samples with the same interpolation.

    Any channel count; computed in float32 and written in the image's element type (integers rounded half to even and clipped to their range), in one pass for float32, float16, uint8 and uint16.

    Args:
        image: the device image, or a batch (N, H, W, C), resized in one launch.
        size: (width, height).
        interpolation: INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA, INTER_LANCZOS4 or INTER_AUTO. INTER_AUTO picks INTER_AREA when neither axis grows (shrinking or the same size) and INTER_LINEAR when an axis is enlarged. INTER_AREA averages the source pixels each output pixel covers; where one axis grows and the other shrinks OpenCV samples two pixels per axis instead, so only there the two differ.

    Returns:
        The (height, width[, C]) image, or a batch (N, height, width, C) for a batch.
    """
