"""A job's stages overlap, give what the same steps give one after another, and stop as one."""

import time

import cupy as cp
import cv2
import numpy as np
import pytest
from support.command import nearest_x2, smooth_image

from quorvex.pipeline import StageTimes, Upscaler, run_stages

av = pytest.importorskip("av")
STEP = 0.03  # seconds each stage sleeps per frame: work that frees the interpreter, as codecs and devices do


def clip(path, frames=12):
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=24)
        stream.width, stream.height, stream.pix_fmt = 32, 24, "yuv420p"
        for i in range(frames):
            image = (smooth_image(24, 32, i) * 255 + 0.5).astype(np.uint8)
            container.mux(stream.encode(av.VideoFrame.from_ndarray(image, "bgr24")))
        container.mux(stream.encode())
    return path


def test_decoding_device_work_and_encoding_overlap(tmp_path):
    from quorvex.io.video import VideoReader, VideoWriter

    def slowly(step):
        def run(*args):
            time.sleep(STEP)
            return step(*args)
        return run

    def run(times):
        with VideoReader(str(source)) as reader, \
                VideoWriter(str(tmp_path / "out.mp4"), 24, (64, 48), options={"threads": "1"}) as writer:
            frames = (slowly(lambda f: f)(frame) for frame in reader)
            work = slowly(lambda frame: cp.ascontiguousarray(frame.repeat(2, 0).repeat(2, 1)))
            assert run_stages(frames, work, slowly(writer.write), times=times) == 12

    source = clip(tmp_path / "in.mp4")
    run(StageTimes())  # the colour kernels compiled first (where no cache has them), not in a timed stage
    times = StageTimes()
    run(times)
    # one after another each frame would cost the three stages' sum; here it costs about the slowest
    assert times.read + times.work + times.write > 3 * 12 * STEP
    assert times.wall < 0.6 * (times.read + times.work + times.write), times


def test_the_staged_video_is_the_serial_one_byte_for_byte(tmp_path, monkeypatch):
    from quorvex.cli import videos
    from quorvex.cli.common import Reporter

    source = clip(tmp_path / "in.mp4")
    upscaler = Upscaler(nearest_x2(tmp_path / "x2.onnx"), tile=16, overlap=4)

    def make(name):
        return videos.process_video(source, tmp_path / name, lambda frame, bar: upscaler.upscale(frame),
                                   Reporter(quiet=True), lambda size: (2 * size[0], 2 * size[1]), threads=1)

    assert make("staged.mp4") == 12
    monkeypatch.setattr("quorvex.pipeline.run_stages",
                        lambda items, work, write, **_: sum(write(work(item)) or 1 for item in items))
    assert make("serial.mp4") == 12
    assert (tmp_path / "staged.mp4").read_bytes() == (tmp_path / "serial.mp4").read_bytes()


@pytest.mark.parametrize("stage", ["read", "work", "write"])
def test_a_failing_stage_stops_the_others_and_is_raised(stage):
    started = []

    def step(name, value):
        started.append(name)
        if name == stage and value == 3:
            raise RuntimeError(f"{name} failed")
        return value

    def items():
        for i in range(1000):
            yield step("read", i)

    with pytest.raises(RuntimeError, match=f"{stage} failed"):
        run_stages(items(), lambda i: step("work", i), lambda i: step("write", i), writers=2)
    assert started.count("read") < 20  # the reader was stopped, not left to read everything


@pytest.mark.parametrize("model", [None, "onnx"])
def test_the_upscaler_takes_host_and_device_images_and_streams(tmp_path, model):
    image = smooth_image(20, 28, 3)
    upscaler = Upscaler(nearest_x2(tmp_path / "x2.onnx") if model else None, tile=16, overlap=4)
    interpolation = cv2.INTER_NEAREST if model else cv2.INTER_LANCZOS4
    expected = cv2.resize(image, None, fx=2, fy=2, interpolation=interpolation)
    host = upscaler.upscale(image)
    assert isinstance(host, np.ndarray) and np.abs(host - expected).max() < 2e-3
    codes = upscaler.upscale((image * 255 + 0.5).astype(np.uint8), dtype=np.uint8)
    assert codes.dtype == np.uint8 and np.abs(codes / 255.0 - expected).max() < 2.5 / 255
    streamed = list(upscaler.frames(cp.asarray(smooth_image(20, 28, seed)) for seed in range(3)))
    assert [np.abs(out.get() - upscaler.upscale(smooth_image(20, 28, seed))).max() for seed, out in
            enumerate(streamed)] == [0, 0, 0]
    with pytest.raises(ValueError, match=r"takes a \(height, width, 3\) BGR image, got \(20, 28\)"):
        upscaler.upscale(image[..., 0])
