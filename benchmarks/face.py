"""The face path: the detector's own work, paste back, the swapper's and the enhancer's own work
per face, and whole frames of 1 and 10 faces through swap_faces."""

from __future__ import annotations

import math

import cupy as cp
import numpy as np
from timing import counts, tests_on_path, timed


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
    from quorvex.pipeline.face_models import ort_device
    from quorvex.pipeline.reporting import Silent
    from quorvex.pipeline.swap import swap_faces

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
