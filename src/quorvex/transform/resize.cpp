// Resizing device images with OpenCV's interpolations and OpenCV's sampling conventions, so that
// results agree with cv2.resize on the same float32 image.
//
// Every kernel runs one thread per output pixel over interleaved float32 rows with any number of
// channels. Scales are src / dst per axis, formed once on the host as 1 / (dst / src) in double
// the way OpenCV forms them, so that sampling positions (and nearest-neighbour picks) fall where
// OpenCV's do, and no thread divides in double.
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

#include <cmath>
#include <string>

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

enum Interpolation { kAuto = -1, kNearest = 0, kLinear = 1, kCubic = 2, kArea = 3, kLanczos4 = 4 };

const char *resize_nearest_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256)
resize_nearest_kernel(const float* __restrict__ input, float* __restrict__ output,
                      int input_width, int input_height, int new_width, int new_height, int channels,
                      double scale_x, double scale_y) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    int sx = (int)fmin(floor(x * scale_x), (double)(input_width - 1));
    int sy = (int)fmin(floor(y * scale_y), (double)(input_height - 1));
    const float* p = input + (sy * input_width + sx) * channels;
    float* out = output + (y * new_width + x) * channels;
    for (int c = 0; c < channels; ++c) out[c] = p[c];
}
)";

// Horizontal pass per source row, then the rows blended, as OpenCV orders the sums. Positions
// outside the outer pixel centres take the outer pixel alone: as in OpenCV, its neighbour is not
// read at all there, so a NaN or infinity in it does not leak into the border through a weight
// of 0. (Inside, a position that falls exactly on a pixel still reads both taps, as OpenCV does.)
const char *resize_linear_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256)
resize_linear_kernel(const float* __restrict__ input, float* __restrict__ output,
                     int input_width, int input_height, int new_width, int new_height, int channels,
                      double scale_x, double scale_y) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    // Rounded step by step, never fused, so that positions (and the taps they pick) are OpenCV's.
    double fx = __dadd_rn(__dmul_rn(x + 0.5, scale_x), -0.5);
    double fy = __dadd_rn(__dmul_rn(y + 0.5, scale_y), -0.5);
    int sx = (int)floor(fx), sy = (int)floor(fy);
    float ax = (float)(fx - sx), ay = (float)(fy - sy);
    bool x_edge = sx < 0 || sx >= input_width - 1, y_edge = sy < 0 || sy >= input_height - 1;
    if (x_edge) sx = sx < 0 ? 0 : input_width - 1;
    if (y_edge) sy = sy < 0 ? 0 : input_height - 1;
    int row = input_width * channels;
    const float* r0 = input + sy * row;
    const float* r1 = input + min(sy + 1, input_height - 1) * row;
    int c0 = sx * channels, c1 = min(sx + 1, input_width - 1) * channels;
    float* out = output + (y * new_width + x) * channels;
    for (int c = 0; c < channels; ++c) {
        float h0 = x_edge ? r0[c0 + c] : r0[c0 + c] * (1.0f - ax) + r0[c1 + c] * ax;
        if (y_edge) {
            out[c] = h0;
            continue;
        }
        float h1 = x_edge ? r1[c0 + c] : r1[c0 + c] * (1.0f - ax) + r1[c1 + c] * ax;
        out[c] = h0 * (1.0f - ay) + h1 * ay;
    }
}
)";

