"""Video frame layouts (UYVY, YUYV, v210, planar 4:4:4, 4:2:2 and 4:2:0 at 8, 10 and 12 bits, semi-planar 4:2:0 at 8 and 10 bits) to and from BGR float32 device images, with BT.601, BT.709 or BT.2020 matrices in video or full range."""

import cupy as cp
import numpy as np

packed422_decode_kernel_code: str
packed422_decode_kernel: cp.RawKernel
v210_decode_kernel_code: str
v210_decode_kernel: cp.RawKernel
planar8_decode_kernel_code: str
planar8_decode_kernel: cp.RawKernel
planar16_decode_kernel_code: str
planar16_decode_kernel: cp.RawKernel
ycbcr444_decode_kernel_code: str
ycbcr444_decode_kernel: cp.RawKernel
packed422_encode_kernel_code: str
packed422_encode_kernel: cp.RawKernel
packed422_encode_kernel_uint8_code: str
packed422_encode_kernel_uint16_code: str
packed422_encode_kernel_float16_code: str
v210_encode_kernel_code: str
v210_encode_kernel: cp.RawKernel
v210_encode_kernel_uint8_code: str
v210_encode_kernel_uint16_code: str
v210_encode_kernel_float16_code: str
planar8_encode_kernel_code: str
planar8_encode_kernel: cp.RawKernel
planar8_encode_kernel_uint8_code: str
planar8_encode_kernel_uint16_code: str
planar8_encode_kernel_float16_code: str
planar16_encode_kernel_code: str
planar16_encode_kernel: cp.RawKernel
planar16_encode_kernel_uint8_code: str
planar16_encode_kernel_uint16_code: str
planar16_encode_kernel_float16_code: str
planar444_8_encode_kernel_code: str
planar444_8_encode_kernel: cp.RawKernel
planar444_8_encode_kernel_uint8_code: str
planar444_8_encode_kernel_uint16_code: str
planar444_8_encode_kernel_float16_code: str
planar444_16_encode_kernel_code: str
planar444_16_encode_kernel: cp.RawKernel
planar444_16_encode_kernel_uint8_code: str
planar444_16_encode_kernel_uint16_code: str
planar444_16_encode_kernel_float16_code: str
def uyvy_to_bgr(frame: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of a packed 8-bit 4:2:2 UYVY frame.

    One kernel launch, no synchronisation.

    Args:
        frame: uint8 (H, 2W), bytes Cb Y0 Cr Y1 per pixel pair, W even.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuyv_to_bgr(frame: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of a packed 8-bit 4:2:2 YUYV (YUY2) frame.

    One kernel launch, no synchronisation.

    Args:
        frame: uint8 (H, 2W), bytes Y0 Cb Y1 Cr, W even.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def v210_to_bgr(frame: cp.ndarray | np.ndarray, width: int, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of a v210 frame (10-bit 4:2:2, 6 pixels in 16 bytes); any width, the last chroma sample repeated for odd widths.

    One kernel launch, no synchronisation.

    Args:
        frame: uint8 (H, row_bytes), rows of ceil(width / 48) * 128 bytes.
        width: the frame's width in pixels.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv422p10_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 10-bit 4:2:2 (yuv422p10le).

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint16 planes (H, W), (H, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv420p10_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 10-bit 4:2:0 (yuv420p10le); chroma rows sit midway between luma row pairs.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint16 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv422p_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 8-bit 4:2:2 (yuv422p).

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint8 planes (H, W), (H, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv420p_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 8-bit 4:2:0 (yuv420p, I420); chroma rows sit midway between luma row pairs.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint8 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv444p_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 8-bit 4:4:4 (yuv444p); chroma is not resampled.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: three uint8 planes (H, W).
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv444p10_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 10-bit 4:4:4 (yuv444p10le); chroma is not resampled.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: three uint16 planes (H, W) of 10-bit codes.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv444p12_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 12-bit 4:4:4 (yuv444p12le); chroma is not resampled.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: three uint16 planes (H, W) of 12-bit codes.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv422p12_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 12-bit 4:2:2 (yuv422p12le).

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint16 planes (H, W), (H, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def yuv420p12_to_bgr(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of planar 12-bit 4:2:0 (yuv420p12le); chroma rows sit midway between luma row pairs.

    One kernel launch, no synchronisation.

    Args:
        y, cb, cr: uint16 planes (H, W), ((H + 1) // 2, (W + 1) // 2) twice.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def nv12_to_bgr(y: cp.ndarray | np.ndarray, uv: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of NV12.

    One kernel launch, no synchronisation.

    Args:
        y, uv: uint8 luma (H, W) and interleaved Cb, Cr ((H + 1) // 2, 2 * ((W + 1) // 2)).
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def p010_to_bgr(y: cp.ndarray | np.ndarray, uv: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False, chroma: str = 'linear', clip: bool = True) -> cp.ndarray:
    """
    BGR image of P010.

    One kernel launch, no synchronisation.

    Args:
        y, uv: as NV12's, with uint16 samples holding 10 bits in their high bits.
        matrix: 'bt601', 'bt709' or 'bt2020' (non-constant luminance).
        full_range: codes 0..2^n-1 instead of video range (16..235, 16..240 at 8 bits).
        chroma: 'linear' interpolates between the samples co-sited with even columns, 'nearest' repeats them.
        clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1.

    Returns:
        (H, W, 3) float32 BGR, clamped to 0..1 unless clip=False.
    """
def uyvy_to_ycbcr444(frame: cp.ndarray | np.ndarray, chroma: str = 'linear') -> cp.ndarray:
    """Y'CbCr 4:4:4 of a UYVY frame (uint8 (H, 2W)). Result: (H, W, 3) float32 holding Y, Cb, Cr code values divided by 255 (8 bits) or 1023 (10 bits), chroma upsampled ('linear' or 'nearest')."""
def yuyv_to_ycbcr444(frame: cp.ndarray | np.ndarray, chroma: str = 'linear') -> cp.ndarray:
    """Y'CbCr 4:4:4 of a YUYV frame (uint8 (H, 2W)). Result: (H, W, 3) float32 holding Y, Cb, Cr code values divided by 255 (8 bits) or 1023 (10 bits), chroma upsampled ('linear' or 'nearest')."""
def v210_to_ycbcr444(frame: cp.ndarray | np.ndarray, width: int, chroma: str = 'linear') -> cp.ndarray:
    """Y'CbCr 4:4:4 of a v210 frame (uint8 (H, row_bytes)). Result: (H, W, 3) float32 holding Y, Cb, Cr code values divided by 255 (8 bits) or 1023 (10 bits), chroma upsampled ('linear' or 'nearest')."""
def yuv422p10_to_ycbcr444(y: cp.ndarray | np.ndarray, cb: cp.ndarray | np.ndarray, cr: cp.ndarray | np.ndarray, chroma: str = 'linear') -> cp.ndarray:
    """Y'CbCr 4:4:4 of planar 10-bit 4:2:2 (uint16 planes). Result: (H, W, 3) float32 holding Y, Cb, Cr code values divided by 255 (8 bits) or 1023 (10 bits), chroma upsampled ('linear' or 'nearest')."""
def bgr_to_uyvy(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """
    Packed UYVY frame, uint8 (H, 2W), of an image of even width W.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuyv(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """
    Packed YUYV frame, uint8 (H, 2W), of an image of even width W.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_v210(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """
    v210 frame, uint8 (H, ceil(W / 48) * 128); samples past the width and row padding are 0.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv422p10(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv422p10le, uint16 (H, W), (H, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv420p10(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv420p10le, uint16 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv422p(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv422p, uint8 (H, W), (H, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv420p(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv420p, uint8 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv444p(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv444p, three uint8 (H, W).

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv444p10(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv444p10le, three uint16 (H, W).

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv444p12(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv444p12le, three uint16 (H, W).

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv422p12(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv422p12le, uint16 (H, W), (H, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_yuv420p12(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray, cp.ndarray]:
    """
    Planes (y, cb, cr) of yuv420p12le, uint16 (H, W), ((H + 1) // 2, (W + 1) // 2) twice.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_nv12(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray]:
    """
    Planes (y, uv) of NV12, uint8 (H, W) and ((H + 1) // 2, 2 * ((W + 1) // 2)).

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def bgr_to_p010(image: cp.ndarray | np.ndarray, matrix: str = 'bt709', full_range: bool = False) -> tuple[cp.ndarray, cp.ndarray]:
    """
    Planes (y, uv) of P010, uint16 with the 10-bit codes in the high bits.

    Halved chroma is filtered [1, 2, 1] / 4 around each even column (4:2:0 also averages row pairs; 4:4:4 keeps each pixel's own); codes are rounded and clamped. One kernel launch, no synchronisation.

    Args:
        image: (H, W, 3) BGR, float 0..1 (integer images are scaled from their full range first).
        matrix, full_range: as the *_to_bgr functions take them.
    """
def ycbcr444_to_bgr(ycbcr: cp.ndarray | np.ndarray, bits: int, matrix: str = 'bt709', full_range: bool = False) -> cp.ndarray:
    """BGR image of Y'CbCr 4:4:4 given as float32 (H, W, 3) code values divided by 2^bits - 1 (what the *_to_ycbcr444 functions return): the matrix and range applied, clamped to 0..1."""
