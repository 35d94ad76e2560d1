"""What a job works through: its items, each one call of a worker, the same whichever runner
runs them (in this process, on Ray workers, live).

- an image, or each image of a folder: an ImageItem;
- a video: its pieces (frame ranges starting at key frames, see pieces.py), a PieceItem each,
  joined into the output by Plan.finish once all are made;
- a live source (ndi://NAME, or a video file played as one): its frames as they arrive
  (live_frames), to an NDI output or a video file (LiveOutput).

Items are plain data, so a runner can send them to another process.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib
import sys
import time

from . import media, pieces, videos
from .common import USAGE, BadInput, CliError

LIVE_PREFIX = "ndi://"
SOURCE_TIMEOUT = 5.0  # seconds without a new frame after which an NDI source counts as gone
DISCOVERY_TIMEOUT = 15.0  # seconds an NDI source has to appear: discovery is slow on a busy host or network
LEAST_FRAME_RATE, MOST_FRAME_RATE = 0.5, 1000  # what NDI carries (it fails below 1/2)


@dataclasses.dataclass(frozen=True)
class ImageItem:
    source: pathlib.Path
    target: pathlib.Path
    weight = 1  # its share of the job's progress

    def run(self, worker, reporter, bar=None) -> None:
        try:
            worker.image(self.source, self.target, bar)
        except Exception as error:
            raise_for_image(self.source, error)


def raise_for_image(source, error: Exception):
    """Raises error as an image's failure: running out of memory is BadInput, for one image too
    large for the memory left fails alone and a folder goes on with the others."""
    if not isinstance(error, MemoryError) and type(error).__name__ != "OutOfMemoryError":  # CuPy's, torch's
        raise error
    release_memory()
    raise BadInput(f"{source}: out of memory ({error})") from None


def release_memory() -> None:
    """Hands what CuPy's and PyTorch's pools hold back to the device, for the next image."""
    if "cupy" in sys.modules:
        sys.modules["cupy"].get_default_memory_pool().free_all_blocks()
    if "torch" in sys.modules and sys.modules["torch"].cuda.is_available():
        sys.modules["torch"].cuda.empty_cache()


@dataclasses.dataclass(frozen=True)
class PieceItem:
    source: pathlib.Path
    piece: pathlib.Path
    start_pts: int
    count: int
    output: dict  # the video output options (videos.choose_output)
    frames: int | None = None  # the frames made of the count, with a window
    window: pieces.Window | None = None  # the part of the video made (--start, --duration)

    @property
    def weight(self) -> int:
        return self.count if self.frames is None else self.frames

    @property
    def target(self) -> pathlib.Path:
        return self.piece

    def run(self, worker, reporter, bar=None) -> None:
        pieces.make_piece(self.source, self.piece, self.start_pts, self.count, worker.sequence(), worker.frame_size,
                          reporter, bar, self.output, clip=not worker.keeps_range, window=self.window,
                          frames=self.frames)


@dataclasses.dataclass
class Plan:
    kind: str  # "image", "folder" or "video"
    items: list
    skipped: int = 0  # outputs already there
    kept: int = 0  # pieces an earlier run made with the same source and settings
    total: int = 0  # the job's whole weight, kept pieces included: frames of a video, else images
    video: tuple | None = None  # (source, target, every piece in order, the window, the pieces' starts)

    @property
    def unit(self) -> str:
        return "frame" if self.kind == "video" else "image"

    def finish(self, reporter) -> None:
        """Joins a video's pieces into its output (and removes them); says what it leaves out."""
        if self.video is not None:
            source, target, all_pieces, window, starts = self.video
            pieces.finish(all_pieces, target, source, reporter.note, window, starts)


