"""Video outputs of the commands: the encoder, pixel format and rate options checked against
what FFmpeg (or NVENC) takes, and a video processed frame by frame through the decoder, the GPU
work and the encoder, each stage overlapping the others."""

from __future__ import annotations

import contextlib
import fractions
import functools
import os
import pathlib
import re
import tempfile

from quorvex.extras import install_hint

from .common import USAGE, CliError
from .media import create_beside, suffix


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
        writer = video.VideoWriter(
            str(target), reader.fps or 25, out_size(reader.size), codec, pixel_format, options=options,
            audio_from=str(source) if audio else None, time_base=reader.time_base if reader.time_base else None,
            rotation=reader.rotation, encoder="nvenc" if nvenc else "ffmpeg", colour=reader.colour)
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
