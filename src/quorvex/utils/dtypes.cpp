// Element-type conversions between the package's float convention (0 to 1) and integer images.
//
// Integers map by their full range: uint8 0..255 and uint16 0..65535 correspond to 0.0..1.0.
// Floats going to integers are scaled, rounded to nearest (ties to even; float16 and float32
// from the exact product), clipped to the type's range, and NaN becomes 0. Float-to-float
// conversions keep values as they are. Device arrays stay on the device (one fused CuPy
// operation where one suffices), host arrays on the host.
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// A device image to 8 or 16 bits in one launch, reading its own element type: float32 or float16
// (widened exactly) rounded as qv_unit_store rounds (half to even on the exact product, in float
// arithmetic: no FP64), uint16 to 8 bits (round(x / 257), never a tie), uint8 to 16 (x * 257).
// One entry per conversion (quantize_float32_to_uint8, ...), four elements a thread: where the
// host found both arrays aligned for it (vector), each thread reads them in one access of 4 to 16
// bytes and writes them in one; otherwise one by one. float64 images have a kernel of their own,
// whose product needs double.
const std::string quantize_kernel_code = std::string(qv::element_types_code) +
#include "quorvex/utils/dtypes_quantize_kernel.cuh.inc"
    ;

// The entries by source (float32, float16, uint16, uint8) and result (uint8, uint16); none for
// uint16 -> uint16 or uint8 -> uint8.
const char *const kQuantizeEntries[4][2] = {{"quantize_float32_to_uint8", "quantize_float32_to_uint16"},
                                            {"quantize_float16_to_uint8", "quantize_float16_to_uint16"},
                                            {"quantize_uint16_to_uint8", nullptr},
                                            {nullptr, "quantize_uint8_to_uint16"}};
nb::handle quantize_kernels[4][2], quantize_double_kernel;

enum class Kind { Float32, Float, UInt8, UInt16, Bool, Other };

struct Image {
    nb::handle xp;  // cupy or numpy, whichever holds the image
    nb::object array;
    Kind kind;
    std::string dtype;
};