def plan(job) -> Plan:
    """The items of job's INPUT -> OUTPUT, checked as far as they can be without a model;
    outputs (and video pieces) already made are left out unless --overwrite."""
    args = job.args
    job.check_options()
    files = media.plan_files(args.input, args.output, args.overwrite, folder_suffix=args.ext, name_suffix=args.suffix,
                       drop_alpha=args.drop_alpha)
    job.check_models()
    if files.kind != "video":
        if args.start is not None or args.duration is not None:
            raise CliError("--start and --duration take part of a video; the input is not one", USAGE)
        items = [ImageItem(source, target) for source, target in files.pairs]
        return Plan(files.kind, items, files.skipped, total=len(items))
    videos.video_module()  # there before any model loads
    output = args.video_output()
    videos.check_video_output(pathlib.Path(args.output), output)
    if not files.pairs:
        return Plan("video", [], files.skipped)
    (source, target), = files.pairs
    all_pieces, todo, total, window, starts = pieces.plan_pieces(source, target, args.overwrite, args.output_settings(),
                                                          args.start, args.duration)
    items = [PieceItem(source, piece, pts, count, output, None if window is None else frames, window)
             for _, pts, count, piece, frames in todo]
    return Plan("video", items, files.skipped, len(all_pieces) - len(todo), total,
                (source, target, all_pieces, window, starts))


# ---------------------------------------------------------------- live sources and outputs


def is_live(args) -> bool:
    return args.input.startswith(LIVE_PREFIX) or args.output.startswith(LIVE_PREFIX)


def _ndi_name(path: str, what: str) -> str:
    name = path[len(LIVE_PREFIX):]
    if not name:
        raise CliError(f"{what} {path!r}: name the NDI source after ndi://", USAGE)
    return name


def live_frames(path: str, stats: dict):
    """(device image, arrival time) of each frame of the input as it comes; an NDI receiver
    hands over its newest frame when asked (the others are dropped, counted in stats)."""
    if path.startswith(LIVE_PREFIX):
        from quorvex.io.ndi import NdiReceiver

        with NdiReceiver(_ndi_name(path, "INPUT"), timeout=DISCOVERY_TIMEOUT) as receiver:
            receiver.timeout = SOURCE_TIMEOUT
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


class LiveOutput:
    """The NDI output or the video file of a live run, opened with the first frame's size. A
    source that changes size reopens the NDI output at the new one; a file keeps its size and
    gets the frames scaled to it."""

    def __init__(self, path: str, stats: dict, overwrite: bool, reporter=None):
        self.path, self.stats, self.sink, self.reporter = path, stats, None, reporter
        if path.startswith(LIVE_PREFIX):
            from quorvex.io.ndi import NdiSender

            try:  # the name checked now: the sender opens nothing before its first frame
                NdiSender(_ndi_name(path, "OUTPUT")).close()
            except ValueError as error:
                raise CliError(f"OUTPUT {path[:60]!r}: {error}", USAGE) from None
        elif os.path.exists(path) and not overwrite:
            raise CliError(f"OUTPUT {path!r} is there already (--overwrite replaces it)", USAGE)

    def rate(self):
        """The source's rate where NDI can carry it (1/2 to 1000 frames/s), else 30."""
        receiver = self.stats.get("receiver")
        rate = receiver.frame_rate if receiver is not None else self.stats.get("fps")
        if rate is not None and not MOST_FRAME_RATE >= rate >= LEAST_FRAME_RATE:
            if self.reporter is not None:
                self.reporter.note(f"note: the source announces {float(rate):g} frames/s; the output is sent at 30")
            rate = None
        return rate or 30

    def write(self, image, arrived: float) -> float:
        """Sends or writes image; returns the latency since its frame arrived, in seconds."""
        size = (image.shape[1], image.shape[0])
        if self.path.startswith(LIVE_PREFIX):
            from quorvex.io.ndi import NdiSender

            if self.sink is not None and tuple(self.sink.size) != size:
                self.sink.close()  # receivers follow a source that reopens at another size
                self.sink = None
            if self.sink is None:
                # a file paces itself through NDI's clock; a live source is paced already
                self.sink = NdiSender(_ndi_name(self.path, "OUTPUT"), frame_rate=float(self.rate()),
                                      clock_video="receiver" not in self.stats)
            self.sink.send(image, timestamp=arrived)
            return self.sink.latency
        if self.sink is None:
            from quorvex.io.video import VideoWriter

            self.sink = VideoWriter(self.path, self.rate(), size)
        elif self.sink.size != size:
            from quorvex.transform.resize import resize

            image = resize(image, self.sink.size)
        self.sink.write(image)
        return time.time() - arrived

    def close(self, finished: bool = True) -> None:
        """Closes the output; a file not finished (the run failed) is discarded, never left at
        its name."""
        if self.sink is not None:
            if finished or self.path.startswith(LIVE_PREFIX):
                self.sink.close()
            else:
                self.sink.__exit__(RuntimeError, RuntimeError("the run failed"), None)
