import cupy as cp
import cv2
import numpy as np
import pytest

import quorvex.transform.resize as module
from quorvex.transform.resize import (
    INTER_AREA,
    INTER_AUTO,
    INTER_CUBIC,
    INTER_LANCZOS4,
    INTER_LINEAR,
    INTER_NEAREST,
    resize,
)

# Largest |resize - cv2.resize| over the agreement cases below (values in 0..1), about twice what
# was measured: LINEAR 1.8e-7, CUBIC 9.5e-7, LANCZOS4 6.0e-7, AREA 4.9e-6 (area_kernel forms
# its ratios in float). NEAREST picks the same pixels: both floor the same double products.
TOLERANCE = {INTER_NEAREST: 0.0, INTER_LINEAR: 4e-7, INTER_CUBIC: 2e-6, INTER_LANCZOS4: 1.2e-6, INTER_AREA: 1e-5}

# (source height, width), (new width, new height): ratios 1/2, 1/3, 10/11, 2, 3, 7, then mixed and extreme.
CASES = [((36, 60), (30, 18)), ((36, 60), (20, 12)), ((33, 44), (40, 30)), ((18, 30), (60, 36)), ((12, 20), (60, 36)),
         ((9, 11), (77, 63)), ((36, 60), (20, 72)), ((37, 53), (29, 50)), ((37, 53), (1, 40)), ((2, 700), (1, 1)),
         ((1, 2), (90, 3))]
# Thousands of pixels along one axis, where a sample position rounded otherwise than OpenCV's
# (double, or float for LANCZOS4) moves the weights visibly.
WIDE = [((4, 3001), (2999, 4)), ((4, 997), (3001, 4)), ((4, 4000), (1999, 4)),
        ((3001, 4), (4, 2999)), ((997, 4), (4, 3001)), ((4000, 4), (4, 1999))]


def mixed(case):
    (h, w), (new_w, new_h) = case
    return (new_w > w or new_h > h) and (new_w < w or new_h < h)


# OpenCV's INTER_AREA turns into two-tap sampling on both axes as soon as one grows; area_kernel
# keeps box averaging on a shrinking axis (checked on its own below). When enlarging, OpenCV also
# takes the wrong pixel where j * src / dst is a whole number that rounds below it in double
# (50 -> 134 wide: column 67 copies pixel 24, its box is inside pixel 25); whole ratios avoid that.
AGREEMENT = [(i, c) for i in TOLERANCE for c in CASES if not (i == INTER_AREA and mixed(c))]
# Not AREA there: its box edges, formed in float, are up to ~1e-4 of a pixel off on such images
# (measured 7e-4 from cv2).
AGREEMENT += [(i, c) for i in TOLERANCE for c in WIDE if i != INTER_AREA]


def image(kind, h, w, c):
    if kind == "noise":
        return np.random.default_rng(h * w + c).random((h, w, c), dtype=np.float32)
    y, x = np.mgrid[0:h, 0:w].astype(np.float32)
    return np.stack([(np.sin(x / 5 + k) * np.cos(y / 7) + 1) / 2 for k in range(c)], axis=-1)


@pytest.mark.parametrize("kind", ["noise", "gradient"])
@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize("interpolation, case", AGREEMENT)
def test_agrees_with_opencv(interpolation, case, channels, kind):
    (h, w), (new_w, new_h) = case
    img = image(kind, h, w, channels)
    expected = cv2.resize(img, (new_w, new_h), interpolation=interpolation).reshape(new_h, new_w, channels)
    out = resize(cp.asarray(img), (new_w, new_h), interpolation)
    assert out.shape == expected.shape and out.dtype == cp.float32
    np.testing.assert_allclose(out.get(), expected, rtol=0, atol=TOLERANCE[interpolation])


# OpenCV itself reads the weight-0 neighbour at the left edge of its 2-pixel-wide source.
@pytest.mark.parametrize("case", [c for c in CASES if c[0][1] > 2])
def test_linear_border_reads_no_tap_of_weight_zero(case):
    (h, w), (new_w, new_h) = case
    img = image("noise", h, w, 3)
    # Next to the corners: border outputs weight them 0, and OpenCV does not read them there.
    img[min(1, h - 1), min(1, w - 1), 0] = np.nan
    img[max(h - 2, 0), w - 1, 1] = np.nan
    expected = cv2.resize(img, (new_w, new_h), interpolation=cv2.INTER_LINEAR)
    out = resize(cp.asarray(img), (new_w, new_h), INTER_LINEAR).get()
    np.testing.assert_allclose(out, expected.reshape(out.shape), rtol=0, atol=TOLERANCE[INTER_LINEAR])


