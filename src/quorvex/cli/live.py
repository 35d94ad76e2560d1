"""Live runs: frames from an NDI source (ndi://NAME) or a video file through the command's frame
function to an NDI output (ndi://NAME) or a video file.

One frame is in flight: the receiver hands over the newest frame each time the GPU is ready for
one, so frames the GPU cannot keep up with are dropped, never queued. The progress line shows
frames per second, dropped frames and the latency from a frame's arrival (its NDI timestamp) to
its departure. Ctrl-C stops after the frame in flight, with everything closed.
"""

from __future__ import annotations

import time

from .common import USAGE, CliError

PREFIX = "ndi://"
SOURCE_TIMEOUT = 5.0  # seconds without a new frame after which an NDI source counts as gone


def wanted(args) -> bool:
    return args.input.startswith(PREFIX) or args.output.startswith(PREFIX)


def _name(path: str, what: str) -> str:
    name = path[len(PREFIX):]
    if not name:
        raise CliError(f"{what} {path!r}: name the NDI source after ndi://", USAGE)
    return name


def _frames(path: str, stats: dict):
    """(image, arrival time) of each frame of the input; the NDI receiver's counters in stats."""
    if path.startswith(PREFIX):
        from quorvex.io.ndi import NdiReceiver

        with NdiReceiver(_name(path, "INPUT"), timeout=SOURCE_TIMEOUT) as receiver:
            stats["receiver"] = receiver
            for frame in receiver:
                image = frame.image if frame.image.shape[2] == 3 else frame.image[..., :3].copy()
                yield image, frame.timestamp
        return
    from quorvex.io.video import VideoReader

    with VideoReader(path) as reader:
        stats["fps"] = reader.fps
        for image in reader:
            yield image, time.time()


class _Output:
    """The NDI output or the video file, opened with the first frame's size."""

    def __init__(self, path: str, stats: dict, overwrite: bool):
        self.path, self.stats, self.sink = path, stats, None
        if not path.startswith(PREFIX):
            import os

            if os.path.exists(path) and not overwrite:
                raise CliError(f"OUTPUT {path!r} is there already (--overwrite replaces it)", USAGE)

    def rate(self):
        receiver = self.stats.get("receiver")
        rate = receiver.frame_rate if receiver is not None else self.stats.get("fps")
        return rate or 30

    def write(self, image, arrived: float) -> float:
        if self.path.startswith(PREFIX):
            from quorvex.io.ndi import NdiSender

            if self.sink is None:
                # a file paces itself through NDI's clock; a live source is paced already
                self.sink = NdiSender(_name(self.path, "OUTPUT"), frame_rate=float(self.rate()),
                                      clock_video="receiver" not in self.stats)
            self.sink.send(image, timestamp=arrived)
            return self.sink.latency
        if self.sink is None:
            from quorvex.io.video import VideoWriter

            self.sink = VideoWriter(self.path, self.rate(), (image.shape[1], image.shape[0]))
        self.sink.write(image)
        return time.time() - arrived

    def close(self) -> None:
        if self.sink is not None:
            self.sink.close()


def run(args, reporter, load, verb: str) -> int:
    """load() gives the frame function (a device image in, one out) once the models are loaded."""
    if getattr(args, "ray", None) is not None:
        raise CliError("ndi:// runs in this process; leave --ray out", USAGE)
    stats: dict = {}
    output = _Output(args.output, stats, args.overwrite)
    work = load()
    count, latency = 0, 0.0
    bar = reporter.bar(None, "frame")
    frames = _frames(args.input, stats)
    try:
        for image, arrived in frames:
            latency = output.write(work(image), arrived)
            count += 1
            receiver = stats.get("receiver")
            bar.set_postfix_str(f"dropped {receiver.dropped if receiver else 0}, latency {latency * 1e3:.0f} ms",
                                refresh=False)
            bar.update(1)
    except KeyboardInterrupt:
        reporter.note(f"quorvex {args.command}: stopped; {count} frames done")
    finally:
        frames.close()
        bar.close()
        output.close()
    receiver = stats.get("receiver")
    dropped = f", {receiver.dropped} dropped" if receiver is not None else ""
    reporter.summary(f"{verb} {count} frames live{dropped}, last latency {latency * 1e3:.0f} ms", count, "frames")
    return 0
