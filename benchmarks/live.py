"""The live path's latency: frames from an NDI source through `quorvex upscale` to an NDI output.

    python benchmarks/live.py            # 1920x1080 at 60 fps, 300 frames, a Lanczos-4 x1 pass
    python benchmarks/live.py --small    # 64x32: checks that the script itself works

NDI runs on the loopback interface (a config in a temporary NDI_CONFIG_DIR). A sender in this
process sends frames at the rate, stamped as they leave (after warm-up frames until the
command's output has appeared); the command receives, converts,
processes and sends them on. The command's summary gives the latency from a frame's NDI
timestamp to its departure and the frames dropped; the target is at most two frame periods.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import os
import re
import tempfile
import threading
import time

import cupy as cp
import numpy as np


def run_live(width: int, height: int, frames: int, rate: float) -> dict | None:
    try:
        import cyndilib  # noqa: F401
    except ImportError:
        print("live: not run (NDI needs pip install 'quorvex[ndi]')")
        return None
    with tempfile.TemporaryDirectory() as folder:
        with open(os.path.join(folder, "ndi-config.v1.json"), "w") as config:
            config.write('{"ndi": {"networks": {"ips": "127.0.0.1"}}}')
        before = os.environ.get("NDI_CONFIG_DIR")
        os.environ["NDI_CONFIG_DIR"] = folder
        try:
            return _run_live(width, height, frames, rate)
        finally:
            if before is None:
                del os.environ["NDI_CONFIG_DIR"]
            else:
                os.environ["NDI_CONFIG_DIR"] = before


def _run_live(width: int, height: int, frames: int, rate: float) -> dict:
    from quorvex.cli import main
    from quorvex.io.ndi import NdiReceiver, NdiSender

    name = f"quorvex-bench-{os.getpid()}"
    y, x = np.mgrid[0:height, 0:width]
    image = cp.asarray(np.stack([x / width, np.full((height, width), 0.5), y / height], -1).astype(np.float32))
    out, status = io.StringIO(), []
    with NdiSender(name, frame_rate=rate) as sender:
        sender.send(image)  # the source appears with its first frame
        command = threading.Thread(target=lambda: status.append(
            main(["upscale", "ndi://" + name, f"ndi://{name}-out", "--scale=1"])))
        through = threading.Event()

        def watch():  # the command's output appears with its first frame through
            try:
                with NdiReceiver(f"{name}-out", timeout=30.0):
                    pass
            finally:
                through.set()  # found, or not: the run reports what went wrong

        with contextlib.redirect_stdout(out):
            command.start()
            threading.Thread(target=watch, daemon=True).start()
            # Frames at the rate until one is through, so that a command slow to start (a busy
            # host) still receives every timed frame after them.
            while not through.wait(1 / rate):
                sender.send(image, timestamp=time.time())
            start = time.perf_counter()
            for i in range(frames):
                time.sleep(max(0.0, start + i / rate - time.perf_counter()))
                sender.send(image, timestamp=time.time())
            command.join()  # ends once the source has been quiet for the command's timeout
    summary = out.getvalue().strip()
    found = re.search(r"(\d+) frames live, (\d+) dropped, latency ([\d.]+) ms mean, ([\d.]+) ms max", summary)
    if not status or status[0] != 0 or not found:
        raise RuntimeError(f"the live run failed: {summary!r}")
    done, dropped, mean, worst = int(found[1]), int(found[2]), float(found[3]), float(found[4])
    period = 1e3 / rate
    print(f"live {width}x{height} at {rate:g} fps: {done} frames ({frames} timed), {dropped} dropped, latency "
          f"{mean:.1f} ms mean ({mean / period:.2f} frames), {worst:.1f} ms max; target <= {2 * period:.1f} ms")
    return {"frames": done, "dropped": dropped, "mean_ms": mean, "max_ms": worst, "period_ms": period}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a tiny frame, to check the script")
    args = parser.parse_args()
    run_live(64, 32, frames=20, rate=30) if args.small else run_live(1920, 1080, frames=300, rate=60)


if __name__ == "__main__":
    main()
