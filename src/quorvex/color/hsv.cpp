// BGR <-> HSV on float32 device images, with OpenCV's float conventions (cv2.COLOR_BGR2HSV and
// cv2.COLOR_HSV2BGR on float32): H in degrees 0..360, S and V 0..1, achromatic pixels H = 0.
#include "quorvex/function.hpp"
#include "quorvex/image.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Each for float32, float16, uint8 and uint16 inputs (integers as 0..1 over their range, as
// to_float32 maps them), so no conversion pass precedes it; the result is float32.
const std::string bgr_to_hsv_kernel_code = qv::element_types_code + qv::typed_entries(
#include "quorvex/color/bgr_to_hsv_kernel.cuh.inc"
                                                                    );

// Float inputs only (float16 read as itself); integer HSV images are refused.
const std::string hsv_to_bgr_kernel_code = qv::element_types_code + qv::typed_entries(
#include "quorvex/color/hsv_to_bgr_kernel.cuh.inc"
                                                                    );

qv::TypedKernel bgr_to_hsv_kernel, hsv_to_bgr_kernel;

nb::object convert(nb::handle image, const qv::TypedKernel &kernel, const char *function, bool float_only) {
    const qv::Cupy &cp = qv::cp();
    std::string dtype;
    nb::handle source = image;
    nb::object host_copy, rows;
    if (qv::is_host_array(image)) source = host_copy = cp.asarray(image);
    // A batch (N, H, W, 3) is converted as the one image of its N * H rows.
    std::vector<int64_t> given = qv::is_device_array(source) ? qv::shape_of(source) : std::vector<int64_t>{};
    bool batch = given.size() == 4 && given[3] == 3;
    if (batch) source = rows = cp.ascontiguousarray(source).attr("reshape")(given[0] * given[1], given[2], 3);
    // Hue in degrees has no integer encoding to scale from.
    if (float_only && qv::is_device_array(source) &&
        nb::cast<std::string>(source.attr("dtype").attr("kind")) != "f")
        qv::raise(PyExc_TypeError, "%s() takes a float image, got %U", function,
                  qv::str_of(source.attr("dtype")).ptr());
    // The kernels read the four element types as they are; others are converted first.
    int type = qv::is_device_array(source) ? qv::element_type(source) : -1;
    nb::object img;
    if (type >= 0) {
        qv::image_shape(source, function);
        img = cp.ascontiguousarray(source);
    } else {
        img = qv::float32_image(source, function, dtype);
        type = 0;
    }
    std::vector<int64_t> shape = qv::shape_of(img);
    if (shape.size() != 3 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "%s() takes an image of shape (height, width, 3), got %U", function,
                  qv::str_of(img.attr("shape")).ptr());
    qv::check_indexable(shape, "image");
    nb::object out = cp.empty(img.attr("shape"), nb::arg("dtype") = cp.float32);
    qv::launch_quads(kernel[type], img, out, shape[0] * shape[1]);
    return batch ? out.attr("reshape")(given[0], given[1], given[2], 3) : out;
}

nb::object bgr_to_hsv(const qv::Args &a) {
    return convert(a["image"], bgr_to_hsv_kernel, "bgr_to_hsv", false);
}
nb::object hsv_to_bgr(const qv::Args &a) {
    return convert(a["image"], hsv_to_bgr_kernel, "hsv_to_bgr", true);
}

}  // namespace

NB_MODULE(hsv, m) {
    m.doc() =
        "BGR <-> HSV conversion of device images as OpenCV's float conversions: H in degrees 0..360, S and V "
        "0..1.";
    bgr_to_hsv_kernel = qv::add_typed_kernel(m, "bgr_to_hsv_kernel", bgr_to_hsv_kernel_code);
    hsv_to_bgr_kernel = qv::add_typed_kernel(m, "hsv_to_bgr_kernel", hsv_to_bgr_kernel_code);
    qv::def(
        m, "bgr_to_hsv", bgr_to_hsv, {{"image", "cp.ndarray | np.ndarray"}}, "cp.ndarray",
        "HSV of a BGR (H, W, 3) image, or of each of an (N, H, W, 3) batch (integer images scaled to 0..1 "
        "first): float32 H in degrees 0..360, S and V 0..1; grey pixels have H = 0 and S = 0. One kernel "
        "launch.");
    qv::def(
        m, "hsv_to_bgr", hsv_to_bgr, {{"image", "cp.ndarray | np.ndarray"}}, "cp.ndarray",
        "BGR float32 of an HSV (H, W, 3) float image or (N, H, W, 3) batch (H in degrees, any value wraps "
        "around the circle; S, V 0..1). One kernel launch.");
}
