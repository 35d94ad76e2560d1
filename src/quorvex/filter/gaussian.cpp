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

// Blurs of up to kMaxTiledKsize taps in one launch: a 32 x 8 block makes a 32 x kTileRows tile of the
// output, one channel at a time, in three steps through one shared patch.
//  1. The input patch the tile needs (ksize / 2 more on each side, reflected at the image's
//     edges) is read once, coalesced, as floats.
//  2. Each thread filters 16 neighbouring columns of one patch row, sliding a window of 16
//     values along the row (slide, below): per tap one new value is read for 16 multiply-adds,
//     and every row fits one task a thread. The row pitch is 1 more than a multiple of 32, so
//     the 32 windows of a warp sit in distinct banks.
//     The sums replace the patch's rows once every thread has read them.
//  3. Each thread of the first six warps filters 8 neighbouring rows of one column the same way
//     and stores them.
// Rows first and each sum in tap order, as OpenCV's separable filter computes them. Four blocks
// per multiprocessor: left to itself ptxas squeezes it into 32 registers on sm_100 and spills.
const char *gaussian_kernel_body =
#include "quorvex/filter/gaussian_kernel.cuh.inc"
    ;

// Wider blurs: two passes over the whole image, one thread per pixel, through a float32 image
// of the rows' sums.
const char *gaussian_rows_kernel_body =
#include "quorvex/filter/gaussian_rows_kernel.cuh.inc"
    ;

const char *gaussian_cols_kernel_body =
#include "quorvex/filter/gaussian_cols_kernel.cuh.inc"
    ;

// Reflection about the edge pixels, for offsets any number of image lengths out (a kernel may
// be wider than the image). A one-pixel axis has no period, so every tap reads pixel 0.
const char *reflect_101_code =
#include "quorvex/filter/gaussian_reflect_101.cuh.inc"
    ;

// sum[q] = the sum over taps k of w[k] * in[(q + k) * step], q < N, each in tap order: a window
// of N values slides along in, so a tap reads one new value for N multiply-adds. The window is a
// ring: value in[(k + q) * step] sits in slot (k + q) % N, and the taps go N at a time, unrolled,
// so every slot is a fixed register and nothing moves; w (16-byte aligned) is read four weights at
// a time.
const char *slide_code =
#include "quorvex/filter/gaussian_slide.cuh.inc"
    ;

// The widest blur the tiled kernel takes (its shared rows hold 32 above and below the tile), and
// the tile's rows: 48 rather than 32 spread the patch's margins over half as many more pixels.
constexpr int64_t kMaxTiledKsize = 65, kTileRows = 48;

std::string gaussian_code(const char *body, const std::string &helpers = "") {
    return std::string(qv::element_types_code) + reflect_101_code + helpers + qv::typed_entries(body);
}
const std::string gaussian_kernel_code =
    gaussian_code(gaussian_kernel_body, "#define TILE_ROWS " + std::to_string(kTileRows) + "\n" + slide_code);
const std::string gaussian_rows_kernel_code = gaussian_code(gaussian_rows_kernel_body);
const std::string gaussian_cols_kernel_code = gaussian_code(gaussian_cols_kernel_body);

qv::TypedKernel gaussian_kernel, gaussian_rows_kernel, gaussian_cols_kernel;

