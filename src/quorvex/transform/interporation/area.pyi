"""Area-average resampling kernels (float32, interleaved rows) for callers to launch: area_kernel is resize's INTER_AREA sampler, area_affine_kernel a warp with a footprint sized by the matrix's scale."""

import cupy as cp

area_kernel_code: str
area_kernel: cp.RawKernel
area_affine_kernel_code: str
area_affine_kernel: cp.RawKernel
