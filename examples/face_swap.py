"""Swap the identity of a source face into the faces of a frame, from a Python program.

    python examples/face_swap.py --detector det.engine --embedder arcface.onnx \
        --swapper swap.onnx --source person.jpg --target frame.jpg --output swapped.png \
        [--enhancer restore.onnx] [--faces all|largest|N] [--device cuda]

quorvex.pipeline.FaceSwapper loads the models once and embeds the source face: detection
(TensorRT), source embedding (ONNX Runtime, or TensorRT by the .engine/.trt suffix), the swap
network, optional restoration and one batched paste back. The swapper's embedding map is found
by quorvex.face.emap.load_emap (set QUORVEX_EMAP, or run extract_emap on the model once). For
folders, videos and live streams use the `quorvex swap` command.
"""

from __future__ import annotations

import argparse
import os
import sys


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="face_swap.py", description=(__doc__ or "").strip().splitlines()[0])
    for name in ("detector", "embedder", "swapper", "source", "target", "output"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--enhancer", help="ONNX face-restoration model (optional)")
    parser.add_argument("--faces", default="all", help="all, largest or N (the N largest)")
    parser.add_argument("--device", default="cuda", help="cuda or cuda:N")
    args = parser.parse_args(argv)

    import cupy as cp
    import cv2

    from quorvex.io.store import store
    from quorvex.pipeline import FaceSwapper, JobError

    def fail(message: str, status: int = 2) -> int:
        print(f"face_swap.py: error: {message}", file=sys.stderr)
        return status

    if not cv2.haveImageWriter(args.output):
        return fail(f"{args.output}: cannot write images of type {os.path.splitext(args.output)[1]}")
    target = cv2.imread(args.target, cv2.IMREAD_COLOR)
    if target is None:
        return fail(f"{args.target}: not an image OpenCV reads")
    try:
        swapper = FaceSwapper(args.detector, args.embedder, args.swapper, args.source, args.enhancer, args.faces,
                              args.device)
        frame = swapper.swap(cp.asarray(target).astype(cp.float32) / 255)  # BGR float32 on the device
    except JobError as error:
        return fail(str(error), error.status)
    store(args.output, frame)  # back to 8 bits, under a temporary name renamed when complete
    print(f"swapped {swapper.count} faces in {args.target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
