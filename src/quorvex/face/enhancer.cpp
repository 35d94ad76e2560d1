// Face restoration with an ONNX network at a fixed 512 x 512 (GFPGAN-style: RGB in -1 to 1).
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/onnx_session.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

qv::Import onnxruntime("onnxruntime", "pip install onnxruntime (or onnxruntime-gpu)");

// The network's (3, H, W) RGB output in -1 to 1 back to a BGR (H, W, 3) image in 0 to 1: clip,
// rescale, reorder and swap in one pass.
const char *restore_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) restore_kernel(const float* __restrict__ chw, float* __restrict__ hwc,
                                          int width, int height) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    int plane = width * height, at = y * width + x;
    for (int c = 0; c < 3; ++c) {
        float v = fminf(fmaxf(chw[(2 - c) * plane + at], -1.0f), 1.0f);
        hwc[at * 3 + c] = v / 2.0f + 0.5f;
    }
}
)";

nb::handle restore_kernel;

struct Siblings {
    nb::handle resize, inter_auto, to_float32, to_blob, to_numpy, to_cupy;
};

const Siblings &siblings() {
    static qv::Once<Siblings> once;
    return once.get([] {
        return Siblings{
            qv::package_attr("quorvex.transform.resize", "resize").release(),
            qv::package_attr("quorvex.transform.resize", "INTER_AUTO").release(),
            qv::package_attr("quorvex.utils.dtypes", "to_float32").release(),
            qv::package_attr("quorvex.utils.blob", "to_blob").release(),
            qv::package_attr("quorvex.utils.dlpack", "to_numpy").release(),
            qv::package_attr("quorvex.utils.dlpack", "to_cupy").release(),
        };
    });
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    // a[2], further positional arguments, are ignored; session_arguments' options reach the session
    nb::dict kwargs = qv::ort::session_keywords(a[3]);
    qv::ort::parsed_and_checked(a[1]);
    self.attr("session") = onnxruntime.get().attr("InferenceSession")(a[1], **kwargs);
    self.attr("input_size") = 512;
    return nb::none();
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    const Siblings &s = siblings();
    const qv::Cupy &cp = qv::cp();
    int64_t density = nb::cast<int64_t>(a[2]);
    int64_t input_size = nb::cast<int64_t>(self.attr("input_size"));
    nb::object image = s.to_float32(a[1]);
    std::vector<int64_t> shape = qv::shape_of(image);
    if (shape.size() != 3 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "GFPGAN.get() takes a (height, width, 3) BGR image");
    int64_t image_input_size = shape[1];  // the width; the height is not consulted
    auto interpolation = nb::arg("interpolation") = s.inter_auto;
    // Resizing commutes with the red/blue swap, so the swap is left to the blob packing.
    if (density > 1) {
        int64_t side = image_input_size / density;
        image = s.resize(image, nb::make_tuple(side, side), interpolation);
    }
    image = s.resize(image, nb::make_tuple(input_size, input_size), interpolation);
    // (v - 0.5) * 2 as a (1, 3, 512, 512) RGB blob.
    nb::object blob = s.to_blob(image, 2.0, nb::none(), nb::make_tuple(0.5, 0.5, 0.5), true);

    nb::object session = self.attr("session");
    nb::object input_name = session.attr("get_inputs")()[nb::int_(0)].attr("name");
    nb::dict feed;
    feed[input_name] = s.to_numpy(blob);
    nb::object net_outs = session.attr("run")(nb::none(), feed);
    nb::object first = net_outs[nb::int_(0)];
    static bool asserts = nb::cast<int>(nb::module_::import_("sys").attr("flags").attr("optimize")) == 0;
    if (asserts && PyObject_IsInstance(first.ptr(), qv::np().ndarray.ptr()) != 1)
        qv::raise(PyExc_AssertionError, "Output of the model is not a numpy array.");

    nb::object net_out = cp.ascontiguousarray(cp.asarray(first[nb::int_(0)], nb::arg("dtype") = cp.float32));
    std::vector<int64_t> out = qv::shape_of(net_out);
    if (out.size() != 3 || out[0] != 3)
        qv::raise(PyExc_ValueError, "the restoration network must give a (1, 3, H, W) image, got %U",
                  qv::str_of(first.attr("shape")).ptr());
    qv::check_indexable(out, "network output");
    nb::object result = cp.empty(nb::make_tuple(out[1], out[2], 3), nb::arg("dtype") = cp.float32);
    qv::launch_2d(restore_kernel, out[2], out[1], nb::make_tuple(net_out, result, qv::i32(out[2]), qv::i32(out[1])));
    return s.to_float32(result);
}

}  // namespace

NB_MODULE(enhancer, m) {
    m.doc() = "Face restoration with an ONNX network at 512 x 512.";
    restore_kernel = qv::add_kernel(m, "restore_kernel", restore_kernel_code);
    qv::Class(m, "GFPGAN", "Restores BGR face crops with an ONNX face-restoration network (RGB, -1 to 1, 512 x 512).")
        .def("__init__", init, {{"self"}, {"model_file"}, {"*args"}, {"**kwargs"}}, "None",
             "A session on model_file (a path or model bytes); keyword arguments go to the session, further "
             "positional arguments are ignored.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray"}, {"density", "int", nb::int_(1)}}, "np.ndarray",
             "The restored face, 512 x 512 x 3, BGR, float32 in 0 to 1 (a device array). density > 1 first "
             "shrinks the crop to a square of side width // density.")
        .finish();
}
