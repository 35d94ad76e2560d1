"""Live NDI video with frames as device arrays, through cyndilib (extra 'ndi'): NdiReceiver yields the newest frame of a source, dropping (and counting) the ones a busy consumer missed; NdiSender sends device or host images as an NDI source. Frames are converted by quorvex.color.ndi on the GPU."""

from typing import Optional
import cupy as cp
import fractions
import numpy as np

def default_matrix(width: int, height: int) -> str:
    """The matrix NDI assumes for Y'CbCr at a resolution: 'bt601' up to 720x576, 'bt709' up to 1920x1080, 'bt2020' above."""

class NdiFrame:
    """One received video frame: image (H, W, 3) BGR float32 on the device, (H, W, 4) BGRA where the source sends alpha; timestamp the sender's time of the frame in POSIX seconds (the time it was taken here where the sender gave none); timecode the frame's timecode in seconds, None where none was sent; fourcc the layout it came in."""
    image: cp.ndarray
    timestamp: float
    timecode: float | None
    fourcc: str
    def __init__(self, image: cp.ndarray, timestamp: float, timecode: Optional[float], fourcc: str) -> None: ...


class NdiSender:
    """
    An NDI source named name, fed with images.

    send() converts a device (or host) image, (H, W, 3) BGR or (H, W, 4) BGRA, into fourcc on the GPU and sends it before returning. The source opens on the first image, whose size every later image must have (attribute size). With audio_channels, audio given to send_audio() (or passed through by an NdiReceiver) goes out with the video; audio before the first image is dropped.

    Attributes:
        sent: the frames sent.
        latency: seconds from the last timestamp given to send() to the moment that frame left.
        size: the first image's, which every later image must have.
        name, fourcc, frame_rate, matrix, full_range, clock_video, audio_channels, sample_rate: the settings.
    """
    name: str
    fourcc: str
    frame_rate: fractions.Fraction
    matrix: str | None
    full_range: bool
    clock_video: bool
    audio_channels: int
    sample_rate: int
    size: tuple[int, int] | None
    sent: int
    latency: float | None
    def __init__(self, name: str, fourcc: str = 'UYVY', frame_rate: float = 30.0, matrix: Optional[str] = None, full_range: bool = False, clock_video: bool = False, audio_channels: int = 0, sample_rate: int = 48000) -> None:
        """
        Checks the settings; the NDI source appears with the first image.

        Args:
            name: at most 180 bytes of UTF-8, no control characters.
            fourcc: the layout images are converted into.
            frame_rate: the rate announced to receivers, 1/2 or more; may also be a fractions.Fraction (30000/1001).
            matrix: None takes NDI's rule by resolution (default_matrix).
            clock_video: NDI paces send() to frame_rate (leave it off for frames from a live source, which paces them already).
            audio_channels: with audio channels, audio goes out with the video (see send_audio()).
        """
    def send(self, image: cp.ndarray | np.ndarray, timestamp: Optional[float] = None) -> None:
        """Sends one image; timestamp (POSIX seconds, such as a received frame's) sets latency."""
    def send_audio(self, samples: np.ndarray) -> bool:
        """Sends (channels, samples) float32 audio, at most sample_rate samples; False where it was dropped (no audio channels, another channel count, or no image sent yet)."""
    def close(self) -> None:
        """Closes the NDI source."""
    def __enter__(self) -> NdiSender: ...
    def __exit__(self, exc_type, exc, traceback) -> None: ...


class NdiReceiver:
    """
    Frames of the NDI source source_name as NdiFrame records, the newest frame each time.

    Frames that arrive while the consumer is busy are dropped and counted in dropped, never queued. Iteration ends when the source sends nothing new for timeout seconds or the receiver is closed.

    Attributes:
        received: the frames delivered.
        dropped: the frames dropped while the consumer was busy.
        frame_rate: the source's, a fractions.Fraction; None before the first frame.
        source_name: the source's full NDI name.
        timeout, matrix, full_range, audio_to: as given.
    """
    source_name: str
    timeout: float
    matrix: str | None
    full_range: bool
    audio_to: NdiSender | None
    frame_rate: fractions.Fraction | None
    received: int
    dropped: int
    def __init__(self, source_name: str, timeout: float = 5.0, matrix: Optional[str] = None, full_range: bool = False, audio_to: Optional[NdiSender] = None, color_format: str = 'UYVY_BGRA') -> None:
        """
        Finds the source and connects to it.

        Args:
            source_name: 'HOST (name)', or just the name after the host.
            timeout: the seconds the source has to appear within, and the seconds without anything new that end iteration.
            matrix, full_range: the colour description the frames are converted with; matrix None takes NDI's rule by resolution (default_matrix).
            audio_to: an NdiSender with audio channels, which gets the source's audio.
            color_format: what NDI delivers (cyndilib's RecvColorFormat names).

        Raises:
            ValueError: a name after the host that two hosts announce.
            TimeoutError: the source does not appear within timeout seconds.
        """
    def __iter__(self) -> NdiReceiver: ...
    def __next__(self) -> NdiFrame:
        """The newest frame not yet returned, waiting for one."""
    def close(self) -> None:
        """Disconnects from the source."""
    def __enter__(self) -> NdiReceiver: ...
    def __exit__(self, exc_type, exc, traceback) -> None: ...
