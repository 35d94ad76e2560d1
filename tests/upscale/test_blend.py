import cupy as cp
import cv2
import numpy as np
import pytest
import torch
from conftest import ON_GPU
from support.sr_models import ModelBackend, compact, photo_like, rrdb, tiled_and_whole

from quorvex.cli.common import Reporter
from quorvex.cli.jobs.upscale import upscale_file
from quorvex.pipeline.upscale import TiledModel
from quorvex.upscale.blend import TileBlender
from quorvex.upscale.tile import add_padding, tile_image, to_batch
from quorvex.utils.dtypes import to_uint8, to_uint16

rng = np.random.default_rng(0)


def axis_weights(size, count, tile, overlap):
    """Per tile of an axis, its weight along it: 0 over the outer part of each overlap with a
    neighbour, a raised cosine over the middle quarter, 1 inside; float64."""
    t = np.arange(tile) + 0.5
    feather = min(overlap // 4, tile - overlap)

    def ramp(u):
        if feather == 0:
            return np.where(u > 0, 1.0, np.where(u < 0, 0.0, 0.5))
        return np.clip(0.5 + 0.5 * np.sin(np.pi * np.clip(u / feather, -0.5, 0.5)), 0, 1)

    return [(ramp(t - overlap / 2) if q else 1.0) * (ramp(tile - t - overlap / 2) if q < count - 1 else 1.0)
            for q in range(count)]


def origins(count, extent, tile, overlap):
    """Where the tiles of an axis start: every step, the last one flush with the image's end
    unless the image is shorter than a tile."""
    starts = [q * (tile - overlap) for q in range(count)]
    if extent >= tile:
        starts[-1] = min(starts[-1], extent - tile)
    return starts


def flush_tiles(image, tile, overlap):
    """The tiles TileBlender cuts, from tile_image's padded image at the origins flush with the
    image."""
    tiles, padded = tile_image(image, tile, overlap)
    rows, columns = [(n - overlap) // (tile - overlap) for n in padded[:2]]
    height, width = image.shape[:2]
    source = add_padding(image, tile, overlap)
    return [source[y:y + tile, x:x + tile] for y in origins(rows, height, tile, overlap)
            for x in origins(columns, width, tile, overlap)], padded


def reference_blend(tiles, original_shape, padded_shape, scale, tile, overlap):
    """The tiles at their flush origins, weighted where the regular grid puts them, float64; the
    weights add up to one over the image."""
    size, step, lap = tile * scale, (tile - overlap) * scale, overlap * scale
    rows, columns = [(n * scale - lap) // step for n in padded_shape[:2]]
    wy, wx = axis_weights(size, rows, size, lap), axis_weights(size, columns, size, lap)
    ys, xs = ([o * scale for o in origins(c, n, tile, overlap)] for c, n in zip((rows, columns), original_shape))
    height, width = original_shape[0] * scale, original_shape[1] * scale
    canvas = np.zeros((rows * step + size, columns * step + size, original_shape[2]))
    total = np.zeros(canvas.shape[:2])
    for i, t in enumerate(tiles):
        r, q = divmod(i, columns)
        weight = np.zeros(canvas.shape[:2])
        weight[r * step:r * step + size, q * step:q * step + size] = np.outer(wy[r], wx[q] * np.ones(size))
        placed = np.zeros(canvas.shape)
        placed[ys[r]:ys[r] + size, xs[q]:xs[q] + size] = t
        canvas += placed * weight[..., None]
        total += weight
    np.testing.assert_allclose(total[:height, :width], 1.0, atol=1e-12)
    return canvas[:height, :width]


@pytest.mark.parametrize(
    "shape, tile, overlap, scale, batch, kind",
    [
        ((50, 70, 3), 24, 6, 2, 4, "tensor"),  # batches that wrap from one grid row into the next
        ((40, 40, 3), 16, 4, 3, 1, "cupy"),
        ((33, 61, 3), 20, 5, 1, 7, "float16"),
        ((45, 30, 3), 16, 8, 2, 5, "rgb"),  # the batch's RGB lands in the BGR canvas
        ((30, 26, 4), 12, 3, 2, 100, "tensor"),  # four channels, the whole grid in one batch
        ((41, 37, 3), 16, 12, 2, 3, "cropped"),  # overlap past half the tile; a canvas of the original only
        ((24, 40, 3), 8, 0, 2, 2, "tensor"),  # no overlap
    ],
)
def test_batches_blend_to_the_position_weighted_tiles(shape, tile, overlap, scale, batch, kind):
    image = cp.asarray(rng.random(shape, dtype=np.float32))
    # A blender that is not told the original shape lays its grid over the padded one.
    tiles, padded = tile_image(image, tile, overlap)
    if kind == "cropped":
        tiles, _ = flush_tiles(image, tile, overlap)
    # Upscaled stand-ins for model outputs: distinct per tile so that a misplaced tile shows.
    outputs = [t.get().repeat(scale, 0).repeat(scale, 1) + np.float32(0.01 * i) for i, t in enumerate(tiles)]
    if kind == "float16":
        outputs = [o.astype(np.float16).astype(np.float32) for o in outputs]
    blender = TileBlender(padded, scale, tile, overlap, original_shape=shape if kind == "cropped" else None)
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
    result = blender.result(None if kind == "cropped" else shape)
    assert result.shape == (shape[0] * scale, shape[1] * scale, shape[2]) and result.dtype == cp.float32
    expected = reference_blend(outputs, shape if kind == "cropped" else padded, padded, scale, tile, overlap)
    expected = expected[:shape[0] * scale, :shape[1] * scale]
    np.testing.assert_allclose(result.get(), expected, rtol=2e-6, atol=2e-6)


@pytest.mark.parametrize(
    "shape, tile, overlap, rgb, view",
    [((50, 70, 3), 24, 6, True, False), ((9, 5, 3), 16, 4, False, False),  # mirrored past the whole image
     ((33, 40, 4), 12, 3, True, True), ((1, 30, 3), 8, 2, False, False)],
)
def test_cut_batches_equal_tile_image_and_to_batch(shape, tile, overlap, rgb, view):
    image = cp.asarray(rng.random((shape[0], shape[1] * 2, shape[2]), dtype=np.float32))
    image = image[:, ::2] if view else image[:, :shape[1]]
    tiles, padded = flush_tiles(image, tile, overlap)
    blender = TileBlender(padded, 2, tile, overlap, original_shape=shape)
    expected = to_batch(tiles).cpu().numpy()
    if rgb:
        expected[:, :3] = expected[:, 2::-1].copy()
    for first in range(0, len(tiles), 3):
        got = blender.cut(image, first, min(3, len(tiles) - first), rgb=rgb)
        assert isinstance(got, torch.Tensor)
        np.testing.assert_array_equal(got.cpu().numpy(), expected[first:first + 3])


@pytest.mark.parametrize("dtype, convert", [(np.uint8, to_uint8), (np.uint16, to_uint16)])
@pytest.mark.parametrize("cropped", [False, True])
def test_result_converts_in_place_as_to_uint(dtype, convert, cropped):
    # No overlap: the canvas holds the tiles' values as they are, ties and NaN included.
    top = np.iinfo(dtype).max
    ties = np.float32((np.arange(400) % top + 0.5) / top)
    values = np.concatenate([ties, np.nextafter(ties, 2), np.nextafter(ties, -1), [np.nan, -0.2, 1.3, np.inf]])
    shape = (37, 24, 3)
    tiles, padded = tile_image(cp.zeros(shape, cp.float32), 8, 0)
    batch = rng.choice(values, (len(tiles), 3, 8, 8)).astype(np.float32)
    blenders = [TileBlender(padded, 1, 8, 0) for _ in range(2)]
    for b in blenders:
        b.band_bytes = 24 * 3  # several bands: rows that go through the buffer, then in place
        b.add(cp.asarray(batch), 0)
    original = (35, 21, 3) if cropped else None
    expected = convert(blenders[0].result(original)).get()
    got = blenders[1].result(original, dtype=dtype)
    assert got.dtype == dtype and got.flags.c_contiguous
    np.testing.assert_array_equal(got.get(), expected)


def test_tiles_are_seamless():
    compact_x2 = compact(scale=2, num_feat=32, num_conv=8)
    # Overlap 32 covers the network's reach (ten 3x3 convolutions: 10 input pixels each side);
    # and more overlap is never less accurate.
    image, psnr = photo_like(96, 160), []
    for overlap in (8, 16, 32):
        tiled, whole = tiled_and_whole(compact_x2, image, 64, overlap)
        psnr.append(10 * np.log10(1 / np.mean((tiled - whole) ** 2)))
    np.testing.assert_allclose(tiled, whole, atol=1e-4)
    assert psnr == sorted(psnr), psnr
    # The command's defaults, up to the right and bottom edges: no tile there sees past the
    # image (the last ones lie flush with it), as the whole run sees none.
    image = photo_like(200, 240)
    for model in (compact_x2, rrdb()):
        tiled, whole = tiled_and_whole(model, image, 128, 16)
        np.testing.assert_allclose(tiled, whole, atol=3 / 65535)


def test_a_fixed_batch_model_matches_a_dynamic_one():
    class Fixed(ModelBackend):
        fixed_batch = 4

        def run(self, batch):
            assert batch.shape[0] == 4  # a partial last batch is filled up
            return super().run(batch)

    model, image = compact(scale=2), cp.asarray(photo_like(40, 60))  # 2 x 3 tiles of 24
    fixed, dynamic = (TiledModel(backend(model, 2), 24, 8, 4, Reporter(quiet=True))([image]) for backend in (Fixed, ModelBackend))
    np.testing.assert_array_equal(fixed.get(), dynamic.get())


@pytest.mark.standin
def test_device_memory_holds_the_image_the_result_and_one_batch(tmp_path):
    from quorvex.upscale.tile import to_batch as _  # noqa: F401  (its imports before the count)

    height, width, tile, overlap, batch, scale = 216, 384, 128, 16, 8, 4  # a tenth of 4K, x4
    cv2.imwrite(str(tmp_path / "in.png"), (photo_like(height, width) * 255).astype(np.uint8))
    reporter = Reporter(quiet=True)
    work = TiledModel(ModelBackend(compact(scale=scale), scale), tile, overlap, batch, reporter)
    pool = cp.get_default_memory_pool()
    pool.free_all_blocks()
    pool.standin_reset_peak()
    before = pool.used_bytes()
    upscale_file(work, reporter, tmp_path / "in.png", tmp_path / "out.png")
    image, result = height * width * 3 * 4, height * width * scale * scale * 3 * 4
    one_batch = batch * 3 * tile * tile * 4 * (1 + scale * scale)
    assert pool.standin_peak_bytes() - before <= 1.1 * (image + result + one_batch), (pool.standin_peak_bytes() - before, result)
    assert reporter.memory.peak() == pool.standin_peak_bytes()  # what the summary line reports
    assert cv2.imread(str(tmp_path / "out.png")).shape == (height * scale, width * scale, 3)


@pytest.mark.skipif(ON_GPU, reason="counts launches on the stand-in")
@pytest.mark.parametrize("first, count, launches", [(0, 3, 1), (2, 4, 2), (0, 9, 3)])
def test_one_launch_per_grid_row_a_batch_reaches(first, count, launches):
    import standin

    blender = TileBlender((40, 40, 3), 2, 16, 4)  # 3 x 3 tiles of 32 output pixels at a step of 24
    blender.add(torch.zeros(first, 3, 32, 32), 0)
    batch = torch.zeros(count, 3, 32, 32)
    with standin.counting() as counts:
        blender.add(batch, first)
    assert (counts.launches, counts.syncs) == (launches, 0)
    image = cp.zeros((40, 40, 3), cp.float32)
    with standin.counting() as counts:
        blender.cut(image, 0, 5, rgb=True)
    assert (counts.launches, counts.syncs) == (1, 0)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda b: b.add(torch.zeros(1, 3, 16, 16), 0), ValueError, r"batch of shape \(N, 3, 32, 32\), got \(1, 3, 16, 16\)"),
        (lambda b: b.add(torch.zeros(2, 3, 32, 32), 8), ValueError, "tiles 8 to 9 of a grid of 9"),
        (lambda b: b.add(torch.zeros(1, 3, 32, 32), -1), ValueError, "tiles -1 to -1 of a grid of 9"),
        (lambda b: b.add(torch.zeros(1, 3, 32, 32), 4), ValueError, "in cutting order: tile 0 is next, got 4"),
        (lambda b: b.add(np.zeros((1, 3, 32, 32), np.float32), 0), TypeError, "takes a torch.Tensor or cupy.ndarray"),
        (lambda b: b.result((40, 40)), ValueError, r"original_shape as \(height, width, channels\), got 2 items"),
        (lambda b: b.result((41, 40, 3)), ValueError, "larger than the padded image"),
        (lambda b: b.result(), ValueError, "after 0 of 9 tiles"),
        (lambda b: b.result(dtype=np.int8), ValueError, "uint8, uint16 or float32, got int8"),
        (lambda b: b.cut(cp.zeros((40, 40, 3), cp.float32), 8, 2), ValueError, "tiles 8 to 9 of a grid of 9"),
        (lambda b: b.cut(cp.zeros((40, 41, 3), cp.float32), 0, 1), ValueError, r"image of shape \(40, 40, 3\)"),
        (lambda b: b.cut(np.zeros((40, 40, 3), np.float32), 0, 1), TypeError, "image as a cupy.ndarray"),
        (lambda b: TileBlender((40, 40, 3), 2, 16, 16), ValueError, "0 <= overlap < tile_size"),
        (lambda b: TileBlender((40, 40, 3), 0), ValueError, "scale >= 1"),
        (lambda b: TileBlender((0, 40, 3), 2), ValueError, "sizes of at least 1"),
        (lambda b: TileBlender((40, 40, 3), 2, original_shape=(41, 40, 3)), ValueError, "larger than padded_shape"),
    ],
)
def test_refusals(call, error, message):
    with pytest.raises(error, match=message):
        call(TileBlender((40, 40, 3), 2, 16, 4))


def test_finished_blend_refuses_more_tiles():
    blender = TileBlender((40, 40, 3), 2, 16, 4)
    blender.add(torch.zeros(9, 3, 32, 32), 0)
    blender.result((40, 40, 3))
    with pytest.raises(ValueError, match=r"TileBlender.add\(\) after result\(\)"):
        blender.add(torch.zeros(1, 3, 32, 32), 0)
