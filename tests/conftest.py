"""Runs the suite on a real GPU when one is usable, otherwise on the CPU stand-ins.

QUORVEX_TEST_STREAM picks the stream each test runs on: unset, CuPy's legacy
default stream; "nonblocking", a non-blocking stream of its own; "per-thread",
the per-thread default stream. The package must order its work on whichever
stream is current. QUORVEX_NO_POOL=1 on a GPU makes every array its own
allocation (for compute-sanitizer).
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

STREAM_MODE = os.environ.get("QUORVEX_TEST_STREAM", "")
if STREAM_MODE not in ("", "nonblocking", "per-thread"):
    raise pytest.UsageError("QUORVEX_TEST_STREAM must be nonblocking or per-thread, got %r" % STREAM_MODE)
if STREAM_MODE == "per-thread":
    os.environ["CUPY_CUDA_PER_THREAD_DEFAULT_STREAM"] = "1"  # read by CuPy when it is imported


def _cuda_usable() -> bool:
    if os.environ.get("QUORVEX_STANDIN") == "1":
        return False
    try:
        import cupy

        return cupy.cuda.runtime.getDeviceCount() > 0
    except Exception:
        return False


ON_GPU = _cuda_usable()
import standin  # noqa: E402

if ON_GPU:
    standin.install_tensorrt()  # engines as ONNX models where TensorRT itself is missing
    standin.install_nvcodec()  # NVDEC/NVENC through PyAV where PyNvVideoCodec is missing
else:
    standin.install()

import cupy as cp  # noqa: E402

if ON_GPU and os.environ.get("QUORVEX_NO_POOL") == "1":
    cp.cuda.set_allocator(None)


def pytest_report_header(config):
    return "quorvex: %s, stream %s" % ("GPU" if ON_GPU else "CPU stand-ins", STREAM_MODE or "legacy default")


def pytest_collection_modifyitems(config, items):
    for item in items:
        if ON_GPU and "standin" in item.keywords:
            item.add_marker(pytest.mark.skip(reason="exercises the CPU stand-ins only"))
        if not ON_GPU and "gpu" in item.keywords:
            item.add_marker(pytest.mark.skip(reason="needs a CUDA device"))


@pytest.hookimpl(wrapper=True)
def pytest_runtest_call(item):
    # Fixtures were made on the default stream: the device synchronisation orders them
    # before the test, whose own work then runs on the stream of the mode.
    cp.cuda.runtime.deviceSynchronize()
    try:
        if STREAM_MODE == "nonblocking":
            with cp.cuda.Stream(non_blocking=True):
                return (yield)
        return (yield)
    finally:
        cp.cuda.runtime.deviceSynchronize()


@pytest.hookimpl(tryfirst=True)
def pytest_sessionfinish(session, exitstatus):
    # What the run used of the stand-ins must exist in the real libraries (api_manifest.json).
    if ON_GPU:
        return
    session.config._quorvex_api_problems = problems = standin.api_problems()
    if problems and session.exitstatus == 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter, config):
    if not ON_GPU:
        from standin import _api

        checked = ", ".join("%s %d" % item for item in _api.coverage().items())
        terminalreporter.write_line("names checked against the real APIs: " + (checked or "none"))
    problems = getattr(config, "_quorvex_api_problems", None)
    if problems:
        terminalreporter.section("names the real libraries lack (tests/standin/api_manifest.json)", red=True)
        for line in problems:
            terminalreporter.line(line)