// OpenCV's weights: fixed tables for sizes up to 9 when sigma is not given, otherwise the
// sampled Gaussian (sigma derived from ksize when not positive) normalised to sum 1.
std::vector<float> gaussian_weights(int64_t ksize, double sigma) {
    static const std::vector<float> tables[] = {
        {1.0f},
        {0.25f, 0.5f, 0.25f},
        {0.0625f, 0.25f, 0.375f, 0.25f, 0.0625f},
        {0.03125f, 0.109375f, 0.21875f, 0.28125f, 0.21875f, 0.109375f, 0.03125f},
        {0.015625f, 0.05078125f, 0.1171875f, 0.19921875f, 0.234375f, 0.19921875f, 0.1171875f, 0.05078125f,
         0.015625f},
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
    static qv::Once<nb::handle> runtime;
    return runtime.get([] { return qv::keep(qv::cp().module.attr("cuda"), "runtime"); }).attr("getDevice")();
}

nb::object get(const qv::Args &a) {
    nb::handle given_image = a["image"];
    nb::handle self = a[0];
    // A batch (N, H, W, C) is blurred image by image in the same launches (blockIdx.z).
    std::vector<int64_t> given =
        qv::is_device_array(given_image) ? qv::shape_of(given_image) : std::vector<int64_t>{};
    int64_t count = given.size() == 4 ? given[0] : 1;
    std::vector<int64_t> shape = given.size() == 4 ? std::vector<int64_t>(given.begin() + 1, given.end())
                                                   : qv::image_shape(given_image, "GaussianBlur.get");
    if (given.size() == 4) qv::check_indexable(given, "image");
    int64_t ksize = read_ksize(a["ksize"]);
    double sigma = read_sigma(a["sigma"]);
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
                qv::raise(PyExc_ValueError, "sigma must be positive when ksize is 0, got %R",
                          a["sigma"].ptr());
            double derived = std::nearbyint(sigma * 4 * 2 + 1);
            if (derived > (double)kMaxKsize)
                qv::raise(PyExc_ValueError,
                          "sigma %R gives a kernel wider than %lld taps, the most supported",
                          a["sigma"].ptr(), (long long)kMaxKsize);
            ksize = (int64_t)derived | 1;
        }
        std::vector<float> values = gaussian_weights(ksize, sigma);
        nb::bytes raw(values.data(), values.size() * sizeof(float));
        nb::object host = qv::np().module.attr("frombuffer")(raw, nb::arg("dtype") = qv::np().float32);
        // Copied before this returns: every thread and stream that uses this instance reads the
        // cached weights, and a copy queued on this thread's stream is ordered before no other.
        weights = qv::cp().asarray(host, nb::arg("blocking") = true);
        cache[key] = weights;
    }
    int64_t taps = qv::shape_of(weights)[0];

    // float32, float16, uint8 and uint16 read and written by the kernels; others through float32.
    int type = qv::element_type(given_image);
    std::string dtype;
    nb::object input;
    if (type >= 0) {
        input = qv::cp().ascontiguousarray(given_image);
    } else {
        input = qv::converted_image(given_image, dtype);
        type = 0;
    }
    nb::object output = qv::cp().empty_like(input);
    int64_t height = shape[0], width = shape[1], channels = shape.size() == 3 ? shape[2] : 1;
    nb::object sizes[] = {qv::i32(taps), qv::i32(height), qv::i32(width), qv::i32(channels)};
    if (taps <= kMaxTiledKsize) {
        qv::launch_batch(gaussian_kernel[type], (width + 31) / 32 * 32,
                         (height + kTileRows - 1) / kTileRows * 8, count,
                         nb::make_tuple(input, output, weights, sizes[0], sizes[1], sizes[2], sizes[3]));
    } else {
        nb::object rows = qv::cp().empty(input.attr("shape"), nb::arg("dtype") = qv::cp().float32);
        qv::launch_batch(gaussian_rows_kernel[type], width, height, count,
                         nb::make_tuple(input, rows, weights, sizes[0], sizes[1], sizes[2], sizes[3]));
        qv::launch_batch(gaussian_cols_kernel[type], width, height, count,
                         nb::make_tuple(rows, output, weights, sizes[0], sizes[1], sizes[2], sizes[3]));
    }
    return dtype.empty() ? output : qv::restore_dtype(output, dtype);
}

}  // namespace

NB_MODULE(gaussian, m) {
    m.doc() =
        "Separable Gaussian blur of device images with OpenCV's kernel weights and default border "
        "(BORDER_REFLECT_101).";
    gaussian_kernel = qv::add_typed_kernel(m, "gaussian_kernel", gaussian_kernel_code);
    gaussian_rows_kernel = qv::add_typed_kernel(m, "gaussian_rows_kernel", gaussian_rows_kernel_code);
    gaussian_cols_kernel = qv::add_typed_kernel(m, "gaussian_cols_kernel", gaussian_cols_kernel_code);
    qv::Class(
        m, "GaussianBlur",
        "Gaussian blur as cv2.GaussianBlur(image, (ksize, ksize), sigma) on float32 images. An instance "
        "keeps the device weights of every (device, ksize, sigma) it has used in its `weights` dict; "
        "copies and pickles start with an empty one.")
        .field("weights", "dict[tuple[int, int, float], cp.ndarray]")
        .def("__init__", init, {{"self"}}, "None", "A blur with an empty weight cache.")
        .def("__getstate__", getstate, {{"self"}}, "dict",
             "The instance's attributes, the weight cache emptied.")
        .def("get", get, {{"self"}, {"image", "cp.ndarray"}, {"ksize", "int"}, {"sigma", "float"}},
             "cp.ndarray",
             "Blurred copy of an (H, W) or (H, W, C) device image, or of each image of an (N, H, W, C) batch "
             "in the same launches.\n\n"
             "Borders reflect about the edge pixel (gfedcb|abcdefgh|gfedcba).\n\n"
             "Args:\n"
             "    image: the image or batch. float16, uint8 and uint16 are read and written by the blur "
             "itself, integers as 0..1 over their range and written back rounded and saturated; other "
             "types are blurred in float32 and converted back.\n"
             "    ksize: odd and positive, at most 1048577, or 0 to take round(8 sigma + 1) | 1.\n"
             "    sigma: <= 0 means 0.3 ((ksize - 1) / 2 - 1) + 0.8, with OpenCV's fixed weights for ksize 1 "
             "to 9.\n\n"
             "Returns:\n"
             "    The blurred copy, of the image's shape and element type.")
        .finish();
}
