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
extern "C" __global__ void gaussian_rows_kernel(const float* __restrict__ input,
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
extern "C" __global__ void gaussian_cols_kernel(const float* __restrict__ input,
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

nb::object init(const qv::Args &a) {
    a[0].attr("weights") = nb::dict();
    return nb::none();
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    std::string dtype;
    nb::object input = qv::float32_image(a[1], "GaussianBlur.get", dtype);
    std::vector<int64_t> shape = qv::shape_of(input);

    int64_t ksize = nb::cast<int64_t>(a[2]);
    nb::float_ sigma_object(a[3]);
    double sigma = (double)sigma_object;
    if (!std::isfinite(sigma)) qv::raise(PyExc_ValueError, "sigma must be a finite number, got %R", sigma_object.ptr());
    if (ksize < 0 || (ksize != 0 && ksize % 2 == 0))
        qv::raise(PyExc_ValueError, "ksize must be odd and positive, or 0 to derive it from sigma, got %lld",
                  (long long)ksize);

    // Weights are uploaded once per (ksize, sigma) and kept on the instance.
    nb::dict cache = nb::cast<nb::dict>(self.attr("weights"));
    nb::object key = nb::make_tuple(ksize, sigma_object);
    nb::object weights;
    if (cache.contains(key)) {
        weights = cache[key];
    } else {
        if (ksize == 0) {
            if (sigma <= 0)
                qv::raise(PyExc_ValueError, "sigma must be positive when ksize is 0, got %R", sigma_object.ptr());
            double derived = std::nearbyint(sigma * 4 * 2 + 1);
            if (derived > INT32_MAX - 1)
                qv::raise(PyExc_ValueError, "sigma %R gives too large a kernel", sigma_object.ptr());
            ksize = (int64_t)derived | 1;
        }
        std::vector<float> values = gaussian_weights(ksize, sigma);
        nb::list list;
        for (float v : values) list.append(v);
        weights = qv::cp().asarray(qv::np().module.attr("array")(list, nb::arg("dtype") = qv::np().float32));
        cache[key] = weights;
    }
    int64_t taps = qv::shape_of(weights)[0];

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
              "keeps the device weights of every (ksize, sigma) it has used in its `weights` dict.")
        .def("__init__", init, {{"self"}}, "None", "A blur with an empty weight cache.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray"}, {"ksize", "int"}, {"sigma", "float"}}, "cp.ndarray",
             "Blurred copy of an (H, W) or (H, W, C) device image, same shape and element type (images that "
             "are not float32 are blurred in float32 and converted back). ksize is odd and positive, or 0 to "
             "take round(8 sigma + 1) | 1; sigma <= 0 means 0.3 ((ksize - 1) / 2 - 1) + 0.8, with OpenCV's "
             "fixed weights for ksize 1 to 9. Borders reflect about the edge pixel (gfedcb|abcdefgh|gfedcba).")
        .finish();
}
