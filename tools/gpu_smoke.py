#!/usr/bin/env python3
"""First stage of the GPU check: every public function once on the real stack, fast.

    python tools/gpu_smoke.py [--standin] [--json FILE]

Each check calls one public function (or class) of the package on small arrays, waits for the
device and checks that the result is finite and of the expected shape; it prints one line per
check and, with --json, writes {"checks": [...], "uncovered": [...]} there. Then, where
``tensorrt`` imports, an engine is built from a tiny ONNX model in fp32 and in fp16 and run; and
``quorvex upscale`` runs once through an ONNX model and once without a model. Names of the package
that no check calls are listed as uncovered (the suite covers the model-driven classes).

Without a CUDA device it stops at once with status 2, unless --standin runs it on the CPU
stand-ins (to check this script). A failing check does not stop the others; the status is 1 when
any failed.
"""

import argparse
import importlib
import json
import os
import pathlib
import pkgutil
import subprocess
import sys
import tempfile
import time
import traceback

ROOT = pathlib.Path(__file__).resolve().parent.parent
CHECKS = []
COVERED = set()


def check(*names):
    """Registers a check calling the given public names (module.attr) of quorvex."""
    def register(fn):
        CHECKS.append((fn.__name__, fn))
        COVERED.update(names)
        return fn
    return register


def finite(x, shape=None):
    import cupy as cp
    import numpy as np
    host = x.get() if isinstance(x, cp.ndarray) else np.asarray(x)
    if shape is not None:
        assert host.shape == tuple(shape), f"shape {host.shape}, expected {tuple(shape)}"
    assert np.isfinite(host.astype(np.float64)).all(), "non-finite values"
    return host


def image(h=64, w=96, dtype="float32", seed=0):
    import cupy as cp
    rng = cp.random.default_rng(seed)
    a = rng.random((h, w, 3), dtype=cp.float32)
    return (a * 255).astype(cp.uint8) if dtype == "uint8" else a.astype(dtype)


@check("color.bgr.bgr_to_rgb", "color.bgr.rgb_to_bgr", "color.grayscale.rgb_to_grayscale",
       "color.grayscale.bgr_to_grayscale", "color.hsv.bgr_to_hsv", "color.hsv.hsv_to_bgr")
def colour_conversions():
    from quorvex.color import bgr, grayscale, hsv
    f = image()
    for fn in (bgr.bgr_to_rgb, bgr.rgb_to_bgr, grayscale.rgb_to_grayscale, grayscale.bgr_to_grayscale,
               hsv.bgr_to_hsv, hsv.hsv_to_bgr):
        finite(fn(f), f.shape)


YUV = ["uyvy", "yuyv", "v210", "yuv422p10", "yuv420p10", "yuv422p", "yuv420p", "nv12", "p010", "yuv444p", "yuv444p10",
       "yuv444p12", "yuv422p12", "yuv420p12"]


@check(*[f"color.yuv.bgr_to_{k}" for k in YUV], *[f"color.yuv.{k}_to_bgr" for k in YUV],
       *[f"color.yuv.{k}_to_ycbcr444" for k in ("uyvy", "yuyv", "v210", "yuv422p10")], "color.yuv.ycbcr444_to_bgr")
def yuv_round_trips():
    from quorvex.color import yuv
    f = image(32, 48)
    for kind in YUV:
        packed = getattr(yuv, f"bgr_to_{kind}")(f)
        planes = packed if isinstance(packed, tuple) else (packed,)
        extra = (48,) if kind == "v210" else ()
        finite(getattr(yuv, f"{kind}_to_bgr")(*planes, *extra), f.shape)
        if hasattr(yuv, f"{kind}_to_ycbcr444"):
            ycbcr = getattr(yuv, f"{kind}_to_ycbcr444")(*planes, *extra)
            finite(ycbcr)
            if kind == "yuv422p10":
                finite(yuv.ycbcr444_to_bgr(ycbcr, 10), f.shape)


@check("transform.affine.affine_transform", "transform.affine.affine_transform_batch",
       "transform.affine.get_inverse_matrix", "transform.affine.crop_from_kps", "transform.resize.resize")
def geometry():
    import numpy as np

    from quorvex.transform import affine, resize
    f = image()
    m = np.array([[0.9, 0.1, 2.0], [-0.1, 0.9, 3.0]], np.float32)
    finite(affine.affine_transform(f, m, (32, 48)), (32, 48, 3))  # (H, W)
    finite(affine.affine_transform_batch(f, np.stack([m, m]), (32, 48)), (2, 32, 48, 3))
    finite(affine.get_inverse_matrix(m))
    kps = np.array([[30, 20], [60, 20], [45, 32], [34, 45], [56, 45]], np.float32)
    crop, matrix = affine.crop_from_kps(f, kps, 32)
    finite(crop, (32, 32, 3)), finite(matrix)
    finite(resize.resize(f, (48, 32)), (32, 48, 3))  # (W, H), as cv2.resize
    finite(resize.resize(f, (200, 130)), (130, 200, 3))


