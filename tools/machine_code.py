"""What ptxas makes of the package's kernels, read without a GPU: NVRTC compiles a kernel text to
a cubin, cuobjdump (from PATH, else the copy inside the triton wheel) prints its SASS, and
sass_counts() counts it per kernel.

    python tools/machine_code.py [SITE]     # the estimate table of the hot kernels (H100, 4K frames),
                                            # of the package installed under SITE if given

The estimate: a kernel takes at least the longer of its memory time (the bytes it must read and
write, at the copy rate) and its issue time (the SASS instructions on a thread's path, at 4 warp
instructions per multiprocessor and clock), given as a multiple of the copy time. Counted from
the static listing: a loop counts once unless EXECUTED gives its trips in the measured case (and
the share of warps that run each stretch between barriers), and where a kernel holds two paths
outside loops both count (too many), so it ranks kernels rather than times them.
"""

from __future__ import annotations

import collections
import os
import re
import shutil
import subprocess
import tempfile

# H100 SXM: 132 multiprocessors, 4 schedulers each issuing a warp instruction per clock at
# 1.755 GHz (the boost clock under load), 32 threads a warp; copy rate as measured by a
# device-to-device copy, not the 3.35 TB/s of the datasheet.
H100 = dict(sms=132, schedulers=4, clock=1.755e9, copy_rate=2.8e12)

INSTRUCTION = re.compile(r"/\*([0-9a-f]{4,})\*/\s+(?:@!?U?P[T0-9]+\s+)?([A-Z][A-Z0-9_.]*)([^;]*);")
FP64 = re.compile(r"^(D(ADD|MUL|FMA|SETP|MNMX)|[FI]2[FI]\..*F64|F2F\.F64|DSET)")
# loops: (first, last) instruction indices of each loop (a backward branch and its target), in the
# order of their branches; barriers: the indices of the barriers
Counts = collections.namedtuple("Counts", "instructions per_pixel fp64 loads stores loops barriers")


def cuobjdump() -> str:
    found = shutil.which("cuobjdump")
    if found:
        return found
    import triton  # carries NVIDIA's binary utilities

    return os.path.join(os.path.dirname(triton.__file__), "backends", "nvidia", "bin", "cuobjdump")


def cubin(text: str, arch: int) -> bytes:
    """The text compiled by NVRTC to sm_<arch> machine code, with the options CuPy's RawKernel uses."""
    from cuda.bindings import nvrtc

    err, program = nvrtc.nvrtcCreateProgram(text.encode(), b"kernel.cu", 0, [], [])
    try:
        options = [b"-ftz=true", f"-arch=sm_{arch}".encode(), b"--device-as-default-execution-space"]
        (result,) = nvrtc.nvrtcCompileProgram(program, len(options), options)
        if result != nvrtc.nvrtcResult.NVRTC_SUCCESS:
            raise RuntimeError(f"NVRTC: {result}")
        err, size = nvrtc.nvrtcGetCUBINSize(program)
        data = bytearray(size)
        nvrtc.nvrtcGetCUBIN(program, data)
        return bytes(data)
    finally:
        nvrtc.nvrtcDestroyProgram(program)


def sass(code: bytes) -> str:
    with tempfile.NamedTemporaryFile(suffix=".cubin") as f:
        f.write(code)
        f.flush()
        return subprocess.run([cuobjdump(), "-sass", f.name], capture_output=True, text=True, check=True).stdout


def access_width(opcode: str) -> int:
    """Bytes one LDG/STG moves: .U8/.S8 1, .U16/.S16 2, .64 8, .128 16, else 4."""
    for suffix, width in ((".128", 16), (".64", 8), (".U16", 2), (".S16", 2), (".U8", 1), (".S8", 1)):
        if suffix in opcode:
            return width
    return 4


def instructions_of(body: str) -> list[tuple[str, int | None]]:
    """A kernel's instructions in order, as (opcode, index of the branch target or None), without
    the padding NOPs and without the subroutines ptxas places after the last unpredicated EXIT:
    slow paths (of division and the like) that run only for special operands."""
    ends = [m.end() for m in re.finditer(r"\*/\s+EXIT\s*;", body)]
    placed = [(int(at, 16), op, operands) for at, op, operands in INSTRUCTION.findall(body[:ends[-1]] if ends else body)
              if op != "NOP"]
    index = {at: i for i, (at, _, _) in enumerate(placed)}
    found = []
    for _, op, operands in placed:
        target = re.findall(r"0x[0-9a-f]+", operands) if op.startswith("BRA") else []
        found.append((op, index.get(int(target[-1], 16)) if target else None))
    return found


