// Network input blobs: (H, W, C) device images to (1, C, H, W), with optional resize, red/blue
// swap, mean subtraction and scaling; several images stacked into one batch.
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// The common float32 case in one pass: channel reorder, swap, mean and scale fused, instead of
// a subtraction, a multiplication and a transposing copy.
const char *blob_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) blob_kernel(const float* __restrict__ image, float* __restrict__ blob,
                                       int width, int height, int channels, int swap_rb,
                                       float mean0, float mean1, float mean2, float mean3, float scale) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    const float* pixel = image + (y * width + x) * channels;
    int plane = width * height, at = y * width + x;
    for (int c = 0; c < channels; ++c) {
        int source = (swap_rb && c == 0) ? 2 : (swap_rb && c == 2) ? 0 : c;
        float mean = c == 0 ? mean0 : c == 1 ? mean1 : c == 2 ? mean2 : mean3;
        blob[c * plane + at] = (pixel[source] - mean) * scale;
    }
}
)";

nb::handle blob_kernel;

nb::object to_blob_impl(nb::handle image, double scalefactor, nb::handle size, nb::handle mean, bool swap_rb) {
    static nb::handle resize = qv::package_attr("quorvex.transform.resize", "resize").release();
    static nb::handle bgr_to_rgb = qv::package_attr("quorvex.color.bgr", "bgr_to_rgb").release();
    const qv::Cupy &cp = qv::cp();
    nb::object dtype = image.attr("dtype");
    nb::object img = nb::borrow(image);
    if (!size.is_none()) img = resize(img, nb::make_tuple(size[nb::int_(1)], size[nb::int_(0)]));

    std::vector<int64_t> shape = qv::shape_of(img);
    nb::list means = nb::list(mean);
    bool fused = qv::is_device_array(img) && shape.size() == 3 && shape[2] >= 1 && shape[2] <= 4 &&
                 nb::len(means) == (size_t)shape[2] && nb::cast<std::string>(qv::str_of(dtype)) == "float32";
    if (fused) {
        qv::check_indexable(shape, "image");
        int64_t height = shape[0], width = shape[1], channels = shape[2];
        img = cp.ascontiguousarray(img);
        nb::object blob = cp.empty(nb::make_tuple(1, channels, height, width), nb::arg("dtype") = cp.float32);
        // Means go through float32 first, as the array subtraction would take them.
        double m[4] = {0, 0, 0, 0};
        for (int64_t c = 0; c < channels; ++c) m[c] = (float)nb::cast<double>(means[c]);
        qv::launch_2d(blob_kernel, width, height,
                      nb::make_tuple(img, blob, qv::i32(width), qv::i32(height), qv::i32(channels),
                                     qv::i32(swap_rb && channels >= 3), qv::f32(m[0]), qv::f32(m[1]), qv::f32(m[2]),
                                     qv::f32(m[3]), qv::f32(scalefactor)));
        return blob;
    }
    // Other element types and layouts: the same steps as array operations; the blob keeps the
    // input's element type.
    if (swap_rb) img = bgr_to_rgb(img);
    img = img - cp.module.attr("array")(mean, nb::arg("dtype") = dtype);
    img = img * nb::float_(scalefactor);
    nb::object nchw = img.attr("transpose")(2, 0, 1)[nb::make_tuple(nb::none())];
    return nchw.attr("astype")(dtype);
}

double as_scalefactor(nb::handle value) {
    PyObject *number = PyNumber_Float(value.ptr());
    if (!number) throw nb::python_error();
    double result = PyFloat_AS_DOUBLE(number);
    Py_DECREF(number);
    return result;
}

nb::object to_blob(const qv::Args &a) {
    return to_blob_impl(a[0], as_scalefactor(a[1]), a[2], a[3], PyObject_IsTrue(a[4].ptr()) == 1);
}

nb::object to_blobs(const qv::Args &a) {
    double scalefactor = as_scalefactor(a[1]);
    bool swap_rb = PyObject_IsTrue(a[4].ptr()) == 1;
    nb::list blobs;
    for (nb::handle image : a[0]) blobs.append(to_blob_impl(image, scalefactor, a[2], a[3], swap_rb));
    return qv::cp().module.attr("concatenate")(blobs, nb::arg("axis") = 0);
}

}  // namespace

NB_MODULE(blob, m) {
    m.doc() = "Network input blobs from device images: (H, W, C) -> (1, C, H, W), batches (N, C, H, W).";
    blob_kernel = qv::add_kernel(m, "blob_kernel", blob_kernel_code);
    nb::object zeros = nb::make_tuple(0, 0, 0);
    qv::def(m, "to_blob", to_blob,
            {{"image", "cp.ndarray"},
             {"scalefactor", "float", nb::float_(1.0)},
             {"size", "tuple[int, int] | None", nb::none()},
             {"mean", "tuple[float, ...] | list[float]", zeros},
             {"swapRB", "bool", nb::bool_(false)},
             {"fp16", "bool", nb::bool_(false)}},
            "cp.ndarray",
            "(1, C, H, W) blob of an (H, W, C) device image: resized to size (read as (height, width)) when "
            "given, channels 0 and 2 swapped when swapRB, then (image - mean) * scalefactor, in the image's "
            "element type. fp16 is accepted and has no effect.");
    qv::def(m, "to_blobs", to_blobs,
            {{"images", "list[cp.ndarray] | tuple[cp.ndarray, ...]"},
             {"scalefactor", "float", nb::float_(1.0)},
             {"size", "tuple[int, int] | None", nb::none()},
             {"mean", "tuple[float, ...] | list[float]", zeros},
             {"swapRB", "bool", nb::bool_(false)},
             {"fp16", "bool", nb::bool_(false)}},
            "cp.ndarray", "(N, C, H, W) batch: to_blob of each image, concatenated along the first axis.");
}
