"""quorvex swap: the identity of one source face into the selected faces of images, folders and
videos: detection (TensorRT), source embedding (ONNX Runtime or TensorRT), the swap network,
optional restoration, and paste back through a soft mask."""

from __future__ import annotations

from . import media
from .common import USAGE, CliError, parse_device, require_gpu
from .models import ENGINE_SUFFIXES, model_kind, needs


def parse_faces(text: str):
    """'all', 'largest' or a count N (the N largest faces)."""
    if text in ("all", "largest"):
        return text
    if text.isdigit() and int(text) > 0:
        return int(text)
    raise CliError(f"--faces must be all, largest or a positive count, got {text!r}", USAGE)


def select(faces, which):
    if which == "all":
        return faces
    area = lambda f: float((f.bbox[2] - f.bbox[0]) * (f.bbox[3] - f.bbox[1]))  # noqa: E731
    ordered = sorted(faces, key=area, reverse=True)
    return ordered[:1] if which == "largest" else ordered[:which]


def rescale_matrix(matrix, source_size: int, target_size: int):
    """The frame -> crop matrix for the same crop resized from source_size to target_size pixels.

    Pixel centres sit at integer coordinates, so a crop position x becomes
    (x + 0.5) * target_size / source_size - 0.5, not a plain multiple of x.
    """
    import numpy as np

    ratio = target_size / source_size
    scaled = matrix * np.float32(ratio)
    scaled[:, 2] += np.float32(0.5 * ratio - 0.5)
    return scaled


def swap_faces(frame, source_face, detector, swapper, paster, enhancer=None, faces="all", crop_size=512,
               detections=None):
    """The frame with the selected faces given the source face's identity; returns the new frame
    and the number of faces swapped. Only the regions of those faces change. detections, when
    given, are the frame's faces as detector.get(frame, crop_size=crop_size) finds them."""
    if detections is None:
        detections = detector.get(frame, crop_size=crop_size)
    out, count = frame, 0
    for face in select(detections, faces):
        swapped = swapper.get(face, source_face)  # at the crop's size
        matrix = face.matrix
        if enhancer is not None:
            swapped = enhancer.get(swapped)
            # The restored face is larger than the crop: move the frame -> crop matrix onto it.
            matrix = rescale_matrix(matrix, face.image.shape[0], swapped.shape[0])
        out = paster.get(out, swapped, matrix)
        count += 1
    return out, count


def ort_device(device_id: int, reporter) -> str:
    ort = needs("onnxruntime", "onnxruntime")
    if "CUDAExecutionProvider" in ort.get_available_providers():
        return f"cuda:{device_id}"
    reporter.note("note: ONNX Runtime has no CUDA execution provider here, so the ONNX models run on the CPU "
                  "(pip install onnxruntime-gpu)")
    return "cpu"


def check_model(path: str, what: str, kinds: tuple[str, ...]) -> str:
    kind = model_kind(path)
    if kind not in kinds:
        raise CliError(f"--{what} {path}: expected {' or '.join(kinds)}, got a {kind} model", USAGE)
    return kind


def run(args, reporter) -> int:
    faces = parse_faces(args.faces)
    device_id = parse_device(args.device)
    check_model(args.detector, "detector", ("tensorrt",))
    check_model(args.embedder, "embedder", ("onnx", "tensorrt"))
    check_model(args.swapper, "swapper", ("onnx",))
    if args.enhancer:
        check_model(args.enhancer, "enhancer", ("onnx",))
    source = media.check_image_input(args.source, "--source")
    plan = media.plan(args.input, args.output, args.overwrite)
    if not plan.jobs:
        reporter.note(f"nothing to do: {plan.skipped} output(s) already there (--overwrite to redo)")
        reporter.summary("swapped 0 images", 0, "images", plan.skipped)
        return 0
    require_gpu(device_id)

    from quorvex.face.detector import TrtFaceDetection
    from quorvex.face.paste import PasteBack
    from quorvex.face.swap import FaceSwap

    onnx_device = ort_device(device_id, reporter)
    with reporter.library_output():
        detector = TrtFaceDetection(model_path=args.detector, device_id=device_id)
        if args.embedder.lower().endswith(ENGINE_SUFFIXES):
            from quorvex.face.recognizer import TrtFaceEmbedding

            embedder = TrtFaceEmbedding(model_path=args.embedder, device_id=device_id)
        else:
            from quorvex.face.embedding import FaceEmbedding

            embedder = FaceEmbedding(model_path=args.embedder, device=onnx_device)
        swapper = FaceSwap(model_path=args.swapper, device=onnx_device)
        enhancer = None
        if args.enhancer:
            from quorvex.face.embedding import session_arguments
            from quorvex.face.enhancer import GFPGAN

            enhancer = GFPGAN(args.enhancer, **session_arguments(onnx_device))
        paster = PasteBack()

        source_image, _ = media.read_image(source)
        found = detector.get(source_image)
        if not found:
            raise CliError(f"--source {args.source}: no face found in this image")
        source_face = embedder.get(select(found, "largest")[0])
        del source_image

    total_faces = 0

    def transform(frame, bar=None):
        nonlocal total_faces
        with reporter.library_output():
            out, count = swap_faces(frame, source_face, detector, swapper, paster, enhancer, faces)
        total_faces += count
        return out

    if plan.kind == "video":
        (source, target), = plan.jobs
        frames = media.process_video(source, target, transform, reporter, lambda size: size)
        reporter.summary(f"swapped {total_faces} faces in {frames} frames", frames, "frames")
        return 0

    with reporter.bar(len(plan.jobs), "image") as bar:
        for source, target in plan.jobs:
            frame, dtype = media.read_image(source)
            result = transform(frame)
            del frame
            media.write_image(target, result, dtype)
            reporter.memory.sample()
            del result
            bar.update(1)
    n = len(plan.jobs)
    reporter.summary(f"swapped {total_faces} faces in {n} image{'s' if n > 1 else ''}", n, "images", plan.skipped)
    return 0