@check("filter.gaussian.GaussianBlur", "face.paste.paste_back", "face.paste.PasteBack")
def blur_and_paste():
    import numpy as np

    from quorvex.face import paste
    from quorvex.filter import gaussian
    f = image(128, 128)
    finite(gaussian.GaussianBlur().get(f, 5, 1.5), f.shape)
    crop = image(64, 64, seed=1)
    m = np.array([[0.5, 0, 10], [0, 0.5, 12]], np.float32)
    import cupy as cp
    dm = cp.asarray(m)
    finite(paste.paste_back(f, crop, dm), f.shape)
    p = paste.PasteBack()
    finite(p.create_mask((64, 64)))
    finite(p.get(f, crop, dm), f.shape)
    finite(p.get_many(f, [crop, crop], [dm, dm]), f.shape)


@check("upscale.tile.tile_image", "upscale.tile.add_padding", "upscale.tile.merge_tiles",
       "upscale.tile.create_gaussian_weights", "upscale.tile.to_batch", "upscale.tile.batch_to_tile",
       "upscale.blend.TileBlender")
def tiles():
    from quorvex.upscale import blend, tile
    f = image(100, 90)
    tiles_, padded_shape = tile.tile_image(f, 32, 8)
    finite(tile.add_padding(f, 32, 8))
    finite(tile.merge_tiles(tiles_, f.shape, padded_shape, 1, 32, 8), f.shape)
    finite(tile.create_gaussian_weights(32, 8))
    batch = tile.to_batch(tiles_)
    back = tile.batch_to_tile(batch)
    assert len(back) == len(tiles_)
    blender = blend.TileBlender(padded_shape, 1, 32, 8)
    blender.add(batch, 0)
    finite(blender.result(f.shape), f.shape)


@check("utils.blob.to_blob", "utils.blob.to_blobs", "utils.dlpack.to_cupy", "utils.dlpack.to_numpy",
       "utils.dlpack.to_tensor", "utils.dtypes.to_float32", "utils.dtypes.to_float16", "utils.dtypes.to_uint8",
       "utils.dtypes.to_uint16")
def utilities():
    from quorvex.utils import blob, dlpack, dtypes
    u = image(dtype="uint8")
    finite(blob.to_blob(u, 1 / 255, (64, 64)), (1, 3, 64, 64))
    finite(blob.to_blobs([u, u], 1 / 255, (64, 64)), (2, 3, 64, 64))
    host = dlpack.to_numpy(u)
    finite(dlpack.to_cupy(host), u.shape)
    assert tuple(dlpack.to_tensor(u, "cuda").shape) == (1, 3, 64, 96)
    for fn in (dtypes.to_float32, dtypes.to_float16, dtypes.to_uint8, dtypes.to_uint16):
        finite(fn(u), u.shape)


@check("io.store.store", "io.video.VideoWriter", "io.video.VideoReader")
def files():
    from quorvex.io import store, video
    u = image(64, 96, "uint8")
    with tempfile.TemporaryDirectory() as tmp:
        store.store(os.path.join(tmp, "x.png"), u)
        assert os.path.getsize(os.path.join(tmp, "x.png")) > 0
        path = os.path.join(tmp, "v.mp4")
        writer = video.VideoWriter(path, 25.0, (96, 64))
        for _ in range(3):
            writer.write(u)
        writer.close()
        with video.VideoReader(path) as reader:
            frames = [finite(frame) for frame in reader]
        assert len(frames) == 3, f"{len(frames)} frames read back"


@check("face.embedding.session_arguments", "face.swap.session_arguments", "face.emap.emap_path")
def model_settings():
    from quorvex.face import emap, embedding, swap
    assert isinstance(embedding.session_arguments("cuda"), dict)
    assert isinstance(swap.session_arguments("cuda"), dict)
    assert isinstance(emap.emap_path(), str)


def tiny_model(path):
    """An ONNX x2 upscaler (a 3x3 convolution and a pixel shuffle) of any batch and size."""
    import numpy as np
    import onnx
    from onnx import TensorProto, helper
    weights = np.random.default_rng(0).normal(0, 0.1, (12, 3, 3, 3)).astype(np.float32)
    graph = helper.make_graph(
        [helper.make_node("Conv", ["input", "w"], ["c"], pads=[1, 1, 1, 1]),
         helper.make_node("DepthToSpace", ["c"], ["output"], blocksize=2, mode="CRD")], "x2",
        [helper.make_tensor_value_info("input", TensorProto.FLOAT, ["batch", 3, "height", "width"])],
        [helper.make_tensor_value_info("output", TensorProto.FLOAT, ["batch", 3, "out_height", "out_width"])],
        [helper.make_tensor("w", TensorProto.FLOAT, weights.shape, weights.ravel())])
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    model.ir_version = 8
    onnx.save(model, path)
    return path


