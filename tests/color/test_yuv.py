import cupy as cp
import cv2
import numpy as np
import pytest

from quorvex.color import yuv
from quorvex.utils.dtypes import to_float32

try:
    import av
except ImportError:  # FFmpeg's references come with PyAV, which not every test machine has
    av = None
needs_av = pytest.mark.skipif(av is None, reason="PyAV is not installed")

KR_KB = {"bt601": (0.299, 0.114), "bt709": (0.2126, 0.0722), "bt2020": (0.2627, 0.0593)}
SWS_SPACE = {"bt601": "itu601", "bt709": "itu709", "bt2020": "bt2020"}


# ------------------------------------------------------------------ NumPy reference of the formulas


def code_range(bits, full):
    if full:
        top = 2**bits - 1
        return 0.0, top, 2 ** (bits - 1), top
    unit = 2 ** (bits - 8)
    return 16 * unit, 219 * unit, 128 * unit, 224 * unit


def encode_ref(bgr, bits, chroma, matrix, full):
    """Y, Cb, Cr code planes: halved chroma filtered [1, 2, 1] / 4 around even columns, 4:2:0's row
    pairs averaged."""
    kr, kb = KR_KB[matrix]
    yo, ys, co, cs = code_range(bits, full)
    p = bgr.astype(np.float64)
    h, w = p.shape[:2]
    if chroma == "420":
        rows = np.arange(0, h, 2)
        p = (p[rows] + p[np.minimum(rows + 1, h - 1)]) / 2
    cols = np.arange(0, w, 2)
    c = p if chroma == "444" else (p[:, np.maximum(cols - 1, 0)] + 2 * p[:, cols] + p[:, np.minimum(cols + 1, w - 1)]) / 4

    def luma(q):
        return kr * q[..., 2] + (1 - kr - kb) * q[..., 1] + kb * q[..., 0]

    reserved = 0 if full else 2 ** (bits - 8)  # SDI's timing codes stay out of video range
    def quant(v):
        return np.clip(np.rint(v), reserved, 2**bits - 1 - reserved).astype(np.int64)

    yc = luma(c)
    cb = co + cs * (c[..., 0] - yc) / (2 * (1 - kb))
    cr = co + cs * (c[..., 2] - yc) / (2 * (1 - kr))
    return quant(yo + ys * luma(bgr.astype(np.float64))), quant(cb), quant(cr)


def upsample(c, width, height, chroma, nearest):
    c = c.astype(np.float64)
    if chroma == "444":
        return c
    x = np.arange(width)
    j0 = x // 2
    if nearest:
        c = c[:, j0]
    else:
        j1 = np.minimum(j0 + (x & 1), c.shape[1] - 1)
        c = (c[:, j0] + c[:, j1]) / 2
    if chroma == "422":
        return c
    y = np.arange(height)
    i0 = y // 2
    if nearest:
        return c[i0]
    i1 = np.where(y & 1, np.minimum(i0 + 1, c.shape[0] - 1), np.maximum(i0 - 1, 0))
    return 0.75 * c[i0] + 0.25 * c[i1]


def decode_ref(y, cb, cr, bits, chroma, matrix, full, nearest, clip=True):
    kr, kb = KR_KB[matrix]
    kg = 1 - kr - kb
    yo, ys, co, cs = code_range(bits, full)
    h, w = y.shape
    e = (y - yo) / ys
    u = (upsample(cb, w, h, chroma, nearest) - co) / cs
    v = (upsample(cr, w, h, chroma, nearest) - co) / cs
    r = e + 2 * (1 - kr) * v
    b = e + 2 * (1 - kb) * u
    g = e - 2 * kb * (1 - kb) / kg * u - 2 * kr * (1 - kr) / kg * v
    bgr = np.stack([b, g, r], -1)
    return np.clip(bgr, 0, 1) if clip else bgr


# ------------------------------------------------------------------ layouts of code planes


