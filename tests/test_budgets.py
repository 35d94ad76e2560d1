"""Counted budgets per public call on a 1920x1080 frame: kernel launches, synchronisations and
transfers, as the CPU stand-in counts them (on a GPU each costs host time whatever the image)."""


import cupy as cp
import numpy as np
import pytest
from support.detector_models import detector_model, face_at
from support.identity_models import embedding_map, face_crop, swap_model

import standin

pytestmark = pytest.mark.standin
tensorrt = pytest.importorskip("tensorrt")
from support.engines import engine  # noqa: E402

FACES = [face_at(16, 4 + 3 * (i // 5), 4 + 7 * (i % 5), 0.9 - 0.01 * i, 30, angle=0.1 * i) for i in range(10)]
CROP = 96


def frame():
    return cp.asarray(np.random.default_rng(0).random((1080, 1920, 3), np.float32))


def counted(call):
    call()  # compiles, builds masks and caches
    cp.cuda.runtime.deviceSynchronize()
    with standin.counting() as counts:
        call()
    return counts


def detector(faces):
    from quorvex.face.detector import TrtFaceDetection

    return TrtFaceDetection(model_bytes=engine(detector_model(9, faces=faces)))


def detect(faces):
    det, image = detector(faces), frame()
    found = []
    counts = counted(lambda: found.__setitem__(slice(None), det.get(image, CROP)))
    assert len(found) == len(faces)
    return counts


def paste(k):
    from quorvex.face.paste import PasteBack

    faces, image, paster = detector(FACES).get(frame(), CROP), frame(), PasteBack()
    if k == 0:
        return counted(lambda: paster.get(image, faces[0].image, faces[0].matrix))
    return counted(lambda: paster.get_many(image, [f.image for f in faces[:k]], [f.matrix for f in faces[:k]]))


def swap(tmp_path, monkeypatch):
    from quorvex.face.schema import QvFace
    from quorvex.face.swap import FaceSwap

    np.save(tmp_path / "emap.npy", embedding_map())
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "emap.npy"))
    swapper = FaceSwap(model_bytes=swap_model().SerializeToString(), device="cpu")
    embedding = np.random.default_rng(0).standard_normal(512).astype(np.float32)
    target = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, image=cp.asarray(face_crop(CROP, CROP)))
    source = QvFace(bbox=cp.zeros(4, cp.float32), score=0.9, normed_embedding=cp.asarray(embedding / 32.0))
    return counted(lambda: swapper.get(target, source))


def face_path(count, enhance, tmp_path, monkeypatch):
    """Swap, restore and paste count faces of a detected frame with the models on a GPU provider."""
    from support.restore_models import restorer

    from quorvex.face.enhancer import GFPGAN
    from quorvex.face.paste import PasteBack
    from quorvex.face.swap import FaceSwap, session_arguments
    from quorvex.pipeline.swap import swap_faces
    from standin._onnxruntime import gpu_providers

    gpu_providers(monkeypatch)
    np.save(tmp_path / "emap.npy", embedding_map())
    monkeypatch.setenv("QUORVEX_EMAP", str(tmp_path / "emap.npy"))
    det, image = detector(FACES), frame()
    found = det.get(image, CROP)[:count]
    swapper = FaceSwap(model_bytes=swap_model().SerializeToString(), device="cuda")
    enhancer = GFPGAN(restorer(1.0), **session_arguments("cuda")) if enhance else None
    source = found[0]
    source.normed_embedding = cp.asarray(np.random.default_rng(0).standard_normal(512).astype(np.float32))
    latent, paster = swapper.latent(source), PasteBack()
    return counted(lambda: swap_faces(image, source, det, swapper, paster, enhancer, detections=found, latent=latent))


def tiling(height):
    from quorvex.upscale.tile import batch_to_tile, merge_tiles, tile_image, to_batch

    image = cp.asarray(np.random.default_rng(0).random((height, 1920, 3), np.float32))

    def round_trip():
        tiles, padded = tile_image(image, 128, 16)
        merge_tiles(batch_to_tile(to_batch(tiles)), image.shape, padded, 1, 128, 16)

    return counted(round_trip)


def merging():
    from quorvex.upscale.tile import merge_tiles, tile_image

    image = cp.asarray(np.random.default_rng(0).random((270, 480, 3), np.float32))
    tiles, padded = tile_image(image, 128, 16)
    return counted(lambda: merge_tiles(tiles, image.shape, padded, 1, 128, 16))


def grayscale():
    from quorvex.color.grayscale import bgr_to_grayscale

    image = frame()
    return counted(lambda: bgr_to_grayscale(image))


