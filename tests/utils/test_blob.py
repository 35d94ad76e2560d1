import cupy as cp
import numpy as np
import pytest

from quorvex.transform.resize import resize
from quorvex.utils.blob import to_blob, to_blobs

rng = np.random.default_rng(0)
IMAGE = rng.random((20, 30, 3)).astype(np.float32)


def reference(image, scalefactor=1.0, size=None, mean=(0, 0, 0), swap=False):
    """The blob computed the long way: resize, swap, subtract, scale, channels first."""
    img = cp.asarray(image)
    if size is not None:
        img = resize(img, (size[1], size[0]))
    img = img.get().astype(np.float64)
    if swap:
        img = img[..., [2, 1, 0]]
    return ((img - np.asarray(mean, np.float32)) * scalefactor).transpose(2, 0, 1)[None]


def test_defaults_reorder_only():
    blob = to_blob(cp.asarray(IMAGE))
    assert blob.shape == (1, 3, 20, 30) and blob.dtype == cp.float32
    np.testing.assert_array_equal(blob.get()[0], IMAGE.transpose(2, 0, 1))


@pytest.mark.parametrize(
    "kwargs",
    [
        dict(size=(112, 96)),
        dict(mean=(0.5, 0.5, 0.5), scalefactor=2.0),
        dict(mean=(0.1, 0.2, 0.3), scalefactor=1 / 0.5019607843137255, swapRB=True),
        dict(size=(7, 9), swapRB=True, mean=[0.5, 0.25, 0.0]),
    ],
)
def test_against_the_long_way(kwargs):
    blob = to_blob(cp.asarray(IMAGE), **kwargs)
    expected = reference(IMAGE, kwargs.get("scalefactor", 1.0), kwargs.get("size"), kwargs.get("mean", (0, 0, 0)),
                         kwargs.get("swapRB", False))
    assert blob.shape == expected.shape
    np.testing.assert_allclose(blob.get(), expected, atol=1e-6)
    if "size" in kwargs:
        assert blob.shape[2:] == kwargs["size"]


def test_mean_and_scale_map_0_1_to_minus_1_1_and_fp16_changes_nothing():
    ramp = cp.asarray(np.linspace(0, 1, 12, dtype=np.float32).reshape(2, 2, 3))
    blob = to_blob(ramp, 2.0, None, (0.5, 0.5, 0.5), False, False)
    assert float(blob.min()) == -1.0 and float(blob.max()) == 1.0
    np.testing.assert_array_equal(to_blob(ramp, 2.0, None, (0.5, 0.5, 0.5), False, True).get(), blob.get())


@pytest.mark.parametrize("size", [None, (12, 17), (41, 50)])
@pytest.mark.parametrize("dtype", [np.float64, np.uint8, np.uint16, np.float16])
def test_other_element_types_keep_their_type(dtype, size):
    # In one pass for all but float64: the resized pixel as resize returns it, then (x - mean) *
    # scale in float32, rounded to the element type (integers half to even, saturated: pixels
    # below the mean give 0, not a wrapped-around value).
    image = (IMAGE * 200).astype(dtype)
    blob = to_blob(cp.asarray(image), scalefactor=0.5, size=size, mean=(10, 20, 30), swapRB=True)
    assert blob.dtype == dtype and blob.shape == (1, 3) + (size or (20, 30))
    resized = cp.asarray(image) if size is None else resize(cp.asarray(image), size[::-1])
    if dtype == np.float64:
        expected = (resized.get()[..., ::-1] - np.asarray([10, 20, 30], dtype)) * 0.5
    else:
        expected = (resized.get()[..., ::-1].astype(np.float32) - np.float32([10, 20, 30])) * np.float32(0.5)
        if dtype != np.float16:
            expected = np.clip(np.rint(expected), 0, np.iinfo(dtype).max)
    np.testing.assert_array_equal(blob.get(), expected.astype(dtype).transpose(2, 0, 1)[None])


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: to_blob(None), TypeError, "to_blob() takes image as a cupy.ndarray, got NoneType"),
        (lambda: to_blob([[1, 2]]), TypeError, "to_blob() takes image as a cupy.ndarray, got list"),
        (lambda: to_blob("image.png"), TypeError, "to_blob() takes image as a cupy.ndarray, got str"),
        (lambda: to_blobs([IMAGE]), TypeError, "to_blobs() takes images' entries as a cupy.ndarray, got numpy.ndarray"),
        (lambda: to_blobs(cp.asarray(IMAGE)), TypeError, "Argument 'images' has incorrect type (expected list, got ndarray)"),
        (lambda: to_blob(cp.asarray(IMAGE), size=(0, 4)), ValueError, "to_blob() takes size as (height, width), two positive ints, or None; got (0, 4)"),
        (lambda: to_blob(cp.asarray(IMAGE), size=(10**6, 10**6)), ValueError, "the blob has 3000000000000 elements"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


def test_to_blobs_stacks_in_order():
    images = [cp.asarray(rng.random((10, 8, 3)).astype(np.float32)) for _ in range(3)]
    batch = to_blobs(images, 1 / 255, (16, 12), (0.5, 0.5, 0.5), True)
    assert batch.shape == (3, 3, 16, 12)
    for i, image in enumerate(images):
        np.testing.assert_array_equal(batch[i].get(), to_blob(image, 1 / 255, (16, 12), (0.5, 0.5, 0.5), True)[0].get())


def test_to_blobs_of_nothing_fails_in_the_concatenation():
    with pytest.raises(ValueError):
        to_blobs([])
