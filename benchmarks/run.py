"""Speed of the package's kernels against what a user would write instead, in the same run.

    python benchmarks/run.py            # 3840x2160 <-> 1920x1080 float32 and uint8, on the GPU
    python benchmarks/run.py --small    # tiny images: checks that the script itself works
    python benchmarks/run.py --only command   # one group: kernels, detector, face, tiling, video, ndi, live, command, pipeline

Float32 kernels are compared with PyTorch, Lanczos-4 with OpenCV's CPU resize (PyTorch has no
Lanczos filter), uint8 images (as decoders give them) with OpenCV on the CPU (host time of the
same call), a device affine matrix with a host one, ten PasteBack.get calls with one get_many.
The blender the command uses is timed against 20,000 tiles/s, and the whole upscale command
(4K x4 through a small seeded Compact model) in images per second with its device memory peak.

Times are CUDA-event means after warm-up (host wall-clock for OpenCV and the command).
"bw" is the share of the device's copy bandwidth
(bytes read + written per second, relative to a plain device-to-device copy of the same image),
"vs" how many times faster quorvex is than the alternative on the same line. On the CPU
stand-ins each line also shows what one call issues: kernel launches (L), synchronisations (S)
and host-to-device / device-to-host transfers (up, down); a GPU cannot count them.
"""

from __future__ import annotations

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from command import run_command  # noqa: E402
from face import run_detector, run_face_frames, run_face_pipeline, run_paste  # noqa: E402
from kernels import run  # noqa: E402
from ndi import run_ndi  # noqa: E402


def _tiling(small: bool) -> None:
    from tiling import run_blender, run_tiling

    run_tiling(320, 180, repeat=1, num_feat=8, num_conv=2) if small else run_tiling(1920, 1080, repeat=20)
    run_blender(200, 120, repeat=1) if small else run_blender(3840, 2160, repeat=5)  # what the command uses


def _video(small: bool) -> None:
    from video import run_video

    run_video(64, 36, repeat=2) if small else run_video(3840, 2160, repeat=50)


def _live(small: bool) -> None:
    from live import run_live

    run_live(64, 32, frames=20, rate=30) if small else run_live(1920, 1080, frames=300, rate=60)


def _pipeline(small: bool) -> None:
    from pipeline import run_pipeline

    run_pipeline(small)


def _face(small: bool) -> None:
    run_paste(320, 180, repeat=2) if small else run_paste(1920, 1080, repeat=50)
    run_face_pipeline(320, 180, repeat=2) if small else run_face_pipeline(1920, 1080, repeat=50)
    run_face_frames(320, 180, 64, repeat=1) if small else run_face_frames(1920, 1080, 512, repeat=20)


# The groups in the order they run: each a function of --small (tiny images, to check the script).
GROUPS = {
    "kernels": lambda small: run(64, 36, repeat=2) if small else run(3840, 2160, repeat=50),
    "detector": lambda small: run_detector(320, 180, repeat=2) if small else run_detector(1920, 1080, repeat=50),
    "face": _face,
    "tiling": _tiling,
    "video": _video,
    "ndi": lambda small: run_ndi(64, 36, repeat=2) if small else run_ndi(1920, 1080, repeat=50),
    "live": _live,
    "command": lambda small: (run_command(160, 96, images=2, num_feat=4, num_conv=1) if small
                              else run_command(3840, 2160, images=2)),
    "pipeline": _pipeline,
}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="tiny images, to check the script")
    parser.add_argument("--only", choices=list(GROUPS), help="run one group")
    args = parser.parse_args()
    for name, group in GROUPS.items():
        if args.only in (None, name):
            group(args.small)
    return 0


if __name__ == "__main__":
    sys.exit(main())
