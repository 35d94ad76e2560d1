// Resizing device images with OpenCV's interpolations and OpenCV's sampling conventions, so
// that results agree with cv2.resize on the same float32 image.
//
// The kernels run one thread per output pixel (Lanczos-4's separable ones several)
// over interleaved rows with any number of channels, and read and write the image's own element
// type (float32, float16, uint8, uint16) in the same pass; other element types go through
// float32. The samplers are in resize_sampling.hpp.
#include <cmath>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/resize_sampling.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

enum Interpolation { kAuto = -1, kNearest = 0, kLinear = 1, kCubic = 2, kArea = 3, kLanczos4 = 4 };

// One entry template for every sampler (resize_entry.cuh), filled in per sampler: its name, launch
// bounds, the scales' type (area takes its ratios in float) and its call, which returns for the
// pixels past the image after its barrier. A batch's entries ($BATCH) first move to image
// blockIdx.z; the single image's keep their pointers as given, which ptxas addresses with fewer
// instructions.
const char *resize_entry =
#include "quorvex/transform/resize_entry.cuh.inc"
    ;

struct Sampler {
    const char *name, *bounds, *scale, *call;
};
// The output pixel, for the samplers that take it.
#define QV_AT \
    "int x = blockIdx.x * blockDim.x + threadIdx.x, y = blockIdx.y * blockDim.y + threadIdx.y;\n    "
#define QV_SIZES "input_width, input_height, new_width, new_height, channels, scale_x, scale_y)"
constexpr Sampler kSamplers[] = {
    {"resize_nearest", "256", "double", QV_AT "resize_nearest(input, out, x, y, " QV_SIZES},
    {"resize_linear", "256", "double", QV_AT "resize_linear<0>(input, out, x, y, " QV_SIZES},
    {"resize_cubic", "256", "double", QV_AT "resize_cubic<0>(input, out, x, y, " QV_SIZES},
    {"resize_area", "256", "float",
     QV_AT "if (x >= new_width || y >= new_height) return;\n"
           "    resize_area(input, out, x, y, input_width, input_height, scale_x, scale_y, channels)"},
    // four blocks per multiprocessor: at most 64 registers
    {"resize_lanczos4", "256, 4", "double", "resize_lanczos4(input, out, " QV_SIZES},
    // Lanczos-4's separable kernels for 3 and 1 channels shrunk at most 1/2: at most 128
    // registers (they take about 80, so that three blocks still fit a multiprocessor)
    {"resize_lanczos4_rows3", "256, 2", "double", "resize_lanczos4_rows<3>(input, out, " QV_SIZES},
    {"resize_lanczos4_rows1", "256, 2", "double", "resize_lanczos4_rows<1>(input, out, " QV_SIZES},
    // three channels unrolled, each tap's channels read at one address
    {"resize_linear3", "256", "double", QV_AT "resize_linear<3>(input, out, x, y, " QV_SIZES},
    {"resize_cubic3", "256", "double", QV_AT "resize_cubic<3>(input, out, x, y, " QV_SIZES},
};
constexpr int kLanczos4Rows3 = 5, kLanczos4Rows1 = 6, kLinear3 = 7, kCubic3 = 8, kKernels = 9;
#undef QV_AT
#undef QV_SIZES

std::string resize_kernel_code(const Sampler &k, const std::string &name, bool batched) {
    return std::string(qv::resize_sampling_code) +
           qv::typed_entries(
               qv::filled(resize_entry,
                          {{"$NAME", name},
                           {"$BOUNDS", k.bounds},
                           {"$SCALE", k.scale},
                           {"$BATCH", batched ? "    input += (long long)blockIdx.z * input_width * "
                                                "input_height * channels;\n"
                                                "    output += (long long)blockIdx.z * new_width * "
                                                "new_height * channels;\n"
                                              : ""},
                           {"$CALL", k.call}})
                   .c_str());
}

// Indexed by Interpolation, then the separable Lanczos-4 ones and the three-channel ones: the
// single image's kernels and the batch's.
qv::TypedKernel single_kernels[kKernels], batch_kernels[kKernels];

