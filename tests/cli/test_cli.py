"""The quorvex command (on the CPU stand-ins where no GPU is usable): its main() in the test's process,
where that stream mode applies to it too, and its installed entry points as processes."""

import fractions
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
from unittest import mock

import cv2
import numpy as np
import onnx
import pytest
from onnx import TensorProto, helper
from support.command import TEST_PATH, nearest_x2, quorvex, smooth_image, write_png
from support.detector_models import detector_model, face_at
from support.identity_models import embedding_map, embedding_model, swap_model
from support.sr_models import compact, save_checkpoint

from quorvex.cli.media import BAND_BYTES


def test_installed_entry_points_and_a_machine_without_cupy(tmp_path):
    assert shutil.which("quorvex", path=os.path.dirname(sys.executable))
    out = subprocess.run([sys.executable, "-m", "quorvex", "--help"], capture_output=True, text=True, check=True).stdout
    assert all(name in out for name in ("upscale", "swap", "export", "build", "inspect"))
    write_png(tmp_path / "in.png", 20, 20)
    without_cupy = "import sys; sys.modules['cupy'] = None; from quorvex.cli import main; sys.exit(main())"
    done = subprocess.run([sys.executable, "-c", without_cupy, "upscale", tmp_path / "in.png", tmp_path / "o.png"],
                          capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr.count("\n") == 1
    assert "needs" not in done.stderr and "pip install 'quorvex[cuda12]'" in done.stderr
    # A missing library of the model is reported before the GPU check, with the status of missing CuPy.
    save_checkpoint(compact(scale=2), tmp_path / "x2.pth")
    without_torch = without_cupy.replace("sys.modules['cupy'] = None", "sys.modules['cupy'] = sys.modules['torch'] = None")
    done = subprocess.run([sys.executable, "-c", without_torch, "upscale", tmp_path / "in.png", tmp_path / "o.png",
                           f"--model={tmp_path / 'x2.pth'}"], capture_output=True, text=True)
    assert (done.returncode, done.stderr) == (2, "quorvex upscale: error: this model needs torch: pip install "
                                                 "'quorvex[torch]'\n")
    no_device = ("import sys, standin; standin.install(); import cupy\n"
                 "def none(): raise cupy.cuda.runtime.CUDARuntimeError(100)\n"
                 "cupy.cuda.runtime.getDeviceCount = none\n"
                 "from quorvex.cli import main; sys.exit(main())")
    done = subprocess.run([sys.executable, "-c", no_device, "--quiet", "upscale", tmp_path / "in.png",
                           tmp_path / "o.png"], capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=TEST_PATH))
    assert done.returncode == 2 and done.stderr.startswith("quorvex upscale: error: no usable NVIDIA GPU: "), done.stderr


@pytest.mark.parametrize("model", [None, "checkpoint", "onnx"])
def test_upscale_a_folder_keeps_its_layout_and_skips_finished_outputs(tmp_path, model):
    inputs = {"a.png": write_png(tmp_path / "in" / "a.png", 70, 90, 1),
              "sub/b.png": write_png(tmp_path / "in" / "sub" / "b.png", 40, 56, 2)}
    (tmp_path / "in" / "sub" / "broken.png").write_bytes(b"\x89PNG not really")  # reported; the others go on
    args = ["upscale", tmp_path / "in", tmp_path / "out", "--tile=32", "--overlap=8", "--batch=3"]
    if model == "checkpoint":
        args.append(f"--model={save_checkpoint(compact(scale=2), tmp_path / 'x2.pth')}")
    elif model == "onnx":
        args.append(f"--model={nearest_x2(tmp_path / 'x2.onnx')}")
    done = quorvex(*args)
    assert done.returncode == 1, done.stderr
    assert "upscaled 2 images" in done.stdout and "1 failed" in done.stdout and "images/s" in done.stdout
    assert f"quorvex upscale: skipped: {tmp_path / 'in' / 'sub' / 'broken.png'}: cannot decode" in done.stderr
    assert "[ WARN" not in done.stderr and "[ERROR" not in done.stderr  # OpenCV's own log lines stay silent
    assert "3/3" in done.stderr and not (tmp_path / "out" / "sub" / "broken.png").exists()  # per-file progress
    for name, image in inputs.items():
        written = cv2.imread(str(tmp_path / "out" / name), cv2.IMREAD_UNCHANGED)
        assert written.dtype == np.uint8 and written.shape == (image.shape[0] * 2, image.shape[1] * 2, 3)
        if model is None:
            expected = cv2.resize(image.astype(np.float32) / 255, None, fx=2, fy=2, interpolation=cv2.INTER_LANCZOS4)
            assert np.abs(written / 255.0 - expected).max() < 1.5 / 255
        elif model == "onnx":  # nearest neighbour survives tiling and blending exactly
            expected = cv2.resize(image, None, fx=2, fy=2, interpolation=cv2.INTER_NEAREST)
            assert np.abs(written.astype(int) - expected).max() <= 1
        else:
            import cupy as cp

            from quorvex.upscale.core.torch import TorchUpscaler

            whole = TorchUpscaler(model_path=args[-1].split("=", 1)[1], device="cuda").get(
                cp.asarray(image.astype(np.float32) / 255)).get()
            difference = np.abs(written / 255.0 - np.clip(whole, 0, 1))
            assert difference.mean() < 0.01  # tile edges see padding, not neighbours
    again = quorvex(*args)
    assert again.returncode == 1 and "2 skipped" in again.stdout


# open: B-frames before a key frame refer to the one before; .ts: an MPEG transport stream, as
# broadcasts and cameras write them (its demuxer seeks by position)
@pytest.mark.parametrize("gop, suffix", [("closed", ".mp4"), ("open", ".mp4"), ("open", ".ts")])
def test_upscale_a_video_frame_by_frame(tmp_path, monkeypatch, gop, suffix):
    from quorvex.cli import pieces

    av = pytest.importorskip("av")
    frames = [smooth_image(24, 32, seed) for seed in range(12)]
    with av.open(str(tmp_path / f"clip{suffix}"), "w") as container:
        stream = container.add_stream("libx264", rate=25)
        stream.width, stream.height, stream.pix_fmt = 32, 24, "yuv444p"
        stream.options = {"qp": "1", "x264-params": f"keyint=5:min-keyint=5:scenecut=0:bframes=2:b-adapt=0:open-gop={int(gop == 'open')}"}
        for frame in frames:
            container.mux(stream.encode(av.VideoFrame.from_ndarray((frame * 255 + 0.5).astype(np.uint8), "bgr24")))
        container.mux(stream.encode())
    def stopped(*_, **__):
        raise KeyboardInterrupt

    with monkeypatch.context() as patch:  # stopped once every piece is made: the next run joins them
        patch.setattr(pieces, "finish", stopped)
        assert quorvex("upscale", tmp_path / f"clip{suffix}", tmp_path / "big.mp4", "--scale=2").returncode == 130
    done = quorvex("upscale", tmp_path / f"clip{suffix}", tmp_path / "big.mp4", "--scale=2")
    assert done.returncode == 0, done.stderr
    assert "12/12" in done.stderr  # the per-frame progress bar
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted([f"clip{suffix}", "big.mp4"])  # pieces removed
    with av.open(str(tmp_path / "big.mp4")) as container:
        assert container.streams.video[0].codec_context.format.name == "yuv444p"  # the source's chroma kept
        written = [f.to_ndarray(format="bgr24") / 255.0 for f in container.decode(video=0)]
    assert len(written) == 12 and written[0].shape == (48, 64, 3)
    for frame, out in zip(frames, written):  # the encoder's loss on top of the resize
        expected = cv2.resize(frame, None, fx=2, fy=2, interpolation=cv2.INTER_LANCZOS4)
        assert np.abs(out - expected).mean() < 0.02


