// Pasting a processed face crop back into its frame: the crop and a soft mask are warped back
// with the inverse of the alignment matrix and blended, so the crop's edges do not show.
#include <algorithm>
#include <cmath>

#include "quorvex/function.hpp"
#include "quorvex/instance_lock.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"
#include "quorvex/warp_sampling.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// merged = mask * warped + (1 - mask) * frame, one pass over the frame, four elements a thread.
const std::string blend_kernel_code = qv::element_types_code + std::string(
#include "quorvex/face/paste_blend_kernel.cuh.inc"
                                                               );

// The warp table of the pasted crops from their matrices M (frame -> crop), one thread per
// crop, as the two-step path computes it: M^-1 rounded to float32 (the inverse matrix), then its
// inverse in double (the warp's own inversion) and the warp's choice of sampling. A singular or
// non-finite matrix gives a row that pastes nothing, decided here so that nothing waits for it.
// After the warp's row (see kWarpRow) come the frame pixels the crop can reach, a box (left, top,
// right, bottom) with a pixel of margin for float rounding: pixels outside skip the crop at once.
const char *paste_table_kernel_body =
#include "quorvex/face/paste_table_kernel.cuh.inc"
    ;

// Pastes count crops (count, crop_height, crop_width, 3) into the frame in one pass, in order: per
// output pixel and crop, the crop and the mask sampled where the warp back would sample them,
// blended as blend_kernel does. Pixels a crop does not reach keep what they had. A block first
// lists the crops whose reach meets its own pixels (256 at a time, in order), so that the blocks
// no face reaches, most of a large frame, only copy; a pixel stays in registers while its crops
// blend over it, and the area sampler weighs each box pixel once for the mask's and the crop's
// three channels. One block per multiprocessor at least, so ptxas may take the registers the two
// samplers want.
const char *paste_kernel_body =
#include "quorvex/face/paste_kernel.cuh.inc"
    ;

const char *paste_table_kernel_code = paste_table_kernel_body;
const std::string paste_kernel_code = std::string(qv::warp_sampling_code) + paste_kernel_body;

nb::handle paste_table_kernel, paste_kernel;
nb::handle blend_kernel;

bool is_dense_float32(nb::handle array) {
    return qv::is_device_array(array) &&
           nb::cast<std::string>(qv::str_of(array.attr("dtype"))) == "float32" &&
           nb::cast<bool>(array.attr("flags").attr("c_contiguous"));
}

nb::object blend(nb::handle warped, nb::handle mask, nb::handle frame) {
    const qv::Cupy &cp = qv::cp();
    std::vector<int64_t> shape = qv::shape_of(frame);
    bool fused = is_dense_float32(warped) && is_dense_float32(mask) && is_dense_float32(frame) &&
                 qv::shape_of(warped) == shape && qv::shape_of(mask) == shape;
    if (!fused)  // other types or shapes: the array library's arithmetic (and its errors)
        return mask * warped + (nb::int_(1) - mask) * frame;
    qv::check_indexable(shape, "frame");
    int64_t count = nb::cast<int64_t>(frame.attr("size"));
    nb::object merged = cp.empty_like(frame);
    if (count > 0)
        blend_kernel(nb::make_tuple((count + 1023) / 1024), nb::make_tuple(256),
                     nb::make_tuple(warped, mask, frame, merged, qv::i32(count),
                                    qv::i32(qv::aligned_for_fours({warped, mask, frame, merged}))));
    return merged;
}

bool is_dense_float32_of(nb::handle array, const std::vector<int64_t> &shape) {
    return is_dense_float32(array) && qv::shape_of(array) == shape;
}

