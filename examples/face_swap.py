"""Swap the identity of a source face into every face of a frame, on the GPU.

    python examples/face_swap.py --detector det.engine --embedder arcface.onnx \
        --swapper swap.onnx --source person.jpg --target frame.jpg --output swapped.png \
        [--enhancer restore.onnx] [--device cuda]

The detector is a TensorRT engine; the embedder an ONNX model (or a TensorRT engine, by its
.engine/.trt suffix); the swapper an ONNX identity-swap model whose embedding map is found by
quorvex.face.emap.load_emap (set QUORVEX_EMAP, or run extract_emap on the model once).
"""

from __future__ import annotations

import argparse
import sys

import cupy as cp
import cv2
import numpy as np

from quorvex.face.detector import TrtFaceDetection
from quorvex.face.paste import PasteBack
from quorvex.face.swap import FaceSwap
from quorvex.utils.dtypes import to_float32


def swap_faces(frame, source_face, detector, swapper, paster, enhancer=None, crop_size=512):
    """The frame with every detected face given the source face's identity.

    frame is a BGR float32 device image; only the regions of detected faces change.
    """
    out = frame
    for face in detector.get(frame, crop_size=crop_size):
        swapped = swapper.get(face, source_face)  # at the crop's size
        matrix = face.matrix
        if enhancer is not None:
            swapped = enhancer.get(swapped)
            # The restored face is larger than the crop: scale the frame -> crop matrix to it.
            matrix = matrix * np.float32(swapped.shape[0] / crop_size)
        out = paster.get(out, swapped, matrix)
    return out


def load_embedder(path: str, device: str):
    if path.endswith((".engine", ".trt")):
        from quorvex.face.recognizer import TrtFaceEmbedding

        return TrtFaceEmbedding(model_path=path)
    from quorvex.face.embedding import FaceEmbedding

    return FaceEmbedding(model_path=path, device=device)


def read_image(path: str):
    image = cv2.imread(path, cv2.IMREAD_COLOR)
    if image is None:
        raise FileNotFoundError(f"cannot read an image from {path}")
    return to_float32(cp.asarray(image))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    for name in ("detector", "embedder", "swapper", "source", "target", "output"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--enhancer", help="ONNX face-restoration model (optional)")
    parser.add_argument("--device", default="cuda", help="ONNX Runtime device: cuda, cuda:N, trt or cpu")
    args = parser.parse_args(argv)

    detector = TrtFaceDetection(model_path=args.detector)
    embedder = load_embedder(args.embedder, args.device)
    swapper = FaceSwap(model_path=args.swapper, device=args.device)
    enhancer = None
    if args.enhancer:
        from quorvex.face.enhancer import GFPGAN

        enhancer = GFPGAN(args.enhancer)

    sources = detector.get(read_image(args.source))
    if not sources:
        print(f"no face found in {args.source}", file=sys.stderr)
        return 1
    source_face = embedder.get(sources[0])
    result = swap_faces(read_image(args.target), source_face, detector, swapper, PasteBack(), enhancer)
    if not cv2.imwrite(args.output, np.clip(cp.asnumpy(result) * 255 + 0.5, 0, 255).astype(np.uint8)):
        raise OSError(f"could not write {args.output}")
    print(f"wrote {args.output}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
