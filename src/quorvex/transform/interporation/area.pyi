"""Area-average resampling kernels (float32, interleaved rows), launched by the resize and affine modules."""

import cupy as cp

area_kernel_code: str
area_kernel: cp.RawKernel
area_affine_kernel_code: str
area_affine_kernel: cp.RawKernel
