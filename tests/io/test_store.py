"""Image files written by store, read back with OpenCV and OpenEXR."""

import os
import subprocess
import sys

import cupy as cp
import cv2
import numpy as np
import pytest
import torch

from quorvex.io.store import store

try:
    import OpenEXR
except ImportError:  # a small wheel, not on every test machine
    OpenEXR = None
needs_openexr = pytest.mark.skipif(OpenEXR is None, reason="OpenEXR is not installed")

H, W = 24, 40
KINDS = ["device", "host", "tensor"]


def smooth():
    """BGR gradients with distinct channels."""
    y, x = np.mgrid[0:H, 0:W].astype(np.float32)
    return np.stack([x / (W - 1), y / (H - 1), (x + y) / (W + H - 2)], axis=-1)


def noisy(seed=0):
    return np.random.default_rng(seed).random((H, W, 3), dtype=np.float32)


def as_kind(image, kind):
    if kind == "device":
        return cp.asarray(image)
    return torch.as_tensor(image).permute(2, 0, 1).unsqueeze(0) if kind == "tensor" else image


# The package's float convention: 0..1 spans the integer range, rounded to nearest.
def to_uint8(image):
    return np.clip(np.rint(image.astype(np.float64) * 255), 0, 255).astype(np.uint8)


def to_uint16(image):
    return np.clip(np.rint(image.astype(np.float64) * 65535), 0, 65535).astype(np.uint16)


def read(path):
    return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize(
    "ext, flag, default, convert",
    [(".jpg", cv2.IMWRITE_JPEG_QUALITY, 100, to_uint8), (".jpeg", cv2.IMWRITE_JPEG_QUALITY, 100, to_uint8),
     (".png", cv2.IMWRITE_PNG_COMPRESSION, 3, to_uint16), (".tif", cv2.IMWRITE_TIFF_COMPRESSION, 5, to_uint16),
     (".tiff", cv2.IMWRITE_TIFF_COMPRESSION, 5, to_uint16), (".JPG", cv2.IMWRITE_JPEG_QUALITY, 100, to_uint8),
     (".Png", cv2.IMWRITE_PNG_COMPRESSION, 3, to_uint16), (".TIF", cv2.IMWRITE_TIFF_COMPRESSION, 5, to_uint16)],
)
@pytest.mark.parametrize("param", [-1, 1])
def test_float_images_are_written_as_opencv_writes_them(tmp_path, kind, ext, flag, default, convert, param):
    image = smooth()
    store(str(tmp_path / f"out{ext}"), as_kind(image, kind), param)
    assert cv2.imwrite(str(tmp_path / f"ref{ext}"), convert(image), [flag, default if param == -1 else param])
    assert (tmp_path / f"out{ext}").read_bytes() == (tmp_path / f"ref{ext}").read_bytes()


def test_jpeg_at_quality_100_is_close_to_the_input(tmp_path):
    store(str(tmp_path / "a.jpg"), cp.asarray(smooth()))
    back = read(tmp_path / "a.jpg")
    assert back.dtype == np.uint8 and back.shape == (H, W, 3)
    # Chroma subsampling costs a few levels where the channels diverge; measured: max 6, mean 0.7.
    error = np.abs(back.astype(int) - to_uint8(smooth()).astype(int))
    assert error.max() <= 8 and error.mean() <= 1.5


@pytest.mark.parametrize("ext", [".png", ".tif"])
@pytest.mark.parametrize("dtype, expected", [(np.uint8, np.uint8), (np.uint16, np.uint16), (np.float32, np.uint16),
                                             (np.float16, np.uint16)])
def test_8_bit_stays_8_bit_and_the_rest_becomes_16_bit(tmp_path, ext, dtype, expected):
    source = {np.uint8: to_uint8(noisy()), np.uint16: to_uint16(noisy())}.get(dtype, noisy().astype(dtype))
    store(str(tmp_path / f"a{ext}"), source)
    back = read(tmp_path / f"a{ext}")
    assert back.dtype == expected and back.shape == (H, W, 3)
    reference = source if dtype in (np.uint8, np.uint16) else np.rint(source.astype(np.float64) * 65535)
    # Products landing on .5 may round either way depending on the working precision.
    assert np.abs(back - reference).max() <= (0 if dtype in (np.uint8, np.uint16) else 1)


