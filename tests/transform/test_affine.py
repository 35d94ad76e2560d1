import math

import cupy as cp
import cv2
import numpy as np
import pytest

from quorvex.transform.affine import affine_transform, crop_from_kps, get_inverse_matrix

TEMPLATE = np.array([[38.2946, 51.6963], [73.5318, 51.5014], [56.0252, 71.7366], [41.5493, 92.3655], [70.7299, 92.2041]])

# OpenCV 5 samples float images at nearly exact positions: measured worst case 1.2e-5. OpenCV 4
# snaps positions to 1/32 pixel, which on these images (gradients below 0.032 per pixel) moves
# values by at most 1e-3.
ATOL = 3e-5 if int(cv2.__version__.split(".")[0]) >= 5 else 2e-3


def smooth(h, w, channels=3, seed=0):
    """Low-frequency image in 0..1, so that where exactly a sample falls barely matters."""
    rng = np.random.default_rng(seed)
    y, x = np.mgrid[0:h, 0:w]
    planes = [0.5 + 0.25 * np.sin(rng.uniform(0.02, 0.07) * x + rng.uniform(0, 7)) +
              0.2 * np.cos(rng.uniform(0.02, 0.07) * y + rng.uniform(0, 7)) for _ in range(channels)]
    return np.stack(planes, -1).astype(np.float32)


def similarity(scale, degrees, tx, ty):
    c, s = scale * math.cos(math.radians(degrees)), scale * math.sin(math.radians(degrees))
    return np.array([[c, -s, tx], [s, c, ty]])


def warp_cv(image, M, size):
    flags = dict(flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_CONSTANT, borderValue=0)
    return cv2.warpAffine(image, np.asarray(M, np.float64), size[::-1], **flags)


MATRICES = {
    "identity": [[1, 0, 0], [0, 1, 0]],
    "subpixel shift": [[1, 0, 3.37], [0, 1, -5.81]],
    "rotation": similarity(1.0, 30, 20, -10),
    "enlarge and rotate": similarity(1.7, -50, 30, 40),
    "shear and stretch": [[1.3, 0.4, -7], [-0.2, 1.1, 5]],
    "reflection": [[-1.2, 0, 70], [0, 1, 0]],
}


@pytest.mark.parametrize("channels", [None, 1, 3, 4])
@pytest.mark.parametrize("name", MATRICES)
def test_bilinear_warps_agree_with_opencv(name, channels):
    image = smooth(48, 64, channels or 1, seed=len(name))[..., 0 if channels is None else slice(None)]
    M = np.array(MATRICES[name])
    # A mirrored view (not contiguous), and the matrix on either side.
    result = affine_transform(cp.asarray(image)[:, ::-1], cp.asarray(M) if channels == 3 else M, (50, 70))
    assert result.shape == (50, 70) + image.shape[2:] and result.dtype == np.float32
    expected = warp_cv(image[:, ::-1].copy(), M, (50, 70)).reshape(result.shape)
    np.testing.assert_allclose(result.get(), expected, atol=ATOL)


def footprint_weights(n, new_n, scale, shift):
    """Row j: output pixel j's share of each source pixel [i, i + 1) under x_out = scale x_in + shift:
    a box 1 / scale wide (at least 1) centred on its source position, pixels outside counting 0."""
    centre = (np.arange(new_n)[:, None] - shift) / scale + 0.5
    half = 0.5 * max(1.0, 1.0 / abs(scale))
    i = np.arange(n)
    return np.clip(np.minimum(centre + half, i + 1) - np.maximum(centre - half, i), 0, None) / (2 * half)


@pytest.mark.parametrize("channels", [1, 3, 4])
@pytest.mark.parametrize(
    "scale, shift", [((0.5, 0.5), (-0.25, -0.25)), ((0.37, 0.6), (3.3, -1.7)), ((0.3, 1.8), (-2.5, 4.2))]
)
def test_shrinking_warps_average_the_footprint_with_a_zero_border(scale, shift, channels):
    image = np.random.default_rng(1).random((40, 60, channels)).astype(np.float32)
    M = np.array([[scale[0], 0, shift[0]], [0, scale[1], shift[1]]])
    result = affine_transform(cp.asarray(image), M, (30, 36)).get()
    rows, cols = footprint_weights(40, 30, scale[1], shift[1]), footprint_weights(60, 36, scale[0], shift[0])
    np.testing.assert_allclose(result, np.einsum("yi,ijc,xj->yxc", rows, image, cols), atol=1e-5)


