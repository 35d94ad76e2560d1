"""Video files round trip through VideoReader and VideoWriter (PyAV on the CPU, kernels on the device)."""

import copy
import fractions
import pathlib
import runpy
import sys

import cupy as cp
import numpy as np
import pytest
from support.videos import make_video

from quorvex.color import yuv
from quorvex.color.hsv import bgr_to_hsv
from quorvex.io.video import ColourDescription, VideoReader, VideoWriter

av = pytest.importorskip("av")

ROOT = pathlib.Path(__file__).resolve().parent.parent.parent
W, H, FRAMES = 32, 24, 8


def planes_of(frame, shapes, dtype=np.uint8):
    out = []
    for plane, (rows, cols) in zip(frame.planes, shapes):
        out.append(np.frombuffer(plane, dtype).reshape(-1, plane.line_size // np.dtype(dtype).itemsize)[:rows, :cols])
    return out


SHAPES = [(H, W), (H // 2, W // 2), (H // 2, W // 2)]
KR_KB = {"bt601": (0.299, 0.114), "bt709": (0.2126, 0.0722), "bt2020": (0.2627, 0.0593)}


def bgr_reference(planes, bits, matrix, full):
    """BGR in float64 of Y'CbCr code planes, halved chroma repeated."""
    y = planes[0].astype(np.float64)
    h, w = y.shape
    cb, cr = (p.astype(np.float64)[np.arange(h) // (1 + (p.shape[0] < h))][:, np.arange(w) // (1 + (p.shape[1] < w))]
              for p in planes[1:])
    unit, top = 2 ** (bits - 8), 2**bits - 1
    yo, ys, co, cs = (0, top, 2 ** (bits - 1), top) if full else (16 * unit, 219 * unit, 128 * unit, 224 * unit)
    kr, kb = KR_KB[matrix]
    e, u, v = (y - yo) / ys, (cb - co) / cs, (cr - co) / cs
    r, b = e + 2 * (1 - kr) * v, e + 2 * (1 - kb) * u
    g = (e - kr * r - kb * b) / (1 - kr - kb)
    return np.clip(np.stack([b, g, r], -1), 0, 1)


@pytest.fixture(scope="module")
def source(tmp_path_factory):
    """8 frames of moving colour, losslessly coded yuv420p tagged BT.709, with longer AAC audio; and its planes."""
    path = tmp_path_factory.mktemp("video") / "source.mp4"
    y, x = np.mgrid[0:H, 0:W]
    written = []
    with av.open(str(path), "w") as container:
        video = container.add_stream("libx264", rate=25)
        video.width, video.height, video.pix_fmt, video.options = W, H, "yuv420p", {"qp": "0"}
        video.codec_context.colorspace, video.codec_context.color_range = 1, 1
        audio = container.add_stream("aac", rate=48000)
        for i in range(FRAMES):
            frame = av.VideoFrame(W, H, "yuv420p")
            planes = [(16 + 6 * x + 3 * y + 4 * i) % 236, 128 + 40 * np.sin(x[::2, ::2] / 5 + i),
                      128 + 40 * np.cos(y[::2, ::2] / 4 - i)]
            for dst, src in zip(planes_of(frame, SHAPES), planes):
                dst[...] = src
            written.append([p.copy() for p in planes_of(frame, SHAPES)])
            frame.pts = i
            container.mux(video.encode(frame))
        for i in range(24):  # 0.51 s of sound to 0.32 s of pictures
            sound = av.AudioFrame.from_ndarray(np.full((1, 1024), 0.1 * np.sin(i), np.float32), format="fltp", layout="mono")
            sound.sample_rate, sound.pts = 48000, i * 1024
            container.mux(audio.encode(sound))
        container.mux(audio.encode())
        container.mux(video.encode())
    return path, written


@pytest.mark.parametrize("decoder, layout", [("ffmpeg", "yuv420p"), ("nvdec", "nv12")])
def test_reader_gives_planes_frames_and_timing(source, decoder, layout):
    path, written = source
    if layout == "nv12":  # NVDEC's surface: the same samples, chroma interleaved
        written = [[y, np.stack([u, v], -1).reshape(H // 2, W)] for y, u, v in written]
    with VideoReader(path, raw=True, decoder=decoder) as reader:
        assert (reader.fps, reader.size, reader.frame_count, reader.pixel_format) == (25.0, (W, H), FRAMES, layout)
        assert (reader.matrix, reader.full_range) == ("bt709", False)  # from the stream's tags, not its height
        times, frames = [], []
        for planes in reader:  # all kept before any is read: NVDEC reuses its surfaces
            times.append(reader.time)
            frames.append(planes)
    for planes, expected in zip(frames, written, strict=True):
        for got, want in zip(planes, expected, strict=True):
            assert isinstance(got, cp.ndarray) and got.flags.c_contiguous
            np.testing.assert_array_equal(got.get(), want)
    np.testing.assert_allclose(times, np.arange(FRAMES) / 25)
    path, written = source
    frames = list(VideoReader(path, matrix="bt2020", chroma="nearest", decoder=decoder))
    expected = yuv.yuv420p_to_bgr(*map(cp.asarray, written[3]), "bt2020", False, "nearest")
    np.testing.assert_array_equal(frames[3].get(), expected.get())


@pytest.mark.parametrize("pixel_format, bits", [("yuv444p", 8), ("yuvj444p", 8), ("yuv444p10le", 10),
                                                ("yuv444p12le", 12), ("yuv422p12le", 12), ("yuv420p12le", 12),
                                                ("yuv422p10le", 10), ("yuv420p10le", 10)])
def test_planar_layouts_decode_on_the_device(tmp_path, pixel_format, bits):
    """Files of an odd size: raw=True gives FFmpeg's planes, frames are the float64 reference of
    them with the stream's tags or with the reader's overrides."""
    path = tmp_path / "clip.mkv"
    codec = "libx264" if pixel_format == "yuvj444p" else "ffv1"  # FFV1 has no full-range-only layouts
    make_video(path, frames=2, size=(33, 17), audio=False, codec=codec, pixel_format=pixel_format,
               colour={"colorspace": 1})
    dtype = np.uint16 if bits > 8 else np.uint8
    with av.open(str(path)) as container:
        expected = [planes_of(f, [(p.height, p.width) for p in f.planes], dtype) for f in container.decode(video=0)]
    tagged_full = pixel_format.startswith("yuvj")
    with VideoReader(path, raw=True) as reader:
        assert reader.pixel_format == pixel_format
        for planes, want in zip(reader, expected, strict=True):
            for got, plane in zip(planes, want, strict=True):
                np.testing.assert_array_equal(got.get(), plane)
    for overrides, matrix, full in (({}, "bt709", tagged_full),
                                    ({"matrix": "bt601", "full_range": not tagged_full}, "bt601", not tagged_full)):
        with VideoReader(path, chroma="nearest", **overrides) as reader:
            assert (reader.matrix, reader.full_range) == (matrix, full)
            for frame, want in zip(reader, expected, strict=True):
                np.testing.assert_allclose(frame.get(), bgr_reference(want, bits, matrix, full), atol=2e-6)
    if pixel_format == "yuv420p12le":  # NVDEC's surfaces hold 8 or 10 bits for the kernels here
        with pytest.raises(ValueError, match=r"\(decoder='nvdec'\) decodes 4:2:0 streams of 8 or 10 bits; .* is yuv420p12le"):
            VideoReader(path, decoder="nvdec")


@pytest.mark.parametrize("codec, pixel_format, name, options, encoder",
                         [("libx264", "yuv420p", "out.mp4", {"qp": "0"}, "ffmpeg"),
                          ("libx264", "yuv444p", "out.mp4", {"qp": "0"}, "ffmpeg"),
                          ("libx264", "yuv444p10le", "out.mov", {"qp": "0"}, "ffmpeg"),
                          ("ffv1", "yuv422p10le", "out.mkv", None, "ffmpeg"),
                          ("h264", "yuv420p", "out.mkv", {"tuning_info": "lossless", "bf": "2"}, "nvenc")])
def test_writer_round_trip_with_audio(source, tmp_path, codec, pixel_format, name, options, encoder):
    path, _ = source
    frames = list(VideoReader(path))
    target = tmp_path / name
    with VideoWriter(target, fractions.Fraction(25), (W, H), codec, pixel_format, options=options,
                     audio_from=path, encoder=encoder) as writer:
        for frame in frames:
            writer.write(frame)
        assert not target.exists()  # written under a temporary name until closed
    assert sorted(p.name for p in tmp_path.iterdir()) == [name]
    convert = {"yuv420p": yuv.bgr_to_yuv420p, "yuv422p10le": yuv.bgr_to_yuv422p10, "yuv444p": yuv.bgr_to_yuv444p,
               "yuv444p10le": yuv.bgr_to_yuv444p10}[pixel_format]
    with VideoReader(target, raw=True) as reader:  # lossless codecs: the very planes come back
        # Matroska keeps no frame count: the video's own duration gives it, not the longer audio's.
        assert (reader.fps, reader.pixel_format, reader.frame_count) == (25.0, pixel_format, FRAMES)
        assert (reader.matrix, reader.full_range) == ("bt709", False)
        for planes, frame in zip(reader, frames, strict=True):
            for got, want in zip(planes, convert(frame, "bt709", False)):
                np.testing.assert_array_equal(got.get(), want.get())
    with av.open(str(path)) as a, av.open(str(target)) as b:
        assert len(b.streams.audio) == 1
        original = [bytes(p) for p in a.demux(audio=0) if p.dts is not None]
        copied = [bytes(p) for p in b.demux(audio=0) if p.dts is not None]
        assert copied == original


def test_writer_discards_its_output_on_error_and_checks_arguments(source, tmp_path, monkeypatch):
    target = tmp_path / "out.mp4"
    with pytest.raises(ZeroDivisionError):
        with VideoWriter(target, 25, (W, H)) as writer:
            writer.write(cp.zeros((H, W, 3), cp.float32))
            raise ZeroDivisionError
    assert list(tmp_path.iterdir()) == []
    with pytest.raises(ValueError, match=r"write\(\) takes BGR frames of shape \(24, 32, 3\), got \(32, 24, 3\)"):
        with VideoWriter(target, 25, (W, H)) as writer:
            with pytest.raises(AttributeError):
                writer.frame_count = 1  # the writer's own count
            with pytest.raises(RuntimeError, match=r"__init__\(\) was called again on an initialised instance"):
                writer.__init__(target, 25, (W, H))
            with pytest.raises(TypeError, match="cannot pickle or copy 'VideoWriter' object"):
                copy.copy(writer)  # a copy would have no open file
            writer.write(np.zeros((W, H, 3), np.float32))
    with pytest.raises(ValueError, match="takes pixel_format as 'yuv420p'"):
        VideoWriter(target, 25, (W, H), pixel_format="rgb24")
    failed = VideoWriter.__new__(VideoWriter)
    with pytest.raises(ValueError, match="takes a positive fps"):
        failed.__init__(target, 0.0, (W, H))
    for use in (lambda: failed.pixel_format, lambda: failed.write(np.zeros((H, W, 3), np.float32))):
        with pytest.raises(ValueError, match=r"this VideoWriter was not initialised \(its __init__ failed"):
            use()  # a failed open leaves no state to read
    with pytest.raises(ValueError, match=r"takes size as \(width, height\), two positive ints; got \(32, 0\)"):
        VideoWriter(target, 25, (W, 0))
    with pytest.raises(ValueError, match="takes a positive fps"):
        VideoWriter(target, 0.0, (W, H))
    with pytest.raises(ValueError, match=r"VideoWriter\(\) takes encoder as 'ffmpeg' or 'nvenc', got 'nvidia'"):
        VideoWriter(target, 25, (W, H), encoder="nvidia")
    with pytest.raises(ValueError, match=r"\(encoder='nvenc'\) takes codec as 'h264', 'hevc' or 'av1', got 'ffv1'"):
        VideoWriter(target, 25, (W, H), "ffv1", encoder="nvenc")
    with pytest.raises(ValueError, match=r"\(encoder='nvenc'\) takes pixel_format as 'yuv420p', .* got 'yuv422p'"):
        VideoWriter(target, 25, (W, H), pixel_format="yuv422p", encoder="nvenc")
    with pytest.raises(ValueError, match=r"\(encoder='nvenc'\) takes pixel_format as 'yuv420p', .* got 'yuv420p12le'"):
        VideoWriter(target, 25, (W, H), pixel_format="yuv420p12le", encoder="nvenc")
    with pytest.raises(ValueError, match=r"\(encoder='nvenc'\) takes an even frame size, got 31x24"):
        VideoWriter(target, 25, (W - 1, H), encoder="nvenc")
    with pytest.raises(ValueError, match=r"VideoReader\(\) takes decoder as 'ffmpeg' or 'nvdec', got 'cuda'"):
        VideoReader(source[0], decoder="cuda")
    monkeypatch.setitem(sys.modules, "PyNvVideoCodec", None)  # the extra not installed
    missing = r"PyNvVideoCodec is needed here but is not installed: pip install 'quorvex\[nvcodec\]'"
    with pytest.raises(ModuleNotFoundError, match=missing):
        VideoWriter(target, 25, (W, H), encoder="nvenc")
    with pytest.raises(ModuleNotFoundError, match=missing):
        VideoReader(source[0], decoder="nvdec")
    assert list(tmp_path.iterdir()) == []


def test_example_converts_a_video(source, tmp_path):
    path, _ = source
    example = runpy.run_path(str(ROOT / "examples" / "video_convert.py"))
    target = tmp_path / "vivid.mp4"
    assert example["main"]([f"--input={path}", f"--output={target}", "--saturation=1.5"]) == 0
    before, after = list(VideoReader(path)), list(VideoReader(target))
    assert len(after) == FRAMES and len(av.open(str(target)).streams.audio) == 1
    saturation = [float(bgr_to_hsv(f)[..., 1].mean()) for f in (before[0], after[0])]
    assert saturation[1] > 1.2 * saturation[0]


# ------------------------------------------------------------------ files as people have them


def _in_pieces(source, target, transform, note=lambda text: None, output=None) -> int:
    """The whole video piece by piece in this process, as the command makes and joins them."""
    from quorvex.cli import pieces

    made, todo, total, *_ = pieces.plan_pieces(source, target, False)
    for _, pts, count, piece, _ in todo:
        pieces.make_piece(source, piece, pts, count, transform, lambda size: size, _Quiet(), output=output)
    pieces.finish(made, target, source, note)
    return total


class _Quiet:
    class memory:
        @staticmethod
        def sample():
            pass

    def bar(self, *args, **kwargs):
        return self

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def update(self, n):
        pass


@pytest.mark.parametrize("suffix, codec", [(".mp4", "h264"), (".mov", "h264"), (".m4v", "h264"), (".mkv", "h264"),
                                           (".avi", "h264"), (".webm", "vp9")])
def test_every_offered_container_is_written_in_pieces(tmp_path, suffix, codec):
    from quorvex.cli import videos

    source = tmp_path / "pan.mp4"
    images = make_video(source)
    target = tmp_path / f"out{suffix}"
    videos.check_video_output(target)
    assert _in_pieces(source, target, lambda frame, bar: frame) == 24
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["pan.mp4", target.name])  # pieces removed
    with av.open(str(target)) as container:
        assert container.streams.video[0].codec_context.name == codec and len(container.streams.audio) == 1
        decoded = list(container.decode(video=0))
    times = [float(f.time) for f in decoded]
    assert len(decoded) == 24 and times == sorted(times)
    # Frames 1/24 s apart from the start; Matroska shifts everything by AAC's priming (21 ms),
    # AVI's reader puts frames a reorder delay late.
    np.testing.assert_allclose(np.diff(times), 1 / 24, atol=1.5e-3)
    assert times[0] < {".mkv": 0.022, ".webm": 0.022, ".avi": 0.1}.get(suffix, 1e-9)
    for frame, image in zip(decoded, images):
        assert np.abs(frame.to_ndarray(format="bgr24").astype(float) - image).mean() < 8


@pytest.mark.parametrize("suffix, output, codec, kept", [(".mp4", None, "hevc", True), (".webm", None, "av1", True),
                                                   (".webm", {"codec": "libvpx-vp9"}, "vp9", False)])
def test_hdr10_hevc_stays_hevc_with_its_metadata_where_the_encoder_carries_it(tmp_path, suffix, output, codec, kept):
    if "libx265" not in av.codecs_available:
        pytest.skip("this FFmpeg has no libx265")
    source, target, notes = tmp_path / "hdr.mkv", tmp_path / f"out{suffix}", []
    hdr = "master-display=G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1):max-cll=1000,400"
    make_video(source, audio=False, codec="libx265", pixel_format="yuv420p10le",
               options={"x265-params": f"log-level=error:keyint=6:min-keyint=6:scenecut=0:{hdr}"})
    assert _in_pieces(source, target, lambda frame, bar: frame, notes.append, output) == 24
    with VideoReader(source) as a, VideoReader(target) as b:
        assert (b.codec, b.pixel_format[-4:]) == (codec, a.pixel_format[-4:] if kept else "420p")
        assert b.content_light == ((1000, 400) if kept else None) and (b.mastering_display is not None) == kept
        if kept:  # within AV1's precision (xy in 1/65536, the least luminance in 1/16384)
            np.testing.assert_allclose(list(b.mastering_display.values()), list(a.mastering_display.values()), atol=3e-5)
    assert a.mastering_display["red"] == (0.68, 0.32) and a.mastering_display["luminance"] == (0.0001, 1000)
    assert bool(notes) != kept and all("HDR10 content light level and mastering display" in n for n in notes)


def test_pieces_of_other_settings_or_sources_are_not_reused(tmp_path):
    from quorvex.cli import pieces

    source, target = tmp_path / "pan.mp4", tmp_path / "out.mp4"
    make_video(source, audio=False)
    done, todo, total, *_ = pieces.plan_pieces(source, target, False, {"scale": 2})
    assert total == 24 and len(done) == len(todo) == 4
    for piece in done[:3]:
        piece.write_bytes(b"made")  # as if a stopped run had finished three pieces
    assert [t[3] for t in pieces.plan_pieces(source, target, False, {"scale": 2})[1]] == done[3:]
    again, todo, *_ = pieces.plan_pieces(source, target, False, {"scale": 3})  # another scale: all redone
    assert len(todo) == 4 and not any(p.exists() for p in done)
    again[0].write_bytes(b"made")
    make_video(source, audio=False, frames=24, rate=25)  # the source made again
    assert len(pieces.plan_pieces(source, target, False, {"scale": 3})[1]) == 4 and not again[0].exists()
    model = tmp_path / "x2.onnx"
    model.write_bytes(b"weights")
    kept, *_ = pieces.plan_pieces(source, target, False, {"model": str(model)})
    kept[0].write_bytes(b"made")
    model.write_bytes(b"other weights")  # a model replaced under the same name
    assert len(pieces.plan_pieces(source, target, False, {"model": str(model)})[1]) == 4 and not kept[0].exists()


def test_metadata_is_read_and_kept(tmp_path):
    # Rotation, colour tags and frame times written by the writer as the reader gives them.
    vfr = [i / 30 for i in range(10)] + [10 / 30 + i / 15 for i in range(10)]
    source = tmp_path / "phone.mp4"
    make_video(source, frames=20, times=vfr, rotation=90, pixel_format="yuv422p10le",
               colour={"colorspace": 1, "color_primaries": 1, "color_trc": 1, "color_range": 1})
    with VideoReader(source) as reader:
        assert (reader.rotation, reader.matrix, reader.primaries, reader.transfer) == (90, "bt709", 1, 1)
        assert reader.pixel_format == "yuv422p10le"
        target = tmp_path / "kept.mov"
        assert reader.colour == ColourDescription("bt709", False, 1, 1)
        with VideoWriter(target, reader.fps, reader.size, "prores_ks", "yuv422p10le", colour=reader.colour,
                         time_base=reader.time_base, rotation=reader.rotation, audio_from=source) as writer:
            for frame in reader:
                writer.write(frame, reader.time)
    with VideoReader(target) as reader:  # a 48-row MOV: BT.709 only through its colour atom
        assert (reader.rotation, reader.matrix, reader.primaries, reader.transfer) == (90, "bt709", 1, 1)
        times = [reader.time for _ in reader]
    np.testing.assert_allclose(times, vfr, atol=1e-3)  # 15 fps after 30 fps, not re-timed
    with av.open(str(target)) as b:  # the video from 0, the audio where it was (AAC's priming before 0)
        assert next(b.demux(video=0)).pts == 0
    with av.open(str(source)) as a, av.open(str(target)) as b:
        assert [(p.pts, bytes(p)) for p in a.demux(audio=0)] == [(p.pts, bytes(p)) for p in b.demux(audio=0)]

    raw = tmp_path / "raw.h264"  # no time stamps: the codec's 30 fps, not FFmpeg's default 25
    make_video(raw, frames=6, rate=30, audio=False)
    assert VideoReader(raw).fps == 30.0

    for rows, matrix in ((720, "bt709"), (718, "bt601")):  # untagged: by height
        untagged = tmp_path / f"{rows}.mkv"
        make_video(untagged, frames=1, size=(16, rows), audio=False, pixel_format="yuv444p")
        with VideoReader(untagged) as reader:
            assert reader.matrix == matrix
            ours = next(reader).get()
        with VideoReader(untagged, matrix="bt2020", full_range=True) as reader:
            assert (reader.matrix, reader.full_range) == ("bt2020", True)
            overridden = next(reader).get()
        with av.open(str(untagged)) as container:
            planes = next(container.decode(video=0)).to_ndarray().reshape(3, rows, 16)
        for got, name, full in ((ours, matrix, False), (overridden, "bt2020", True)):
            np.testing.assert_allclose(got, bgr_reference(planes, 8, name, full), atol=2e-6)

    ycgco = tmp_path / "ycgco.mkv"
    make_video(ycgco, frames=1, audio=False, colour={"colorspace": 8})
    with pytest.raises(ValueError, match=r"is coded with the YCgCo matrix, which is not converted here; pass matrix="):
        VideoReader(ycgco)

    truncated = tmp_path / "cut.mkv"
    make_video(truncated, frames=24, audio=False)
    truncated.write_bytes(truncated.read_bytes()[: truncated.stat().st_size * 2 // 3])
    with pytest.warns(RuntimeWarning, match=r"gave \d+ frames where frame_count said 24"):
        with VideoReader(truncated) as reader:
            assert reader.frame_count == 24 and len(list(reader)) == reader.frame_count < 24


@pytest.mark.parametrize("where, arguments, error, message", [
    ("missing/out.mp4", {}, FileNotFoundError, r"no folder to write the video into: '.*missing/'"),
    ("out.mp4", {"size": (31, 24)}, ValueError, r"libx264 cannot write '.*out.mp4' as yuv420p at 31x24, 25 fps"),
    ("out.mkv", {"codec": "libx265", "pixel_format": "p010le"}, ValueError,
     r"libx265 does not encode pixel_format 'p010le'"),
    ("out.mp4", {"fps": float("nan")}, ValueError, r"takes a positive, finite fps, got nan"),
    ("out.webm", {}, ValueError, r"'.webm' files do not take codec 'libx264'"),
    ("out.webm", {"codec": "libvpx-vp9", "audio_from": True}, ValueError, r"'.webm' files do not take the aac audio"),
    ("out.mp4", {"codec": "nothing"}, ValueError, r"FFmpeg here has no encoder 'nothing'"),
    ("out.mp4", {"colour": ("bt709", False, 1, 1)}, TypeError, r"takes colour as a ColourDescription or None"),
    ("out.mp4", {"colour": ColourDescription("bt601", False, None, None), "primaries": 1}, ValueError,
     r"takes colour in place of matrix, full_range, primaries and transfer, not beside them"),
    ("out.mp4", {"frames": 0}, ValueError, r"close\(\): no frames were written, so '.*out.mp4' is not made"),
    ("out.mp4", {"frames": [0.0, 0.0]}, ValueError, r"write\(\) takes times that increase"),
])
def test_writer_refuses_when_made_what_it_cannot_write(source, tmp_path, where, arguments, error, message):
    arguments = dict(arguments)
    frames = arguments.pop("frames", None)
    if arguments.get("audio_from"):
        arguments["audio_from"] = source[0]
    arguments.setdefault("fps", 25)
    size = arguments.pop("size", (W, H))
    with pytest.raises(error, match=message):
        with VideoWriter(tmp_path / where, size=size, **arguments) as writer:
            for time in [] if frames == 0 else frames:
                writer.write(np.zeros((H, W, 3), np.float32), time)
            if frames is None:
                raise AssertionError("made")
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("suffix", [".mp4", ".mkv", ".webm"])
def test_the_same_run_gives_the_same_bytes(tmp_path, suffix):
    # Each piece's encoder runs on one thread, so its bytes depend on its frames only (with
    # FFmpeg's automatic thread count they would depend on the machine's cores); Matroska's
    # identifiers are not drawn at random.

    source = tmp_path / "pan.mp4"
    make_video(source, frames=12, size=(320, 240))
    made = []
    for name in ("a", "b"):
        target = tmp_path / name / f"out{suffix}"
        target.parent.mkdir()
        _in_pieces(source, target, lambda frame, bar: frame[::-1])
        made.append(target.read_bytes())
    assert made[0] == made[1]


def test_the_writer_s_pixel_formats_are_ffmpeg_s():
    import quorvex.io.video as video

    assert len(video.PIXEL_FORMATS) == 11
    for name, (bits, chroma, layout) in video.PIXEL_FORMATS.items():
        _, cb, cr = av.VideoFormat(name, 16, 16).components
        assert (cb.bits, {(8, 8): "420", (8, 16): "422", (16, 16): "444"}[cb.width, cb.height]) == (bits, chroma)
        assert (cb.plane == cr.plane == 1) == (layout == "semi"), name
