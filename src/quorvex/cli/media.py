"""Inputs and outputs of the commands: images, folders of images and videos.

Each input becomes a list of jobs (source file, destination file). Everything that can be
checked without running a model is checked here, before any model is loaded: the input is
there and readable, the output can be written, the formats are known. Outputs are written
under a temporary name in the destination folder and renamed when complete, so a destination
that exists is a finished one.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import fractions
import functools
import os
import pathlib
import re
import tempfile

from quorvex.extras import install_hint

from .common import USAGE, BadInput, CliError

IMAGE_SUFFIXES = (".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".webp")
INPUT_SUFFIXES = IMAGE_SUFFIXES + (".exr",)  # EXR is read through OpenEXR
ALPHA_SUFFIXES = (".png", ".webp", ".tif", ".tiff", ".exr")  # the formats that keep an alpha channel
VIDEO_SUFFIXES = (".mp4", ".mkv", ".mov", ".avi", ".webm", ".m4v")  # written and read
VIDEO_INPUT_SUFFIXES = VIDEO_SUFFIXES + (".ts", ".m2ts", ".mts")  # MPEG transport streams: read only
PARTIAL = ".partial"


@dataclasses.dataclass
class Files:
    """What an INPUT -> OUTPUT command line names: the (source, target) pairs still to make."""

    kind: str  # "image", "folder" or "video"
    pairs: list[tuple[pathlib.Path, pathlib.Path]]
    skipped: int = 0  # pairs whose target is there already


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
            raise CliError(f"{path}: writing EXR needs OpenEXR: {install_hint('OpenEXR')}", USAGE) from None
        return
    import cv2

    if ext not in IMAGE_SUFFIXES or not cv2.haveImageWriter("x" + ext):  # OpenCV takes UTF-8 names only
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


def _inside(path: pathlib.Path, folder: pathlib.Path) -> bool:
    return path == folder or folder in path.parents


def _check_no_escape(target: pathlib.Path, destination: pathlib.Path) -> None:
    """Refuses an output folder reached through a symbolic link that leads outside OUTPUT."""
    root = target.resolve()
    folder = destination.parent
    while folder != target and target in folder.parents:
        if folder.is_symlink() and not _inside(folder.resolve(), root):
            raise CliError(f"{folder} is a symbolic link to {folder.resolve()}, outside {target}; outputs are not "
                           "written through it", USAGE)
        folder = folder.parent


def plan_files(input_path: str, output_path: str, overwrite: bool, *, folder_suffix: str | None = None,
               name_suffix: str | None = None, drop_alpha: bool = False) -> Files:
    """The (source, target) pairs for INPUT -> OUTPUT, with finished outputs left out unless overwrite. For a
    folder, folder_suffix (".png", or "png") is its outputs' format and name_suffix is added to
    their names (photo.jpg -> photo_NAME.jpg)."""
    source, target = pathlib.Path(input_path), pathlib.Path(output_path)
    if folder_suffix is not None:
        if not re.fullmatch(r"\.?[A-Za-z0-9]+", folder_suffix):
            raise CliError(f"--ext {folder_suffix!r}: expected a file extension such as png or jpg", USAGE)
        folder_suffix = "." + folder_suffix.lstrip(".").lower()
    if name_suffix is not None and not re.fullmatch(r"[\w+\-][\w.+\-]*", name_suffix):
        raise CliError(f"--suffix {name_suffix!r}: expected letters, digits, '_', '-', '+' or '.' (no path "
                       "separators), not starting with '.'", USAGE)
    if not source.exists():
        raise CliError(f"{source}: no such file or folder", USAGE)
    if not os.access(source, os.R_OK):
        raise CliError(f"{source}: no permission to read", USAGE)
    if not source.is_dir() and not source.is_file():  # reading a FIFO or a device may never end
        raise CliError(f"{source}: not a regular file (a FIFO, device or socket); give a file or a folder", USAGE)

    if source.is_dir():
        if target.exists() and not target.is_dir():
            raise CliError(f"{target} is a file; a folder input needs an output folder", USAGE)
        if not target.exists() and suffix(target) in INPUT_SUFFIXES + VIDEO_INPUT_SUFFIXES:
            raise CliError(f"{target} names a file; a folder input needs an output folder (for example "
                           f"{target.with_suffix('')})", USAGE)
        check_folder_writable(target)
        resolved_source, resolved_target = source.resolve(), target.resolve()
        if resolved_target == resolved_source:
            raise CliError(f"{target} is the input folder; give another folder for the outputs", USAGE)
        if resolved_target in resolved_source.parents:
            raise CliError(f"{target} holds the input folder {source}; the outputs would mix with the inputs, so "
                           "give a folder outside it", USAGE)
        pairs = []
        for path in sorted(source.rglob("*")):
            if not path.is_file() or suffix(path) not in INPUT_SUFFIXES or path.name.startswith("."):
                continue
            if _inside(path.resolve(), resolved_target):
                continue  # outputs written inside the input folder are not inputs
            relative = path.relative_to(source)
            if folder_suffix:
                relative = relative.with_suffix(folder_suffix)
            if name_suffix:
                relative = relative.with_name(f"{relative.stem}_{name_suffix}{relative.suffix}")
            pairs.append((path, target / relative))
        if not pairs:
            raise CliError(f"{source}: no images ({', '.join(INPUT_SUFFIXES)}) in this folder", USAGE)
        if folder_suffix:
            check_writable_format(pairs[0][1], "image")
        for _, dst in pairs:
            _check_no_escape(target, dst)
        kind = "folder"
    else:
        if folder_suffix or name_suffix:
            raise CliError("--ext and --suffix name the outputs of a folder; for one file, OUTPUT is its name", USAGE)
        ext = suffix(source)
        if ext in INPUT_SUFFIXES:
            kind = "image"
        elif ext in VIDEO_INPUT_SUFFIXES:
            kind = "video"
        else:
            raise CliError(f"{source}: not an image ({', '.join(INPUT_SUFFIXES)}) or a video "
                           f"({', '.join(VIDEO_INPUT_SUFFIXES)})", USAGE)
        if target.is_dir():
            raise CliError(f"{target} is a folder; give the output file's name", USAGE)
        check_writable_format(target, kind)
        check_folder_writable(target.parent)
        pairs = [(source, target)]
        if kind == "image" and suffix(target) not in ALPHA_SUFFIXES and not drop_alpha and has_alpha(source):
            raise CliError(f"{source} has an alpha channel, which {suffix(target)} files cannot hold; write "
                           f"{', '.join(ALPHA_SUFFIXES)}, or add --drop-alpha", USAGE)

    for src, dst in pairs:
        if src.resolve() == dst.resolve():
            raise CliError(f"{src}: the output would replace the input", USAGE)
    # A folder where an output goes is not a finished output: it fails on its own when written.
    todo = [(src, dst) for src, dst in pairs if overwrite or not (dst.exists() and not dst.is_dir())]
    return Files(kind, todo, len(pairs) - len(todo))


def has_alpha(path: pathlib.Path) -> bool:
    try:
        image = read_host_image(path)
        return image.ndim == 3 and image.shape[2] == 4
    except BadInput:
        return False  # reported when it is read for work


def check_image_input(path: str, what: str) -> pathlib.Path:
    source = pathlib.Path(path)
    if not source.is_file():
        raise CliError(f"{what} {path}: no such file", USAGE)
    if not os.access(source, os.R_OK):
        raise CliError(f"{what} {path}: no permission to read", USAGE)
    if suffix(source) not in INPUT_SUFFIXES:
        raise CliError(f"{what} {path}: not an image ({', '.join(INPUT_SUFFIXES)})", USAGE)
    return source


def read_host_image(path: pathlib.Path):
    """The file's pixels as it holds them: (H, W) grey, (H, W, 3) BGR or (H, W, 4) BGRA, 8-bit,
    16-bit or float."""
    import cv2
    import numpy as np

    if suffix(path) == ".exr":
        return _read_exr(path)
    try:
        data = np.fromfile(str(path), np.uint8)
    except OSError as error:
        raise BadInput(f"{path}: cannot read this file ({error.strerror})") from None
    try:
        image = cv2.imdecode(data, cv2.IMREAD_UNCHANGED) if data.size else None
    except cv2.error as error:  # a header whose size OpenCV will not allocate, say
        text = str(error)
        reason = ("the size its header gives is more than OpenCV decodes" if "MAX_IMAGE_PIXELS" in text
                  else "OpenCV: " + text.strip().splitlines()[-1].split("error: ", 1)[-1] if text.strip()
                  else "OpenCV refused it")
        raise BadInput(f"{path}: cannot decode this image ({reason})") from None
    if image is None:
        raise BadInput(f"{path}: cannot decode this image")
    if image.ndim == 3 and image.shape[2] == 2:  # grey and alpha: as BGRA
        image = np.dstack([image[..., :1]] * 3 + [image[..., 1:]])
    if image.dtype not in (np.uint8, np.uint16, np.float32):
        image = image.astype(np.float32)
    return image


def _read_exr(path: pathlib.Path):
    import numpy as np

    try:
        import OpenEXR
    except ImportError:
        raise CliError(f"{path}: reading EXR needs OpenEXR: {install_hint('OpenEXR')}", USAGE) from None
    try:
        with OpenEXR.File(str(path)) as file:
            channels = file.channels()
            planes = {name: np.asarray(c.pixels, np.float32) for name, c in channels.items()}
    except Exception as error:
        raise BadInput(f"{path}: cannot decode this image ({error})") from None
    # An interleaved "RGB"/"RGBA" channel or separate R, G, B (and A) or Y planes.
    for joined in ("RGBA", "RGB"):
        if joined in planes and planes[joined].ndim == 3:
            image = planes[joined]
            order = [2, 1, 0] + ([3] if joined == "RGBA" else [])
            return np.ascontiguousarray(image[..., order])
    if all(c in planes for c in "RGB"):
        names = "BGRA" if "A" in planes else "BGR"
        return np.ascontiguousarray(np.dstack([planes[c] for c in names]))
    if "Y" in planes:
        return planes["Y"] if "A" not in planes else np.dstack([planes["Y"]] * 3 + [planes["A"]])
    raise BadInput(f"{path}: an EXR image without R, G, B or Y channels ({', '.join(sorted(planes))})")


def read_image(path: pathlib.Path):
    """(float32 device image, the file's element type): (H, W, 1) grey, (H, W, 3) BGR or
    (H, W, 4) BGRA as the file holds it."""
    import cupy as cp

    from quorvex.utils.dtypes import to_float32

    image = read_host_image(path)
    if image.ndim == 2:
        image = image[:, :, None]
    return to_float32(cp.asarray(image)), image.dtype


def colour_and_alpha(image):
    """(3-channel BGR image, alpha plane or None) of a 1-, 3- or 4-channel image: what the models
    and the face pipeline take, and what goes around them."""
    import cupy as cp

    channels = image.shape[2]
    if channels == 1:
        return cp.ascontiguousarray(cp.broadcast_to(image, image.shape[:2] + (3,))), None
    if channels == 4:
        return cp.ascontiguousarray(image[:, :, :3]), cp.ascontiguousarray(image[:, :, 3:])
    return image, None


@dataclasses.dataclass
class ImageInput:
    """An image file read for a worker: its colour on the device (in holder, a list the worker
    empties so that it holds the only reference), the file's element type and channel count,
    and its alpha plane where the colour was taken apart from it."""

    source: pathlib.Path
    holder: list
    dtype: object
    channels: int
    alpha: object = None


def with_layout(result, channels: int, alpha):
    """The 3-channel result given back the input's layout: its luma alone for a grey input, the
    alpha plane appended (already at the result's size) for one with alpha."""
    import cupy as cp

    from quorvex.color.grayscale import bgr_to_grayscale

    if channels == 1:
        return bgr_to_grayscale(result)[:, :, :1]
    if channels == 4:
        return cp.concatenate([result, alpha], axis=2)
    return result


def create_beside(target: pathlib.Path, tag: str = PARTIAL) -> tuple[pathlib.Path, int]:
    """(path, descriptor) of a new hidden file beside target, tag before its extension: the
    package's one temporary-file maker (quorvex.io.files), never writing through a planted link."""
    from quorvex.io.files import create_beside as create

    path, fd = create(target, tag)
    return pathlib.Path(path), fd


@contextlib.contextmanager
def replacing(target: pathlib.Path, tag: str = PARTIAL):
    """The path of a new file beside target (create_beside) to write the output into: renamed
    onto target (a link there is replaced, not followed) when the block completes, removed when
    it fails."""
    path, fd = create_beside(target, tag)
    os.close(fd)
    try:
        yield path
        os.replace(path, target)
    finally:
        path.unlink(missing_ok=True)


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


def write_image(target: pathlib.Path, image, source_dtype, source: pathlib.Path | None = None) -> None:
    """Writes a float32 device image (1, 3 or 4 channels) with the source's depth where the
    format allows it (8-bit sources give 8-bit files, 16-bit 16-bit, float float in TIFF and
    EXR), under a temporary name renamed when complete. An EXR keeps the compression of an EXR
    source, else is compressed losslessly (ZIP)."""
    import numpy as np

    from quorvex.utils.dtypes import to_uint8, to_uint16

    if target.is_dir():
        raise BadInput(f"{target} is a folder; the output cannot be written there")
    ext = suffix(target)
    if ext not in ALPHA_SUFFIXES and image.shape[2] == 4:
        image = image[:, :, :3]  # --drop-alpha
    keep_float = ext in (".tif", ".tiff") and source_dtype == np.float32
    if ext != ".exr" and not keep_float:
        convert, dtype = (to_uint8, np.uint8) if source_dtype == np.uint8 else (to_uint16, np.uint16)
        if image.dtype != dtype:  # the upscaler hands over images already converted
            image = in_bands(image, convert, dtype)
    host = image.get()
    try:
        target.parent.mkdir(parents=True, exist_ok=True)
        with replacing(target) as partial:
            if ext == ".exr":
                _write_exr(partial, host, source)
            else:
                _write_encoded(partial, host, target)
    except OSError as error:
        if error.errno == errno.ENOSPC:
            raise CliError(f"{target}: no space left on device") from None
        raise BadInput(f"{target}: cannot write ({error.strerror or error})") from None


def _write_encoded(partial: pathlib.Path, host, target: pathlib.Path) -> None:
    import cv2

    ext = suffix(partial)
    options = {".png": [cv2.IMWRITE_PNG_COMPRESSION, 3], ".jpg": [cv2.IMWRITE_JPEG_QUALITY, 100],
               ".jpeg": [cv2.IMWRITE_JPEG_QUALITY, 100], ".tif": [cv2.IMWRITE_TIFF_COMPRESSION, 5],
               ".tiff": [cv2.IMWRITE_TIFF_COMPRESSION, 5]}.get(ext, [])
    try:
        ok, data = cv2.imencode(ext, host, options)
    except cv2.error:
        ok = False
    if not ok:
        raise BadInput(f"{target}: OpenCV cannot encode a {host.dtype} image of "
                       f"{host.shape[2] if host.ndim == 3 else 1} channels as {ext}")
    with open(partial, "wb") as file:  # a full disk raises here, with its errno
        file.write(data.tobytes())


def _write_exr(partial: pathlib.Path, host, source: pathlib.Path | None) -> None:
    import numpy as np

    try:
        import OpenEXR
    except ImportError:
        raise CliError(f"{partial}: writing EXR needs OpenEXR: {install_hint('OpenEXR')}", USAGE) from None
    header = {"compression": OpenEXR.ZIP_COMPRESSION, "type": OpenEXR.scanlineimage}
    if source is not None and suffix(source) == ".exr":  # compressed as the source was
        with OpenEXR.File(str(source), header_only=True) as file:
            kept = file.header()
        header.update({key: kept[key] for key in ("compression", "dwaCompressionLevel") if key in kept})
    host = host.astype(np.float16)
    if host.shape[2] == 1:
        channels = {"Y": np.ascontiguousarray(host[:, :, 0])}
    else:
        names = "BGRA"[:host.shape[2]]
        channels = {name: np.ascontiguousarray(host[:, :, i]) for i, name in enumerate(names)}
    OpenEXR.File(header, channels).write(str(partial))


def video_module():
    """quorvex.io.video, or a clear message where it (or PyAV behind it) is missing."""
    try:
        import quorvex.io.video as video
    except ImportError as error:
        raise CliError(f"video input needs quorvex.io.video and PyAV ({error}): {install_hint('av')}") from None
    return video


# Encoders the command picks by default per container, best first.
DEFAULT_CODECS = {".webm": ("libvpx-vp9", "libsvtav1")}
OTHER_CODECS = ("libx264", "libx265")
SAME_AS_SOURCE = {"hevc": "libx265"}  # kept where the encoder is here: few devices decode H.264 High 10 in hardware
CRF_CODECS = {"libx264": 51, "libx265": 51, "libvpx-vp9": 63, "libsvtav1": 63}  # the highest (worst) quality
_X26X_PRESETS = ("ultrafast", "superfast", "veryfast", "faster", "fast", "medium", "slow", "slower", "veryslow",
                 "placebo")
PRESETS = {"libx264": _X26X_PRESETS, "libx265": _X26X_PRESETS, "libsvtav1": tuple(str(n) for n in range(14))}


def parse_rate(text: str, option: str) -> int:
    """Bits per second of a rate as FFmpeg writes them: 800k, 5M, 2.5M, 1500000."""
    found = re.fullmatch(r"(\d+(?:\.\d+)?)([kKmMgG]?)", str(text).strip())
    rate = float(found[1]) * {"": 1, "k": 1e3, "m": 1e6, "g": 1e9}[found[2].lower()] if found else 0
    if not 1000 <= rate <= 1e11:
        raise CliError(f"--{option} {text}: expected bits per second such as 800k, 5M or 2500000 (at least 1k)", USAGE)
    return int(rate)


def _shape_of(pixel_format: str):
    """(bits, chroma) of a decoded pixel format, as near as the writer's formats come (RGB as
    4:4:4, grey as 4:2:0, 16 bits as 12)."""
    import av

    fmt = av.VideoFormat(pixel_format, 16, 16)
    deepest = max(c.bits for c in fmt.components)
    bits = 8 if deepest <= 8 else 10 if deepest <= 10 else 12
    planes = [c for c in fmt.components if not c.is_alpha]
    if len(planes) < 3 or planes[1].height < planes[0].height:
        chroma = "420"
    elif planes[1].width < planes[0].width:
        chroma = "422"
    else:
        chroma = "444"
    return bits, chroma


@functools.cache
def writable() -> dict:
    """The formats the command writes, the writer's planar ones, by (bits, chroma)."""
    formats = video_module().PIXEL_FORMATS
    return {(bits, chroma): name for name, (bits, chroma, layout) in formats.items() if layout == "planar"}


def _fallbacks(bits: int, chroma: str):
    """The writer's formats from (bits, chroma) down, chroma kept before depth."""
    depths = [b for b in (12, 10, 8) if b <= bits]
    layouts = {"444": ("444", "422", "420"), "422": ("422", "420"), "420": ("420",)}[chroma]
    return [writable()[(b, c)] for c in layouts for b in depths]


def _takes(codec: str, pixel_format: str) -> bool:
    import av

    return pixel_format in {f.name for f in (av.Codec(codec, "w").video_formats or ())}


def choose_output(target: pathlib.Path, source_format: str | None, output: dict | None,
                  source_codec: str | None = None):
    """(codec, pixel format, options) of a video output: what the user chose, else an encoder the
    container takes (HEVC for HEVC sources), with the source's bit depth and chroma where an
    encoder here makes them (asked of the encoders at run time), else the nearest below (chroma
    kept before depth)."""
    import av

    output = output or {}
    if output.get("encoder") == "nvenc":
        return nvenc_output(source_format, output, source_codec)
    codecs = DEFAULT_CODECS.get(suffix(target), OTHER_CODECS)
    if source_codec in SAME_AS_SOURCE and suffix(target) not in DEFAULT_CODECS:
        codecs = (SAME_AS_SOURCE[source_codec], *codecs)
    codecs = (output["codec"],) if output.get("codec") else tuple(dict.fromkeys(codecs))
    available = [c for c in codecs if c in av.codecs_available]
    if not available:
        raise CliError(f"{target}: no encoder for {suffix(target)} files in this FFmpeg (tried {', '.join(codecs)})",
                       USAGE)
    if output.get("pix_fmt"):
        if output["pix_fmt"] not in writable().values():
            raise CliError(f"--pix-fmt {output['pix_fmt']}: the video writer makes {', '.join(writable().values())}",
                           USAGE)
        wanted = [output["pix_fmt"]]
    else:
        wanted = _fallbacks(*_shape_of(source_format)) if source_format else [writable()[(8, "420")]]
    for pixel_format in dict.fromkeys(wanted):
        for codec in available:
            if _takes(codec, pixel_format):
                options = {}
                if output.get("crf") is not None:
                    if codec not in CRF_CODECS:
                        raise CliError(f"--crf is for {', '.join(CRF_CODECS)}, not {codec}", USAGE)
                    if not 0 <= output["crf"] <= CRF_CODECS[codec]:
                        raise CliError(f"--crf {output['crf']}: {codec} takes 0 (best) to {CRF_CODECS[codec]}", USAGE)
                    options["crf"] = str(output["crf"])
                    if codec == "libvpx-vp9":
                        options["b"] = "0"  # constant quality
                options.update(rate_options(codec, output))
                if codec == "libx265":
                    add_encoder_params(options, codec, {"log-level": "error"})  # its own banner and statistics
                return codec, pixel_format, options
    raise CliError(f"{target}: {' or '.join(available)} cannot encode {' or '.join(wanted)}", USAGE)


# NVENC's codecs by the names users give them (FFmpeg's encoders' included), and its presets.
NVENC_CODECS = {"h264": "h264", "libx264": "h264", "h264_nvenc": "h264", "hevc": "hevc", "libx265": "hevc",
                "hevc_nvenc": "hevc", "av1": "av1", "av1_nvenc": "av1"}
NVENC_PRESETS = tuple(f"p{n}" for n in range(1, 8))


def nvenc_output(source_format: str | None, output: dict, source_codec: str | None):
    """(codec, pixel format, options) of --encoder nvenc: H.264 (HEVC for HEVC sources), 4:2:0
    at the source's depth where the codec has 10 bits, NVENC's preset and average bit rate."""
    name = output.get("codec") or ("hevc" if source_codec == "hevc" else "h264")
    codec = NVENC_CODECS.get(name)
    if codec is None:
        raise CliError(f"--codec {name}: --encoder nvenc makes h264, hevc or av1", USAGE)
    for option in ("crf", "maxrate"):
        if output.get(option) is not None:
            raise CliError(f"--{option} is for FFmpeg's encoders; --encoder nvenc takes --bitrate and --preset", USAGE)
    deep = source_format is not None and _shape_of(source_format)[0] > 8 and codec != "h264"
    pixel_format = output.get("pix_fmt") or ("yuv420p10le" if deep else "yuv420p")
    if pixel_format not in ("yuv420p", "yuv420p10le"):
        raise CliError(f"--pix-fmt {pixel_format}: --encoder nvenc makes yuv420p or yuv420p10le", USAGE)
    options = {}
    if output.get("preset") is not None:
        preset = str(output["preset"]).lower()
        if preset not in NVENC_PRESETS:
            raise CliError(f"--preset {output['preset']}: NVENC takes {', '.join(NVENC_PRESETS)} (p7 the slowest)", USAGE)
        options["preset"] = preset
    if output.get("bitrate") is not None:
        options.update(rc="vbr", bitrate=str(parse_rate(output["bitrate"], "bitrate")))
    return codec, pixel_format, options


def rate_options(codec: str, output: dict) -> dict:
    """The encoder options of --preset, --bitrate and --maxrate, checked against the encoder."""
    options = {}
    if output.get("preset") is not None:
        if codec not in PRESETS:
            raise CliError(f"--preset is for {', '.join(PRESETS)}, not {codec}", USAGE)
        if output["preset"] not in PRESETS[codec]:
            raise CliError(f"--preset {output['preset']}: {codec} takes {', '.join(PRESETS[codec])}", USAGE)
        options["preset"] = output["preset"]
    if output.get("bitrate") is not None:
        if output.get("crf") is not None:
            raise CliError("--crf and --bitrate both set the quality; give one", USAGE)
        options["b"] = str(parse_rate(output["bitrate"], "bitrate"))
    if output.get("maxrate") is not None:
        rate = parse_rate(output["maxrate"], "maxrate")
        if "b" in options and int(options["b"]) > rate:
            raise CliError(f"--bitrate {output['bitrate']} is above --maxrate {output['maxrate']}", USAGE)
        options.update(maxrate=str(rate), bufsize=str(2 * rate))  # x264 and x265 cap only with a buffer
    return options


@functools.cache  # asked once per piece; the CPU does not change
def _has_avx512() -> bool:
    try:
        with open("/proc/cpuinfo") as info:
            return any(line.startswith("flags") and " avx512bw" in line for line in info)
    except OSError:
        return False


# Where each encoder takes its own parameters ("key=value:key=value").
ENCODER_PARAMS = {"libx264": "x264-params", "libx265": "x265-params", "libsvtav1": "svtav1-params"}


def add_encoder_params(options: dict, codec: str, params: dict) -> None:
    """Appends params to the encoder's own parameter string in options."""
    key = ENCODER_PARAMS[codec]
    options[key] = ":".join([*filter(None, [options.get(key)]), *(f"{k}={v}" for k, v in params.items())])


def one_thread_options(codec: str) -> dict:
    """Encoder options whose bytes depend on the frames only. libx264's AVX-512 routines read
    padding it never writes (the output changes with the heap's old contents, as
    MALLOC_PERTURB_ shows), so on CPUs that have them it is held to its AVX2 ones, a subset of
    what it detects there. libx265 ignores "threads": its frame threads are fixed at one, and
    its info message, which names the CPU and thread pools, is left out."""
    options = {"threads": "1"}
    if codec == "libx264" and _has_avx512():
        add_encoder_params(options, codec, {"asm": "AVX2"})
    if codec == "libx265":
        add_encoder_params(options, codec, {"frame-threads": 1, "info": 0})
    return options


def hdr_options(codec: str, options: dict, mastering: dict | None, light: tuple | None) -> bool:
    """Adds a source's HDR10 static metadata (VideoReader.mastering_display, .content_light) to the
    encoder's parameters, as the SEI messages (OBU metadata in AV1) that players read. False
    where the encoder has no way to carry it."""
    if mastering is None and light is None:
        return True
    if codec not in ENCODER_PARAMS:
        return False
    params = {}
    if mastering is not None:
        xy = [mastering[name] for name in ("green", "blue", "red", "white")]
        low, high = mastering["luminance"]
        if codec == "libsvtav1":  # in the units themselves
            params["mastering-display"] = "G({:.4f},{:.4f})B({:.4f},{:.4f})R({:.4f},{:.4f})WP({:.4f},{:.4f})".format(
                *(v for pair in xy for v in pair)) + f"L({high:.4f},{low:.4f})"
        else:  # x264 and x265: chromaticity in 1/50000, luminance in 1/10000 cd/m2
            params["master-display" if codec == "libx265" else "mastering-display"] = "".join(
                f"{n}({round(x * 50000)},{round(y * 50000)})" for n, (x, y) in zip(("G", "B", "R", "WP"), xy)
            ) + f"L({round(high * 10000)},{round(low * 10000)})"
    if light is not None:
        params[{"libx264": "cll", "libx265": "max-cll", "libsvtav1": "content-light"}[codec]] = f"{light[0]},{light[1]}"
    add_encoder_params(options, codec, params)
    return True


def check_video_output(target: pathlib.Path, output: dict | None = None) -> None:
    """Refuses, before any work, an output whose container has no encoder here or does not take
    the codec asked for."""
    import av

    codec, pixel_format, options = choose_output(target, None, output)
    output = output or {}
    hardware = [f"--{k} {output[k]}" for k in ("encoder", "decoder") if output.get(k) in ("nvenc", "nvdec")]
    if hardware:
        try:
            import PyNvVideoCodec  # noqa: F401
        except ImportError:
            raise CliError(f"{' and '.join(hardware)} need{'s' if len(hardware) == 1 else ''} PyNvVideoCodec: "
                           f"{install_hint('PyNvVideoCodec')}", USAGE) from None
    if output.get("codec") and output.get("encoder") != "nvenc":  # one named may be there and still not open
        try:
            trial = av.CodecContext.create(codec, "w")
            trial.width, trial.height, trial.pix_fmt = 64, 64, pixel_format
            trial.time_base = fractions.Fraction(1, 25)
            trial.options = options
            trial.open()
        except av.FFmpegError as error:
            raise CliError(f"--codec {codec}: FFmpeg cannot open this encoder here ({error})", USAGE) from None
    # Beside the target where its folder is there already; a folder not made yet is not made for this.
    with contextlib.ExitStack() as stack:
        folder = target.parent
        if not folder.is_dir():
            folder = pathlib.Path(stack.enter_context(tempfile.TemporaryDirectory()))
        probe, fd = create_beside(folder / target.name, ".probe")
        os.close(fd)
        stack.callback(probe.unlink, missing_ok=True)
        with av.open(str(probe), "w") as container:  # the format the writer will pick; nothing is written
            if codec not in container.supported_codecs:
                raise CliError(f"{target}: {suffix(target)} files do not take {codec}", USAGE)


def process_video(source: pathlib.Path, target: pathlib.Path, transform, reporter, out_size, bar=None,
                  output: dict | None = None, audio: bool = True, threads: int | None = None,
                  lead_in_until: fractions.Fraction | None = None, clip: bool = True, times=None,
                  until: fractions.Fraction | None = None) -> int:
    """Runs transform on every frame of source into target (the audio copied unless not audio),
    frame by frame, each frame at its time in source (from the first frame's), with source's
    colour tags and display rotation.

    out_size maps the input (width, height) to the output's. output: the user's codec, crf and
    pix_fmt (choose_output). threads: the encoder's thread count (its bytes depend on it).
    lead_in_until: frames shown before this time (seconds) are decoded for the decoder's sake
    only, neither transformed nor written; frames shown from until on likewise. clip=False hands transform super-white and sub-black
    as values beyond 0..1 (for transforms that keep them).
    Decoding and encoding run in threads of their own beside transform (in this thread); times,
    a pipeline.StageTimes, gets what each took.
    Progress goes to bar, else to a bar of its own. Returns the number of frames. The writer
    keeps the file under a temporary name until it is complete."""
    from quorvex.pipeline import run_stages

    video = video_module()
    target.parent.mkdir(parents=True, exist_ok=True)
    output = output or {}
    with video.VideoReader(str(source), clip=clip, decoder=output.get("decoder") or "ffmpeg") as reader:
        codec, pixel_format, options = choose_output(target, reader.pixel_format, output, reader.codec)
        nvenc = output.get("encoder") == "nvenc"
        if threads and not nvenc:
            options.update(one_thread_options(codec) if threads == 1 else {"threads": str(threads)})
        hdr_options(codec, options, reader.mastering_display, reader.content_light)  # the join says what is lost
        unspecified = 2  # H.273's code for "unspecified": the writer's default for the matrix then
        writer = video.VideoWriter(
            str(target), reader.fps or 25, out_size(reader.size), codec, pixel_format, reader.matrix,
            reader.full_range, options=options, audio_from=str(source) if audio else None,
            time_base=reader.time_base if reader.time_base else None, rotation=reader.rotation,
            primaries=None if reader.primaries == unspecified else reader.primaries,
            transfer=None if reader.transfer == unspecified else reader.transfer,
            encoder="nvenc" if nvenc else "ffmpeg")
        half_frame = fractions.Fraction(1, 2) / fractions.Fraction(reader.fps or 25)

        def timed_frames():
            first = None
            for frame in reader:
                pts = reader.pts
                if (lead_in_until is not None and first is None and pts is not None
                        and pts * reader.time_base < lead_in_until - half_frame):
                    continue  # lead-in (the segment's muxer may have rounded its times)
                if until is not None and pts is not None and pts * reader.time_base >= until - half_frame:
                    continue  # past the part asked for: decoded to the end of its group only
                first = pts if first is None else first
                yield frame, None if pts is None else (pts - first) * reader.time_base  # exact

        with writer:
            with reporter.bar(reader.frame_count or None, "frame", source.name) if bar is None else _kept(bar) as bar:
                def work(item):
                    result = transform(item[0], bar), item[1]
                    bar.update(1)  # here: a bar that stops the run raises in the thread it was made for
                    return result

                def write(result):
                    writer.write(*result)
                    reporter.memory.sample()

                # decoding, the device work and encoding overlap
                return run_stages(timed_frames(), work, write, times=times)


class _kept:
    """A caller's progress bar in a with statement, left open."""

    def __init__(self, bar):
        self.bar = bar

    def __enter__(self):
        return self.bar

    def __exit__(self, *exc):
        return False
