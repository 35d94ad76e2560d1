import cupy as cp
import numpy as np
import pytest

from quorvex.color import ndi

KR_KB = {"bt601": (0.299, 0.114), "bt709": (0.2126, 0.0722), "bt2020": (0.2627, 0.0593)}
# fourcc: (bits, 4:2:0, alpha); None for the RGB layouts
YCBCR = {"UYVY": (8, False, False), "UYVA": (8, False, True), "P216": (16, False, False), "PA16": (16, False, True),
         "NV12": (8, True, False), "I420": (8, True, False), "YV12": (8, True, False)}
RGB = {"BGRA": (2, True), "BGRX": (2, False), "RGBA": (0, True), "RGBX": (0, False)}  # red byte, alpha


# ------------------------------------------------------------------ NumPy reference of the layouts and formulas


def code_range(bits, full):
    if full:
        return 0.0, 2.0**bits - 1, 2.0 ** (bits - 1), 2.0**bits - 1
    unit = 2.0 ** (bits - 8)
    return 16 * unit, 219 * unit, 128 * unit, 224 * unit


def planes(buf, fourcc, w, h, stride):
    """(y, cb, cr, alpha or None) code planes of an NDI frame, as the NDI SDK lays them out."""
    bits, vertical, alpha = YCBCR[fourcc]
    sh = stride * h

    def rows(at, n, pitch, count, wide=False):
        block = buf[at : at + pitch * n].reshape(n, pitch)
        return (block.view("<u2") if wide else block)[:, :count].astype(np.int64)

    if fourcc in ("UYVY", "UYVA"):
        packed = rows(0, h, stride, 2 * w)
        a = rows(sh, h, stride // 2, w) if alpha else None
        return packed[:, 1::2], packed[:, 0::4], packed[:, 2::4], a
    if bits == 16:
        y, uv = rows(0, h, stride, w, True), rows(sh, h, stride, w, True)
        return y, uv[:, 0::2], uv[:, 1::2], rows(2 * sh, h, stride, w, True) if alpha else None
    y = rows(0, h, stride, w)
    if fourcc == "NV12":
        uv = rows(sh, h // 2, stride, w)
        return y, uv[:, 0::2], uv[:, 1::2], None
    first, second = rows(sh, h // 2, stride // 2, w // 2), rows(sh + stride // 2 * (h // 2), h // 2, stride // 2, w // 2)
    return (y, first, second, None) if fourcc == "I420" else (y, second, first, None)


def pack(y, cb, cr, a, fourcc):
    """The default-stride buffer holding the code planes."""
    bits, vertical, alpha = YCBCR[fourcc]
    h, w = y.shape
    if fourcc in ("UYVY", "UYVA"):
        packed = np.zeros((h, 2 * w), np.uint8)
        packed[:, 1::2], packed[:, 0::4], packed[:, 2::4] = y, cb, cr
        return np.concatenate([packed.ravel()] + ([a.astype(np.uint8).ravel()] if alpha else []))
    if bits == 16:
        uv = np.stack([cb, cr], -1).reshape(h, w)
        return np.concatenate([p.astype("<u2").ravel() for p in [y, uv] + ([a] if alpha else [])]).view(np.uint8)
    if fourcc == "NV12":
        return np.concatenate([y.ravel(), np.stack([cb, cr], -1).ravel()]).astype(np.uint8)
    first, second = (cb, cr) if fourcc == "I420" else (cr, cb)
    return np.concatenate([y.ravel(), first.ravel(), second.ravel()]).astype(np.uint8)


def upsample(c, w, h, vertical):
    x = np.arange(w)
    c = (c[:, x // 2] + c[:, np.minimum(x // 2 + (x & 1), c.shape[1] - 1)]) / 2
    if not vertical:
        return c
    y = np.arange(h)
    i0 = y // 2
    i1 = np.where(y & 1, np.minimum(i0 + 1, c.shape[0] - 1), np.maximum(i0 - 1, 0))
    return 0.75 * c[i0] + 0.25 * c[i1]


def decode_ref(y, cb, cr, a, fourcc, matrix, full):
    bits, vertical, _ = YCBCR[fourcc]
    kr, kb = KR_KB[matrix]
    kg = 1 - kr - kb
    yo, ys, co, cs = code_range(bits, full)
    h, w = y.shape
    e = (y - yo) / ys
    u = (upsample(cb.astype(np.float64), w, h, vertical) - co) / cs
    v = (upsample(cr.astype(np.float64), w, h, vertical) - co) / cs
    bgr = np.clip(np.stack([e + 2 * (1 - kb) * u, e - 2 * kb * (1 - kb) / kg * u - 2 * kr * (1 - kr) / kg * v,
                            e + 2 * (1 - kr) * v], -1), 0, 1)
    return bgr if a is None else np.concatenate([bgr, a[..., None] / (2.0**bits - 1)], -1)


def encode_ref(image, fourcc, matrix, full):
    """Code planes: chroma filtered [1, 2, 1] / 4 around even columns, row pairs averaged for 4:2:0."""
    bits, vertical, alpha = YCBCR[fourcc]
    kr, kb = KR_KB[matrix]
    yo, ys, co, cs = code_range(bits, full)
    lo, top = (0, 2**bits - 1) if full else (2 ** (bits - 8), 2**bits - 1 - 2 ** (bits - 8))
    p = image[..., :3].astype(np.float64)
    h, w = p.shape[:2]
    c = p
    if vertical:
        c = (c[0::2] + c[1::2]) / 2
    cols = np.arange(0, w, 2)
    c = (c[:, np.maximum(cols - 1, 0)] + 2 * c[:, cols] + c[:, cols + 1]) / 4

    def luma(q):
        return kr * q[..., 2] + (1 - kr - kb) * q[..., 1] + kb * q[..., 0]

    def quant(v, lo=lo, top=top):
        return np.clip(np.rint(v), lo, top).astype(np.int64)

    yc = luma(c)
    a = None
    if alpha:
        a = quant(np.clip(image[..., 3], 0, 1) * (2**bits - 1), 0, 2**bits - 1) if image.shape[2] == 4 else \
            np.full((h, w), 2**bits - 1)
    return (quant(yo + ys * luma(p)), quant(co + cs * (c[..., 0] - yc) / (2 * (1 - kb))),
            quant(co + cs * (c[..., 2] - yc) / (2 * (1 - kr))), a)


def rgb_pixels(buf, w, h, stride):
    return buf[: stride * h].reshape(h, stride)[:, : 4 * w].reshape(h, w, 4)


def image(h, w, channels, rng):
    # a little past 0..1 on both sides, so that clamping and the reserved codes are reached
    return (rng.random((h, w, channels)) * 1.2 - 0.1).astype(np.float32)


# ------------------------------------------------------------------ the reference comparison


@pytest.mark.parametrize("matrix, full", [("bt709", False), ("bt601", True), ("bt2020", False)])
@pytest.mark.parametrize("fourcc", ndi.FOURCCS)
def test_both_directions_match_the_formulas(fourcc, matrix, full):
    rng = np.random.default_rng(len(fourcc) + ndi.FOURCCS.index(fourcc))
    h, w = 6, 10
    wide = fourcc in ("P216", "PA16")
    padded = {"UYVY": 24, "UYVA": 24, "P216": 26, "PA16": 26, "NV12": 14, "I420": 14, "YV12": 14}.get(fourcc, 44)
    for stride in (0, padded):
        # any bytes, padding included: the kernel must read only the frame's samples
        buf = rng.integers(0, 256, 3 * (stride or 4 * w) * h, dtype=np.uint8)
        out = ndi.to_bgr(cp.asarray(buf) if stride else buf, fourcc, w, h, stride, matrix, full).get()
        if fourcc in RGB:
            red, alpha = RGB[fourcc]
            px = rgb_pixels(buf, w, h, stride or 4 * w).astype(np.float32) / np.float32(255)
            want = np.stack([px[..., 2 - red], px[..., 1], px[..., red]] + [px[..., 3]] * alpha, -1)
            np.testing.assert_array_equal(out, want)  # exact: one division per byte
        else:
            want = decode_ref(*planes(buf, fourcc, w, h, stride or (2 * w if fourcc in ("UYVY", "UYVA") or wide else w)),
                              fourcc, matrix, full)
            assert out.shape == want.shape and out.dtype == np.float32
            np.testing.assert_allclose(out, want, atol=2e-6)

    for channels in (3, 4):
        img = image(h, w, channels, rng)
        frame = ndi.from_bgr(cp.asarray(img), fourcc, matrix, full).get()
        if fourcc in RGB:
            red, alpha = RGB[fourcc]
            codes = np.clip(np.rint(img.astype(np.float64) * 255), 0, 255)
            want = np.stack([codes[..., 2 - red], codes[..., 1], codes[..., red],
                             codes[..., 3] if alpha and channels == 4 else np.full((h, w), 255)], -1)
            assert frame.shape == (4 * w * h,)
            assert np.abs(rgb_pixels(frame, w, h, 4 * w) - want).max() <= 1
            continue
        want = encode_ref(img, fourcc, matrix, full)
        assert frame.shape == pack(*want, fourcc).shape  # the whole buffer, nothing more
        got = planes(frame, fourcc, w, h, 2 * w if fourcc in ("UYVY", "UYVA") or wide else w)
        for name, g, e in zip(("y", "cb", "cr", "alpha"), got, want):
            assert (g is None) == (e is None)
            if g is not None:
                assert np.abs(g - e).max() <= 1, name
        if not full:
            unit = 256 if wide else 1
            assert min(p.min() for p in got[:3]) >= unit and max(p.max() for p in got[:3]) <= 255 * unit - 1


@pytest.mark.standin  # counts on the stand-in
@pytest.mark.parametrize("fourcc", ndi.FOURCCS)
def test_each_conversion_is_one_launch_without_synchronisation(fourcc):
    import standin

    img = cp.asarray(image(16, 32, 4, np.random.default_rng(0)))
    frame = ndi.from_bgr(img, fourcc)
    ndi.to_bgr(frame, fourcc, 32, 16)  # compiled before counting
    cp.cuda.runtime.deviceSynchronize()
    for call in (lambda: ndi.from_bgr(img, fourcc), lambda: ndi.to_bgr(frame, fourcc, 32, 16)):
        with standin.counting() as counts:
            call()
        assert (counts.launches, counts.syncs, counts.uploads, counts.downloads) == (1, 0, 0, 0)


U8 = cp.zeros(256, cp.uint8)
NAMES = "'UYVY', 'UYVA', 'P216', 'PA16', 'NV12', 'I420', 'YV12', 'BGRA', 'BGRX', 'RGBA' or 'RGBX'"


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: ndi.to_bgr(U8, "YUY2", 8, 4), ValueError, "to_bgr() takes fourcc as %s, got 'YUY2'" % NAMES),
        (lambda: ndi.to_bgr(U8, b"UYVY", 8, 4), TypeError, "Argument 'fourcc' has incorrect type (expected str, got bytes)"),
        (lambda: ndi.to_bgr(U8, "UYVY", 7, 4), ValueError,
         "to_bgr() takes an even width for UYVY (chroma is shared by pixel pairs), got 7"),
        (lambda: ndi.to_bgr(U8, "I420", 8, 5), ValueError,
         "to_bgr() takes an even height for I420 (chroma is shared by row pairs), got 5"),
        (lambda: ndi.to_bgr(U8, "BGRA", 0, 4), ValueError, "to_bgr() takes a positive width and height, got 0x4"),
        (lambda: ndi.to_bgr(U8, "UYVY", 8, 4, 12), ValueError,
         "to_bgr() takes a stride of at least 16 bytes for UYVY of width 8, got 12"),
        (lambda: ndi.to_bgr(U8, "UYVY", 8, 4, -2), ValueError, "to_bgr() takes a stride of 0 (the default) or more, got -2"),
        (lambda: ndi.to_bgr(U8, "P216", 8, 4, 17), ValueError, "to_bgr() takes an even stride for P216, got 17"),
        (lambda: ndi.to_bgr(U8, "UYVA", 8, 4, 17), ValueError, "to_bgr() takes an even stride for UYVA, got 17"),
        (lambda: ndi.to_bgr(U8[:191], "PA16", 8, 4), ValueError,
         "to_bgr() takes a buffer of at least 192 bytes for PA16 8x4 with stride 16, got 191"),
        (lambda: ndi.to_bgr(U8[:95], "UYVA", 8, 4, 16), ValueError,
         "to_bgr() takes a buffer of at least 96 bytes for UYVA 8x4 with stride 16, got 95"),
        (lambda: ndi.to_bgr(U8, "NV12", 1 << 20, 1 << 12), ValueError,
         "to_bgr() takes frames of at most 2147483647 bytes; NV12 1048576x4096 with stride 1048576 is larger"),
        (lambda: ndi.to_bgr(U8.view(cp.int8), "UYVY", 8, 4), TypeError, "to_bgr() takes buffer as uint8, got int8"),
        (lambda: ndi.to_bgr(bytes(256), "UYVY", 8, 4), TypeError,
         "to_bgr() takes buffer as a cupy.ndarray or numpy.ndarray, got bytes"),
        (lambda: ndi.to_bgr(U8, "UYVY", 8, 4, matrix="bt470"), ValueError,
         "to_bgr() takes matrix as 'bt601', 'bt709' or 'bt2020', got 'bt470'"),
        (lambda: ndi.from_bgr(cp.zeros((4, 8), cp.float32), "UYVY"), ValueError,
         "from_bgr() takes an image of shape (height, width, 3) or (height, width, 4), got (4, 8)"),
        (lambda: ndi.from_bgr(cp.zeros((4, 7, 3), cp.float32), "P216"), ValueError,
         "from_bgr() takes an even width for P216 (chroma is shared by pixel pairs), got 7"),
        (lambda: ndi.from_bgr(cp.zeros((5, 8, 3), cp.float32), "NV12"), ValueError,
         "from_bgr() takes an even height for NV12 (chroma is shared by row pairs), got 5"),
        (lambda: ndi.from_bgr(cp.zeros((4, 8, 3), cp.float32), "NV12", "bt709", 0), TypeError,
         "from_bgr() takes full_range as a bool, got int"),
    ],
)
def test_bad_input(call, error, message):
    with pytest.raises(error) as raised:
        call()
    assert str(raised.value) == message
