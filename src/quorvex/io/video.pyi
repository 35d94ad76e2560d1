"""Video files through FFmpeg (PyAV) with frames as device arrays: decoded and encoded on the CPU, colour-converted on the GPU; or decoded and encoded by NVDEC/NVENC (PyNvVideoCodec) on request."""

from typing import NamedTuple
from typing import Optional
import cupy as cp
import fractions
import numpy as np
import os

PIXEL_FORMATS: dict[str, tuple[int, str, str]]

class ColourDescription(NamedTuple):
    """A video stream's colour description: matrix ('bt601', 'bt709', 'bt2020') and full_range, which the conversions apply, and the H.273 codes of its primaries and transfer (None: the matrix's own where a writer takes it)."""
    matrix: str
    full_range: bool
    primaries: int | None
    transfer: int | None


class VideoReader:
    """
    Frames of a video file's first video stream, in order, as device arrays.

    Frames are BGR float32 (H, W, 3), or with raw=True the decoder's planes (yuv420p, yuv422p, yuv444p, their 10- and 12-bit forms, nv12, p010le), 16-bit samples holding the codes in their low bits (P010's in its high bits). The layouts raw=True gives (and their full-range yuvj forms) are converted on the GPU; layouts without a kernel (RGB, grey, 16-bit, ...) are converted by FFmpeg on the CPU with the matrix, range and chroma given here, at 16 bits for more than 8.

    Attributes:
        fps: frames per second (the codec's rate for raw elementary streams).
        size: (width, height).
        frame_count: an estimate: the container's count or Matroska's NUMBER_OF_FRAMES tag, else the stream's duration times its frame rate, rounded, else 0. Frames that do not decode (before the first key frame, past a truncation) are not given; a RuntimeWarning says so at the end, where frame_count becomes the number given.
        duration: the video stream's, in seconds, or None.
        pixel_format: the frames' layout.
        time_base: of pts.
        colour: the colour description, as a ColourDescription: matrix, full_range (the stream's unless given; without one, BT.709 from 720 rows up and BT.601 below), primaries, transfer (the stream's H.273 codes, None where it leaves them unspecified), as VideoWriter(colour=) takes it.
        matrix, full_range, primaries, transfer: the same one by one (primaries and transfer 2 where unspecified).
        rotation: the display rotation, degrees counter-clockwise, not applied to the frames.
        codec: the stream's codec, e.g. 'hevc'.
        mastering_display, content_light: HDR10 static metadata or None: a dict of 'red', 'green', 'blue', 'white' CIE xy pairs and 'luminance' (min, max) in cd/m2; (MaxCLL, MaxFALL).
        time, pts: of the frame returned last (seconds; time_base units).
    """
    path: str
    raw: bool
    fps: float
    size: tuple[int, int]
    frame_count: int
    duration: float | None
    pixel_format: str
    time_base: fractions.Fraction
    colour: ColourDescription
    matrix: str
    full_range: bool
    primaries: int
    transfer: int
    rotation: int
    codec: str
    mastering_display: dict | None
    content_light: tuple[int, int] | None
    time: float | None
    pts: int | None
    def __init__(self, path: str | os.PathLike, raw: bool = False, matrix: Optional[str] = None, full_range: Optional[bool] = None, chroma: str = 'linear', decoder: str = 'ffmpeg', clip: bool = True) -> None:
        """
        Opens the file and its first video stream.

        Args:
            path: the video file.
            raw: give the decoder's planes instead of BGR frames.
            matrix, full_range: the colour description to convert with, instead of the stream's.
            chroma: how subsampled chroma is brought to full size, 'linear' or 'nearest'.
            decoder: 'ffmpeg', or 'nvdec' for 4:2:0 streams of even size decoded on the GPU through PyNvVideoCodec (extra 'nvcodec'); raw planes are then NV12 or P010 (y, uv).
            clip: False keeps codes beyond the nominal range (super-white, sub-black) as values beyond 0..1 in the layouts converted on the GPU.

        Raises:
            ValueError: a stream coded with another matrix (FCC, SMPTE 240M, YCgCo, BT.2020 constant luminance, ...) unless matrix is given, or one NVDEC cannot decode.
        """
    def __iter__(self) -> VideoReader: ...
    def __next__(self) -> cp.ndarray | tuple[cp.ndarray, ...]:
        """The next frame; its time stamp is in time (seconds) and pts."""
    def close(self) -> None:
        """Closes the file."""
    def __enter__(self) -> VideoReader: ...
    def __exit__(self, exc_type, exc, traceback) -> None: ...


