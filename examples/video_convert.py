"""Read a video, change its colours on the GPU, and write it back with the source's audio.

    python examples/video_convert.py --input clip.mp4 --output vivid.mp4 [--saturation 1.3] \
        [--codec libx264] [--crf 18] [--pixel-format yuv420p]

Frames are decoded by FFmpeg on the CPU, cross to the device as their compact YUV planes, become
BGR float32 there, have their saturation scaled in HSV, and go back to YUV planes for the encoder.
"""

from __future__ import annotations

import argparse
import sys

import cupy as cp

from quorvex.color.hsv import bgr_to_hsv, hsv_to_bgr
from quorvex.io.video import VideoReader, VideoWriter


def saturate(frame, factor):
    """The BGR float32 device frame with its HSV saturation scaled by factor (clipped to 1)."""
    hsv = bgr_to_hsv(frame)
    hsv[..., 1] = cp.clip(hsv[..., 1] * factor, 0, 1)
    return hsv_to_bgr(hsv)


def convert(source, target, saturation=1.3, codec="libx264", crf=18, pixel_format="yuv420p", progress=None):
    """Writes target from source frame by frame; returns the number of frames written."""
    with VideoReader(source) as reader:
        options = {"crf": str(crf)} if codec in ("libx264", "libx265") else None
        # The source's frame times (variable rates stay), display rotation and colour tags.
        with VideoWriter(target, reader.fps, reader.size, codec, pixel_format, colour=reader.colour, options=options,
                         audio_from=source, time_base=reader.time_base, rotation=reader.rotation) as writer:
            first = None
            for frame in reader:
                time = None
                if reader.pts is not None:
                    first = reader.pts if first is None else first
                    time = (reader.pts - first) * reader.time_base  # exact
                writer.write(saturate(frame, saturation), time)
                if progress:
                    progress(writer.frame_count, reader.frame_count)
            return writer.frame_count


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").strip().splitlines()[0])
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--saturation", type=float, default=1.3)
    parser.add_argument("--codec", default="libx264")
    parser.add_argument("--crf", type=int, default=18)
    parser.add_argument("--pixel-format", default="yuv420p")
    args = parser.parse_args(argv)

    def progress(done, total):
        print(f"\r{done}/{total or '?'} frames", end="", file=sys.stderr, flush=True)

    count = convert(args.input, args.output, args.saturation, args.codec, args.crf, args.pixel_format, progress)
    print(f"\n{count} frames written to {args.output}", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