@pytest.mark.parametrize("channels", [1, 3, 4])
def test_rotated_shrink_stays_close_to_opencv_whatever_the_channel_count(channels):
    image, M = smooth(120, 140, 4, seed=7), similarity(0.55, 25, 10, -20)
    result = affine_transform(cp.asarray(image[..., :channels]), M, (70, 80)).get().reshape(70, 80, channels)
    # The same pixels as BGR or BGRA give the same colour channels.
    np.testing.assert_array_equal(result, affine_transform(cp.asarray(image), M, (70, 80)).get()[..., :channels])
    expected = warp_cv(image, M, (70, 80))[..., :channels]
    # Footprint averages against centre samples: compare the inside, and the far outside is 0.
    y, x = np.mgrid[0:70, 0:80]
    sx, sy = np.einsum("ij,jhw->ihw", cv2.invertAffineTransform(M), np.stack([x, y, np.ones_like(x)]))
    inside = (sx > 2) & (sx < 137) & (sy > 2) & (sy < 117)
    far = (sx < -3) | (sx > 142) | (sy < -3) | (sy > 122)
    assert inside.sum() > 1000 and far.sum() > 100 and np.all(result[far] == 0)
    # A 1.8-pixel footprint's average against its centre's sample: measured worst case 9.6e-4.
    np.testing.assert_allclose(result[inside], expected[inside], atol=ATOL + 1.5e-3)


@pytest.mark.parametrize("dtype, top", [(np.uint8, 255), (np.uint16, 65535), (np.float16, 1000), (np.float64, 1000), (np.bool_, 1)])
def test_integer_shift_keeps_values_and_element_type(dtype, top):
    image = np.random.default_rng(2).integers(0, top + 1, (9, 11, 3)).astype(dtype)
    result = affine_transform(cp.asarray(image), np.array([[1.0, 0, 2], [0, 1, -3]]), (9, 11))
    expected = np.zeros_like(image)
    expected[:6, 2:] = image[3:, :9]
    assert result.dtype == dtype
    np.testing.assert_array_equal(result.get(), expected)


IMG = cp.zeros((4, 4), cp.float32)


@pytest.mark.parametrize("dtype", [np.float32, np.uint8, np.uint16, np.float16])
@pytest.mark.parametrize("M", [MATRICES["rotation"], MATRICES["shear and stretch"], similarity(0.4, 20, 3, 5)])
def test_device_matrix_and_element_types_match_the_float32_host_path(M, dtype):
    # Each dtype in its own kernel, a device M inverted on the device: equal, bit for bit, to the
    # float32 warp by the host M converted as to_uint8 / to_uint16 / astype convert it.
    from quorvex.utils.dtypes import to_float32, to_uint8, to_uint16

    top = {np.uint8: 255, np.uint16: 65535}.get(dtype, 1.0)
    image = cp.asarray((smooth(37, 53) * top).astype(dtype))
    reference = affine_transform(to_float32(image), np.asarray(M), (41, 47))
    reference = {np.uint8: to_uint8, np.uint16: to_uint16}.get(dtype, lambda x: x.astype(dtype))(reference)
    for matrix in [np.asarray(M), cp.asarray(M, cp.float32), cp.asarray(M, cp.float64)]:
        out = affine_transform(image, matrix, (41, 47))
        assert out.dtype == dtype and out.shape == (41, 47, 3)
        if isinstance(matrix, cp.ndarray) and matrix.dtype == cp.float32:  # M rounded to float32 first
            reference_32 = affine_transform(image, np.asarray(M, np.float32).astype(np.float64), (41, 47))
            np.testing.assert_array_equal(out.get(), reference_32.get())
        else:
            np.testing.assert_array_equal(out.get(), reference.get())


def test_singular_or_non_finite_device_matrix_warps_to_zeros():
    for M in [[[1, 2, 0], [2, 4, 0]], [[1, 0, np.nan], [0, 1, 0]]]:
        out = affine_transform(IMG, cp.asarray(M, cp.float32), (4, 4))
        np.testing.assert_array_equal(out.get(), np.zeros_like(out.get()))


@pytest.mark.parametrize(
    "image, M, dsize, error, message",
    [
        (IMG.get(), np.eye(2, 3), (4, 4), TypeError, "takes image as a cupy.ndarray, got numpy.ndarray"),
        (IMG[None, None, ..., None], np.eye(2, 3), (4, 4), ValueError, "(height, width, channels), got (1, 1, 4, 4, 1)"),
        (IMG, np.eye(2, 3).tolist(), (4, 4), TypeError, "takes M as a cupy.ndarray or numpy.ndarray, got list"),
        (IMG, np.eye(3), (4, 4), ValueError, "takes M of shape (2, 3), got (3, 3)"),
        (IMG, np.array([[1, 0, np.nan], [0, 1, 0]]), (4, 4), ValueError, "takes M with finite values"),
        (IMG, np.array([[1, 2, 0], [2, 4, 0]]), (4, 4), ValueError, "takes an invertible M; its 2x2 part has determinant 0.0"),
        (IMG, np.eye(2, 3), (0, 4), ValueError, "takes dsize as two positive integers (height, width), got (0, 4)"),
        (IMG, np.eye(2, 3), (4.0, 4), ValueError, "got (4.0, 4)"),
        (IMG, np.eye(2, 3), [4, 4], TypeError, "Argument 'dsize' has incorrect type (expected tuple, got list)"),
        (IMG, np.eye(2, 3), (2**63, 1), ValueError, "takes dsize entries of at most 2147483647, got (9223372036854775808, 1)"),
        (IMG, np.eye(2, 3), (524281, 1), ValueError, "output has 524281 rows; at most 524280 are supported"),
    ],
)
def test_affine_transform_rejects_bad_arguments(image, M, dsize, error, message):
    with pytest.raises(error) as info:
        affine_transform(image, M, dsize)
    assert message in str(info.value)


