"""Face swapping: the identity of one source face into the selected faces of frames.

    from quorvex.pipeline import FaceSwapper

    swapper = FaceSwapper("det.engine", "arcface.onnx", "inswapper.onnx", source="me.png")
    out = swapper.swap(frame)                      # a (H, W, 3) BGR device frame
    for out in swapper.frames(frames): ...         # a video, its faces tracked, the next frame read while one runs

Detection (TensorRT; an ONNX detector is built into an engine once, in quorvex's cache), the
source's embedding (ONNX Runtime or TensorRT, once), the swap network (its embedding map taken
from the model itself unless $QUORVEX_EMAP names one), optional restoration, and paste back
through a soft mask; only the selected faces' regions change.
"""

from __future__ import annotations

from .device import parse_device, require_gpu
from .errors import USAGE
from .errors import JobError as CliError
from .face_models import cached_emap, load_detector, load_enhancer, ort_device
from .models import ENGINE_SUFFIXES
from .reporting import Silent


def parse_faces(text: str):
    """'all', 'largest' or a count N (the N largest faces)."""
    if text in ("all", "largest"):
        return text
    if text.isdigit() and int(text) > 0:
        return int(text)
    raise CliError(f"--faces must be all, largest or a positive count, got {text!r}", USAGE)


def check_fraction(name: str, value, closed: bool) -> float:
    """value as a float in 0..1 (closed) or strictly between 0 and 1, else the option's error."""
    import math

    number = float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else math.nan
    if not (0 <= number <= 1 if closed else 0 < number < 1):
        bounds = "from 0 to 1" if closed else "between 0 and 1 (not 0 or 1)"
        raise CliError(f"--{name} must be a number {bounds}, got {value}", USAGE)
    return number


def select(faces, which):
    if which == "all":
        return faces
    area = lambda f: float((f.bbox[2] - f.bbox[0]) * (f.bbox[3] - f.bbox[1]))  # noqa: E731
    ordered = sorted(faces, key=area, reverse=True)
    return ordered[:1] if which == "largest" else ordered[:which]


def parse_det_size(value) -> tuple[int, int]:
    """--det-size as (width, height): "N" or "WxH" (or such a number or pair), multiples of 32
    (the detector's coarsest stride)."""
    try:
        if isinstance(value, str):
            parts = value.lower().split("x")
            sides = tuple(int(p) for p in parts) * (2 if len(parts) == 1 else 1)
        else:
            sides = (value, value) if isinstance(value, int) else tuple(value)
        if len(sides) != 2 or not all(isinstance(n, int) and not isinstance(n, bool) for n in sides):
            raise ValueError
    except (TypeError, ValueError):
        sides = ()
    if len(sides) != 2 or not all(32 <= n <= 4096 and n % 32 == 0 for n in sides):
        raise CliError(f"--det-size must be N or WxH, multiples of 32 from 32 to 4096, got {value}", USAGE)
    return sides


def parse_padding(value) -> tuple[float, float, float, float]:
    """--mask-padding as (top, right, bottom, left) percents: "P", "V,H", "T,R,B,L" (as CSS
    writes margins) or such numbers."""
    try:
        parts = [float(p) for p in value.split(",")] if isinstance(value, str) else [float(p) for p in value]
    except (TypeError, ValueError):
        parts = []
    sides = {1: parts * 4, 2: parts * 2, 4: parts}.get(len(parts), [])
    if not sides or not all(0 <= p <= 100 for p in sides):
        raise CliError(f"--mask-padding must be P, V,H or T,R,B,L percents from 0 to 100, got {value}", USAGE)
    return tuple(sides)


def rescale_matrix(matrix, source_size: int, target_size: int):
    """The frame -> crop matrix (or a stack of them) for the same crop resized from source_size to
    target_size pixels.

    Pixel centres sit at integer coordinates, so a crop position x becomes
    (x + 0.5) * target_size / source_size - 0.5, not a plain multiple of x.
    """
    import numpy as np

    ratio = target_size / source_size
    scaled = matrix * np.float32(ratio)
    scaled[..., 2] += np.float32(0.5 * ratio - 0.5)
    return scaled