def box_weights(n, new_n):
    """Row j: the share of output pixel j's footprint [j, j + 1) * n / new_n on each source pixel."""
    lo = np.arange(new_n)[:, None] * n / new_n
    overlap = np.clip(np.minimum(lo + n / new_n, np.arange(1, n + 1)) - np.maximum(lo, np.arange(n)), 0, None)
    return overlap / overlap.sum(axis=1, keepdims=True)


@pytest.mark.parametrize("case", [c for c in CASES if mixed(c)])
def test_area_with_mixed_ratios_averages_boxes(case):
    (h, w), (new_w, new_h) = case
    img = image("noise", h, w, 3)
    expected = np.einsum("yi,ijc,xj->yxc", box_weights(h, new_h), img, box_weights(w, new_w))
    np.testing.assert_allclose(resize(cp.asarray(img), (new_w, new_h), INTER_AREA).get(), expected, atol=1e-5)


@pytest.mark.parametrize("size, chosen", [((20, 12), INTER_AREA), ((60, 36), INTER_AREA), ((61, 36), INTER_LINEAR), ((20, 40), INTER_LINEAR)])
def test_auto_averages_unless_an_axis_grows(size, chosen):
    img = image("noise", 36, 60, 3)
    expected = cv2.resize(img, size, interpolation=chosen)
    np.testing.assert_allclose(resize(cp.asarray(img), size).get(), expected, atol=TOLERANCE[chosen])


@pytest.mark.parametrize("dtype, low, high", [(np.uint8, 0, 255), (np.uint16, 0, 65535), (np.int16, -32768, 32767), (np.float16, 0, 1), (np.float64, 0, 1)])
@pytest.mark.parametrize("channels", [(), (3,)])
def test_other_element_types_keep_their_type_and_range(dtype, low, high, channels):
    img = np.random.default_rng(4).uniform(low, high, (20, 30) + channels).astype(dtype)
    # CUBIC overshoots next to steep edges, so integer results also show the clipping.
    expected = cv2.resize(img.astype(np.float32), (45, 50), interpolation=cv2.INTER_CUBIC)
    out = resize(cp.asarray(img), [45, 50], INTER_CUBIC)
    assert out.dtype == dtype and out.shape == (50, 45) + channels
    if np.issubdtype(dtype, np.integer):  # rounded: within half a step of the clipped value
        np.testing.assert_allclose(out.get(), np.clip(expected, low, high), rtol=0, atol=0.5 + 1e-5 * (high - low))
        assert out.get().min() == low and out.get().max() == high
    else:
        np.testing.assert_allclose(out.get(), expected, rtol=1e-3 if dtype == np.float16 else 0, atol=1e-5)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float16])
@pytest.mark.parametrize("interpolation", TOLERANCE)
def test_integer_and_half_images_equal_the_float32_result_converted(interpolation, dtype):
    # Read and written by the kernel itself: the float32 result, rounded half to even and clipped
    # (or rounded to float16), bit for bit. Sizes that enlarge and shrink, with overshoot at edges.
    top = np.iinfo(dtype).max if dtype != np.float16 else 1.0
    img = (np.random.default_rng(5).random((23, 31, 3)) > 0.5) * top
    img = img.astype(dtype)
    for size in [(45, 50), (12, 9), (62, 46)]:
        reference = resize(cp.asarray(img.astype(np.float32)), size, interpolation).get()
        if dtype != np.float16:
            reference = np.clip(np.rint(reference), 0, top)
        out = resize(cp.asarray(img), size, interpolation)
        assert out.dtype == dtype
        np.testing.assert_array_equal(out.get(), reference.astype(dtype))


# Several blocks each way, enlarged and reduced, the last blocks partly past the image.
@pytest.mark.parametrize("case", [c for c in CASES if c[0][0] > 8] + WIDE[:1] + [((91, 257), (514, 182)),
                                                                                 ((300, 1100), (560, 160))])
