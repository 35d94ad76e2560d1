// Pasting a processed face crop back into its frame: the crop and a soft mask are warped back
// with the inverse of the alignment matrix and blended, so the crop's edges do not show.
#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// merged = mask * warped + (1 - mask) * frame, one pass over the frame.
const char *blend_kernel_code = R"(
extern "C" __global__ void __launch_bounds__(256) blend_kernel(const float* __restrict__ warped, const float* __restrict__ mask,
                                        const float* __restrict__ frame, float* __restrict__ merged,
                                        int count) {
    int i = blockIdx.x * blockDim.x + threadIdx.x;
    if (i >= count) return;
    float m = mask[i];
    merged[i] = m * warped[i] + (1.0f - m) * frame[i];
}
)";

nb::handle blend_kernel;

struct Siblings {
    nb::handle affine_transform, get_inverse_matrix, resize, inter_auto, to_float32, GaussianBlur;
};

const Siblings &siblings() {
    static Siblings s{
        qv::package_attr("quorvex.transform.affine", "affine_transform").release(),
        qv::package_attr("quorvex.transform.affine", "get_inverse_matrix").release(),
        qv::package_attr("quorvex.transform.resize", "resize").release(),
        qv::package_attr("quorvex.transform.resize", "INTER_AUTO").release(),
        qv::package_attr("quorvex.utils.dtypes", "to_float32").release(),
        qv::package_attr("quorvex.filter.gaussian", "GaussianBlur").release(),
    };
    return s;
}

bool is_dense_float32(nb::handle array) {
    return qv::is_device_array(array) && nb::cast<std::string>(qv::str_of(array.attr("dtype"))) == "float32" &&
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
        blend_kernel(nb::make_tuple((count + 255) / 256), nb::make_tuple(256),
                     nb::make_tuple(warped, mask, frame, merged, qv::i32(count)));
    return merged;
}

nb::object paste_back(const qv::Args &a) {
    const Siblings &s = siblings();
    const qv::Cupy &cp = qv::cp();
    nb::handle target_image = a[0], paste_image = a[1], M = a[2];
    std::vector<int64_t> crop = qv::shape_of(paste_image), frame = qv::shape_of(target_image);
    if (crop.size() < 2 || frame.size() < 2)
        qv::raise(PyExc_ValueError, "paste_back() takes (height, width, channels) images");
    int64_t h = crop[0], w = crop[1];
    nb::object mask;
    if (a[3].is_none())
        mask = cp.module.attr("ones")(nb::make_tuple(h, w, 3), nb::arg("dtype") = cp.float32);
    else
        mask = s.resize(a[3], nb::make_tuple(w, h), nb::arg("interpolation") = s.inter_auto);
    nb::object IM = s.get_inverse_matrix(M);
    nb::object size = nb::make_tuple(frame[0], frame[1]);
    nb::object warped = s.affine_transform(paste_image, IM, size);
    nb::object paste_mask = s.affine_transform(mask, IM, size);
    return blend(warped, paste_mask, target_image);
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    self.attr("gaussian_blur") = siblings().GaussianBlur();
    self.attr("mask") = nb::none();
    self.attr("size") = nb::none();
    return nb::none();
}

nb::object create_mask(const qv::Args &a) {
    nb::handle self = a[0], size = a[1];
    int64_t height = nb::cast<int64_t>(size[nb::int_(0)]), width = nb::cast<int64_t>(size[nb::int_(1)]);
    int64_t band_rows = height / 5, band_cols = width / 7;
    const qv::Cupy &cp = qv::cp();
    nb::object white_plate = cp.module.attr("ones")(nb::make_tuple(height, width, 3), nb::arg("dtype") = cp.float32);
    nb::object all = nb::slice(nb::none(), nb::none(), nb::none());
    auto rows = [&](int64_t start, int64_t stop) {
        white_plate[nb::make_tuple(nb::slice(nb::int_(start), nb::int_(stop), nb::none()), all, all)] = 0;
    };
    auto cols = [&](int64_t start, int64_t stop) {
        white_plate[nb::make_tuple(all, nb::slice(nb::int_(start), nb::int_(stop), nb::none()), all)] = 0;
    };
    rows(0, band_rows), rows(height - band_rows, height);
    cols(0, band_cols), cols(width - band_cols, width);
    // The blur takes odd kernel sizes only: an even band width blurs over one more column, and a
    // crop narrower than 7 pixels (no band) is left as it is.
    return self.attr("gaussian_blur").attr("get")(white_plate, band_cols | 1, (double)band_cols);
}

nb::object get(const qv::Args &a) {
    nb::handle self = a[0];
    const Siblings &s = siblings();
    nb::object target_image = s.to_float32(a[1]), paste_image = s.to_float32(a[2]);
    std::vector<int64_t> shape = qv::shape_of(paste_image);
    if (shape.size() < 2) qv::raise(PyExc_ValueError, "PasteBack.get() takes (height, width, channels) crops");
    nb::object size = nb::make_tuple(shape[0], shape[1]);
    if (!self.attr("size").equal(size)) {
        self.attr("size") = size;
        self.attr("mask") = self.attr("create_mask")(size);
    }
    nb::object args[] = {target_image, paste_image, nb::borrow(a[3]), self.attr("mask")};
    return paste_back(qv::Args(args, 4));
}

}  // namespace

NB_MODULE(paste, m) {
    m.doc() = "Pasting face crops back into frames through a soft mask.";
    blend_kernel = qv::add_kernel(m, "blend_kernel", blend_kernel_code);
    qv::def(m, "paste_back", paste_back,
            {{"target_image", "cp.ndarray"},
             {"paste_image", "cp.ndarray"},
             {"M", "cp.ndarray"},
             {"mask", "cp.ndarray", nb::none()}},
            "cp.ndarray",
            "The frame with the crop warped back by the inverse of M (frame -> crop) and blended through the "
            "mask (resized to the crop; without one, a hard-edged mask of ones). Inputs are not modified.");
    qv::Class(m, "PasteBack", "Pastes crops back through a soft mask, built once per crop size.")
        .def("__init__", init, {{"self"}}, "None", "A paster with no mask built yet.")
        .def("create_mask", create_mask, {{"self"}, {"size", "tuple"}}, "cp.ndarray",
             "Soft mask for a (height, width) crop: ones with bands of height // 5 rows and width // 7 "
             "columns zeroed at the edges, blurred with a kernel and sigma of the column band width.")
        .def("get", get, {{"self"}, {"target_image", "cp.ndarray"}, {"paste_image", "cp.ndarray"}, {"M", "cp.ndarray"}},
             "cp.ndarray", "paste_back through the soft mask of the crop's size (rebuilt when the size changes).")
        .finish();
}
