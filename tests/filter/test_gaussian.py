import copy
import pickle

import cupy as cp
import cv2
import numpy as np
import pytest

from quorvex.filter.gaussian import GaussianBlur

# Same weights and border as OpenCV, summed in float32 in another order: measured worst case
# 4.2e-7 on values in 0..1.
ATOL = 2e-6


def random_image(shape, seed=0):
    return np.random.default_rng(seed).random(shape).astype(np.float32)


# 70 x 101 has tiles whose taps all fall inside; 65 taps is the widest blur made in one pass.
@pytest.mark.parametrize("ksize, sigma", [(1, 0), (3, 0), (5, 0), (7, 0), (9, 0), (5, 1.2), (7, 2.5), (15, 3), (31, 0.8), (0, 1.5), (65, 0), (67, 0)])
@pytest.mark.parametrize("shape", [(23, 31), (23, 31, 3), (17, 12, 4), (150, 101, 3)])
def test_agrees_with_opencv(shape, ksize, sigma):
    image = random_image(shape, seed=ksize)
    # A mirrored view: not contiguous.
    result = GaussianBlur().get(cp.asarray(image)[:, ::-1], ksize, sigma)
    assert result.shape == image.shape and result.dtype == np.float32
    expected = cv2.GaussianBlur(image[:, ::-1].copy(), (ksize, ksize), sigma)
    np.testing.assert_allclose(result.get(), expected.reshape(shape), atol=ATOL)


@pytest.mark.parametrize("shape", [(9, 1, 3), (1, 9, 3), (1, 1, 3), (4, 5, 3), (2, 3)])
@pytest.mark.parametrize("ksize", [3, 11])
def test_images_smaller_than_the_kernel_reflect_like_opencv(shape, ksize):
    image = random_image(shape, seed=len(shape))
    result = GaussianBlur().get(cp.asarray(image), ksize, 2.0)
    expected = cv2.GaussianBlur(image, (ksize, ksize), 2.0).reshape(shape)
    np.testing.assert_allclose(result.get(), expected, atol=ATOL)


@pytest.mark.parametrize("ksize, sigma", [(3, 0), (7, 0), (11, 0), (9, 1.7), (0, 0.6)])
def test_weights_are_opencvs_and_uploaded_once(ksize, sigma):
    blur = GaussianBlur()
    image = cp.asarray(random_image((12, 14, 3)))
    blur.get(image, ksize, sigma)
    (key, weights), = blur.weights.items()
    taps = ksize or int(round(sigma * 8 + 1)) | 1
    expected = cv2.getGaussianKernel(taps, sigma, cv2.CV_32F).ravel()
    np.testing.assert_allclose(weights.get(), expected, rtol=1e-6, atol=1e-9)
    blur.get(image, ksize, sigma)
    assert len(blur.weights) == 1 and blur.weights[key] is weights


@pytest.mark.parametrize("ksize", [5, 67])
@pytest.mark.parametrize("dtype, scale", [(np.uint8, 255), (np.uint16, 65535), (np.float16, 1), (np.float64, 1)])
def test_other_element_types_are_blurred_in_float_and_come_back(dtype, scale, ksize):
    image = (random_image((15, 16, 3)) * scale).astype(dtype)
    result = GaussianBlur().get(cp.asarray(image), ksize, 1.0)
    assert result.dtype == dtype
    expected = cv2.GaussianBlur((image / scale).astype(np.float32), (ksize, ksize), 1.0) * scale
    atol = 0.5 + scale * ATOL if dtype != np.float16 else 5e-4
    np.testing.assert_allclose(result.get().astype(np.float64), expected, atol=atol)


@pytest.mark.parametrize(
    "image, ksize, sigma, error, message",
    [
        (cp.zeros((4, 4, 3), cp.float32), 4, 1.0, ValueError, "ksize must be odd and positive, or 0 to derive it from sigma"),
        (cp.zeros((4, 4, 3), cp.float32), -3, 1.0, ValueError, "ksize must be odd and positive, or 0 to derive it from sigma"),
        (cp.zeros((4, 4, 3), cp.float32), 0, 0.0, ValueError, "sigma must be positive when ksize is 0"),
        (cp.zeros((4, 4, 3), cp.float32), 3, float("nan"), ValueError, "sigma must be a finite number, got nan"),
        (cp.zeros((4, 4, 3), cp.float32), 3.0, 1.0, TypeError, "Argument 'ksize' has incorrect type (expected int, got float)"),
        (np.zeros((4, 4, 3), np.float32), 3, 1.0, TypeError, "takes image as a cupy.ndarray, got numpy.ndarray"),
        (cp.zeros((1, 1, 4, 4, 3), cp.float32), 3, 1.0, ValueError, "got (1, 1, 4, 4, 3)"),
        (cp.zeros((4, 4, 3), cp.float32), 3, "1.5", TypeError, "GaussianBlur.get() takes sigma as a float, got str"),
        (cp.zeros((4, 4, 3), cp.float32), 2**40 + 1, 1.0, ValueError, "ksize must be at most 1048577, got 1099511627777"),
        (cp.zeros((4, 4, 3), cp.float32), 2**70 + 1, 1.0, ValueError, "ksize must be at most 1048577"),
        (cp.zeros((4, 4, 3), cp.float32), 0, 2.0**17 + 1, ValueError, "sigma 131073.0 gives a kernel wider than 1048577 taps"),
        (cp.zeros((524281, 1), cp.float32), 3, 1.0, ValueError, "image has 524281 rows; at most 524280 are supported"),
    ],
)
def test_rejects_bad_arguments(image, ksize, sigma, error, message):
    with pytest.raises(error) as info:
        GaussianBlur().get(image, ksize, sigma)
    assert message in str(info.value)


def test_weights_are_kept_per_device(monkeypatch):
    blur, image = GaussianBlur(), cp.asarray(random_image((12, 14, 3)))
    expected = blur.get(image, 5, 1.0).get()
    monkeypatch.setattr(cp.cuda.runtime, "getDevice", lambda: 1)  # as if device 1 were current
    np.testing.assert_array_equal(blur.get(image, 5, 1.0).get(), expected)
    assert sorted(blur.weights) == [(0, 5, 1.0), (1, 5, 1.0)]
    assert blur.weights[0, 5, 1.0] is not blur.weights[1, 5, 1.0]


def test_cached_weights_are_ready_for_a_stream_ordered_after_nothing():
    # The first blur uploads its weights; a blur on another non-blocking stream reads them at once.
    blur, first, second = GaussianBlur(), cp.cuda.Stream(non_blocking=True), cp.cuda.Stream(non_blocking=True)
    with second:
        image = cp.asarray(random_image((20, 30, 3)))
    with first:
        blur.get(image, 5, 1.0)
    with second:
        np.testing.assert_array_equal(blur.get(image, 5, 1.0).get(), GaussianBlur().get(image, 5, 1.0).get())


def test_copies_and_pickles_leave_the_device_weights_behind():
    blur, image = GaussianBlur(), cp.asarray(random_image((12, 14, 3)))
    expected = blur.get(image, 5, 1.0).get()
    for restored in (copy.deepcopy(blur.get), pickle.loads(pickle.dumps(blur.get))):
        assert restored.__func__ is GaussianBlur.get and restored.__self__.weights == {}
        np.testing.assert_array_equal(restored(image, 5, 1.0).get(), expected)
    assert len(blur.weights) == 1
