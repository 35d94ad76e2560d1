"""The kernels under test are the modules' own source text: change the text and the tests see it."""

import cupy as cp
import cv2
import numpy as np

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
    planted = area.area_kernel_code.replace("s1 += p[1] * w;", "s1 += p[0] * w;")
    assert planted != area.area_kernel_code
    assert not np.allclose(shrink(planted, image, 15, 10), expected, atol=2e-5)
