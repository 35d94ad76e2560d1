import cupy as cp
import numpy as np
import pytest

from quorvex.color.bgr import bgr_to_rgb, rgb_to_bgr


@pytest.mark.parametrize("swap", [bgr_to_rgb, rgb_to_bgr])
@pytest.mark.parametrize("channels", [3, 4])
@pytest.mark.parametrize("device", [False, True])
def test_exchanges_channels_0_and_2_only(swap, channels, device):
    host = np.arange(2 * 5 * channels, dtype=np.uint16).reshape(2, 5, channels)
    image = cp.asarray(host) if device else host
    out = swap(image)
    assert type(out) is type(image) and out.dtype == image.dtype and out.shape == image.shape
    expected = host.copy()
    expected[..., 0], expected[..., 2] = host[..., 2], host[..., 0]
    np.testing.assert_array_equal(out.get() if device else out, expected)
    assert out.flags.c_contiguous
    out[...] = 0  # a new array: the input is untouched
    assert image.max() > 0


def test_non_contiguous_input():
    host = np.random.default_rng(0).random((6, 8, 3)).astype(np.float32)
    view = cp.asarray(host)[::2, ::-1]
    np.testing.assert_array_equal(bgr_to_rgb(view).get(), host[::2, ::-1, ::-1])


@pytest.mark.parametrize("shape", [(4, 4), (4, 4, 2), (1, 4, 4, 2), (1, 1, 4, 4, 3)])
def test_refuses_what_is_not_an_image_with_three_channels(shape):
    with pytest.raises(ValueError, match="at least 3 channels"):
        bgr_to_rgb(cp.zeros(shape, cp.float32))
