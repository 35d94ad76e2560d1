import cupy as cp
import numpy as np
import pytest
from support.restore_models import restorer

from quorvex.face.enhancer import GFPGAN
from quorvex.transform.resize import INTER_AUTO, resize


@pytest.fixture(scope="module")
def identity():
    return GFPGAN(restorer(1.0), "ignored", providers=["CPUExecutionProvider"])


def crop(height, width, seed=0):
    return cp.asarray(np.random.default_rng(seed).random((height, width, 3)).astype(np.float32))


@pytest.mark.parametrize("shape", [(300, 200), (512, 512), (64, 100)])
def test_any_crop_comes_back_512_square_in_bgr(identity, shape):
    image = crop(*shape)
    out = identity.get(image)
    assert out.shape == (512, 512, 3) and out.dtype == cp.float32
    # With an identity network the result is the crop resized (channel order kept).
    np.testing.assert_allclose(out.get(), resize(image, (512, 512), INTER_AUTO).get(), atol=1e-6)


@pytest.mark.parametrize("density, shrunk", [(2, 200), (1, None), (0, None), (-3, None)])
def test_density_shrinks_first(identity, density, shrunk):
    image = crop(300, 400)
    expected = image if shrunk is None else resize(image, (shrunk, shrunk), INTER_AUTO)
    np.testing.assert_allclose(identity.get(image, density).get(), resize(expected, (512, 512), INTER_AUTO).get(),
                               atol=1e-6)


def test_outputs_beyond_the_range_are_clipped():
    out = GFPGAN(restorer(3.0)).get(crop(50, 50)).get()
    assert out.min() >= 0.0 and out.max() <= 1.0
    assert (out == 0.0).any() and (out == 1.0).any()


@pytest.mark.parametrize("density", [2.0, True, None])
def test_density_must_be_exactly_an_int(identity, density):
    with pytest.raises(TypeError, match="Argument 'density' has incorrect type"):
        identity.get(crop(10, 10), density)
