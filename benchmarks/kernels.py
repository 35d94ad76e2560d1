"""The kernels against what a user would write instead: float32 against PyTorch, Lanczos-4 and
uint8 images against OpenCV on the CPU, a device affine matrix against a host one."""

from __future__ import annotations

import math

import cupy as cp
import numpy as np
from timing import Report, counts, timed, wall


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

    # the estimate table's Lanczos-4 enlargements of 8-bit frames, 2x and 1.5x (its /2 is above)
    for small_w, small_h in ((w, h), (width * 2 // 3, height * 2 // 3)):
        small_host = np.ascontiguousarray(host[:small_h, :small_w])
        small = cp.asarray(small_host)

        def enlarge(small=small):
            return rz.resize(small, (width, height), rz.INTER_LANCZOS4)

        report.add(f"resize LANCZOS4 uint8 {small_w}x{small_h}->{width}x{height}", timed(enlarge, repeat),
                   small.nbytes + image.nbytes,
                   wall(lambda: cv2.resize(small_host, (width, height), interpolation=cv2.INTER_LANCZOS4), repeat),
                   "cv2 CPU LANCZOS4", enlarge)

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
    # and the float32 blur of the estimate table
    floats_host = host.astype(np.float32) / 255
    floats = cp.asarray(floats_host)
    report.add(f"GaussianBlur.get float32 ksize 31 {width}x{height}",
               timed(lambda: blur.get(floats, 31, 0), repeat), 2 * floats.nbytes,
               wall(lambda: cv2.GaussianBlur(floats_host, (31, 31), 0), repeat), "cv2 CPU GaussianBlur",
               lambda: blur.get(floats, 31, 0))

    size = (max(h, 1), max(w, 1))
    mean = (0.0, 0.0, 0.0)  # integer blobs saturate: the resize and channel swap a detector's input needs
    report.add(f"to_blob uint8 {width}x{height}->{size[1]}x{size[0]}",
               timed(lambda: to_blob(image, 1.0, size, mean, swapRB=True), repeat), image.nbytes + h * w * 3,
               wall(lambda: cv2.dnn.blobFromImage(host, 1.0, (size[1], size[0]), mean, swapRB=True), repeat),
               "cv2.dnn CPU (float32 out)", lambda: to_blob(image, 1.0, size, mean, swapRB=True))