STANDIN_ENTRY = ("import sys; sys.path.insert(0, %r); import standin; standin.install(); "
                 "from quorvex.cli import main; sys.exit(main())" % str(ROOT))
ENTRY = ["-m", "quorvex"]


def command(*args):
    done = subprocess.run([sys.executable, *ENTRY, *map(str, args)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"quorvex {' '.join(map(str, args))}: status {done.returncode}\n{done.stderr[-2000:]}"


@check("upscale.convert.onnx_to_trt")
def tensorrt_engines():
    try:
        import tensorrt
    except Exception as e:  # noqa: BLE001 (missing, or no libraries)
        return f"skipped: tensorrt does not import ({type(e).__name__})"
    import cv2
    import numpy as np

    from quorvex.upscale import convert
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        onnx_path = tiny_model(tmp / "x2.onnx")
        cv2.imwrite(str(tmp / "in.png"), (np.random.default_rng(0).random((40, 56, 3)) * 255).astype(np.uint8))
        for precision in ("fp32", "fp16"):
            engine = tmp / f"x2-{precision}.engine"
            convert.onnx_to_trt(str(onnx_path), str(engine), precision=precision, size_requirements=(16, 64, 128))
            command("upscale", tmp / "in.png", tmp / f"out-{precision}.png", "--model", engine, "--tile", 32,
                    "--overlap", 8, "-q")
            out = cv2.imread(str(tmp / f"out-{precision}.png"))
            assert out is not None and out.shape == (80, 112, 3), f"{precision}: {None if out is None else out.shape}"
    return f"TensorRT {tensorrt.__version__}"


@check("cli.upscale")
def upscale_command():
    import cv2
    import numpy as np
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        cv2.imwrite(str(tmp / "in.png"), (np.random.default_rng(0).random((40, 56, 3)) * 255).astype(np.uint8))
        command("upscale", tmp / "in.png", tmp / "onnx.png", "--model", tiny_model(tmp / "x2.onnx"), "--tile", 32,
                "--overlap", 8, "-q")
        command("upscale", tmp / "in.png", tmp / "lanczos.png", "--scale", 2, "-q")
        for name in ("onnx.png", "lanczos.png"):
            out = cv2.imread(str(tmp / name))
            assert out is not None and out.shape == (80, 112, 3), f"{name}: {None if out is None else out.shape}"


def public_names():
    """module.attr of every public function and class the package's modules export."""
    import quorvex
    names = set()
    for info in pkgutil.walk_packages(quorvex.__path__, "quorvex."):
        leaf = info.name.rsplit(".", 1)[-1]
        if leaf.startswith(("lib", "_")) or ".cli" in info.name:
            continue
        module = importlib.import_module(info.name)
        for attr, value in vars(module).items():
            if not attr.startswith("_") and callable(value) and getattr(value, "__module__", "").startswith(info.name):
                names.add(info.name[len("quorvex."):] + "." + attr)
    return names


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--standin", action="store_true", help="run on the CPU stand-ins (checks this script)")
    parser.add_argument("--json", help="write the results there")
    args = parser.parse_args()
    if args.standin:
        sys.path.insert(0, str(ROOT))
        import standin
        standin.install()
        ENTRY[:] = ["-c", STANDIN_ENTRY]
    import cupy as cp
    if not args.standin:
        try:
            count = cp.cuda.runtime.getDeviceCount()
        except Exception as e:  # noqa: BLE001
            count, why = 0, f"{type(e).__name__}: {e}"
        else:
            why = "no devices"
        if not count:
            print(f"gpu_smoke: no CUDA device ({why}); nothing checked", file=sys.stderr)
            return 2
    results = []
    for name, fn in CHECKS:
        start = time.perf_counter()
        try:
            note = fn()
            cp.cuda.Device().synchronize()
            ok, detail = True, note or ""
        except Exception as e:  # noqa: BLE001 (a failing check does not stop the others)
            ok, detail = False, "".join(traceback.format_exception_only(type(e), e)).strip()
            traceback.print_exc()
        seconds = round(time.perf_counter() - start, 2)
        results.append({"check": name, "ok": ok, "seconds": seconds, "detail": detail})
        print(f"{'ok  ' if ok else 'FAIL'} {name:22} {seconds:7.2f} s  {detail.splitlines()[-1] if detail else ''}",
              flush=True)
    uncovered = sorted(public_names() - COVERED)
    if uncovered:
        print("not called here (the suite covers them):", ", ".join(uncovered))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"checks": results, "uncovered": uncovered}, f)
    return 0 if all(r["ok"] for r in results) else 1


if __name__ == "__main__":
    sys.exit(main())
