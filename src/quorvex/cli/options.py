"""The options of the command's jobs, one typed dataclass per job, built once: from the command
line (from_namespace) or from a program's keywords (run_job). Runners and Ray actors take them as
they are.

A field marked `changes_output` changes what a video's frames come out as: those fields (and
the command's name) make the key under which a video's pieces are kept for a run started again,
so an option added without the mark leaves the stored pieces valid. One added later with
`keyed_when_set` enters the key only when set, so pieces stored before it stay valid too.
"""

import dataclasses
import os
import types
import typing
from typing import ClassVar

from .common import USAGE, CliError


def _field(default=None, *, changes_output=False, path=False, choices=None, keyed_when_set=False):
    meta = {"changes_output": changes_output, "path": path, "choices": choices, "keyed_when_set": keyed_when_set}
    return dataclasses.field(default=default, metadata=meta)


@dataclasses.dataclass(frozen=True, kw_only=True)
class JobOptions:
    """What every job takes: its input and output, the video output's encoding, where it runs."""

    command: ClassVar[str] = ""

    input: str = _field(dataclasses.MISSING, path=True)
    output: str = _field(dataclasses.MISSING, path=True)
    device: str = "cuda"
    overwrite: bool = False
    drop_alpha: bool = False
    ext: str | None = None  # a folder's outputs' format
    suffix: str | None = None  # added to a folder's outputs' names
    codec: str | None = _field(changes_output=True)
    crf: int | None = _field(changes_output=True)
    pix_fmt: str | None = _field(changes_output=True)
    preset: str | None = _field(changes_output=True, keyed_when_set=True)
    bitrate: str | None = _field(changes_output=True, keyed_when_set=True)
    maxrate: str | None = _field(changes_output=True, keyed_when_set=True)
    start: float | None = _field(changes_output=True, keyed_when_set=True)  # seconds into a video
    duration: float | None = _field(changes_output=True, keyed_when_set=True)
    encoder: str | None = _field(changes_output=True, keyed_when_set=True, choices=("ffmpeg", "nvenc"))
    decoder: str | None = _field(changes_output=True, keyed_when_set=True, choices=("ffmpeg", "nvdec"))
    ray: str | None = None  # None: not on Ray; "": RAY_ADDRESS or a local instance
    workers: int | None = None
    gpus_per_worker: float = 1.0
    quiet: bool = False
    debug: bool = False

    def __post_init__(self):
        hints = typing.get_type_hints(type(self))
        for f in dataclasses.fields(self):
            value = getattr(self, f.name)
            if f.metadata.get("path") and isinstance(value, os.PathLike):
                value = os.fspath(value)
                object.__setattr__(self, f.name, value)
            allowed = _types(hints[f.name])
            if float in allowed and isinstance(value, int) and not isinstance(value, bool):
                value = float(value)
                object.__setattr__(self, f.name, value)
            if not isinstance(value, allowed) or (isinstance(value, bool) and bool not in allowed):
                names = " or ".join("None" if t is type(None) else t.__name__ for t in allowed)
                raise TypeError(f"{self.command} option {f.name}: expected {names}, got {value!r}")
            choices = f.metadata.get("choices")
            if choices and value is not None and value not in choices:
                raise CliError(f"--{f.name.replace('_', '-')} {value}: expected one of {', '.join(choices)}", USAGE)

    @classmethod
    def from_namespace(cls, namespace):
        """The options of a parsed command line (the parser's destinations are the field names)."""
        names = {f.name for f in dataclasses.fields(cls)}
        return cls(**{k: v for k, v in vars(namespace).items() if k in names})

    def output_settings(self) -> dict:
        """The fields that change a video's frames, with the command's name: the pieces' key."""
        marked = {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.metadata.get("changes_output")
                  and not (f.metadata.get("keyed_when_set") and getattr(self, f.name) is None)}
        return {"command": self.command, **marked}

    def video_output(self) -> dict:
        """The video output's encoding options (videos.choose_output)."""
        return {"codec": self.codec, "crf": self.crf, "pix_fmt": self.pix_fmt, "preset": self.preset,
                "bitrate": self.bitrate, "maxrate": self.maxrate, "encoder": self.encoder, "decoder": self.decoder}


def _types(hint) -> tuple:
    if isinstance(hint, types.UnionType) or typing.get_origin(hint) is typing.Union:
        return tuple(typing.get_args(hint))
    return (hint,)


PRECISIONS = ("fp32", "fp16", "bf16")


@dataclasses.dataclass(frozen=True, kw_only=True)
class UpscaleOptions(JobOptions):
    """quorvex upscale's options."""

    command: ClassVar[str] = "upscale"

    model: str | None = _field(changes_output=True, path=True)
    scale: int | None = _field(changes_output=True)
    outscale: float | None = _field(changes_output=True, keyed_when_set=True)
    tile: int | None = _field(changes_output=True)
    overlap: int = _field(16, changes_output=True)
    batch: int = 8
    precision: str | None = _field(changes_output=True, choices=PRECISIONS)
    trust_model: bool = False
    face_enhance: str | None = _field(changes_output=True, path=True, keyed_when_set=True)  # a restoration model
    detector: str | None = _field(changes_output=True, path=True, keyed_when_set=True)  # with face_enhance


@dataclasses.dataclass(frozen=True, kw_only=True)
class SwapOptions(JobOptions):
    """quorvex swap's options."""

    command: ClassVar[str] = "swap"

    source: str | tuple = _field(dataclasses.MISSING, changes_output=True, path=True)  # several: averaged
    detector: str = _field(dataclasses.MISSING, changes_output=True, path=True)
    embedder: str = _field(dataclasses.MISSING, changes_output=True, path=True)
    swapper: str = _field(dataclasses.MISSING, changes_output=True, path=True)
    enhancer: str | None = _field(changes_output=True, path=True)
    faces: str = _field("all", changes_output=True)
    enhancer_blend: float | None = _field(changes_output=True, keyed_when_set=True)  # None: 1
    det_thresh: float | None = _field(changes_output=True, keyed_when_set=True)
    det_size: str | None = _field(changes_output=True, keyed_when_set=True)  # N or WxH
    mask_blur: float | None = _field(changes_output=True, keyed_when_set=True)
    mask_padding: str | None = _field(changes_output=True, keyed_when_set=True)  # P, V,H or T,R,B,L
    reference: str | None = _field(changes_output=True, path=True, keyed_when_set=True)
    similarity: float | None = _field(changes_output=True, keyed_when_set=True)  # None: 0.4
    trust_model: bool = False  # for an enhancer checkpoint

    def __post_init__(self):
        # One source stays a path (the key of pieces stored before several were taken).
        sources = self.source if isinstance(self.source, (list, tuple)) else (self.source,)
        sources = tuple(os.fspath(s) if isinstance(s, os.PathLike) else s for s in sources)
        if not sources or not all(isinstance(s, str) for s in sources):
            raise TypeError(f"swap option source: expected a path or a list of paths, got {self.source!r}")
        object.__setattr__(self, "source", sources[0] if len(sources) == 1 else sources)
        super().__post_init__()

    @property
    def sources(self) -> tuple[str, ...]:
        return self.source if isinstance(self.source, tuple) else (self.source,)


OPTIONS = {options.command: options for options in (UpscaleOptions, SwapOptions)}