Image inspect(nb::handle image, const char *function) {
    nb::handle xp;
    if (qv::is_device_array(image))
        xp = qv::cp().module;
    else if (PyObject_IsInstance(image.ptr(), qv::np().ndarray.ptr()) == 1)
        xp = qv::np().module;
    else
        qv::raise(PyExc_TypeError, "%s() takes a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(image));
    // A broadcast view may stand for far more memory than it holds: refused before its
    // converted copy is allocated.
    if (qv::is_device_array(image)) qv::check_indexable(qv::shape_of(image), "image");
    std::string dtype = nb::cast<std::string>(qv::str_of(image.attr("dtype")));
    Kind kind = Kind::Other;
    if (dtype == "float32")
        kind = Kind::Float32;
    else if (dtype == "float16" || dtype == "float64")
        kind = Kind::Float;
    else if (dtype == "uint8")
        kind = Kind::UInt8;
    else if (dtype == "uint16")
        kind = Kind::UInt16;
    else if (dtype == "bool")
        kind = Kind::Bool;
    return {xp, nb::borrow(image), kind, dtype};
}

[[noreturn]] void unsupported(const Image &img, const char *function) {
    qv::raise(PyExc_ValueError,
              "%s() takes float, uint8, uint16 or bool images; got %s (signed integers have no agreed "
              "range, convert them first)",
              function, img.dtype.c_str());
}

// x / max as float32 in a single pass.
nb::object scaled_down(const Image &img, double max) {
    return img.xp.attr("divide")(img.array, qv::np().float32(max), nb::arg("dtype") = img.xp.attr("float32"));
}

nb::object to_float32(const qv::Args &a) {
    Image img = inspect(a["image"], "to_float32");
    switch (img.kind) {
        case Kind::Float32:
            return nb::borrow(img.array);
        case Kind::Float:
        case Kind::Bool:
            return img.array.attr("astype")(img.xp.attr("float32"));
        case Kind::UInt8:
            return scaled_down(img, 255.0);
        case Kind::UInt16:
            return scaled_down(img, 65535.0);
        default:
            unsupported(img, "to_float32");
    }
}

nb::object to_float16(const qv::Args &a) {
    Image img = inspect(a["image"], "to_float16");
    switch (img.kind) {
        case Kind::Float32:
        case Kind::Float:
        case Kind::Bool:
            return img.array.attr("astype")(img.xp.attr("float16"));
        case Kind::UInt8:
            return scaled_down(img, 255.0).attr("astype")(img.xp.attr("float16"));
        case Kind::UInt16:
            return scaled_down(img, 65535.0).attr("astype")(img.xp.attr("float16"));
        default:
            unsupported(img, "to_float16");
    }
}

// A device image (float, or 16 bits to 8, 8 to 16) -> integer type of range 0..max in one launch.
nb::object quantize_on_device(const Image &img, double max, const char *dtype) {
    const qv::Cupy &cp = qv::cp();
    nb::object input = cp.ascontiguousarray(img.array);
    nb::object output = cp.empty(input.attr("shape"), nb::arg("dtype") = cp.module.attr(dtype));
    int64_t count = nb::cast<int64_t>(input.attr("size"));
    if (count == 0) return output;
    nb::handle bytes = qv::np().module.attr("uint8");
    nb::object out = output.attr("reshape")(-1).attr("view")(bytes), n = qv::np().module.attr("int64")(count);
    nb::object grid = nb::make_tuple((count + 255) / 256), block = nb::make_tuple(256);
    int output_bytes = max > 255.0 ? 2 : 1;
    if (img.dtype == "float64") {
        quantize_double_kernel(grid, block,
                               nb::make_tuple(input.attr("reshape")(-1), out, n, qv::i32(output_bytes),
                                              qv::np().module.attr("float64")(max)));
        return output;
    }
    int kind = img.dtype == "float16" ? 1 : img.dtype == "uint16" ? 2 : img.dtype == "uint8" ? 3 : 0;
    // Four elements a thread, in one access each way where both arrays are aligned for four.
    bool vector = count % 4 == 0 && qv::aligned_for_fours({input, output});
    nb::handle kernel = quantize_kernels[kind][output_bytes - 1];
    if (!kernel.is_valid()) throw std::logic_error("no quantizing kernel for " + img.dtype);
    kernel(nb::make_tuple((count + 1023) / 1024), block,
           nb::make_tuple(input.attr("reshape")(-1), output.attr("reshape")(-1), n, qv::i32(vector)));
    return output;
}

// Float image -> integer type of range 0..max: scale, round, clip, NaN to 0.
nb::object quantize(const Image &img, double max, const char *dtype) {
    nb::handle xp = img.xp;
    if (xp.is(qv::cp().module)) return quantize_on_device(img, max, dtype);
    // In float64 the product of a float16 or float32 value and 255 or 65535 is exact, so values
    // next to a tie round the right way; a float32 product rounds some of them onto the tie.
    nb::object x = xp.attr("multiply")(img.array, max, nb::arg("dtype") = xp.attr("float64"));
    xp.attr("rint")(x, nb::arg("out") = x);
    xp.attr("clip")(x, 0.0, max, nb::arg("out") = x);
    xp.attr("nan_to_num")(x, nb::arg("copy") = false, nb::arg("nan") = 0.0);
    return x.attr("astype")(xp.attr(dtype));
}

nb::object to_uint8(const qv::Args &a) {
    Image img = inspect(a["image"], "to_uint8");
    switch (img.kind) {
        case Kind::UInt8:
            return nb::borrow(img.array);
        case Kind::Bool:
            return img.array.attr("astype")(img.xp.attr("uint8")) * nb::int_(255);
        case Kind::UInt16: {
            if (img.xp.is(qv::cp().module)) return quantize_on_device(img, 255.0, "uint8");
            // round(x * 255 / 65535) = round(x / 257), exactly in integers (x / 257 is never a tie).
            nb::object wide = img.array.attr("astype")(img.xp.attr("uint32"));
            nb::object rounded = (wide + nb::int_(128)).attr("__floordiv__")(nb::int_(257));
            return rounded.attr("astype")(img.xp.attr("uint8"));
        }
        case Kind::Float32:
        case Kind::Float:
            return quantize(img, 255.0, "uint8");
        default:
            unsupported(img, "to_uint8");
    }
}

nb::object to_uint16(const qv::Args &a) {
    Image img = inspect(a["image"], "to_uint16");
    switch (img.kind) {
        case Kind::UInt16:
            return nb::borrow(img.array);
        case Kind::UInt8:
            if (img.xp.is(qv::cp().module)) return quantize_on_device(img, 65535.0, "uint16");
            return img.array.attr("astype")(img.xp.attr("uint16")) * nb::int_(257);
        case Kind::Bool:
            return img.array.attr("astype")(img.xp.attr("uint16")) * nb::int_(65535);
        case Kind::Float32:
        case Kind::Float:
            return quantize(img, 65535.0, "uint16");
        default:
            unsupported(img, "to_uint16");
    }
}

}  // namespace

NB_MODULE(dtypes, m) {
    m.doc() = "Element-type conversions between 0-to-1 float images and 8/16-bit integer images.";
    for (int in = 0; in < 4; ++in)
        for (int out = 0; out < 2; ++out)
            if (const char *name = kQuantizeEntries[in][out])
                quantize_kernels[in][out] = qv::add_kernel(m, name, quantize_kernel_code.c_str());
    quantize_double_kernel = qv::add_kernel(m, "quantize_double_kernel", quantize_kernel_code.c_str());
    const char *image = "cp.ndarray | np.ndarray";
    qv::def(m, "to_float32", to_float32, {{"image", image}}, "cp.ndarray | np.ndarray",
            "float32 copy of an image (the image itself when it already is float32): uint8 and uint16 "
            "are divided by 255 and 65535, floats keep their values.");
    qv::def(m, "to_float16", to_float16, {{"image", image}}, "cp.ndarray | np.ndarray",
            "float16 image: integers scaled to 0..1 as by to_float32, floats keep their values.");
    qv::def(m, "to_uint8", to_uint8, {{"image", image}}, "cp.ndarray | np.ndarray",
            "uint8 image: floats times 255, rounded to nearest (ties to even) and clipped to 0..255 (NaN -> "
            "0); uint16 scaled by 255/65535 and rounded to nearest.");
    qv::def(m, "to_uint16", to_uint16, {{"image", image}}, "cp.ndarray | np.ndarray",
            "uint16 image: floats times 65535, rounded to nearest (ties to even) and clipped to 0..65535 "
            "(NaN -> 0); uint8 times 257.");
}
