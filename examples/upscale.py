"""Upscale an image with a super-resolution checkpoint, from a Python program.

    python examples/upscale.py --model 4x_model.pth --input photo.png --output photo_x4.png \
        [--tile 128] [--overlap 16] [--batch 8] [--device cuda]

This is `quorvex upscale photo.png photo_x4.png --model 4x_model.pth` called through
quorvex.cli.main, so the checks, the tiling with bounded memory, the progress bar, the output
depth and the one-line errors are the command's. For folders and videos use the command itself.
"""

from __future__ import annotations

import argparse
import sys

from quorvex.cli import main as quorvex


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="upscale.py", description=__doc__.splitlines()[0])
    parser.add_argument("--model", required=True, help="checkpoint (spandrel), ONNX model or TensorRT engine")
    parser.add_argument("--input", required=True)
    parser.add_argument("--output", required=True)
    parser.add_argument("--tile", help="tile side in input pixels (default: chosen for the model)")
    parser.add_argument("--overlap", default="16", help="pixels shared by neighbouring tiles")
    parser.add_argument("--batch", default="8", help="tiles per model run")
    parser.add_argument("--device", default="cuda")
    args = parser.parse_args(argv)
    tile = [f"--tile={args.tile}"] if args.tile else []
    return quorvex(["upscale", args.input, args.output, f"--model={args.model}", *tile, f"--overlap={args.overlap}",
                    f"--batch={args.batch}", f"--device={args.device}", "--overwrite"])


if __name__ == "__main__":
    sys.exit(main())
