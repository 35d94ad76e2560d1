"""Inputs and outputs of the commands: images, folders of images and videos.

Each input becomes a list of jobs (source file, destination file). Everything that can be
checked without running a model is checked here, before any model is loaded: the input is
there and readable, the output can be written, the formats are known. Outputs are written
under a temporary name in the destination folder and renamed when complete, so a destination
that exists is a finished one.
"""

from __future__ import annotations

import dataclasses
import os
import pathlib

from .common import USAGE, BadInput, CliError

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp")
VIDEO_SUFFIXES = (".mp4", ".mkv", ".mov", ".avi", ".webm", ".m4v")
PARTIAL = ".partial"


@dataclasses.dataclass
class Plan:
    kind: str  # "image", "folder" or "video"
    jobs: list[tuple[pathlib.Path, pathlib.Path]]
    skipped: int = 0


def suffix(path: pathlib.Path) -> str:
    return path.suffix.lower()


def check_writable_format(path: pathlib.Path, kind: str) -> None:
    ext = suffix(path)
    if kind == "video":
        if ext not in VIDEO_SUFFIXES:
            raise CliError(f"{path}: a video output needs one of {', '.join(VIDEO_SUFFIXES)}", USAGE)
        return
    if ext == ".exr":
        try:
            import OpenEXR  # noqa: F401
        except ImportError:
            raise CliError(f"{path}: writing EXR needs OpenEXR: pip install 'quorvex[exr]'", USAGE) from None
        return
    import cv2

    if ext not in IMAGE_SUFFIXES or not cv2.haveImageWriter(str(path)):
        raise CliError(f"{path}: cannot write images of type {ext or '(none)'}; use one of "
                       f"{', '.join(IMAGE_SUFFIXES + ('.exr',))}", USAGE)


def check_folder_writable(folder: pathlib.Path) -> None:
    existing = folder
    while not existing.exists():
        existing = existing.parent
    if not existing.is_dir():
        raise CliError(f"{existing} is not a folder; cannot write under it", USAGE)
    if not os.access(existing, os.W_OK | os.X_OK):
        raise CliError(f"{existing}: no permission to write here", USAGE)


def plan(input_path: str, output_path: str, overwrite: bool, *, folder_suffix: str | None = None) -> Plan:
    """The jobs for INPUT -> OUTPUT, with finished outputs left out unless overwrite."""
    source, target = pathlib.Path(input_path), pathlib.Path(output_path)
    if not source.exists():
        raise CliError(f"{source}: no such file or folder", USAGE)
    if not os.access(source, os.R_OK):
        raise CliError(f"{source}: no permission to read", USAGE)

    if source.is_dir():
        if target.exists() and not target.is_dir():
            raise CliError(f"{target} is a file; a folder input needs an output folder", USAGE)
        check_folder_writable(target)
        resolved_target = target.resolve()
        pairs = []
        for path in sorted(source.rglob("*")):
            if not path.is_file() or suffix(path) not in IMAGE_SUFFIXES or path.name.startswith("."):
                continue
            if resolved_target in path.resolve().parents:
                continue  # outputs written inside the input folder are not inputs
            relative = path.relative_to(source)
            if folder_suffix:
                relative = relative.with_suffix(folder_suffix)
            pairs.append((path, target / relative))
        if not pairs:
            raise CliError(f"{source}: no images ({', '.join(IMAGE_SUFFIXES)}) in this folder", USAGE)
        if folder_suffix:
            check_writable_format(pairs[0][1], "image")
        kind = "folder"
    else:
        ext = suffix(source)
        if ext in IMAGE_SUFFIXES:
            kind = "image"
        elif ext in VIDEO_SUFFIXES:
            kind = "video"
        else:
            raise CliError(f"{source}: not an image ({', '.join(IMAGE_SUFFIXES)}) or a video "
                           f"({', '.join(VIDEO_SUFFIXES)})", USAGE)
        if target.is_dir():
            raise CliError(f"{target} is a folder; give the output file's name", USAGE)
        check_writable_format(target, kind)
        check_folder_writable(target.parent)
        pairs = [(source, target)]

    for src, dst in pairs:
        if src.resolve() == dst.resolve():
            raise CliError(f"{src}: the output would replace the input", USAGE)
    jobs = [(src, dst) for src, dst in pairs if overwrite or not dst.exists()]
    return Plan(kind, jobs, len(pairs) - len(jobs))