// Pastes the crops (k, h, w, C) through the mask (h, w, C) into the (H, W, C) frame, all dense
// float32, with the device matrices (k, 2, 3) float32: two launches whatever k, and no read-back.
nb::object paste_many(nb::handle frame, nb::handle crops, nb::handle mask, nb::handle matrices) {
    const qv::Cupy &cp = qv::cp();
    std::vector<int64_t> f = qv::shape_of(frame), c = qv::shape_of(crops);
    int64_t count = c[0];
    qv::check_indexable(f, "target_image");
    qv::check_indexable({count * c[1], c[2], c[3]}, "crops");
    qv::check_rows(f[0], "target_image");
    if (count > INT32_MAX / 12)
        qv::raise(PyExc_ValueError, "at most %d crops can be pasted at once", INT32_MAX / 12);
    nb::object merged = cp.empty_like(frame);
    if (count == 0 || c[1] == 0 || c[2] == 0) {
        merged[nb::ellipsis()] = frame;
        return merged;
    }
    nb::object table = cp.empty(nb::make_tuple(count, qv::kWarpRow + 4), nb::arg("dtype") = cp.float32);
    paste_table_kernel(nb::make_tuple((count + 255) / 256), nb::make_tuple(256),
                       nb::make_tuple(matrices, table, qv::i32(count), qv::i32(c[1]), qv::i32(c[2])));
    qv::launch_2d(paste_kernel, f[1], f[0],
                  nb::make_tuple(frame, merged, crops, mask, table, qv::i32(count), qv::i32(f[0]),
                                 qv::i32(f[1]), qv::i32(c[1]), qv::i32(c[2])));
    return merged;
}

// M (2, 3) as a dense float32 device array (1, 2, 3). A host M is checked for invertibility
// first, as the inverse matrix of a host M is.
nb::object device_matrix(nb::handle M) {
    const qv::Cupy &cp = qv::cp();
    if (qv::is_host_array(M)) {
        qv::sibling::get_inverse_matrix(M);
        return cp.asarray(qv::np().module.attr("ascontiguousarray")(M, nb::arg("dtype") = qv::np().float32))
            .attr("reshape")(1, 2, 3);
    }
    if (!qv::is_device_array(M))
        qv::raise(PyExc_TypeError, "paste_back() takes M as a cupy.ndarray or numpy.ndarray, got %s",
                  qv::type_name(M));
    std::vector<int64_t> shape = qv::shape_of(M);
    if (shape.size() != 2 || shape[0] != 2 || shape[1] != 3)
        qv::raise(PyExc_ValueError, "paste_back() takes M of shape (2, 3), got %U",
                  qv::str_of(M.attr("shape")).ptr());
    return cp.ascontiguousarray(M, nb::arg("dtype") = cp.float32).attr("reshape")(1, 2, 3);
}

// paste_back() of its arguments.
nb::object paste_back_of(nb::handle target_image, nb::handle paste_image, nb::handle M, nb::handle mask_arg) {
    const qv::Cupy &cp = qv::cp();
    for (auto [value, name] :
         {std::pair{target_image, "target_image"}, std::pair{paste_image, "paste_image"}})
        if (!qv::is_device_array(value) && !qv::is_host_array(value))
            qv::raise(PyExc_TypeError, "paste_back() takes %s as a cupy.ndarray, got %s", name,
                      qv::type_name(value));
    if (!mask_arg.is_none() && !qv::is_device_array(mask_arg) && !qv::is_host_array(mask_arg))
        qv::raise(PyExc_TypeError, "paste_back() takes mask as a cupy.ndarray or None, got %s",
                  qv::type_name(mask_arg));
    std::vector<int64_t> crop = qv::shape_of(paste_image), frame = qv::shape_of(target_image);
    if (crop.size() < 2 || frame.size() < 2)
        qv::raise(PyExc_ValueError, "paste_back() takes (height, width, channels) images");
    int64_t h = crop[0], w = crop[1];
    nb::object mask;
    if (mask_arg.is_none())
        mask = cp.module.attr("ones")(nb::make_tuple(h, w, 3), nb::arg("dtype") = cp.float32);
    else if (qv::is_device_array(mask_arg) && qv::shape_of(mask_arg).size() >= 2 &&
             qv::shape_of(mask_arg)[0] == h && qv::shape_of(mask_arg)[1] == w)
        mask = nb::borrow(mask_arg);  // already the crop's size
    else
        mask = qv::sibling::resize(mask_arg, nb::make_tuple(w, h),
                                   nb::arg("interpolation") = qv::sibling::inter_auto.get());
    // The usual case, float32 colour images with a mask of the crop's shape, in one pass.
    if (frame.size() == 3 && crop.size() == 3 && crop[2] == frame[2] && is_dense_float32(target_image) &&
        is_dense_float32_of(paste_image, crop) && is_dense_float32_of(mask, crop)) {
        nb::object matrices = device_matrix(M);
        return paste_many(target_image, paste_image.attr("reshape")(1, h, w, crop[2]), mask, matrices);
    }
    nb::object IM = qv::sibling::get_inverse_matrix(M);
    nb::object size = nb::make_tuple(frame[0], frame[1]);
    nb::object warped = qv::sibling::affine_transform(paste_image, IM, size);
    nb::object paste_mask = qv::sibling::affine_transform(mask, IM, size);
    return blend(warped, paste_mask, target_image);
}

