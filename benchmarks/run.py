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
import math
import pathlib
import sys

import cupy as cp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import Report, counts, synchronize, timed  # noqa: E402

TESTS = pathlib.Path(__file__).resolve().parent.parent / "tests"


def run(width: int, height: int, repeat: int) -> list[dict]:
    import cv2
    import torch
    import torch.nn.functional as F

    from quorvex.color.grayscale import bgr_to_grayscale, rgb_to_grayscale
    from quorvex.transform import resize as rz
    from quorvex.transform.affine import affine_transform

    cuda = torch.cuda.is_available()
    device = "cuda" if cuda else "cpu"
    rng = np.random.default_rng(0)
    big = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    small = cp.asarray(rng.random((height // 2, width // 2, 3), dtype=np.float32))
    image_bytes = big.nbytes

    copy_target = cp.empty_like(big)
    copy = timed(lambda: cp.copyto(copy_target, big), repeat)
    bandwidth = 2 * image_bytes / copy
    name = cp.cuda.runtime.getDeviceProperties(cp.cuda.Device().id)["name"]
    name = name.decode() if isinstance(name, bytes) else name
    print(f"device: {name}; image {width}x{height}x3 float32 ({image_bytes / 1e6:.1f} MB); "
          f"copy {copy * 1e6:.1f} us = {bandwidth / 1e9:.0f} GB/s read+write")
    report = Report(bandwidth)

    def torch_view(array):
        tensor = torch.as_tensor(array, device=device)
        return tensor.permute(2, 0, 1).unsqueeze(0).contiguous()  # NCHW, the layout torch expects

    big_t, small_t = torch_view(big), torch_view(small)
    weights = torch.tensor([0.2126, 0.7152, 0.0722], device=device).view(1, 3, 1, 1)
    theirs = timed(lambda: (big_t * weights).sum(dim=1, keepdim=True).expand(-1, 3, -1, -1).contiguous(), repeat)
    ours = timed(lambda: rgb_to_grayscale(big), repeat)
    report.add(f"grayscale {width}x{height}", ours, 2 * image_bytes, theirs, "torch mul+sum+expand",
               lambda: rgb_to_grayscale(big))
    bgr_weights = weights.flip(1)
    theirs = timed(lambda: (big_t * bgr_weights).sum(dim=1, keepdim=True).expand(-1, 3, -1, -1).contiguous(), repeat)
    ours = timed(lambda: bgr_to_grayscale(big), repeat)
    report.add(f"BGR grayscale {width}x{height}", ours, 2 * image_bytes, theirs, "torch mul+sum+expand",
               lambda: bgr_to_grayscale(big))

    torch_modes = {
        rz.INTER_NEAREST: dict(mode="nearest"),
        rz.INTER_LINEAR: dict(mode="bilinear", align_corners=False),
        rz.INTER_CUBIC: dict(mode="bicubic", align_corners=False),
        rz.INTER_AREA: dict(mode="area"),
    }
    names = {rz.INTER_NEAREST: "NEAREST", rz.INTER_LINEAR: "LINEAR", rz.INTER_CUBIC: "CUBIC",
             rz.INTER_AREA: "AREA", rz.INTER_LANCZOS4: "LANCZOS4"}
    for src, src_t, (w, h) in ((big, big_t, (width // 2, height // 2)), (small, small_t, (width, height))):
        moved = src.nbytes + h * w * 3 * 4
        for interpolation, kwargs in torch_modes.items():
            ours = timed(lambda: rz.resize(src, (w, h), interpolation), repeat)
            label = "torch " + kwargs["mode"] + (" antialias" if kwargs.get("antialias") else "")
            theirs = timed(lambda: F.interpolate(src_t, size=(h, w), **kwargs), repeat)
            report.add(f"resize {names[interpolation]} {src.shape[1]}x{src.shape[0]}->{w}x{h}",
                       ours, moved, theirs, label, lambda: rz.resize(src, (w, h), interpolation))
        # PyTorch has no Lanczos filter: the same filter a user would otherwise run is OpenCV's, on the CPU.
        host = cp.asnumpy(src)
        ours = timed(lambda: rz.resize(src, (w, h), rz.INTER_LANCZOS4), repeat)
        theirs = wall(lambda: cv2.resize(host, (w, h), interpolation=cv2.INTER_LANCZOS4), repeat)
        report.add(f"resize LANCZOS4 {src.shape[1]}x{src.shape[0]}->{w}x{h}", ours, moved, theirs,
                   "cv2 CPU LANCZOS4 (torch has none)", lambda: rz.resize(src, (w, h), rz.INTER_LANCZOS4))

    for scale, label in ((0.5, "shrink"), (1.25, "enlarge")):
        angle = math.radians(10)
        out_h, out_w = int(height * scale), int(width * scale)
        m = np.array([[scale * math.cos(angle), -scale * math.sin(angle), 0.1 * out_w],
                      [scale * math.sin(angle), scale * math.cos(angle), 0.0]])
        ours = timed(lambda: affine_transform(big, m, (out_h, out_w)), repeat)
        # The same warp in PyTorch: affine_grid in normalised coordinates, then grid_sample.
        inverse = np.linalg.inv(np.vstack([m, [0, 0, 1]]))
        to_norm_out = np.array([[2 / out_w, 0, 1 / out_w - 1], [0, 2 / out_h, 1 / out_h - 1], [0, 0, 1]])
        to_norm_in = np.array([[2 / width, 0, 1 / width - 1], [0, 2 / height, 1 / height - 1], [0, 0, 1]])
        theta = (to_norm_in @ inverse @ np.linalg.inv(to_norm_out))[:2]
        theta_t = torch.tensor(theta, dtype=torch.float32, device=device).unsqueeze(0)
        theirs = timed(lambda: F.grid_sample(big_t, F.affine_grid(theta_t, [1, 3, out_h, out_w], align_corners=False),
                                             mode="bilinear", padding_mode="zeros", align_corners=False), repeat)
        report.add(f"affine_transform {label} {width}x{height}->{out_w}x{out_h}", ours,
                   image_bytes + out_h * out_w * 12, theirs, "torch affine_grid+grid_sample",
                   lambda: affine_transform(big, m, (out_h, out_w)))

    # The matrix where the caller has it: a device matrix is inverted on the device, no read-back.
    m_device = cp.asarray(m)
    ours = timed(lambda: affine_transform(big, m_device, (out_h, out_w)), repeat)
    theirs = timed(lambda: affine_transform(big, m, (out_h, out_w)), repeat)
    report.add(f"affine_transform device matrix {width}x{height}->{out_w}x{out_h}", ours,
               image_bytes + out_h * out_w * 12, theirs,
               f"host matrix {counts(lambda: affine_transform(big, m, (out_h, out_w)))}; device matrix",
               lambda: affine_transform(big, m_device, (out_h, out_w)))

    run_uint8(report, width, height, repeat)
    return report.rows


def run_uint8(report: Report, width: int, height: int, repeat: int) -> None:
    """8-bit images, as decoders give them, against OpenCV on the CPU (host time of the same
    call on the same pixels, what a user of 8-bit images would otherwise run)."""
    import cv2

    from quorvex.filter.gaussian import GaussianBlur
    from quorvex.transform import resize as rz
    from quorvex.transform.affine import affine_transform
    from quorvex.utils.blob import to_blob

    host = np.random.default_rng(5).integers(0, 256, (height, width, 3), dtype=np.uint8)
    image = cp.asarray(host)
    w, h = width // 2, height // 2
    moved = image.nbytes + h * w * 3
    for interpolation, flag, name in ((rz.INTER_AREA, cv2.INTER_AREA, "AREA"),
                                      (rz.INTER_LANCZOS4, cv2.INTER_LANCZOS4, "LANCZOS4")):
        report.add(f"resize {name} uint8 {width}x{height}->{w}x{h}",
                   timed(lambda: rz.resize(image, (w, h), interpolation), repeat), moved,
                   wall(lambda: cv2.resize(host, (w, h), interpolation=flag), repeat), f"cv2 CPU {name}",
                   lambda: rz.resize(image, (w, h), interpolation))

    angle = math.radians(10)
    m = np.array([[0.5 * math.cos(angle), -0.5 * math.sin(angle), 0.05 * width],
                  [0.5 * math.sin(angle), 0.5 * math.cos(angle), 0.0]])
    report.add(f"affine_transform uint8 {width}x{height}->{w}x{h}",
               timed(lambda: affine_transform(image, m, (h, w)), repeat), moved,
               wall(lambda: cv2.warpAffine(host, m, (w, h), flags=cv2.INTER_LINEAR), repeat), "cv2 CPU warpAffine",
               lambda: affine_transform(image, m, (h, w)))

    blur = GaussianBlur()
    report.add(f"GaussianBlur.get uint8 ksize 31 {width}x{height}",
               timed(lambda: blur.get(image, 31, 0), repeat), 2 * image.nbytes,
               wall(lambda: cv2.GaussianBlur(host, (31, 31), 0), repeat), "cv2 CPU GaussianBlur",
               lambda: blur.get(image, 31, 0))

    size = (max(h, 1), max(w, 1))
    mean = (0.0, 0.0, 0.0)  # integer blobs saturate: the resize and channel swap a detector's input needs
    report.add(f"to_blob uint8 {width}x{height}->{size[1]}x{size[0]}",
               timed(lambda: to_blob(image, 1.0, size, mean, swapRB=True), repeat), image.nbytes + h * w * 3,
               wall(lambda: cv2.dnn.blobFromImage(host, 1.0, (size[1], size[0]), mean, swapRB=True), repeat),
               "cv2.dnn CPU (float32 out)", lambda: to_blob(image, 1.0, size, mean, swapRB=True))


def detector_engine(model) -> bytes:
    """A TensorRT engine of an ONNX graph: built by TensorRT where it is installed, else the
    test suite's stand-in engine (the network itself is not what is measured here)."""
    try:
        import tensorrt as trt

        if getattr(trt, "__quorvex_standin__", False):
            raise ImportError
    except ImportError:
        import standin
        from standin.tensorrt import engine_bytes

        standin.install_tensorrt()
        return engine_bytes(model)
    logger = trt.Logger(trt.Logger.WARNING)
    builder = trt.Builder(logger)
    network = builder.create_network(0)
    parser = trt.OnnxParser(network, logger)
    assert parser.parse(model.SerializeToString()), parser.get_error(0)
    return bytes(builder.build_serialized_network(network, builder.create_builder_config()))


class _NoEngine:
    """Stands in for the execution context once the outputs are in the buffers, so that only
    the detector's own work is timed."""

    def __init__(self, ctx):
        self.ctx = ctx

    def execute_async_v3(self, stream):
        return True

    def __getattr__(self, name):
        return getattr(self.ctx, name)


def tests_on_path():
    """The tests' support package (test networks) and, without TensorRT, its stand-in."""
    for path in (TESTS, TESTS.parent):  # tests/support, and the stand-ins at the repository's root
        if str(path) not in sys.path:
            sys.path.insert(0, str(path))


def run_detector(width: int, height: int, repeat: int) -> list[dict]:
    """The detector's own work per frame: everything in get() except the engine run."""
    tests_on_path()
    from support.detector_models import detector_model, face_at

    from quorvex.face.detector import TrtFaceDetection

    rng = np.random.default_rng(1)
    frame = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    faces = [face_at(16, 4 + 3 * (i // 5), 4 + 7 * (i % 5), 0.9 - 0.01 * i, 40) for i in range(10)]
    rows = []
    for label, planted in (("10 faces", faces), ("no faces", [])):
        det = TrtFaceDetection(model_bytes=detector_engine(detector_model(9, faces=planted)))
        found = det.get(frame)  # fills the output buffers once
        assert len(found) == len(planted), (len(found), len(planted))
        det.ctx = _NoEngine(det.ctx)
        seconds = timed(lambda: det.get(frame), repeat)
        print(f"{'detector get() without the engine, ' + label:48s} {seconds * 1e6:7.1f} us per {width}x{height} frame "
              f"{counts(lambda: det.get(frame))}")
        rows.append({"name": f"detector {label}", "seconds": seconds})
    return rows


def face_matrix(side: float, x: float, y: float, crop: int, angle_degrees: float = 8.0) -> np.ndarray:
    """Frame -> crop matrix of a face side pixels wide at (x, y), as alignment would give it."""
    scale, angle = crop / side, math.radians(angle_degrees)
    c, s = scale * math.cos(angle), scale * math.sin(angle)
    return np.array([[c, -s, -(c * x - s * y)], [s, c, -(s * x + c * y)]], np.float32)


def run_paste(width: int, height: int, repeat: int) -> list[dict]:
    """Paste back of a 512 x 512 crop into a frame: two warps and the blend, mask cached."""
    import torch
    import torch.nn.functional as F

    from quorvex.face.paste import PasteBack

    rng = np.random.default_rng(2)
    frame = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    crop = cp.asarray(rng.random((512, 512, 3), dtype=np.float32))
    m = face_matrix(min(width, height) / 5, width / 2, height / 2, 512)
    matrix = cp.asarray(m)
    paster = PasteBack()
    paster.get(frame, crop, matrix)  # builds the mask
    ours = timed(lambda: paster.get(frame, crop, matrix), repeat)

    # The same in PyTorch: grid_sample of crop and mask, then the blend.
    device = "cuda" if torch.cuda.is_available() else "cpu"
    frame_t = torch.as_tensor(frame, device=device).permute(2, 0, 1)[None].contiguous()
    crop_t = torch.as_tensor(crop, device=device).permute(2, 0, 1)[None].contiguous()
    mask_t = torch.as_tensor(paster.mask, device=device).permute(2, 0, 1)[None].contiguous()
    to_norm_frame = np.array([[2 / width, 0, 1 / width - 1], [0, 2 / height, 1 / height - 1], [0, 0, 1]])
    to_norm_crop = np.array([[2 / 512, 0, 1 / 512 - 1], [0, 2 / 512, 1 / 512 - 1], [0, 0, 1]])
    theta = (to_norm_crop @ np.vstack([m, [0, 0, 1]]) @ np.linalg.inv(to_norm_frame))[:2]
    theta_t = torch.tensor(theta, dtype=torch.float32, device=device)[None]

    def torch_paste():
        grid = F.affine_grid(theta_t, [1, 3, height, width], align_corners=False)
        warped = F.grid_sample(crop_t, grid, align_corners=False)
        weight = F.grid_sample(mask_t, grid, align_corners=False)
        return weight * warped + (1 - weight) * frame_t

    theirs = timed(torch_paste, repeat)
    print(f"{'paste back 512 crop into ' + f'{width}x{height}':48s} {ours * 1e6:7.1f} us   torch grid_sample route "
          f"{theirs * 1e6:7.1f} us  ({theirs / ours:.2f}x) {counts(lambda: paster.get(frame, crop, matrix))}")
    # Ten faces of one frame: ten get calls against one get_many of the ten crops.
    crops = cp.stack([cp.roll(crop, i, axis=0) for i in range(10)])
    matrices = cp.stack([cp.asarray(face_matrix(min(width, height) / 5, width * (i + 1) / 11, height / 2, 512))
                         for i in range(10)])

    def one_by_one():
        out = frame
        for i in range(10):
            out = paster.get(out, crops[i], matrices[i])
        return out

    ten = timed(one_by_one, repeat)
    many = timed(lambda: paster.get_many(frame, crops, matrices), repeat)
    print(f"{'paste back 10 crops: 10 get calls':48s} {ten * 1e6:7.1f} us {counts(one_by_one)}")
    print(f"{'paste back 10 crops: one get_many':48s} {many * 1e6:7.1f} us  ({ten / many:.2f}x) "
          f"{counts(lambda: paster.get_many(frame, crops, matrices))}")
    return [{"name": "paste back", "seconds": ours, "alternative": theirs},
            {"name": "paste back 10 crops get_many", "seconds": many, "alternative": ten}]


def wall(fn, repeat: int) -> float:
    """Mean wall-clock seconds per call after warm-up, for work that waits on the host."""
    import time

    fn()
    synchronize()
    start = time.perf_counter()
    for _ in range(repeat):
        fn()
    synchronize()
    return (time.perf_counter() - start) / repeat


def own_time(owner, call, repeat: int) -> float:
    """Mean seconds of call() outside owner.session.run: CUDA events from the call to the network
    run and from the run's return to the end of the call (the run itself waits on the host)."""
    session, marks = owner.session, {}

    class Marked:
        def run(self, names, feed):
            marks["before"] = cp.cuda.get_current_stream().record()
            out = session.run(names, feed)
            marks["after"] = cp.cuda.get_current_stream().record()
            return out

        def __getattr__(self, name):
            return getattr(session, name)

    owner.session = Marked()
    try:
        call()
        own = 0.0
        for _ in range(repeat):
            start = cp.cuda.get_current_stream().record()
            call()
            end = cp.cuda.get_current_stream().record()
            end.synchronize()
            own += (cp.cuda.get_elapsed_time(start, marks["before"]) + cp.cuda.get_elapsed_time(marks["after"], end)) / 1e3
    finally:
        owner.session = session
    return own / repeat


def run_swap(repeat: int) -> list[dict]:
    """The swapper's own work per face (blob, latent, resizes, host transfers): its get() minus
    the network run on the same inputs."""
    import os
    import tempfile

    tests_on_path()
    from support.identity_models import embedding_map, face_crop, swap_model

    from quorvex.face.schema import QvFace
    from quorvex.face.swap import FaceSwap

    previous = os.environ.get("QUORVEX_EMAP")
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "emap.npy"), embedding_map())
        os.environ["QUORVEX_EMAP"] = os.path.join(folder, "emap.npy")
        try:
            swapper = FaceSwap(model_bytes=swap_model().SerializeToString(), device="cpu")
        finally:
            if previous is None:
                del os.environ["QUORVEX_EMAP"]
            else:
                os.environ["QUORVEX_EMAP"] = previous
    target = QvFace(bbox=cp.zeros(4, cp.float32), score=1.0, image=cp.asarray(face_crop(512, 512)))
    embedding = cp.asarray(np.random.default_rng(3).standard_normal(512).astype(np.float32))
    source = QvFace(bbox=cp.zeros(4, cp.float32), score=1.0, normed_embedding=embedding / cp.linalg.norm(embedding))

    own = own_time(swapper, lambda: swapper.get(target, source), repeat)
    line = counts(lambda: swapper.get(target, source))
    print(f"{'swap own work per 512 crop (events around it)':48s} {own * 1e6:7.1f} us {line}")
    return [{"name": "swap own work", "seconds": own}]


def run_face_pipeline(width: int, height: int, repeat: int) -> list[dict]:
    """The package's per-face work after detection: the face's share of the batched crop (one
    face alone here), swap pre- and post-processing around the network, paste back."""
    rows = run_swap(repeat)
    from quorvex.face.paste import PasteBack
    from quorvex.transform.affine import affine_transform_batch
    from quorvex.transform.resize import resize

    rng = np.random.default_rng(4)
    frame = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
    m = face_matrix(min(width, height) / 5, width / 2, height / 2, 1024)[None]
    paster = PasteBack()

    def crop_and_paste():
        crop = resize(affine_transform_batch(frame, m, (1024, 1024))[0], (512, 512))
        return paster.get(frame, crop, cp.asarray(m[0] / 2))

    seconds = timed(crop_and_paste, repeat)
    print(f"{'crop + paste back per face':48s} {seconds * 1e6:7.1f} us {counts(crop_and_paste)}")

    from support.restore_models import restorer

    from quorvex.face.enhancer import GFPGAN

    enhancer = GFPGAN(restorer(1.0))
    face = cp.asarray(rng.random((128, 128, 3), dtype=np.float32))
    enhance = own_time(enhancer, lambda: enhancer.get(face), repeat)
    print(f"{'enhancer own work per 128 crop (events around it)':48s} {enhance * 1e6:7.1f} us "
          f"{counts(lambda: enhancer.get(face))}")
    total = seconds + rows[0]["seconds"] + enhance
    print(f"{'package work per face (crop, swap, enhance, paste)':48s} {total * 1e6:7.1f} us")
    return rows + [{"name": "crop and paste", "seconds": seconds}, {"name": "enhancer own work", "seconds": enhance}]


def run_face_frames(width: int, height: int, crop: int, repeat: int) -> list[dict]:
    """swap_faces on a detected frame, 1 and 10 faces, with and without the enhancer: the test
    networks on the best provider ONNX Runtime has here (CUDA on a GPU), the whole per-frame time
    after detection, with its counts."""
    import os
    import tempfile

    tests_on_path()
    from support.detector_models import detector_model, face_at
    from support.identity_models import embedding_map, swap_model
    from support.restore_models import restorer

    from quorvex.face.detector import TrtFaceDetection
    from quorvex.face.enhancer import GFPGAN
    from quorvex.face.paste import PasteBack
    from quorvex.face.swap import FaceSwap, session_arguments
    from quorvex.pipeline.reporting import Silent
    from quorvex.pipeline.swap import ort_device, swap_faces

    device = ort_device(0, Silent())
    planted = [face_at(16, 4 + 3 * (i // 5), 4 + 7 * (i % 5), 0.9 - 0.01 * i, 40) for i in range(10)]
    frame = cp.asarray(np.random.default_rng(5).random((height, width, 3), dtype=np.float32))
    det = TrtFaceDetection(model_bytes=detector_engine(detector_model(9, faces=planted)))
    found = det.get(frame, crop_size=crop)
    with tempfile.TemporaryDirectory() as folder:
        np.save(os.path.join(folder, "emap.npy"), embedding_map())
        previous = os.environ.get("QUORVEX_EMAP")
        os.environ["QUORVEX_EMAP"] = os.path.join(folder, "emap.npy")
        try:
            swapper = FaceSwap(model_bytes=swap_model(batch="N").SerializeToString(), device=device)
        finally:
            os.environ.pop("QUORVEX_EMAP") if previous is None else os.environ.update(QUORVEX_EMAP=previous)
    enhancer, paster = GFPGAN(restorer(1.0), **session_arguments(device)), PasteBack()
    source = found[0]
    source.normed_embedding = cp.asarray(np.random.default_rng(6).standard_normal(512).astype(np.float32))
    latent = swapper.latent(source)
    rows = []
    for count in (1, 10):
        for restore in (None, enhancer):
            label = f"face path, {count} face{'s' if count > 1 else ''}{' + enhancer' if restore else ''}"

            def call():
                return swap_faces(frame, source, det, swapper, paster, restore, detections=found[:count], latent=latent)

            seconds = timed(call, repeat)
            print(f"{label + f' ({device})':48s} {seconds * 1e3:7.2f} ms per {width}x{height} frame {counts(call)}")
            rows.append({"name": label, "seconds": seconds})
    return rows


def run_command(width: int, height: int, images: int, *, num_feat: int = 16, num_conv: int = 4) -> list[dict]:
    """The whole command, `quorvex upscale IN_DIR OUT_DIR --model compact.pth`, over `images`
    8-bit PNGs at x4 through a small seeded Compact checkpoint: images per second of the command
    (model load, PNG read and write included) with the device memory peak its summary line
    reports (CuPy's pool high-water mark plus what PyTorch reserved at its peak), and images per
    second of its Upscaler alone on a decoded float32 device image, the model loaded once."""
    import contextlib
    import io
    import re
    import tempfile
    import time

    import cv2
    import torch

    tests_on_path()
    from support.sr_models import compact, save_checkpoint

    from quorvex.cli import main as cli_main
    from quorvex.cli.common import Reporter
    from quorvex.pipeline.models import load_backend
    from quorvex.pipeline.upscale import TiledModel

    rng = np.random.default_rng(6)
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        source, target = folder / "in", folder / "out"
        source.mkdir()
        # Gradients with a little grain, as photographs compress: PNG of noise would time zlib, not the package.
        ramp = (np.linspace(0, 200, width, dtype=np.float32)[None, :, None]
                + np.linspace(0, 50, height, dtype=np.float32)[:, None, None])
        for i in range(images):
            grain = rng.normal(0, 4, (height, width, 3)).astype(np.float32)
            cv2.imwrite(str(source / f"{i}.png"), np.clip(ramp + grain + 5 * i, 0, 255).astype(np.uint8))
        model = save_checkpoint(compact(scale=4, num_feat=num_feat, num_conv=num_conv, seed=0), folder / "compact.pth")

        cp.get_default_memory_pool().free_all_blocks()  # the command starts with an empty pool, as in its own process
        if torch.cuda.is_available():
            torch.cuda.empty_cache()
            torch.cuda.reset_peak_memory_stats()
        summary = io.StringIO()
        start = time.perf_counter()
        with contextlib.redirect_stdout(summary), contextlib.redirect_stderr(io.StringIO()):
            status = cli_main(["upscale", str(source), str(target), "--model", str(model)])
        seconds = time.perf_counter() - start
        assert status == 0 and len(list(target.iterdir())) == images, (status, summary.getvalue())
        line = summary.getvalue().strip().splitlines()[-1]
        peak = re.search(r"peak device memory (.*)$", line)
        peak = peak.group(1) if peak else "not reported"

        # The Upscaler alone, the model loaded once: decoded image in, 8-bit result out.
        reporter = Reporter(quiet=True)
        work = TiledModel(load_backend(str(model), 0, None, reporter), 128, 16, 8, reporter)
        image = cp.asarray(rng.random((height, width, 3), dtype=np.float32))
        upscaler = wall(lambda: work([image], None, np.uint8), images)
    print(f"{f'command: upscale {images} x {width}x{height} x4':48s} {images / seconds:7.2f} images/s "
          f"({seconds:.2f} s, model load and PNGs included; Compact {num_feat}nf {num_conv}nc); "
          f"peak device memory {peak}")
    print(f"{'  its summary line':48s} {line}")
    print(f"{f'Upscaler alone, {width}x{height} x4 to 8 bits':48s} {1 / upscaler:7.2f} images/s "
          f"({upscaler * 1e3:.1f} ms per image)")
    return [{"name": "command upscale", "images_per_second": images / seconds, "seconds": seconds, "peak": peak,
             "summary": line}, {"name": "Upscaler alone", "images_per_second": 1 / upscaler, "seconds": upscaler}]


def run_ndi(width: int, height: int, repeat: int) -> list[dict]:
    """NDI frames to BGR and back, one line per FourCC and direction; bw counts the frame's bytes and the image's."""
    from quorvex.color import ndi

    image = cp.asarray(np.random.default_rng(0).random((height, width, 4), dtype=np.float32))
    copy_target = cp.empty_like(image[..., :3])
    copy = timed(lambda: cp.copyto(copy_target, image[..., :3]), repeat)
    report = Report(2 * copy_target.nbytes / copy)
    for fourcc in ndi.FOURCCS:
        frame = ndi.from_bgr(image, fourcc)
        out = ndi.to_bgr(frame, fourcc, width, height)
        moved = frame.nbytes + out.nbytes
        report.add(f"ndi.to_bgr {fourcc} {width}x{height}", timed(lambda: ndi.to_bgr(frame, fourcc, width, height), repeat),
                   moved, fn=lambda: ndi.to_bgr(frame, fourcc, width, height))
        source = image[..., : out.shape[2]].copy()
        report.add(f"ndi.from_bgr {fourcc} {width}x{height}", timed(lambda: ndi.from_bgr(source, fourcc), repeat),
                   moved, fn=lambda: ndi.from_bgr(source, fourcc))
    return report.rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="tiny images, to check the script")
    parser.add_argument("--only", choices=["kernels", "detector", "face", "tiling", "video", "ndi", "live", "command",
                                           "pipeline"], help="run one group")
    args = parser.parse_args()
    if args.only in (None, "kernels"):
        run(64, 36, repeat=2) if args.small else run(3840, 2160, repeat=50)
    if args.only in (None, "detector"):
        run_detector(320, 180, repeat=2) if args.small else run_detector(1920, 1080, repeat=50)
    if args.only in (None, "face"):
        run_paste(320, 180, repeat=2) if args.small else run_paste(1920, 1080, repeat=50)
        run_face_pipeline(320, 180, repeat=2) if args.small else run_face_pipeline(1920, 1080, repeat=50)
        run_face_frames(320, 180, 64, repeat=1) if args.small else run_face_frames(1920, 1080, 512, repeat=20)
    if args.only in (None, "tiling"):
        from tiling import run_blender, run_tiling

        run_tiling(320, 180, repeat=1, num_feat=8, num_conv=2) if args.small else run_tiling(1920, 1080, repeat=20)
        run_blender(200, 120, repeat=1) if args.small else run_blender(3840, 2160, repeat=5)  # what the command uses
    if args.only in (None, "video"):
        from video import run_video

        run_video(64, 36, repeat=2) if args.small else run_video(3840, 2160, repeat=50)
    if args.only in (None, "ndi"):
        run_ndi(64, 36, repeat=2) if args.small else run_ndi(1920, 1080, repeat=50)
    if args.only in (None, "live"):
        from live import run_live

        run_live(64, 32, frames=20, rate=30) if args.small else run_live(1920, 1080, frames=300, rate=60)
    if args.only in (None, "command"):
        run_command(160, 96, images=2, num_feat=4, num_conv=1) if args.small else run_command(3840, 2160, images=2)
    if args.only in (None, "pipeline"):
        from pipeline import run_pipeline

        run_pipeline(args.small)
    return 0


if __name__ == "__main__":
    sys.exit(main())