def swap_faces(frame, source_face, detector, swapper, paster, enhancer=None, faces="all", crop_size=512,
               detections=None, latent=None, enhancer_blend=1.0):
    """The frame with the selected faces given the source face's identity; returns the new frame
    and the number of faces swapped.

    Only the regions of those faces change. All faces go through the swap network, the enhancer
    and the paste together, one batch each.

    Args:
        faces: which of the detected faces: 'all', 'largest', or how many of the largest.
        crop_size: the aligned crop size faces are detected with.
        detections: when given, the frame's faces as detector.get(frame, crop_size=crop_size)
            finds them.
        latent: when given, swapper.latent(source_face).
        enhancer_blend: the restored faces' share, the swapped faces (resized to the restored
            size) making up the rest.

    Returns:
        (new frame, number of faces swapped).
    """
    if detections is None:
        detections = detector.get(frame, crop_size=crop_size)
    selected = select(detections, faces)
    if not selected:
        return frame, 0
    if latent is None:
        latent = swapper.latent(source_face)
    swapped = swapper.get_many(selected, latent)  # (N, crop, crop, 3)
    matrices = [face.matrix for face in selected]
    if enhancer is not None:
        swapped, matrices = restore(swapped, selected, enhancer, enhancer_blend)
    return paster.get_many(frame, swapped, matrices), len(selected)


def restore(crops, faces, enhancer, blend: float = 1.0):
    """The (N, h, w, 3) crops of faces through the enhancer in one batch, blend the restored
    share (the crops, resized to the restored size, making up the rest), and the frame -> crop
    matrices moved onto the restored size: what paster.get_many takes."""
    import cupy as cp

    restored = enhancer.get_many(crops)
    if blend < 1:
        if restored.shape[1:3] != crops.shape[1:3]:
            from quorvex.transform.resize import resize

            crops = resize(crops, (restored.shape[2], restored.shape[1]))
        restored = restored * cp.float32(blend) + crops * cp.float32(1 - blend)
    matrices = [face.matrix for face in faces]
    stacked = cp.get_array_module(matrices[0]).stack(matrices)
    return restored, rescale_matrix(stacked, faces[0].image.shape[0], restored.shape[1])


