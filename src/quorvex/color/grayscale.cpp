// Grayscale by one run-time compiled kernel: BT.709 luma written to all three channels, so the
// result flows on through three-channel operations.
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Four pixels a thread, moved in wide accesses where the arrays allow (qv_map_quad).
const std::string grayscale_code = qv::element_types_code + std::string(
#include "quorvex/color/grayscale.cuh.inc"
                                                            );

const std::string rgb_to_grayscale_kernel_code = grayscale_code +
#include "quorvex/color/rgb_to_grayscale_kernel.cuh.inc"
    ;

// The same luma read from BGR pixels in place, so BGR frames need no reordered copy first.
const std::string bgr_to_grayscale_kernel_code = grayscale_code +
#include "quorvex/color/bgr_to_grayscale_kernel.cuh.inc"
    ;

// The same luma of uint8, uint16 and float16 pixels, read as to_float32 maps them (integers as
// 0..1 over their range), so no conversion pass precedes the kernel.
const std::string rgb_to_grayscale_typed_kernel_code = grayscale_code + qv::typed_entries(
#include "quorvex/color/rgb_to_grayscale_typed_kernel.cuh.inc"
                                                                            , 1);
const std::string bgr_to_grayscale_typed_kernel_code = grayscale_code + qv::typed_entries(
#include "quorvex/color/bgr_to_grayscale_typed_kernel.cuh.inc"
                                                                            , 1);

// Per element type: the float32 kernel, then the typed ones.
qv::TypedKernel rgb_to_grayscale_kernel, bgr_to_grayscale_kernel;

nb::object grayscale(nb::handle image, const qv::TypedKernel &kernels, const char *function) {
    const qv::Cupy &cp = qv::cp();  // says what to install when CuPy is missing
    using qv::sibling::to_float32;
    int type = qv::is_device_array(image) ? qv::element_type(image) : -1;
    nb::object image_rgb = type > 0 ? nb::borrow(image) : to_float32(image);
    std::vector<int64_t> shape = qv::shape_of(image_rgb);
    if (shape.size() > 3) qv::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (shape.size() < 3)
        qv::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", shape.size(),
                  shape.size() == 1 ? "" : "s");
    if (shape[2] != 3)
        qv::raise(PyExc_ValueError, "%s() takes a 3-channel image, got %lld channels", function,
                  (long long)shape[2]);
    if (!qv::is_device_array(image_rgb))
        qv::raise(PyExc_TypeError, "%s() takes a cupy.ndarray, got %s", function, qv::type_name(image_rgb));
    qv::check_indexable(shape, "image");
    // The kernel walks the pixels as one dense run.
    image_rgb = cp.ascontiguousarray(image_rgb);
    nb::object image_gray = cp.empty(image_rgb.attr("shape"), nb::arg("dtype") = cp.float32);
    qv::launch_quads(kernels[type > 0 ? type : 0], image_rgb, image_gray, shape[0] * shape[1]);
    return image_gray;
}

nb::object rgb_to_grayscale(const qv::Args &a) {
    return grayscale(a["image"], rgb_to_grayscale_kernel, "rgb_to_grayscale");
}

nb::object bgr_to_grayscale(const qv::Args &a) {
    return grayscale(a["image"], bgr_to_grayscale_kernel, "bgr_to_grayscale");
}

}  // namespace

NB_MODULE(grayscale, m) {
    m.doc() = "Grayscale conversion of three-channel device images (ITU-R BT.709 luma).";
    rgb_to_grayscale_kernel =
        qv::add_typed_kernel(m, "rgb_to_grayscale_typed_kernel", rgb_to_grayscale_typed_kernel_code, 1);
    rgb_to_grayscale_kernel.kernels[0] =
        qv::add_kernel(m, "rgb_to_grayscale_kernel", rgb_to_grayscale_kernel_code.c_str());
    bgr_to_grayscale_kernel =
        qv::add_typed_kernel(m, "bgr_to_grayscale_typed_kernel", bgr_to_grayscale_typed_kernel_code, 1);
    bgr_to_grayscale_kernel.kernels[0] =
        qv::add_kernel(m, "bgr_to_grayscale_kernel", bgr_to_grayscale_kernel_code.c_str());
    qv::def(m, "rgb_to_grayscale", rgb_to_grayscale, {{"image", "cp.ndarray"}}, "cp.ndarray",
            "Gray version of an RGB (H, W, 3) device image: float32, the luma "
            "0.2126 R + 0.7152 G + 0.0722 B in all three channels.");
    qv::def(m, "bgr_to_grayscale", bgr_to_grayscale, {{"image", "cp.ndarray"}}, "cp.ndarray",
            "Gray version of a BGR (H, W, 3) device image, same weights on the reordered channels, read in "
            "place by one kernel.");
}
