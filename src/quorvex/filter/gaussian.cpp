// Separable Gaussian blur of device images, matching cv2.GaussianBlur on float32 images:
// OpenCV's kernel weights and its default border (BORDER_REFLECT_101, gfedcb|abcdefgh|gfedcba).
#include <cmath>
#include <string>
#include <vector>

#include "quorvex/function.hpp"
#include "quorvex/image.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Reflection about the edge pixels, for offsets any number of image lengths out (a kernel may
// be wider than the image). A one-pixel axis has no period, so every tap reads pixel 0.
#define QUORVEX_REFLECT_101                                              \
    "__device__ __forceinline__ int reflect_101(int i, int n) {\n"       \
    "    if (i >= 0 && i < n) return i;\n"                               \
    "    if (n == 1) return 0;\n"                                        \
    "    long long period = 2LL * (n - 1);\n"                            \
    "    long long m = (long long)i % period;\n"                         \
    "    if (m < 0) m += period;\n"                                      \
    "    return (int)(m < n ? m : period - m);\n"                        \
    "}\n"

// One thread per output pixel, all channels; rows first, as OpenCV's separable filter does.
const char *gaussian_rows_kernel_code = QUORVEX_REFLECT_101 R"(
extern "C" __global__ void __launch_bounds__(256) gaussian_rows_kernel(const float* __restrict__ input,
                                                float* __restrict__ output,
                                                const float* __restrict__ weights,
                                                int ksize, int height, int width, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    const float* row = input + y * width * channels;
    float* out = output + (y * width + x) * channels;
    int first = x - ksize / 2;
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f;
        for (int k = 0; k < ksize; ++k) sum += weights[k] * row[reflect_101(first + k, width) * channels + c];
        out[c] = sum;
    }
}
)";

const char *gaussian_cols_kernel_code = QUORVEX_REFLECT_101 R"(
extern "C" __global__ void __launch_bounds__(256) gaussian_cols_kernel(const float* __restrict__ input,
                                                float* __restrict__ output,
                                                const float* __restrict__ weights,
                                                int ksize, int height, int width, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    const float* column = input + x * channels;
    int stride = width * channels;
    float* out = output + (y * width + x) * channels;
    int first = y - ksize / 2;
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f;
        for (int k = 0; k < ksize; ++k) sum += weights[k] * column[reflect_101(first + k, height) * stride + c];
        out[c] = sum;
    }
}
)";

#undef QUORVEX_REFLECT_101

nb::handle gaussian_rows_kernel;
nb::handle gaussian_cols_kernel;

// OpenCV's weights: fixed tables for sizes up to 9 when sigma is not given, otherwise the
// sampled Gaussian (sigma derived from ksize when not positive) normalised to sum 1.
std::vector<float> gaussian_weights(int64_t ksize, double sigma) {
    static const std::vector<float> tables[] = {
        {1.0f},
        {0.25f, 0.5f, 0.25f},
        {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f},
        {0.03125f, 0.109375f, 0.21875f, 0.28125f, 0.21875f, 0.109375f, 0.03125f},
        {0.015625f, 0.05078125f, 0.1171875f, 0.19921875f, 0.234375f, 0.19921875f, 0.1171875f, 0.05078125f, 0.015625f},
    };
    if (sigma <= 0 && ksize <= 9) return tables[ksize / 2];
    if (sigma <= 0) sigma = 0.3 * ((ksize - 1) * 0.5 - 1) + 0.8;
    std::vector<double> exact(ksize);
    double sum = 0;
    for (int64_t i = 0; i < ksize; ++i) {
        double x = i - (ksize - 1) * 0.5;
        sum += exact[i] = std::exp(-x * x / (2 * sigma * sigma));
    }
    std::vector<float> weights(ksize);
    for (int64_t i = 0; i < ksize; ++i) weights[i] = (float)(exact[i] / sum);
    return weights;
}

// Longest kernel taken. Past it a blur reads over a million taps per pixel and pass, and the
// weights alone would exhaust memory well before ksize reaches the kernels' 32-bit limit.
constexpr int64_t kMaxKsize = (1 << 20) + 1;

nb::object init(const qv::Args &a) {
    a[0].attr("weights") = nb::dict();
    return nb::none();
}

// Copies and pickles leave the weights behind: they are device memory of this process, and a
// cache, rebuilt on first use.
nb::object getstate(const qv::Args &a) {
    nb::dict state = nb::borrow<nb::dict>(nb::object(a[0].attr("__dict__")).attr("copy")());
    state["weights"] = nb::dict();
    return state;
}

int64_t read_ksize(nb::handle value) {
    int overflow = 0;
    long long ksize = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);  // an exact int by now
    if (ksize == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow > 0 || ksize > kMaxKsize)
        qv::raise(PyExc_ValueError, "ksize must be at most %lld, got %S", (long long)kMaxKsize, value.ptr());
    if (overflow < 0 || ksize < 0 || (ksize != 0 && ksize % 2 == 0))
        qv::raise(PyExc_ValueError, "ksize must be odd and positive, or 0 to derive it from sigma, got %S",
                  value.ptr());
    return ksize;
}