// Cubic and Lanczos-4 sample TAPS neighbours per axis around the position, with weights from
// their own function; neighbours past the border repeat the edge pixel.
const char *separable_taps_code = R"(
template <int TAPS, typename Weights>
__device__ void resize_taps(const float* __restrict__ input, float* __restrict__ output,
                            int input_width, int input_height, int new_width, int new_height, int channels,
                            double scale_x, double scale_y) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= new_width || y >= new_height) return;
    // Rounded step by step, never fused, so that positions (and the taps they pick) are OpenCV's.
    double fx = __dadd_rn(__dmul_rn(x + 0.5, scale_x), -0.5);
    double fy = __dadd_rn(__dmul_rn(y + 0.5, scale_y), -0.5);
    // Taps clamp in 64 bits: sx + TAPS / 2 may pass INT_MAX on the widest images.
    long long sx = (long long)floor(fx), sy = (long long)floor(fy);
    float wx[TAPS], wy[TAPS];
    Weights::get((float)(fx - sx), wx);
    Weights::get((float)(fy - sy), wy);
    int ox[TAPS], oy[TAPS];
    #pragma unroll
    for (int k = 0; k < TAPS; ++k) {
        long long tx = min(max(sx - (TAPS / 2 - 1) + k, 0LL), (long long)input_width - 1);
        long long ty = min(max(sy - (TAPS / 2 - 1) + k, 0LL), (long long)input_height - 1);
        ox[k] = (int)tx * channels;
        oy[k] = (int)ty * input_width * channels;
    }
    float* out = output + (y * new_width + x) * channels;
    for (int c = 0; c < channels; ++c) {
        float sum = 0.0f;
        #pragma unroll
        for (int j = 0; j < TAPS; ++j) {
            const float* r = input + oy[j] + c;
            float h = 0.0f;
            #pragma unroll
            for (int i = 0; i < TAPS; ++i) h += r[ox[i]] * wx[i];
            sum += h * wy[j];
        }
        out[c] = sum;
    }
}
)";

// Keys' cubic with a = -0.75 over 4 taps.
const std::string resize_cubic_kernel_code = std::string(separable_taps_code) + R"(
struct CubicWeights {
    __device__ static void get(float t, float* w) {
        const float a = -0.75f;
        float u = t + 1.0f, v = 1.0f - t;
        w[0] = ((a * u - 5.0f * a) * u + 8.0f * a) * u - 4.0f * a;
        w[1] = ((a + 2.0f) * t - (a + 3.0f)) * t * t + 1.0f;
        w[2] = ((a + 2.0f) * v - (a + 3.0f)) * v * v + 1.0f;
        w[3] = 1.0f - w[0] - w[1] - w[2];
    }
};

extern "C" __global__ void __launch_bounds__(256)
resize_cubic_kernel(const float* __restrict__ input, float* __restrict__ output,
                    int input_width, int input_height, int new_width, int new_height, int channels,
                      double scale_x, double scale_y) {
    resize_taps<4, CubicWeights>(input, output, input_width, input_height, new_width, new_height, channels,
                                  scale_x, scale_y);
}
)";

// Lanczos window of 4 lobes over 8 taps, weights normalised to sum 1. Tap i sits
// d = t + 3 - i from the sample: sin(pi d) only alternates in sign from tap to tap and cancels
// in the normalisation, and sin(pi d / 4) for all taps follows from one sinpi/cospi by angle sums.
// OpenCV rounds this interpolation's sample positions to float, which on images a thousand
// pixels across moves its weights by up to ~1e-4; positions here stay in double.
const std::string resize_lanczos4_kernel_code = std::string(separable_taps_code) + R"(
struct Lanczos4Weights {
    __device__ static void get(float t, float* w) {
        const float quarter_pi = 0.785398163397448310f;
        const float r = 0.707106781186547524f;
        // (-1)^i sin(pi b + i pi / 4) = sinpi b * cs[i][0] + cospi b * cs[i][1]
        const float cs[8][2] = {{1.0f, 0.0f}, {-r, -r}, {0.0f, 1.0f}, {r, -r},
                                {-1.0f, 0.0f}, {r, r}, {0.0f, -1.0f}, {-r, r}};
        // sinpi/cospi need no range reduction through local memory, unlike sinf/cosf.
        float b = -(t + 3.0f) * 0.25f;
        float s = sinpif(b), co = cospif(b);
        float sum = 0.0f;
        #pragma unroll
        for (int i = 0; i < 8; ++i) {
            float d = t + 3.0f - i;
            if (fabsf(d) >= 1e-6f) {
                float angle = d * quarter_pi;
                w[i] = (cs[i][0] * s + cs[i][1] * co) / (angle * angle);
            } else {
                w[i] = 1e30f;  // the sample sits on this tap
            }
            sum += w[i];
        }
        float inv = 1.0f / sum;
        #pragma unroll
        for (int i = 0; i < 8; ++i) w[i] *= inv;
    }
};