nb::object paste_back(const qv::Args &a) {
    return paste_back_of(a["target_image"], a["paste_image"], a["M"], a["mask"]);
}

// The cached mask and its size change together: one thread at a time checks and rebuilds them.
using qv::InstanceLock;

// The soft mask for crops of size (height, width): the cached one, or one built and cached.
// The mask is built on the stream of the thread that first needs it; a thread on another stream
// waits for that work on the device (an event, no host wait) before its paste reads the mask.
nb::object mask_for(nb::handle self, nb::handle size) {
    InstanceLock lock(self, false);
    nb::object current = qv::cp().module.attr("cuda").attr("get_current_stream")();
    if (!self.attr("size").equal(size)) {
        nb::object mask = self.attr("create_mask")(size);
        self.attr("mask") = mask;
        self.attr("size") = size;
        self.attr("mask_ready") = current.attr("record")();
        return mask;
    }
    current.attr("wait_event")(self.attr("mask_ready"));
    return self.attr("mask");
}

// padding: the top, right, bottom and left bands widened by that many percent of the crop's
// height or width; blur: the feather's sigma as a share of the crop's width (None: the column
// band's width, 0: a hard edge).
nb::object init(const qv::Args &a) {
    nb::handle given_blur = a["blur"];
    nb::handle given_padding = a["padding"];
    nb::handle self = a[0];
    if (!given_blur.is_none()) {
        double blur = nb::cast<double>(given_blur);
        if (!(blur >= 0 && blur <= 1))
            qv::raise(PyExc_ValueError,
                      "PasteBack() takes a blur from 0 to 1 (a share of the crop's width), got %R",
                      given_blur.ptr());
    }
    nb::tuple padding;
    if (nb::isinstance<nb::tuple>(given_padding) || nb::isinstance<nb::list>(given_padding))
        padding = nb::tuple(given_padding);
    bool valid = padding.is_valid() && nb::len(padding) == 4;
    for (size_t i = 0; valid && i < 4; ++i) {
        nb::handle side = padding[i];
        valid = (PyLong_Check(side.ptr()) || PyFloat_Check(side.ptr())) && !PyBool_Check(side.ptr());
        double percent = valid ? nb::cast<double>(side) : 0;
        valid = valid && percent >= 0 && percent <= 100;
    }
    if (!valid)
        qv::raise(PyExc_ValueError,
                  "PasteBack() takes padding as (top, right, bottom, left) percents from 0 to 100, got %R",
                  given_padding.ptr());
    self.attr("mask_blur") = nb::borrow(given_blur);
    self.attr("mask_padding") = padding;
    self.attr("_lock") = quorvex::stdlib::threading.get().attr("RLock")();
    self.attr("gaussian_blur") = qv::sibling::GaussianBlur();
    self.attr("mask") = nb::none();
    self.attr("size") = nb::none();
    self.attr("mask_ready") = nb::none();
    return nb::none();
}

