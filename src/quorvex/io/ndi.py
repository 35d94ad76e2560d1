"""Live video over NDI with frames as device arrays, through cyndilib (extra 'ndi').

Only orchestration lives here: the pixel work is quorvex.color.ndi (one kernel per frame each
way), the network work is the NDI runtime that cyndilib's wheel carries.

Live means the newest frame wins. The receiver reads through NDI's frame synchroniser, which
always holds the latest frame of the source: a consumer that falls behind gets the newest frame
when it asks, the ones in between are dropped (and counted), never queued. The sender sends each
frame before `send` returns, so nothing waits behind it either: one frame in flight per stage.
"""

from __future__ import annotations

import math
import time
from fractions import Fraction
from typing import Any, NamedTuple, Optional

_INSTALL = "cyndilib is needed here but is not installed: pip install 'quorvex[ndi]'"
# NDI marks an unknown time with INT64_MAX hundreds of nanoseconds, about 9.2e11 s as POSIX time
_UNDEFINED = 9e11
_POLL = 0.001  # seconds between looks at the frame synchroniser while no new frame is there


def _cyndilib():
    try:
        import cyndilib
    except ImportError:
        raise ModuleNotFoundError(_INSTALL) from None
    return cyndilib


def default_matrix(width: int, height: int) -> str:
    """The matrix NDI assumes for Y'CbCr at a resolution: BT.601 for SD, BT.709 up to 1920x1080,
    BT.2020 above."""
    if width <= 720 and height <= 576:
        return "bt601"
    return "bt709" if width <= 1920 and height <= 1080 else "bt2020"


def _posix(value: float) -> Optional[float]:
    return None if value <= 0 or value >= _UNDEFINED else value


class NdiFrame(NamedTuple):
    """One received video frame: `image` (H, W, 3) BGR float32 on the device, (H, W, 4) BGRA
    where the source sends alpha; `timestamp` the sender's time of the frame (POSIX seconds; the
    time it was taken here where the sender gave none); `timecode` the frame's timecode in
    seconds where one was sent; `fourcc` the layout it came in."""

    image: Any
    timestamp: float
    timecode: Optional[float]
    fourcc: str


def _check_name(value, name: str, owner: str) -> str:
    if type(value) is not str:
        raise TypeError(f"{owner} takes {name} as a str, got {type(value).__name__}")
    if not value:
        raise ValueError(f"{owner} takes a non-empty {name}")
    return value