def video_frame(tmp_path, pixel_format):
    av = pytest.importorskip("av")
    from quorvex.io.video import VideoReader

    path = tmp_path / "frames.mkv"
    black = av.VideoFrame.from_ndarray(np.zeros((1080, 1920, 3), np.uint8), "bgr24").reformat(format=pixel_format)
    with av.open(str(path), "w") as container:
        stream = container.add_stream("ffv1", rate=25)
        stream.width, stream.height, stream.pix_fmt = 1920, 1080, pixel_format
        for _ in range(2):
            container.mux(stream.encode(black))
        container.mux(stream.encode())
    with VideoReader(path) as reader:
        return counted(lambda: next(reader))


BLOB = 3 * 128 * 128 * 4  # the swap network's input and output, float32


@pytest.mark.parametrize(
    "path, count, budget",
    [
        ("detector, 10 faces", lambda *_: detect(FACES), dict(launches=25, syncs=2, downloads=2, uploads=2)),
        ("detector, no faces", lambda *_: detect([]), dict(launches=12, syncs=1, downloads=1, uploads=0)),
        ("paste, one face", lambda *_: paste(0), dict(launches=4, syncs=0, downloads=0, uploads=0)),
        ("paste, 10 faces", lambda *_: paste(10), dict(launches=4, syncs=0, downloads=0, uploads=0)),
        ("swap", swap, dict(launches=6, syncs=1, downloads=1, uploads=1, upload_bytes=BLOB)),
        # after detection, the models on a GPU provider: no crop crosses to the host
        ("face path, one face", lambda *args: face_path(1, False, *args), dict(launches=12, syncs=1, downloads=0)),
        ("face path, 10 faces + enhancer", lambda *args: face_path(10, True, *args), dict(launches=30, syncs=2, downloads=0)),
        ("BGR grayscale", lambda *_: grayscale(), dict(launches=1, syncs=0, downloads=0, uploads=0)),
        ("tiling, 1080 rows", lambda *_: tiling(1080), dict(syncs=0, downloads=0, uploads=2)),
        ("merge_tiles", lambda *_: merging(), dict(launches=3, syncs=0, downloads=0, uploads=1)),
        # the decoded planes up, one kernel to BGR
        ("VideoReader, yuv444p10le", lambda tmp_path, _: video_frame(tmp_path, "yuv444p10le"),
         dict(launches=1, syncs=0, downloads=0, uploads=3)),
        ("VideoReader, yuv420p12le", lambda tmp_path, _: video_frame(tmp_path, "yuv420p12le"),
         dict(launches=1, syncs=0, downloads=0, uploads=3)),
    ],
)
def test_budgets(path, count, budget, tmp_path, monkeypatch):
    counts = count(tmp_path, monkeypatch)
    over = {k: (getattr(counts, k), v) for k, v in budget.items() if getattr(counts, k) > v}
    assert not over, "%s over budget (counted, budget): %s" % (path, over)
    if path == "detector, 10 faces":
        assert counts.kernels["affine_batch_kernel"] == 1 and counts.kernels["affine_linear_kernel"] == 0
    if path.startswith("VideoReader"):  # converted by the planar kernel, not by FFmpeg on the CPU
        assert counts.kernels["planar16_decode_kernel"] == 1
    if path == "swap":  # the download is the crop's blob with the latent and its length
        assert BLOB < counts.download_bytes < BLOB + 4096
    if path == "paste, 10 faces":  # k faces in the launches of one
        assert counts.launches == paste(1).launches
    if path.startswith("tiling"):  # 170 tiles in the launches and transfers of 85 (a table per call)
        assert (counts.launches, counts.uploads) == (lambda c: (c.launches, c.uploads))(tiling(540))


def test_batched_crops_and_paste_match_the_single_face_path():
    from quorvex.face.paste import PasteBack

    det, image = detector(FACES), frame()
    faces = det.get(image, CROP)
    for face in faces[:3]:  # faces well inside the frame: the stored landmarks are the unclipped ones
        crop, matrix = det.crop(image, face.kps.get(), CROP)
        np.testing.assert_array_equal(face.image.get(), crop.get())
        np.testing.assert_allclose(face.matrix.get(), matrix.get(), rtol=1e-6)
    paster = PasteBack()
    one_by_one = image
    for face in faces:
        one_by_one = paster.get(one_by_one, face.image * 0.5, face.matrix)
    together = paster.get_many(image, cp.stack([f.image * 0.5 for f in faces]), cp.stack([f.matrix for f in faces]))
    np.testing.assert_array_equal(together.get(), one_by_one.get())


FLOAT_RESULTS = ("bgr_to_grayscale", "bgr_to_hsv")  # of any image type, as of its to_float32


