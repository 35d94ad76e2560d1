"""The kernels under test are the modules' own source text: change the text and the tests see it."""

import cupy as cp
import cv2
import numpy as np

import quorvex.filter.gaussian as gaussian
import quorvex.transform.interporation.area as area


def shrink(code, image, new_w, new_h):
    kernel = cp.RawKernel(code, "area_kernel")
    h, w, c = image.shape
    out = cp.empty((new_h, new_w, c), cp.float32)
    kernel(((new_w + 15) // 16, (new_h + 15) // 16), (16, 16), (cp.asarray(image), out, *map(np.int32, (w, h, new_w, new_h, c))))
    return out.get()


def test_a_fault_planted_in_kernel_source_is_caught():
    image = np.random.default_rng(0).random((30, 45, 3)).astype(np.float32)
    expected = cv2.resize(image, (15, 10), interpolation=cv2.INTER_AREA)
    assert np.allclose(shrink(area.area_kernel_code, image, 15, 10), expected, atol=2e-5)
    planted = area.area_kernel_code.replace("s1 = fmaf(qv_value(p[1])", "s1 = fmaf(qv_value(p[0])")
    assert planted != area.area_kernel_code
    assert not np.allclose(shrink(planted, image, 15, 10), expected, atol=2e-5)


UNIT_STORE = r"""
extern "C" __global__ void unit_store(const float* v, unsigned char* u8, unsigned short* u16, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i < n) {
        qv_unit_store(u8 + i, v[i]);
        qv_unit_store(u16 + i, v[i]);
    }
}
"""


def near_midpoints(top):
    """Floats within three steps of every (k + 1/2) / top, where the product's last bits decide."""
    mid = ((np.arange(top + 1) + 0.5) / top).astype(np.float32)
    found, up, down = [mid], mid, mid
    for _ in range(3):
        up, down = np.nextafter(up, np.float32(2)), np.nextafter(down, np.float32(-1))
        found += [up, down]
    return np.concatenate(found)


def test_unit_stores_round_the_exact_product():
    # The blur's and the warp's integer stores: v * 255 or v * 65535 rounded half to even as in
    # float64 (where the product is exact), saturated, NaN to 0.
    edges = np.float32([0, -0.0, 0.5, 1, 1 + 2**-23, 2, -2, 1e-40, 70000, np.inf, -np.inf, np.nan, -np.nan])
    v = np.concatenate([near_midpoints(255), near_midpoints(65535), edges,
                        np.random.default_rng(0).uniform(-0.1, 1.1, 100000).astype(np.float32)])
    u8, u16 = cp.empty(v.size, cp.uint8), cp.empty(v.size, cp.uint16)
    kernel = cp.RawKernel(gaussian.gaussian_kernel_code + UNIT_STORE, "unit_store")
    kernel(((v.size + 255) // 256,), (256,), (cp.asarray(v), u8, u16, np.int32(v.size)))
    for out, top in ((u8, 255), (u16, 65535)):
        expected = np.nan_to_num(np.clip(np.rint(v.astype(np.float64) * top), 0, top), nan=0)
        np.testing.assert_array_equal(out.get(), expected.astype(out.dtype))
