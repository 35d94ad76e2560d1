"""Overlapping square tiles for super-resolution models that take small inputs: padding, cutting, batching and Gaussian-weighted merging at the model's scale."""

import cupy as cp
import torch

pad_reflect_kernel_code: str
pad_reflect_kernel: cp.RawKernel
tiles_to_batch_kernel_code: str
tiles_to_batch_kernel: cp.RawKernel
merge_tiles_kernel_code: str
merge_tiles_kernel: cp.RawKernel
def tile_image(input_image: cp.ndarray, tile_size: int = 128, overlap: int = 16) -> tuple[list[cp.ndarray], tuple]:
    """Pads an (H, W, C) device image with add_padding and cuts it into tile_size x tile_size tiles that overlap by overlap pixels, row by row from the top left. Returns the tiles (views of the padded image) and the padded image's shape."""
def add_padding(input_image: cp.ndarray, patch_size: int = 128, overlap: int = 16) -> cp.ndarray:
    """Copy of an (H, W, C) image extended at the bottom and the right by mirror reflection (edge pixel not repeated) until height - overlap and width - overlap are multiples of patch_size - overlap and both sides at least patch_size."""
def merge_tiles(tiles: list[cp.ndarray], original_shape: tuple[int, int, int], padded_shape: tuple[int, int, int], scale: int, tile_size: int = 128, overlap: int = 16) -> cp.ndarray:
    """
    Blends upscaled tiles, in the order tile_image cut them, into one float32 image.

    Each tile is weighted by create_gaussian_weights(tile_size * scale, tile_size * scale // 4) in float32 and the sum divided by the summed weights (0 where no tile covers).

    Args:
        tiles: the upscaled tiles, in the order tile_image cut them; extra tiles are ignored.
        original_shape: the image's shape before padding; the result is cut to it, scaled.
        padded_shape: the padded image's shape, as tile_image returned it.
        scale: the tiles' upscaling factor.
        tile_size, overlap: the grid's, as tile_image cut it.

    Returns:
        The float32 image, cut to the scaled original_shape.

    Raises:
        ValueError: padded_shape holds no tile or tile_size * scale < 4.
    """
def create_gaussian_weights(size: int, sigma: int) -> cp.ndarray:
    """(size, size, 1) float64 weights exp(-d^2 / (2 sigma^2)) over coordinates -1..1 on both axes (d the distance from the centre), normalised to sum to 1. sigma must be at least 1."""
def to_batch(tiles: list[cp.ndarray]) -> torch.Tensor:
    """(N, C, H, W) float32 tensor of N (H, W, C) tiles, converted as to_float32 converts, on the tiles' CUDA device."""
def batch_to_tile(batch: torch.Tensor) -> list[cp.ndarray]:
    """The entries of an (N, C, H, W) tensor as N (H, W, C) device arrays sharing its memory."""