extern "C" __global__ void __launch_bounds__(256)
resize_lanczos4_kernel(const float* __restrict__ input, float* __restrict__ output,
                       int input_width, int input_height, int new_width, int new_height, int channels,
                      double scale_x, double scale_y) {
    resize_taps<8, Lanczos4Weights>(input, output, input_width, input_height, new_width, new_height, channels,
                                    scale_x, scale_y);
}
)";

nb::handle nearest_kernel, linear_kernel, cubic_kernel, lanczos4_kernel;

[[noreturn]] void bad_size(nb::handle size) {
    qv::raise(PyExc_ValueError, "resize() takes size as (width, height), two positive ints; got %R", size.ptr());
}

// (width, height) from a tuple or list of two positive ints.
std::pair<int64_t, int64_t> parse_size(nb::handle size) {
    if (PySequence_Size(size.ptr()) != 2) bad_size(size);
    int64_t values[2];
    for (Py_ssize_t i = 0; i < 2; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(size.ptr(), i));
        if (!item.is_valid()) throw nb::python_error();
        if (PyBool_Check(item.ptr()) || !PyIndex_Check(item.ptr())) bad_size(size);
        Py_ssize_t v = PyNumber_AsSsize_t(item.ptr(), nullptr);  // saturates; huge sizes fail below
        if (v == -1 && PyErr_Occurred()) throw nb::python_error();
        if (v < 1) bad_size(size);
        values[i] = v;
    }
    return {values[0], values[1]};
}

int parse_interpolation(nb::handle value) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (overflow || v < kAuto || v > kLanczos4)
        qv::raise(PyExc_ValueError,
                  "resize() got an unknown interpolation %R; use INTER_NEAREST (0), INTER_LINEAR (1), "
                  "INTER_CUBIC (2), INTER_AREA (3), INTER_LANCZOS4 (4) or INTER_AUTO (-1)",
                  value.ptr());
    return (int)v;
}

// float32 result back to the input's element type. Integers round to nearest and clip to their
// range; wide ones do so in float64, where the bounds themselves are (nearly) representable.
nb::object convert_back(nb::object out, nb::handle dtype, char kind) {
    nb::handle cp = qv::cp().module;
    if (kind == 'f') return out.attr("astype")(dtype);
    double lo = 0.0, hi = 1.0;
    int64_t itemsize = nb::cast<int64_t>(dtype.attr("itemsize"));
    if (kind != 'b') {
        nb::object info = qv::np().module.attr("iinfo")(dtype);
        lo = PyLong_AsDouble(nb::object(info.attr("min")).ptr());
        hi = PyLong_AsDouble(nb::object(info.attr("max")).ptr());
        if (itemsize >= 8) hi = std::nextafter(hi, 0.0);  // 2**63 or 2**64 would overflow the cast
        if (itemsize >= 4) out = out.attr("astype")(cp.attr("float64"));
    }
    cp.attr("rint")(out, nb::arg("out") = out);
    cp.attr("clip")(out, lo, hi, nb::arg("out") = out);
    return out.attr("astype")(dtype);
}