def v210_samples(y, cb, cr):
    h, w = y.shape
    groups = (w + 5) // 6
    s = np.zeros((h, 12 * groups), np.uint32)
    x = np.arange(w)
    j = np.arange(cb.shape[1])
    s[:, x // 6 * 12 + 2 * (x % 6) + 1] = y
    s[:, j // 3 * 12 + 4 * (j % 3)] = cb
    s[:, j // 3 * 12 + 4 * (j % 3) + 2] = cr
    return s


def pack_v210(y, cb, cr):
    s = v210_samples(y, cb, cr)
    words = s[:, 0::3] | s[:, 1::3] << 10 | s[:, 2::3] << 20
    rows = np.zeros((y.shape[0], (y.shape[1] + 47) // 48 * 128), np.uint8)
    rows[:, : words.shape[1] * 4] = words.astype("<u4").view(np.uint8)
    return rows


def unpack_v210(frame, w):
    words = np.ascontiguousarray(frame).view("<u4").astype(np.int64)
    s = np.stack([(words >> k) & 1023 for k in (0, 10, 20)], -1).reshape(frame.shape[0], -1)
    x, j = np.arange(w), np.arange((w + 1) // 2)
    return s[:, x // 6 * 12 + 2 * (x % 6) + 1], s[:, j // 3 * 12 + 4 * (j % 3)], s[:, j // 3 * 12 + 4 * (j % 3) + 2]


def interleave(*planes):
    return np.stack(planes, -1).reshape(planes[0].shape[0], -1)


# name: (to_bgr, from_bgr, to_ycbcr444, bits, chroma, pack codes -> args, unpack outputs -> codes)
FAMILIES = {
    "uyvy": (yuv.uyvy_to_bgr, yuv.bgr_to_uyvy, yuv.uyvy_to_ycbcr444, 8, "422",
             lambda y, b, r: (interleave(b, y[:, 0::2], r, y[:, 1::2]).astype(np.uint8),),
             lambda f: (f[:, 1::2], f[:, 0::4], f[:, 2::4])),
    "yuyv": (yuv.yuyv_to_bgr, yuv.bgr_to_yuyv, yuv.yuyv_to_ycbcr444, 8, "422",
             lambda y, b, r: (interleave(y[:, 0::2], b, y[:, 1::2], r).astype(np.uint8),),
             lambda f: (f[:, 0::2], f[:, 1::4], f[:, 3::4])),
    "v210": (yuv.v210_to_bgr, yuv.bgr_to_v210, yuv.v210_to_ycbcr444, 10, "422",
             lambda y, b, r: (pack_v210(y, b, r), y.shape[1]),
             None),
    "yuv422p10": (yuv.yuv422p10_to_bgr, yuv.bgr_to_yuv422p10, yuv.yuv422p10_to_ycbcr444, 10, "422",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "yuv420p10": (yuv.yuv420p10_to_bgr, yuv.bgr_to_yuv420p10, None, 10, "420",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "yuv422p": (yuv.yuv422p_to_bgr, yuv.bgr_to_yuv422p, None, 8, "422",
                lambda y, b, r: tuple(p.astype(np.uint8) for p in (y, b, r)), lambda *p: p),
    "yuv420p": (yuv.yuv420p_to_bgr, yuv.bgr_to_yuv420p, None, 8, "420",
                lambda y, b, r: tuple(p.astype(np.uint8) for p in (y, b, r)), lambda *p: p),
    "yuv444p": (yuv.yuv444p_to_bgr, yuv.bgr_to_yuv444p, None, 8, "444",
                lambda y, b, r: tuple(p.astype(np.uint8) for p in (y, b, r)), lambda *p: p),
    "yuv444p10": (yuv.yuv444p10_to_bgr, yuv.bgr_to_yuv444p10, None, 10, "444",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "yuv444p12": (yuv.yuv444p12_to_bgr, yuv.bgr_to_yuv444p12, None, 12, "444",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "yuv422p12": (yuv.yuv422p12_to_bgr, yuv.bgr_to_yuv422p12, None, 12, "422",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "yuv420p12": (yuv.yuv420p12_to_bgr, yuv.bgr_to_yuv420p12, None, 12, "420",
                  lambda y, b, r: tuple(p.astype(np.uint16) for p in (y, b, r)), lambda *p: p),
    "nv12": (yuv.nv12_to_bgr, yuv.bgr_to_nv12, None, 8, "420",
             lambda y, b, r: (y.astype(np.uint8), interleave(b, r).astype(np.uint8)),
             lambda y, uv: (y, uv[:, 0::2], uv[:, 1::2])),
    "p010": (yuv.p010_to_bgr, yuv.bgr_to_p010, None, 10, "420",
             lambda y, b, r: (y.astype(np.uint16) << 6, interleave(b, r).astype(np.uint16) << 6),
             lambda y, uv: (y >> 6, uv[:, 0::2] >> 6, uv[:, 1::2] >> 6)),
}
PACKED = ("uyvy", "yuyv")


def codes_of(name, out, width):
    out = out if isinstance(out, tuple) else (out,)
    if name == "v210":
        return unpack_v210(out[0].get(), width)
    return FAMILIES[name][6](*(o.get().astype(np.int64) for o in out))


def smooth_image(h, w, seed=0):
    """A smooth BGR gradient with some colour, where chroma filters differ little."""
    y, x = np.mgrid[0:h, 0:w] / 200.0
    phase = np.random.default_rng(seed).random(3) * 6
    return (0.5 + 0.45 * np.sin(np.stack([3 * x + 2 * y, 2 * x - 3 * y, x + y], -1) * 2 + phase)).astype(np.float32)


# ------------------------------------------------------------------ agreement with the formulas


@pytest.mark.parametrize("name", FAMILIES)
@pytest.mark.parametrize("matrix, full", [("bt709", False), ("bt601", True), ("bt2020", False)])
@pytest.mark.parametrize("nearest", [False, True])
def test_agrees_with_the_formulas(name, matrix, full, nearest):
    to_bgr, from_bgr, to_444, bits, chroma_layout, pack, _ = FAMILIES[name]
    h, w = (7, 10) if name in PACKED else (7, 13)  # odd sizes where the layout has them
    rng = np.random.default_rng(1)
    image = rng.normal(0.5, 0.4, (h, w, 3)).astype(np.float32)  # out-of-range values too
    chroma = "nearest" if nearest else "linear"

    # BGR -> codes: within one code value of the formulas (float32 against float64 rounding).
    ours = codes_of(name, from_bgr(cp.asarray(image), matrix, full), w)
    for got, want in zip(ours, encode_ref(image, bits, chroma_layout, matrix, full)):
        assert got.shape == want.shape and np.abs(got - want).max() <= 1

    # codes -> BGR, and codes -> normalised 4:4:4.
    top = 2**bits - 1
    cw, ch = w if chroma_layout == "444" else (w + 1) // 2, (h + 1) // 2 if chroma_layout == "420" else h
    codes = rng.integers(0, top + 1, (h, w)), rng.integers(0, top + 1, (ch, cw)), rng.integers(0, top + 1, (ch, cw))
    args = pack(*codes)
    device = [*map(cp.asarray, args[:1]), *args[1:]] if name == "v210" else list(map(cp.asarray, args))
    for clip in (False, True):  # unclipped: codes beyond the nominal range give values beyond 0..1
        out = to_bgr(*device, matrix, full, chroma, clip=clip)
        assert out.dtype == cp.float32 and out.shape == (h, w, 3)
        want = decode_ref(*codes, bits, chroma_layout, matrix, full, nearest, clip)
        np.testing.assert_allclose(out.get(), want, atol=2e-6)
        assert clip or (want.min() < 0 and want.max() > 1)  # the unclipped comparison saw values beyond 0..1
    if to_444 is not None:
        ycbcr = to_444(*map(cp.asarray, args[:1]), *args[1:], chroma) if name == "v210" else \
            to_444(*map(cp.asarray, args), chroma)
        expected = np.stack([codes[0], *(upsample(c, w, h, chroma_layout, nearest) for c in codes[1:])], -1) / top
        np.testing.assert_allclose(ycbcr.get(), expected, atol=1e-6)
        np.testing.assert_allclose(yuv.ycbcr444_to_bgr(ycbcr, bits, matrix, full).get(), out.get(), atol=2e-6)

    # A smooth image survives the round trip within the format's quantisation (half a step of Y and
    # of Cb or Cr through the matrix: 0.0065 at 8 bits); the outer pixels lose more where the
    # filters repeat the edge sample.
    smooth = smooth_image(h, w)
    planes = from_bgr(cp.asarray(smooth), matrix, full)
    planes = planes if isinstance(planes, tuple) else (planes,)
    back = to_bgr(planes[0], w, matrix, full) if name == "v210" else to_bgr(*planes, matrix, full)
    error = np.abs(back.get() - smooth)
    assert error[1:-1, 1:-1].max() <= {8: 0.007, 10: 0.0025, 12: 0.0025}[bits] and error.max() <= 0.012


# ------------------------------------------------------------------ FFmpeg (swscale) and OpenCV

SWS_FORMAT = {"uyvy": "uyvy422", "yuyv": "yuyv422", "yuv422p10": "yuv422p10le", "yuv420p10": "yuv420p10le",
              "yuv422p": "yuv422p", "yuv420p": "yuv420p", "nv12": "nv12", "p010": "p010le", "yuv444p": "yuv444p",
              "yuv444p10": "yuv444p10le", "yuv444p12": "yuv444p12le", "yuv422p12": "yuv422p12le",
              "yuv420p12": "yuv420p12le"}


def frame_planes(frame, shapes, dtype):
    out = []
    for plane, (rows, cols) in zip(frame.planes, shapes):
        step = plane.line_size // np.dtype(dtype).itemsize
        out.append(np.frombuffer(plane, dtype).reshape(-1, step)[:rows, :cols])
    return out


def sws_options(matrix, full):
    return dict(interpolation="BILINEAR", src_colorspace=SWS_SPACE[matrix], dst_colorspace=SWS_SPACE[matrix],
                src_color_range="JPEG" if full else "MPEG", dst_color_range="JPEG" if full else "MPEG")


@needs_av
@pytest.mark.parametrize("name", SWS_FORMAT)
@pytest.mark.parametrize("matrix, full", [("bt709", False), ("bt601", True), ("bt2020", False)])
def test_against_swscale(name, matrix, full):
    """swscale filters chroma its own way: its luma is within one code of ours, its chroma within
    two 8-bit codes, and its BGR (bilinear, default flags) within 3.5 8-bit codes of ours with
    repeated chroma, on a smooth image."""
    to_bgr, from_bgr, _, bits, _, pack, unpack = FAMILIES[name]
    h, w = 24, 32
    u8 = np.rint(smooth_image(h, w, seed=2) * 255).astype(np.uint8)
    ours = codes_of(name, from_bgr(cp.asarray(u8), matrix, full), w)
    planes = pack(*ours)
    shapes, dtype = [p.shape for p in planes], planes[0].dtype
    theirs = av.VideoFrame.from_ndarray(u8, format="bgr24").reformat(format=SWS_FORMAT[name], **sws_options(matrix, full))
    theirs = unpack(*[p.astype(np.int64) for p in frame_planes(theirs, shapes, dtype)])
    unit = 2 ** (bits - 8)
    assert np.abs(ours[0] - theirs[0]).max() <= 1
    assert max(np.abs(a - b).max() for a, b in zip(ours[1:], theirs[1:])) <= 2 * unit

    frame = av.VideoFrame(w, h, SWS_FORMAT[name])
    for dst, src in zip(frame_planes(frame, shapes, dtype), planes):
        dst[...] = src
    theirs = frame.reformat(format="bgr48le", **sws_options(matrix, full)).to_ndarray() / 65535
    mine = to_bgr(*map(cp.asarray, planes), matrix, full, "nearest").get()
    assert np.abs(mine - theirs).max() * 255 <= 3.5


@pytest.mark.parametrize("name, code", [("uyvy", cv2.COLOR_YUV2BGR_UYVY), ("yuyv", cv2.COLOR_YUV2BGR_YUY2),
                                        ("nv12", cv2.COLOR_YUV2BGR_NV12)])
def test_against_opencv(name, code):
    """OpenCV converts BT.601 video range with repeated chroma, in fixed point."""
    to_bgr, _, _, _, chroma, pack, _ = FAMILIES[name]
    vertical = chroma == "420"
    rng = np.random.default_rng(3)
    h, w = 8, 12
    codes = rng.integers(16, 236, (h, w)), rng.integers(16, 241, (h // (1 + vertical), w // 2)), \
        rng.integers(16, 241, (h // (1 + vertical), w // 2))
    args = pack(*codes)
    theirs = cv2.cvtColor(np.concatenate(args) if name == "nv12" else args[0].reshape(h, w, 2), code)
    ours = to_bgr(*map(cp.asarray, args), "bt601", False, "nearest").get() * 255
    assert np.abs(ours - theirs).max() <= 1


@pytest.mark.parametrize("width", [1, 2, 5, 6, 7, 12, 47, 48, 49, 100])
def test_v210_packing(width):
    """Any width packs and unpacks; samples past the width and row padding are 0; FFmpeg's v210
    codec (even widths only) writes the same bytes and reads the same codes back."""
    h = 4  # FFmpeg's v210 decoder splits the rows into slices of 4 and leaves fewer rows empty
    image = np.random.default_rng(width).random((h, width, 3)).astype(np.float32)
    frame = yuv.bgr_to_v210(cp.asarray(image)).get()
    planes = [p.get() for p in yuv.bgr_to_yuv422p10(cp.asarray(image))]
    assert frame.shape == (h, (width + 47) // 48 * 128)
    np.testing.assert_array_equal(frame, pack_v210(*planes))  # zeros past the width and in the padding
    np.testing.assert_array_equal(yuv.v210_to_ycbcr444(cp.asarray(frame), width, "nearest").get(),
                                  yuv.yuv422p10_to_ycbcr444(*map(cp.asarray, planes), "nearest").get())
    if width % 2 == 0 and av is not None:
        codec = av.CodecContext.create("v210", "w")
        codec.width, codec.height, codec.pix_fmt = width, h, "yuv422p10le"
        source = av.VideoFrame(width, h, "yuv422p10le")
        for dst, src in zip(frame_planes(source, [(h, width)] + 2 * [(h, width // 2)], np.uint16), planes):
            dst[...] = src
        (packet,) = codec.encode(source)
        np.testing.assert_array_equal(np.frombuffer(bytes(packet), np.uint8).reshape(frame.shape), frame)
        decoder = av.CodecContext.create("v210", "r")
        decoder.width, decoder.height, decoder.pix_fmt = width, h, "yuv422p10le"
        (decoded,) = decoder.decode(packet)
        for a, b in zip(frame_planes(decoded, [(h, width)] + 2 * [(h, width // 2)], np.uint16), planes):
            np.testing.assert_array_equal(a, b)


@pytest.mark.parametrize("name", FAMILIES)
@pytest.mark.parametrize("full", [False, True])
def test_white_and_black_code_values(name, full):
    from_bgr, bits = FAMILIES[name][1], FAMILIES[name][3]
    image = np.zeros((4, 6, 3), np.float32)
    image[1] = 1
    image[2], image[3] = -9, 9  # out of range: video range keeps off the codes SDI reserves for timing
    y, cb, cr = codes_of(name, from_bgr(cp.asarray(image), "bt709", full), 6)
    unit = 2 ** (bits - 8)
    black, white = (0, 2**bits - 1) if full else (16 * unit, 235 * unit)
    lowest, highest = (0, 2**bits - 1) if full else (unit, 2**bits - 1 - unit)
    assert (y[0] == black).all() and (y[1] == white).all()
    assert (y[2] == lowest).all() and (y[3] == highest).all()
    assert (cb[:2] == 128 * unit).all() and (cr[:2] == 128 * unit).all()


def test_strided_and_host_inputs_are_taken():
    planes = yuv.bgr_to_yuv422p(cp.asarray(smooth_image(6, 8)))
    expected = yuv.yuv422p_to_bgr(*planes).get()
    wide = [cp.zeros((p.shape[0], 2 * p.shape[1]), cp.uint8) for p in planes]
    for wp, p in zip(wide, planes):
        wp[:, ::2] = p
    np.testing.assert_array_equal(yuv.yuv422p_to_bgr(*(wp[:, ::2] for wp in wide)).get(), expected)
    np.testing.assert_array_equal(yuv.yuv422p_to_bgr(*(p.get() for p in planes)).get(), expected)


@pytest.mark.standin  # counts launches on the stand-in's kernel type
def test_each_conversion_is_one_launch_without_synchronisation(monkeypatch):
    launches = []
    kernel_type = type(yuv.packed422_decode_kernel)
    launch = kernel_type.__call__
    monkeypatch.setattr(kernel_type, "__call__", lambda self, *a, **k: launches.append(self.name) or launch(self, *a, **k))
    image = cp.asarray(smooth_image(4, 6))
    for name, (to_bgr, from_bgr, *_) in FAMILIES.items():
        planes = from_bgr(image)
        planes = planes if isinstance(planes, tuple) else (planes,)
        typed = [image, (image * 255 + 0.5).astype(cp.uint8), (image * 65535 + 0.5).astype(cp.uint16),
                 image.astype(cp.float16)]
        outputs = []
        with monkeypatch.context() as host:
            for where, attribute in ((cp.ndarray, "get"), (cp, "asnumpy")):
                host.setattr(where, attribute, lambda *a, **k: pytest.fail("copied to the host"))
            launches.clear()
            to_bgr(planes[0], 6) if name == "v210" else to_bgr(*planes)
            assert len(launches) == 1, name
            for one in typed:
                launches.clear()  # integer and float16 frames are read as they are, as to_float32 would give them
                outputs.append(from_bgr(one))
                assert len(launches) == 1, (name, one.dtype)
        for one, out in zip(typed, outputs):
            expected = from_bgr(to_float32(one))
            for got, want in zip(*(o if isinstance(o, tuple) else (o,) for o in (out, expected))):
                np.testing.assert_array_equal(got.get(), want.get())


U8, U16 = cp.zeros((4, 8), cp.uint8), cp.zeros((4, 8), cp.uint16)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: yuv.uyvy_to_bgr(U16), TypeError, "uyvy_to_bgr() takes frame as uint8, got uint16"),
        (lambda: yuv.uyvy_to_bgr(cp.zeros((4, 6), cp.uint8)), ValueError, "with an even width (whole pixel pairs), got (4, 6)"),
        (lambda: yuv.uyvy_to_bgr(cp.zeros((4, 8, 2), cp.uint8)), ValueError, "takes frame of shape (height, width), got (4, 8, 2)"),
        (lambda: yuv.uyvy_to_bgr([[0]]), TypeError, "takes frame as a cupy.ndarray or numpy.ndarray, got list"),
        (lambda: yuv.uyvy_to_bgr(U8, "bt470"), ValueError, "takes matrix as 'bt601', 'bt709' or 'bt2020', got 'bt470'"),
        (lambda: yuv.uyvy_to_bgr(U8, "bt709", 1), TypeError, "takes full_range as a bool, got int"),
        (lambda: yuv.uyvy_to_bgr(U8, chroma="cubic"), ValueError, "takes chroma as 'linear' or 'nearest', got 'cubic'"),
        (lambda: yuv.v210_to_bgr(cp.zeros((4, 128), cp.uint8), 49), ValueError, "takes v210 rows of 256 bytes for width 49, got 128"),
        (lambda: yuv.v210_to_bgr(cp.zeros((4, 128), cp.uint8), 0), ValueError, "takes a positive width, got 0"),
        (lambda: yuv.v210_to_bgr(cp.zeros((4, 128), cp.uint8), 6.0), TypeError, "Argument 'width' has incorrect type"),
        (lambda: yuv.yuv422p10_to_bgr(U16, U16, U16), ValueError, "takes cb of shape (4, 4), got (4, 8)"),
        (lambda: yuv.yuv422p10_to_bgr(U8, U8[:, :4], U8[:, :4]), TypeError, "takes y as uint16, got uint8"),
        (lambda: yuv.yuv444p12_to_bgr(U16, U16, U16[:, :4]), ValueError, "takes cr of shape (4, 8), got (4, 4)"),
        (lambda: yuv.nv12_to_bgr(U8, U8), ValueError, "takes uv of shape (2, 8), got (4, 8)"),
        (lambda: yuv.nv12_to_bgr(U8[:0], U8), ValueError, "takes a non-empty y, got shape (0, 8)"),
        (lambda: yuv.bgr_to_uyvy(cp.zeros((4, 5, 3), cp.float32)), ValueError, "takes an even width, got 5"),
        (lambda: yuv.bgr_to_nv12(cp.zeros((4, 5), cp.float32)), ValueError, "takes a BGR image of shape (height, width, 3), got (4, 5)"),
        (lambda: yuv.ycbcr444_to_bgr(cp.zeros((4, 5, 3), cp.float32), 7), ValueError, "takes bits from 8 to 16, got 7"),
        (lambda: yuv.ycbcr444_to_bgr(cp.zeros((4, 5, 3), cp.float64), 8), TypeError, "takes ycbcr as float32, got float64"),
    ],
)
def test_bad_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert message in str(raised.value)
