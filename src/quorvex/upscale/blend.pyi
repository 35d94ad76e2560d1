"""Gaussian blending of upscaled tiles batch by batch into a running weighted sum on the device."""

import cupy as cp
import torch

blend_tiles_kernel_code: str
blend_tiles_kernel: cp.RawKernel
normalise_blend_kernel_code: str
normalise_blend_kernel: cp.RawKernel

class TileBlender:
    """Blends the output tiles of tile_image's grid into one image as batches arrive, holding only the weighted sum and the weight sum of the output canvas."""
    def __init__(self, padded_shape: tuple[int, int, int], scale: int, tile_size: int = 128, overlap: int = 16) -> None:
        """A zeroed float32 canvas of padded_shape times scale (channels unscaled) and its weight sum, for the grid tile_image cut with tile_size and overlap. Each tile is weighted by create_gaussian_weights(tile_size * scale, tile_size * scale // 4)."""
    def add(self, batch: torch.Tensor | cp.ndarray, first: int, rgb: bool = False) -> None:
        """Adds output tiles first .. first + N - 1 (cutting order) of a (N, C, H, W) float32 or float16 batch in one launch. rgb: the batch's first three channels are in RGB order (the canvas is BGR)."""
    def result(self, original_shape: tuple[int, int, int]) -> cp.ndarray:
        """Divides the weighted sum by the weight sum in place (0 where no tile reached) and returns its top-left (H * scale, W * scale, C) view for the original_shape (H, W, C) of the input. Ends the blend."""