@pytest.mark.parametrize("ext", [".png", ".jpg", ".bmp"])
def test_rgb_input_is_written_in_opencv_order(tmp_path, ext):
    bgr = to_uint8(smooth())
    store(str(tmp_path / f"rgb{ext}"), np.ascontiguousarray(bgr[..., ::-1]), is_rgb=True)
    store(str(tmp_path / f"bgr{ext}"), bgr)
    assert (tmp_path / f"rgb{ext}").read_bytes() == (tmp_path / f"bgr{ext}").read_bytes()
    assert ext == ".jpg" or np.array_equal(read(tmp_path / f"rgb{ext}"), bgr)


@pytest.mark.parametrize(
    "ext, convert",
    [(".webp", to_uint8), (".BMP", to_uint8), (".sr", to_uint8), (".ppm", to_uint16), (".pfm", np.float32)],
)
def test_other_extensions_get_the_formats_depth(tmp_path, ext, convert):
    store(str(tmp_path / f"out{ext}"), noisy(), 7)  # param only sets JPEG, PNG, TIFF and EXR options
    assert cv2.imwrite(str(tmp_path / f"ref{ext}"), convert(noisy()))
    assert (tmp_path / f"out{ext}").read_bytes() == (tmp_path / f"ref{ext}").read_bytes()


@pytest.mark.parametrize(
    "name, param, error, message",
    [
        ("a.nosuchformat", -1, ValueError, "store() cannot write '.nosuchformat' files: OpenCV has no writer for that extension"),
        ("a", -1, ValueError, "store() needs an output_path whose extension names the format, got '{path}'"),
        ("missing/a.png", -1, FileNotFoundError, "[Errno 2] No such file or directory: '{path}'"),
        pytest.param("a.EXR", 0, ValueError, "store() takes param -1 (level 1) or a DWAA compression level from 1 to 100 "
                     "for '.EXR', got 0", marks=needs_openexr),
        ("a.exr", 1000000, ValueError, "store() takes param -1 (level 1) or a DWAA compression level from 1 to 100 "
         "for '.exr', got 1000000"),
    ],
)
def test_refusals_write_nothing(tmp_path, name, param, error, message):
    path = str(tmp_path / name)
    with pytest.raises(error) as caught:
        store(path, noisy(), param)
    assert type(caught.value) is error and str(caught.value) == message.format(path=path)
    assert os.listdir(tmp_path) == []


# In a child process: a file-size limit makes every write of this image fail part way.
WRITE_TOO_LARGE = """
import resource, signal, sys
import numpy as np
from quorvex.io.store import store
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # EFBIG for the writer instead of a killed process
resource.setrlimit(resource.RLIMIT_FSIZE, (4096, 4096))
store(sys.argv[1], np.random.default_rng(1).random((256, 256, 3), dtype=np.float32))
"""


@pytest.mark.parametrize("ext", [".png", ".jpg", ".tif", pytest.param(".exr", marks=needs_openexr)])
def test_a_failed_write_leaves_the_previous_file_and_no_temporary(tmp_path, ext):
    path = tmp_path / f"a{ext}"
    store(str(path), smooth())
    before = path.read_bytes()
    child = subprocess.run([sys.executable, "-c", WRITE_TOO_LARGE, str(path)], capture_output=True, text=True)
    assert child.returncode == 1 and "Error" in child.stderr  # the failure is reported
    assert path.read_bytes() == before and os.listdir(tmp_path) == [path.name]
    store(str(path), noisy())  # a write that completes replaces the file
    assert path.read_bytes() != before and os.listdir(tmp_path) == [path.name]


# ------------------------------------------------------------------ EXR


def read_exr(path):
    with OpenEXR.File(str(path), separate_channels=True) as f:
        header = dict(f.header())  # the file's own dict is emptied when it closes
        return header, {name: (c.pixels.copy(), c.type()) for name, c in f.channels().items()}