nb::object create_mask(const qv::Args &a) {
    nb::handle self = a[0], size = a["size"];
    int64_t height = nb::cast<int64_t>(size[nb::int_(0)]), width = nb::cast<int64_t>(size[nb::int_(1)]);
    int64_t band_rows = height / 5, band_cols = width / 7;
    qv::check_indexable({height, width, 3}, "the mask");  // refused before the device is asked for it
    nb::tuple padding = nb::borrow<nb::tuple>(self.attr("mask_padding"));
    auto band = [&](int side, int64_t base, int64_t extent) {
        int64_t widened = base + (int64_t)std::llround(nb::cast<double>(padding[side]) * extent / 100.0);
        return std::min(widened, extent);
    };
    int64_t top = band(0, band_rows, height), right = band(1, band_cols, width);
    int64_t bottom = band(2, band_rows, height), left = band(3, band_cols, width);
    const qv::Cupy &cp = qv::cp();
    nb::object white_plate =
        cp.module.attr("ones")(nb::make_tuple(height, width, 3), nb::arg("dtype") = cp.float32);
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    auto rows = [&](int64_t start, int64_t stop) {
        white_plate[nb::make_tuple(nb::slice(nb::int_(start), nb::int_(stop), nb::none()), all, all)] = 0;
    };
    auto cols = [&](int64_t start, int64_t stop) {
        white_plate[nb::make_tuple(all, nb::slice(nb::int_(start), nb::int_(stop), nb::none()), all)] = 0;
    };
    rows(0, top), rows(height - bottom, height);
    cols(0, left), cols(width - right, width);
    // The blur takes odd kernel sizes only: an even band width blurs over one more column, and a
    // crop narrower than 7 pixels (no band) is left as it is.
    nb::handle blur = self.attr("mask_blur");
    double sigma = blur.is_none() ? (double)band_cols : nb::cast<double>(blur) * (double)width;
    int64_t ksize = blur.is_none() ? band_cols | 1 : (int64_t)std::llround(sigma) | 1;
    if (!(sigma > 0)) return white_plate;  // a hard edge
    return self.attr("gaussian_blur").attr("get")(white_plate, ksize, sigma);
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    nb::object target_image = qv::sibling::to_float32(a["target_image"]),
               paste_image = qv::sibling::to_float32(a["paste_image"]);
    std::vector<int64_t> shape = qv::shape_of(paste_image);
    if (shape.size() < 2)
        qv::raise(PyExc_ValueError, "PasteBack.get() takes (height, width, channels) crops");
    nb::object size = nb::make_tuple(shape[0], shape[1]);
    return paste_back_of(target_image, paste_image, a["M"], mask_for(self, size));
}

nb::object get_many(const qv::Args &a) {
    nb::handle given_crops = a["crops"];
    nb::handle given_matrices = a["matrices"];
    nb::handle self = a[0];
    const qv::Cupy &cp = qv::cp();
    nb::object frame = qv::sibling::to_float32(a["target_image"]);
    std::vector<int64_t> f = qv::shape_of(frame);
    if (f.size() != 3)
        qv::raise(PyExc_ValueError,
                  "PasteBack.get_many() takes a (height, width, channels) target_image, got %U",
                  qv::str_of(frame.attr("shape")).ptr());
    nb::object crops;
    if (qv::is_device_array(given_crops)) {
        crops = nb::borrow(given_crops);
    } else if (nb::isinstance<nb::list>(given_crops) || nb::isinstance<nb::tuple>(given_crops)) {
        for (nb::handle crop : given_crops)
            if (!qv::is_device_array(crop))
                qv::raise(PyExc_TypeError, "PasteBack.get_many() takes crops of cupy.ndarray, got %s",
                          qv::type_name(crop));
        if (nb::len(given_crops) == 0) return frame.attr("copy")();
        crops = cp.module.attr("stack")(given_crops);
    } else {
        qv::raise(PyExc_TypeError,
                  "PasteBack.get_many() takes crops as a cupy.ndarray or a list of them, got %s",
                  qv::type_name(given_crops));
    }
    std::vector<int64_t> c = qv::shape_of(crops);
    if (c.size() != 4 || c[3] != f[2] || c[3] != 3)
        qv::raise(PyExc_ValueError,
                  "PasteBack.get_many() takes crops of shape (k, height, width, 3) for a frame of 3 "
                  "channels, got %U",
                  qv::str_of(crops.attr("shape")).ptr());
    crops = cp.ascontiguousarray(qv::sibling::to_float32(crops));

    nb::object matrices;
    if (qv::is_device_array(given_matrices)) {
        matrices = nb::borrow(given_matrices);
    } else if (qv::is_host_array(given_matrices)) {
        matrices = cp.asarray(given_matrices);
    } else if (nb::isinstance<nb::list>(given_matrices) || nb::isinstance<nb::tuple>(given_matrices)) {
        for (nb::handle matrix : given_matrices)
            if (!qv::is_device_array(matrix))
                qv::raise(PyExc_TypeError, "PasteBack.get_many() takes matrices of cupy.ndarray, got %s",
                          qv::type_name(matrix));
        if (nb::len(given_matrices) == 0)
            qv::raise(PyExc_ValueError, "PasteBack.get_many() takes one matrix per crop, got 0");
        matrices = cp.module.attr("stack")(given_matrices);
    } else {
        qv::raise(PyExc_TypeError,
                  "PasteBack.get_many() takes matrices as an array or a list of them, got %s",
                  qv::type_name(given_matrices));
    }
    std::vector<int64_t> ms = qv::shape_of(matrices);
    if (ms.size() != 3 || ms[0] != c[0] || ms[1] != 2 || ms[2] != 3)
        qv::raise(PyExc_ValueError,
                  "PasteBack.get_many() takes matrices of shape (%lld, 2, 3) for %lld crops, got %U",
                  (long long)c[0], (long long)c[0], qv::str_of(matrices.attr("shape")).ptr());
    matrices = cp.ascontiguousarray(matrices, nb::arg("dtype") = cp.float32);

    nb::object size = nb::make_tuple(c[1], c[2]);
    nb::object mask = mask_for(self, size);
    return paste_many(cp.ascontiguousarray(frame), crops, mask, matrices);
}

}  // namespace

