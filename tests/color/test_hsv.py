import cupy as cp
import cv2
import numpy as np
import pytest

from quorvex.color.hsv import bgr_to_hsv, hsv_to_bgr


def images(h=33, w=40):
    rng = np.random.default_rng(0)
    image = rng.random((h, w, 3)).astype(np.float32)
    image[:4] = rng.random((4, w, 1))  # grey pixels
    image[4, :3] = [[0, 0, 0], [1, 1, 1], [0, 0, 1]]
    image[5] = rng.integers(0, 2, (w, 3))  # saturated corners of the cube, ties between channels
    return image


def test_bgr_to_hsv_matches_opencv():
    image = images()
    ours = bgr_to_hsv(cp.asarray(image)).get()
    theirs = cv2.cvtColor(image, cv2.COLOR_BGR2HSV)
    hue = np.abs(ours[..., 0] - theirs[..., 0])
    assert np.minimum(hue, 360 - hue).max() <= 0.01
    np.testing.assert_allclose(ours[..., 1:], theirs[..., 1:], atol=1e-4)
    assert (ours[:4, :, 0] == 0).all() and (ours[:4, :, 1] == 0).all()  # achromatic: H = 0
    assert ((0 <= ours[..., 0]) & (ours[..., 0] < 360)).all()


def test_hsv_to_bgr_matches_opencv_and_inverts():
    rng = np.random.default_rng(1)
    hsv = np.stack([rng.uniform(0, 360, (33, 40)), rng.random((33, 40)), rng.random((33, 40))], -1).astype(np.float32)
    hsv[0, :6, 0] = [0, 60, 120, 180, 240, 300]  # sector boundaries
    hsv[1, :, 1] = 0
    ours = hsv_to_bgr(cp.asarray(hsv)).get()
    np.testing.assert_allclose(ours, cv2.cvtColor(hsv, cv2.COLOR_HSV2BGR), atol=1e-4)
    turned = hsv + np.array([360, 0, 0], np.float32) * rng.integers(-2, 3, (33, 40, 1))  # hues wrap
    np.testing.assert_allclose(hsv_to_bgr(cp.asarray(turned)).get(), ours, atol=1e-4)
    image = images()
    np.testing.assert_allclose(hsv_to_bgr(bgr_to_hsv(cp.asarray(image))).get(), image, atol=1e-5)


def test_integer_and_host_images():
    u8 = (images() * 255).astype(np.uint8)
    expected = bgr_to_hsv(cp.asarray(u8.astype(np.float32) / 255)).get()
    np.testing.assert_allclose(bgr_to_hsv(u8).get(), expected, atol=1e-6)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: bgr_to_hsv(cp.zeros((4, 4), cp.float32)), ValueError, "bgr_to_hsv() takes an image of shape (height, width, 3), got (4, 4)"),
        (lambda: hsv_to_bgr(cp.zeros((4, 4, 4), cp.float32)), ValueError, "takes an image of shape (height, width, 3), got (4, 4, 4)"),
        (lambda: hsv_to_bgr(cp.zeros((4, 4, 3), cp.uint8)), TypeError, "hsv_to_bgr() takes a float image, got uint8"),
        (lambda: bgr_to_hsv([1, 2, 3]), TypeError, "bgr_to_hsv() takes image as a cupy.ndarray, got list"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)