def sass_counts(text: str) -> dict[str, Counts]:
    """Per kernel: its instructions, those on the per-pixel path (after the first barrier, as a
    kernel staging weights in shared memory has one), FP64 instructions on it, its global loads and
    stores by width {bytes: count}, its loops and its barriers."""
    counts = {}
    for name, body in re.findall(r"Function : (\w+)\n(.*?)(?=\n\s*Function : |\Z)", text, re.S):
        found = instructions_of(body)
        ops = [op for op, _ in found]
        barrier = next((i for i, op in enumerate(ops) if op.startswith("BAR")), -1)
        pixel = ops[barrier + 1:]
        loads = collections.Counter(access_width(op) for op in pixel if op.startswith("LDG"))
        stores = collections.Counter(access_width(op) for op in pixel if op.startswith("STG"))
        loops = [(target, i) for i, (_, target) in enumerate(found) if target is not None and target < i]
        counts[name] = Counts(len(ops), len(pixel), sum(1 for op in pixel if FP64.match(op)), dict(loads),
                              dict(stores), loops, [i for i, op in enumerate(ops) if op.startswith("BAR")])
    return counts


def estimate(counts: Counts, pixels: int, bytes_moved: int, machine=H100) -> float:
    """The bound on the time of making pixels pixels of counts.per_pixel instructions each, as a
    multiple of the copy time of bytes_moved."""
    issue = pixels * counts.per_pixel / (32 * machine["sms"] * machine["schedulers"] * machine["clock"])
    copy = bytes_moved / machine["copy_rate"]
    return max(issue, copy) / copy


# How kernels whose threads make several output pixels, loop or split their warps' work run in the
# measured case: output pixels a thread, the trips of each of the kernel's loops per entry (in the
# order of their branches), the share of the warps that run each
# stretch between barriers after the first, and the share that runs the stretch before the first
# (0: per block set-up, not counted). An instruction counts its loops' trips times the share of
# its stretch; where the loops found differ in number, loops count once.
Executed = collections.namedtuple("Executed", "pixels trips shares before", defaults=((), 0.0))


def lanczos4_rows(pixels: float, steps: float, loads: float, row_warps: int = 4) -> Executed:
    """The separable Lanczos-4 kernels' loops: the weights (columns, then rows in row_warps warps),
    each half step's staging and its 4 rows' outputs, the steps; stretches: set-up, then staging
    and rows twice."""
    rows = [pixels / steps / 8] * 4
    return Executed(pixels, [(8 + row_warps) / 8] + ([loads] + rows) * 2 + [steps], [1] * 5, 1)

# Three channels take the linear and cubic samplers of their own. Lanczos-4's separable kernels
# (lanczos4_rows): a thread makes a column of a strip, 18 strips of 120 rows for 4K (so that its
# 15 columns of blocks make at least 264 blocks), 33 of 33 rows for 1080p; before the first
# barrier every warp makes its column's weights and the warps of the strip's rows theirs too (4
# for 120 rows, 2 for 33); per step of 8 input rows, staged 4 at a time, a warp loads (the
# block's span of slots - 32 * warp) / 256 of them, rounded up (136 slots at x2: 0.625 on
# average; 178 at x1.5: 0.75; 486 at /2: 2), and each of the 8 rows' output loops runs pixels /
# steps / 8 times: 9 steps at x2, 11 at x1.5, 8.94 at /2. The blur's threads make 6 pixels of
# each of 3 channels (its channel loop); at k = 31 a 32 x 48 tile reads a patch of 62 x 78 pixels,
# a thread's column of it 19.5 rows, two a trip (9.5 trips), no tile of a 4K frame but its edge
# ones reflecting (their loops do not run); the 156 row tasks of 16 sums, 31 taps in one step of 16
# and the rest, keep 5 of the 8 warps busy, the column tasks of 8 sums, in 3 steps of 8 taps and
# the rest, 6. Paste, as the benchmark has it (the figures from its warp table): ten 512 x 512
# crops of faces 432 pixels wide, 8 degrees turned, 349 pixels apart across a 4K frame; each
# reaches a box of about 493 x 493 pixels, so a block's list holds 0.30 crops on average, and 77 %
# of a box's pixels fall in its crop, sampled by area (a crop pixel is 1.19 frame pixels wide:
# boxes of 2.19 rows and columns on average); thread 0 lists the 10 crops for its block (by 4, with
# 2 left over) while the other warps wait; every warp loads its pixels before the first barrier.
EXECUTED = {
    "quantize_float32_to_uint8": Executed(4, []),  # four elements a thread
    "resize_lanczos4_rows3_kernel_uint8": lanczos4_rows(120, 9, 0.625),
    "resize_lanczos4_rows3_kernel": lanczos4_rows(120, 9, 0.625),
    # the weights (before the first barrier), reflecting rows (two copies), the patch's rows (pairs)
    # and columns, the row and column steps, the channels; stretches: patch, rows, their sums
    # stored, columns
    "gaussian_kernel": Executed(6, [1, 1, 0, 0, 0, 0, 0, 0, 9.5, 1, 1, 3, 3], [1, 5 / 8, 5 / 8, 6 / 8]),
    # thread 0's list, the area sampler's columns and rows (for the 77 % inside), the list, the
    # crops in chunks of 256; stretches: the list, the blends, the store
    "paste_kernel": Executed(1, [2, 2.19, 0.77 * 2.19, 0.30, 1], [1 / 8, 1, 1], 1),
    # a thread per 4:2:0 chroma site, 4 pixels; NDI's decoder, a thread per pixel pair
    "planar8_encode_kernel_uint8": Executed(8, []),
    "yuv_decode_kernel": Executed(2, []),
}


