import cupy as cp
import numpy as np
import pytest

import quorvex.color.grayscale as grayscale
from quorvex.color.grayscale import bgr_to_grayscale, rgb_to_grayscale


def luma(rgb):
    r, g, b = (rgb[..., i].astype(np.float32) for i in range(3))
    return np.float32(0.2126) * r + np.float32(0.7152) * g + np.float32(0.0722) * b


def on_device(image, misaligned):
    """image on the device, or a dense view of it one pixel into a larger array (no wide accesses)."""
    if not misaligned:
        return cp.asarray(image)
    return cp.asarray(np.concatenate([np.zeros(3, image.dtype), image.ravel()]))[3:].reshape(image.shape)


@pytest.mark.parametrize("misaligned", [False, True])
@pytest.mark.parametrize("order", ["rgb", "bgr"])
@pytest.mark.parametrize("size", [(1, 1), (33, 65), (64, 32), (7, 100), (2097121, 1)])  # more rows than 2-D grids hold
def test_matches_the_bt709_formula_in_all_three_channels(size, order, misaligned):
    rgb = np.random.default_rng(0).normal(0.5, 0.6, size + (3,)).astype(np.float32)  # values outside 0..1 too
    if order == "rgb":
        out = rgb_to_grayscale(on_device(rgb, misaligned))
    else:
        out = bgr_to_grayscale(on_device(np.ascontiguousarray(rgb[..., ::-1]), misaligned))
    assert out.shape == rgb.shape and out.dtype == cp.float32
    expected = np.repeat(luma(rgb)[..., None], 3, axis=2)
    np.testing.assert_allclose(out.get(), expected, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize(
    "convert, pixel, value",
    [
        (rgb_to_grayscale, (1, 1, 1), 1.0),
        (rgb_to_grayscale, (1, 0, 0), 0.2126),
        (bgr_to_grayscale, (1, 0, 0), 0.0722),
        (bgr_to_grayscale, (0, 0, 1), 0.2126),
    ],
)
def test_single_pixels(convert, pixel, value):
    out = convert(cp.asarray(np.array([[pixel]], np.float32))).get()
    np.testing.assert_allclose(out, value, rtol=1e-6)


def test_integer_and_strided_inputs_are_converted_first():
    u8 = np.random.default_rng(1).integers(0, 256, (40, 50, 3)).astype(np.uint8)
    expected = luma(u8.astype(np.float32) / np.float32(255))
    out = rgb_to_grayscale(cp.asarray(u8))
    assert out.dtype == cp.float32
    np.testing.assert_allclose(out.get()[..., 1], expected, atol=1e-6)
    strided = cp.asarray(u8)[::3, ::-2]
    np.testing.assert_allclose(rgb_to_grayscale(strided).get()[..., 0], expected[::3, ::-2], atol=1e-6)


@pytest.mark.parametrize(
    "shape, error, message",
    [
        ((4, 4), ValueError, "need more than 2 values to unpack"),
        ((2, 4, 4, 3), ValueError, "too many values to unpack (expected 3)"),
        ((4, 4, 4), ValueError, "takes a 3-channel image, got 4 channels"),
    ],
)
@pytest.mark.parametrize("convert", [rgb_to_grayscale, bgr_to_grayscale])
def test_refusals(shape, error, message, convert):
    with pytest.raises(error) as raised:
        convert(cp.zeros(shape, cp.float32))
    assert message in str(raised.value)


def test_host_arrays_are_refused():
    with pytest.raises(TypeError, match="takes a cupy.ndarray, got numpy.ndarray"):
        rgb_to_grayscale(np.zeros((2, 2, 3), np.float32))


def test_kernel_is_published_with_its_source():
    assert 'extern "C" __global__ void __launch_bounds__(256) rgb_to_grayscale_kernel(' in grayscale.rgb_to_grayscale_kernel_code
    assert isinstance(grayscale.rgb_to_grayscale_kernel, cp.RawKernel)