[[noreturn]] void bad_size(nb::handle size) {
    qv::raise(PyExc_ValueError, "resize() takes size as (width, height), two positive ints; got %R",
              size.ptr());
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
    nb::handle image = a["image"];
    if (!qv::is_device_array(image))
        qv::raise(PyExc_TypeError, "resize() takes a cupy.ndarray, got %s", qv::type_name(image));
    auto [new_width, new_height] = parse_size(a["size"]);
    int interpolation = parse_interpolation(a["interpolation"]);

    std::vector<int64_t> shape = qv::shape_of(image);
    bool empty = false;
    for (int64_t n : shape) empty = empty || n < 1;
    if (shape.size() < 2 || shape.size() > 4 || empty)
        qv::raise(PyExc_ValueError,
                  "resize() takes a non-empty image of shape (height, width) or (height, width, channels), "
                  "or a batch (count, height, width, channels), got shape %S",
                  nb::object(image.attr("shape")).ptr());
    // A batch is resized image by image in one launch.
    int64_t count = shape.size() == 4 ? shape[0] : 1;
    std::vector<int64_t> batch_shape = shape;
    if (shape.size() == 4) shape.erase(shape.begin());
    nb::object dtype = image.attr("dtype");
    char kind = nb::cast<std::string>(nb::object(dtype.attr("kind")))[0];
    if (kind != 'f' && kind != 'u' && kind != 'i' && kind != 'b')
        qv::raise(PyExc_TypeError, "resize() takes real-valued images, got %S", dtype.ptr());

    int64_t height = shape[0], width = shape[1], channels = shape.size() == 3 ? shape[2] : 1;
    std::vector<int64_t> out_shape = {new_height, new_width};
    if (shape.size() == 3) out_shape.push_back(channels);
    if (batch_shape.size() == 4) out_shape.insert(out_shape.begin(), count);
    qv::check_indexable(batch_shape, "image");
    qv::check_indexable(out_shape, "the resized image");
    qv::check_rows(new_height, "the resized image");

    if (interpolation == kAuto) interpolation = new_width <= width && new_height <= height ? kArea : kLinear;
    // Every interpolation reproduces the pixels at the same size.
    if (new_width == width && new_height == height) return image.attr("copy")();

    const qv::Cupy &cp = qv::cp();
    // float32, float16, uint8 and uint16 in one pass; other types through float32 and back.
    int type = qv::element_type(image);
    nb::object input =
        type >= 0 ? cp.ascontiguousarray(image) : cp.ascontiguousarray(image, nb::arg("dtype") = cp.float32);
    nb::tuple out_dims = nb::steal<nb::tuple>(PyTuple_New((Py_ssize_t)out_shape.size()));
    for (size_t i = 0; i < out_shape.size(); ++i)
        PyTuple_SET_ITEM(out_dims.ptr(), i, PyLong_FromLongLong(out_shape[i]));
    nb::object output = cp.empty(out_dims, nb::arg("dtype") = type >= 0 ? dtype : nb::borrow(cp.float32));

    nb::object scale_x, scale_y;
    int entry = interpolation;
    if (interpolation == kArea) {
        scale_x = qv::area_ratio(width, new_width);
        scale_y = qv::area_ratio(height, new_height);
    } else {
        nb::handle float64 = qv::np().module.attr("float64");
        double sx = 1.0 / ((double)new_width / (double)width),
               sy = 1.0 / ((double)new_height / (double)height);
        scale_x = float64(sx);
        scale_y = float64(sy);
        if (interpolation == kLanczos4 && (channels == 3 || channels == 1) && sy <= 2.0 &&
            qv::lanczos4_columns_fit(new_width, sx))
            entry = channels == 3 ? kLanczos4Rows3 : kLanczos4Rows1;
        if (channels == 3 && (interpolation == kLinear || interpolation == kCubic))
            entry = interpolation == kLinear ? kLinear3 : kCubic3;
    }
    const qv::TypedKernel &kernel = (batch_shape.size() == 4 ? batch_kernels : single_kernels)[entry];
    // The threads of 32 x 8 blocks: one per output pixel, but a block of the separable Lanczos-4
    // kernels (its threads one row of 256 columns) makes a strip of rows.
    int64_t threads_x = new_width, threads_y = new_height;
    if (entry == kLanczos4Rows3 || entry == kLanczos4Rows1) {
        threads_x = (new_width + qv::kLanczos4Columns - 1) / qv::kLanczos4Columns * qv::kBlockX;
        threads_y = qv::lanczos4_strips(new_width, new_height) * 8;
    }
    qv::launch_batch(kernel[type >= 0 ? type : 0], threads_x, threads_y, count,
                     nb::make_tuple(input, output, qv::i32(width), qv::i32(height), qv::i32(new_width),
                                    qv::i32(new_height), qv::i32(channels), scale_x, scale_y));
    if (type >= 0) return output;
    return convert_back(output, dtype, kind);
}

}  // namespace

NB_MODULE(resize, m) {
    m.doc() =
        "Resizing of device images (H, W) or (H, W, C) with OpenCV's interpolations, agreeing with "
        "cv2.resize. INTER_AUTO (the default) picks INTER_AREA when no axis grows and INTER_LINEAR "
        "when one is enlarged.";
    m.attr("INTER_NEAREST") = (int)kNearest;
    m.attr("INTER_LINEAR") = (int)kLinear;
    m.attr("INTER_CUBIC") = (int)kCubic;
    m.attr("INTER_AREA") = (int)kArea;
    m.attr("INTER_LANCZOS4") = (int)kLanczos4;
    m.attr("INTER_AUTO") = (int)kAuto;
    for (int i = 0; i < kKernels; ++i) {
        const Sampler &k = kSamplers[i];
        std::string single = std::string(k.name) + "_kernel", batch = std::string(k.name) + "_batch_kernel";
        single_kernels[i] = qv::add_typed_kernel(m, single.c_str(), resize_kernel_code(k, single, false));
        batch_kernels[i] = qv::add_typed_kernel(m, batch.c_str(), resize_kernel_code(k, batch, true));
    }
    qv::def(
        m, "resize", resize,
        {{"image", "cp.ndarray"},
         {"size", "tuple[int, int] | list[int]"},
         {"interpolation", "int", nb::int_((int)kAuto)}},
        "cp.ndarray",
        "New device image of shape (height, width[, C]) for size = (width, height), sampled as cv2.resize "
        "samples with the same interpolation.\n\n"
        "Any channel count; computed in float32 and written in the image's element type (integers rounded "
        "half to even and clipped to their range), in one pass for float32, float16, uint8 and uint16.\n\n"
        "Args:\n"
        "    image: the device image, or a batch (N, H, W, C), resized in one launch.\n"
        "    size: (width, height).\n"
        "    interpolation: INTER_NEAREST, INTER_LINEAR, INTER_CUBIC, INTER_AREA, INTER_LANCZOS4 or "
        "INTER_AUTO. INTER_AUTO picks INTER_AREA when neither axis grows (shrinking or the same size) and "
        "INTER_LINEAR when an axis is enlarged. INTER_AREA averages the source pixels each output pixel "
        "covers; where one axis grows and the other shrinks OpenCV samples two pixels per axis instead, so "
        "only there the two differ.\n\n"
        "Returns:\n"
        "    The (height, width[, C]) image, or a batch (N, height, width, C) for a batch.");
}
