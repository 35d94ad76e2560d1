"""Seamless blending of upscaled tiles, batch by batch, into the output image on the device."""

import cupy as cp
import torch

blend_tiles_kernel_code: str
blend_tiles_kernel: cp.RawKernel
cut_tiles_kernel_code: str
cut_tiles_kernel: cp.RawKernel
store_uint8_kernel_code: str
store_uint8_kernel: cp.RawKernel
store_uint16_kernel_code: str
store_uint16_kernel: cp.RawKernel

class TileBlender:
    """Blends the output tiles of tile_image's grid into one image as batches arrive: each tile's output is dropped near the edges it shares with a neighbour and feathered with it across the middle of their overlap, with weights that add up to one, so only the output image is held."""
    def __init__(self, padded_shape: tuple[int, int, int], scale: int, tile_size: int = 128, overlap: int = 16, original_shape: tuple[int, int, int] | None = None) -> None:
        """
        An uncleared float32 canvas for the grid tile_image cuts from a padded image.

        Along each axis a tile's weight ramps from 0 to 1 (raised cosine) over the middle quarter of each overlap with a neighbour, 0 before it and 1 after; image borders get full weight.

        Args:
            padded_shape: the shape of the image, padded, that tile_image cuts the grid from.
            scale: the canvas is original_shape (else padded_shape) times scale, channels unscaled.
            tile_size, overlap: the grid's, as tile_image cuts it.
            original_shape: the image's shape before padding. The last row and column of tiles lie flush with the original image's bottom and right edges (overlapping their neighbours more), their weights where the regular grid puts them.
        """
    def cut(self, image: cp.ndarray, first: int, count: int, rgb: bool = False) -> torch.Tensor:
        """
        The (count, C, tile_size, tile_size) float32 batch of tiles first .. first + count - 1 of the grid.

        The tiles are cut in one launch from the unpadded image (original_shape), the last row and column flush with its edges; mirrored at the bottom and right as tile_image pads it only along a side shorter than a tile.

        Args:
            image: the unpadded image (original_shape).
            first, count: the tiles, in cutting order.
            rgb: the first three channels in reverse (RGB) order.
        """
    def add(self, batch: torch.Tensor | cp.ndarray, first: int, rgb: bool = False) -> None:
        """Blends output tiles first .. first + N - 1 of a (N, C, H, W) float32 (or float16) batch, one launch per grid row it reaches. Tiles come in cutting order. rgb: the batch's first three channels are in RGB order (the canvas is BGR)."""
    def result(self, original_shape: tuple[int, int, int] | None = None, dtype: object = None) -> cp.ndarray:
        """The blended image, (H * scale, W * scale, C) for the original_shape (H, W, C) of the input (by default the canvas), as float32 (a view of the canvas) or converted in the canvas's memory to dtype uint8 or uint16 (x 255 or 65535, rounded to nearest, clipped, NaN to 0). Needs every tile; ends the blend."""