def one_pass_calls():
    from quorvex.color.grayscale import bgr_to_grayscale
    from quorvex.color.hsv import bgr_to_hsv
    from quorvex.color.yuv import bgr_to_nv12
    from quorvex.filter.gaussian import GaussianBlur
    from quorvex.transform.affine import affine_transform
    from quorvex.transform.resize import INTER_LANCZOS4, resize
    from quorvex.utils.blob import to_blob

    M = np.array([[0.9, 0.1, 5.0], [-0.1, 0.9, 7.0]])
    blur, device_M = GaussianBlur(), cp.asarray(M)
    return {
        "resize": lambda image: resize(image, (120, 68)),
        "resize LANCZOS4": lambda image: resize(image, (300, 169), INTER_LANCZOS4),
        "affine_transform": lambda image: affine_transform(image, M, (135, 240)),
        "affine_transform, device M": lambda image: affine_transform(image, device_M, (135, 240)),
        "GaussianBlur.get": lambda image: blur.get(image, 31, 0),
        "to_blob with a size": lambda image: to_blob(image, 1 / 255, (64, 64), (0.5, 0.5, 0.5), True),
        "bgr_to_nv12": bgr_to_nv12,
        "bgr_to_grayscale": bgr_to_grayscale,
        "bgr_to_hsv": bgr_to_hsv,
    }


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.uint8, np.uint16])
@pytest.mark.parametrize("name", list(one_pass_calls()))
def test_images_of_every_element_type_in_one_pass(name, dtype):
    # The kernel reads the image's own type and writes the result's: no conversion around it, no
    # sync; a device matrix is inverted inside the warp's launch. The counts do not depend on the
    # size: a small frame keeps the CPU stand-in quick.
    top = np.iinfo(dtype).max if dtype in (np.uint8, np.uint16) else 1
    image = cp.asarray((np.random.default_rng(0).random((135, 240, 3)) * top).astype(dtype))
    call = one_pass_calls()[name]
    counts = counted(lambda: call(image))
    assert (counts.launches, counts.syncs, counts.downloads, counts.uploads) == (1, 0, 0, 0), counts
    result = call(image)
    if name == "bgr_to_nv12":  # 8-bit code planes whatever the image
        assert [plane.dtype for plane in result] == [np.uint8, np.uint8]
    elif name in FLOAT_RESULTS:
        from quorvex.utils.dtypes import to_float32

        np.testing.assert_array_equal(result.get(), call(to_float32(image)).get())
    else:
        assert result.dtype == dtype


@pytest.mark.parametrize("convert, dtype", [("to_uint8", t) for t in (np.float32, np.float16, np.float64, np.uint16)]
                         + [("to_uint16", t) for t in (np.float32, np.float16, np.float64, np.uint8)])
def test_integer_conversions_take_one_launch(convert, dtype):
    from quorvex.utils import dtypes

    image = cp.asarray(np.random.default_rng(0).random((135, 240, 3)).astype(dtype))
    counts = counted(lambda: getattr(dtypes, convert)(image))
    assert (counts.launches, counts.syncs, counts.downloads, counts.uploads) == (1, 0, 0, 0), counts


# A batch in the launches of one image, equal to the images one by one.
@pytest.mark.parametrize("name, call", [
    ("bgr_to_rgb", lambda x: __import__("quorvex.color.bgr", fromlist=["_"]).bgr_to_rgb(x)),
    ("bgr_to_hsv", lambda x: __import__("quorvex.color.hsv", fromlist=["_"]).bgr_to_hsv(x)),
    ("hsv_to_bgr", lambda x: __import__("quorvex.color.hsv", fromlist=["_"]).hsv_to_bgr(x * 360)),
    ("blur k=7", lambda x: __import__("quorvex.filter.gaussian", fromlist=["_"]).GaussianBlur().get(x, 7, 1.5)),
    ("blur k=41", lambda x: __import__("quorvex.filter.gaussian", fromlist=["_"]).GaussianBlur().get(x, 41, 8.0)),
    ("affine", lambda x: __import__("quorvex.transform.affine", fromlist=["_"]).affine_transform(
        x, np.array([[0.6, 0.2, 3.0], [-0.1, 0.7, 2.0]]), (30, 44))),
])
def test_a_batch_takes_one_image_s_launches(name, call):
    batch = cp.asarray(np.random.default_rng(1).random((3, 40, 56, 3), np.float32))
    one, many = counted(lambda: call(batch[0])), counted(lambda: call(batch))
    assert many.launches == one.launches and many.syncs == one.syncs == 0
    np.testing.assert_array_equal(call(batch).get(), np.stack([call(image).get() for image in batch]))