def _check_seconds(value, name: str, owner: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{owner} takes {name} as a number of seconds, got {type(value).__name__}")
    if not value > 0 or math.isinf(value):
        raise ValueError(f"{owner} takes a positive finite {name}, got {value!r}")
    return float(value)


class NdiSender:
    """An NDI source named `name` on the network, fed with images.

    `send(image, timestamp=None)` converts a device (or host) image, (H, W, 3) BGR or (H, W, 4)
    BGRA, into `fourcc` on the GPU and sends it before returning. The sender opens on the first
    image, whose size every later image must have. `timestamp` (POSIX seconds, such as a received
    frame's) makes `latency` the time from it to the moment the frame left. `frame_rate` is the
    rate announced to receivers; `clock_video` makes NDI pace `send` to it (leave it off when the
    frames come from a live source, which paces them already). With `audio_channels`, audio given
    to `send_audio` (or passed through by an NdiReceiver) goes out with the video; audio that
    comes before the first image is dropped.
    """

    def __init__(self, name: str, fourcc: str = "UYVY", frame_rate: float = 30.0, matrix: Optional[str] = None,
                 full_range: bool = False, clock_video: bool = False, audio_channels: int = 0,
                 sample_rate: int = 48000):
        from quorvex.color import ndi as color

        owner = "NdiSender()"
        self.name = _check_name(name, "name", owner)
        if fourcc not in color.FOURCCS:
            raise ValueError(f"{owner} takes fourcc as one of {', '.join(color.FOURCCS)}, got {fourcc!r}")
        if isinstance(frame_rate, bool) or not isinstance(frame_rate, (int, float, Fraction)) or not frame_rate > 0 \
                or math.isinf(frame_rate):
            raise ValueError(f"{owner} takes a positive frame_rate, got {frame_rate!r}")
        for value, what in ((audio_channels, "audio_channels"), (sample_rate, "sample_rate")):
            if type(value) is not int or value < 0:
                raise ValueError(f"{owner} takes {what} as an int of 0 or more, got {value!r}")
        self.fourcc, self.matrix, self.full_range = fourcc, matrix, full_range
        self.frame_rate = Fraction(frame_rate).limit_denominator(1001)
        self.clock_video, self.audio_channels, self.sample_rate = clock_video, audio_channels, sample_rate
        self._lib = _cyndilib()
        self._color = color
        self._sender = None
        self._size = None
        self.sent = 0
        self.latency: Optional[float] = None

    def _open(self, width: int, height: int) -> None:
        lib = self._lib
        video = lib.VideoSendFrame()
        video.set_resolution(width, height)
        video.set_fourcc(getattr(lib.FourCC, self.fourcc))
        video.set_frame_rate(self.frame_rate)
        sender = lib.Sender(self.name, clock_video=self.clock_video, clock_audio=False)
        sender.set_video_frame(video)
        if self.audio_channels:
            audio = lib.AudioSendFrame(max_num_samples=self.sample_rate)  # up to a second per frame
            audio.sample_rate = self.sample_rate
            audio.num_channels = self.audio_channels
            sender.set_audio_frame(audio)
        sender.open()
        self._sender, self._size = sender, (width, height)

    def send(self, image, timestamp: Optional[float] = None) -> None:
        if self._sender is False:
            raise ValueError("NdiSender.send() on a closed sender")
        shape = getattr(image, "shape", None)
        if shape is None or len(shape) != 3 or shape[2] not in (3, 4):
            raise ValueError(f"NdiSender.send() takes an image of shape (height, width, 3) or (height, width, 4), "
                             f"got {shape}")
        height, width = int(shape[0]), int(shape[1])
        if self._sender is None:
            self._open(width, height)
        elif self._size != (width, height):
            raise ValueError(f"NdiSender.send() takes images of the size of the first, "
                             f"{self._size[0]}x{self._size[1]}; got {width}x{height}")
        matrix = self.matrix or default_matrix(width, height)
        frame = self._color.from_bgr(image, self.fourcc, matrix, self.full_range)
        # NDI sends from host memory: one download, then the runtime compresses and sends it.
        self._sender.write_video(frame.get())
        self.sent += 1
        if timestamp is not None:
            self.latency = time.time() - float(timestamp)

    def send_audio(self, samples) -> bool:
        """Sends (channels, samples) float32 audio; False where it was dropped (no audio channels
        configured, their count differs, or no image was sent yet)."""
        if not self._sender or not self.audio_channels or samples.shape[0] != self.audio_channels:
            return False
        return bool(self._sender.write_audio(samples[:, : self.sample_rate]))

    def close(self) -> None:
        if self._sender:
            self._sender.close()
        self._sender = False

    def __enter__(self) -> "NdiSender":
        return self

    def __exit__(self, *exc) -> None:
        self.close()


class NdiReceiver:
    """Frames of the NDI source `source_name` ("HOST (name)", or just the name after the host),
    as device images.

    Iterating yields `NdiFrame` records, the newest frame each time; frames that arrive while the
    consumer is busy are dropped and counted in `dropped`. The source must appear within `timeout`
    seconds (TimeoutError otherwise); iteration ends when it sends nothing for `timeout` seconds or
    the receiver is closed. `matrix` None takes NDI's rule by resolution (BT.601 SD, BT.709 HD,
    BT.2020 UHD). `audio_to`, an NdiSender with audio channels, gets the source's audio.
    """

    def __init__(self, source_name: str, timeout: float = 5.0, matrix: Optional[str] = None,
                 full_range: bool = False, audio_to: Optional[NdiSender] = None,
                 color_format: str = "UYVY_BGRA"):
        from quorvex.color import ndi as color

        owner = "NdiReceiver()"
        _check_name(source_name, "source_name", owner)
        self.timeout = _check_seconds(timeout, "timeout", owner)
        self.matrix, self.full_range, self.audio_to = matrix, full_range, audio_to
        lib = self._lib = _cyndilib()
        self._color = color
        formats = [m for m in lib.RecvColorFormat.__members__ if m in ("UYVY_BGRA", "UYVY_RGBA", "BGRX_BGRA",
                                                                           "RGBX_RGBA", "fastest", "best")]
        if color_format not in formats:
            raise ValueError(f"{owner} takes color_format as one of {', '.join(formats)}, got {color_format!r}")
        self._finder = lib.Finder()
        self._finder.open()
        source = self._find(source_name)
        self.source_name = source.name
        self._receiver = lib.Receiver(color_format=getattr(lib.RecvColorFormat, color_format),
                                      bandwidth=lib.RecvBandwidth.highest)
        self._video = lib.VideoFrameSync()
        self._receiver.frame_sync.set_video_frame(self._video)
        self._audio = None
        if audio_to is not None:
            self._audio = lib.AudioFrameSync()
            self._receiver.frame_sync.set_audio_frame(self._audio)
        self._receiver.set_source(source)
        self._last = None
        self.received = 0
        self.dropped = 0
        self._closed = False

    def _find(self, name: str):
        deadline = time.monotonic() + self.timeout
        while True:
            for source in self._finder.iter_sources():
                if name in (source.name, source.stream_name):
                    return source
            left = deadline - time.monotonic()
            if left <= 0:
                seen = self._finder.get_source_names()
                self._finder.close()
                raise TimeoutError(f"no NDI source named {name!r} appeared within {self.timeout:g} s "
                                   f"(sources seen: {', '.join(seen) or 'none'})")
            self._finder.wait_for_sources(min(left, 0.1))

    def _pass_audio(self) -> None:
        sync = self._receiver.frame_sync
        if sync.audio_samples_available() and sync.capture_available_audio():
            self.audio_to.send_audio(self._audio.get_array())

    def __iter__(self) -> "NdiReceiver":
        return self

    def __next__(self) -> NdiFrame:
        deadline = time.monotonic() + self.timeout
        sync, video = self._receiver.frame_sync, self._video
        while not self._closed:
            if self._audio is not None:
                self._pass_audio()
            arrived = self._receiver.get_performance_data()["video"]["frames_total"]
            sync.capture_video()
            stamp = video.get_timestamp_posix() if video.xres else None
            if stamp is not None and stamp != self._last:
                self._last = stamp
                self.received += 1
                # everything that arrived and was not taken was dropped (one may arrive meanwhile)
                self.dropped = max(self.dropped, arrived - self.received)
                return self._frame(stamp)
            if time.monotonic() > deadline:
                break
            time.sleep(_POLL)
        raise StopIteration

    def _frame(self, stamp: float) -> NdiFrame:
        video = self._video
        width, height = video.xres, video.yres
        fourcc = video.get_fourcc().name
        matrix = self.matrix or default_matrix(width, height)
        data = video.get_array()  # a copy: the synchroniser reuses its buffer on the next capture
        image = self._color.to_bgr(data, fourcc, width, height, video.get_line_stride(), matrix, self.full_range)
        return NdiFrame(image, _posix(stamp) or time.time(), _posix(video.get_timecode_posix()), fourcc)

    def close(self) -> None:
        if not self._closed:
            self._closed = True
            self._receiver.disconnect()
            self._finder.close()

    def __enter__(self) -> "NdiReceiver":
        return self

    def __exit__(self, *exc) -> None:
        self.close()
