"""The stand-ins must fail where the GPU would, or the package's tests prove nothing."""

import os
import subprocess
import sys

import cv2
import numpy as np
import pytest

from standin import counting, install

# The folder holding the standin package (the repository's root), for processes of their own.
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

cp = install()

from cupy import _kernel  # noqa: E402  (the stand-in's own module, for the compile counter)
from cupy.cuda.compiler import CompileException  # noqa: E402

SCALE = r'''
extern "C" __global__ void scale2(const float* __restrict__ src, float* dst, int width, int height)
{
    const int x = blockIdx.x * blockDim.x + threadIdx.x;
    const int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    dst[y * width + x] = src[y * width + x] * 2.0f;
}
'''

UNGUARDED = SCALE.replace('if (x >= width || y >= height) return;', '')


@pytest.fixture
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv('QUORVEX_STANDIN_CACHE', str(tmp_path))
    return tmp_path


def grid_for(w, h, bx=16, by=16):
    return ((w + bx - 1) // bx, (h + by - 1) // by)


def test_kernel_runs_every_pixel_of_a_ragged_grid(cache):
    h, w = 37, 53  # neither a multiple of the 16x16 block
    src = cp.asarray(np.random.default_rng(0).random((h, w), dtype=np.float32))
    dst = cp.zeros((h, w), cp.float32)
    cp.RawKernel(SCALE, 'scale2')(grid_for(w, h), (16, 16), (src, dst, np.int32(w), np.int32(h)))
    np.testing.assert_array_equal(dst.get(), src.get() * 2)


def test_write_past_the_end_is_reported(cache):
    h, w = 37, 53
    src = cp.ones((h, w), cp.float32)
    dst = cp.zeros((h, w), cp.float32)
    kernel = cp.RawKernel(UNGUARDED, 'scale2')
    kernel(grid_for(w, h), (16, 16), (src, dst, np.int32(w), np.int32(h)))
    # Like a fault on the device, it surfaces when the stream's work completes.
    with pytest.raises(RuntimeError, match=r'kernel scale2 wrote outside argument 1 \(dst\)'):
        cp.cuda.get_current_stream().synchronize()


def test_in_place_launch_sees_one_buffer(cache):
    a = cp.arange(20, dtype=cp.float32).reshape(4, 5)
    expected = a.get() * 2
    cp.RawKernel(SCALE, 'scale2')((1, 1), (8, 8), (a, a, np.int32(5), np.int32(4)))
    np.testing.assert_array_equal(a.get(), expected)


def test_out_of_bounds_read_shows_up_as_nan(cache):
    shifted = SCALE.replace('src[y * width + x]', 'src[y * width + x + 1]')
    src = cp.ones((4, 5), cp.float32)
    dst = cp.zeros((4, 5), cp.float32)
    cp.RawKernel(shifted, 'scale2')((1, 1), (8, 8), (src, dst, np.int32(5), np.int32(4)))
    out = dst.get()
    assert np.isnan(out[-1, -1]) and not np.isnan(out[:-1]).any()


def _stream(kind):
    return {'null': cp.cuda.Stream.null, 'per-thread': cp.cuda.Stream.ptds,
            'blocking': cp.cuda.Stream(), 'non-blocking': cp.cuda.Stream(non_blocking=True)}[kind]


@pytest.mark.parametrize('writer, reader, order, ordered', [
    ('non-blocking', 'non-blocking', None, False),
    ('non-blocking', 'non-blocking', 'event', True),
    ('non-blocking', 'non-blocking', 'device', True),
    ('non-blocking', 'null', None, False),
    ('blocking', 'null', None, True),
    ('null', 'blocking', None, True),
    ('blocking', 'blocking', None, False),
    ('per-thread', 'non-blocking', None, False),
    ('per-thread', 'null', None, True),
])
def test_streams_order_work_as_cuda_does(cache, writer, reader, order, ordered):
    """A kernel on one stream writes; a copy to the host on another sees it only when ordered after it."""
    src = cp.asarray(np.arange(12, dtype=np.float32).reshape(3, 4))
    dst = cp.zeros((3, 4), cp.float32)
    cp.cuda.Device().synchronize()
    s1, s2 = _stream(writer), _stream(reader)
    cp.RawKernel(SCALE, 'scale2')((1, 1), (4, 4), (src, dst, np.int32(4), np.int32(3)), stream=s1)
    if order == 'event':
        s2.wait_event(s1.record())
    elif order == 'device':
        cp.cuda.Device().synchronize()
    seen = dst.get(stream=s2)
    np.testing.assert_array_equal(seen, src.get() * 2 if ordered else 0)
    s1.synchronize()
    np.testing.assert_array_equal(dst.get(stream=s2), src.get() * 2)


@pytest.mark.parametrize('waits', [False, True])
def test_a_consumer_that_does_not_wait_runs_before_its_producer(cache, waits):
    """Forcing the producer's stream runs the unordered consumer's work first, as a GPU may."""
    src = cp.asarray(np.arange(12, dtype=np.float32).reshape(3, 4))
    dst = cp.zeros((3, 4), cp.float32)
    cp.cuda.Device().synchronize()
    producer, consumer = cp.cuda.Stream(non_blocking=True), cp.cuda.Stream(non_blocking=True)
    cp.RawKernel(SCALE, 'scale2')((1, 1), (4, 4), (src, dst, np.int32(4), np.int32(3)), stream=producer)
    if waits:
        consumer.wait_event(producer.record())
    with consumer:
        seen = dst.copy()
    producer.wait_event(consumer.record())
    producer.synchronize()
    np.testing.assert_array_equal(seen.get(stream=consumer), src.get() * 2 if waits else 0)


def _set(xp, a, i):
    a[i] = 5
    return a


@pytest.mark.parametrize('op', [
    lambda xp, a, i: a[i],
    lambda xp, a, i: a[:, i[:1]],
    lambda xp, a, i: xp.concatenate([a, a]),
    lambda xp, a, i: xp.where(a > 4, a, 0),
    lambda xp, a, i: a.sum(axis=0),
    lambda xp, a, i: a.max(),
    lambda xp, a, i: a == 4,
    lambda xp, a, i: a.take(i),
    lambda xp, a, i: xp.take(a, i, axis=1),
    lambda xp, a, i: a.astype(xp.float64),
    lambda xp, a, i: xp.clip(a, 2, 8),
    lambda xp, a, i: xp.stack([a, a + 1]),
    lambda xp, a, i: a.reshape(-1)[i] * 2,
    _set,
    lambda xp, a, i: _set(xp, a, (i, i)),
    lambda xp, a, i: a.sort(axis=0) or a,
], ids=['gather', 'gather2', 'concatenate', 'where', 'sum', 'max', 'equal', 'take', 'np.take',
        'astype', 'clip', 'stack', 'chain', 'scatter', 'scatter2', 'sort'])
def test_operations_wait_for_the_stream_like_kernels(cache, op):
    """No operation on device arrays runs its stream's pending work early (as a GPU would not)."""
    host = np.arange(12, dtype=np.float32).reshape(3, 4)
    src = cp.asarray(host)
    index = cp.asarray(np.array([2, 0], np.int64))
    dst = cp.zeros((3, 4), cp.float32)
    cp.cuda.Device().synchronize()
    with cp.cuda.Stream(non_blocking=True):
        cp.RawKernel(SCALE, 'scale2')((1, 1), (4, 4), (src, dst, np.int32(4), np.int32(3)))
        result = op(cp, dst, index)
        untouched = dst.get(stream=cp.cuda.Stream(non_blocking=True))  # a stream ordered with nothing
        np.testing.assert_array_equal(untouched, 0)
        np.testing.assert_array_equal(result.get(), op(np, host * 2, index.get()))


@pytest.mark.parametrize('args, error, message', [
    (lambda s, d: (s, d, 5, np.int32(4)), TypeError, 'Python int'),
    (lambda s, d: (s, d, np.int64(5), np.int32(4)), TypeError, 'numpy.int64'),
    (lambda s, d: (s.astype(cp.float64), d, np.int32(5), np.int32(4)), TypeError, 'dtype float64'),
    (lambda s, d: (s.get(), d, np.int32(5), np.int32(4)), TypeError, 'host memory'),
    (lambda s, d: (s[:, ::2], d, np.int32(5), np.int32(4)), ValueError, 'not C-contiguous'),
    (lambda s, d: (s, d, np.int32(5)), TypeError, 'takes 4 arguments'),
])
def test_mismatched_arguments_are_refused(cache, args, error, message):
    src = cp.ones((4, 10), cp.float32)
    dst = cp.zeros((4, 5), cp.float32)
    with pytest.raises(error, match=message):
        cp.RawKernel(SCALE, 'scale2')((1, 1), (8, 8), args(src, dst))
    assert (dst.get() == 0).all()


def test_oversized_block_is_refused(cache):
    from cupy.cuda.driver import CUDADriverError
    a = cp.zeros((64, 64), cp.float32)
    with pytest.raises(CUDADriverError, match='1024'):
        cp.RawKernel(SCALE, 'scale2')((1, 1), (64, 32), (a, a, np.int32(64), np.int32(64)))


def test_compile_error_carries_compiler_output(cache):
    broken = SCALE.replace('* 2.0f;', '* undefined_factor;')
    with pytest.raises(CompileException, match='undefined_factor'):
        cp.RawKernel(broken, 'scale2')((1, 1), (1, 1), (cp.zeros(1, cp.float32),) * 2
                                       + (np.int32(1), np.int32(1)))


def test_compiled_library_is_reused_from_disk(cache):
    _kernel._binaries.clear()
    a = cp.ones((2, 3), cp.float32)
    args = (a, a, np.int32(3), np.int32(2))
    cp.RawKernel(SCALE, 'scale2')((1, 1), (4, 4), args)
    compiled = _kernel.compile_count
    assert list(cache.glob('scale2-*.so'))
    _kernel._binaries.clear()  # forget the in-process copy: only the disk cache is left
    cp.RawKernel(SCALE, 'scale2')((1, 1), (4, 4), args)
    assert _kernel.compile_count == compiled
    np.testing.assert_array_equal(a.get(), np.full((2, 3), 4, np.float32))


def test_barrier_kernels_share_their_tile(cache):
    transpose = r'''
    #define TILE 8
    extern "C" __global__ void transpose(const float* in, float* out, int w, int h) {
        __shared__ float tile[TILE][TILE + 1];
        int x = blockIdx.x * TILE + threadIdx.x, y = blockIdx.y * TILE + threadIdx.y;
        if (x < w && y < h) tile[threadIdx.y][threadIdx.x] = in[y * w + x];
        __syncthreads();
        x = blockIdx.y * TILE + threadIdx.x;
        y = blockIdx.x * TILE + threadIdx.y;
        if (x < h && y < w) out[y * h + x] = tile[threadIdx.x][threadIdx.y];
    }'''
    h, w = 13, 21
    src = cp.asarray(np.arange(h * w, dtype=np.float32).reshape(h, w))
    dst = cp.empty((w, h), cp.float32)
    cp.RawKernel(transpose, 'transpose')(grid_for(w, h, 8, 8), (8, 8), (src, dst, np.int32(w), np.int32(h)))
    np.testing.assert_array_equal(dst.get(), src.get().T)


def test_device_arrays_stay_on_the_device_and_refuse_host_operands():
    a = cp.arange(6, dtype=cp.float32).reshape(2, 3)
    for result in (a + 1, a.sum(), a[0], a.T, np.concatenate([a, a]), cp.linalg.norm(a)):
        assert isinstance(result, cp.ndarray)
    with pytest.raises(TypeError, match='host memory'):
        a + np.ones((2, 3), np.float32)
    assert type(cp.asnumpy(a)) is np.ndarray


IMPLICIT = 'Implicit conversion to a NumPy array is not allowed'


def _torch_from_numpy(a):
    import torch
    return torch.from_numpy(a)


@pytest.mark.parametrize('convert, error, message', [
    (np.asarray, TypeError, IMPLICIT),
    (lambda a: np.array([a, a]), TypeError, IMPLICIT),
    (lambda a: np.testing.assert_allclose(a, 0), TypeError, IMPLICIT),
    (memoryview, TypeError, 'bytes-like object'),
    (lambda a: cv2.resize(a, (4, 4)), cv2.error, 'not a numpy array'),
    (_torch_from_numpy, TypeError, 'expected np.ndarray'),
])
def test_device_arrays_reach_the_host_only_explicitly(convert, error, message):
    host = np.arange(6, dtype=np.float32).reshape(2, 3)
    a = cp.asarray(host)
    assert not isinstance(a, np.ndarray)
    with pytest.raises(error, match=message):
        convert(a)
    np.testing.assert_array_equal(a.get(), host)
    np.testing.assert_array_equal(cp.asnumpy(a), host)


DIVIDE = r'''
extern "C" __global__ void divide(const int* num, const int* den, int* out, int n) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    BARRIER
    if (i < n) out[i] = num[i] / den[i];
}
'''


@pytest.mark.parametrize('barrier', ['', '__syncthreads();'])
def test_integer_division_by_zero_fails_the_launch_not_the_process(cache, barrier):
    # The host traps (SIGFPE) where a GPU gives some value; either way the kernel is wrong.
    kernel = cp.RawKernel(DIVIDE.replace('BARRIER', barrier), 'divide')
    num = cp.arange(40, 80, dtype=cp.int32)
    den = cp.arange(1, 41, dtype=cp.int32)
    den[37] = 0
    out = cp.zeros(40, cp.int32)
    message = (r'kernel divide divided an integer by zero at divide\.cu:5:\d+ '
               r'\(block \(4, 0, 0\), thread \(5, 0, 0\)\)')
    with pytest.raises(ZeroDivisionError, match=message):  # when the stream runs the launch
        kernel((5,), (8,), (num, den, out, np.int32(40)))
        cp.cuda.get_current_stream().synchronize()
    den[37] = 3
    kernel((5,), (8,), (num, den, out, np.int32(40)))  # the next launch runs normally
    np.testing.assert_array_equal(out.get(), num.get() // den.get())


def test_a_misaligned_wide_access_fails_the_launch_as_on_a_gpu(cache):
    # The host would load 16 bytes from any address; a GPU refuses one not aligned for them.
    kernel = cp.RawKernel(r'''extern "C" __global__ void sum4(const float* a, float* out, int shift) {
        float4 v = reinterpret_cast<const float4*>(a + shift)[threadIdx.x];
        out[threadIdx.x] = v.x + v.y + v.z + v.w;
    }''', 'sum4')
    a, out = cp.arange(40, dtype=cp.float32), cp.zeros(8, cp.float32)
    with pytest.raises(cp.cuda.driver.CUDADriverError, match=r'CUDA_ERROR_MISALIGNED_ADDRESS.*sum4\.cu:2'):
        kernel((1,), (8,), (a, out, np.int32(1)))
        cp.cuda.get_current_stream().synchronize()
    kernel((1,), (8,), (a, out, np.int32(4)))
    np.testing.assert_array_equal(out.get(), a.get()[4:36].reshape(8, 4).sum(axis=1))


def test_memory_pool_counts_what_live_device_arrays_hold():
    import torch

    pool = cp.get_default_memory_pool()
    before = pool.used_bytes()
    pool.standin_reset_peak()
    a = cp.zeros((100, 100), cp.float32)
    views = [a[10:20], a.T, a.reshape(-1)]  # views hold no memory of their own
    b = a + 1
    shared = cp.from_dlpack(torch.ones(1000, device="cuda"))  # a tensor's memory is not the pool's
    assert pool.used_bytes() - before == 2 * a.nbytes
    del a, b, views
    cp.cuda.Device().synchronize()  # memory dropped with work still queued is kept until then
    assert pool.used_bytes() == before and pool.standin_peak_bytes() - before == 80000
    assert shared.sum() == 1000


def test_torch_tensors_keep_the_device_they_were_made_for():
    import torch
    cuda0, cuda1, host = (torch.ones(2, 3, device=d) for d in ('cuda', 'cuda:1', 'cpu'))
    assert (cuda0.__dlpack_device__(), (cuda1 + 1).__dlpack_device__(), host.__dlpack_device__()) == \
        ((2, 0), (2, 1), (1, 0))
    with pytest.raises(RuntimeError, match='two devices, cuda:0 and cuda:1'):
        torch.nn.Linear(3, 2).to('cuda:1')(cuda0)
    with pytest.raises(TypeError, match="can't convert cuda:0 device type tensor to numpy"):
        (cuda0 * 2).numpy()
    moved = cuda0.cpu()
    moved += 1  # a copy
    assert (moved.numpy() == 2).all() and float(cuda0.sum()) == 6
    array = cp.ones(3, cp.float32)  # read through __cuda_array_interface__: shared, on its device
    shared = torch.as_tensor(array)
    assert shared.__dlpack_device__() == (2, 0) and shared.data_ptr() == array.data.ptr
    assert array.__cuda_array_interface__['data'] == (array.data.ptr, False)


LATE_TORCH = """
import sys, threading, standin
standin.install()
assert "torch" not in sys.modules
failed = []

def off_the_main_thread():
    try:
        import torch
    except RuntimeError as error:
        failed.append(error)

thread = threading.Thread(target=off_the_main_thread)
thread.start(); thread.join()
import torch
print(*failed)
print(torch.ones(2, device="cuda:1").__dlpack_device__())
"""


def test_torch_imported_after_install_is_mapped_and_only_on_the_main_thread():
    env = dict(os.environ, PYTHONPATH=ROOT)
    done = subprocess.run([sys.executable, "-c", LATE_TORCH], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "the torch stand-in maps CUDA devices on the main thread: import torch there first", "(2, 1)"]


@pytest.mark.parametrize("work, used", [("cp.zeros(3) + 1; cp.asarray([1]).get()", True),
                                        ("cp.float32(1); cp.cuda.Stream(non_blocking=True)", False)])
def test_a_process_notes_its_first_queued_work_in_the_device_log(tmp_path, work, used):
    # The test run lists a test for every stream mode when a process it started used the device.
    log = tmp_path / "log"
    env = dict(os.environ, PYTHONPATH=ROOT, STANDIN_DEVICE_LOG=str(log))
    script = "import os, standin; cp = standin.install(); %s; print(os.getpid())" % work
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    assert (log.read_text() if log.exists() else "") == (done.stdout if used else "")


@pytest.mark.parametrize(
    "operation, expected",
    [  # (launches, syncs, uploads, upload bytes, downloads, download bytes), as CuPy would issue them
        (lambda a: a + 1, (1, 0, 0, 0, 0, 0)),
        (lambda a: a.sum(), (1, 0, 0, 0, 0, 0)),
        (lambda a: a.mean(), (1, 0, 0, 0, 0, 0)),
        (lambda a: a.astype(np.float64), (1, 0, 0, 0, 0, 0)),
        (lambda a: a.reshape(-1)[::2], (0, 0, 0, 0, 0, 0)),
        (lambda a: a.fill(0), (1, 0, 0, 0, 0, 0)),
        (lambda a: cp.zeros(3), (1, 0, 0, 0, 0, 0)),
        (lambda a: cp.asarray(np.ones(4, np.float32)), (0, 0, 1, 16, 0, 0)),
        (lambda a: a.get(), (0, 1, 0, 0, 1, 24)),
        (lambda a: float(a[0, 0]), (0, 1, 0, 0, 1, 4)),
        (lambda a: cp.where(a > 0.5), (3, 1, 0, 0, 0, 0)),
        (lambda a: a[a > 0.5], (2, 1, 0, 0, 0, 0)),
        (lambda a: a[np.array([1, 0])], (1, 0, 1, 16, 0, 0)),
        (lambda a: cp.cuda.get_current_stream().synchronize(), (0, 1, 0, 0, 0, 0)),
    ],
)
def test_counting_sees_what_a_gpu_would_do(operation, expected):
    a = cp.asarray(np.arange(6, dtype=np.float32).reshape(2, 3) / 6)
    with counting() as counts:
        operation(a)
    got = (counts.launches, counts.syncs, counts.uploads, counts.upload_bytes, counts.downloads, counts.download_bytes)
    assert got == expected


@pytest.mark.parametrize("barrier", [False, True])
def test_threads_of_a_block_run_in_no_fixed_order(cache, barrier):
    # A missing barrier goes unseen where the threads always run in one order; the hardware keeps none.
    code = r'''
    extern "C" __global__ void arrival(int* order, int* next) {
        %s
        order[blockIdx.x * blockDim.x + threadIdx.x] = atomicAdd(next + blockIdx.x, 1);
    }''' % ("__syncthreads();" if barrier else "")
    kernel, orders = cp.RawKernel(code, 'arrival'), set()
    for _ in range(4):
        order, next_ = cp.zeros(4 * 32, cp.int32), cp.zeros(4, cp.int32)
        kernel((4,), (32,), (order, next_))
        orders |= {tuple(block) for block in order.get().reshape(4, 32)}
    assert len(orders) > 1 and all(sorted(o) == list(range(32)) for o in orders)


def test_the_stand_ins_work_from_a_path_through_dot_dot(tmp_path):
    roundabout = os.path.join(str(tmp_path), os.path.relpath(ROOT, str(tmp_path)))
    code = ("import sys; sys.path.insert(0, %r); import standin; standin.install(); import standin.tensorrt; "
            "import cupy; print(float(cupy.ones(3).sum()))" % roundabout)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "3.0", done.stderr[-500:]
