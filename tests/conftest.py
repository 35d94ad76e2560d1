"""Runs the suite on a real GPU when one is usable, otherwise on the CPU stand-ins.

QUORVEX_TEST_STREAM picks the stream each test runs on: unset, CuPy's legacy
default stream; "nonblocking", a non-blocking stream of its own; "per-thread",
the per-thread default stream. The package must order its work on whichever
stream is current. QUORVEX_NO_POOL=1 on a GPU makes every array its own
allocation (for compute-sanitizer).

The stream mode only matters to tests that queue device work in this process
(or in processes they start, which inherit per-thread default streams), so the
run on the legacy default stream can list them (--record-stream-tests FILE)
and the other modes run just those (--stream-tests FILE). Argument, file and
model tests run once.
"""

import os
import subprocess
import sys
import tempfile

import pytest

# The tests' support package, and the stand-ins (standin/) at the repository's root.
sys.path[:0] = [os.path.dirname(__file__), os.path.dirname(os.path.dirname(os.path.abspath(__file__)))]

# pytest-xdist workers already share the cores: OpenMP teams of a full core count each (the
# stand-in's kernel launches, torch) would spin-wait against one another and run slower than
# one thread. Set before anything loads an OpenMP runtime; child processes inherit it.
if "PYTEST_XDIST_WORKER_COUNT" in os.environ:
    _cores = (os.cpu_count() or 1) // int(os.environ["PYTEST_XDIST_WORKER_COUNT"])
    os.environ.setdefault("OMP_NUM_THREADS", str(max(1, _cores)))

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


# Set for the child processes of a recording run (below), never for the run's own processes.
# (Not a QUORVEX_ name: the command forwards those to its Ray workers, which changes how they start.)
os.environ.pop("STANDIN_DEVICE_LOG", None)
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


def pytest_addoption(parser):
    group = parser.getgroup("quorvex")
    group.addoption("--record-stream-tests", metavar="FILE",
                    help="on the legacy default stream: append the tests whose result may depend on the stream mode")
    group.addoption("--stream-tests", metavar="FILE",
                    help="in another stream mode: run only the tests that FILE lists for it")


_TEST_ID = pytest.StashKey[str]()
_spawns = [0]  # processes started so far, from any thread (Ray starts its own)
_children_log = [None]  # where child processes on the stand-in say they used the device
_spawning_fixtures = set()


def _count_spawns():
    start = subprocess.Popen.__init__

    def counted(self, *args, **kwargs):
        _spawns[0] += 1
        return start(self, *args, **kwargs)

    subprocess.Popen.__init__ = counted


@pytest.hookimpl(wrapper=True)
def pytest_fixture_setup(fixturedef, request):
    # A test that uses a process started by a fixture (a Ray cluster) depends on what it inherited.
    before = _spawns[0]
    try:
        return (yield)
    finally:
        if _spawns[0] != before:
            _spawning_fixtures.add(fixturedef.argname)


def pytest_configure(config):
    record, only = config.getoption("record_stream_tests"), config.getoption("stream_tests")
    if record and STREAM_MODE:
        raise pytest.UsageError("--record-stream-tests belongs to the run on the legacy default stream")
    if only and not STREAM_MODE:
        raise pytest.UsageError("--stream-tests needs QUORVEX_TEST_STREAM")
    if only and not os.path.exists(only):
        raise pytest.UsageError("--stream-tests: %s does not exist (made by --record-stream-tests)" % only)
    if record:
        config.option.record_stream_tests = os.path.abspath(record)  # tests may change directory
        _count_spawns()
        # Child processes on the stand-in append their pid here when they first queue device work.
        fd, path = tempfile.mkstemp(prefix="quorvex-children-", suffix=".txt")
        os.close(fd)
        os.environ["STANDIN_DEVICE_LOG"] = _children_log[0] = path


def pytest_unconfigure(config):
    if _children_log[0]:
        os.remove(_children_log[0])
        os.environ.pop("STANDIN_DEVICE_LOG", None)


@pytest.hookimpl(tryfirst=True)  # before pytest-xdist renames grouped tests
def pytest_collection_modifyitems(config, items):
    for item in items:
        item.stash[_TEST_ID] = item.nodeid
    # Tests that pytest-xdist keeps together (one Ray cluster, NDI on loopback) run one after
    # another on one worker: they go first, so that the other workers take the rest meanwhile
    # instead of waiting for that worker at the end.
    items.sort(key=lambda item: item.get_closest_marker("xdist_group") is None)
    only = config.getoption("stream_tests")
    if only:
        # Device work depends on every mode; started processes only see the per-thread one.
        kinds = ("device", "process") if STREAM_MODE == "per-thread" else ("device",)
        with open(only) as f:
            wanted = {test for kind, test in (line.rstrip("\n").split(" ", 1) for line in f) if kind in kinds}
        kept = [item for item in items if item.nodeid in wanted]
        config.hook.pytest_deselected(items=[item for item in items if item.nodeid not in wanted])
        items[:] = kept
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
    record = item.config.getoption("record_stream_tests")
    children = _children_used_device() if record and not ON_GPU else 0
    try:
        if STREAM_MODE == "nonblocking":
            with cp.cuda.Stream(non_blocking=True):
                return (yield)
        if record and not ON_GPU:
            with standin.counting() as counts:
                try:
                    return (yield)
                finally:
                    device = counts.launches + counts.syncs + counts.uploads + counts.downloads > 0
                    _record(record, item, device, _children_used_device() != children)
        return (yield)
    finally:
        if record and ON_GPU:
            _record(record, item, True, True)  # a GPU cannot count: every test runs in every mode
        cp.cuda.runtime.deviceSynchronize()


def _children_used_device():
    """How many child processes of this one have queued device work so far."""
    with open(_children_log[0]) as f:
        return sum(1 for _ in f)


def _record(path, item, device, spawned):
    spawned = spawned or not _spawning_fixtures.isdisjoint(item.fixturenames)
    test = item.stash[_TEST_ID]
    lines = (["device %s\n" % test] if device else []) + (["process %s\n" % test] if spawned else [])
    if lines:
        with open(path, "a") as f:  # appends of whole lines: safe from parallel workers
            f.write("".join(lines))


_worker_api_names = set()  # what pytest-xdist workers touched, gathered by their controller


@pytest.hookimpl(tryfirst=True)
def pytest_sessionfinish(session, exitstatus):
    # What the run used of the stand-ins must exist in the real libraries (api_manifest.json).
    if ON_GPU:
        return
    from standin import _api

    if hasattr(session.config, "workeroutput"):  # a worker: its controller checks them
        session.config.workeroutput["quorvex_api_names"] = sorted(_api.touched)
        return
    names = session.config._quorvex_api_names = _api.touched | _worker_api_names
    problems = session.config._quorvex_api_problems = _api.problems(names)
    if problems and session.exitstatus == 0:
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    _worker_api_names.update(tuple(tuple(part) if isinstance(part, list) else part for part in name)
                             for name in getattr(node, "workeroutput", {}).get("quorvex_api_names", ()))


def pytest_terminal_summary(terminalreporter, config):
    if not ON_GPU and hasattr(config, "_quorvex_api_names"):
        from standin import _api

        checked = ", ".join("%s %d" % item for item in _api.coverage(config._quorvex_api_names).items())
        terminalreporter.write_line("names checked against the real APIs: " + (checked or "none"))
    problems = getattr(config, "_quorvex_api_problems", None)
    if problems:
        terminalreporter.section("names the real libraries lack (standin/api_manifest.json)", red=True)
        for line in problems:
            terminalreporter.line(line)
