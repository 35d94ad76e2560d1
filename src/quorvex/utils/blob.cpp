// Network input blobs: (H, W, C) device images to (1, C, H, W), with optional resize, red/blue
// swap, mean subtraction and scaling; several images stacked into one batch.
#include <string>
#include <tuple>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/resize_sampling.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Where a blob kernel puts a pixel's channel c: plane c (channels 0 and 2 swapped when swap is
// set), minus that plane's mean, times scale, in the image's element type. A resized value is
// first rounded to that type, as resize would return it, so that the one pass gives what a
// resize and a blob would. Integers are rounded half to even and saturated.
const char *blob_output_code =
#include "quorvex/utils/blob_output.cuh.inc"
    ;

// The blob of the image as it is, of the image resized bilinearly (enlarging) or by area
// (shrinking): channel reorder, swap, mean and scale (and the resize) fused into one pass.
const char *blob_entries =
#include "quorvex/utils/blob_entries.cuh.inc"
    ;

// The scales are double, but area's ratios, which are float.
// A batch's entries (batched) first move to image blockIdx.z; the single image's keep their
// pointers as given, which ptxas addresses with fewer instructions. The area sampler has no batch
// entry (no registers to spare for the move): a batch is shrunk by resize first.
std::string blob_code(const char *name, const char *call, const char *scale = "double",
                      bool batched = false) {
    std::string entry = qv::filled(
        blob_entries,
        {{"$NAME", name},
         {"$BATCH", batched
                        ? "    image += (long long)blockIdx.z * (input_width * input_height * channels);\n"
                          "    blob += (long long)blockIdx.z * (channels * height * width);\n"
                        : ""},
         {"$CALL", call},
         {"$SCALE", scale}});
    return qv::resize_sampling_code + blob_output_code + qv::typed_entries(entry.c_str());
}

// Each call returns for the threads past the blob itself (the linear one after its barrier).
const char *kAsItIs =
    "if (x >= width || y >= height) return;\n"
    "    const $T* p = image + (y * width + x) * channels;\n"
    "    for (int c = 0; c < channels; ++c) out.put(x, y, c, qv_value(p[c]))";
const char *kLinear =
    "resize_linear<0>(image, out, x, y, input_width, input_height, width, height, channels, scale_x, "
    "scale_y)";
const std::string blob_kernel_code = blob_code("blob_kernel", kAsItIs);
const std::string blob_linear_kernel_code = blob_code("blob_linear_kernel", kLinear);
const std::string blob_area_kernel_code =
    blob_code("blob_area_kernel",
              "if (x >= width || y >= height) return;\n"
              "    resize_area(image, out, x, y, input_width, input_height, scale_x, scale_y, channels)",
              "float");
const std::string blob_batch_kernel_code = blob_code("blob_batch_kernel", kAsItIs, "double", true);
const std::string blob_linear_batch_kernel_code =
    blob_code("blob_linear_batch_kernel", kLinear, "double", true);

qv::TypedKernel blob_kernel, blob_linear_kernel, blob_area_kernel, blob_batch_kernel,
    blob_linear_batch_kernel;

// (height, width) of a blob's size: two positive ints.
std::pair<int64_t, int64_t> read_size(nb::handle size, const char *function) {
    bool ok = PyTuple_Check(size.ptr()) || PyList_Check(size.ptr());
    ok = ok && PySequence_Size(size.ptr()) == 2;
    int64_t values[2] = {0, 0};
    for (Py_ssize_t i = 0; ok && i < 2; ++i) {
        nb::object item = nb::steal(PySequence_GetItem(size.ptr(), i));
        int overflow = 0;
        ok = item.is_valid() && PyLong_Check(item.ptr()) && !PyBool_Check(item.ptr()) &&
             (values[i] = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow)) > 0 && !overflow;
    }
    if (PyErr_Occurred()) PyErr_Clear();
    if (!ok)
        qv::raise(PyExc_ValueError, "%s() takes size as (height, width), two positive ints, or None; got %R",
                  function, size.ptr());
    return {values[0], values[1]};
}

