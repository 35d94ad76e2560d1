import pathlib
import runpy

import cupy as cp
import numpy as np
import pytest
import torch
from support.sr_models import compact

from quorvex.upscale.tile import add_padding, batch_to_tile, create_gaussian_weights, merge_tiles, tile_image, to_batch

ROOT = pathlib.Path(__file__).resolve().parents[2]
rng = np.random.default_rng(0)


# NumPy references: the padding, the weight formula and the blend written out directly.
def reference_padding(image, tile=128, overlap=16):
    step = tile - overlap
    pads = [max(tile - n, (step - (n - overlap) % step) % step) for n in image.shape[:2]]  # at least one tile
    return np.pad(image, ((0, pads[0]), (0, pads[1]), (0, 0)), mode="reflect")


def reference_weights(size, sigma):
    x, y = np.meshgrid(np.linspace(-1.0, 1.0, size), np.linspace(-1.0, 1.0, size))
    g = np.exp(-(x * x + y * y) / (2.0 * sigma * sigma))
    return (g / g.sum())[..., None]


def as_float32(array):
    scale = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}.get(array.dtype)
    return array.astype(np.float32) / np.float32(scale) if scale else array.astype(np.float32)


def grid(height, width, size, step):
    return [(y, x) for y in range(0, height - size + 1, step) for x in range(0, width - size + 1, step)]