def test_the_resize_keeps_super_white_and_sub_black(tmp_path):
    av = pytest.importorskip("av")
    luma = np.tile(np.linspace(4, 250, 64), (16, 1))  # codes below 16 and above 235, grey (chroma 128)
    with av.open(str(tmp_path / "ramp.mp4"), "w") as container:
        stream = container.add_stream("libx264", rate=25)
        stream.width, stream.height, stream.pix_fmt, stream.options = 64, 16, "yuv444p", {"qp": "0"}
        frame = av.VideoFrame.from_ndarray(np.stack([luma.round(), np.full_like(luma, 128), np.full_like(luma, 128)])
                                           .astype(np.uint8), "yuv444p")
        container.mux(stream.encode(frame))
        container.mux(stream.encode())
    done = quorvex("upscale", tmp_path / "ramp.mp4", tmp_path / "big.mp4", "--scale=2", "--crf=0")
    assert done.returncode == 0, done.stderr
    with av.open(str(tmp_path / "big.mp4")) as container:
        written = next(container.decode(video=0)).to_ndarray()[0].astype(float)
    # Grey through BGR and back is the luma's own resize; codes 0 and 255 stay reserved.
    expected = np.clip(cv2.resize(luma.round(), None, fx=2, fy=2, interpolation=cv2.INTER_LANCZOS4), 1, 254)
    assert np.abs(written - expected).max() <= 1 and written.max() > 245 and written.min() < 8


def stream_times(path):
    """(first video time, first audio time, every video frame's time) in seconds, as PyAV decodes."""
    import av

    def first(**stream):
        with av.open(str(path)) as container:
            packet = next(p for p in container.demux(**stream) if p.pts is not None)
            return float(packet.pts * packet.time_base)

    with av.open(str(path)) as container:
        times = [float(f.time) for f in container.decode(video=0)]
    return first(video=0), first(audio=0), times


@pytest.mark.parametrize("suffix", [".mp4", ".mkv"])
@pytest.mark.parametrize("case", ["video starts late", "rate drops at a key frame"])
def test_video_keeps_its_times_its_offset_to_the_audio_and_its_tags(tmp_path, suffix, case):
    av = pytest.importorskip("av")
    source = tmp_path / f"clip{suffix}"
    late = 0.52 if case == "video starts late" else 0
    times = [late + i / 30 for i in range(60)] + ([2 + i / 10 for i in range(30)] if late == 0 else [])
    with av.open(str(source), "w") as container:
        video = container.add_stream("libx264", rate=30)
        video.width, video.height, video.pix_fmt = 48, 32, "yuv420p"
        video.codec_context.time_base = fractions.Fraction(1, 600)
        video.options = {"x264-params": "keyint=30:min-keyint=30:scenecut=0:bframes=2"}
        audio = container.add_stream("aac", rate=8000)
        container.metadata.update(title="a clip", creation_time="2020-01-02T03:04:05.000000Z")
        audio.metadata["language"] = "fra"
        for i, t in enumerate(times):
            frame = av.VideoFrame.from_ndarray((smooth_image(32, 48, i) * 255).astype(np.uint8), "bgr24")
            frame.pts, frame.time_base = round(t * 600), fractions.Fraction(1, 600)
            container.mux(video.encode(frame))
        container.mux(video.encode())
        tone = av.AudioFrame.from_ndarray(np.zeros((1, 8000 * 3), np.float32), format="fltp", layout="mono")
        tone.sample_rate, tone.pts = 8000, 0
        container.mux(audio.encode(tone))
        container.mux(audio.encode())
    done = quorvex("upscale", source, tmp_path / f"big{suffix}", "--scale=2")
    assert done.returncode == 0, done.stderr
    (v_in, a_in, t_in), (v_out, a_out, t_out) = stream_times(source), stream_times(tmp_path / f"big{suffix}")
    assert abs((v_out - a_out) - (v_in - a_in)) <= 1024 / 8000  # within one audio frame
    np.testing.assert_allclose(t_out, t_in, atol=2e-3)
    with av.open(str(tmp_path / f"big{suffix}")) as container:
        assert container.metadata["title"] == "a clip" and container.streams.audio[0].metadata["language"] == "fra"
        assert suffix == ".mkv" or container.metadata["creation_time"].startswith("2020-01-02T03:04:05")


def test_a_damaged_key_frame_comes_out_as_a_whole_file_decode_conceals_it(tmp_path):
    av = pytest.importorskip("av")
    from quorvex.io.video import VideoReader

    frames = [(smooth_image(48, 64, i) * 255).astype(np.uint8) for i in range(48)]
    with av.open(str(tmp_path / "clean.mp4"), "w") as container:
        stream = container.add_stream("libx264", rate=25)
        stream.width, stream.height, stream.pix_fmt = 64, 48, "yuv420p"
        stream.options = {"x264-params": "keyint=12:min-keyint=12:scenecut=0:bframes=0"}
        for frame in frames:
            container.mux(stream.encode(av.VideoFrame.from_ndarray(frame, "bgr24")))
        container.mux(stream.encode())
    with av.open(str(tmp_path / "clean.mp4")) as source, av.open(str(tmp_path / "damaged.mp4"), "w") as out:
        video = out.add_stream_from_template(source.streams.video[0])
        for n, packet in enumerate(p for p in source.demux(video=0) if p.dts is not None):
            if n == 24:  # the key frame a piece starts at, its middle third lost
                data = bytearray(bytes(packet))
                third = len(data) // 3
                data[third:2 * third] = bytes(third)
                damaged = av.Packet(bytes(data))
                damaged.pts, damaged.dts, damaged.time_base, damaged.is_keyframe = packet.pts, packet.dts, packet.time_base, True
                packet = damaged
            packet.stream = video
            out.mux(packet)
    done = quorvex("upscale", tmp_path / "damaged.mp4", tmp_path / "big.mp4", "--scale=2")
    assert done.returncode == 0, done.stderr
    with VideoReader(str(tmp_path / "damaged.mp4")) as reader:  # the whole file through one decoder
        whole = [cv2.resize(f.get(), None, fx=2, fy=2, interpolation=cv2.INTER_LANCZOS4) for f in reader]
    with av.open(str(tmp_path / "big.mp4")) as container:
        written = [f.to_ndarray(format="bgr24") / 255.0 for f in container.decode(video=0)]
    errors = [np.abs(w - e).mean() * 255 for w, e in zip(written, whole)]
    # the encoder's loss alone; else which frames, and how far each is from the reference's neighbours
    far = [(i, round(e), [round(np.abs(written[i] - whole[j]).mean() * 255) for j in (i - 1, i + 1) if 0 <= j < 48])
           for i, e in enumerate(errors) if e >= 2 * np.median(errors)]
    assert len(written) == 48 and not far, far