nb::object to_blob_impl(nb::handle image, double scalefactor, nb::handle size, nb::handle mean, bool swap_rb,
                        const char *function, bool stacked = false) {
    using qv::sibling::bgr_to_rgb;
    using qv::sibling::resize;
    if (!qv::is_device_array(image))
        qv::raise(PyExc_TypeError, "%s() takes %s as a cupy.ndarray, got %s", function,
                  std::string(function) == "to_blob" ? "image" : "images' entries", qv::type_name(image));
    const qv::Cupy &cp = qv::cp();
    nb::object dtype = image.attr("dtype");
    std::vector<int64_t> shape = qv::shape_of(image);
    // A stack of images (from to_blobs) is one launch, image by image.
    int64_t count = 1;
    if (stacked) {
        count = shape[0];
        shape.erase(shape.begin());
    }
    int64_t height = shape.size() == 3 ? shape[0] : 0, width = shape.size() == 3 ? shape[1] : 0;
    if (!size.is_none()) std::tie(height, width) = read_size(size, function);
    nb::list means = nb::list(mean);
    int type = qv::element_type(image);
    bool fused = type >= 0 && shape.size() == 3 && shape[0] >= 1 && shape[1] >= 1 && shape[2] >= 1 &&
                 shape[2] <= 4 && nb::len(means) == (size_t)shape[2];
    if (fused) {
        qv::check_indexable({count, shape[0], shape[1], shape[2]}, "image");
        int64_t channels = shape[2];
        qv::check_indexable({count, height, width, channels}, "the blob");
        qv::check_rows(height, "the blob");
        nb::object img = cp.ascontiguousarray(image);
        nb::object blob = cp.empty(nb::make_tuple(count, channels, height, width), nb::arg("dtype") = dtype);
        // Means go through float32 first, as the array subtraction would take them.
        double m[4] = {0, 0, 0, 0};
        for (int64_t c = 0; c < channels; ++c) m[c] = (float)nb::cast<double>(means[c]);
        // resize's own choice: the image as it is at its size, else area when no axis grows.
        bool area = false, resized = height != shape[0] || width != shape[1];
        if (resized) area = width <= shape[1] && height <= shape[0];
        if (area && stacked) {  // the same values, in two launches (see blob_code)
            img = resize(img, nb::make_tuple(width, height), nb::arg("interpolation") = 3);  // INTER_AREA
            shape[0] = height, shape[1] = width;
            area = resized = false;
        }
        nb::handle kernel = area      ? blob_area_kernel[type]
                            : resized ? (stacked ? blob_linear_batch_kernel : blob_linear_kernel)[type]
                                      : (stacked ? blob_batch_kernel : blob_kernel)[type];
        nb::object scale_x, scale_y;
        if (area) {
            scale_x = qv::area_ratio(shape[1], width);
            scale_y = qv::area_ratio(shape[0], height);
        } else {
            nb::handle float64 = qv::np().module.attr("float64");
            scale_x = float64(1.0 / ((double)width / (double)shape[1]));
            scale_y = float64(1.0 / ((double)height / (double)shape[0]));
        }
        qv::launch_batch(
            kernel, width, height, count,
            nb::make_tuple(img, blob, qv::i32(shape[1]), qv::i32(shape[0]), qv::i32(width), qv::i32(height),
                           qv::i32(channels), scale_x, scale_y, qv::i32(swap_rb && channels >= 3),
                           qv::f32(m[0]), qv::f32(m[1]), qv::f32(m[2]), qv::f32(m[3]), qv::f32(scalefactor)));
        return blob;
    }
    if (stacked) {
        nb::list blobs;
        for (int64_t i = 0; i < count; ++i)
            blobs.append(to_blob_impl(image[nb::int_(i)], scalefactor, size, mean, swap_rb, function));
        return cp.module.attr("concatenate")(blobs, nb::arg("axis") = 0);
    }
    // Other element types and layouts: the same steps as array operations; the blob keeps the
    // input's element type.
    nb::object img = nb::borrow(image);
    if (!size.is_none()) img = resize(img, nb::make_tuple(width, height));
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
    return to_blob_impl(a["image"], as_scalefactor(a["scalefactor"]), a["size"], a["mean"],
                        PyObject_IsTrue(a["swapRB"].ptr()) == 1, "to_blob");
}

