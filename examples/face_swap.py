"""Swap the identity of a source face into the faces of a frame, from a Python program.

    python examples/face_swap.py --detector det.engine --embedder arcface.onnx \
        --swapper swap.onnx --source person.jpg --target frame.jpg --output swapped.png \
        [--enhancer restore.onnx] [--faces all|largest|N] [--device cuda]

This is `quorvex swap --source person.jpg frame.jpg swapped.png --detector ... --embedder ...
--swapper ...` called through quorvex.cli.main: detection (TensorRT), source embedding (ONNX
Runtime, or TensorRT by the .engine/.trt suffix), the swap network, optional restoration and one
batched paste back, with the command's checks and one-line errors. The swapper's embedding map
is found by quorvex.face.emap.load_emap (set QUORVEX_EMAP, or run extract_emap on the model once).
"""

from __future__ import annotations

import argparse
import sys

from quorvex.cli import main as quorvex


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="face_swap.py", description=__doc__.splitlines()[0])
    for name in ("detector", "embedder", "swapper", "source", "target", "output"):
        parser.add_argument(f"--{name}", required=True)
    parser.add_argument("--enhancer", help="ONNX face-restoration model (optional)")
    parser.add_argument("--faces", default="all", help="all, largest or N (the N largest)")
    parser.add_argument("--device", default="cuda", help="cuda or cuda:N")
    args = parser.parse_args(argv)
    models = [f"--{name}={getattr(args, name)}" for name in ("detector", "embedder", "swapper", "enhancer")
              if getattr(args, name)]
    return quorvex(["swap", f"--source={args.source}", args.target, args.output, *models, f"--faces={args.faces}",
                    f"--device={args.device}", "--overwrite"])


if __name__ == "__main__":
    sys.exit(main())