@pytest.mark.parametrize("source, suffix, expected", [
    ("yuv444p10le", ".mp4", ("libx264", "yuv444p10le")),
    ("yuv420p12le", ".mkv", ("libx265", "yuv420p12le")),  # x264 makes 10 bits at most
    ("yuv444p12le", ".webm", ("libvpx-vp9", "yuv444p")),  # VP9 here is 8-bit: chroma kept before depth
    ("gbrp", ".mov", ("libx264", "yuv444p")),
    ("gray", ".mp4", ("libx264", "yuv420p")),
])
def test_video_output_keeps_the_source_s_depth_and_chroma_where_an_encoder_can(source, suffix, expected):
    av = pytest.importorskip("av")
    from quorvex.cli.videos import choose_output

    if expected[0] not in av.codecs_available:
        pytest.skip(f"this FFmpeg has no {expected[0]}")
    assert choose_output(pathlib.Path("out" + suffix), source, None)[:2] == expected


@pytest.mark.parametrize("name, output, refused", [
    ("out.mp4", {"crf": 0}, None), ("out.mp4", {"crf": 52}, "libx264 takes 0 (best) to 51"),
    ("out.webm", {"crf": 63}, None), ("out.mp4", {"crf": -1}, "takes 0"),
    ("out.mp4", {"preset": "slow", "bitrate": "2.5M", "maxrate": "4M"}, None),
    ("out.mp4", {"preset": "quick"}, "--preset quick: libx264 takes ultrafast"),
    ("out.webm", {"preset": "slow"}, "--preset is for libx264"),
    ("out.mp4", {"crf": 20, "bitrate": "5M"}, "give one"), ("out.mp4", {"bitrate": "5 Mbit"}, "expected bits"),
    ("out.mp4", {"bitrate": "8M", "maxrate": "4M"}, "above --maxrate"),
    ("out.mp4", {"encoder": "nvenc", "crf": 20}, "--crf is for FFmpeg's encoders"),
    ("out.webm", {"encoder": "nvenc", "codec": "libvpx-vp9"}, "--encoder nvenc makes h264, hevc or av1"),
    ("out.mp4", {"encoder": "nvenc", "preset": "slow"}, "--preset slow: NVENC takes p1"),
])
def test_encoder_options_are_checked_against_the_encoder(name, output, refused):
    pytest.importorskip("av")
    from quorvex.cli.common import CliError
    from quorvex.cli.videos import choose_output

    if refused:
        with pytest.raises(CliError, match=re.escape(refused)):
            choose_output(pathlib.Path(name), "yuv420p", output)
        return
    options = choose_output(pathlib.Path(name), "yuv420p", output)[2]
    assert options.get("crf") == (str(output["crf"]) if "crf" in output else None)
    if "bitrate" in output:
        assert (options["preset"], options["b"], options["maxrate"]) == ("slow", "2500000", "4000000")


@pytest.mark.parametrize("part", [["--start", "0.3", "--duration", "0.5"], ["--start", "00:00:01.2"],
                                  ["--duration", "0.26"]])
def test_part_of_a_video_has_the_frames_ffmpeg_cuts(tmp_path, part):
    import av
    from support.videos import make_video

    make_video(tmp_path / "in.mp4", frames=48, size=(64, 48), key_every=12)
    done = quorvex("upscale", tmp_path / "in.mp4", tmp_path / "out.mp4", "--scale=2", *part)
    assert done.returncode == 0, done.stderr
    cut = [{"--start": "-ss", "--duration": "-t"}.get(a, a) for a in part]
    subprocess.run(["ffmpeg", "-v", "error", "-y", *cut, "-i", tmp_path / "in.mp4", "-fps_mode", "passthrough",
                    "-c:v", "libx264", "-qp", "0", tmp_path / "ref.mp4"], check=True)
    with av.open(str(tmp_path / "out.mp4")) as out, av.open(str(tmp_path / "ref.mp4")) as ref:
        frames = list(zip(out.decode(video=0), ref.decode(video=0), strict=True))
        sound = out.streams.audio[0]
        assert abs(float(sound.duration * sound.time_base) - len(frames) / 24) < 0.05  # the part's audio
    assert frames[0][0].pts == 0
    for ours, theirs in frames:
        expected = cv2.resize(theirs.to_ndarray(format="bgr24"), (128, 96), interpolation=cv2.INTER_LANCZOS4)
        assert np.abs(ours.to_ndarray(format="bgr24").astype(int) - expected).mean() < 4


def test_a_video_through_nvdec_and_nvenc(tmp_path):
    import av
    from support.videos import make_video

    make_video(tmp_path / "in.mp4", frames=12, size=(64, 48), key_every=6)
    done = quorvex("upscale", tmp_path / "in.mp4", tmp_path / "out.mp4", "--decoder=nvdec", "--encoder=nvenc",
                   "--codec=hevc", "--preset=P5", "--bitrate=2M")
    assert done.returncode == 0, done.stderr
    with av.open(str(tmp_path / "in.mp4")) as source, av.open(str(tmp_path / "out.mp4")) as out:
        assert out.streams.video[0].codec_context.name == "hevc"
        pairs = list(zip(source.decode(video=0), out.decode(video=0), strict=True))
    for before, after in pairs:  # the resize, through both hardware codecs
        expected = cv2.resize(before.to_ndarray(format="bgr24"), (128, 96), interpolation=cv2.INTER_LANCZOS4)
        assert np.abs(after.to_ndarray(format="bgr24").astype(int) - expected).mean() < 4


def test_export_build_inspect_and_upscale_with_the_engine(tmp_path):
    checkpoint = save_checkpoint(compact(scale=2), tmp_path / "x2.pth")
    onnx_path, engine = tmp_path / "x2.onnx", tmp_path / "x2.engine"
    exported = quorvex("export", checkpoint, onnx_path, "--device=cpu")
    assert exported.returncode == 0, exported.stderr
    assert f"exported to: {onnx_path}" in exported.stdout and ".partial" not in exported.stdout
    built = quorvex("build", onnx_path, engine, "--precision=fp32", "--sizes=16,32,64", "--batches=1,2,4")
    assert built.returncode == 0, built.stderr
    described = {}
    for name, path in (("checkpoint", checkpoint), ("onnx", onnx_path), ("engine", engine)):
        done = quorvex("inspect", path, "--json")
        assert done.returncode == 0, done.stderr
        described[name] = json.loads(done.stdout)
    assert described["checkpoint"] | {"file": None} == described["checkpoint"] | {
        "file": None, "kind": "pytorch", "architecture": "RealESRGAN Compact", "purpose": "SR", "scale": 2,
        "input_channels": 3, "output_channels": 3, "precisions": ["fp32", "fp16", "bf16"]}
    assert described["onnx"]["inputs"] == [{"name": "input", "shape": ["batch_size", 3, "height", "width"],
                                            "type": "float"}]
    (engine_input,) = described["engine"]["inputs"]
    assert engine_input["shape"] == ["dynamic", 3, "dynamic", "dynamic"]
    assert engine_input["profile"] == {"min": [1, 3, 16, 16], "opt": [2, 3, 32, 32], "max": [4, 3, 64, 64]}
    text = quorvex("inspect", checkpoint)
    assert "x2" in text.stdout and "fp32, fp16, bf16" in text.stdout

    image = write_png(tmp_path / "in.png", 50, 70)
    done = quorvex("upscale", tmp_path / "in.png", tmp_path / "out.png", f"--model={engine}", "--tile=32",
                   "--overlap=8", "--batch=8")
    assert done.returncode == 0, done.stderr
    assert "upscaled 1 image (6 tiles)" in done.stdout  # batches of at most 4, the engine's maximum
    checkpoint_run = quorvex("upscale", tmp_path / "in.png", tmp_path / "ref.png", f"--model={checkpoint}",
                             "--tile=32", "--overlap=8")
    assert checkpoint_run.returncode == 0, checkpoint_run.stderr
    written, reference = (cv2.imread(str(tmp_path / n)).astype(int) for n in ("out.png", "ref.png"))
    assert written.shape == (image.shape[0] * 2, image.shape[1] * 2, 3) and np.abs(written - reference).max() <= 2

    # An engine that takes batches of exactly 4: the last batch of the 6 tiles is filled up.
    fixed = tmp_path / "x2_fixed.engine"
    assert quorvex("build", onnx_path, fixed, "--precision=fp32", "--input-shape=4,3,32,32").returncode == 0
    done = quorvex("upscale", tmp_path / "in.png", tmp_path / "fixed.png", f"--model={fixed}", "--overlap=8")
    assert done.returncode == 0, done.stderr
    assert "upscaled 1 image (6 tiles)" in done.stdout and "batch 4" in done.stdout
    np.testing.assert_array_equal(cv2.imread(str(tmp_path / "fixed.png")), cv2.imread(str(tmp_path / "out.png")))