nb::object resize(const qv::Args &a) {
    nb::handle image = a[0];
    if (!qv::is_device_array(image))
        qv::raise(PyExc_TypeError, "resize() takes a cupy.ndarray, got %s", qv::type_name(image));
    auto [new_width, new_height] = parse_size(a[1]);
    int interpolation = parse_interpolation(a[2]);

    std::vector<int64_t> shape = qv::shape_of(image);
    if (shape.size() < 2 || shape.size() > 3 || shape[0] < 1 || shape[1] < 1 || (shape.size() == 3 && shape[2] < 1))
        qv::raise(PyExc_ValueError,
                  "resize() takes a non-empty image of shape (height, width) or (height, width, channels), "
                  "got shape %S",
                  nb::object(image.attr("shape")).ptr());
    nb::object dtype = image.attr("dtype");
    char kind = nb::cast<std::string>(nb::object(dtype.attr("kind")))[0];
    if (kind != 'f' && kind != 'u' && kind != 'i' && kind != 'b')
        qv::raise(PyExc_TypeError, "resize() takes real-valued images, got %S", dtype.ptr());

    int64_t height = shape[0], width = shape[1], channels = shape.size() == 3 ? shape[2] : 1;
    std::vector<int64_t> out_shape = {new_height, new_width};
    if (shape.size() == 3) out_shape.push_back(channels);
    qv::check_indexable(shape, "image");
    qv::check_indexable(out_shape, "the resized image");
    qv::check_rows(new_height, "the resized image");

    if (interpolation == kAuto)
        interpolation = new_width <= width && new_height <= height ? kArea : kLinear;
    // Every interpolation reproduces the pixels at the same size.
    if (new_width == width && new_height == height) return image.attr("copy")();

    const qv::Cupy &cp = qv::cp();
    nb::object input = cp.ascontiguousarray(image, nb::arg("dtype") = cp.float32);
    nb::tuple out_dims = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)out_shape.size()));
    for (size_t i = 0; i < out_shape.size(); ++i) PyTuple_SET_ITEM(out_dims.ptr(), i, PyLong_FromLongLong(out_shape[i]));
    nb::object output = cp.empty(out_dims, nb::arg("dtype") = cp.float32);

    nb::handle kernel;
    switch (interpolation) {
    case kNearest: kernel = nearest_kernel; break;
    case kLinear: kernel = linear_kernel; break;
    case kCubic: kernel = cubic_kernel; break;
    case kLanczos4: kernel = lanczos4_kernel; break;
    default: {
        static nb::handle area = qv::package_attr("quorvex.transform.interporation.area", "area_kernel").release();
        kernel = area;
    }
    }
    nb::object args = nb::make_tuple(input, output, qv::i32(width), qv::i32(height), qv::i32(new_width),
                                     qv::i32(new_height), qv::i32(channels));
    if (interpolation != kArea) {
        nb::handle float64 = qv::np().module.attr("float64");
        args = args + nb::make_tuple(float64(1.0 / ((double)new_width / (double)width)),
                                     float64(1.0 / ((double)new_height / (double)height)));
    }
    qv::launch_2d(kernel, new_width, new_height, args);

    if (nb::cast<std::string>(qv::str_of(dtype)) == "float32") return output;
    return convert_back(output, dtype, kind);
}

}  // namespace

NB_MODULE(resize, m) {
    m.doc() = "Resizing of device images (H, W) or (H, W, C) with OpenCV's interpolations, agreeing with "
              "cv2.resize. INTER_AUTO (the default) picks INTER_AREA when no axis grows and INTER_LINEAR "
              "when one is enlarged.";
    m.attr("INTER_NEAREST") = (int)kNearest;
    m.attr("INTER_LINEAR") = (int)kLinear;
    m.attr("INTER_CUBIC") = (int)kCubic;
    m.attr("INTER_AREA") = (int)kArea;
    m.attr("INTER_LANCZOS4") = (int)kLanczos4;
    m.attr("INTER_AUTO") = (int)kAuto;
    nearest_kernel = qv::add_kernel(m, "resize_nearest_kernel", resize_nearest_kernel_code);
    linear_kernel = qv::add_kernel(m, "resize_linear_kernel", resize_linear_kernel_code);
    cubic_kernel = qv::add_kernel(m, "resize_cubic_kernel", resize_cubic_kernel_code.c_str());
    lanczos4_kernel = qv::add_kernel(m, "resize_lanczos4_kernel", resize_lanczos4_kernel_code.c_str());
    qv::def(m, "resize", resize,
            {{"image", "cp.ndarray"},
             {"size", "tuple[int, int] | list[int]"},
             {"interpolation", "int", nb::int_((int)kAuto)}},
            "cp.ndarray",
            "New device image of shape (height, width[, C]) for size = (width, height), sampled as "
            "cv2.resize samples with the same interpolation (INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, "
            "INTER_AREA, INTER_LANCZOS4). INTER_AUTO picks INTER_AREA when neither axis grows (shrinking "
            "or the same size) and INTER_LINEAR when an axis is enlarged. INTER_AREA averages the source "
            "pixels each output pixel covers; where one axis grows and the other shrinks OpenCV samples two "
            "pixels per axis instead, so only there the two differ. Any channel count; computed in float32, "
            "other element types are converted back (integers rounded and clipped to their range).");
}
