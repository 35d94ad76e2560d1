// Channel-order swaps between BGR and RGB for device and host images.
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// Exchanges channels 0 and 2 into a new contiguous array of the same kind and element type.
// Three channels are one strided copy; more channels (BGRA) keep the rest in place.
nb::object swap_red_blue(nb::handle image, const char *function) {
    nb::handle xp;
    if (qv::is_device_array(image))
        xp = qv::cp().module;
    else if (PyObject_IsInstance(image.ptr(), qv::np().ndarray.ptr()) == 1)
        xp = qv::np().module;
    else
        qv::raise(PyExc_TypeError, "%s() takes a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(image));
    std::vector<int64_t> shape = qv::shape_of(image);
    if ((shape.size() != 3 && shape.size() != 4) || shape.back() < 3)
        qv::raise(PyExc_ValueError,
                  "%s() takes an image of shape (height, width, channels), or a batch (n, height, width, "
                  "channels), "
                  "with at least 3 channels",
                  function);
    if (qv::is_device_array(image))
        qv::check_indexable(shape, "image");  // a broadcast view's copy could not be made
    nb::object reversed = nb::slice(nb::none(), nb::none(), nb::int_(-1));
    if (shape.back() == 3)
        return xp.attr("ascontiguousarray")(image[nb::make_tuple(nb::ellipsis(), reversed)]);
    nb::list order;
    order.append(2), order.append(1), order.append(0);
    for (int64_t c = 3; c < shape.back(); ++c) order.append(c);
    return xp.attr("take")(image, order, nb::arg("axis") = -1);
}

nb::object bgr_to_rgb(const qv::Args &a) { return swap_red_blue(a["image"], "bgr_to_rgb"); }
nb::object rgb_to_bgr(const qv::Args &a) { return swap_red_blue(a["image"], "rgb_to_bgr"); }

}  // namespace

NB_MODULE(bgr, m) {
    m.doc() = "BGR <-> RGB channel swaps for device (CuPy) and host (NumPy) images.";
    qv::def(m, "bgr_to_rgb", bgr_to_rgb, {{"image", "cp.ndarray | np.ndarray"}}, "cp.ndarray | np.ndarray",
            "Copy of an (H, W, C) image or (N, H, W, C) batch with channels 0 and 2 exchanged; same kind and "
            "element type.");
    qv::def(m, "rgb_to_bgr", rgb_to_bgr, {{"image", "cp.ndarray | np.ndarray"}}, "cp.ndarray | np.ndarray",
            "Copy of an (H, W, C) image or (N, H, W, C) batch with channels 0 and 2 exchanged; same kind and "
            "element type.");
}