class VideoWriter:
    """
    Writes BGR frames to a video file.

    Frames (device or host (H, W, 3), float 0..1 or integer) are converted on the GPU to pixel_format's planes and encoded by FFmpeg, or by NVENC. The file is written under a hidden temporary name beside path and renamed onto it by close(); leaving a with-block by an exception discards it.

    Attributes:
        frame_count: the frames written so far.
        size: (width, height); fps, time_base, pixel_format, colour (and its matrix, full_range, primaries, transfer), rotation: as given (or defaulted).
    """
    path: str
    fps: fractions.Fraction
    size: tuple[int, int]
    pixel_format: str
    colour: ColourDescription
    matrix: str
    full_range: bool
    rotation: int
    primaries: int
    transfer: int
    time_base: fractions.Fraction
    frame_count: int
    closed: bool
    def __init__(self, path: str | os.PathLike, fps: float, size: tuple[int, int], codec: str = 'libx264', pixel_format: str = 'yuv420p', matrix: str = 'bt709', full_range: bool = False, options: Optional[dict[str, str]] = None, audio_from: str | os.PathLike | None = None, bit_rate: Optional[int] = None, encoder: str = 'ffmpeg', time_base: Optional[fractions.Fraction] = None, rotation: int = 0, primaries: Optional[int] = None, transfer: Optional[int] = None, colour: Optional[ColourDescription] = None) -> None:
        """
        Opens the output and its encoder, refusing here what the encoder or the format would refuse later.

        Args:
            path: the output file; its extension picks the container.
            fps: frames per second, also an int or a fractions.Fraction (30000/1001).
            size: (width, height).
            codec, options: FFmpeg's encoder and its options (e.g. {'crf': '18'}).
            pixel_format, matrix, full_range: the planes encoded and their colour description.
            audio_from: a file whose audio streams are copied unchanged, interleaved with the video by time.
            bit_rate: bits per second.
            encoder: 'ffmpeg', or 'nvenc' to encode on the GPU through PyNvVideoCodec (extra 'nvcodec', PyAV 18 or later to mux): codec 'h264' (or 'libx264'), 'hevc' (or 'libx265') or 'av1', pixel_format 4:2:0 at 8 or 10 bits (fed as NV12 or P010 device memory), an even size; options are then NVENC's (e.g. {'preset': 'p4', 'tuning_info': 'lossless'}), bit_rate its 'bitrate', the frame rate rounded for its rate control.
            time_base: of the frames' times (default 1 / fps; AVI files keep 1 / fps and no B-frames, as the format holds no presentation times).
            rotation: the display rotation written to the file (degrees counter-clockwise, as VideoReader.rotation), the pixels left as given.
            primaries, transfer: the H.273 codes written beside the matrix (default: those of the matrix's standard).
            colour: a ColourDescription (VideoReader.colour, say) in place of matrix, full_range, primaries and transfer; its None codes stand for the matrix's.

        Raises:
            ValueError: settings the encoder or the container does not take.
        """
    def write(self, frame: cp.ndarray | np.ndarray, time: float | fractions.Fraction | None = None) -> None:
        """Encodes one frame of shape (height, width, 3), shown at time seconds (rounded to time_base; increasing), or one frame at fps after the frame before (the first at 0)."""
    def close(self) -> None:
        """Flushes the encoder, copies the audio, closes the file and renames it onto path."""
    def __enter__(self) -> VideoWriter: ...
    def __exit__(self, exc_type, exc, traceback) -> None: ...
