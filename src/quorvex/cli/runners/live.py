"""A job live: frames from an NDI source (ndi://NAME) or a video file through the worker's frame
function to an NDI output (ndi://NAME) or a video file.

Receiving (and converting) a frame, its GPU work and its sending (or encoding) overlap, with at
most one frame waiting between two of them: the receiver hands over its newest frame each time
there is room for one, so frames the GPU cannot keep up with are dropped, never queued, and a
frame waits for at most two others on its way. The progress line shows
frames per second, dropped frames and the latency from a frame's arrival (its NDI timestamp) to
its departure. Ctrl-C stops after the frame in flight, with everything closed.
"""

from __future__ import annotations

from quorvex.pipeline import run_stages

from ..common import USAGE, CliError, parse_device
from ..plan import LiveOutput, live_frames


def run(job, reporter) -> int:
    args = job.args
    if getattr(args, "ray", None) is not None:
        raise CliError("ndi:// runs in this process; leave --ray out", USAGE)
    if args.start is not None or args.duration is not None:
        raise CliError("--start and --duration take part of a video file; a live run takes the whole stream", USAGE)
    job.check_options()
    job.check_models()
    stats: dict = {}
    output = LiveOutput(args.output, stats, args.overwrite, reporter)
    worker = job.load(reporter, parse_device(args.device))
    latencies = []
    bar = reporter.bar(None, "frame")
    frames = live_frames(args.input, stats)
    finished = False

    def work(entry):
        image, arrived = entry
        return worker.frame(image), arrived

    def write(result):
        latency = output.write(*result)
        latencies.append(latency)
        receiver = stats.get("receiver")
        bar.set_postfix_str(f"dropped {receiver.dropped if receiver else 0}, latency {latency * 1e3:.0f} ms",
                            refresh=False)
        bar.update(1)

    try:
        run_stages(frames, work, write, depth=1)
        finished = True
    except KeyboardInterrupt:
        reporter.note(f"quorvex {args.command}: stopped; {len(latencies)} frames done")
        finished = True  # what was made up to the stop is kept
    finally:
        frames.close()
        bar.close()
        output.close(finished)
    receiver = stats.get("receiver")
    details = f", {receiver.dropped} dropped" if receiver is not None else ""
    if latencies:
        mean, worst = sum(latencies) / len(latencies), max(latencies)
        details += f", latency {mean * 1e3:.1f} ms mean, {worst * 1e3:.1f} ms max"
    reporter.summary(f"{job.verb} {len(latencies)} frames live{details}", len(latencies), "frames")
    return 0