def check_image_input(path: str, what: str) -> pathlib.Path:
    source = pathlib.Path(path)
    if not source.is_file():
        raise CliError(f"{what} {path}: no such file", USAGE)
    if not os.access(source, os.R_OK):
        raise CliError(f"{what} {path}: no permission to read", USAGE)
    if suffix(source) not in IMAGE_SUFFIXES:
        raise CliError(f"{what} {path}: not an image ({', '.join(IMAGE_SUFFIXES)})", USAGE)
    return source


def read_image(path: pathlib.Path):
    """(float32 BGR device image, the file's element type)."""
    import cupy as cp
    import cv2
    import numpy as np

    from quorvex.utils.dtypes import to_float32

    data = np.fromfile(str(path), np.uint8)
    image = cv2.imdecode(data, cv2.IMREAD_COLOR | cv2.IMREAD_ANYDEPTH) if data.size else None
    if image is None:
        raise BadInput(f"{path}: cannot decode this image")
    return to_float32(cp.asarray(image)), image.dtype


def partial_name(target: pathlib.Path) -> pathlib.Path:
    # The extension stays last: the writers choose the format by it.
    return target.with_name(f".{target.stem}{PARTIAL}{target.suffix}")


BAND_BYTES = 16 << 20


def in_bands(image, convert, dtype, band_bytes=BAND_BYTES):
    """convert(image) made band by band, so that the dense float32 copy of each band that the
    conversion reads stays small beside a large result."""
    import cupy as cp

    out = cp.empty(image.shape, dtype)
    rows = max(1, band_bytes // max(1, image.shape[1] * image.shape[2] * 4))
    for y in range(0, image.shape[0], rows):
        out[y:y + rows] = convert(image[y:y + rows])
    return out


def write_image(target: pathlib.Path, image, source_dtype) -> None:
    """Writes a float32 device image with the source's depth where the format allows it
    (8-bit sources give 8-bit files), under a temporary name renamed when complete."""
    import numpy as np

    from quorvex.io.store import store
    from quorvex.utils.dtypes import to_uint8, to_uint16

    if suffix(target) != ".exr":
        convert, dtype = (to_uint8, np.uint8) if source_dtype == np.uint8 else (to_uint16, np.uint16)
        image = in_bands(image, convert, dtype)
    target.parent.mkdir(parents=True, exist_ok=True)
    partial = partial_name(target)
    try:
        store(str(partial), image)
        if not partial.exists() or partial.stat().st_size == 0:
            raise CliError(f"{target}: the image writer produced no file")
        os.replace(partial, target)
    finally:
        if partial.exists():
            partial.unlink()


def video_module():
    """quorvex.io.video, or a clear message where it (or PyAV behind it) is missing."""
    try:
        import quorvex.io.video as video
    except ImportError as error:
        raise CliError(f"video input needs quorvex.io.video and PyAV ({error}): pip install 'quorvex[video]'") from None
    return video


# Encoders the command picks by default per container, best first; and the pixel formats the
# writer makes, by (bits, chroma) of the source.
DEFAULT_CODECS = {".webm": ("libvpx-vp9", "libsvtav1")}
OTHER_CODECS = ("libx264", "libx265")
WRITABLE = {(8, "420"): "yuv420p", (8, "422"): "yuv422p", (10, "420"): "yuv420p10le", (10, "422"): "yuv422p10le"}
CRF_CODECS = ("libx264", "libx265", "libvpx-vp9", "libsvtav1")


def _shape_of(pixel_format: str):
    """(bits, chroma) of a decoded pixel format, as near as the writer's formats come."""
    import av

    fmt = av.VideoFormat(pixel_format, 16, 16)
    bits = 10 if max(c.bits for c in fmt.components) > 8 else 8
    planes = [c for c in fmt.components if not c.is_alpha]
    chroma = "420" if len(planes) > 1 and planes[1].height < planes[0].height else "422"
    return bits, chroma


def _takes(codec: str, pixel_format: str) -> bool:
    import av

    return pixel_format in {f.name for f in (av.Codec(codec, "w").video_formats or ())}


def choose_output(target: pathlib.Path, source_format: str | None, output: dict | None):
    """(codec, pixel format, options) of a video output: what the user chose, else an encoder the
    container takes, with the source's bit depth and chroma where an encoder here makes them
    (4:4:4 and 12-bit come out as 4:2:2 and 10-bit, the nearest the writer makes)."""
    import av

    output = output or {}
    codecs = (output["codec"],) if output.get("codec") else DEFAULT_CODECS.get(suffix(target), OTHER_CODECS)
    available = [c for c in codecs if c in av.codecs_available]
    if not available:
        raise CliError(f"{target}: no encoder for {suffix(target)} files in this FFmpeg (tried {', '.join(codecs)})",
                       USAGE)
    if output.get("pix_fmt"):
        if output["pix_fmt"] not in WRITABLE.values():
            raise CliError(f"--pix-fmt {output['pix_fmt']}: the video writer makes {', '.join(WRITABLE.values())}",
                           USAGE)
        wanted = [output["pix_fmt"]]
    else:
        bits, chroma = _shape_of(source_format) if source_format else (8, "420")
        wanted = [WRITABLE[(b, c)] for b, c in ((bits, chroma), (8, chroma), (bits, "420"), (8, "420"))]
    for pixel_format in dict.fromkeys(wanted):
        for codec in available:
            if _takes(codec, pixel_format):
                options = {}
                if output.get("crf") is not None:
                    if codec not in CRF_CODECS:
                        raise CliError(f"--crf is for {', '.join(CRF_CODECS)}, not {codec}", USAGE)
                    options["crf"] = str(output["crf"])
                    if codec == "libvpx-vp9":
                        options["b"] = "0"  # constant quality
                return codec, pixel_format, options
    raise CliError(f"{target}: {' or '.join(available)} cannot encode {' or '.join(wanted)}", USAGE)


def check_video_output(target: pathlib.Path, output: dict | None = None) -> None:
    """Refuses, before any work, an output whose container has no encoder here or does not take
    the codec asked for."""
    import av

    codec, _, _ = choose_output(target, None, output)
    probe = target.with_name(f".{target.stem}.{os.getpid()}.probe{target.suffix}")
    try:
        with av.open(str(probe), "w") as container:  # the format the writer will pick; nothing is written
            if codec not in container.supported_codecs:
                raise CliError(f"{target}: {suffix(target)} files do not take {codec}", USAGE)
    finally:
        probe.unlink(missing_ok=True)


def process_video(source: pathlib.Path, target: pathlib.Path, transform, reporter, out_size, bar=None,
                  output: dict | None = None, audio: bool = True, threads: int | None = None) -> int:
    """Runs transform on every frame of source into target (the audio copied unless not audio),
    frame by frame, each frame at its time in source (from the first frame's), with source's
    colour tags and display rotation.

    out_size maps the input (width, height) to the output's. output: the user's codec, crf and
    pix_fmt (choose_output). threads: the encoder's thread count (its bytes depend on it).
    Progress goes to bar, else to a bar of its own. Returns the number of frames. The writer
    keeps the file under a temporary name until it is complete."""
    video = video_module()
    target.parent.mkdir(parents=True, exist_ok=True)
    frames = 0
    with video.VideoReader(str(source)) as reader:
        codec, pixel_format, options = choose_output(target, reader.pixel_format, output)
        if threads:
            options["threads"] = str(threads)
        unspecified = 2  # H.273's code for "unspecified": the writer's default for the matrix then
        writer = video.VideoWriter(
            str(target), reader.fps or 25, out_size(reader.size), codec, pixel_format, reader.matrix,
            reader.full_range, options=options, audio_from=str(source) if audio else None,
            time_base=reader.time_base if reader.time_base else None, rotation=reader.rotation,
            primaries=None if reader.primaries == unspecified else reader.primaries,
            transfer=None if reader.transfer == unspecified else reader.transfer)
        with writer:
            with reporter.bar(reader.frame_count or None, "frame", source.name) if bar is None else _kept(bar) as bar:
                first = None
                for frame in reader:
                    first = reader.pts if first is None else first
                    time = None if reader.pts is None else (reader.pts - first) * reader.time_base  # exact
                    writer.write(transform(frame, bar), time)
                    frames += 1
                    bar.update(1)
                    reporter.memory.sample()
    return frames


class _kept:
    """A caller's progress bar in a with statement, left open."""

    def __init__(self, bar):
        self.bar = bar

    def __enter__(self):
        return self.bar

    def __exit__(self, *exc):
        return False