# An engine and $QUORVEX_EMAP, or the ONNX detector built once and the swap model's own map, cached.
@pytest.mark.parametrize("given", ["engine", "onnx"])
def test_swap_changes_the_faces_only(tmp_path, given):
    faces = [face_at(16, 12, 12, 0.9, 70, angle=0.1), face_at(16, 14, 28, 0.8, 60)]
    if given == "engine":
        detector, env = tmp_path / "det.engine", {"QUORVEX_EMAP": str(tmp_path / "emap.npy")}
        detector.write_bytes(__import__("standin.tensorrt").tensorrt.engine_bytes(detector_model(9, faces=faces)))
    else:
        detector, env = tmp_path / "det.onnx", {"XDG_CACHE_HOME": str(tmp_path / "cache"), "QUORVEX_EMAP": ""}
        onnx.save(detector_model(9, faces=faces), detector)
    onnx.save(embedding_model(), tmp_path / "embed.onnx")
    onnx.save(swap_model(emap=given == "onnx"), tmp_path / "swap.onnx")
    np.save(tmp_path / "emap.npy", embedding_map())
    source = write_png(tmp_path / "source.png", 360, 640, 1)
    cv2.imwrite(str(tmp_path / "source.png"), np.dstack([source, np.full((360, 640), 200, np.uint8)]))  # with alpha
    target = write_png(tmp_path / "frames" / "target.png", 360, 640, 2)
    write_png(tmp_path / "other.png", 360, 640, 3)
    first = None
    for run in range(1 if given == "engine" else 2):
        sources = ["--source", tmp_path / "source.png"] + ["--source", tmp_path / "other.png", "--mask-blur=0.1",
                                                            "--mask-padding=5,0"] * run
        done = quorvex("swap", *sources, tmp_path / "frames", tmp_path / "swapped",
                       "--detector", detector, "--embedder", tmp_path / "embed.onnx",
                       "--swapper", tmp_path / "swap.onnx", "--faces=largest", "--overwrite", env=env)
        assert done.returncode == 0, done.stderr
        assert "swapped 1 faces in 1 image" in done.stdout
        if given == "engine":  # by identity: the frame's larger face is itself, no face of the source's image is
            for reference, swapped in ((tmp_path / "frames" / "target.png", 1), (tmp_path / "source.png", 0)):
                chosen = quorvex("swap", "--source", tmp_path / "source.png", tmp_path / "frames", tmp_path / "chosen",
                                 "--detector", detector, "--embedder", tmp_path / "embed.onnx", "--swapper",
                                 tmp_path / "swap.onnx", "--reference", reference, "--similarity", "0.999",
                                 "--overwrite", env=env)
                assert f"swapped {swapped} faces in 1 image" in chosen.stdout, chosen.stderr
        sized = quorvex("swap", *sources, tmp_path / "frames", tmp_path / "sized", "--detector", detector, "--embedder",
                        tmp_path / "embed.onnx", "--swapper", tmp_path / "swap.onnx", "--det-size", "320x640", env=env)
        assert sized.returncode == 2 and "--det-size 320x640: " in sized.stderr and "takes 640x640" in sized.stderr
        if given == "onnx":  # built on the first run only; the map's source said each time
            assert ("building a TensorRT engine" in done.stderr) == (run == 0), done.stderr
            assert "the embedding map is" in done.stderr and len(list((tmp_path / "cache").rglob("*.engine"))) == 1
            swapped = cv2.imread(str(tmp_path / "swapped" / "target.png"))
            assert run == 0 or np.abs(swapped.astype(int) - first).max() > 2  # two sources: another identity
            first = swapped.astype(int)
    changed = np.abs(cv2.imread(str(tmp_path / "swapped" / "target.png")).astype(int) - target).max(axis=2) > 2
    x1, y1, x2, y2 = (int(v) for v in faces[0].box)  # the larger face; the frame maps 1:1 onto the network
    near = np.zeros_like(changed)
    near[max(y1 - 10, 0):y2 + 10, max(x1 - 10, 0):x2 + 10] = True
    assert changed[near].any() and not changed[~near].any()


@pytest.mark.parametrize("kind", ["onnx", "pth"])
def test_upscale_face_enhance_restores_the_faces_of_the_result(tmp_path, kind):
    from support.restore_models import restorer
    from support.sr_models import restoreformer

    face = face_at(16, 12, 12, 0.9, 70, angle=0.1)
    (tmp_path / "det.engine").write_bytes(__import__("standin.tensorrt").tensorrt.engine_bytes(detector_model(9, faces=[face])))
    model = tmp_path / f"restore.{kind}"
    if kind == "onnx":
        model.write_bytes(restorer(0.5))  # pulls a face towards grey
    else:
        save_checkpoint(restoreformer(), model)
    write_png(tmp_path / "in.png", 180, 320, 1)
    plain = quorvex("upscale", tmp_path / "in.png", tmp_path / "plain.png")
    done = quorvex("upscale", tmp_path / "in.png", tmp_path / "faces.png", "--face-enhance", model,
                   "--detector", tmp_path / "det.engine")
    assert plain.returncode == done.returncode == 0 and "faces restored" in done.stdout, done.stderr
    changed = np.abs(cv2.imread(str(tmp_path / "faces.png")).astype(int) - cv2.imread(str(tmp_path / "plain.png"))) > 2
    x1, y1, x2, y2 = (int(v) for v in face.box)  # the 640x360 result maps 1:1 onto the detector's input
    near = np.zeros(changed.shape[:2], bool)
    near[max(y1 - 10, 0):y2 + 10, max(x1 - 10, 0):x2 + 10] = True
    assert changed[near].any() and not changed[~near].any()
    alone = quorvex("upscale", tmp_path / "in.png", tmp_path / "o.png", "--face-enhance", tmp_path / "restore.onnx")
    assert alone.returncode == 2 and "--face-enhance MODEL and --detector DET go together" in alone.stderr


