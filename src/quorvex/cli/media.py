"""Inputs and outputs of the commands: images, folders of images and video files (their
encoding is quorvex.cli.videos').

Each input becomes a list of (source file, destination file) pairs. Everything that can be
checked without running a model is checked here, before any model is loaded: the input is
there and readable, the output can be written, the formats are known. Outputs are written
under a temporary name in the destination folder and renamed when complete, so a destination
that exists is a finished one.
"""

from __future__ import annotations

import contextlib
import dataclasses
import errno
import os
import pathlib
import re

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
