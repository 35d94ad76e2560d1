import cupy as cp
import numpy as np
import pytest

from quorvex.utils.dtypes import to_float16, to_float32, to_uint8, to_uint16

rng = np.random.default_rng(1)
U8 = rng.integers(0, 256, (5, 7, 3)).astype(np.uint8)
U16 = rng.integers(0, 65536, (5, 7, 3)).astype(np.uint16)
F = np.array([[[-0.5, 0.0, 0.25], [0.5, 1.0, 1.5], [np.nan, 1 / 255, 0.998]]], np.float32)


@pytest.fixture(params=["host", "device"])
def kind(request):
    """Wraps a host array the way the test asks for, so every case runs on both kinds."""
    if request.param == "host":
        return lambda a: a, lambda a: a
    return cp.asarray, lambda a: a.get()


def test_integers_map_their_full_range_to_0_1(kind):
    put, get = kind
    np.testing.assert_array_equal(get(to_float32(put(U8))), U8.astype(np.float32) / np.float32(255))
    np.testing.assert_array_equal(get(to_float32(put(U16))), U16.astype(np.float32) / np.float32(65535))
    assert to_float32(put(U8)).dtype == np.float32


def test_float32_passes_through_and_other_floats_keep_values(kind):
    put, get = kind
    f32 = put(F)
    assert to_float32(f32) is f32
    np.testing.assert_array_equal(get(to_float32(put(F.astype(np.float64)))), F)
    np.testing.assert_array_equal(get(to_float16(put(F))), F.astype(np.float16))


@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.float64])
def test_floats_to_integers_round_the_exact_product_clip_and_zero_nan(kind, dtype):
    put, get = kind
    # Every k.5 / 255 and k.5 / 65535 with its float neighbours (0.30000001 * 255 lies above 76.5),
    # and out-of-range values and NaN.
    ties = np.concatenate([(np.arange(m) + 0.5) / m for m in (255, 65535)]).astype(dtype)
    x = np.concatenate([np.nextafter(ties, dtype(-1)), ties, np.nextafter(ties, dtype(2)), F.ravel().astype(dtype)])
    x = x.reshape(1, -1, 1)
    for convert, maximum, result in ((to_uint8, 255, np.uint8), (to_uint16, 65535, np.uint16)):
        expected = np.nan_to_num(np.clip(np.rint(x.astype(np.float64) * maximum), 0, maximum)).astype(result)
        out = convert(put(x))
        assert out.dtype == result
        np.testing.assert_array_equal(get(out), expected)


def test_integer_to_integer_conversions_keep_the_extremes(kind):
    put, get = kind
    np.testing.assert_array_equal(get(to_uint16(put(U8))), U8.astype(np.uint16) * 257)
    every16 = np.arange(65536).astype(np.uint16).reshape(256, 256, 1)
    np.testing.assert_array_equal(get(to_uint8(put(every16))), np.rint(every16 / 257).astype(np.uint8))
    assert get(to_uint8(put(U8))) is not None and to_uint8(put(U8)).dtype == np.uint8
    np.testing.assert_array_equal(get(to_uint8(to_uint16(put(U8)))), U8)


def test_results_stay_on_the_side_they_came_from(kind):
    put, _ = kind
    for convert in (to_float32, to_float16, to_uint8, to_uint16):
        assert type(convert(put(U8))) is type(put(U8))


@pytest.mark.parametrize("convert", [to_float32, to_float16, to_uint8, to_uint16])
def test_refusals(convert):
    with pytest.raises(ValueError, match="got int16"):
        convert(np.zeros((2, 2, 3), np.int16))
    with pytest.raises(TypeError, match="takes a cupy.ndarray or numpy.ndarray, got list"):
        convert([1, 2, 3])


def test_huge_broadcast_views_are_refused_before_their_copy_is_allocated():
    from quorvex.color.bgr import bgr_to_rgb
    from quorvex.color.grayscale import bgr_to_grayscale

    view = cp.broadcast_to(cp.zeros((1, 1, 3), cp.float16), (10**6, 10**6, 3))
    for function in (to_float32, to_uint8, to_uint16, to_float16, bgr_to_rgb, bgr_to_grayscale):
        with pytest.raises(ValueError) as caught:
            function(view)
        assert str(caught.value) == "image has 3000000000000 elements; at most 2147483647 are supported"


# Rows aligned for the wide accesses, rows that start off that alignment, and a count not a multiple of 4.
@pytest.mark.parametrize("start, size", [(0, 4096), (1, 4096), (4, 4095)])
@pytest.mark.parametrize("dtype", [np.float16, np.float32, np.uint8, np.uint16])
def test_device_conversions_equal_the_host_ones_at_any_alignment(start, size, dtype):
    values = np.concatenate([rng.uniform(-0.1, 1.1, 4096), (np.arange(255) + 0.5) / 255, [np.nan]])
    if dtype in (np.uint8, np.uint16):
        values = np.nan_to_num(np.clip(values, 0, 1)) * np.iinfo(dtype).max
    flat = values.astype(dtype)
    device, host = cp.asarray(flat)[start:start + size], flat[start:start + size]
    for convert in (to_uint8, to_uint16):
        np.testing.assert_array_equal(convert(device).get(), convert(host))