def reference_merge(tiles, original_shape, padded_shape, scale, tile=128, overlap=16):
    """The weighted average in float64; 0 where no tile covers."""
    size, step = tile * scale, (tile - overlap) * scale
    g = reference_weights(size, size // 4)
    merged = np.zeros((padded_shape[0] * scale, padded_shape[1] * scale, padded_shape[2]))
    total = np.zeros(merged.shape[:2] + (1,))
    for i, (y, x) in enumerate(grid(merged.shape[0], merged.shape[1], size, step)):
        merged[y:y + size, x:x + size] += as_float32(tiles[i]) * g
        total[y:y + size, x:x + size] += g
    merged = np.divide(merged, total, out=np.zeros_like(merged), where=total > 0)
    return merged[:original_shape[0] * scale, :original_shape[1] * scale]


def random_image(shape, dtype=np.float32):
    if np.dtype(dtype).kind in "ub":
        return rng.integers(0, np.iinfo(dtype).max + 1 if dtype != np.bool_ else 2, shape).astype(dtype)
    return rng.random(shape).astype(dtype)


@pytest.mark.parametrize(
    "shape, dtype, tile, overlap, padded",
    [
        ((300, 500, 3), np.float32, 128, 16, (352, 576, 3)),  # 112 - 284 % 112 = 52, 112 - 484 % 112 = 76
        ((240, 240, 3), np.float32, 128, 16, (240, 240, 3)),  # already on the grid
        ((5, 7, 3), np.uint8, 128, 16, (128, 128, 3)),  # up to one tile: repeated reflection
        ((1, 3, 4), np.float16, 32, 4, (32, 32, 4)),  # a one-pixel axis repeats its pixel
        ((10, 1000, 3), np.float32, 128, 16, (128, 1024, 3)),  # a side no longer than the overlap
        ((37, 29, 3), np.uint16, 20, 4, (52, 36, 3)),
    ],
)
def test_add_padding_reflects_at_the_bottom_and_right(shape, dtype, tile, overlap, padded):
    image = random_image(shape, dtype)
    out = add_padding(cp.asarray(image), tile, overlap)
    assert isinstance(out, cp.ndarray) and out.shape == padded and out.dtype == dtype
    np.testing.assert_array_equal(out.get(), reference_padding(image, tile, overlap))
    np.testing.assert_array_equal(add_padding(cp.asarray(image)[::-1], tile, overlap).get(),
                                  reference_padding(image[::-1], tile, overlap))


@pytest.mark.parametrize("shape, count", [((300, 500, 3), 15), ((16, 500, 3), 5), ((1, 1, 3), 1)])
def test_tile_image_cuts_views_of_the_padded_image_row_by_row(shape, count):
    image = random_image(shape)
    tiles, padded_shape = tile_image(cp.asarray(image))
    padded = reference_padding(image)
    assert padded_shape == padded.shape and isinstance(padded_shape, tuple) and len(tiles) == count
    for tile, (y, x) in zip(tiles, grid(*padded.shape[:2], 128, 112)):
        np.testing.assert_array_equal(tile.get(), padded[y:y + 128, x:x + 128])
        assert tile.base is tiles[0].base and tile.base.shape == padded_shape


@pytest.mark.parametrize("size, sigma", [(129, 32), (513, 128), (7, 1)])  # odd: a centre sample
def test_gaussian_weights_follow_the_formula(size, sigma):
    weights = create_gaussian_weights(size, sigma)
    assert weights.shape == (size, size, 1) and weights.dtype == cp.float64
    np.testing.assert_allclose(weights.get(), reference_weights(size, sigma), rtol=1e-12)
    assert float(weights.sum()) == pytest.approx(1.0, abs=1e-12)
    # corner / centre = exp(-1 / sigma^2): sigma acts on the coordinates -1..1
    assert float(weights[0, 0, 0] / weights[size // 2, size // 2, 0]) == pytest.approx(np.exp(-1 / sigma**2), rel=1e-9)


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.float64, np.uint8, np.uint16, np.bool_])
def test_merge_matches_the_numpy_blend_for_every_tile_type(dtype):
    tiles = [random_image((512, 512, 3), dtype) for _ in range(15)]
    if dtype == np.float16:
        tiles[0][:2, :2] = np.array([6e-8, 1e-5, 65504, -2.5], np.float16).reshape(2, 2, 1)  # subnormals, max
    out = merge_tiles([cp.asarray(t) for t in tiles], (300, 500, 3), (352, 576, 3), 4)
    assert isinstance(out, cp.ndarray) and out.shape == (1200, 2000, 3) and out.dtype == cp.float32
    np.testing.assert_allclose(out.get(), reference_merge(tiles, (300, 500, 3), (352, 576, 3), 4), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize(
    "shape, tile, overlap, scale",
    [
        ((300, 500, 3), 128, 16, 4),
        ((97, 203, 1), 40, 0, 1),
        ((10, 1000, 3), 128, 16, 2),  # thinner than the overlap
        ((1, 1, 3), 16, 4, 3),
        ((37, 53, 3), 8, 7, 2),  # step 1: 64 tiles over most pixels
    ],
)
def test_tiles_that_agree_merge_to_their_values(shape, tile, overlap, scale):
    image = random_image(shape)
    tiles, padded_shape = tile_image(cp.asarray(image), tile, overlap)
    upscaled = [cp.repeat(cp.repeat(t, scale, 0), scale, 1) for t in tiles]  # an exact nearest-neighbour model
    out = merge_tiles(upscaled, shape, padded_shape, scale, tile, overlap).get()
    np.testing.assert_allclose(out, np.repeat(np.repeat(image, scale, 0), scale, 1), rtol=1e-6, atol=0)
    # Rows below the grid (fewer than a step, so no tile is added) stay 0.
    taller = (padded_shape[0] + tile - overlap - 1,) + padded_shape[1:]
    out = merge_tiles(upscaled, taller, taller, scale, tile, overlap).get()
    assert out.shape[0] == taller[0] * scale and not out[padded_shape[0] * scale:].any()


def test_merge_reads_strided_and_single_channel_tiles_and_ignores_extra_ones():
    tiles = [random_image((160, 80, 3)) for _ in range(8)] + [random_image((160, 80, 3))]
    expected = reference_merge([t[::2] for t in tiles], (50, 100, 3), (68, 124, 3), 2, 40, 12)
    out = merge_tiles([cp.asarray(t)[::2] for t in tiles], (50, 100, 3), (68, 124, 3), 2, 40, 12)
    np.testing.assert_allclose(out.get(), expected, atol=1e-6)
    gray = [random_image((80, 80, 1)) for _ in range(8)]  # spread over the channels, as broadcasting would
    expected = reference_merge([np.repeat(t, 3, 2) for t in gray], (50, 100, 3), (68, 124, 3), 2, 40, 12)
    out = merge_tiles([cp.asarray(t) for t in gray], (50, 100, 3), (68, 124, 3), 2, 40, 12)
    np.testing.assert_allclose(out.get(), expected, atol=1e-6)


@pytest.mark.parametrize("dtype", [np.float32, np.uint8])
def test_to_batch_and_back(dtype):
    image = random_image((200, 300, 3), dtype)
    tiles, _ = tile_image(cp.asarray(image), 64, 8)
    batch = to_batch(tiles)
    assert batch.dtype == torch.float32 and batch.is_contiguous() and batch.device == torch.empty(0, device="cuda:0").device
    padded = as_float32(reference_padding(image, 64, 8))
    expected = np.stack([padded[y:y + 64, x:x + 64] for y, x in grid(*padded.shape[:2], 64, 56)])
    np.testing.assert_array_equal(batch.cpu().numpy(), expected.transpose(0, 3, 1, 2))
    back = batch_to_tile(batch[:, :1])  # one channel stays an axis
    assert [t.shape for t in back] == [(64, 64, 1)] * len(tiles)
    batch.mul_(2)  # the tiles share the batch's memory
    np.testing.assert_array_equal(back[-1].get(), 2 * expected[-1][..., :1])


def type_name(obj):
    """The type name the interpreter prints in its messages."""
    kind = type(obj)
    return kind.__name__ if kind.__flags__ & (1 << 9) else f"{kind.__module__}.{kind.__qualname__}"


Z = cp.zeros((40, 40, 3), cp.float32)
GRID = ((50, 100, 3), (68, 124, 3), 1, 40, 12)  # 8 tiles of 40 x 40


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: merge_tiles([Z] * 7, *GRID), ValueError, "merge_tiles() takes at least as many tiles as padded_shape holds (8: 2 rows of 4), got 7"),
        (lambda: create_gaussian_weights(10**6, 1), ValueError, "create_gaussian_weights() takes size of at most 46340 (a size x size grid), got 1000000"),
        (lambda: merge_tiles([Z] * 8, (50, 100), *GRID[1:]), ValueError,
         "merge_tiles() needs original_shape as (height, width, channels), got 2 items"),
        (lambda: merge_tiles([Z] * 8, GRID[0], (68,), *GRID[2:]), ValueError,
         "merge_tiles() needs padded_shape as (height, width, channels), got 1 item"),
        (lambda: merge_tiles([Z] * 8, *GRID[:3], 40, 40), ValueError,
         "merge_tiles() needs 0 <= overlap < tile_size (got overlap=40, tile_size=40)"),
        (lambda: merge_tiles([Z] * 8, *GRID[:3], 40, -1), ValueError,
         "merge_tiles() needs 0 <= overlap < tile_size (got overlap=-1, tile_size=40)"),
        (lambda: merge_tiles([Z] * 8, *GRID[:2], 0, 40, 12), ValueError, "merge_tiles() needs scale >= 1 (got 0)"),
        (lambda: merge_tiles([Z[:3, :3]], (3, 3, 3), (3, 3, 3), 1, 3, 0), ValueError,
         "merge_tiles() needs tile_size * scale >= 4 for a Gaussian sigma of at least 1 (got tile_size=3, scale=1)"),
        (lambda: merge_tiles([Z] * 8, (10, 500, 3), (10, 500, 3), 1, 40, 12), ValueError,
         "merge_tiles() needs a padded_shape that holds at least one 40 x 40 tile, got (10, 500, 3)"),
        (lambda: create_gaussian_weights(3, 0), ValueError, "create_gaussian_weights() needs sigma >= 1 (got 0)"),
        (lambda: merge_tiles([Z] * 8, *GRID[:2], 2, 40, 12), ValueError,
         "merge_tiles() needs tiles of shape (80, 80, 3) at scale 2, got (40, 40, 3)"),
        (lambda: merge_tiles([Z] * 7 + [cp.zeros((40, 40, 4))], *GRID), ValueError,
         "merge_tiles() takes tiles of one shape; tile 0 is (40, 40, 3), tile 7 is (40, 40, 4)"),
        (lambda: merge_tiles([Z, Z.get()] + [Z] * 6, *GRID), TypeError,
         "merge_tiles() takes tiles as cupy.ndarray; tile 1 is numpy.ndarray"),
        (lambda: to_batch([cp.zeros((8, 8))]), ValueError,
         "to_batch() takes (height, width, channels) tiles; tile 0 has shape (8, 8)"),
        (lambda: batch_to_tile(Z), TypeError, f"batch_to_tile() takes a torch.Tensor (N, C, H, W), got {type_name(Z)}"),
        (lambda: batch_to_tile(torch.zeros(3, 4, 4)), ValueError,
         "batch_to_tile() takes a (N, C, H, W) tensor, got 3 dimensions"),
        (lambda: tile_image(Z, 64, 64), ValueError,
         "tile_image() needs 0 <= overlap < tile_size (got overlap=64, tile_size=64)"),
        (lambda: add_padding(Z, 16, 20), ValueError,
         "add_padding() needs 0 <= overlap < patch_size (got overlap=20, patch_size=16)"),
        (lambda: tile_image(Z[..., 0]), ValueError, "need more than 2 values to unpack"),
        (lambda: add_padding(Z[None]), ValueError, "too many values to unpack (expected 3)"),
        (lambda: add_padding(Z[:0]), ValueError, "can't extend empty axis 0 using modes other than 'constant' or 'empty'"),
        # the host's own argument handling
        (lambda: tile_image(), TypeError, "tile_image() takes at least 1 positional argument (0 given)"),
        (lambda: merge_tiles([], (1, 1, 1), (1, 1, 1)), TypeError, "merge_tiles() takes at least 4 positional arguments (3 given)"),
        (lambda: create_gaussian_weights(8), TypeError, "create_gaussian_weights() takes exactly 2 positional arguments (1 given)"),
        (lambda: add_padding(Z, overlap=True), TypeError,
         "Argument 'overlap' has incorrect type (expected int, got bool). Subclasses of built-in types are not accepted."),
        (lambda: merge_tiles((), (1, 1, 1), (1, 1, 1), 1), TypeError,
         "Argument 'tiles' has incorrect type (expected list, got tuple)"),
        (lambda: merge_tiles([], [1, 1, 1], (1, 1, 1), 1), TypeError,
         "Argument 'original_shape' has incorrect type (expected tuple, got list)"),
        (lambda: merge_tiles([], (1, 1, 1), (1, 1, 1), None), TypeError,
         "Argument 'scale' has incorrect type (expected int, got NoneType)"),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as caught:
        call()
    assert type(caught.value) is error and str(caught.value) == message


def test_to_batch_of_no_tiles_fails_as_the_tensor_library_does():
    with pytest.raises(Exception) as expected:
        torch.cat([], dim=0)
    with pytest.raises(expected.type) as caught:
        to_batch([])
    assert str(caught.value) == str(expected.value)


def receptive_clean(length, size, step, radius, image_length):
    """Positions that every covering tile sees with the model's whole receptive field inside it
    (the image start pads alike; past the image end the tiles see reflections)."""
    p = np.arange(length)
    clean = image_length - p > radius
    for start in range(0, length - size + 1, step):
        inside = (p >= start) & (p < start + size)
        clean &= ~(inside & (((p - start < radius) & (start > 0)) | (start + size - p <= radius)))
    return clean


def test_a_scale_4_model_tile_by_tile_matches_the_whole_image():
    pytest.importorskip("spandrel")
    model = compact(scale=4, num_feat=4, num_conv=1).to("cuda")  # 3 convolutions: 3 pixels each way
    image = random_image((1000, 1000, 3))
    tiles, padded_shape = tile_image(cp.asarray(image), 128, 16)
    with torch.no_grad():
        out_tiles = batch_to_tile(model(to_batch(tiles)))
        whole = model(torch.as_tensor(image, device="cuda").permute(2, 0, 1)[None])[0].permute(1, 2, 0).cpu().numpy()
    tiled = merge_tiles(out_tiles, image.shape, padded_shape, 4, 128, 16).get()
    assert tiled.shape == whole.shape == (4000, 4000, 3)
    scale = np.abs(whole).max()
    # The blend of these very tiles, everywhere, against the NumPy blend.
    assert np.abs(tiled - reference_merge([t.get() for t in out_tiles], image.shape, padded_shape, 4)).max() <= 2e-6 * scale

    difference = np.abs(tiled - whole) / scale
    rows = receptive_clean(padded_shape[0], 128, 112, 3, 1000)[:1000]
    columns = receptive_clean(padded_shape[1], 128, 112, 3, 1000)[:1000]
    clean = np.kron(rows[:, None] & columns[None, :], np.ones((4, 4), bool))
    assert clean.mean() > 0.85
    # Where every covering tile saw the whole receptive field, each gives the whole-image value
    # and only float32 noise remains (measured 2.0e-7 of the output range); a lost, shifted or
    # wrongly weighted tile is off by far more.
    assert difference[clean].max() <= 2e-6
    # Within 3 input pixels of a tile edge (or of the image end) a tile's zero padding changes
    # its result and the blend averages it with the neighbour's (measured 0.107 of the range).
    assert difference[~clean].max() <= 0.15


@pytest.mark.standin
def test_tiling_benchmark_runs_and_reports_every_step():
    rows = runpy.run_path(str(ROOT / "benchmarks" / "tiling.py"))["run_tiling"](200, 120, 1, num_feat=4, num_conv=1)
    assert [row["name"] for row in rows] == ["tile_image", "to_batch", "batch_to_tile", "merge_tiles", "round trip"]
    assert all(row["seconds"] > 0 and row["tiles_per_second"] > 0 for row in rows) and rows[-1]["tiles"] == 2
