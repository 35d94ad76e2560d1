import cupy as cp
import numpy as np
import pytest
import torch

from quorvex.upscale.blend import TileBlender
from quorvex.upscale.tile import merge_tiles, tile_image, to_batch

rng = np.random.default_rng(0)


def reference_blend(tiles, original_shape, padded_shape, scale, tile, overlap):
    """The Gaussian-weighted average of the tiles over the canvas, in float64."""
    size, step = tile * scale, (tile - overlap) * scale
    x, y = np.meshgrid(np.linspace(-1.0, 1.0, size), np.linspace(-1.0, 1.0, size))
    sigma = size // 4
    g = np.exp(-(x * x + y * y) / (2.0 * sigma * sigma))[..., None]
    canvas = np.zeros((padded_shape[0] * scale, padded_shape[1] * scale, padded_shape[2]))
    weights = np.zeros(canvas.shape[:2] + (1,))
    spots = [(y, x) for y in range(0, canvas.shape[0] - size + 1, step) for x in range(0, canvas.shape[1] - size + 1, step)]
    for t, (y, x) in zip(tiles, spots):
        canvas[y:y + size, x:x + size] += t * g
        weights[y:y + size, x:x + size] += g
    out = np.divide(canvas, weights, out=np.zeros_like(canvas), where=weights > 0)
    return out[: original_shape[0] * scale, : original_shape[1] * scale]


@pytest.mark.parametrize(
    "shape, tile, overlap, scale, batch, kind",
    [
        ((50, 70, 3), 24, 6, 2, 4, "tensor"),  # batches that wrap from one grid row into the next
        ((40, 40, 3), 16, 4, 3, 1, "cupy"),
        ((33, 61, 3), 20, 5, 1, 7, "float16"),
        ((45, 30, 3), 16, 8, 2, 5, "rgb"),  # the batch's RGB lands in the BGR canvas
        ((30, 26, 4), 12, 3, 2, 100, "tensor"),  # four channels, the whole grid in one batch
    ],
)
def test_batches_blend_to_the_weighted_average_of_merge_tiles(shape, tile, overlap, scale, batch, kind):
    image = cp.asarray(rng.random(shape, dtype=np.float32))
    tiles, padded = tile_image(image, tile, overlap)
    # Upscaled stand-ins for model outputs: distinct per tile so that a misplaced tile shows.
    outputs = [t.get().repeat(scale, 0).repeat(scale, 1) + np.float32(0.01 * i) for i, t in enumerate(tiles)]
    if kind == "float16":
        outputs = [o.astype(np.float16).astype(np.float32) for o in outputs]
    blender = TileBlender(padded, scale, tile, overlap)
    assert (blender.rows * blender.columns, blender.tile_count) == (len(tiles), len(tiles))
    whole = to_batch([cp.asarray(o) for o in outputs])
    for first in range(0, len(tiles), batch):
        part = whole[first:first + batch]
        if kind == "cupy":
            part = cp.from_dlpack(part)
        elif kind == "float16":
            part = cp.from_dlpack(part).astype(cp.float16)
        elif kind == "rgb":
            part = part[:, [2, 1, 0]]
        blender.add(part, first, rgb=kind == "rgb")
    result = blender.result(shape)
    assert result.shape == (shape[0] * scale, shape[1] * scale, shape[2]) and result.dtype == cp.float32
    expected = reference_blend(outputs, shape, padded, scale, tile, overlap)
    np.testing.assert_allclose(result.get(), expected, rtol=2e-6, atol=2e-6)
    # merge_tiles blends all tiles at once; it may add a small epsilon to the weights.
    merged = merge_tiles([cp.asarray(o) for o in outputs], shape, padded, scale, tile, overlap)
    np.testing.assert_allclose(result.get(), merged.get(), rtol=3e-3, atol=1e-5)


def test_pixels_no_tile_reached_stay_zero():
    blender = TileBlender((40, 40, 3), 2, 16, 4)  # 3 x 3 tiles of 32 output pixels, step 24
    blender.add(torch.ones(1, 3, 32, 32), 4)  # only the centre tile
    result = blender.result((40, 40, 3)).get()
    assert (result[24:56, 24:56] == 1).all()
    result[24:56, 24:56] = 0
    assert not result.any()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: b.add(torch.zeros(1, 3, 16, 16), 0), ValueError, r"batch of shape \(N, 3, 32, 32\), got \(1, 3, 16, 16\)"),
        (lambda b: b.add(torch.zeros(2, 3, 32, 32), 8), ValueError, "tiles 8 to 9 of a grid of 9"),
        (lambda b: b.add(torch.zeros(1, 3, 32, 32), -1), ValueError, "tiles -1 to -1 of a grid of 9"),
        (lambda b: b.add(np.zeros((1, 3, 32, 32), np.float32), 0), TypeError, "takes a torch.Tensor or cupy.ndarray"),
        (lambda b: b.result((40, 40)), ValueError, r"original_shape as \(height, width, channels\), got 2 items"),
        (lambda b: b.result((41, 40, 3)), ValueError, "larger than the padded image"),
        (lambda b: TileBlender((40, 40, 3), 2, 16, 16), ValueError, "0 <= overlap < tile_size"),
        (lambda b: TileBlender((40, 40, 3), 0), ValueError, "scale >= 1"),
        (lambda b: TileBlender((0, 40, 3), 2), ValueError, "sizes of at least 1"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(TileBlender((40, 40, 3), 2, 16, 4))


def test_finished_blend_refuses_more_tiles():
    blender = TileBlender((40, 40, 3), 2, 16, 4)
    blender.result((40, 40, 3))
    with pytest.raises(ValueError, match=r"TileBlender.add\(\) after result\(\)"):
        blender.add(torch.zeros(1, 3, 32, 32), 0)
