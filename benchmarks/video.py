"""Speed of the video frame conversions on the GPU, at 3840x2160 unless told otherwise.

    python benchmarks/video.py            # 3840x2160
    python benchmarks/video.py --small    # a tiny frame: checks that the script itself works

Each conversion is one kernel launch; "bw" is its share of the device's copy bandwidth (bytes
read plus written), "vs" its speed against the PyTorch code a user would write for the same
conversion (planes upsampled by nearest neighbour, a 3x3 matrix, a clamp), measured in the same
run. Where PyAV is installed, swscale's CPU time for the same conversion is printed beside it.
"""

from __future__ import annotations

import argparse
import pathlib
import sys
import time

import cupy as cp
import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from timing import Report, timed  # noqa: E402

# BT.709, video range: Y' in 16..235 and Cb, Cr in 16..240 at 8 bits.
KR, KB = 0.2126, 0.0722
DECODE = np.array([[1.0, 0.0, 2 - 2 * KR],
                   [1.0, -(2 - 2 * KB) * KB / (1 - KR - KB), -(2 - 2 * KR) * KR / (1 - KR - KB)],
                   [1.0, 2 - 2 * KB, 0.0]], np.float32)  # rows R, G, B from (Y, Cb, Cr)


def torch_decode(y, cb, cr, bits, rows_shared):
    """BGR float32 (H, W, 3) from planar video-range samples, written as a user would in torch."""
    import torch
    import torch.nn.functional as F

    top = float((1 << bits) - 1)
    scale = 255.0 / top
    luma = (y.float() * scale - 16.0) / 219.0
    chroma = torch.stack([cb, cr]).float().unsqueeze(0) * scale
    chroma = F.interpolate(chroma, scale_factor=(2 if rows_shared else 1, 2), mode="nearest")[0]
    chroma = (chroma[:, : y.shape[0], : y.shape[1]] - 128.0) / 224.0
    ycc = torch.cat([luma.unsqueeze(0), chroma])
    rgb = torch.einsum("ij,jhw->hwi", torch.as_tensor(DECODE, device=y.device), ycc)
    return rgb.flip(-1).clamp_(0, 1)


def torch_encode_nv12(bgr):
    """NV12 planes from a BGR float32 tensor, written as a user would in torch."""
    import torch
    import torch.nn.functional as F

    encode = torch.as_tensor(np.linalg.inv(DECODE), device=bgr.device)
    ycc = torch.einsum("ij,hwj->ihw", encode, bgr.flip(-1))
    y = (ycc[0] * 219 + 16).round().clamp(0, 255).to(torch.uint8)
    chroma = F.avg_pool2d(ycc[1:].unsqueeze(0), 2)[0] * 224 + 128
    uv = chroma.round().clamp(0, 255).to(torch.uint8).permute(1, 2, 0).reshape(chroma.shape[1], -1)
    return y, uv


def swscale_seconds(planes_nv12, width, height, repeat):
    """swscale's CPU time for NV12 -> BGR24 and back, or None without PyAV."""
    try:
        import av
    except ImportError:
        return None, None
    packed = np.concatenate([planes_nv12[0].get(), planes_nv12[1].get()])
    frame = av.VideoFrame.from_ndarray(packed, format="nv12")
    bgr = frame.reformat(format="bgr24")

    def clock(fn):
        fn()
        start = time.perf_counter()
        for _ in range(repeat):
            fn()
        return (time.perf_counter() - start) / repeat

    return clock(lambda: frame.reformat(format="bgr24")), clock(lambda: bgr.reformat(format="nv12"))


def run_video(width: int, height: int, repeat: int) -> list[dict]:
    import torch

    from quorvex.color import yuv

    cuda = torch.cuda.is_available()
    device = "cuda" if cuda else "cpu"
    image = cp.asarray(np.random.default_rng(0).random((height, width, 3), dtype=np.float32))
    copy_target = cp.empty_like(image)
    report = Report(2 * image.nbytes / timed(lambda: cp.copyto(copy_target, image), repeat))
    out_bytes = image.nbytes

    def tensor(a):
        return torch.as_tensor(a, device=device)

    nv12 = yuv.bgr_to_nv12(image)
    p10 = yuv.bgr_to_yuv422p10(image)
    uyvy = yuv.bgr_to_uyvy(image)
    v210 = yuv.bgr_to_v210(image)
    y_t, uv_t = tensor(nv12[0]), tensor(nv12[1])
    cb_t, cr_t = uv_t[:, 0::2], uv_t[:, 1::2]
    p10_t = [tensor(p) for p in p10]
    image_t = tensor(image)
    size = f"{width}x{height}"

    def nbytes(planes):
        return sum(p.nbytes for p in planes)

    rows = [
        report.add(f"nv12_to_bgr {size}", timed(lambda: yuv.nv12_to_bgr(*nv12), repeat), nbytes(nv12) + out_bytes,
                   timed(lambda: torch_decode(y_t, cb_t, cr_t, 8, True), repeat), "torch upsample+matrix"),
        report.add(f"yuv422p10_to_bgr {size}", timed(lambda: yuv.yuv422p10_to_bgr(*p10), repeat),
                   nbytes(p10) + out_bytes, timed(lambda: torch_decode(*p10_t, 10, False), repeat),
                   "torch upsample+matrix"),
        report.add(f"uyvy_to_bgr {size}", timed(lambda: yuv.uyvy_to_bgr(uyvy), repeat), uyvy.nbytes + out_bytes),
        report.add(f"v210_to_bgr {size}", timed(lambda: yuv.v210_to_bgr(v210, width), repeat), v210.nbytes + out_bytes),
        report.add(f"bgr_to_nv12 {size}", timed(lambda: yuv.bgr_to_nv12(image), repeat), nbytes(nv12) + out_bytes,
                   timed(lambda: torch_encode_nv12(image_t), repeat), "torch matrix+avg_pool"),
        report.add(f"bgr_to_v210 {size}", timed(lambda: yuv.bgr_to_v210(image), repeat), v210.nbytes + out_bytes),
    ]
    decode, encode = swscale_seconds(nv12, width, height, max(1, repeat // 10))
    if decode is not None:
        print(f"swscale on the CPU, same frame: nv12->bgr24 {decode * 1e6:.0f} us, bgr24->nv12 {encode * 1e6:.0f} us "
              f"({decode / rows[0]['seconds']:.1f}x and {encode / rows[4]['seconds']:.1f}x the kernels' time)")
    return rows


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--small", action="store_true", help="a tiny frame, to check the script")
    args = parser.parse_args()
    run_video(64, 36, repeat=2) if args.small else run_video(3840, 2160, repeat=50)
    return 0


if __name__ == "__main__":
    sys.exit(main())