class FaceSwapper:
    """The identity of a source face given to the selected faces of frames, the models loaded
    once on device.

    Args:
        detector: a face detector, a TensorRT engine or an ONNX model (built into an engine once,
            in quorvex's cache).
        embedder: the identity embedding, an ONNX model or a TensorRT engine.
        swapper: the swap network (ONNX); its embedding map is taken from it unless $QUORVEX_EMAP
            names one.
        source: an image file or a BGR image (host or device, float32 in 0..1 or 8-bit) holding
            the face to give, or a list of them (photos of one person: their identities are
            averaged).
        enhancer: a face-restoration model, ONNX or a PyTorch checkpoint spandrel builds as a
            face model (GFPGAN, CodeFormer, RestoreFormer), or None.
        faces: "all", "largest" or a count N (the N largest faces of each frame).
        device: "cuda" or "cuda:N".
        enhancer_blend: the restored faces' share, 0 to 1.
        det_thresh: the detector's score threshold; det_size: its input size, N or (width,
            height), for an ONNX detector built into an engine.
        reference: given as source is: only that person's faces are swapped, those whose
            embedding's cosine with the reference face's is at least similarity (then faces
            picks among them).
        mask_blur, mask_padding: the paste mask's feather and its (top, right, bottom, left)
            bands (PasteBack's blur and padding).
        source_name: the name messages give the source by.
        trust_model: allow the full unpickling an old enhancer checkpoint may need (it can run
            code from the file).
        reporter: where notes go (the command's reporter; by default the quorvex logger).

    Raises:
        JobError: a model or option it cannot run with, or a source without a face.
    """

    def __init__(self, detector, embedder, swapper, source, enhancer=None, faces="all", device: str = "cuda", *,
                 enhancer_blend: float = 1.0, det_thresh: float | None = None, det_size=None, reference=None,
                 similarity: float = 0.4, mask_blur: float | None = None, mask_padding=(0, 0, 0, 0),
                 source_name: str | None = None, trust_model: bool = False, reporter=None):
        device_id = parse_device(device)
        self.faces = parse_faces(str(faces))
        self.enhancer_blend = check_fraction("enhancer-blend", enhancer_blend, closed=True)
        if det_thresh is not None:
            check_fraction("det-thresh", det_thresh, closed=False)
        self.similarity = check_fraction("similarity", similarity, closed=True)
        det_size = None if det_size is None else parse_det_size(det_size)
        if mask_blur is not None:
            check_fraction("mask-blur", mask_blur, closed=True)
        mask_padding = parse_padding(mask_padding)
        self.reporter = reporter if reporter is not None else Silent()
        self.count = 0  # faces swapped so far
        require_gpu(device_id)
        from quorvex.face.paste import PasteBack
        from quorvex.face.swap import FaceSwap

        onnx_device = ort_device(device_id, self.reporter)
        embedder, swapper = str(embedder), str(swapper)
        import os

        emap_path = None if os.environ.get("QUORVEX_EMAP") else cached_emap(swapper, self.reporter)
        self.detector = load_detector(detector, device_id, self.reporter, det_size, det_thresh)
        with self.reporter.library_output():
            if embedder.lower().endswith(ENGINE_SUFFIXES):
                from quorvex.face.recognizer import TrtFaceEmbedding

                identity = TrtFaceEmbedding(model_path=embedder, device_id=device_id)
            else:
                from quorvex.face.embedding import FaceEmbedding

                identity = FaceEmbedding(model_path=embedder, device=onnx_device)
            self.swapper = FaceSwap(model_path=swapper, device=onnx_device, emap_path=emap_path)
            self.enhancer = load_enhancer(enhancer, device_id, onnx_device, trust_model) if enhancer else None
            self.paster = PasteBack(None if mask_blur is None else float(mask_blur), tuple(mask_padding))
            sources = list(source) if isinstance(source, (list, tuple)) else [source]
            names = source_name if isinstance(source_name, (list, tuple)) else [source_name] * len(sources)
            if not sources or len(names) != len(sources):
                raise ValueError(f"FaceSwapper() takes a source image or a list of them, got {source!r}")
            faces = []
            for given, name in zip(sources, names):
                found = self.detector.get(source_image(given))
                if not found:
                    name = name or (given if isinstance(given, str) or hasattr(given, "__fspath__") else "image")
                    raise CliError(f"--source {name}: no face found in this image")
                faces.append(identity.get(select(found, "largest")[0]))
            self.source_face = mean_identity(faces)
            self.latent = self.swapper.latent(self.source_face)
            self.identity, self.reference = identity, None
            if reference is not None:
                found = self.detector.get(source_image(reference, "--reference"))
                if not found:
                    raise CliError(f"--reference {reference if isinstance(reference, str) else 'image'}: no face "
                                   "found in this image")
                self.reference = self.embedding_of(select(found, "largest")[0])
        import cupy as cp

        # The source's identity is read by every later swap, whichever thread (and stream) runs it.
        cp.cuda.get_current_stream().synchronize()

    def embedding_of(self, face):
        """The face's unit identity embedding on the host (None for one without a direction)."""
        import numpy as np

        try:
            embedding = self.identity.get(face).normed_embedding
        except ValueError:
            return None
        return np.asarray(embedding.get() if hasattr(embedding, "get") else embedding, np.float64).ravel()

    def is_reference(self, face) -> bool:
        embedding = self.embedding_of(face)
        return embedding is not None and float(embedding @ self.reference) >= self.similarity

    def swap(self, frame, tracker=None):
        """The (H, W, 3) BGR float32 device frame with its selected faces swapped, as a new frame
        (the frame itself where it has none). tracker: a FaceTracker (tracker()) that follows the
        faces of one video from frame to frame, for steady landmarks and a choice of faces that
        stays with the same people; frames given without one are each on their own."""
        with self.reporter.library_output():
            if tracker is not None:
                detections, which = self.tracked_faces(frame, tracker), "all"
            else:
                detections, which = None, self.faces
                if self.reference is not None:  # the reference's faces only, the others left as they are
                    detections = [f for f in self.detector.get(frame, crop_size=512) if self.is_reference(f)]
            out, count = swap_faces(frame, self.source_face, self.detector, self.swapper, self.paster,
                                    self.enhancer, which, detections=detections, latent=self.latent,
                                    enhancer_blend=self.enhancer_blend)
        self.count += count
        return out

    def tracker(self):
        """A new FaceTracker, for one video's frames in order."""
        from .tracking import FaceTracker

        return FaceTracker()

    def tracked_faces(self, frame, tracker) -> list:
        """The frame's faces to swap, their landmarks smoothed by the tracker, chosen as in the
        frames before; the reference's faces only, each face asked once while it is followed."""
        from .tracking import select_tracked

        rows, tracks = tracker.update(self.detector.detect(frame))
        faces = self.detector.align(frame, rows, 512) if len(rows) else []
        if len(faces) != len(rows):  # a face that admits no alignment: row by row to keep the order
            faces = [(self.detector.align(frame, row[None], 512) or [None])[0] for row in rows]
        keep = [i for i, face in enumerate(faces) if face is not None]
        if self.reference is not None:
            for i in keep:
                if tracks[i].identity is None:
                    tracks[i].identity = self.is_reference(faces[i])
            keep = [i for i in keep if tracks[i].identity]
        chosen = select_tracked([rows[i] for i in keep], [tracks[i] for i in keep], self.faces)
        return [faces[keep[i]] for i in chosen]

    def frames(self, frames):
        """Each frame of an iterable (one video, in order), swapped with its faces tracked; the
        next frame is taken from it in a thread of its own while one is on the device."""
        from .stages import overlapped

        tracker = self.tracker()
        yield from overlapped(frames, lambda frame: self.swap(frame, tracker))


