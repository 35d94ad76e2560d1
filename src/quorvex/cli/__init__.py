"""The quorvex command: upscale and swap faces in images, folders and videos; export, build and
inspect models.

    quorvex upscale photo.png photo_x4.png --model 4x.pth
    quorvex swap --source face.jpg frames/ swapped/ --detector det.engine --embedder arcface.onnx --swapper swap.onnx
    quorvex inspect 4x.pth --json

Failures end in one line on standard error and a non-zero exit status (2 for bad arguments and
failed checks, 1 for failures while working, 130 when interrupted); --debug shows the traceback.
"""

from __future__ import annotations

import argparse
import json
import pathlib
import sys
import warnings

from quorvex.extras import install_hint

from .common import USAGE, CliError, Reporter


def _seconds(text: str) -> float:
    """A time as FFmpeg's -ss takes it: seconds (12.5) or [HH:]MM:SS[.m]."""
    parts = text.strip().split(":")
    try:
        if len(parts) > 3 or any(not p or p.startswith(("-", "+")) for p in parts):
            raise ValueError
        seconds = sum(float(p) * 60 ** i for i, p in enumerate(reversed(parts)))
        if not 0 <= seconds < float("inf"):
            raise ValueError
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected seconds (12.5) or [HH:]MM:SS[.m], got {text!r}") from None
    return seconds


