"""Videos in pieces: ranges of frames that start at key frames, each cut out without decoding,
decoded, processed and encoded on its own into a piece, then the pieces joined in order by
copying their packets (no re-encoding), the audio copied once from the source, interleaved by time.

Every frame keeps its time in the source (variable frame rates stay as they are, the audio in
sync). The single-process run and the Ray workers make the same pieces in the same way (each
piece's encoder on one thread, so its bytes depend on its frames only); and as every piece is
written under a temporary name and renamed when complete, a job that is stopped and started
again redoes only the pieces not finished. A piece's name carries a key of the source file and
the settings it was made with, so pieces of another run (another model, scale, codec ...) are
never joined in.
"""

from __future__ import annotations

import dataclasses
import fractions
import hashlib
import json
import os
import pathlib

from . import media, videos
from .common import USAGE, CliError

PIECES = 64  # key-frame groups are merged into about this many ranges
PIECE_FORMAT = 3  # how pieces are made (times, lead-in, HEVC and HDR10 kept): pieces made otherwise are made again
SEEK_MARGIN = 5  # seconds a piece's cut seeks before its first key frame
# FFmpeg's interlaced field orders (AVFieldOrder), as ffprobe names them.
FIELD_ORDERS = {2: "tt", 3: "bb", 4: "tb", 5: "bt"}


def video_groups(source: pathlib.Path) -> list:
    """The video stream's groups of pictures in decoding order, each [start pts, packet count,
    whether a range can start here, the packets' pts]. Reads packets only.

    A range starts only at a key frame that decodes on its own together with all that follows:
    one followed by pictures shown before it (the leading pictures of an open group, which refer
    to the group before) or without a time stamp to seek to stays inside the range before it."""
    import av

    groups: list = []
    with av.open(str(source)) as container:
        if not container.streams.video:
            kinds = sorted({s.type for s in container.streams}) or ["nothing"]
            raise CliError(f"{source}: no video stream (it holds {' and '.join(kinds)})", USAGE)
        stream = container.streams.video[0]
        order = FIELD_ORDERS.get(getattr(stream.codec_context, "field_order", 0))
        if order:  # resized as one picture, its two fields would mix
            raise CliError(f"{source}: interlaced video (fields {order}), which would be resized as one picture "
                           "mixing its two fields; deinterlace it first (for example ffmpeg -i IN -vf bwdif OUT)",
                           USAGE)
        for packet in container.demux(stream):
            if packet.dts is None and packet.pts is None:
                continue  # the demuxer's end marker
            if not groups or (packet.is_keyframe and packet.pts is not None):
                groups.append([packet.pts, 0, True, []])
            elif packet.pts is not None and groups[-1][0] is not None and packet.pts < groups[-1][0]:
                groups[-1][2] = False
            groups[-1][1] += 1
            groups[-1][3].append(packet.pts)
    return groups


