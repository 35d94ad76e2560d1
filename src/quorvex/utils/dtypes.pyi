"""Element-type conversions between 0-to-1 float images and 8/16-bit integer images."""

import cupy as cp
import numpy as np

quantize_float32_to_uint8_code: str
quantize_float32_to_uint16_code: str
quantize_float16_to_uint8_code: str
quantize_float16_to_uint16_code: str
quantize_uint16_to_uint8_code: str
quantize_uint8_to_uint16_code: str
quantize_double_kernel_code: str
quantize_double_kernel: cp.RawKernel
def to_float32(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """float32 copy of an image (the image itself when it already is float32): uint8 and uint16 are divided by 255 and 65535, floats keep their values."""
def to_float16(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """float16 image: integers scaled to 0..1 as by to_float32, floats keep their values."""
def to_uint8(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """uint8 image: floats times 255, rounded to nearest (ties to even) and clipped to 0..255 (NaN -> 0); uint16 scaled by 255/65535 and rounded to nearest."""
def to_uint16(image: cp.ndarray | np.ndarray) -> cp.ndarray | np.ndarray:
    """uint16 image: floats times 65535, rounded to nearest (ties to even) and clipped to 0..65535 (NaN -> 0); uint8 times 257."""
