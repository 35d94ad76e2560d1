"""Whole jobs: how far a video's stages overlap, the video job against the ffmpeg command line,
and a folder's PNG writes against the same encodes run in parallel.

    python benchmarks/pipeline.py            # 1280x720, 96 frames; 16 images of 3840x2160
    python benchmarks/pipeline.py --small    # tiny: checks that the script itself works

- overlap: one piece's decoding, device work (Lanczos-4 x2, plus --delay ms per frame of work
  that frees the interpreter, standing for a heavy model) and encoding (libx264, one thread) in
  the package's stages, against the same three run one after another, in the same run. Each
  stage's own time per frame is printed, and wall / slowest stage (1.00 is full overlap).
- video job: `quorvex upscale clip.mp4 out.mp4 --scale 1` (every piece's encoder a thread of
  its own, pieces side by side) against `ffmpeg -i clip.mp4 -c:v libx264 out.mp4` (libx264's
  automatic threads), the same defaults (preset medium, crf 23): frames per second.
- encoders: libx264 alone, 1080p yuv420p frames: one-thread encoders side by side on pieces
  against the ffmpeg command line's automatic threads.
- folder: 16 images written as PNG by the folder's write-behind threads against cv2.imencode
  run by as many threads as there are cores.
"""

from __future__ import annotations

import argparse
import concurrent.futures
import contextlib
import io
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

import cupy as cp
import numpy as np


def cores() -> int:
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1


def write_clip(path: pathlib.Path, width: int, height: int, frames: int, key_every: int) -> pathlib.Path:
    """A smooth moving gradient with a little grain, libx264 at its defaults."""
    import av

    rng = np.random.default_rng(1)
    ramp = (np.linspace(0, 180, width, dtype=np.float32)[None, :, None]
            + np.linspace(0, 60, height, dtype=np.float32)[:, None, None])
    with av.open(str(path), "w") as container:
        stream = container.add_stream("libx264", rate=24)
        stream.width, stream.height, stream.pix_fmt = width, height, "yuv420p"
        stream.codec_context.gop_size = key_every
        stream.options = {"keyint_min": str(key_every), "sc_threshold": "0"}
        for i in range(frames):
            image = np.clip(np.roll(ramp, 4 * i, axis=1) + rng.normal(0, 3, ramp.shape[:2] + (3,)), 0, 255)
            container.mux(stream.encode(av.VideoFrame.from_ndarray(image.astype(np.uint8), "bgr24")))
        container.mux(stream.encode())
    return path


def run_overlap(width: int, height: int, frames: int, delay: float) -> dict:
    from quorvex.cli import videos
    from quorvex.cli.common import Reporter
    from quorvex.io.video import VideoReader, VideoWriter
    from quorvex.pipeline import StageTimes
    from quorvex.transform.resize import INTER_LANCZOS4, resize

    def transform(frame, bar=None):
        if delay:
            time.sleep(delay)
        return resize(frame, (2 * frame.shape[1], 2 * frame.shape[0]), interpolation=INTER_LANCZOS4)

    reporter = Reporter(quiet=True)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        clip = write_clip(folder / "clip.mp4", width, height, frames, frames)
        transform(cp.zeros((height, width, 3), cp.float32))  # compiled before either run
        options = videos.one_thread_options("libx264")

        # one after another: what each frame cost before the stages overlapped
        serial = StageTimes()
        start = time.perf_counter()
        with VideoReader(str(clip)) as reader, \
                VideoWriter(str(folder / "serial.mp4"), reader.fps, (2 * width, 2 * height), options=options) as writer:
            iterator = iter(reader)
            while True:
                began = time.perf_counter()
                frame = next(iterator, None)
                serial.read += time.perf_counter() - began
                if frame is None:
                    break
                began = time.perf_counter()
                result = transform(frame)
                serial.work += time.perf_counter() - began
                began = time.perf_counter()
                writer.write(result)
                serial.write += time.perf_counter() - began
                serial.items += 1
        serial.wall = time.perf_counter() - start

        staged = StageTimes()
        count = videos.process_video(clip, folder / "staged.mp4", transform, reporter, lambda size: (2 * size[0], 2 * size[1]),
                                    audio=False, threads=1, times=staged)
    assert count == serial.items == frames, (count, serial.items, frames)
    per = 1e3 / frames
    print(f"{f'overlap {width}x{height} x2, {frames} frames, delay {delay * 1e3:.0f} ms':52s} "
          f"stages per frame: read {staged.read * per:.1f} ms, work {staged.work * per:.1f} ms, "
          f"write {staged.write * per:.1f} ms")
    print(f"{'  staged wall per frame':52s} {staged.wall * per:7.1f} ms = {staged.wall / staged.slowest:.2f} x the slowest "
          f"stage (target <= 1.15)")
    print(f"{'  one after another, per frame':52s} {serial.wall * per:7.1f} ms (read {serial.read * per:.1f}, work "
          f"{serial.work * per:.1f}, write {serial.write * per:.1f} ms): staged is {serial.wall / staged.wall:.2f} x "
          f"faster, {staged.wall / serial.slowest:.2f} x the slowest stage run alone")
    return {"name": "overlap", "wall_per_slowest": staged.wall / staged.slowest, "speedup": serial.wall / staged.wall,
            "staged": staged, "serial": serial}