def mean_identity(faces):
    """The first face's record with the mean of all the faces' embeddings (the unit embeddings'
    mean normalised again): several photos of one person give a steadier identity than one."""
    if len(faces) == 1:
        return faces[0]
    import cupy as cp

    xp = cp.get_array_module(faces[0].normed_embedding)
    mean = xp.mean(xp.stack([xp.asarray(f.normed_embedding, xp.float32).ravel() for f in faces]), axis=0)
    norm = float(xp.linalg.norm(mean))
    if not norm > 0:
        raise CliError("--source: the source faces' identities cancel out (their mean embedding is zero)")
    face = faces[0]
    face.embedding = xp.mean(xp.stack([xp.asarray(f.embedding, xp.float32).ravel() for f in faces]), axis=0)
    face.normed_embedding = mean / norm
    return face


class FaceRestorer:
    """Every face of a frame restored by a face-restoration model and pasted back (what upscaling
    tools call face enhancement). blend: the restored faces' share, 0 to 1."""

    def __init__(self, detector, enhancer, device: str = "cuda", *, blend: float = 1.0, det_thresh=None,
                 trust_model: bool = False, reporter=None):
        device_id = parse_device(device)
        self.blend = check_fraction("enhancer-blend", blend, closed=True)
        self.reporter = reporter if reporter is not None else Silent()
        self.count = 0  # faces restored so far
        require_gpu(device_id)
        from quorvex.face.paste import PasteBack

        self.detector = load_detector(detector, device_id, self.reporter, det_thresh=det_thresh,
                                      purpose="restoring faces")
        with self.reporter.library_output():
            self.enhancer = load_enhancer(enhancer, device_id, ort_device(device_id, self.reporter), trust_model)
        self.paster = PasteBack()

    def restore(self, frame):
        """The (H, W, 3) BGR float32 device frame with its faces restored, as a new frame (the
        frame itself where it has none)."""
        import cupy as cp

        with self.reporter.library_output():
            faces = self.detector.get(frame, crop_size=512)
            if not faces:
                return frame
            crops, matrices = restore(cp.stack([face.image for face in faces]), faces, self.enhancer, self.blend)
            out = self.paster.get_many(frame, crops, matrices)
        self.count += len(faces)
        return out


def source_image(source, option: str = "--source"):
    """The source (or reference) face's image as a BGR float32 device image."""
    import cupy as cp
    import numpy as np

    if isinstance(source, (np.ndarray, cp.ndarray)):
        image = source
    else:
        import cv2

        image = cv2.imread(str(source), cv2.IMREAD_COLOR)  # grey and alpha as colour
        if image is None:
            raise CliError(f"{option} {source}: cannot read this image", USAGE)
    if image.ndim != 3 or image.shape[2] != 3:
        raise ValueError(f"FaceSwapper() takes a (height, width, 3) BGR {option[2:]} image, got {tuple(image.shape)}")
    image = cp.asarray(image)
    return image.astype(cp.float32) / 255 if image.dtype == cp.uint8 else cp.ascontiguousarray(image, cp.float32)