def _triple(text: str) -> tuple[int, ...]:
    try:
        values = tuple(int(v) for v in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected integers separated by commas, got {text!r}") from None
    return values


# Flags of the upscaling command lines users know, and what to write here instead.
FOREIGN_FLAGS = {
    "-i": "give INPUT as the first argument, without -i",
    "--input": "give INPUT as the first argument, without --input",
    "-o": "give OUTPUT as the second argument, without -o",
    "--output": "give OUTPUT as the second argument, without --output",
    "-n": "--model FILE (a checkpoint, .onnx or .engine)",
    "--model_name": "--model FILE (a checkpoint, .onnx or .engine)",
    "-s": "--outscale F (any final scale), or --scale N without --model",
    "--fp16": "--precision fp16",
    "--half": "--precision fp16",
    "--fp32": "--precision fp32 (the default)",
    "--tile_pad": "--overlap N",
    "--face_enhance": "--face-enhance MODEL --detector DET (a face-restoration model and a face detector)",
    "-g": "--device cuda:N",
    "--gpu-id": "--device cuda:N",
}


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose errors also say what to write for a flag of another tool."""

    def error(self, message):
        tokens = [t.split("=")[0] for t in message.replace(",", " ").split()]
        hints = [f"{flag}: {FOREIGN_FLAGS[flag]}" for flag in dict.fromkeys(tokens) if flag in FOREIGN_FLAGS]
        super().error(message + "".join(f"\n  hint: {hint}" for hint in hints))


def build_parser() -> argparse.ArgumentParser:
    common = argparse.ArgumentParser(add_help=False)
    common.add_argument("-q", "--quiet", action="store_true", help="no progress bars and no summary")
    common.add_argument("--debug", action="store_true", help="show the traceback of a failure")

    # Folder and video jobs on a Ray cluster (quorvex.cli.runners.ray).
    on_ray = argparse.ArgumentParser(add_help=False)
    group = on_ray.add_argument_group(f"on a Ray cluster ({install_hint('ray')})")
    group.add_argument("--ray", nargs="?", const="", metavar="ADDRESS",
                       help="run on Ray: a local instance, or with ADDRESS (auto, HOST:PORT, ray://HOST:10001) an "
                       "existing cluster; RAY_ADDRESS is used when ADDRESS is left out. Paths must be the same on "
                       "every node")
    group.add_argument("--workers", type=int, help="workers, each with its own model (default: as many as the "
                       "cluster's GPUs allow)")
    group.add_argument("--gpus-per-worker", type=float, default=1.0,
                       help="GPUs each worker reserves; fractions share a GPU between workers (default 1)")

    # The names of a folder's outputs (quorvex.cli.media.plan_files).
    folder_out = argparse.ArgumentParser(add_help=False)
    group = folder_out.add_argument_group("folder output")
    group.add_argument("--ext", help="format of a folder's outputs: png, jpg, tif, webp, exr, ... (default: each "
                       "input's own)")
    group.add_argument("--suffix", help="added to each of a folder's output names: NAME_SUFFIX.EXT")

    # The encoding of video outputs (quorvex.cli.videos.choose_output).
    video_out = argparse.ArgumentParser(add_help=False)
    group = video_out.add_argument_group("video output")
    group.add_argument("--codec", help="FFmpeg encoder (default libx264; libvpx-vp9 or libsvtav1 for .webm)")
    group.add_argument("--crf", type=int, help="constant quality of x264, x265, VP9 or SVT-AV1; lower is better "
                       "(the encoder's default, 23 for x264, when left out)")
    group.add_argument("--preset", help="encoder speed preset: ultrafast ... veryslow for x264 and x265, 0 (slowest) "
                       "to 13 for SVT-AV1 (the encoder's default when left out)")
    group.add_argument("--bitrate", help="average bits per second, such as 8M or 2500k, instead of --crf")
    group.add_argument("--maxrate", help="the highest bits per second (with a buffer of two seconds' worth), with "
                       "--crf or --bitrate")
    group.add_argument("--start", type=_seconds, metavar="TIME", help="work on the part of a video from this time "
                       "(seconds, or [HH:]MM:SS[.m]; frame-exact, decoded from the key frame before)")
    group.add_argument("--duration", type=_seconds, metavar="TIME", help="the length of that part (default: to "
                       "the end)")
    group.add_argument("--encoder", choices=("ffmpeg", "nvenc"), help="nvenc: encode on the GPU (NVENC, "
                       f"{install_hint('PyNvVideoCodec')}), h264, hevc or av1 by --codec, with --preset p1 to p7 and --bitrate")
    group.add_argument("--decoder", choices=("ffmpeg", "nvdec"), help="nvdec: decode 4:2:0 sources on the GPU (NVDEC)")
    group.add_argument("--pix-fmt", help="yuv420p, yuv422p, yuv420p10le or yuv422p10le (default: the source's bit "
                       "depth and chroma, as near as the encoder makes them)")

    parser = Parser(prog="quorvex", description="Upscale and swap faces in images, folders and videos; export, build and inspect models.")
    from quorvex import __version__

    parser.add_argument("--version", action="version", version=f"quorvex {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    up = commands.add_parser("upscale", parents=[common, on_ray, folder_out, video_out], help="upscale images, folders of images or videos",
                             description="Upscale an image, a folder of images (recursively, same layout under "
                             "OUTPUT) or a video. With --model, a PyTorch checkpoint (spandrel), an ONNX model or a "
                             "TensorRT engine runs over overlapping tiles; without, a Lanczos-4 resize by --scale.")
    up.add_argument("input", metavar="INPUT")
    up.add_argument("output", metavar="OUTPUT")
    up.add_argument("--model", help="checkpoint (.pth, .pt, .ckpt, .safetensors), .onnx model or TensorRT engine")
    up.add_argument("--scale", type=int, help="factor of the Lanczos-4 resize without --model (default 2)")
    up.add_argument("--outscale", type=float, help="final scale: the model's output resized by Lanczos-4 to the "
                    "input's size times this (x2 from a x4 model, 1.5, ...); without --model the resize's factor")
    up.add_argument("--tile", type=int, help="tile side in input pixels (default 128, or what the model needs); 0: each "
                    "image whole, in one pass where the model allows its size")
    up.add_argument("--overlap", type=int, default=16, help="pixels neighbouring tiles share (default 16)")
    up.add_argument("--batch", type=int, default=8, help="tiles per model run (default 8)")
    up.add_argument("--device", default="cuda", help="cuda or cuda:N (default cuda)")
    up.add_argument("--precision", choices=("fp32", "fp16", "bf16"),
                    help="for PyTorch checkpoints: the type the model runs in (default fp32)")
    up.add_argument("--overwrite", action="store_true", help="redo outputs that are already there")
    up.add_argument("--face-enhance", metavar="MODEL", help="then restore the faces of the upscaled image with this "
                    "face-restoration model (ONNX, or a GFPGAN, CodeFormer or RestoreFormer checkpoint), found by "
                    "--detector, and paste them back")
    up.add_argument("--detector", help="with --face-enhance: the face detector (a TensorRT engine, or an ONNX model "
                    "built into one once)")

    sw = commands.add_parser("swap", parents=[common, on_ray, folder_out, video_out], help="swap a face into images, folders or videos",
                             description="Give every selected face of INPUT (an image, a folder of images or a "
                             "video) the identity of the face in --source.")
    sw.add_argument("input", metavar="INPUT")
    sw.add_argument("output", metavar="OUTPUT")
    sw.add_argument("--source", required=True, action="append", help="image of the face to use; given more "
                    "than once (photos of one person), their identities are averaged")
    sw.add_argument("--detector", required=True, help="face detection model: a TensorRT engine, or an ONNX model "
                    "built into one once (kept in quorvex's cache, ~/.cache/quorvex/engines)")
    sw.add_argument("--embedder", required=True, help="face embedding: ONNX model or TensorRT engine")
    sw.add_argument("--swapper", required=True, help="identity swap ONNX model; its embedding map is taken from it "
                    "(kept in ~/.cache/quorvex) unless $QUORVEX_EMAP names one")
    sw.add_argument("--enhancer", help="face restoration model (optional): ONNX, or a PyTorch checkpoint "
                    "of GFPGAN, CodeFormer or RestoreFormer")
    sw.add_argument("--faces", default="all", help="all, largest, or N: the N largest faces (default all)")
    sw.add_argument("--enhancer-blend", type=float, help="share of the restored face, 0 to 1, the swapped face "
                    "making up the rest (default 1; needs --enhancer)")
    sw.add_argument("--reference", metavar="FACE", help="image of a person: only that person's faces are swapped "
                    "(then --faces picks among them)")
    sw.add_argument("--similarity", type=float, help="with --reference: the least cosine between a face's and the "
                    "reference's identity embeddings, 0 to 1 (default 0.4)")
    sw.add_argument("--det-thresh", type=float, help="the detector's score threshold, between 0 and 1 (default 0.5)")
    sw.add_argument("--mask-blur", type=float, help="the paste mask's feather, 0 (a hard edge) to 1, as a share of "
                    "the face crop's width (default: a seventh of it)")
    sw.add_argument("--mask-padding", metavar="T,R,B,L", help="percents of the face crop (top, right, bottom, left; "
                    "or one value, or vertical,horizontal) kept out of the paste mask, beyond its own edge bands")
    sw.add_argument("--det-size", metavar="N|WxH", help="the detector's input size, multiples of 32, for an ONNX "
                    "detector built into an engine (default 640, or the model's own)")
    sw.add_argument("--device", default="cuda", help="cuda or cuda:N (default cuda)")
    sw.add_argument("--overwrite", action="store_true", help="redo outputs that are already there")

    ex = commands.add_parser("export", parents=[common], help="export a PyTorch checkpoint to ONNX",
                             description="Export a checkpoint spandrel recognises to ONNX (input 'input', output "
                             "'output'; batch, height and width dynamic unless --input-shape is given).")
    ex.add_argument("model", metavar="MODEL")
    ex.add_argument("output", metavar="OUTPUT.onnx")
    ex.add_argument("--input-shape", type=_triple, help="fixed N,C,H,W (default: dynamic, traced at 1,3,128,128)")
    ex.add_argument("--opset", type=int, default=20, help="ONNX opset (default 20)")
    ex.add_argument("--precision", choices=("fp32", "fp16", "bf16"), default="fp32")
    ex.add_argument("--device", help="where to trace: cuda, cuda:N or cpu (default cuda where PyTorch sees a GPU, "
                    "else cpu)")

    bd = commands.add_parser("build", parents=[common], help="build a TensorRT engine from an ONNX model",
                             description="Build a TensorRT engine: with dynamic height, width and batch within "
                             "--sizes and --batches, or with the input fixed to --input-shape.")
    bd.add_argument("model", metavar="MODEL.onnx")
    bd.add_argument("output", metavar="OUTPUT.engine")
    bd.add_argument("--input-shape", type=_triple, help="fixed N,C,H,W")
    bd.add_argument("--precision", choices=("fp32", "fp16", "bf16", "int8"), default="fp16")
    bd.add_argument("--workspace", type=int, default=512, help="builder workspace in MiB (default 512)")
    bd.add_argument("--sizes", type=_triple, default=(16, 512, 2048), help="MIN,OPT,MAX height and width")
    bd.add_argument("--batches", type=_triple, default=(1, 1, 1), help="MIN,OPT,MAX batch")

    ins = commands.add_parser("inspect", parents=[common], help="what a model needs and gives",
                              description="Architecture, scale, channels, size needs and precisions of a checkpoint; "
                              "inputs and outputs (names, shapes with dynamic axes named, types) of an ONNX model "
                              "or a TensorRT engine.")
    ins.add_argument("model", metavar="MODEL")
    ins.add_argument("--json", action="store_true", help="print JSON")

    # Checkpoints are read without running code from them; --trust-model allows the full
    # unpickling some old checkpoints need.
    for sub in (up, sw, ins):
        sub.add_argument("--trust-model", action="store_true",
                         help="load a PyTorch checkpoint that needs full unpickling, which can run code from the "
                         "file: only for checkpoints from a source you trust")
    for sub in (up, sw):
        sub.add_argument("--drop-alpha", action="store_true",
                         help="write images with an alpha channel to formats without one (JPEG, BMP), dropping it; "
                         "otherwise alpha is kept (PNG, WebP, TIFF, EXR)")
    up.epilog = ("Alpha is kept: the model sees the colour and the alpha plane is upscaled by Lanczos-4 beside it. "
                 "Grey images go through the model as three equal channels and come out grey; 16-bit stays 16-bit "
                 "and float (EXR, float TIFF) stays float where the output format holds it. A model works in 0..1: "
                 "it clips a video's super-white and sub-black (codes beyond 16..235) and HDR values above 1, "
                 "which the Lanczos-4 resize keeps.")
    # The options every command has, before the command's name too (quorvex --quiet upscale ...).
    parser.add_argument("-q", "--quiet", dest="global_quiet", action="store_true", help="no progress bars and no summary")
    parser.add_argument("--debug", dest="global_debug", action="store_true", help="show the traceback of a failure")
    return parser


def _check_out(path: str, suffixes: tuple[str, ...]) -> pathlib.Path:
    from .media import check_folder_writable

    target = pathlib.Path(path)
    if target.suffix.lower() not in suffixes:
        raise CliError(f"{path}: the output needs the extension {' or '.join(suffixes)}", USAGE)
    if target.is_dir():
        raise CliError(f"{path} is a folder; give the output file's name", USAGE)
    check_folder_writable(target.parent)
    return target


def _written_atomically(target: pathlib.Path, write, reporter) -> None:
    """write(path) into a new file beside target, renamed onto it when complete; the conversions'
    own messages name target."""
    from .media import replacing

    target.parent.mkdir(parents=True, exist_ok=True)
    with replacing(target) as partial:
        with reporter.library_output() if reporter.quiet else _stdout(partial, target):
            write(str(partial))
        if not partial.exists() or partial.stat().st_size == 0:
            raise CliError(f"{target}: nothing was written")


def export(args, reporter) -> int:
    from quorvex.pipeline.models import model_kind

    if model_kind(args.model) != "pytorch":
        raise CliError(f"{args.model}: export takes a PyTorch checkpoint", USAGE)
    if args.input_shape is not None and len(args.input_shape) != 4:
        raise CliError("--input-shape needs N,C,H,W", USAGE)
    target = _check_out(args.output, (".onnx",))
    from quorvex.upscale.convert import torch_to_onnx

    device = args.device
    if device is None:
        import torch

        device = "cuda" if torch.cuda.is_available() else "cpu"
    _written_atomically(target, lambda p: torch_to_onnx(args.model, p, input_shape=args.input_shape,
                                                        opset_version=args.opset, precision=args.precision,
                                                        device=device), reporter)
    reporter.summary(f"exported {target}", 1, "models")
    return 0


def build(args, reporter) -> int:
    from quorvex.pipeline.models import model_kind

    if model_kind(args.model) != "onnx":
        raise CliError(f"{args.model}: build takes an ONNX model", USAGE)
    for name, value in (("--sizes", args.sizes), ("--batches", args.batches)):
        if len(value) != 3 or not 1 <= value[0] <= value[1] <= value[2]:
            raise CliError(f"{name} needs MIN,OPT,MAX with 1 <= MIN <= OPT <= MAX, got {','.join(map(str, value))}",
                           USAGE)
    if args.input_shape is not None and len(args.input_shape) != 4:
        raise CliError("--input-shape needs N,C,H,W", USAGE)
    if args.workspace < 1:
        raise CliError(f"--workspace must be at least 1 MiB, got {args.workspace}", USAGE)
    target = _check_out(args.output, (".engine", ".trt", ".plan"))
    from quorvex.pipeline.models import needs

    needs("tensorrt")
    from quorvex.upscale.convert import onnx_to_trt

    _written_atomically(target, lambda p: onnx_to_trt(args.model, p, input_shape=args.input_shape,
                                                      precision=args.precision, workspace=args.workspace << 20,
                                                      size_requirements=args.sizes,
                                                      batch_requirements=args.batches), reporter)
    reporter.summary(f"built {target}", 1, "engines")
    return 0


def inspect(args, reporter) -> int:
    from quorvex.pipeline.models import format_inspection, inspect_model

    with reporter.library_output():
        info = inspect_model(args.model, args.trust_model)
    print(json.dumps(info, indent=2) if args.json else format_inspection(info))
    return 0


class _stdout:
    """The conversions' own progress messages stay on standard output, with the output's name
    where they name the temporary file it is written as."""

    def __init__(self, partial: pathlib.Path, target: pathlib.Path):
        self.names = (str(partial), str(target))
        self.stream = None

    def __enter__(self):
        self.stream = sys.stdout
        sys.stdout = self
        return None

    def write(self, text: str) -> int:
        return self.stream.write(text.replace(*self.names))

    def flush(self) -> None:
        self.stream.flush()

    def __exit__(self, *exc):
        sys.stdout = self.stream
        return False


def _silence_opencv() -> None:
    """OpenCV's own [ WARN ] and [ERROR] lines say on standard error what the command reports in
    its own words (a file that does not decode, say)."""
    try:
        import cv2
    except ImportError:
        return
    cv2.utils.logging.setLogLevel(cv2.utils.logging.LOG_LEVEL_SILENT)


def run_command_job(args, reporter) -> int:
    """upscale and swap: the command's job, run where its options say (cli.runners)."""
    from . import runners
    from .jobs import job_for
    from .options import OPTIONS

    return runners.run(job_for(OPTIONS[args.command].from_namespace(args)), reporter)


def run_job(command: str, input, output, *, ray: str | None = "", workers: int | None = None,
            gpus_per_worker: float = 1.0, quiet: bool = True, progress=None, **options) -> dict:
    """Runs `quorvex upscale` or `quorvex swap` from a program: an image, a folder or a video, on
    Ray or in this process.

    ray: the cluster's address ("auto", "HOST:PORT", "ray://HOST:10001"); "" for RAY_ADDRESS if
    set, else a local instance; None for this process (the device option says which GPU). A
    program that has called ray.init() already keeps its connection. options: the fields of the
    command's options (cli.options: model="4x.pth", tile=256, overwrite=True; swap: source=...,
    detector=..., embedder=..., swapper=...). progress, if given, is called after each finished
    item (an image, a video's piece) with a dict (item, done, total; on Ray worker too). Returns
    the counts of runners.ray.execute() or runners.local.execute(); failures raise CliError or
    the model's own error."""
    import dataclasses

    from .jobs import job_for
    from .options import OPTIONS
    from .plan import is_live

    if command not in OPTIONS:
        raise ValueError(f"run_job() takes command 'upscale' or 'swap', got {command!r}")
    kind = OPTIONS[command]
    known = {f.name for f in dataclasses.fields(kind)} - {"input", "output", "ray", "workers", "gpus_per_worker",
                                                           "quiet"}
    unknown = sorted(set(options) - known)
    if unknown:
        raise TypeError(f"run_job() got unknown {command} options: {', '.join(unknown)}")
    args = kind(input=input, output=output, ray=ray, workers=workers, gpus_per_worker=gpus_per_worker,
                quiet=quiet, **options)
    if is_live(args):
        raise CliError("run_job() takes files, folders and videos; live ndi:// runs go through the command", USAGE)
    if ray is None:
        from .runners.local import execute
    else:
        from .runners.ray import execute
    return execute(job_for(args), Reporter(quiet), progress)


def main(argv: list[str] | None = None) -> int:
    """Runs one command; returns the exit status."""
    args = build_parser().parse_args(argv)
    args.quiet = args.quiet or args.global_quiet
    args.debug = args.debug or args.global_debug
    del args.global_quiet, args.global_debug
    if not args.debug:
        warnings.simplefilter("ignore")  # the libraries' deprecation notes are not the user's business
        _silence_opencv()
    reporter = Reporter(args.quiet)
    handler = {"upscale": run_command_job, "swap": run_command_job, "export": export, "build": build,
               "inspect": inspect}
    try:
        return handler[args.command](args, reporter)
    except CliError as error:
        if args.debug:
            raise
        print(f"quorvex {args.command}: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        if args.debug:
            raise
        print(f"quorvex {args.command}: interrupted; finished outputs are kept, run again to go on", file=sys.stderr)
        return 130
    except Exception as error:  # a failure of a library below: one line, the traceback on request
        if args.debug:
            raise
        text = str(error).strip().splitlines()
        detail = text[0] if text else ""
        print(f"quorvex {args.command}: error: {type(error).__name__}: {detail} (--debug shows the traceback)",
              file=sys.stderr)
        return 1


def entry() -> None:
    sys.exit(main())