def run_video_job(width: int, height: int, frames: int, key_every: int) -> dict | None:
    from quorvex.cli import main as cli_main

    ffmpeg = shutil.which("ffmpeg")
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        clip = write_clip(folder / "clip.mp4", width, height, frames, key_every)
        start = time.perf_counter()
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            status = cli_main(["upscale", str(clip), str(folder / "out.mp4"), "--scale", "1", "--quiet"])
        ours = time.perf_counter() - start
        assert status == 0
        theirs = None
        if ffmpeg:
            start = time.perf_counter()
            subprocess.run([ffmpeg, "-v", "error", "-y", "-i", str(clip), "-c:v", "libx264", str(folder / "ff.mp4")],
                           check=True)
            theirs = time.perf_counter() - start
    line = f"{f'video job {width}x{height}, {frames} frames, {cores()} cores':52s} {frames / ours:7.1f} frames/s"
    if theirs is None:
        print(line + "; ffmpeg: not installed")
        return {"name": "video job", "frames_per_second": frames / ours}
    print(line + f", ffmpeg -c:v libx264 {frames / theirs:.1f} frames/s: {theirs / ours:.2f} of its throughput "
          "(target >= 0.8)")
    return {"name": "video job", "frames_per_second": frames / ours, "ffmpeg_frames_per_second": frames / theirs}


def run_encoders(width: int, height: int, frames: int, pieces: int) -> dict | None:
    """libx264 alone on the same yuv420p frames: `pieces` ranges encoded side by side by one-thread
    encoders in PyAV (what a video's pieces do) against the ffmpeg command line on all of them
    with its automatic threads."""
    import av

    ffmpeg = shutil.which("ffmpeg")
    if not ffmpeg:
        print("encoders: ffmpeg not installed")
        return None
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        with av.open(str(write_clip(folder / "clip.mp4", width, height, frames, frames))) as container:
            decoded = [f.reformat(format="yuv420p") for f in container.decode(video=0)]
        raw = folder / "frames.yuv"
        with open(raw, "wb") as file:
            for frame in decoded:
                for plane in frame.planes:  # rows without their line padding
                    rows = np.frombuffer(plane, np.uint8).reshape(plane.height, plane.line_size)
                    file.write(rows[:, :plane.width].tobytes())

        def encode(index):
            with av.open(str(folder / f"{index}.mp4"), "w") as out:
                stream = out.add_stream("libx264", rate=24)
                stream.width, stream.height, stream.pix_fmt, stream.options = width, height, "yuv420p", {"threads": "1"}
                for frame in decoded[index * frames // pieces:(index + 1) * frames // pieces]:
                    frame.pts = None
                    out.mux(stream.encode(frame))
                out.mux(stream.encode())

        start = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(pieces) as pool:
            list(pool.map(encode, range(pieces)))
        ours = time.perf_counter() - start
        start = time.perf_counter()
        subprocess.run([ffmpeg, "-v", "error", "-y", "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", f"{width}x{height}",
                        "-r", "24", "-i", str(raw), "-c:v", "libx264", str(folder / "ff.mp4")], check=True)
        theirs = time.perf_counter() - start
    print(f"{f'encoders {width}x{height}, {frames} frames, {pieces} one-thread pieces':52s} {frames / ours:7.1f} frames/s, "
          f"ffmpeg -c:v libx264 {frames / theirs:.1f} frames/s: {theirs / ours:.2f} of its throughput (target >= 0.8)")
    return {"name": "encoders", "frames_per_second": frames / ours, "ffmpeg_frames_per_second": frames / theirs}


def run_folder(width: int, height: int, images: int) -> dict:
    import cv2

    from quorvex.cli import media
    from quorvex.pipeline import run_stages

    rng = np.random.default_rng(2)
    ramp = (np.linspace(0, 0.7, width, dtype=np.float32)[None, :, None]
            + np.linspace(0, 0.2, height, dtype=np.float32)[:, None, None])
    # 8-bit device results, as the upscaler hands them over (converted in the result's memory)
    hosts = [(np.clip(ramp + rng.normal(0, 0.01, (height, width, 3)).astype(np.float32) + 0.01 * i, 0, 1) * 255
              + 0.5).astype(np.uint8) for i in range(images)]
    results = [cp.asarray(host) for host in hosts]
    cp.cuda.get_current_stream().synchronize()
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)

        def write(index):
            media.write_image(folder / "ours" / f"{index}.png", results[index], np.uint8)

        start = time.perf_counter()
        run_stages(range(images), lambda index: index, write, writers=cores())
        ours = time.perf_counter() - start

        def encode(index):
            (folder / "theirs").mkdir(exist_ok=True)
            ok, data = cv2.imencode(".png", hosts[index], [cv2.IMWRITE_PNG_COMPRESSION, 3])
            (folder / "theirs" / f"{index}.png").write_bytes(data.tobytes())

        start = time.perf_counter()
        with concurrent.futures.ThreadPoolExecutor(cores()) as pool:
            list(pool.map(encode, range(images)))
        theirs = time.perf_counter() - start
    print(f"{f'folder: {images} PNGs of {width}x{height}, {cores()} writers':52s} {images / ours:7.2f} images/s, "
          f"cv2.imencode on {cores()} threads {images / theirs:.2f} images/s: {theirs / ours:.2f} of its throughput "
          "(target >= 0.8)")
    return {"name": "folder", "images_per_second": images / ours, "parallel_images_per_second": images / theirs}


def run_pipeline(small: bool, delay: float = 0.04) -> list[dict]:
    if small:
        return [run_overlap(64, 36, 6, 0.002), run_video_job(64, 36, 12, 4), run_encoders(64, 36, 12, cores()),
                run_folder(64, 36, 3)]
    return [run_overlap(1280, 720, 96, delay), run_video_job(1280, 720, 96, 24),
            run_encoders(1920, 1080, 96, cores()), run_folder(3840, 2160, 16)]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="tiny sizes, to check the script")
    parser.add_argument("--delay", type=float, default=40, help="ms per frame standing for a heavy model (default 40)")
    args = parser.parse_args()
    run_pipeline(args.small, args.delay / 1e3)
    return 0


if __name__ == "__main__":
    sys.exit(main())