def executed_per_pixel(kernel: str, counts: Counts, plan: Executed | None = None) -> float:
    """The instructions a pixel takes on the per-pixel path, loops counted as often as they run
    and stretches between barriers by the share of warps that run them, where the plan (else
    EXECUTED) knows them (else once, as the static count has them)."""
    plan = plan or EXECUTED.get(kernel, Executed(1, []))
    trips = plan.trips if len(plan.trips) == len(counts.loops) else [1] * len(counts.loops)
    first = counts.instructions - counts.per_pixel
    runs = [plan.before] * first + [1.0] * counts.per_pixel
    for (start, end), t in zip(counts.loops, trips):  # an inner loop's trips multiply its outer loop's
        for i in range(start, end + 1):
            runs[i] *= t
    edges = counts.barriers[1:] + [counts.instructions]
    for share, begin, end in zip(plan.shares, counts.barriers, edges):
        for i in range(begin + 1, end):
            runs[i] *= share
    return sum(runs) / plan.pixels


def hot_kernels():
    """(label, module, text attribute, kernel, output pixels, bytes read and written[, the plan of
    this case where it is not EXECUTED's]) at 3840x2160x3 (or to it, or from it)."""
    px = 3840 * 2160
    resize, blob, yuv = "quorvex.transform.resize", "quorvex.utils.blob", "quorvex.color.yuv"
    return [
        # three channels: the separable kernels
        ("Lanczos-4 x2, uint8 (1080p -> 4K)", resize, "resize_lanczos4_rows3_kernel_code",
         "resize_lanczos4_rows3_kernel_uint8", px, px * 3 + px * 3 // 4),
        ("Lanczos-4 x2, float32", resize, "resize_lanczos4_rows3_kernel_code", "resize_lanczos4_rows3_kernel", px,
         px * 15),
        ("Lanczos-4 x1.5, uint8 (1440p -> 4K)", resize, "resize_lanczos4_rows3_kernel_code",
         "resize_lanczos4_rows3_kernel_uint8", px, px * 3 + px * 3 * 4 // 9, lanczos4_rows(120, 11, 0.75)),
        ("Lanczos-4 /2, uint8 (4K -> 1080p)", resize, "resize_lanczos4_rows3_kernel_code",
         "resize_lanczos4_rows3_kernel_uint8", px // 4, px * 3 + px * 3 // 4, lanczos4_rows(32.73, 8.94, 2, 2)),
        ("linear resize x2, float32", resize, "resize_linear3_kernel_code", "resize_linear3_kernel", px, px * 15),
        ("cubic resize x2, float32", resize, "resize_cubic3_kernel_code", "resize_cubic3_kernel", px, px * 15),
        ("area resize /2, float32 (8K -> 4K)", resize, "resize_area_kernel_code", "resize_area_kernel", px, px * 60),
        ("Gaussian k=31, float32", "quorvex.filter.gaussian", "gaussian_kernel_code", "gaussian_kernel", px, px * 24),
        ("blob of a 4K frame, float32", blob, "blob_kernel_code", "blob_kernel", px, px * 24),
        ("paste, 10 faces into 4K", "quorvex.face.paste", "paste_kernel_code", "paste_kernel", px, px * 24),
        ("to_uint8 of float32", "quorvex.utils.dtypes", "quantize_float32_to_uint8_code", "quantize_float32_to_uint8", px * 3,
         px * 15),
        # a video's frames: NV12 from the decoder to BGR float32, BGR uint8 to NV12 for the
        # encoder, and NDI's UYVY
        ("NV12 -> BGR float32", yuv, "planar8_decode_kernel_code", "planar8_decode_kernel", px, px * 3 // 2 + px * 12),
        ("BGR uint8 -> NV12", yuv, "planar8_encode_kernel_uint8_code", "planar8_encode_kernel_uint8", px,
         px * 3 + px * 3 // 2),
        ("NDI UYVY -> BGR float32", "quorvex.color.ndi", "yuv_decode_kernel_code", "yuv_decode_kernel", px, px * 14),
    ]


def main() -> int:
    import importlib
    import sys

    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    import standin  # the module texts import without a GPU

    standin.install()
    if len(sys.argv) > 1:  # another build of the package, to compare
        sys.path.insert(0, sys.argv[1])
    print(f"{'kernel':38s} {'SASS/thread':>11s} {'run/pixel':>9s} {'loads by bytes':>24s} {'stores by bytes':>22s} "
          f"{'x copy':>7s}")
    for label, module, attribute, kernel, pixels, moved, *plan in hot_kernels():
        text = getattr(importlib.import_module(module), attribute)
        c = sass_counts(sass(cubin(text, 90)))[kernel]
        per_pixel = executed_per_pixel(kernel, c, *plan)
        bound = estimate(c._replace(per_pixel=per_pixel), pixels, moved)
        print(f"{label:38s} {c.per_pixel:11d} {per_pixel:9.1f} {str(c.loads):>24s} {str(c.stores):>22s} {bound:7.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