def test_swap_follows_the_faces_of_a_video(tmp_path):
    import av
    from support.videos import make_video

    faces = [face_at(16, 12, 12, 0.9, 70, angle=0.1), face_at(16, 14, 28, 0.8, 60)]
    (tmp_path / "det.engine").write_bytes(__import__("standin.tensorrt").tensorrt.engine_bytes(detector_model(9, faces=faces)))
    onnx.save(embedding_model(), tmp_path / "embed.onnx")
    onnx.save(swap_model(), tmp_path / "swap.onnx")
    np.save(tmp_path / "emap.npy", embedding_map())
    write_png(tmp_path / "source.png", 360, 640, 1)
    make_video(tmp_path / "in.mp4", frames=12, size=(640, 360), key_every=6)
    done = quorvex("swap", "--source", tmp_path / "source.png", tmp_path / "in.mp4", tmp_path / "out.mp4", "--detector",
                   tmp_path / "det.engine", "--embedder", tmp_path / "embed.onnx", "--swapper", tmp_path / "swap.onnx",
                   "--faces=largest", env={"QUORVEX_EMAP": str(tmp_path / "emap.npy")})
    assert done.returncode == 0 and "swapped 12 faces in 12 frames" in done.stdout, done.stderr
    with av.open(str(tmp_path / "in.mp4")) as a, av.open(str(tmp_path / "out.mp4")) as b:
        pairs = list(zip(a.decode(video=0), b.decode(video=0), strict=True))
    x1, y1, x2, y2 = (int(v) for v in faces[0].box)
    for before, after in pairs:  # the larger face changed in every frame, the other one kept
        difference = np.abs(before.to_ndarray(format="bgr24").astype(int) - after.to_ndarray(format="bgr24"))
        assert difference[y1:y2, x1:x2].mean() > 10 and np.median(difference) <= 2


@pytest.mark.parametrize(
    "args, status, message",
    [
        (["upscale", "{tmp}/missing.png", "{tmp}/o.png"], 2, "missing.png: no such file or folder"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.xyz"], 2, "cannot write images of type .xyz"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--tile=16", "--overlap=16"], 2,
         "--overlap 16 must be smaller than --tile 16"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--batch=0"], 2, "--batch must be at least 1, got 0"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/in.png"], 2, "unknown model type .png"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/x2.pth", "--tile=20", "--precision=fp16"], 0, ""),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/x2.pth", "--scale=4"], 2,
         "--scale 4: the model upscales x2"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/fixed.onnx", "--tile=32"], 2,
         "--tile 32: the model takes 24x24 inputs only"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--device=gpu"], 2, "--device must be cuda or cuda:N"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--workers=2"], 2, "--workers and --gpus-per-worker go with --ray"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--device=cuda:7"], 2, "only 1 CUDA device(s)"),
        (["upscale", "{tmp}/broken.png", "{tmp}/o.png"], 1, "broken.png: cannot decode this image"),
        (["upscale", "{tmp}/in.png", "{tmp}/ro/o.png"], 2, "no permission to write here"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/garbage.onnx"], 2, "not a readable ONNX model"),
        (["upscale", "{tmp}/clip.mp4", "{tmp}/o.mp4"], 1, "clip.mp4"),
        (["inspect", "{tmp}/garbage.pth"], 2,
         "garbage.pth: not a PyTorch checkpoint (neither torch.save data nor safetensors)"),
        (["inspect", "{tmp}/photo.pth"], 2, "photo.pth: not a PyTorch checkpoint"),
        (["inspect", "{tmp}/linear.pth"], 2, "linear.pth: spandrel does not recognise this model's architecture"),
        (["upscale", "{tmp}/dir", "{tmp}/dir"], 2, "dir is the input folder; give another folder for the outputs"),
        (["upscale", "{tmp}/dir", "{tmp}"], 2, "holds the input folder {tmp}/dir; the outputs would mix with the inputs"),
        (["upscale", "{tmp}/dir", "{tmp}/out"], 2, "out/link is a symbolic link to {tmp}/outside, outside {tmp}/out"),
        (["upscale", "{tmp}/in.png", "{tmp}/dir/../in.png"], 2, "in.png: the output would replace the input"),
        (["upscale", "{tmp}/rgba.png", "{tmp}/o.jpg"], 2, "rgba.png has an alpha channel, which .jpg files cannot hold"),
        (["upscale", "{tmp}/rgba.png", "{tmp}/o.jpg", "--drop-alpha", "--quiet"], 0, ""),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--device=cuda:1"], 2, "--device cuda:1: there is only 1 CUDA"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/inputs.onnx", "--tile=16", "--overlap=4"], 0, ""),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx"], 2, "--detector"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--faces=some"], 2, "--faces must be all, largest or a positive"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--faces=0"], 2,
         "--faces must be all, largest or a positive count, got '0'"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--enhancer-blend=0.5"], 2, "--enhancer-blend needs --enhancer"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--enhancer=g.onnx", "--enhancer-blend=1.5"], 2,
         "--enhancer-blend must be a number from 0 to 1, got 1.5"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--det-thresh=1"], 2, "--det-thresh must be a number between 0"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--similarity=0.5"], 2, "--similarity needs --reference"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--det-size=640x100"], 2,
         "--det-size must be N or WxH, multiples of 32 from 32 to 4096, got 640x100"),
        (["swap", "--source={tmp}/in.png", "{tmp}/in.png", "{tmp}/o.png", "--detector={tmp}/x2.pth",
          "--embedder=e.onnx", "--swapper=s.onnx", "--mask-padding=1,2,3"], 2,
         "--mask-padding must be P, V,H or T,R,B,L percents from 0 to 100, got 1,2,3"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/m/outside.onnx"], 2,
         "tensor 'scales' takes its data from '../scales.bin', which is not a file inside {tmp}/m"),
        (["inspect", "{tmp}/empty.onnx"], 2, "empty.onnx: not an ONNX model (it has no graph outputs"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--model={tmp}/m"], 2,
         "m: a folder; give the model file in it (outside.onnx)"),
        (["upscale", "{tmp}/dir", "{tmp}/one.png"], 2,
         "one.png names a file; a folder input needs an output folder (for example {tmp}/one)"),
        (["upscale", "{tmp}/audio.mp4", "{tmp}/o.mp4"], 2, "audio.mp4: no video stream (it holds audio)"),
        (["upscale", "{tmp}/fifo.png", "{tmp}/o.png"], 2, "fifo.png: not a regular file (a FIFO"),
        (["upscale", "{tmp}/video.mp4", "{tmp}/o.mp4", "--codec=h264_nvenc"], 2,
         "--codec h264_nvenc: FFmpeg cannot open this encoder here"),
        (["upscale", "ndi://cam", "{tmp}/o.mp4", "--ray"], 2, "ndi:// runs in this process; leave --ray out"),
        (["upscale", "{tmp}/video.mp4", "{tmp}/o.mp4", "--start=1:00"], 2, "no frame is shown from 60 s"),
        (["upscale", "{tmp}/in.png", "{tmp}/o.png", "--duration=2"], 2, "--start and --duration take part of a video"),
        (["upscale", "{tmp}/interlaced.mp4", "{tmp}/o.mp4"], 2,
         "interlaced.mp4: interlaced video (fields tt), which would be resized as one picture mixing its two fields"),
        (["upscale", "{tmp}/in.png", "{tmp}/o\udcff.png", "--quiet"], 0, ""),
    ],
)
def test_failures_are_one_line_with_a_status(tmp_path, args, status, message):
    write_png(tmp_path / "in.png", 30, 40)
    (tmp_path / "broken.png").write_bytes(b"\x89PNG not really")
    (tmp_path / "garbage.onnx").write_bytes(b"not a model")
    (tmp_path / "garbage.pth").write_bytes(b"not a checkpoint")
    (tmp_path / "clip.mp4").write_bytes(b"")
    (tmp_path / "ro").mkdir(mode=0o555)
    save_checkpoint(compact(scale=2), tmp_path / "x2.pth")
    nearest_x2(tmp_path / "fixed.onnx", fixed=24)
    shutil.copy(tmp_path / "in.png", tmp_path / "photo.pth")
    import torch

    torch.save(torch.nn.Linear(2, 2).state_dict(), tmp_path / "linear.pth")
    write_png(tmp_path / "dir" / "link" / "a.png", 8, 8)
    (tmp_path / "out").mkdir()
    (tmp_path / "outside").mkdir()
    (tmp_path / "out" / "link").symlink_to(tmp_path / "outside")
    cv2.imwrite(str(tmp_path / "rgba.png"), np.full((6, 7, 4), 100, np.uint8))
    # An older exporter's model: its initializers are listed among the graph's inputs too.
    with_inputs = onnx.load(nearest_x2(tmp_path / "inputs.onnx"))
    with_inputs.graph.input.append(helper.make_tensor_value_info("scales", TensorProto.FLOAT, [4]))
    onnx.save(with_inputs, tmp_path / "inputs.onnx")
    (tmp_path / "m").mkdir()  # a model naming a side file outside its folder
    outside = onnx.load(nearest_x2(tmp_path / "x2.onnx"))
    scales = outside.graph.initializer[0]
    (tmp_path / "scales.bin").write_bytes(np.array(scales.float_data, np.float32).tobytes())
    scales.ClearField("float_data")
    scales.data_location = onnx.TensorProto.EXTERNAL
    scales.external_data.add(key="location", value="../scales.bin")
    onnx.save(outside, tmp_path / "m" / "outside.onnx")
    (tmp_path / "empty.onnx").write_bytes(b"")
    os.mkfifo(tmp_path / "fifo.png")
    if args[1].endswith(("/video.mp4", "/interlaced.mp4")):
        av = pytest.importorskip("av")
        with av.open(args[1].replace("{tmp}", str(tmp_path)), "w") as container:
            stream = container.add_stream("libx264", rate=25)
            stream.width, stream.height = 32, 24
            if "interlaced" in args[1]:  # top field first, as cameras and broadcasts make them
                stream.options = {"x264-params": "tff=1"}
            for _ in range(3):
                container.mux(stream.encode(av.VideoFrame.from_ndarray(np.zeros((24, 32, 3), np.uint8), "bgr24")))
            container.mux(stream.encode())
    if "audio.mp4" in args[1]:
        av = pytest.importorskip("av")
        with av.open(str(tmp_path / "audio.mp4"), "w") as container:
            stream = container.add_stream("aac", rate=8000)
            frame = av.AudioFrame.from_ndarray(np.zeros((1, 1024), np.float32), format="fltp", layout="mono")
            frame.sample_rate = 8000
            container.mux(stream.encode(frame))
            container.mux(stream.encode())
    if os.geteuid() == 0 and "ro/" in " ".join(args):
        pytest.skip("root writes anywhere")
    done = quorvex(*(a.replace("{tmp}", str(tmp_path)) for a in args))
    assert done.returncode == status, done.stderr
    if status:
        lines = [line for line in done.stderr.splitlines() if not line.startswith(("device bytes", "note:"))]
        message = message.replace("{tmp}", str(tmp_path))
        assert len(lines) == 1 and lines[0].startswith(f"quorvex {args[0]}: error: ") and message in lines[0], lines
        assert not (tmp_path / "o.png").exists() and not list((tmp_path / "outside").iterdir())
    else:  # a tile the model accepts and a precision it supports
        assert (tmp_path / args[2].split("/")[-1]).exists()
        assert [p.name for p in tmp_path.iterdir() if p.name.startswith(".")] == []  # no temporary left


