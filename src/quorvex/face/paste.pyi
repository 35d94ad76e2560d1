"""Pasting face crops back into frames through a soft mask."""

from quorvex.filter.gaussian import GaussianBlur
import cupy as cp
import numpy as np

blend_kernel_code: str
blend_kernel: cp.RawKernel
paste_table_kernel_code: str
paste_table_kernel: cp.RawKernel
paste_kernel_code: str
paste_kernel: cp.RawKernel
def paste_back(target_image: cp.ndarray, paste_image: cp.ndarray, M: cp.ndarray, mask: cp.ndarray = None) -> cp.ndarray:
    """The frame with the crop warped back by the inverse of M (frame -> crop) and blended through the mask (resized to the crop; without one, a hard-edged mask of ones). Inputs are not modified. Float32 colour images are pasted in one pass without reading M back: a device M that is singular or not finite pastes nothing; a host M raises ValueError then."""

class PasteBack:
    """Pastes crops back through a soft mask, built once per crop size."""
    gaussian_blur: GaussianBlur
    mask: cp.ndarray | None
    size: tuple[int, int] | None
    mask_blur: float | None
    mask_padding: tuple[float, float, float, float]
    def __init__(self, blur: float | None = None, padding: tuple[float, float, float, float] = (0, 0, 0, 0)) -> None:
        """A paster with no mask built yet. blur: the mask's feather (its sigma) as a share of the crop's width, 0 to 1 (0: a hard edge; None: the column band's width). padding: (top, right, bottom, left) percents of the crop's height or width by which the mask's zeroed bands are widened."""
    def create_mask(self, size: tuple) -> cp.ndarray:
        """Soft mask for a (height, width) crop: ones with bands of height // 5 rows and width // 7 columns zeroed at the edges (widened by padding), blurred with a kernel and sigma of the column band width (or blur times the width, the kernel that rounded, odd)."""
    def get(self, target_image: cp.ndarray, paste_image: cp.ndarray, M: cp.ndarray) -> cp.ndarray:
        """paste_back through the soft mask of the crop's size (rebuilt when the size changes)."""
    def get_many(self, target_image: cp.ndarray, crops: cp.ndarray | list[cp.ndarray], matrices: cp.ndarray | np.ndarray | list[cp.ndarray]) -> cp.ndarray:
        """get for k crops of one size at once, pasted in order (as k calls of get would): crops (k, h, w, 3) or a list of (h, w, 3) arrays, matrices (k, 2, 3) or a list of (2, 3) arrays. The same few launches whatever k, and nothing read back."""
