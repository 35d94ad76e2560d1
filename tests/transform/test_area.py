import cupy as cp
import cv2
import numpy as np
import pytest

import quorvex.transform.interporation.area as area


def run_area(image, new_width, new_height):
    h, w, c = image.shape
    out = cp.empty((new_height, new_width, c), cp.float32)
    grid = ((new_width + 15) // 16, (new_height + 15) // 16)
    area.area_kernel(grid, (16, 16), (cp.asarray(image), out, *map(np.int32, (w, h, new_width, new_height, c))))
    return out.get()


def run_affine(image, matrix, out_h, out_w):
    h, w, _ = image.shape
    out = cp.full((out_h, out_w, 3), -1, cp.float32)
    m = cp.asarray(np.asarray(matrix, np.float32).ravel())
    grid = ((out_w + 15) // 16, (out_h + 15) // 16)
    area.area_affine_kernel(grid, (16, 16), (cp.asarray(image), out, m, *map(np.int32, (h, w, out_h, out_w))))
    return out.get()


def test_module_attributes_in_order():
    names = [n for n in vars(area) if not n.startswith("__")]
    assert names == ["area_kernel_code", "area_kernel", "area_affine_kernel_code", "area_affine_kernel"]
    assert isinstance(area.area_kernel, cp.RawKernel) and isinstance(area.area_affine_kernel, cp.RawKernel)


def test_same_size_is_identity_and_halving_averages_blocks():
    image = np.random.default_rng(0).random((9, 7, 3)).astype(np.float32)
    np.testing.assert_array_equal(run_area(image, 7, 9), image)
    small = np.arange(16, dtype=np.float32).reshape(4, 4, 1)
    expected = small.reshape(2, 2, 2, 2).mean(axis=(1, 3)).reshape(2, 2, 1)
    np.testing.assert_allclose(run_area(small, 2, 2), expected, rtol=1e-6)


@pytest.mark.parametrize("channels", [1, 3, 4, 5])
@pytest.mark.parametrize(
    # OpenCV area-averages only when no axis grows (otherwise it blends like a linear filter), so
    # mixed cases are left out of the comparison.
    "src, dst", [((60, 48), (20, 16)), ((55, 40), (50, 44)), ((33, 21), (11, 7)), ((17, 19), (51, 38))]
)
def test_agrees_with_opencv_inter_area(channels, src, dst):
    image = np.random.default_rng(channels).random(src + (channels,)).astype(np.float32)
    expected = cv2.resize(image, dst[::-1], interpolation=cv2.INTER_AREA).reshape(dst + (channels,))
    np.testing.assert_allclose(run_area(image, dst[1], dst[0]), expected, atol=2e-5)


def test_affine_identity_copies_and_outside_is_zero():
    image = np.random.default_rng(2).random((10, 12, 3)).astype(np.float32)
    np.testing.assert_allclose(run_affine(image, [[1, 0, 0], [0, 1, 0]], 10, 12), image, rtol=1e-6)
    shifted = run_affine(image, [[1, 0, 100], [0, 1, 0]], 10, 12)
    np.testing.assert_array_equal(shifted, 0)


def test_affine_scale_two_averages_blocks_with_fractional_edges():
    image = np.random.default_rng(3).random((8, 8, 3)).astype(np.float32)
    aligned = run_affine(image, [[2, 0, 0], [0, 2, 0]], 4, 4)
    np.testing.assert_allclose(aligned, image.reshape(4, 2, 4, 2, 3).mean(axis=(1, 3)), rtol=1e-5)
    # Shifted by half a pixel the footprint of output (0, 1) is x in [2.5, 4.5), y in [0.5, 2.5):
    # rows/columns at the ends count half.
    shifted = run_affine(image, [[2, 0, 0.5], [0, 2, 0.5]], 4, 4)
    wy = np.array([0.5, 1.0, 0.5])
    wx = np.array([0.5, 1.0, 0.5])
    block = image[0:3, 2:5]
    expected = (block * wy[:, None, None] * wx[None, :, None]).sum(axis=(0, 1)) / (wy.sum() * wx.sum())
    np.testing.assert_allclose(shifted[0, 1], expected, rtol=1e-5)


def test_affine_weights_border_pixels_more_when_the_footprint_overhangs():
    image = np.zeros((4, 4, 3), np.float32)
    image[:, 0] = 1.0
    # Output (0, 0): footprint x in [-0.3, 1.2). Column 0 gets 1 + 0.3 from the overhang,
    # column 1 gets 0.2, so the mean leans to column 0: 1.3 / 1.5.
    out = run_affine(image, [[1.5, 0, -0.3], [0, 1, 0]], 4, 4)
    np.testing.assert_allclose(out[0, 0], 1.3 / 1.5, rtol=1e-5)
