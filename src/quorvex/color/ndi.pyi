"""NDI video frames (UYVY, UYVA, P216, PA16, NV12, I420, YV12, BGRA, BGRX, RGBA, RGBX) to and from BGR float32 device images, with the codes of quorvex.color.yuv."""

import cupy as cp
import numpy as np

yuv_decode_kernel_code: str
yuv_decode_kernel: cp.RawKernel
yuv_encode_kernel_code: str
yuv_encode_kernel: cp.RawKernel
rgb_decode_kernel_code: str
rgb_decode_kernel: cp.RawKernel
rgb_encode_kernel_code: str
rgb_encode_kernel: cp.RawKernel
FOURCCS: tuple[str, ...]
def to_bgr(buffer: cp.ndarray | np.ndarray, fourcc: str, width: int, height: int, stride: int = 0, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """
    BGR image of an NDI video frame.

    Chroma is interpolated linearly between its samples. One kernel launch, no synchronisation.

    Args:
        buffer: the frame's uint8 bytes as NDI delivers them (device or host, any shape, at least the frame's size).
        fourcc: the frame's layout, one of FOURCCS.
        width, height: the frame's size in pixels.
        stride: the first plane's line stride in bytes (0: the default, 2W for UYVY/UYVA/P216/PA16, W for NV12/I420/YV12, 4W for RGB layouts).
        matrix: 'bt601', 'bt709' or 'bt2020'.
        full_range: codes 0..2^n-1 instead of video range (16..235 luma at 8 bits, 4096..60160 at 16).

    Returns:
        (H, W, 3) float32 BGR clamped to 0..1, or (H, W, 4) BGRA for UYVA, PA16, BGRA and RGBA.
    """
def from_bgr(image: cp.ndarray | np.ndarray, fourcc: str, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """
    NDI video frame of an image.

    Chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs); codes are rounded and clamped, in video range to 1..254 (256..65279 at 16 bits) as SDI reserves the extremes. Alpha is 255 (65535) where the image has none; RGB layouts' X byte is 255. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR or (H, W, 4) BGRA, float 0..1 (integer images are scaled from their full range first); W even for the Y'CbCr layouts, H even for NV12/I420/YV12.
        fourcc: the frame's layout, one of FOURCCS.
        matrix, full_range: as to_bgr takes them.

    Returns:
        The uint8 bytes of the frame with the default strides, one dimension.
    """