def test_lanczos4_row_sums_of_a_block_equal_the_per_pixel_sums(case):
    # One and three channels filter a block's input rows once (down to 1/2), other channel counts
    # and steeper reductions go per pixel: the same sums in the same order, the same bits.
    (h, w), size = case
    four = image("noise", h, w, 4)
    whole = resize(cp.asarray(four), size, interpolation=INTER_LANCZOS4).get()
    for part in (four[..., :3], four[..., 0]):
        got = resize(cp.asarray(np.ascontiguousarray(part)), size, interpolation=INTER_LANCZOS4).get()
        np.testing.assert_array_equal(got, whole[..., :3] if part.ndim == 3 else whole[..., 0])


@pytest.mark.parametrize("interpolation", TOLERANCE)
def test_strided_input_gives_the_result_of_its_contiguous_copy(interpolation):
    view = cp.asarray(image("noise", 37, 53, 3))[::-1, ::2]
    expected = resize(cp.ascontiguousarray(view), (40, 20), interpolation).get()
    np.testing.assert_array_equal(resize(view, (40, 20), interpolation).get(), expected)


def test_constants_and_kernels():
    names = ["INTER_NEAREST", "INTER_LINEAR", "INTER_CUBIC", "INTER_AREA", "INTER_LANCZOS4"]
    assert [getattr(module, n) for n in names] == [getattr(cv2, n) for n in names] and INTER_AUTO == -1
    for name in ["resize_nearest_kernel", "resize_linear_kernel", "resize_cubic_kernel", "resize_lanczos4_kernel"]:
        assert f"{name}(const float* __restrict__ input" in getattr(module, f"{name}_code")
        assert isinstance(getattr(module, name), cp.RawKernel)


@pytest.mark.parametrize(
    "shape, dtype, size, interpolation, error, message",
    [
        ((4, 4), cp.float32, (5,), INTER_AUTO, ValueError, "takes size as (width, height), two positive ints; got (5,)"),
        ((4, 4), cp.float32, [5, 0], INTER_AUTO, ValueError, "got [5, 0]"),
        ((4, 4), cp.float32, (5.0, 3), INTER_AUTO, ValueError, "got (5.0, 3)"),
        ((4, 4), cp.float32, 5, INTER_AUTO, TypeError, "Argument 'size' has incorrect type"),
        ((4, 4), cp.float32, (5, 3), 5, ValueError, "unknown interpolation 5; use INTER_NEAREST (0)"),
        ((0, 4), cp.float32, (5, 3), INTER_AUTO, ValueError, "non-empty image of shape (height, width)"),
        ((2, 2, 2, 2, 2), cp.float32, (5, 3), INTER_AUTO, ValueError, "got shape (2, 2, 2, 2, 2)"),
        ((4, 4), cp.complex64, (5, 3), INTER_AUTO, TypeError, "takes real-valued images, got complex64"),
        ((4, 4), cp.float32, (70000, 70000), INTER_AUTO, ValueError, "the resized image has 4900000000 elements"),
        ((4, 4), cp.float32, (2**62, 4), INTER_AUTO, ValueError, "the resized image has more than 9223372036854775807 elements"),
        ((4, 4), cp.float32, (1, 3000000), INTER_AUTO, ValueError, "has 3000000 rows; at most 524280 are supported"),
    ],
)
def test_refusals(shape, dtype, size, interpolation, error, message):
    with pytest.raises(error) as raised:
        resize(cp.zeros(shape, dtype), size, interpolation)
    assert message in str(raised.value)


def test_host_arrays_are_refused():
    with pytest.raises(TypeError, match="takes a cupy.ndarray, got numpy.ndarray"):
        resize(np.zeros((4, 4), np.float32), (5, 3))


@pytest.mark.parametrize("interpolation", [INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA, INTER_LANCZOS4])
def test_a_batch_is_resized_image_by_image(interpolation):
    batch = cp.asarray(np.random.default_rng(2).random((3, 9, 7, 3)).astype(np.float32))
    for size in [(11, 5), (14, 18)]:
        out = resize(batch, size, interpolation)
        np.testing.assert_array_equal(out.get(), np.stack([resize(image, size, interpolation).get() for image in batch]))
