"""Network input blobs from device images: (H, W, C) -> (1, C, H, W), batches (N, C, H, W)."""

import cupy as cp

blob_kernel_code: str
blob_kernel: cp.RawKernel
blob_linear_kernel_code: str
blob_linear_kernel: cp.RawKernel
blob_area_kernel_code: str
blob_area_kernel: cp.RawKernel
blob_batch_kernel_code: str
blob_batch_kernel: cp.RawKernel
blob_linear_batch_kernel_code: str
blob_linear_batch_kernel: cp.RawKernel
def to_blob(image: cp.ndarray, scalefactor: float = 1.0, size: tuple[int, int] | None = None, mean: tuple[float, ...] | list[float] = (0, 0, 0), swapRB: bool = False, fp16: bool = False) -> cp.ndarray:
    """
    (1, C, H, W) blob of an (H, W, C) device image.

    The image is resized (size) and its channels swapped (swapRB), then (image - mean) * scalefactor is taken, in the image's element type (integers rounded half to even and saturated). One pass for float32, float16, uint8 and uint16 images of 1 to 4 channels with a mean per channel.

    Args:
        image: the (H, W, C) device image.
        scalefactor: the factor (image - mean) is multiplied by.
        size: read as (height, width); the image is resized to it when given (as resize's INTER_AUTO).
        mean: subtracted from the image.
        swapRB: channels 0 and 2 are swapped when True.
        fp16: accepted and has no effect.
    """
def to_blobs(images: list[cp.ndarray] | tuple[cp.ndarray, ...], scalefactor: float = 1.0, size: tuple[int, int] | None = None, mean: tuple[float, ...] | list[float] = (0, 0, 0), swapRB: bool = False, fp16: bool = False) -> cp.ndarray:
    """(N, C, H, W) batch: to_blob of each image, concatenated along the first axis (images of one shape and element type stacked and packed in one pass)."""
