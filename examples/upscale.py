"""Upscale an image with a super-resolution model, from a Python program.

    python examples/upscale.py --model 4x_model.pth --input photo.png --output photo_x4.png \
        [--tile 128] [--overlap 16] [--batch 8] [--device cuda]

quorvex.pipeline.Upscaler loads the model (a checkpoint, an ONNX model or a TensorRT engine) once
and runs it over overlapping tiles, so the device holds the image, the result and one batch
whatever the image size; progress comes through a callback. The result keeps the input's depth
(8 or 16 bits) and is written by quorvex.io.store, under a temporary name renamed when complete.
For folders and videos use the `quorvex upscale` command.
"""

from __future__ import annotations

import argparse
import os
import sys


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="upscale.py", description=(__doc__ or "").strip().splitlines()[0])
    parser.add_argument("--model", required=True, help="checkpoint (spandrel), ONNX model or TensorRT engine")
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--tile", type=int, help="tile side in input pixels (default: chosen for the model; 0: "
                        "each image whole)")
    parser.add_argument("--overlap", type=int, default=16, help="pixels shared by neighbouring tiles")
    parser.add_argument("--batch", type=int, default=8, help="tiles per model run")
    parser.add_argument("--device", default="cuda")
    args = parser.parse_args(argv)

    import cv2
    from tqdm import tqdm

    from quorvex.io.store import store
    from quorvex.pipeline import JobError, Upscaler

    def fail(message: str, status: int = 2) -> int:
        print(f"upscale.py: error: {message}", file=sys.stderr)
        return status

    # What can be checked before the model loads is checked first.
    if os.path.isdir(args.output):
        return fail(f"{args.output} is a folder; give the output file's name")
    if not cv2.haveImageWriter(args.output):
        return fail(f"{args.output}: cannot write images of type {os.path.splitext(args.output)[1]}")
    if not os.path.isfile(args.input):
        return fail(f"{args.input}: no such file")
    image = cv2.imread(args.input, cv2.IMREAD_COLOR | cv2.IMREAD_ANYDEPTH)  # BGR, 8 or 16 bits as stored
    if image is None:
        return fail(f"{args.input}: not an image OpenCV reads")

    bars: list[tqdm] = []  # one once tiles are being done

    def progress(done: int, total: int) -> None:
        if not bars:
            bars.append(tqdm(total=total, unit="tile", file=sys.stderr))
        bars[0].update(done - bars[0].n)

    try:
        upscaler = Upscaler(args.model, args.tile, args.overlap, args.batch, device=args.device, progress=progress)
        result = upscaler.upscale(image, dtype=image.dtype)  # a host image gives a host result
    except JobError as error:
        return fail(str(error), error.status)
    finally:
        for bar in bars:
            bar.close()
    store(args.output, result)
    print(f"upscaled {args.input} to {args.output} with {upscaler.description}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