@pytest.mark.parametrize("M", [MATRICES["shear and stretch"], similarity(0.3, 123, -40, 900), [[0, 2, 1], [-3, 0, 5]]])
def test_inverse_agrees_with_opencv_on_host_and_device(M):
    M = np.array(M, np.float64)
    host, device = get_inverse_matrix(M), get_inverse_matrix(cp.asarray(M, cp.float32))
    assert type(host) is np.ndarray and host.dtype == np.float64
    np.testing.assert_allclose(host, cv2.invertAffineTransform(M), rtol=1e-12, atol=1e-12)
    assert isinstance(device, cp.ndarray) and device.dtype == np.float32 and device.shape == (2, 3)
    expected = cv2.invertAffineTransform(M.astype(np.float32).astype(np.float64))
    np.testing.assert_allclose(device.get(), expected, rtol=1e-5, atol=1e-4)


def test_singular_inverse_is_zeros_on_device_and_an_error_on_host():
    singular = np.array([[1.0, 2, 3], [2, 4, 6]])
    np.testing.assert_array_equal(get_inverse_matrix(cp.asarray(singular)).get(), 0)
    with pytest.raises(ValueError, match=r"get_inverse_matrix\(\) takes an invertible M"):
        get_inverse_matrix(singular)
    with pytest.raises(ValueError, match=r"takes M of shape \(2, 3\), got \(6,\)"):
        get_inverse_matrix(cp.zeros(6, cp.float32))


def landmarks_for(M, size):
    """Frame landmarks that M (frame -> crop) takes exactly onto the template scaled to size, about
    pixel edges (integers being pixel centres), so that each size frames the same face."""
    inv = cv2.invertAffineTransform(M)
    return ((TEMPLATE + 0.5) * size / 112 - 0.5) @ inv[:, :2].T + inv[:, 2]


@pytest.mark.parametrize(
    "size, M", [(112, similarity(1.5, 10, -60, -40)), (96, similarity(2.2, -35, -160, 35)), (128, similarity(1.1, 170, 200, 150))]
)
def test_crop_recovers_a_known_similarity_and_matches_opencv(size, M):
    frame = smooth(120, 150, 3, seed=size)
    crop, found = crop_from_kps(cp.asarray(frame), cp.asarray(landmarks_for(M, size).astype(np.float32)), size)
    assert isinstance(found, cp.ndarray) and found.dtype == np.float32 and crop.shape == (size, size, 3)
    np.testing.assert_allclose(found.get(), M, rtol=1e-5, atol=1e-4)
    np.testing.assert_allclose(crop.get(), warp_cv(frame, found.get(), (size, size)), atol=ATOL)
    found *= 2  # callers scale it in place
    np.testing.assert_allclose(found.get(), 2 * M, rtol=1e-5, atol=2e-4)


def test_crop_matrix_is_the_least_squares_similarity():
    kps = landmarks_for(similarity(1.3, 20, -10, 5), 112) + np.random.default_rng(3).normal(0, 2, (5, 2))
    # Unknowns (a, b, tx, ty) of [[a, -b, tx], [b, a, ty]], solved independently.
    rows = [[x, -y, 1, 0] for x, y in kps] + [[y, x, 0, 1] for x, y in kps]
    a, b, tx, ty = np.linalg.lstsq(np.array(rows), TEMPLATE.T.ravel(), rcond=None)[0]
    _, found = crop_from_kps(cp.asarray(smooth(60, 60)), kps, 112)
    np.testing.assert_allclose(found.get(), [[a, -b, tx], [b, a, ty]], rtol=1e-5, atol=1e-4)


@pytest.mark.parametrize(
    "kps, size, error, message",
    [
        (np.zeros((4, 2)), 112, ValueError, "takes kps of shape (5, 2), got (4, 2)"),
        (np.full((5, 2), np.nan), 112, ValueError, "takes kps with finite values"),
        (np.full((5, 2), 7.0), 112, ValueError, "takes kps that are not all the same point"),
        (TEMPLATE, 0, ValueError, "takes a positive size, got 0"),
        (TEMPLATE, 112.0, TypeError, "Argument 'size' has incorrect type (expected int, got float)"),
        (TEMPLATE.tolist(), 112, TypeError, "takes kps as a cupy.ndarray or numpy.ndarray, got list"),
    ],
)
def test_crop_rejects_bad_arguments(kps, size, error, message):
    with pytest.raises(error) as info:
        crop_from_kps(cp.zeros((8, 8, 3), cp.float32), kps, size)
    assert message in str(info.value)
