"""Every kernel of every module through NVIDIA's run-time compiler, for each GPU generation we support.

No GPU is needed: NVRTC compiles to machine code and ptxas reports each kernel's registers and
local memory. A kernel must compile without warnings, declare the block size it is launched with
(``__launch_bounds__``), fit that block with registers to spare and never spill to local memory.
The hot image kernels also keep their PTX (what NVRTC hands ptxas) under instruction ceilings.

Where the real CuPy is installed (the suite itself runs on the stand-in here), the text goes
through CuPy's own NVRTC program with the options its RawKernel compiles with, in a child process
that imports the real CuPy; otherwise through NVRTC's bindings directly.
"""

import atexit
import importlib
import importlib.util
import json
import os
import pkgutil
import re
import subprocess
import sys
import tempfile

import pytest

import quorvex

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools"))
import machine_code  # noqa: E402

nvrtc = pytest.importorskip("cuda.bindings.nvrtc")

# CuPy's compile path for a RawKernel without a device: cupy.cuda.compiler picks the
# architecture from the device, so the program is made with the options it would add
# (-ftz=true, -arch=sm_XX for a cubin, --device-as-default-execution-space).
CUPY_WORKER = r"""
import io, json, sys
from cupy.cuda import compiler
from cupy_backends.cuda.libs import nvrtc
print(json.dumps({"cupy": __import__("cupy").__version__}), flush=True)
for line in sys.stdin:
    job = json.loads(line)
    options = ("-ftz=true", "-arch=sm_%d" % job["arch"], "--device-as-default-execution-space",
               "--ptxas-options=-v")
    log = io.StringIO()
    try:
        program = compiler._NVRTCProgram(job["text"], "", (), (), name_expressions=None, method="cubin")
        program.compile(options, log)
        ptx = nvrtc.getPTX(program.ptr).decode().rstrip("\0")
        reply = {"ok": True, "log": log.getvalue().rstrip("\0"), "ptx": ptx}
    except compiler.CompileException as e:
        reply = {"ok": False, "log": str(e)}
    print(json.dumps(reply), flush=True)
"""