@pytest.fixture(params=["classic", "file"])
def exr_api(request, monkeypatch):
    """The classic OutputFile/Header bindings, or OpenEXR.File alone as in bindings without them."""
    if request.param == "file":
        monkeypatch.delattr(OpenEXR, "OutputFile")


@needs_openexr
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("is_rgb, param, level", [(False, -1, 1.0), (True, -1, 1.0), (False, 45, 45.0)])
def test_exr_holds_half_r_g_b_with_dwaa(tmp_path, exr_api, kind, is_rgb, param, level):
    image = smooth()
    store(str(tmp_path / "a.exr"), as_kind(image, kind), param, is_rgb)
    header, channels = read_exr(tmp_path / "a.exr")
    assert header["compression"] == OpenEXR.DWAA_COMPRESSION and header["dwaCompressionLevel"] == level
    assert sorted(channels) == ["B", "G", "R"]
    order = {"R": 0, "G": 1, "B": 2} if is_rgb else {"R": 2, "G": 1, "B": 0}
    for name, (pixels, pixel_type) in channels.items():
        assert pixel_type == OpenEXR.HALF and pixels.dtype == np.float16 and pixels.shape == (H, W)
        # DWAA is lossy: measured 1.5e-3 at level 1 and 4.4e-3 at level 45 on these gradients.
        np.testing.assert_allclose(pixels.astype(np.float32), image[..., order[name]], atol=1e-2 if param == 45 else 3e-3)


@needs_openexr
def test_exr_reads_only_the_first_three_channels(tmp_path):
    bgra = np.concatenate([smooth(), np.full((H, W, 1), 0.5, np.float32)], axis=-1)
    store(str(tmp_path / "a.exr"), bgra, is_rgb=True)
    _, channels = read_exr(tmp_path / "a.exr")
    assert sorted(channels) == ["B", "G", "R"]
    np.testing.assert_allclose(channels["B"][0].astype(np.float32), bgra[..., 2], atol=3e-3)


# ------------------------------------------------------------------ arguments


@pytest.mark.parametrize(
    "args, message",
    [
        ((noisy(), True), "Argument 'param' has incorrect type (expected int, got bool). "
                          "Subclasses of built-in types are not accepted."),
        ((noisy(), 3.0), "Argument 'param' has incorrect type (expected int, got float)"),
        ((), "store() takes at least 2 positional arguments (1 given)"),
        ((noisy(), -1, False, 0), "store() takes at most 4 positional arguments (5 given)"),
    ],
)
def test_argument_errors(tmp_path, args, message):
    with pytest.raises(TypeError) as error:
        store(str(tmp_path / "a.png"), *args)
    assert str(error.value) == message
    assert not (tmp_path / "a.png").exists()


def test_path_must_be_a_str_and_keywords_work(tmp_path):
    with pytest.raises(TypeError) as error:
        store(tmp_path / "a.png", noisy())
    assert str(error.value) == "Argument 'output_path' has incorrect type (expected str, got PosixPath)"
    image = to_uint8(noisy())
    assert store(output_path=str(tmp_path / "a.png"), image=image, param=0, is_rgb=False) is None
    np.testing.assert_array_equal(read(tmp_path / "a.png"), image)


@pytest.mark.parametrize("bad", [None, [[0, 0, 0]], "image"])
def test_an_image_that_is_not_an_array_is_named(bad, tmp_path):
    with pytest.raises(TypeError) as caught:
        store(str(tmp_path / "o.png"), bad)
    assert str(caught.value) == (
        f"store() takes image as a cupy.ndarray, numpy.ndarray or torch.Tensor, got {type(bad).__name__}")
    assert not list(tmp_path.iterdir())


def test_a_long_name_keeps_its_temporary_name_legal(tmp_path):
    name = "b" * 251 + ".png"  # 255 bytes: the longest a name may be
    store(str(tmp_path / name), np.full((4, 5, 3), 7, np.uint8))
    assert [p.name for p in tmp_path.iterdir()] == [name]
    np.testing.assert_array_equal(cv2.imread(str(tmp_path / name)), np.full((4, 5, 3), 7, np.uint8))
