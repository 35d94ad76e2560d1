// Conversions of one image between host arrays (H, W, C), device arrays (H, W, C), tensors
// (1, C, H, W) and nvImageCodec images. Element types are never changed.
#include "quorvex/assertion.hpp"
#include "quorvex/function.hpp"
#include "quorvex/interop.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import nvimgcodec("nvidia.nvimgcodec");

// nvImageCodec is optional: without it nothing is one of its images.
bool is_codec_image(nb::handle obj) {
    nb::handle module = nvimgcodec.if_loaded();
    return module.is_valid() && PyObject_IsInstance(obj.ptr(), module.attr("Image").ptr()) == 1;
}

// (1, C, H, W) or (C, H, W) tensor -> (H, W, C) view.
nb::object tensor_to_hwc(nb::handle tensor) { return tensor.attr("squeeze")().attr("permute")(1, 2, 0); }

nb::object to_cupy(const qv::Args &a) {
    nb::handle image = a["image"];
    if (qv::is_tensor(image)) return qv::tensor_to_device(tensor_to_hwc(image));
    return qv::cp().asarray(image);
}

nb::object to_numpy(const qv::Args &a) {
    nb::handle image = a["image"];
    nb::object result;
    if (qv::is_device_array(image))
        result = qv::cp().asnumpy(image);
    else if (qv::is_tensor(image))
        result = tensor_to_hwc(image).attr("cpu")().attr("numpy")();
    else if (is_codec_image(image))
        result = qv::cp().asarray(image).attr("get")();
    else {
        nb::str kind = qv::str_of((PyObject *)Py_TYPE(image.ptr()));
        qv::raise(PyExc_ValueError, "Unsupported: %U", kind.ptr());
    }
    qv::assert_true(PyObject_IsInstance(result.ptr(), qv::np().ndarray.ptr()) == 1);
    return result;
}

nb::object to_tensor(const qv::Args &a) {
    nb::object image = nb::borrow(a["image"]);
    nb::object device = nb::borrow(a["device"]);
    nb::handle torch = qv::torch_module().get();
    if (is_codec_image(image)) image = qv::cp().asarray(image);
    if (device.is_none()) {
        int ordinal =
            qv::is_device_array(image)
                ? nb::cast<int>(image.attr("device").attr("id"))
                : nb::cast<int>(qv::cp().module.attr("cuda").attr("device").attr("get_device_id")());
        device = torch.attr("device")(nb::str(("cuda:" + std::to_string(ordinal)).c_str()));
    }
    // Device arrays are shared through DLPack (ordered after CuPy's stream), then moved only if
    // another device was asked for; host arrays are copied by torch.
    nb::object tensor = qv::is_device_array(image)
                            ? qv::device_to_tensor(image).attr("to")(device)
                            : torch.attr("as_tensor")(image, nb::arg("device") = device);
    if (nb::cast<int64_t>(tensor.attr("dim")()) != 3)
        qv::raise(PyExc_ValueError, "to_tensor() takes an image of shape (height, width, channels), got %U",
                  qv::str_of(quorvex::stdlib::builtins.get().attr("tuple")(tensor.attr("shape"))).ptr());
    return tensor.attr("permute")(2, 0, 1).attr("unsqueeze")(0);
}

}  // namespace

NB_MODULE(dlpack, m) {
    m.doc() =
        "Image conversions between NumPy, CuPy, PyTorch and nvImageCodec, without changing the element "
        "type. Arrays are (height, width, channels); tensors (1, channels, height, width).";
    qv::def(m, "to_cupy", to_cupy, {{"image", "np.ndarray | torch.Tensor | nvimgcodec.Image"}}, "cp.ndarray",
            "Device array of an image: a device array is returned as is, a host array is copied to the "
            "current device, a tensor's length-1 axes are dropped and its axes moved to (H, W, C).");
    qv::def(m, "to_numpy", to_numpy, {{"image", "cp.ndarray | torch.Tensor | nvimgcodec.Image"}},
            "np.ndarray",
            "Host copy of a device array, tensor or nvImageCodec image, (H, W, C). Host arrays are refused.");
    qv::def(m, "to_tensor", to_tensor,
            {{"image", "np.ndarray | cp.ndarray | nvimgcodec.Image"},
             {"device", "str | torch.device | None", nb::none()}},
            "torch.Tensor",
            "(1, C, H, W) tensor of an (H, W, C) image. Without a device it goes to the image's CUDA "
            "device, or CuPy's current device for host arrays.");
}