def _real_cupy_worker():
    """A child process compiling through the real CuPy, or None where it is not installed."""
    if importlib.util.find_spec("cupy_backends") is None and not any(
        os.path.isdir(os.path.join(p, "cupy_backends")) for p in sys.path if p
    ):
        return None
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)  # the real package, not the stand-ins
    libs = [os.path.join(d, "cu13", "lib") for d in (importlib.util.find_spec("nvidia").submodule_search_locations or [])]
    env["LD_LIBRARY_PATH"] = os.pathsep.join(libs + [env.get("LD_LIBRARY_PATH", "")])
    worker = subprocess.Popen([sys.executable, "-c", CUPY_WORKER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True, env=env, cwd=tempfile.gettempdir())
    hello = worker.stdout.readline()
    if not hello:
        worker.wait()
        return None
    atexit.register(worker.kill)
    return worker

ARCHITECTURES = (75, 80, 86, 89, 90, 100, 120)
REGISTERS_PER_BLOCK = 65536


def kernel_sources():
    """(module, attribute, text) for every ``*_code`` string the package exports."""
    found = []
    for info in pkgutil.walk_packages(quorvex.__path__, "quorvex."):
        leaf = info.name.rsplit(".", 1)[-1]
        if leaf.startswith("lib") or leaf == "__main__":
            continue  # shared libraries beside the modules, and the command's entry
        module = importlib.import_module(info.name)
        for name, value in sorted(vars(module).items()):
            if name.endswith("_code") and isinstance(value, str):
                found.append((info.name, name, value))
    return found


def _cached(compile):
    """compile(text, name, arch) kept on disk under the stand-in's kernel cache: NVRTC's output
    is a function of the text, the options (the compiling code) and the compiler's versions."""
    import hashlib
    import importlib.metadata
    import inspect
    import pickle

    versions = sorted((d.metadata["Name"], d.version) for d in importlib.metadata.distributions()
                      if d.metadata["Name"].lower().startswith(("cupy", "nvidia-cuda-nvrtc", "cuda-bindings")))
    how = (inspect.getsource(compile), CUPY_WORKER)
    folder = os.path.join(os.environ.get("QUORVEX_STANDIN_CACHE") or os.path.expanduser("~/.cache/quorvex-standin"),
                          "nvrtc")

    def cached(text, name, arch):
        key = hashlib.sha256(repr((text, name, arch, CUPY is None, versions, how)).encode()).hexdigest()[:32]
        path = os.path.join(folder, key + ".pickle")
        try:
            with open(path, "rb") as f:
                return pickle.load(f)
        except (OSError, EOFError, pickle.UnpicklingError):
            pass
        result = compile(text, name, arch)  # failures are not kept
        os.makedirs(folder, exist_ok=True)
        with tempfile.NamedTemporaryFile("wb", dir=folder, delete=False) as f:
            pickle.dump(result, f)
        os.replace(f.name, path)  # atomic: test workers may race here
        return result

    return cached


@_cached
def compile_for(text, name, arch):
    """NVRTC's log for the text compiled to sm_<arch> machine code, with ptxas's report, and the PTX."""
    if CUPY is not None:
        CUPY.stdin.write(json.dumps({"text": text, "arch": arch}) + "\n")
        CUPY.stdin.flush()
        reply = json.loads(CUPY.stdout.readline())
        assert reply["ok"], reply["log"]
        return reply["log"], reply["ptx"]
    err, program = nvrtc.nvrtcCreateProgram(text.encode(), f"{name}.cu".encode(), 0, [], [])
    assert err == nvrtc.nvrtcResult.NVRTC_SUCCESS
    try:
        options = [b"-ftz=true", f"-arch=sm_{arch}".encode(), b"--device-as-default-execution-space",
                   b"--ptxas-options=-v"]
        (result,) = nvrtc.nvrtcCompileProgram(program, len(options), options)
        err, size = nvrtc.nvrtcGetProgramLogSize(program)
        log = bytearray(size)
        nvrtc.nvrtcGetProgramLog(program, log)
        log = bytes(log).rstrip(b"\0").decode()
        assert result == nvrtc.nvrtcResult.NVRTC_SUCCESS, log
        err, size = nvrtc.nvrtcGetPTXSize(program)
        ptx = bytearray(size)
        nvrtc.nvrtcGetPTX(program, ptx)
        return log, bytes(ptx).rstrip(b"\0").decode()
    finally:
        nvrtc.nvrtcDestroyProgram(program)


def entry_reports(log):
    """{kernel: (registers, stack bytes, spill store bytes, spill load bytes)} from ptxas -v."""
    reports = {}
    for entry in re.finditer(r"Compiling entry function '(\w+)'(.*?)(?=Compiling entry function|\Z)", log, re.S):
        body = entry.group(2)
        frame = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", body)
        registers = re.search(r"Used (\d+) registers", body)
        reports[entry.group(1)] = (int(registers.group(1)), *map(int, frame.groups()))
    return reports


def launch_bounds(text):
    """{kernel: threads per block} declared by the kernels' ``__launch_bounds__``."""
    kernels = re.findall(r'extern\s+"C"\s+__global__\s+void\s+(?:__launch_bounds__\((\d+)[^)]*\)\s+)?(\w+)\s*\(', text)
    return {name: int(bound) if bound else None for bound, name in kernels}


SOURCES = kernel_sources()
CUPY = _real_cupy_worker()


def test_every_module_kernel_is_found():
    names = {name for _, _, text in SOURCES for name in launch_bounds(text)}
    assert {"rgb_to_grayscale_kernel", "area_kernel", "resize_lanczos4_kernel", "merge_tiles_kernel"} <= names


@pytest.mark.parametrize("arch", ARCHITECTURES)
@pytest.mark.parametrize("module, attribute, text", SOURCES, ids=[f"{m}.{a}" for m, a, _ in SOURCES])
def test_kernel_compiles_and_fits(module, attribute, text, arch):
    bounds = launch_bounds(text)
    log, _ = compile_for(text, attribute, arch)
    assert "warning" not in log, log
    reports = entry_reports(log)
    for kernel, threads in bounds.items():
        assert threads, f"{kernel} declares no __launch_bounds__"
        registers, stack, spill_stores, spill_loads = reports[kernel]
        assert (spill_stores, spill_loads, stack) == (0, 0, 0), f"{kernel} uses local memory at sm_{arch}"
        # At the cap ptxas had to squeeze the kernel into the block: no headroom left.
        assert registers * threads < REGISTERS_PER_BLOCK, f"{kernel}: {registers} registers x {threads} threads"


# IEEE divisions, remainders, reciprocals and square roots (ptxas expands each into a sequence
# with a called slow path), and sin/cos.
SLOW = re.compile(r"(div|rem|rcp|sqrt)\.(?!full)(?!.*approx)|(sin|cos)\.")


def machine_code_counts(text):
    """SASS counts per kernel at sm_90 (tools/machine_code.py), or None without cuobjdump."""
    try:
        tool = machine_code.cuobjdump()
    except ImportError:
        return None
    if not os.path.exists(tool):
        return None
    return machine_code.sass_counts(machine_code.sass(machine_code.cubin(text, 90)))


def ptx_counts(ptx):
    """{kernel: (instructions, slow, FP64, global loads)} from a PTX text.

    Instructions are the entry's executable statements (no directives, labels or declarations).
    The other three are counted on the per-pixel path: after the first barrier in a kernel that
    first stages its weights in shared memory, else the whole kernel. FP64 means arithmetic and
    conversions; loads are counted in the code, once even when in a loop.
    """
    counts = {}
    for entry in re.finditer(r"^\.visible \.entry (\w+)\((.*?)^\}", ptx, re.S | re.M):
        ops = []
        for statement in re.sub(r"//[^\n]*", "", entry.group(2)).split(";"):
            statement = re.sub(r"^(\s*(\$\w+:|[{}]))*\s*", "", statement)
            if statement and not statement.startswith("."):
                ops.append(re.sub(r"^@!?%\w+\s+", "", statement).split()[0])
        barrier = next((i for i, op in enumerate(ops) if op.startswith(("bar.", "barrier."))), -1)
        pixel = ops[barrier + 1:]
        counts[entry.group(1)] = (
            len(ops),
            sum(1 for op in pixel if SLOW.match(op)),
            sum(1 for op in pixel if "f64" in op and not op.startswith(("ld.", "st.", "mov."))),
            sum(1 for op in pixel if op.startswith("ld.global")),
        )
    return counts


# Ceilings of the hot image kernels at sm_90 (H100/H200), a little above what they compile to:
# registers (above them fewer blocks fit a multiprocessor than the memory traffic needs); per
# element type (float32, uint8, uint16, float16) PTX instructions and FP64 operations per pixel;
# then, for every type, slow operations and global loads per pixel. Lanczos-4 makes its weights
# (sinpi/cospi, divisions, its position rounded to float) once per column and row of a block
# before its barrier, none per pixel; the blur reads its input patch (reflected only in the
# tiles at the image's edges, by a remainder for taps an image length out) and then only shared
# memory, its whole steps of taps unrolled
# without tests (more code, fewer instructions run); the linear samplers form
# OpenCV's positions in double once per column and row of a block, none per pixel; the area
# samplers take their size ratios from the host instead of dividing per pixel; integer stores of
# 0..1 values round the exact product in float arithmetic, without FP64. The separable Lanczos-4
# kernel makes its weights the same way and then a column of a strip a thread, each input pixel
# loaded once into shared memory and each row filtered once, the last 8 rows' sums of a column
# in registers (more registers, no shared loads for them). Paste takes float32 alone. The last
# column: SASS instructions per element type at sm_90, counted from cuobjdump's listing.
CEILINGS = [
    ("quorvex.transform.resize", "resize_nearest_kernel_code", 40, (120, 145, 150, 280), (0, 0, 0, 0), 0, 5,
     (230, 315, 320, 260)),
    ("quorvex.transform.resize", "resize_cubic_kernel_code", 64, (275, 285, 300, 730), (0, 0, 0, 0), 0, 16,
     (345, 350, 365, 675)),
    ("quorvex.transform.resize", "resize_lanczos4_kernel_code", 64, (1570, 1670, 1745, 3150), (0, 0, 0, 0), 0, 92,
     (1845, 1885, 1995, 2895)),
    ("quorvex.transform.resize", "resize_lanczos4_rows3_kernel_code", 84, (1080, 1145, 1155, 2540), (0, 0, 0, 0), 0,
     24, (1200, 1255, 1275, 2225)),
    ("quorvex.transform.resize", "resize_linear_kernel_code", 48, (310, 310, 320, 335), (0, 0, 0, 0), 0, 22,
     (315, 290, 300, 310)),
    ("quorvex.transform.resize", "resize_linear3_kernel_code", 48, (210, 255, 260, 760), (0, 0, 0, 0), 0, 12,
     (200, 225, 230, 615)),
    ("quorvex.transform.resize", "resize_cubic3_kernel_code", 48, (340, 395, 395, 1750), (0, 0, 0, 0), 0, 48,
     (350, 420, 405, 1380)),
    ("quorvex.filter.gaussian", "gaussian_kernel_code", 64, (1510, 1710, 1720, 2030), (0, 0, 0, 0), 6, 7,
     (1560, 1690, 1700, 1890)),
    ("quorvex.transform.affine", "affine_linear_kernel_code", 48, (270, 380, 385, 345), (0, 0, 0, 0), 0, 22,
     (325, 360, 360, 330)),
    ("quorvex.utils.blob", "blob_linear_kernel_code", 48, (540, 380, 385, 490), (0, 0, 0, 0), 0, 26,
     (580, 370, 385, 435)),
    ("quorvex.transform.resize", "resize_area_kernel_code", 48, (440, 510, 500, 720), (0, 0, 0, 0), 0, 32,
     (700, 470, 455, 570)),
    ("quorvex.utils.blob", "blob_area_kernel_code", 48, (655, 815, 800, 1010), (0, 0, 0, 0), 0, 38,
     (1230, 745, 720, 785)),
    # float32 only: every crop's mask and pixels sampled, the frame pixel kept in registers
    ("quorvex.face.paste", "paste_kernel_code", 72, (530,), (0,), 0, 44, (520,)),
]


@pytest.mark.parametrize("module, attribute, registers, instructions, fp64, slow, loads, sass", CEILINGS,
                         ids=[a for _, a, *_ in CEILINGS])
def test_hot_kernels_stay_under_their_ceilings(module, attribute, registers, instructions, fp64, slow, loads, sass):
    text = getattr(importlib.import_module(module), attribute)
    log, ptx = compile_for(text, attribute, 90)
    reports, counts = entry_reports(log), ptx_counts(ptx)
    kernel = attribute[: -len("_code")]
    names = [kernel + suffix for suffix in ("", "_uint8", "_uint16", "_float16")][: len(instructions)]
    assert sorted(reports) == sorted(counts) == sorted(names)
    over = {}
    for name, most, most_fp64 in zip(names, instructions, fp64):
        found = dict(zip(("registers", "instructions", "slow", "fp64", "loads"), (reports[name][0], *counts[name])))
        top = dict(registers=registers, instructions=most, slow=slow, fp64=most_fp64, loads=loads)
        over.update({f"{name} {what}": (found[what], top[what]) for what in top if found[what] > top[what]})
    # What ptxas made of it (SASS): instructions, and FP64 on the per-pixel path.
    machine = machine_code_counts(text)
    for name, most, most_fp64 in zip(names, sass, fp64):
        if machine is not None and machine[name].instructions > most:
            over[f"{name} SASS instructions"] = (machine[name].instructions, most)
        if machine is not None and machine[name].fp64 > most_fp64:
            over[f"{name} SASS FP64"] = (machine[name].fp64, most_fp64)
    assert not over, f"over the ceilings (found, ceiling): {over}"


def test_quantizing_to_integers_needs_no_fp64_but_for_float64_images():
    from quorvex.utils import dtypes

    _, ptx = compile_for(dtypes.quantize_double_kernel_code, "quantize_double_kernel_code", 90)
    fp64 = {name: count[2] for name, count in ptx_counts(ptx).items()}
    assert fp64.pop("quantize_double_kernel") > 0 and len(fp64) == 6 and not any(fp64.values()), fp64
