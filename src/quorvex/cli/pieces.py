"""Videos in pieces: ranges of frames that start at key frames, each cut out without decoding,
decoded, processed and encoded on its own into a piece, then the pieces joined in order by
copying their packets (no re-encoding), the audio copied once from the source.

The single-process run and the Ray workers make the same pieces in the same way, so both give
the same file byte for byte; and as every piece is written under a temporary name and renamed
when complete, a job that is stopped and started again redoes only the pieces not finished.
"""

from __future__ import annotations

import os
import pathlib

from . import media
from .common import CliError

PIECES = 64  # key-frame groups are merged into about this many ranges


def key_frame_ranges(source: pathlib.Path, pieces: int = PIECES):
    """[(first frame, start pts, frame count)] of the video stream, in order: groups of pictures
    (a key frame and what follows it up to the next one, in decoding order) merged into about
    `pieces` ranges. Reads packets only.

    A range starts only at a key frame that decodes on its own together with all that follows:
    one followed by pictures shown before it (the leading pictures of an open group, which refer
    to the group before) or without a time stamp to seek to stays inside the range before it."""
    import av

    groups = []  # [start pts, count, whether a range can start here]
    with av.open(str(source)) as container:
        stream = container.streams.video[0]
        for packet in container.demux(stream):
            if packet.dts is None and packet.pts is None:
                continue  # the demuxer's end marker
            if not groups or (packet.is_keyframe and packet.pts is not None):
                groups.append([packet.pts, 0, True])
            elif packet.pts is not None and groups[-1][0] is not None and packet.pts < groups[-1][0]:
                groups[-1][2] = False
            groups[-1][1] += 1
    total = sum(count for _, count, _ in groups)
    least = max(1, total // pieces)
    ranges, first = [], 0
    for pts, count, starts in groups:
        if ranges and (ranges[-1][2] < least or not starts):
            ranges[-1][2] += count
        else:
            ranges.append([first, pts, count])
        first += count
    return [tuple(r) for r in ranges], total


def piece_name(target: pathlib.Path, first: int, count: int) -> pathlib.Path:
    return target.with_name(f".{target.stem}.{first:08d}+{count}.piece{target.suffix}")


def cut(source: pathlib.Path, destination: pathlib.Path, start_pts: int | None, count: int) -> None:
    """Copies `count` video packets from the key frame at start_pts into destination."""
    import av

    with av.open(str(source)) as inp, av.open(str(destination), "w") as out:
        stream = inp.streams.video[0]
        copy = out.add_stream_from_template(stream)
        if start_pts is not None:  # None: the stream's first packet, which has no time stamp
            inp.seek(start_pts, stream=stream, backward=True, any_frame=False)
        taken = 0
        for packet in inp.demux(stream):
            if packet.dts is None and packet.pts is None:
                continue
            if taken == 0 and start_pts is not None and not (packet.pts == start_pts and packet.is_keyframe):
                continue  # the seek lands at or before the range's key frame
            packet.stream = copy
            out.mux(packet)
            taken += 1
            if taken == count:
                break
    if taken != count:
        raise CliError(f"{source}: found {taken} of the {count} frames from time stamp {start_pts}")


def join(pieces: list[pathlib.Path], target: pathlib.Path, audio_from: pathlib.Path) -> None:
    """The pieces' video packets one after another, time stamps shifted, and the audio streams
    of audio_from, into target (under a temporary name renamed when complete)."""
    import av

    partial = media.partial_name(target)
    try:
        with av.open(str(partial), "w") as out, av.open(str(audio_from)) as source:
            with av.open(str(pieces[0])) as first:
                video = out.add_stream_from_template(first.streams.video[0])
                time_base = first.streams.video[0].time_base
            audio = [(s, out.add_stream_from_template(s)) for s in source.streams.audio]
            offset = 0  # in time_base
            for path in pieces:
                with av.open(str(path)) as inp:
                    stream = inp.streams.video[0]
                    if stream.time_base != time_base:
                        raise CliError(f"{path}: a piece in another time base ({stream.time_base}, not {time_base})")
                    end, shift = offset, None
                    for packet in inp.demux(stream):
                        if packet.dts is None and packet.pts is None:
                            continue
                        if shift is None:  # the piece's first packet is its key frame, shown first
                            shift = offset - packet.pts
                        packet.pts += shift
                        if packet.dts is not None:
                            packet.dts += shift
                        end = max(end, packet.pts + (packet.duration or 0))
                        packet.stream = video
                        out.mux(packet)
                    offset = end
            for stream, copy in audio:
                for packet in source.demux(stream):
                    if packet.dts is None:
                        continue
                    packet.stream = copy
                    out.mux(packet)
        os.replace(partial, target)
    finally:
        if partial.exists():
            partial.unlink()


def make_piece(source: pathlib.Path, piece: pathlib.Path, start_pts: int, count: int, transform, out_size,
               reporter, bar=None) -> None:
    """The `count` frames from the key frame at start_pts, through transform, into the piece."""
    segment = piece.with_name(f"{piece.stem}.{os.getpid()}.source{source.suffix}")
    piece.parent.mkdir(parents=True, exist_ok=True)
    try:
        cut(source, segment, start_pts, count)
        done = media.process_video(segment, piece, transform, reporter, out_size, bar)
    finally:
        segment.unlink(missing_ok=True)
    if done != count:
        piece.unlink()
        raise CliError(f"{source}: the range of {count} frames from time stamp {start_pts} decoded into "
                       f"{done} frames on its own (frames that refer across key frames?)")


def plan(source: pathlib.Path, target: pathlib.Path, overwrite: bool):
    """(the pieces in order, those still to make as (first frame, start pts, count, piece), the
    frame count). Pieces finished by an earlier run are kept unless overwrite."""
    ranges, total = key_frame_ranges(source)
    if not total:
        raise CliError(f"{source}: no video frames")
    pieces = [piece_name(target, first, count) for first, _, count in ranges]
    for piece in pieces if overwrite else ():
        piece.unlink(missing_ok=True)
    todo = [(first, pts, count, piece) for (first, pts, count), piece in zip(ranges, pieces) if not piece.exists()]
    return pieces, todo, total


def finish(pieces: list[pathlib.Path], target: pathlib.Path, source: pathlib.Path) -> None:
    """Joins the pieces into target and removes them and whatever stopped workers left of theirs."""
    join(pieces, target, source)
    for leftover in [*target.parent.glob(f".{target.stem}.*.piece*"), *target.parent.glob(f"..{target.stem}.*.piece*")]:
        leftover.unlink(missing_ok=True)


def process(source: pathlib.Path, target: pathlib.Path, transform, out_size, reporter, overwrite: bool) -> int:
    """The whole video in one process, piece by piece; returns the number of frames."""
    pieces, todo, total = plan(source, target, overwrite)
    with reporter.bar(total, "frame", source.name) as bar:
        bar.update(total - sum(count for _, _, count, _ in todo))
        for _, pts, count, piece in todo:
            make_piece(source, piece, pts, count, transform, out_size, reporter, bar)
    finish(pieces, target, source)
    return total
