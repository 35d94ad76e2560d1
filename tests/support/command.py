"""The quorvex command run as a user runs it, on the stand-ins the suite has installed: its
main() in the test's process or a process of its own, and the small images and models the
command tests feed it."""

import io
import os
import pathlib
import subprocess
import sys
import tempfile
from unittest import mock

import cupy as cp
import cv2
import numpy as np
import onnx
from conftest import ON_GPU
from onnx import TensorProto, helper

from quorvex.cli import main

ROOT = pathlib.Path(__file__).resolve().parents[1]  # tests/: the support package
# What a process of its own puts on sys.path: the stand-ins (at the repository's root) and tests/.
TEST_PATH = os.pathsep.join([str(ROOT.parent), str(ROOT)])


# The command's own main(), after the stand-ins are in place as the suite has them; on the
# stand-in the device memory held at the peak is reported last.
RUNNER = """
import sys, standin
if sys.argv.pop(1) == "gpu":
    standin.install_tensorrt()
else:
    standin.install()
from quorvex.cli import main
status = main()
import cupy
pool = cupy.get_default_memory_pool()
if hasattr(pool, "standin_peak_bytes"):
    print("device bytes at the peak:", pool.standin_peak_bytes(), file=sys.stderr)
sys.exit(status)
"""


def quorvex_process(*args, env=None):
    """The command in a process of its own, as a shell runs it."""
    environment = dict(os.environ, PYTHONPATH=TEST_PATH, **(env or {}))
    command = [sys.executable, "-c", RUNNER, "gpu" if ON_GPU else "cpu", *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, env=environment, timeout=600)


def quorvex(*args, env=None):
    """The command's main() in this process, with what it writes to stdout and stderr (Python's
    and the libraries' own, at the file descriptors) captured: a process of its own would import
    torch, spandrel and ONNX Runtime again each time. On the stand-in, the device memory the run
    held at its peak is reported last, as quorvex_process() does."""
    pool = cp.get_default_memory_pool()
    peak = hasattr(pool, "standin_peak_bytes")
    if peak:
        baseline = pool.used_bytes()
        pool.standin_reset_peak()
    with mock.patch.dict(os.environ, env or {}), _captured(1) as out, _captured(2) as err:
        try:
            status = main([str(a) for a in args])
        except SystemExit as exit:  # argparse's usage errors
            status = exit.code
        if peak:
            print("device bytes at the peak:", pool.standin_peak_bytes() - baseline, file=sys.stderr)
    return subprocess.CompletedProcess(args, status, out.text, err.text)


class _captured:
    """Points file descriptor fd (1 or 2) and the sys stream over it at a file; .text after."""

    def __init__(self, fd):
        self.fd, self.name = fd, ("stdout", "stderr")[fd - 1]

    def __enter__(self):
        getattr(sys, self.name).flush()
        self.file = tempfile.TemporaryFile()
        self.saved_fd, self.saved_stream = os.dup(self.fd), getattr(sys, self.name)
        os.dup2(self.file.fileno(), self.fd)
        setattr(sys, self.name, io.TextIOWrapper(io.FileIO(self.fd, "w", closefd=False), write_through=True))
        return self

    def __exit__(self, *exc):
        getattr(sys, self.name).flush()
        setattr(sys, self.name, self.saved_stream)
        os.dup2(self.saved_fd, self.fd)
        os.close(self.saved_fd)
        self.file.seek(0)
        self.text = self.file.read().decode(errors="replace")
        self.file.close()


def smooth_image(height, width, seed=0):
    y, x = np.mgrid[0:height, 0:width].astype(np.float32)
    phase = np.random.default_rng(seed).uniform(0, 6, 3)
    return np.stack([0.5 + 0.4 * np.sin(x / 17 + phase[0]), 0.5 + 0.4 * np.cos(y / 13 + phase[1]),
                     0.5 + 0.3 * np.sin((x + y) / 29 + phase[2])], 2).astype(np.float32)


def write_png(path, height, width, seed=0):
    path.parent.mkdir(parents=True, exist_ok=True)
    image = (smooth_image(height, width, seed) * 255 + 0.5).astype(np.uint8)
    cv2.imwrite(str(path), image)
    return image


def nearest_x2(path, fixed=None, gains=None):
    """An ONNX x2 nearest-neighbour upscaler; `fixed` gives it a static input side, `gains` scale
    its R, G and B outputs."""
    dims = [1, 3, fixed, fixed] if fixed else ["batch", 3, "height", "width"]
    out = [1, 3, 2 * fixed, 2 * fixed] if fixed else ["batch", 3, "out_height", "out_width"]
    nodes = [helper.make_node("Resize", ["input", "", "scales"], ["resized" if gains else "output"], mode="nearest")]
    weights = [helper.make_tensor("scales", TensorProto.FLOAT, [4], [1, 1, 2, 2])]
    if gains:
        nodes.append(helper.make_node("Mul", ["resized", "gains"], ["output"]))
        weights.append(helper.make_tensor("gains", TensorProto.FLOAT, [1, 3, 1, 1], gains))
    graph = helper.make_graph(
        nodes, "x2", [helper.make_tensor_value_info("input", TensorProto.FLOAT, dims)],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, out)], weights)
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, path)
    return path
