import inspect

import cupy as cp
import numpy as np
import pytest
import torch

from quorvex.utils.dlpack import to_cupy, to_numpy, to_tensor


@pytest.mark.parametrize("shape", [(2, 3, 3), (5, 4, 2), (7, 9, 4)])
@pytest.mark.parametrize("dtype", [np.float32, np.uint8])
def test_round_trips_keep_values_and_type(shape, dtype):
    host = (np.random.default_rng(0).random(shape) * 200).astype(dtype)
    device = cp.asarray(host)
    tensor = to_tensor(device)
    assert tuple(tensor.shape) == (1, shape[2], shape[0], shape[1])
    assert tensor.dtype == torch.from_numpy(host).dtype
    back = to_cupy(tensor)
    assert isinstance(back, cp.ndarray) and back.shape == shape
    np.testing.assert_array_equal(back.get(), host)
    np.testing.assert_array_equal(to_numpy(tensor), host)
    np.testing.assert_array_equal(to_numpy(device), host)
    assert type(to_numpy(device)) is np.ndarray


def test_to_cupy_copies_host_arrays_and_passes_device_arrays_through():
    host = np.ones((2, 2, 3), np.float32)
    device = to_cupy(host)
    device += 1
    assert host.max() == 1
    assert to_cupy(device) is device


@pytest.mark.parametrize("device, shared", [("cpu", False), ("cuda", True)])
def test_to_cupy_shares_a_cuda_tensor_and_copies_a_cpu_one(device, shared):
    tensor = torch.zeros(1, 3, 4, 5, device=device)
    image = to_cupy(tensor)
    tensor += 1
    cp.cuda.runtime.deviceSynchronize()  # torch's stream and CuPy's
    np.testing.assert_array_equal(image.get(), np.full((4, 5, 3), float(shared), np.float32))


def test_to_tensor_of_host_array_goes_to_the_current_device():
    tensor = to_tensor(np.zeros((4, 5, 3), np.float32))
    assert tuple(tensor.shape) == (1, 3, 4, 5)


def test_to_tensor_honours_an_explicit_device():
    tensor = to_tensor(np.zeros((4, 5, 3), np.float32), "cpu")
    assert tensor.device.type == "cpu" and tuple(tensor.shape) == (1, 3, 4, 5)


@pytest.mark.gpu
def test_to_tensor_follows_the_array_to_its_device():
    if cp.cuda.runtime.getDeviceCount() < 2:
        pytest.skip("needs two GPUs")
    with cp.cuda.Device(1):
        image = cp.zeros((8, 6, 3), cp.float32)
    tensor = to_tensor(image)
    assert tensor.device == torch.device("cuda:1") and tuple(tensor.shape) == (1, 3, 8, 6)


@pytest.mark.parametrize(
    "tensor",
    [torch.zeros(1, 1, 4, 5), torch.zeros(1, 3, 1, 5), torch.zeros(2, 3, 4, 5)],
    ids=["one-channel", "one-row", "batch-of-two"],
)
def test_tensors_that_lose_or_keep_too_many_axes_fail_in_the_reorder(tensor):
    with pytest.raises(RuntimeError):
        to_cupy(tensor)
    with pytest.raises(RuntimeError):
        to_numpy(tensor)


@pytest.mark.parametrize("value", [np.zeros((2, 2, 3)), [1, 2], 3.0])
def test_to_numpy_refuses_what_it_cannot_convert(value):
    with pytest.raises(ValueError) as error:
        to_numpy(value)
    assert str(error.value) == "Unsupported: " + str(type(value))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: to_cupy(), "to_cupy() takes exactly 1 positional argument (0 given)"),
        (lambda: to_numpy(1, 2), "to_numpy() takes exactly 1 positional argument (2 given)"),
        (lambda: to_tensor(), "to_tensor() takes at least 1 positional argument (0 given)"),
        (lambda: to_tensor(1, 2, 3), "to_tensor() takes at most 2 positional arguments (3 given)"),
        (lambda: to_tensor(1, dev="cpu"), "to_tensor() got an unexpected keyword argument 'dev'"),
        (lambda: to_tensor(1, image=1), "to_tensor() got multiple values for argument 'image'"),
    ],
)
def test_argument_errors_are_worded_as_the_host_words_them(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == message


def test_signatures_carry_their_annotations():
    sig = inspect.signature(to_tensor)
    assert [(p.name, p.annotation, p.default) for p in sig.parameters.values()] == [
        ("image", "np.ndarray | cp.ndarray | nvimgcodec.Image", inspect.Parameter.empty),
        ("device", "str | torch.device | None", None),
    ]
    assert sig.return_annotation == "torch.Tensor"
    assert str(inspect.signature(to_cupy)) == "(image: 'np.ndarray | torch.Tensor | nvimgcodec.Image') -> 'cp.ndarray'"
    assert str(inspect.signature(to_numpy)) == "(image: 'cp.ndarray | torch.Tensor | nvimgcodec.Image') -> 'np.ndarray'"
    to_tensor(image=np.zeros((2, 2, 3), np.float32), device="cpu")  # keywords are accepted


def test_to_tensor_of_an_image_without_channels_says_so():
    with pytest.raises(ValueError) as caught:
        to_tensor(cp.zeros((4, 5), cp.float32))
    assert str(caught.value) == "to_tensor() takes an image of shape (height, width, channels), got (4, 5)"
