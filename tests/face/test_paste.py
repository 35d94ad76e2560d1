import re

import cupy as cp
import cv2
import numpy as np
import pytest

from quorvex.face.paste import PasteBack, paste_back

rng = np.random.default_rng(0)
FRAME = rng.random((120, 200, 3)).astype(np.float32)
CROP = rng.random((40, 40, 3)).astype(np.float32)
# Frame -> crop: the 80 x 80 frame region at (x 40, y 20) shrinks into the 40 x 40 crop.
M = np.array([[0.5, 0, -20], [0, 0.5, -10]], np.float32)


def covered(shape, matrix, margin):
    """Frame pixels whose position in the crop lies at least margin inside it."""
    ys, xs = np.mgrid[0 : FRAME.shape[0], 0 : FRAME.shape[1]]
    u = matrix[0, 0] * xs + matrix[0, 1] * ys + matrix[0, 2]
    v = matrix[1, 0] * xs + matrix[1, 1] * ys + matrix[1, 2]
    h, w = shape
    return (u >= margin) & (u <= w - 1 - margin) & (v >= margin) & (v <= h - 1 - margin)


def test_without_a_mask_the_covered_region_is_replaced_and_the_rest_kept_bit_for_bit():
    frame = cp.asarray(FRAME)
    out = paste_back(frame, cp.asarray(CROP), cp.asarray(M)).get()
    inside = covered((40, 40), M, 1)
    outside = ~covered((40, 40), M, -1)
    assert inside.sum() > 1000 and outside.sum() > 10000
    np.testing.assert_array_equal(out[outside], FRAME[outside])
    # Inside, the frame is gone: the result is the crop enlarged back (bilinear, as cv2.warpAffine).
    expected = cv2.warpAffine(CROP, cv2.invertAffineTransform(M), (200, 120), flags=cv2.INTER_LINEAR)
    np.testing.assert_allclose(out[inside], expected[inside], atol=1e-4)
    np.testing.assert_array_equal(frame.get(), FRAME)  # inputs untouched


def test_identity_with_a_full_frame_crop_and_a_mask_of_ones_gives_the_crop():
    crop = rng.random(FRAME.shape).astype(np.float32)
    out = paste_back(cp.asarray(FRAME), cp.asarray(crop), cp.asarray(np.eye(2, 3, dtype=np.float32)),
                     cp.ones(FRAME.shape, cp.float32))
    np.testing.assert_allclose(out.get(), crop, atol=1e-6)


def test_a_mask_of_another_size_is_fitted_to_the_crop():
    frame, crop, m = cp.asarray(FRAME), cp.asarray(CROP), cp.asarray(M)
    small_ones = cp.ones((10, 13, 3), cp.float32)
    np.testing.assert_allclose(paste_back(frame, crop, m, small_ones).get(), paste_back(frame, crop, m).get(), atol=1e-6)


# (blur, padding) -> the bands (top, right, bottom, left) and the blur's kernel and sigma.
@pytest.mark.parametrize("options, bands, ksize, sigma", [
    ((), (102, 73, 102, 73), 73, 73.0),
    ((0.05, (10, 0, 5, 2.5)), (153, 73, 128, 86), 27, 25.6),
    ((0.0, (0, 0, 0, 0)), (102, 73, 102, 73), 0, 0.0),  # a hard edge
])
def test_soft_mask_of_a_512_crop_has_the_bands_and_blur(options, bands, ksize, sigma):
    mask = PasteBack(*options).create_mask((512, 512)).get()
    plate = np.ones((512, 512, 3), np.float32)
    top, right, bottom, left = bands
    plate[:top], plate[512 - bottom:], plate[:, :left], plate[:, 512 - right:] = 0, 0, 0, 0
    expected = cv2.GaussianBlur(plate, (ksize, ksize), sigma) if ksize else plate
    np.testing.assert_allclose(mask, expected, atol=2e-6)
    assert mask[256, 256, 0] == pytest.approx(1.0, abs=1e-3) and mask[0, 0, 0] < 1e-3