@pytest.mark.standin
def test_device_memory_holds_the_image_the_result_and_one_batch(tmp_path):
    side, tile, overlap, batch = 300, 32, 8, 4
    write_png(tmp_path / "in.png", side, side)
    done = quorvex("upscale", tmp_path / "in.png", tmp_path / "out.png", f"--model={nearest_x2(tmp_path / 'x2.onnx')}",
                   f"--tile={tile}", f"--overlap={overlap}", f"--batch={batch}", "--quiet")
    assert done.returncode == 0, done.stderr
    peak = int(done.stderr.split("device bytes at the peak:")[1])
    step, scale = tile - overlap, 2
    padded = side + (step - (side - overlap) % step) % step
    canvas = (padded * scale) ** 2
    tiles = ((padded - overlap) // step) ** 2
    batch_bytes = batch * 3 * tile * tile * 4 * (1 + scale * scale)  # one batch in and out
    held = (side * side * 3 * 4 + padded * padded * 3 * 4  # the image and its padded copy
            + canvas * (3 + 1) * 4  # the weighted sum and the weight sum
            + (side * scale) ** 2 * 3  # the 8-bit result
            + min((side * scale) ** 2 * 3 * 4, BAND_BYTES)  # a dense float32 band to convert
            + 2 * batch_bytes)  # the batch being made while the last one is let go
    every_tile = tiles * 3 * (tile * scale) ** 2 * 4
    assert peak <= held + (1 << 20) and peak < held - batch_bytes + every_tile / 2, (peak, held, every_tile)


class RunsCommand:
    def __init__(self, command):
        self.command = command

    def __reduce__(self):
        return os.system, (self.command,)


def test_checkpoints_run_no_code_unless_trusted(tmp_path):
    import torch

    marker = tmp_path / "ran"
    model = tmp_path / "evil.pth"
    torch.save({"params": compact(scale=2).state_dict(), "note": RunsCommand(f"touch {marker}")}, model)
    write_png(tmp_path / "in.png", 20, 24)
    refusal = (f"{model}: the checkpoint refers to posix.system, which loading it in full would call, and a full load "
               "can run code from the file; add --trust-model only if you trust its source")
    for args in (["inspect", model], ["upscale", tmp_path / "in.png", tmp_path / "o.png", f"--model={model}"]):
        done = quorvex(*args)
        assert (done.returncode, done.stderr.splitlines()[0]) == (2, f"quorvex {args[0]}: error: {refusal}")
        assert not marker.exists() and not (tmp_path / "o.png").exists()
    done = quorvex("inspect", model, "--json", "--trust-model")
    assert done.returncode == 0 and json.loads(done.stdout)["scale"] == 2 and marker.exists()


def png_claiming(width, height):
    """A PNG whose header gives width x height, with hardly any data behind it."""
    import struct
    import zlib

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)

    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
            + chunk(b"IDAT", zlib.compress(b"\0" * 10)) + chunk(b"IEND", b""))