NB_MODULE(paste, m) {
    m.doc() = "Pasting face crops back into frames through a soft mask.";
    blend_kernel = qv::add_kernel(m, "blend_kernel", blend_kernel_code.c_str());
    paste_table_kernel = qv::add_kernel(m, "paste_table_kernel", paste_table_kernel_code);
    paste_kernel = qv::add_kernel(m, "paste_kernel", paste_kernel_code.c_str());
    qv::def(m, "paste_back", paste_back,
            {{"target_image", "cp.ndarray"},
             {"paste_image", "cp.ndarray"},
             {"M", "cp.ndarray"},
             {"mask", "cp.ndarray", nb::none()}},
            "cp.ndarray",
            "The frame with the crop warped back by the inverse of M (frame -> crop) and blended through the "
            "mask (resized to the crop; without one, a hard-edged mask of ones). Inputs are not modified. "
            "Float32 colour images are pasted in one pass without reading M back: a device M that is "
            "singular or not finite pastes nothing; a host M raises ValueError then.");
    qv::Class(m, "PasteBack", "Pastes crops back through a soft mask, built once per crop size.")
        .field("gaussian_blur", "GaussianBlur")
        .field("mask", "cp.ndarray | None")
        .field("size", "tuple[int, int] | None")
        .field("mask_blur", "float | None")
        .field("mask_padding", "tuple[float, float, float, float]")
        .def("__init__", init,
             {{"self"},
              {"blur", "float | None", nb::none()},
              {"padding", "tuple[float, float, float, float]", nb::make_tuple(0, 0, 0, 0)}},
             "None",
             "A paster with no mask built yet. blur: the mask's feather (its sigma) as a share of the crop's "
             "width, 0 to 1 (0: a hard edge; None: the column band's width). padding: (top, right, bottom, "
             "left) percents of the crop's height or width by which the mask's zeroed bands are widened.")
        .def(
            "create_mask", create_mask, {{"self"}, {"size", "tuple"}}, "cp.ndarray",
            "Soft mask for a (height, width) crop: ones with bands of height // 5 rows and width // 7 "
            "columns zeroed at the edges (widened by padding), blurred with a kernel and sigma of the column "
            "band width (or blur times the width, the kernel that rounded, odd).")
        .def("get", get,
             {{"self"}, {"target_image", "cp.ndarray"}, {"paste_image", "cp.ndarray"}, {"M", "cp.ndarray"}},
             "cp.ndarray",
             "paste_back through the soft mask of the crop's size (rebuilt when the size changes).")
        .def("get_many", get_many,
             {{"self"},
              {"target_image", "cp.ndarray"},
              {"crops", "cp.ndarray | list[cp.ndarray]"},
              {"matrices", "cp.ndarray | np.ndarray | list[cp.ndarray]"}},
             "cp.ndarray",
             "get for k crops of one size at once, pasted in order (as k calls of get would): crops "
             "(k, h, w, 3) or a list of (h, w, 3) arrays, matrices (k, 2, 3) or a list of (2, 3) arrays. "
             "The same few launches whatever k, and nothing read back.")
        .finish();
}