def merged_ranges(groups, pieces: int = PIECES, first: int = 0) -> list:
    """[[first packet, start pts, packet count, group indices]]: groups merged into about
    `pieces` ranges, each starting at a group a range can start at."""
    least = max(1, sum(g[1] for g in groups) // pieces)
    ranges: list = []
    for index, (pts, count, starts, _) in enumerate(groups):
        if ranges and (ranges[-1][2] < least or not starts):
            ranges[-1][2] += count
            ranges[-1][3].append(index)
        else:
            ranges.append([first, pts, count, [index]])
        first += count
    return ranges


def key_frame_ranges(source: pathlib.Path, pieces: int = PIECES):
    """[(first frame, start pts, frame count)] of the video stream, in order: groups of pictures
    (a key frame and what follows it up to the next one, in decoding order) merged into about
    `pieces` ranges (video_groups says where a range can start), and the frame count."""
    groups = video_groups(source)
    return [tuple(r[:3]) for r in merged_ranges(groups, pieces)], sum(g[1] for g in groups)


@dataclasses.dataclass(frozen=True)
class Window:
    """The part of a video a job works on, from the ranges of window_ranges: frames shown from
    `first` up to `after` (exclusive; None: to the end), in seconds of the stream's time stamps;
    origin is the time the output starts from (the first frame's)."""

    first: fractions.Fraction
    after: fractions.Fraction | None


def window_ranges(source: pathlib.Path, start: float, duration: float | None, pieces: int = PIECES):
    """key_frame_ranges for the frames shown from `start` seconds after the file's start for
    `duration` seconds (None: to the end): (ranges (first packet, start pts, packet count, frames
    shown), the frames' count, the Window, each range's start in the output, in seconds). The
    ranges start at the last key frame a range can start at before the first frame; frames
    before and after the window are decoded but not made."""
    import av

    if not (start >= 0 and (duration is None or duration > 0)):
        raise CliError(f"--start must be at least 0 and --duration more than 0, got {start} and {duration}", USAGE)
    groups = video_groups(source)
    with av.open(str(source)) as container:
        stream = container.streams.video[0]
        time_base, begin = stream.time_base, origin(container)
    if time_base is None or any(pts is None for g in groups for pts in g[3][1:]):
        raise CliError(f"{source}: --start and --duration need a video whose frames carry time stamps", USAGE)
    times = [[(pts if pts is not None else 0) * time_base - begin for pts in g[3]] for g in groups]
    low = fractions.Fraction(start)
    high = None if duration is None else low + fractions.Fraction(duration)
    shown = lambda t: t >= low and (high is None or t < high)  # noqa: E731
    inside = [i for i, ts in enumerate(times) if any(shown(t) for t in ts)]
    if not inside:
        raise CliError(f"{source}: no frame is shown from {float(low):g} s"
                       + (f" to {float(high):g} s" if high is not None else ""), USAGE)
    opening = max([i for i in range(inside[0] + 1) if groups[i][2]] or [0])
    chosen = list(range(opening, inside[-1] + 1))
    first = sum(g[1] for g in groups[:opening])
    ranges = merged_ranges([groups[i] for i in chosen], pieces, first)
    in_window = sorted(t for i in chosen for t in times[i] if shown(t))
    later = sorted(t for g in times for t in g if high is not None and t >= high)
    window = Window(in_window[0] + begin, later[0] + begin if later else None)
    made = []
    for first, pts, count, members in ranges:
        frames = sorted(t for m in members for t in times[chosen[m]] if shown(t))
        made.append((first, pts, count, len(frames), frames[0] - in_window[0] if frames else None))
    made = [r for r in made if r[3]]  # a range of lead-in only (before the first frame) makes nothing
    return [r[:4] for r in made], len(in_window), window, [r[4] for r in made]


def settings_key(source: pathlib.Path, settings: dict | None) -> str:
    """A short digest of the source file (path, size, modification time) and of the settings a
    piece is made with; settings naming files (models) stand for those files' size and time."""

    def identity(value):
        if isinstance(value, (list, tuple)):  # several files (swap's sources)
            return [identity(v) for v in value]
        if isinstance(value, (str, os.PathLike)) and value and os.path.isfile(value):
            status = os.stat(value)
            return [os.path.abspath(value), status.st_size, status.st_mtime_ns]
        return value if isinstance(value, (str, int, float, bool, type(None))) else repr(value)

    status = source.stat()
    described = {"source": [str(source.resolve()), status.st_size, status.st_mtime_ns], "made": PIECE_FORMAT,
                 "settings": {k: identity(v) for k, v in sorted((settings or {}).items())}}
    return hashlib.sha256(json.dumps(described, sort_keys=True).encode()).hexdigest()[:16]


def piece_name(target: pathlib.Path, first: int, count: int, key: str = "") -> pathlib.Path:
    return target.with_name(f".{target.stem}.{first:08d}+{count}.{key}.piece{target.suffix}")


def cut(source: pathlib.Path, destination: pathlib.Path, start_pts: int | None, count: int):
    """Copies `count` video packets from the key frame at start_pts into destination, led in by
    the packets from the key frame before it (within SEEK_MARGIN): a decoder conceals a damaged
    picture from the ones before, as it does decoding the whole file. Returns the range's start
    in seconds (None for the first range), before which the decoded frames are only lead-in."""
    import av

    with av.open(str(source)) as inp, av.open(str(destination), "w") as out:
        stream = inp.streams.video[0]
        copy = out.add_stream_from_template(stream, opaque=True)  # packets copied: no codec needed (AV1's is a decoder only)
        if start_pts is not None:  # None: the stream's first packet, which has no time stamp
            # A little before: demuxers that seek by position (MPEG transport streams) land past
            # the key frame asked for otherwise; what comes before it is skipped below.
            margin = round(SEEK_MARGIN / stream.time_base) if stream.time_base else 0
            inp.seek(start_pts - margin, stream=stream, backward=True, any_frame=False)
        taken, lead = 0, []
        for packet in inp.demux(stream):
            if packet.dts is None and packet.pts is None:
                continue
            if taken == 0 and start_pts is not None and not (packet.pts == start_pts and packet.is_keyframe):
                # the seek lands before the range's key frame: the group before it leads in
                if packet.is_keyframe:
                    lead = []
                if packet.is_keyframe or lead:
                    lead.append(packet)
                continue
            for earlier in lead if taken == 0 else ():
                earlier.stream = copy
                out.mux(earlier)
            packet.stream = copy
            out.mux(packet)
            taken += 1
            if taken == count:
                break
        start = start_pts * stream.time_base if start_pts is not None and lead else None
    if taken != count:
        raise CliError(f"{source}: found {taken} of the {count} frames from time stamp {start_pts}")
    return start


def origin(container) -> fractions.Fraction:
    """The file's start: the earliest first time stamp of its streams, in seconds. Every stream
    is moved by the same amount, so that the output starts at 0 and keeps the source's offset
    between video and audio."""
    start = container.start_time  # in microseconds, FFmpeg's AV_TIME_BASE
    return fractions.Fraction(start, 1_000_000) if start is not None else fractions.Fraction(0)


def start_times(source: pathlib.Path, ranges) -> list:
    """Each range's start in seconds from the file's start (origin; exact fractions); frame
    counts at the stream's rate where the stream has no time stamps (raw streams)."""
    import av

    with av.open(str(source)) as container:
        stream = container.streams.video[0]
        time_base, rate = stream.time_base, stream.guessed_rate or stream.average_rate or 25
        start = origin(container)
    stamped = all(pts is not None for _, pts, _ in ranges[1:]) and time_base is not None
    if not stamped:
        return [fractions.Fraction(first) / fractions.Fraction(rate) for first, _, _ in ranges]
    zero = ranges[0][1] if ranges[0][1] is not None else 0
    return [max(fractions.Fraction(0), (pts if pts is not None else zero) * time_base - start) for _, pts, _ in ranges]


def _video_packets(pieces, starts, time_base, matroska, avi):
    """The pieces' packets in order, each piece moved to its start (its first packet is its key
    frame, shown first)."""
    import av

    last_dts = None
    for path, start in zip(pieces, starts):
        with av.open(str(path)) as inp:
            stream = inp.streams.video[0]
            if stream.time_base != time_base:
                raise CliError(f"{path}: a piece in another time base ({stream.time_base}, not {time_base})")
            shift = None
            for packet in inp.demux(stream):
                if packet.dts is None and packet.pts is None:
                    continue
                if avi:  # frame positions only, and pieces without B-frames: decoding order is display order
                    if shift is None:
                        shift = round(start / time_base) - packet.dts
                    packet.pts = packet.dts = packet.dts + shift
                    yield packet
                    continue
                if shift is None:
                    shift = round(start / time_base) - packet.pts
                packet.pts += shift
                # Matroska keeps presentation times only; its demuxer's guessed decoding times
                # (none for the first packets after B-frames) are not for muxing.
                if matroska or packet.dts is None:
                    packet.dts = None
                else:
                    # A piece whose encoder delayed decoding more (fewer or longer frames) starts
                    # its decoding times before the previous piece's last: they are moved on, by
                    # a tick each, staying before the presentation times (frames are far longer).
                    dts = packet.dts + shift
                    packet.dts = dts if last_dts is None or dts > last_dts else min(last_dts + 1, packet.pts)
                    last_dts = packet.dts
                yield packet


def _audio_packets(source, streams, transcoders, window: Window | None = None):
    """The audio packets of streams in order, moved to start from the file's origin as the
    video does (from the window's first frame, with only the packets that start within it);
    those of a stream in transcoders (stream -> (resampler, output stream)) decoded and encoded
    again, for containers that do not take the source's codec (AAC into WebM)."""
    start = origin(source) if window is None else window.first
    for packet in source.demux(*streams) if streams else ():  # demux() alone gives every stream
        if packet.dts is None:
            continue  # the demuxer's end marker
        if window is not None:
            at = (packet.pts if packet.pts is not None else packet.dts) * packet.time_base
            if at < window.first or (window.after is not None and at >= window.after):
                continue
        shift = round(start / packet.time_base)
        packet.dts -= shift
        if packet.pts is not None:
            packet.pts -= shift
        coder = transcoders.get(packet.stream)
        if coder is None:
            yield packet
            continue
        resampler, stream = coder
        for frame in packet.decode():
            for resampled in resampler.resample(frame):
                yield from stream.encode(resampled)
    for resampler, stream in transcoders.values():
        for resampled in resampler.resample(None):
            yield from stream.encode(resampled)
        yield from stream.encode(None)


def _audio_streams(out, source):
    """(source audio stream -> output stream, transcoders) for out: copied where out takes the
    codec, else Opus at 48 kHz."""
    import av

    audio, transcoders = {}, {}
    for s in source.streams.audio:
        if s.codec_context.name in out.supported_codecs:
            audio[s] = out.add_stream_from_template(s)
            continue
        encoder = out.add_stream("libopus", rate=48000, layout=s.layout.name)
        audio[s] = encoder
        transcoders[s] = (av.AudioResampler(format="flt", layout=s.layout.name, rate=48000), encoder)
    return audio, transcoders


# Tags that describe the file as its muxer wrote it, not its content: the output's muxer writes its own.
MUXER_TAGS = {"encoder", "major_brand", "minor_version", "compatible_brands", "duration", "number_of_frames",
              "number_of_bytes", "vendor_id", "handler_name"}


def _keep_tags(copy, original) -> None:
    """The titles, languages, dates and flags of original (a container or a stream) on copy."""
    copy.metadata.update({k: v for k, v in original.metadata.items()
                          if k.lower() not in MUXER_TAGS and not k.startswith("_STATISTICS")})
    if hasattr(original, "disposition"):
        copy.disposition = original.disposition


def _other_streams(out, source, note):
    """(source stream -> output stream) of the subtitle streams out can hold, copied as they are;
    note() says which streams of source stay behind."""
    copied = {}
    for s in source.streams:
        if s.type == "audio" or s.index == source.streams.video[0].index:
            continue
        if s.type == "data" and "timecode" in s.metadata and "timecode" in source.streams.video[0].metadata:
            continue  # a timecode track: made again from the video's tag by the muxers that hold one
        name = s.codec_context.name if s.codec_context is not None else "unknown"
        if s.type == "subtitle" and name in out.supported_codecs:
            copied[s] = out.add_stream_from_template(s)
            _keep_tags(copied[s], s)
        else:
            kind = f"{s.type} stream {s.index} ({name})"
            note(f"note: {source.name}: {kind} cannot be kept in {out.format.name} output; it is left out")
    return copied


def join(pieces: list[pathlib.Path], target: pathlib.Path, audio_from: pathlib.Path, starts=None,
         note=lambda text: None, window: Window | None = None) -> None:
    """The pieces' video packets one after another at their start times (seconds from the
    first frame, default: each piece after the one before), and the audio and subtitle
    streams of audio_from with its titles, languages and flags, interleaved by time, into
    target (under a temporary name renamed when complete); note() says what was left out."""
    import av

    if starts is None:
        starts = start_times(audio_from, key_frame_ranges(audio_from)[0])
    # Matroska draws its segment and track identifiers at random unless bit-exact.
    bitexact = {"fflags": "+bitexact"} if media.suffix(target) in (".mkv", ".webm") else {}
    with media.replacing(target) as partial:
        with av.open(str(partial), "w", container_options=bitexact) as out, av.open(str(audio_from)) as source:
            with av.open(str(pieces[0])) as first:
                video = out.add_stream_from_template(first.streams.video[0], opaque=True)
                time_base = first.streams.video[0].time_base
            _keep_tags(out, source)
            _keep_tags(video, source.streams.video[0])
            rate = source.streams.video[0].average_rate
            if rate:  # the muxer counts a timecode track's frames at this rate
                video.codec_context.framerate = rate
            audio, transcoders = _audio_streams(out, source)
            for s, copy in audio.items():
                _keep_tags(copy, s)
            audio.update(_other_streams(out, source, note))
            encoded = set(audio[s] for s in transcoders)
            matroska = "matroska" in out.format.name or "webm" in out.format.name
            videos = _video_packets(pieces, starts, time_base, matroska, out.format.name == "avi")
            sounds = _audio_packets(source, list(audio), transcoders, window)
            v, a = next(videos, None), next(sounds, None)
            while v is not None or a is not None:
                # By decoding time (presentation time where there is none), so that no stream
                # runs ahead of the other in the file.
                v_time = None if v is None else (v.dts if v.dts is not None else v.pts) * v.time_base
                if a is not None and (v is None or (a.dts or 0) * a.time_base <= v_time):
                    if a.stream not in encoded:
                        a.stream = audio[a.stream]
                    out.mux(a)
                    a = next(sounds, None)
                else:
                    v.stream = video
                    out.mux(v)
                    v = next(videos, None)


def make_piece(source: pathlib.Path, piece: pathlib.Path, start_pts: int, count: int, transform, out_size,
               reporter, bar=None, output: dict | None = None, clip: bool = True, window: Window | None = None,
               frames: int | None = None) -> None:
    """The `count` frames from the key frame at start_pts, through transform, into the piece,
    encoded as `output` says, clipped to 0..1 unless not clip (videos.process_video). With a
    window, only the `frames` of the range that it shows are made."""
    piece.parent.mkdir(parents=True, exist_ok=True)
    segment, fd = media.create_beside(piece.with_suffix(source.suffix), ".source")
    os.close(fd)
    expected = count if frames is None else frames
    try:
        start = cut(source, segment, start_pts, count)
        if window is not None:
            start = window.first if start is None else max(start, window.first)
        done = videos.process_video(segment, piece, transform, reporter, out_size, bar, output=output, audio=False,
                                   threads=1, lead_in_until=start, clip=clip,
                                   until=None if window is None else window.after)
    finally:
        segment.unlink(missing_ok=True)
    if done != expected:
        piece.unlink()
        raise CliError(f"{source}: the range of {count} frames from time stamp {start_pts} decoded into "
                       f"{done} frames on its own, not {expected} (frames that refer across key frames?)")


def plan_pieces(source: pathlib.Path, target: pathlib.Path, overwrite: bool, settings: dict | None = None,
         start: float | None = None, duration: float | None = None):
    """(the pieces in order, those still to make as (first frame, start pts, count, piece, frames
    made), the frame count, the Window and the pieces' starts in the output, both None for the
    whole video). Pieces finished by an earlier run from the same source with the same settings
    are kept unless overwrite; those of other sources or settings are removed. start and
    duration (seconds): the part of the video to make (window_ranges)."""
    window = starts = None
    if start is None and duration is None:
        ranges, total = key_frame_ranges(source)
        ranges = [(first, pts, count, count) for first, pts, count in ranges]
    else:
        ranges, total, window, starts = window_ranges(source, start or 0, duration)
    if not total:
        raise CliError(f"{source}: no video frames")
    key = settings_key(source, settings)
    pieces = [piece_name(target, first, count, key) for first, _, count, _ in ranges]
    mine = {p.name for p in pieces} if not overwrite else set()
    for stale in target.parent.glob(f".{target.stem}.*.piece{target.suffix}"):
        if stale.name not in mine:
            stale.unlink(missing_ok=True)
    todo = [(first, pts, count, piece, frames) for (first, pts, count, frames), piece in zip(ranges, pieces)
            if not piece.exists()]
    return pieces, todo, total, window, starts


def _hdr_metadata(path: pathlib.Path) -> set:
    """The kinds of HDR10 static metadata on the first frame of path's video."""
    import av

    with av.open(str(path)) as container:
        frame = next(container.decode(video=0), None)
    kinds = {"MASTERING_DISPLAY_METADATA": "mastering display", "CONTENT_LIGHT_LEVEL": "content light level"}
    return set() if frame is None else {kinds[d.type.name] for d in frame.side_data.values() if d.type.name in kinds}


def finish(pieces: list[pathlib.Path], target: pathlib.Path, source: pathlib.Path, note=lambda text: None,
           window: Window | None = None, starts=None) -> None:
    """Joins the pieces into target and removes them and whatever stopped workers left of theirs;
    with a window (and the pieces' starts), the audio and subtitles of that part only."""
    lost = _hdr_metadata(source) - _hdr_metadata(pieces[0])
    if lost:
        note(f"note: {source.name}: the encoder cannot carry its HDR10 {' and '.join(sorted(lost))} metadata; "
             "it is left out")
    join(pieces, target, source, starts, note=note, window=window)
    for leftover in [*target.parent.glob(f".{target.stem}.*.piece*"), *target.parent.glob(f"..{target.stem}.*.piece*")]:
        leftover.unlink(missing_ok=True)