double read_sigma(nb::handle value) {
    // Real numbers only: float(), which this would otherwise amount to, also parses strings.
    double sigma = PyFloat_AsDouble(value.ptr());
    if (sigma == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
        PyErr_Clear();
        qv::raise(PyExc_TypeError, "GaussianBlur.get() takes sigma as a float, got %s", qv::type_name(value));
    }
    if (!std::isfinite(sigma))
        qv::raise(PyExc_ValueError, "sigma must be a finite number, got %R", value.ptr());
    return sigma;
}

// The current device's ordinal, where the kernels will run.
nb::object current_device() {
    static nb::handle runtime = qv::keep(qv::cp().module.attr("cuda"), "runtime");
    return runtime.attr("getDevice")();
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    std::vector<int64_t> shape = qv::image_shape(a[1], "GaussianBlur.get");
    int64_t ksize = read_ksize(a[2]);
    double sigma = read_sigma(a[3]);
    qv::check_rows(shape[0], "image");

    // Weights are uploaded once per device and (ksize, sigma) and kept on the instance; the
    // kernels run on the current device and read them there.
    nb::dict cache = nb::cast<nb::dict>(self.attr("weights"));
    nb::object key = nb::make_tuple(current_device(), ksize, sigma);
    nb::object weights;
    if (cache.contains(key)) {
        weights = cache[key];
    } else {
        if (ksize == 0) {
            if (sigma <= 0)
                qv::raise(PyExc_ValueError, "sigma must be positive when ksize is 0, got %R", a[3].ptr());
            double derived = std::nearbyint(sigma * 4 * 2 + 1);
            if (derived > (double)kMaxKsize)
                qv::raise(PyExc_ValueError,
                          "sigma %R gives a kernel wider than %lld taps, the most supported", a[3].ptr(),
                          (long long)kMaxKsize);
            ksize = (int64_t)derived | 1;
        }
        std::vector<float> values = gaussian_weights(ksize, sigma);
        nb::bytes raw(values.data(), values.size() * sizeof(float));
        nb::object host = qv::np().module.attr("frombuffer")(raw, nb::arg("dtype") = qv::np().float32);
        weights = qv::cp().asarray(host);
        cache[key] = weights;
    }
    int64_t taps = qv::shape_of(weights)[0];

    std::string dtype;
    nb::object input = qv::converted_image(a[1], dtype);
    nb::object rows = qv::cp().empty_like(input);
    nb::object output = qv::cp().empty_like(input);
    int64_t height = shape[0], width = shape[1], channels = shape.size() == 3 ? shape[2] : 1;
    nb::object sizes[] = {qv::i32(taps), qv::i32(height), qv::i32(width), qv::i32(channels)};
    qv::launch_2d(gaussian_rows_kernel, width, height,
                  nb::make_tuple(input, rows, weights, sizes[0], sizes[1], sizes[2], sizes[3]));
    qv::launch_2d(gaussian_cols_kernel, width, height,
                  nb::make_tuple(rows, output, weights, sizes[0], sizes[1], sizes[2], sizes[3]));
    return qv::restore_dtype(output, dtype);
}

}  // namespace

NB_MODULE(gaussian, m) {
    m.doc() = "Separable Gaussian blur of device images with OpenCV's kernel weights and default border "
              "(BORDER_REFLECT_101).";
    gaussian_rows_kernel = qv::add_kernel(m, "gaussian_rows_kernel", gaussian_rows_kernel_code);
    gaussian_cols_kernel = qv::add_kernel(m, "gaussian_cols_kernel", gaussian_cols_kernel_code);
    qv::Class(m, "GaussianBlur",
              "Gaussian blur as cv2.GaussianBlur(image, (ksize, ksize), sigma) on float32 images. An instance "
              "keeps the device weights of every (device, ksize, sigma) it has used in its `weights` dict; "
              "copies and pickles start with an empty one.")
        .def("__init__", init, {{"self"}}, "None", "A blur with an empty weight cache.")
        .def("__getstate__", getstate, {{"self"}}, "dict",
             "The instance's attributes, the weight cache emptied.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray"}, {"ksize", "int"}, {"sigma", "float"}}, "cp.ndarray",
             "Blurred copy of an (H, W) or (H, W, C) device image, same shape and element type (images that "
             "are not float32 are blurred in float32 and converted back). ksize is odd and positive, or 0 to "
             "take round(8 sigma + 1) | 1; sigma <= 0 means 0.3 ((ksize - 1) / 2 - 1) + 0.8, with OpenCV's "
             "fixed weights for ksize 1 to 9; ksize at most 1048577. Borders reflect about the edge pixel "
             "(gfedcb|abcdefgh|gfedcba).")
        .finish();
}
