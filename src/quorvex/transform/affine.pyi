"""Affine warps of device images. A matrix M (2 x 3) maps input pixels to output pixels as cv2.warpAffine reads it, integer coordinates being pixel centres; output sizes are given height first, (H, W), like array shapes. Enlarging and size-keeping warps are bilinear; shrinking warps average each output pixel's footprint, whatever the channel count."""

import cupy as cp
import numpy as np
import os

affine_linear_kernel_code: str
affine_linear_kernel: cp.RawKernel
affine_area_kernel_code: str
affine_area_kernel: cp.RawKernel
affine_batch_kernel_code: str
affine_batch_kernel: cp.RawKernel
affine_matrix_kernel_code: str
affine_matrix_kernel: cp.RawKernel
invert_affine_kernel_code: str
invert_affine_kernel: cp.RawKernel
def affine_transform(image: cp.ndarray, M: cp.ndarray | np.ndarray, dsize: tuple[int, int]) -> cp.ndarray:
    """
    A new (H, W) or (H, W, C) device image: image warped by M, which maps input pixels to output pixels (cv2.warpAffine's convention).

    Bilinear, except that a shrinking warp (an output pixel spanning more than one input pixel along an axis) averages the input over each output pixel's footprint, pixels outside the input counting as 0; the channel count does not change the sampling. Output pixels that no input pixel reaches are 0; samples near the edge take 0 for the taps outside, as with BORDER_CONSTANT.

    Args:
        image: the device image. float16, uint8 and uint16 images are read and written in the same pass (integers as 0..1 over their range, written back rounded and saturated); other element types are warped in float32 and converted back. An (N, H, W, C) batch is warped image by image in one launch.
        M: the 2 x 3 matrix. A host M is inverted on the host; a device M on the device, without waiting for it, and a singular or non-finite device M gives zeros. A batch takes one M (2, 3) or one each (N, 2, 3), inverted on the host (a device M is read back first).
        dsize: (H, W), height first.

    Raises:
        ValueError: a host M that is not a finite, invertible 2 x 3 matrix.
    """
def affine_transform_batch(image: cp.ndarray, M: cp.ndarray | np.ndarray, dsize: tuple[int, int]) -> cp.ndarray:
    """k warps of one image in one launch: a new (k, H, W) or (k, H, W, C) device array whose entry i is affine_transform(image, M[i], dsize), M being (k, 2, 3) (read to the host; the inverses travel to the device as one table). Raises ValueError for a matrix that is not finite and invertible."""
def get_inverse_matrix(M: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """The 2 x 3 matrix of the inverse mapping, as cv2.invertAffineTransform. A device M gives a float32 device array computed on the device without synchronising; a singular device M gives zeros. A host M gives a float64 NumPy array and raises ValueError when it is singular."""
def crop_from_kps(image: cp.ndarray, kps: cp.ndarray | np.ndarray, size: int) -> tuple[cp.ndarray, cp.ndarray]:
    """
    Aligned square face crop.

    The rotation, uniform scale and translation that best fits kps (least squares) onto the standard five-point template of a 112-pixel crop, scaled to size / 112 (a template point t becomes (t + 0.5) * size / 112 - 0.5, pixel centres being integers), gives M.

    Args:
        image: the frame.
        kps: five (x, y) landmarks in frame pixels: left eye, right eye, nose tip, left and right mouth corners.
        size: the crop's side in pixels.

    Returns:
        (crop, M) with crop = affine_transform(image, M, (size, size)) and M a writable (2, 3) float32 device array mapping frame pixels into the crop.
    """