nb::object to_blobs(const qv::Args &a) {
    double scalefactor = as_scalefactor(a["scalefactor"]);
    bool swap_rb = PyObject_IsTrue(a["swapRB"].ptr()) == 1;
    const qv::Cupy &cp = qv::cp();
    // Images of one shape and type are stacked and packed in one launch.
    nb::object images = nb::borrow(a["images"]);
    bool alike = nb::len(images) >= 1;
    for (size_t i = 0; alike && i < nb::len(images); ++i) {
        nb::object image = images[nb::int_(i)], first = images[nb::int_(0)];
        alike = qv::is_device_array(image) && qv::element_type(image) >= 0 &&
                qv::shape_of(image).size() == 3 && image.attr("shape").equal(first.attr("shape")) &&
                image.attr("dtype").equal(first.attr("dtype"));
    }
    if (alike) {
        nb::object batch =
            nb::len(images) == 1 ? images[nb::int_(0)][nb::none()] : cp.module.attr("stack")(images);
        return to_blob_impl(batch, scalefactor, a["size"], a["mean"], swap_rb, "to_blobs", true);
    }
    nb::list blobs;
    for (nb::handle image : images)
        blobs.append(to_blob_impl(image, scalefactor, a["size"], a["mean"], swap_rb, "to_blobs"));
    return cp.module.attr("concatenate")(blobs, nb::arg("axis") = 0);
}

}  // namespace

NB_MODULE(blob, m) {
    m.doc() = "Network input blobs from device images: (H, W, C) -> (1, C, H, W), batches (N, C, H, W).";
    blob_kernel = qv::add_typed_kernel(m, "blob_kernel", blob_kernel_code);
    blob_linear_kernel = qv::add_typed_kernel(m, "blob_linear_kernel", blob_linear_kernel_code);
    blob_area_kernel = qv::add_typed_kernel(m, "blob_area_kernel", blob_area_kernel_code);
    blob_batch_kernel = qv::add_typed_kernel(m, "blob_batch_kernel", blob_batch_kernel_code);
    blob_linear_batch_kernel =
        qv::add_typed_kernel(m, "blob_linear_batch_kernel", blob_linear_batch_kernel_code);
    nb::object zeros = nb::make_tuple(0, 0, 0);
    qv::def(m, "to_blob", to_blob,
            {{"image", "cp.ndarray"},
             {"scalefactor", "float", nb::float_(1.0)},
             {"size", "tuple[int, int] | None", nb::none()},
             {"mean", "tuple[float, ...] | list[float]", zeros},
             {"swapRB", "bool", nb::bool_(false)},
             {"fp16", "bool", nb::bool_(false)}},
            "cp.ndarray",
            "(1, C, H, W) blob of an (H, W, C) device image.\n\n"
            "The image is resized (size) and its channels swapped (swapRB), then (image - mean) * "
            "scalefactor is taken, in the image's element type (integers rounded half to even and "
            "saturated). One pass for float32, float16, uint8 and uint16 images of 1 to 4 channels with a "
            "mean per channel.\n\n"
            "Args:\n"
            "    image: the (H, W, C) device image.\n"
            "    scalefactor: the factor (image - mean) is multiplied by.\n"
            "    size: read as (height, width); the image is resized to it when given (as resize's "
            "INTER_AUTO).\n"
            "    mean: subtracted from the image.\n"
            "    swapRB: channels 0 and 2 are swapped when True.\n"
            "    fp16: accepted and has no effect.");
    qv::def(
        m, "to_blobs", to_blobs,
        {{"images", "list[cp.ndarray] | tuple[cp.ndarray, ...]"},
         {"scalefactor", "float", nb::float_(1.0)},
         {"size", "tuple[int, int] | None", nb::none()},
         {"mean", "tuple[float, ...] | list[float]", zeros},
         {"swapRB", "bool", nb::bool_(false)},
         {"fp16", "bool", nb::bool_(false)}},
        "cp.ndarray",
        "(N, C, H, W) batch: to_blob of each image, concatenated along the first axis (images of one shape "
        "and element type stacked and packed in one pass).");
}