@pytest.mark.parametrize("options, message", [
    ((1.5,), "a blur from 0 to 1"), ((None, (1, 2, 3)), "padding as (top, right, bottom, left) percents"),
    ((None, (0, 0, 0, 101)), "percents from 0 to 100"),
])
def test_mask_options_out_of_range_are_refused(options, message):
    with pytest.raises(ValueError, match=re.escape(message)):
        PasteBack(*options)


def test_get_builds_the_mask_once_per_crop_size():
    paster = PasteBack()
    assert paster.mask is None and paster.size is None
    frame = cp.asarray(FRAME)
    crop = cp.asarray((CROP * 255).astype(np.uint8))  # converted to float32 on the way in
    out = paster.get(frame, crop, cp.asarray(M))
    first = paster.mask
    assert paster.size == (40, 40) and out.dtype == cp.float32
    paster.get(frame, crop, cp.asarray(M))
    assert paster.mask is first
    bigger = cp.asarray(rng.random((112, 112, 3)).astype(np.float32))  # an even band width (16) blurs too
    paster.get(frame, bigger, cp.asarray(M * np.float32(112 / 40)))
    assert paster.size == (112, 112) and paster.mask is not first and paster.mask.shape == (112, 112, 3)


def test_create_mask_takes_exactly_a_tuple():
    with pytest.raises(TypeError) as error:
        PasteBack().create_mask([40, 40])
    assert str(error.value) == "Argument 'size' has incorrect type (expected tuple, got list)"


@pytest.mark.parametrize("bad", [None, [1.0], "frame"])
def test_arguments_that_are_not_arrays_are_named(bad):
    frame, matrix = cp.asarray(FRAME), cp.asarray(M)
    given = type(bad).__name__
    for call, message in [(lambda: paste_back(bad, frame, matrix), f"target_image as a cupy.ndarray, got {given}"),
                          (lambda: paste_back(frame, bad, matrix), f"paste_image as a cupy.ndarray, got {given}"),
                          (lambda: paste_back(frame, frame, matrix, [bad]), "mask as a cupy.ndarray or None, got list")]:
        with pytest.raises(TypeError) as caught:
            call()
        assert str(caught.value) == f"paste_back() takes {message}"


def test_a_mask_too_large_is_refused_before_it_is_allocated():
    with pytest.raises(ValueError, match=r"^the mask has 30000000000 elements; at most 2147483647 are supported$"):
        PasteBack().create_mask((10**5, 10**5))


def test_get_many_builds_the_mask_of_each_crop_size():
    # One object given 64- then 128-pixel crops pastes as a fresh object does.
    frame = cp.asarray(rng.random((200, 240, 3)).astype(np.float32))
    matrices = cp.asarray(np.array([[[0.5, 0, -10], [0, 0.5, -10]]], np.float32))
    shared = PasteBack()
    for side in (64, 128):
        crops = cp.asarray(rng.random((1, side, side, 3)).astype(np.float32))
        np.testing.assert_array_equal(shared.get_many(frame, crops, matrices).get(),
                                      PasteBack().get_many(frame, crops, matrices).get())


def test_more_crops_than_a_block_lists_at_once_paste_in_order():
    # 260 crops: a block lists the crops that reach it 256 at a time; pasting them all at once
    # equals pasting the first 256 and then the rest.
    frame = cp.asarray(rng.random((48, 64, 3)).astype(np.float32))
    crops = cp.asarray(rng.random((260, 8, 8, 3)).astype(np.float32))
    shifts = rng.uniform(-4, 60, (260, 2))
    matrices = cp.asarray(np.array([[[1.5, 0.2, -1.5 * x], [-0.2, 1.5, -1.5 * y]] for x, y in shifts], np.float32))
    paster = PasteBack()
    in_two = paster.get_many(paster.get_many(frame, crops[:256], matrices[:256]), crops[256:], matrices[256:])
    np.testing.assert_array_equal(paster.get_many(frame, crops, matrices).get(), in_two.get())
