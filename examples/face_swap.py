"""Swap the identity of a source face into every face of a frame, on the GPU.

    python examples/face_swap.py --detector det.engine --embedder arcface.onnx \
        --swapper swap.onnx --source person.jpg --target frame.jpg --output swapped.png \
        [--enhancer restore.onnx] [--device cuda]

Every network runs on the chosen device. Exit status: 0 when the target's faces were swapped
and written, 1 when the source or the target has no face (nothing is written), 2 for models,
images or an output name that cannot be used.

The detector is a TensorRT engine; the embedder an ONNX model (or a TensorRT engine, by its
.engine/.trt suffix); the swapper an ONNX identity-swap model whose embedding map is found by
quorvex.face.emap.load_emap (set QUORVEX_EMAP, or run extract_emap on the model once).
"""

from __future__ import annotations

import argparse
import os
import sys

import cupy as cp
import cv2
import numpy as np

from quorvex.face.detector import TrtFaceDetection
from quorvex.face.paste import PasteBack
from quorvex.face.swap import FaceSwap, session_arguments
from quorvex.cli.swap import rescale_matrix, swap_faces  # noqa: F401  (the command's own face swap)
from quorvex.utils.dtypes import to_float32


def device_id(device: str) -> int:
    """The CUDA device of a --device value: N of "cuda:N", else 0."""
    return int(device.rsplit(":", 1)[1]) if "cuda:" in device else 0


def load_embedder(path: str, device: str):
    if path.endswith((".engine", ".trt")):
        from quorvex.face.recognizer import TrtFaceEmbedding

        return TrtFaceEmbedding(model_path=path, device_id=device_id(device))
    from quorvex.face.embedding import FaceEmbedding

    return FaceEmbedding(model_path=path, device=device)


def read_image(path: str):
    image = cv2.imread(path, cv2.IMREAD_COLOR)
    if image is None:
        raise FileNotFoundError(f"cannot read an image from {path}")
    return to_float32(cp.asarray(image))


def fail(message: str, code: int) -> int:
    print(message, file=sys.stderr)
    return code


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("detector", "embedder", "swapper", "source", "target", "output"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--enhancer", help="ONNX face-restoration model (optional)")
    parser.add_argument("--device", default="cuda",
                        help="cuda, cuda:N, trt or cpu: ONNX Runtime's provider; TensorRT engines run on CUDA "
                             "device N of cuda:N, else on device 0")
    args = parser.parse_args(argv)
    try:
        gpu = device_id(args.device)
    except ValueError:
        parser.error(f"--device {args.device!r}: the text after 'cuda:' must be a device number")
    # Checked first, so that no work is lost to an output OpenCV cannot write.
    if not cv2.haveImageWriter(args.output):
        return fail(f"error: cannot write {args.output}: OpenCV has no image writer for "
                    f"'{os.path.splitext(args.output)[1] or 'a name without extension'}'", 2)
    with cp.cuda.Device(gpu):
        return run(args, gpu)


def run(args, gpu: int) -> int:
    detector = TrtFaceDetection(model_path=args.detector, device_id=gpu)
    if not getattr(detector, "use_kps", False):
        outputs = len(detector.output_names)
        return fail(f"error: the detector engine {args.detector} gives no face landmarks ({outputs} outputs); "
                    "aligning and swapping faces needs an engine with landmark outputs (9 or 15)", 2)
    embedder = load_embedder(args.embedder, args.device)
    swapper = FaceSwap(model_path=args.swapper, device=args.device)
    enhancer = None
    if args.enhancer:
        from quorvex.face.enhancer import GFPGAN

        enhancer = GFPGAN(args.enhancer, **session_arguments(args.device))

    try:
        source, target = read_image(args.source), read_image(args.target)
    except FileNotFoundError as error:
        return fail(f"error: {error}", 2)
    sources = detector.get(source)
    if not sources:
        return fail(f"no face found in the source {args.source}: nothing swapped, {args.output} not written", 1)
    source_face = embedder.get(sources[0])
    faces = detector.get(target, crop_size=512)
    if not faces:
        return fail(f"no face found in the target {args.target}: nothing swapped, {args.output} not written", 1)
    result, _ = swap_faces(target, source_face, detector, swapper, PasteBack(), enhancer, detections=faces)
    pixels = np.clip(cp.asnumpy(result) * 255 + 0.5, 0, 255).astype(np.uint8)
    try:
        written = cv2.imwrite(args.output, pixels)
    except cv2.error as error:
        return fail(f"error: cannot write {args.output}: {error}", 2)
    if not written:
        return fail(f"error: cannot write {args.output} (does its folder exist?)", 2)
    print(f"wrote {args.output}: {len(faces)} face{'s' if len(faces) != 1 else ''} swapped")
    return 0


if __name__ == "__main__":
    sys.exit(main())