def test_every_file_of_a_folder_is_tried_and_overwrite_redoes_them(tmp_path):
    long_name = "b" * 244 + ".png"  # a legal name; the temporary names beside it must stay legal too
    images = {name: write_png(tmp_path / "in" / name, 20, 24, seed) for seed, name in enumerate(["a.png", long_name])}
    write_png(tmp_path / "in" / "c.png", 8, 8)
    (tmp_path / "in" / "huge.png").write_bytes(png_claiming(60000, 60000))
    (tmp_path / "out" / "c.png").mkdir(parents=True)  # a folder where an output goes
    write_png(tmp_path / "in" / "m.png", 8, 8)  # one the memory left cannot hold
    from quorvex.cli import media

    read_image = media.read_image

    def short_of_memory(path):
        if path.name == "m.png":
            raise MemoryError("cannot allocate 3.2 GiB")
        return read_image(path)

    args = ["upscale", tmp_path / "in", tmp_path / "out"]
    for run in ("first", "again"):
        with mock.patch.object(media, "read_image", short_of_memory):
            done = quorvex(*args, *(["--overwrite"] if run == "again" else []))
        assert done.returncode == 1, done.stderr
        lines = [line for line in done.stderr.splitlines() if "skipped:" in line or "[" in line and "]" in line[:10]]
        assert lines == [
            f"quorvex upscale: skipped: {tmp_path / 'out' / 'c.png'} is a folder; the output cannot be written there",
            f"quorvex upscale: skipped: {tmp_path / 'in' / 'huge.png'}: cannot decode this image (the size its "
            "header gives is more than OpenCV decodes)",
            f"quorvex upscale: skipped: {tmp_path / 'in' / 'm.png'}: out of memory (cannot allocate 3.2 GiB)"], done.stderr
        assert "upscaled 2 images" in done.stdout and "already there" not in done.stdout
        for name, image in images.items():
            written = cv2.imread(str(tmp_path / "out" / name))
            expected = cv2.resize(image.astype(np.float32) / 255, None, fx=2, fy=2, interpolation=cv2.INTER_LANCZOS4)
            assert np.abs(written / 255.0 - expected).max() < 1.5 / 255
            (tmp_path / "out" / name).write_bytes(b"stale")  # --overwrite must write it again
        assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted([long_name, "a.png", "c.png"])


def read_exr(path):
    import OpenEXR

    with OpenEXR.File(str(path)) as file:
        channels = file.channels()
        name = "RGBA" if "RGBA" in channels else "RGB"
        return np.asarray(channels[name].pixels, np.float32)[..., [2, 1, 0, 3][:len(name)]]


@pytest.mark.parametrize("kind", ["bgra8.png", "grey16.png", "float.tiff", "bgra.exr", "bgr.exr"])
def test_alpha_grey_depth_and_float_are_kept(tmp_path, kind):
    rng = np.random.default_rng(5)
    colour = smooth_image(18, 22, 3)
    alpha = rng.random((18, 22), dtype=np.float32)
    stem, ext = kind.split(".")
    source = tmp_path / f"in.{ext}"
    if kind == "bgra8.png":
        image = (np.dstack([colour, alpha]) * 255 + 0.5).astype(np.uint8)
        cv2.imwrite(str(source), image)
    elif kind == "grey16.png":
        image = (colour[..., 1] * 65535 + 0.5).astype(np.uint16)
        cv2.imwrite(str(source), image)
    elif kind == "float.tiff":
        image = colour * 3 - 1  # out of 0..1: float stays float, unclipped
        cv2.imwrite(str(source), image)
    else:
        import OpenEXR

        image = (np.dstack([colour, alpha]) if stem == "bgra" else colour).astype(np.float16).astype(np.float32)
        name = "RGBA" if stem == "bgra" else "RGB"
        planes = np.ascontiguousarray(image[..., [2, 1, 0, 3][:len(name)]])
        OpenEXR.File({"compression": OpenEXR.ZIP_COMPRESSION, "type": OpenEXR.scanlineimage},
                     {name: planes}).write(str(source))
    out = tmp_path / f"out.{ext}"
    gains = (1.0, 0.5, 0.25) if stem == "grey16" else None  # grey comes back as the BT.709 luma of what the model made
    model = nearest_x2(tmp_path / "x2.onnx", gains=gains)
    done = quorvex("upscale", source, out, f"--model={model}", "--tile=16", "--overlap=4")
    assert done.returncode == 0, done.stderr
    assert ("beyond the 0..1 models work in" in done.stderr) == (stem == "float")  # said, not clipped silently
    if ext == "exr":
        import OpenEXR

        with OpenEXR.File(str(out), header_only=True) as file:  # lossless as the source, not DWAA
            assert file.header()["compression"] == OpenEXR.ZIP_COMPRESSION
    written = read_exr(out) if ext == "exr" else cv2.imread(str(out), cv2.IMREAD_UNCHANGED)
    assert written.dtype == (np.float32 if ext in ("tiff", "exr") else image.dtype)
    assert written.shape == (36, 44) + image.shape[2:]
    scale = {np.dtype(np.uint8): 255, np.dtype(np.uint16): 65535}.get(image.dtype, 1)
    nearest = cv2.resize(image, None, fx=2, fy=2, interpolation=cv2.INTER_NEAREST) / scale
    if gains:
        nearest = nearest * np.dot((0.2126, 0.7152, 0.0722), gains)
    got = written / scale
    tolerance = 1.5 / scale if scale > 1 else 2e-3 * np.abs(nearest).max()  # EXR: half floats
    if image.ndim == 3 and image.shape[2] == 4:  # the model sees the colour; the alpha goes by Lanczos-4
        lanczos = cv2.resize(image[..., 3].astype(np.float32) / scale, None, fx=2, fy=2,
                             interpolation=cv2.INTER_LANCZOS4)
        assert np.abs(got[..., 3] - np.clip(lanczos, 0, 1) if scale > 1 else got[..., 3] - lanczos).max() < tolerance
        got, nearest = got[..., :3], nearest[..., :3]
    assert np.abs(got - nearest).max() < tolerance


@pytest.mark.parametrize("minimum, multiple, maximum, tile, expected", [
    (1, 1, None, None, 128), (130, 8, None, None, 136), (1, 16, 100, None, 96), (1, 8, None, 64, 64),
    (1, 8, None, 100, "--tile 100: the model needs a tile side a multiple of 8"),
    (130, 8, None, 128, "--tile 128: the model needs a tile side a multiple of 8 and at least 130"),
])
def test_the_tile_side_keeps_within_the_model_s_bounds(minimum, multiple, maximum, tile, expected):
    from types import SimpleNamespace

    from quorvex.cli.common import CliError
    from quorvex.pipeline.upscale import choose_tile

    backend = SimpleNamespace(fixed_tile=None, minimum=minimum, multiple=multiple, maximum=maximum)
    if isinstance(expected, str):
        with pytest.raises(CliError) as caught:
            choose_tile(SimpleNamespace(tile=tile), backend)
        assert str(caught.value) == expected and caught.value.status == 2
    else:
        assert choose_tile(SimpleNamespace(tile=tile), backend) == expected


def test_outputs_inside_the_input_folder_are_not_inputs_next_time(tmp_path):
    write_png(tmp_path / "in" / "a.png", 12, 10)
    for _ in range(2):
        done = quorvex("upscale", tmp_path / "in", tmp_path / "in" / "up")
        assert done.returncode == 0, done.stderr
    assert "nothing to do: 1 output(s) already there" in done.stderr
    assert sorted(str(p.relative_to(tmp_path)) for p in (tmp_path / "in").rglob("*.png")) == ["in/a.png",
                                                                                             "in/up/a.png"]


def test_a_full_disk_is_named(tmp_path, monkeypatch):
    import errno

    import cupy as cp

    from quorvex.cli import media

    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(media, "open", full, raising=False)
    with pytest.raises(media.CliError) as caught:
        media.write_image(tmp_path / "o.png", cp.zeros((4, 4, 3), cp.float32), np.uint8)
    assert str(caught.value) == f"{tmp_path / 'o.png'}: no space left on device" and not list(tmp_path.iterdir())


@pytest.mark.parametrize("output", ["out", "out/a.png", "out/a.mp4"])
def test_links_planted_in_the_output_folder_are_never_written_through(tmp_path, output, monkeypatch):
    outside = tmp_path / "outside"
    outside.write_bytes(b"keep")
    source = tmp_path / "in" / ("a.mp4" if output.endswith(".mp4") else "a.png")
    if source.suffix == ".mp4":
        source.parent.mkdir()
        from support.videos import make_video

        make_video(source, frames=6, size=(32, 24))
    else:
        write_png(source, 12, 10)
    target = tmp_path / "out" / source.name
    target.parent.mkdir()
    import types
    import uuid

    drawn, random = iter(["0" * 32, "1" * 32]), uuid.uuid4  # the first temporary name drawn is taken by a planted link
    monkeypatch.setattr(uuid, "uuid4", lambda: types.SimpleNamespace(hex=next(drawn, None) or random().hex))
    for planted in (target, target.with_name(f".a.partial{target.suffix}"),
                    target.with_name(f".a.{'0' * 32}.partial{target.suffix}")):
        planted.symlink_to(outside)
    done = quorvex("upscale", source.parent if output == "out" else source, tmp_path / output, "--overwrite")
    assert done.returncode == 0, done.stderr
    assert outside.read_bytes() == b"keep" and not target.is_symlink() and target.stat().st_size > 0


@pytest.mark.parametrize("given, error", [({"tile": "256"}, TypeError), ({"tiles": 256}, TypeError),
                                          ({"precision": "fp8"}, "expected one of fp32"), ({}, None)])
def test_a_program_s_options_are_the_command_line_s_and_checked_as_strictly(tmp_path, given, error):
    from quorvex.cli import build_parser, run_job
    from quorvex.cli.common import CliError
    from quorvex.cli.options import UpscaleOptions

    if error is None:  # the command line and a program's keywords make the same options, and the same pieces' key
        line = build_parser().parse_args(["upscale", "in", str(tmp_path / "out.mp4"), "--tile", "64", "--crf", "20"])
        typed = UpscaleOptions(input="in", output=tmp_path / "out.mp4", tile=64, crf=20)
        assert UpscaleOptions.from_namespace(line) == typed
        assert typed.output_settings() == {"command": "upscale", "codec": None, "crf": 20, "pix_fmt": None,
                                           "model": None, "scale": None, "tile": 64, "overlap": 16, "precision": None}
        return
    with pytest.raises(CliError if isinstance(error, str) else error, match=error if isinstance(error, str) else None):
        run_job("upscale", tmp_path, tmp_path / "out", **given)  # refused before Ray is started


def test_run_job_in_this_process_writes_what_the_command_writes(tmp_path):
    from quorvex.cli import run_job

    for i in range(3):
        write_png(tmp_path / "in" / f"{i}.png", 12, 10, seed=i)
    (tmp_path / "in" / "broken.png").write_bytes(b"not a png")
    assert quorvex("upscale", tmp_path / "in", tmp_path / "ref", "--scale", "2").returncode == 1  # the broken one
    calls = []
    counts = run_job("upscale", tmp_path / "in", tmp_path / "out", ray=None, scale=2, progress=calls.append)
    assert counts == {"done": 3, "skipped": 0, "failed": [str(tmp_path / "in" / "broken.png")]}
    assert sorted(c["done"] for c in calls) == [1, 2, 3] and {c["total"] for c in calls} == {4}
    for i in range(3):
        assert (tmp_path / "out" / f"{i}.png").read_bytes() == (tmp_path / "ref" / f"{i}.png").read_bytes()


@pytest.mark.parametrize("options, written, error", [
    (["--ext", "jpg", "--suffix", "x2"], ["a_x2.jpg", "sub/b_x2.jpg"], None),
    (["--ext", ".PNG"], ["a.png", "sub/b.png"], None),
    (["--ext", "png/.."], [], "--ext 'png/..': expected a file extension"),
    (["--suffix", "../up"], [], "--suffix '../up': expected letters"),
    (["--ext", "gif"], [], "gif"),
])
def test_a_folder_s_outputs_take_ext_and_suffix(tmp_path, options, written, error):
    write_png(tmp_path / "in" / "a.png", 20, 24, 1)
    write_png(tmp_path / "in" / "sub" / "b.png", 16, 12, 2)
    done = quorvex("upscale", tmp_path / "in", tmp_path / "out", *options)
    files = sorted(str(p.relative_to(tmp_path / "out")) for p in (tmp_path / "out").rglob("*.*"))
    assert (done.returncode, files) == ((0, written) if error is None else (2, [])), done.stderr
    assert error is None or error in done.stderr
    if written:
        assert cv2.imread(str(tmp_path / "out" / written[0])).shape == (40, 48, 3)
    if error is None:  # one file's output is named by OUTPUT itself
        one = quorvex("upscale", tmp_path / "in" / "a.png", tmp_path / "one.png", *options)
        assert one.returncode == 2 and "--ext and --suffix name the outputs of a folder" in one.stderr


@pytest.mark.parametrize("options, factor, error", [
    (["--outscale", "1.5"], 1.5, None),                  # the resize alone, by any factor
    (["--model", "x2.onnx", "--outscale", "3"], 3, None),  # the model's x2, then Lanczos-4 to x3
    (["--model", "x2.onnx", "--outscale", "2"], 2, None),  # the model's own scale: no resize after it
    (["--model", "x2.onnx", "--tile", "0"], 2, None),       # the whole image in one run
    (["--outscale", "0"], 0, "--outscale must be a positive number"),
    (["--scale", "2", "--outscale", "3"], 0, "give one"),
])
def test_outscale_sets_the_final_size(tmp_path, options, factor, error):
    image = write_png(tmp_path / "in.png", 30, 41, 3)
    nearest_x2(tmp_path / "x2.onnx")
    options = [str(tmp_path / o) if o.endswith(".onnx") else o for o in options]
    done = quorvex("upscale", tmp_path / "in.png", tmp_path / "out.png", *options)
    assert done.returncode == (2 if error else 0), done.stderr
    if error:
        assert error in done.stderr
        return
    size = (int(41 * factor), int(30 * factor))
    written = cv2.imread(str(tmp_path / "out.png")).astype(np.float32)
    source = image if "--model" not in options else cv2.resize(image, None, fx=2, fy=2, interpolation=cv2.INTER_NEAREST)
    expected = source if source.shape[1::-1] == size else cv2.resize(source.astype(np.float32), size,
                                                                   interpolation=cv2.INTER_LANCZOS4)
    assert written.shape[1::-1] == size and np.abs(written - np.clip(expected, 0, 255)).max() <= 1.5


@pytest.mark.parametrize("args, hint", [
    (["upscale", "-i", "a.png", "-o", "b.png"], "-i: give INPUT as the first argument"),
    (["upscale", "a.png", "b.png", "--fp16"], "--fp16: --precision fp16"),
    (["upscale", "a.png", "b.png", "-n", "RealESRGAN_x4plus", "--face_enhance"], "--face_enhance: --face-enhance MODEL"),
])
def test_flags_of_other_tools_get_a_hint(args, hint):
    done = quorvex(*args)
    assert done.returncode == 2 and "unrecognized arguments" in done.stderr and hint in done.stderr, done.stderr
