// Affine warps of device images, their matrices' inverses, and five-point face alignment.
//
// Matrices follow OpenCV's warpAffine: M maps input pixels to output pixels, integer
// coordinates being pixel centres. The warp inverts M on the host and samples the input at
// M^-1 applied to each output pixel; sizes are given height first, like array shapes.
#include <algorithm>
#include <array>
#include <cmath>
#include <string>

#include "quorvex/alignment.hpp"
#include "quorvex/function.hpp"
#include "quorvex/image.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/warp_sampling.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

// One thread per output pixel, any channel count. Taps outside the input read as 0, so the
// warped image fades to black at its edges as with OpenCV's constant border. The matrix maps
// output pixels to input positions (both with integer pixel centres).
const char *affine_linear_kernel_body =
#include "quorvex/transform/affine_linear_kernel.cuh.inc"
    ;

// Shrinking warps: each output pixel averages the input over its footprint, a box as wide and
// tall as the output pixel's extent along the input axes (the matrix rows' lengths, at least one
// pixel) centred on its sample position. Pixels outside the input count as 0, as in the bilinear
// kernel, so edges fade the same way; and a one-pixel box is exactly bilinear interpolation, so
// the two kernels meet where the scale crosses 1. Any channel count, each channel on its own.
// The matrix maps output pixels to input positions in which pixel i spans [i, i + 1).
const char *affine_area_kernel_body =
#include "quorvex/transform/affine_area_kernel.cuh.inc"
    ;

// One output pixel of a warp whose parameters are a warp table row m (see kWarpRow).
const char *warp_pixel_code =
#include "quorvex/transform/affine_warp_pixel.cuh.inc"
    ;

// Many warps in one launch, warp blockIdx.z taking its parameters from row blockIdx.z of the
// table (see kWarpRow) and its image input_plane elements on from the one before: one image
// warped many ways (plane 0, the batched crops of a frame), or each image of a batch.
const char *affine_batch_kernel_body =
#include "quorvex/transform/affine_batch_kernel.cuh.inc"
    ;

// The warp by a device matrix M (float32, or float64 where is_wide) in one launch: each block
// inverts M into its warp table row first, so nothing waits for the host or another launch.
const char *affine_matrix_kernel_body =
#include "quorvex/transform/affine_matrix_kernel.cuh.inc"
    ;

// Each for float32, float16, uint8 and uint16 images (integers as 0..1 over their range, written
// back rounded and saturated), so that no conversion pass surrounds the warp.
const std::string affine_linear_kernel_code =
    qv::warp_sampling_code + qv::typed_entries(affine_linear_kernel_body);
const std::string affine_area_kernel_code =
    qv::warp_sampling_code + qv::typed_entries(affine_area_kernel_body);
const std::string affine_batch_kernel_code =
    qv::warp_sampling_code + warp_pixel_code + qv::typed_entries(affine_batch_kernel_body);
const std::string affine_matrix_kernel_code =
    qv::warp_sampling_code + warp_pixel_code + qv::typed_entries(affine_matrix_kernel_body);

// The inverse computed where the matrix lives, so nothing waits for the device. A singular
// matrix gives zeros, as OpenCV's invertAffineTransform does.
const char *invert_affine_kernel_code =
#include "quorvex/transform/affine_invert_kernel.cuh.inc"
    ;

qv::TypedKernel affine_linear_kernel;
qv::TypedKernel affine_area_kernel;
qv::TypedKernel affine_batch_kernel;
qv::TypedKernel affine_matrix_kernel;
nb::handle invert_affine_kernel;

using Matrix = qv::Matrix;

// A small host or device array as a C-contiguous float64 host array of the given shape.
nb::object host_values(nb::handle array, const char *function, const char *name, int64_t rows, int64_t cols) {
    nb::object host;
    if (qv::is_device_array(array))
        host = array.attr("get")();
    else if (qv::is_host_array(array))
        host = nb::borrow(array);
    else
        qv::raise(PyExc_TypeError, "%s() takes %s as a cupy.ndarray or numpy.ndarray, got %s", function, name,
                  qv::type_name(array));
    std::vector<int64_t> shape = qv::shape_of(host);
    if (shape.size() != 2 || shape[0] != rows || shape[1] != cols)
        qv::raise(PyExc_ValueError, "%s() takes %s of shape (%lld, %lld), got %U", function, name,
                  (long long)rows, (long long)cols, qv::str_of(host.attr("shape")).ptr());
    host = qv::np().module.attr("ascontiguousarray")(host, nb::arg("dtype") = qv::np().float64);
    nb::object finite = qv::np().module.attr("isfinite")(host).attr("all")();
    if (PyObject_IsTrue(finite.ptr()) != 1)
        qv::raise(PyExc_ValueError, "%s() takes %s with finite values, got %U", function, name,
                  qv::str_of(host).ptr());
    return host;
}

// The values of a float64 host array, row-major.
std::vector<double> flat_values(nb::handle host) {
    nb::object list = host.attr("ravel")().attr("tolist")();
    std::vector<double> values;
    for (nb::handle v : list) values.push_back(PyFloat_AsDouble(v.ptr()));
    return values;
}

Matrix read_matrix(nb::handle M, const char *function) {
    std::vector<double> values = flat_values(host_values(M, function, "M", 2, 3));
    Matrix m;
    std::copy(values.begin(), values.end(), m.begin());
    return m;
}

Matrix invert(const Matrix &m, const char *function) {
    Matrix inv;
    double det;
    if (!qv::invert_affine(m, inv, &det))
        qv::raise(PyExc_ValueError, "%s() takes an invertible M; its 2x2 part has determinant %R", function,
                  nb::float_(det).ptr());
    return inv;
}

nb::object float32_array(nb::handle values) {
    return qv::np().module.attr("array")(values, nb::arg("dtype") = qv::np().float32);
}

// The image as the warp kernels read it: float32, float16, uint8 and uint16 as they are (type is
// their index in kElementTypes), other element types as float32 (type 0) converted back after.
struct Prepared {
    nb::object image;
    int type;
    std::string dtype;
};

Prepared prepare(nb::handle image) {
    Prepared p;
    p.type = qv::element_type(image);
    if (p.type >= 0) {
        p.image = qv::cp().ascontiguousarray(image);
        p.dtype = qv::kElementTypes[p.type].dtype;
    } else {
        p.image = qv::converted_image(image, p.dtype);
        p.type = 0;
    }
    return p;
}

nb::object finished(nb::object output, const Prepared &p) {
    return qv::element_type(output) >= 0 && p.dtype == qv::kElementTypes[p.type].dtype
               ? output
               : qv::restore_dtype(output, p.dtype);
}

nb::object new_image(nb::handle shape, const Prepared &p, bool zeros) {
    nb::object dtype = qv::cp().module.attr(qv::kElementTypes[p.type].dtype);
    return zeros ? qv::cp().zeros(shape, nb::arg("dtype") = dtype)
                 : qv::cp().empty(shape, nb::arg("dtype") = dtype);
}

// Warps a prepared image; inv maps output pixels to input pixels.
nb::object warp(const Prepared &p, const Matrix &inv, int64_t height, int64_t width) {
    std::vector<int64_t> in = qv::shape_of(p.image);
    bool color = in.size() == 3;
    int64_t channels = color ? in[2] : 1;
    nb::object shape = color ? nb::make_tuple(height, width, channels) : nb::make_tuple(height, width);
    qv::check_indexable({height, width, channels}, "output");
    qv::check_rows(height, "output");
    if (in[0] == 0 || in[1] == 0) return finished(new_image(shape, p, true), p);
    nb::object output = new_image(shape, p, false);

    std::array<float, qv::kWarpRow> r = qv::warp_row(inv);
    if (r[6] > 0.0f) {
        qv::launch_2d(
            affine_area_kernel[p.type], width, height,
            nb::make_tuple(p.image, output, qv::f32(r[0]), qv::f32(r[1]), qv::f32(r[2]), qv::f32(r[3]),
                           qv::f32(r[4]), qv::f32(r[5]), qv::f32(r[6]), qv::f32(r[7]), qv::i32(in[0]),
                           qv::i32(in[1]), qv::i32(height), qv::i32(width), qv::i32(channels)));
        return finished(output, p);
    }
    qv::launch_2d(affine_linear_kernel[p.type], width, height,
                  nb::make_tuple(p.image, output, qv::f32(r[0]), qv::f32(r[1]), qv::f32(r[2]), qv::f32(r[3]),
                                 qv::f32(r[4]), qv::f32(r[5]), qv::i32(in[0]), qv::i32(in[1]),
                                 qv::i32(height), qv::i32(width), qv::i32(channels)));
    return finished(output, p);
}

// k warps by the rows of a device table, one launch: of one prepared image, or (batch) of each
// image of a prepared (k, H, W[, C]) batch.
nb::object warp_batch(const Prepared &p, nb::handle table, int64_t count, int64_t height, int64_t width,
                      bool batch = false) {
    std::vector<int64_t> in = qv::shape_of(p.image);
    if (batch) in.erase(in.begin());
    int64_t channels = in.size() == 3 ? in[2] : 1;
    nb::object out_shape = in.size() == 3 ? nb::make_tuple(count, height, width, channels)
                                          : nb::make_tuple(count, height, width);
    if (count == 0 || in[0] == 0 || in[1] == 0) return finished(new_image(out_shape, p, true), p);
    nb::object output = new_image(out_shape, p, false);
    nb::tuple grid = qv::blocks_covering(width, height, qv::kBlockX, qv::kBlockY);
    long long plane = batch ? (long long)(in[0] * in[1] * channels) : 0;
    affine_batch_kernel[p.type](
        nb::make_tuple(grid[0], grid[1], count), nb::make_tuple(qv::kBlockX, qv::kBlockY),
        nb::make_tuple(p.image, output, table, qv::i32(in[0]), qv::i32(in[1]), qv::i32(height),
                       qv::i32(width), qv::i32(channels), nb::int_(plane)));
    return finished(output, p);
}

// The one launch's table of warps: the inverse of each matrix, one transfer whatever the count.
nb::object warp_table(const std::vector<Matrix> &matrices, const char *function) {
    std::vector<float> table;
    table.reserve(matrices.size() * qv::kWarpRow);
    for (const Matrix &m : matrices) {
        std::array<float, qv::kWarpRow> row = qv::warp_row(invert(m, function));
        table.insert(table.end(), row.begin(), row.end());
    }
    nb::object host = qv::np().module.attr("frombuffer")(
        nb::bytes(reinterpret_cast<const char *>(table.data()), table.size() * sizeof(float)),
        qv::np().float32);
    return qv::cp().asarray(host);
}

// The warp table row of a device M (2, 3), made on the device: nothing waits for it.
void check_device_matrix(nb::handle M) {
    std::vector<int64_t> shape = qv::shape_of(M);
    if (shape.size() != 2 || shape[0] != 2 || shape[1] != 3)
        qv::raise(PyExc_ValueError, "affine_transform() takes M of shape (2, 3), got %U",
                  qv::str_of(M.attr("shape")).ptr());
    char kind = nb::cast<std::string>(nb::object(M.attr("dtype").attr("kind")))[0];
    if (kind != 'f' && kind != 'i' && kind != 'u')
        qv::raise(PyExc_TypeError, "affine_transform() takes M of a real element type, got %U",
                  qv::str_of(M.attr("dtype")).ptr());
}

// The warp by a device M in one launch (M of types other than float32 and float64 converted first).
nb::object warp_matrix(const Prepared &p, nb::handle M, int64_t height, int64_t width) {
    const qv::Cupy &cp = qv::cp();
    std::string dtype = nb::cast<std::string>(qv::str_of(M.attr("dtype")));
    bool wide = dtype != "float32";
    nb::object matrix = wide ? cp.ascontiguousarray(M, nb::arg("dtype") = cp.module.attr("float64"))
                             : cp.ascontiguousarray(M);
    std::vector<int64_t> in = qv::shape_of(p.image);
    int64_t channels = in.size() == 3 ? in[2] : 1;
    nb::object out_shape =
        in.size() == 3 ? nb::make_tuple(height, width, channels) : nb::make_tuple(height, width);
    if (in[0] == 0 || in[1] == 0) return finished(new_image(out_shape, p, true), p);
    nb::object output = new_image(out_shape, p, false);
    // The kernel takes both pointers and reads the one is_wide names; the other is never read.
    nb::object unused =
        cp.empty(nb::make_tuple(6), nb::arg("dtype") = wide ? cp.float32 : cp.module.attr("float64"));
    qv::launch_2d(
        affine_matrix_kernel[p.type], width, height,
        nb::make_tuple(p.image, output, wide ? unused : matrix, wide ? matrix : unused, qv::i32(wide),
                       qv::i32(in[0]), qv::i32(in[1]), qv::i32(height), qv::i32(width), qv::i32(channels)));
    return finished(output, p);
}

// (height, width), each a positive int that the kernels' 32-bit indexing can reach.
std::array<int64_t, 2> read_dsize(nb::handle dsize, const char *function = "affine_transform") {
    bool ok = nb::len(dsize) == 2, too_large = false;
    std::array<int64_t, 2> size{};
    for (size_t i = 0; ok && i < 2; ++i) {
        nb::handle n = PyTuple_GET_ITEM(dsize.ptr(), i);
        int overflow = 0;
        ok = PyLong_CheckExact(n.ptr()) && (size[i] = PyLong_AsLongLongAndOverflow(n.ptr(), &overflow)) > 0;
        ok = ok || overflow > 0;
        too_large = too_large || overflow > 0 || size[i] > INT32_MAX;
    }
    if (!ok)
        qv::raise(PyExc_ValueError, "%s() takes dsize as two positive integers (height, width), got %U",
                  function, qv::str_of(dsize).ptr());
    if (too_large)
        qv::raise(PyExc_ValueError, "%s() takes dsize entries of at most %d, got %U", function, INT32_MAX,
                  qv::str_of(dsize).ptr());
    return size;
}

std::vector<Matrix> read_matrices(nb::handle M, const char *function);

// affine_transform of each image of an (N, H, W, C) batch, by one M or one per image, in one launch.
nb::object warp_images(const qv::Args &a) {
    const char *function = "affine_transform";
    std::vector<int64_t> shape = qv::shape_of(a[0]);
    qv::check_indexable(shape, "image");
    int64_t count = shape[0];
    nb::object M = nb::borrow(a[1]);
    std::vector<int64_t> m =
        qv::is_device_array(M) || qv::is_host_array(M) ? qv::shape_of(M) : std::vector<int64_t>{};
    if (m.size() == 2) M = M.attr("reshape")(1, 2, 3);
    std::vector<Matrix> matrices = read_matrices(M, function);
    if (matrices.size() == 1) matrices.resize(count, matrices[0]);
    if ((int64_t)matrices.size() != count)
        qv::raise(PyExc_ValueError,
                  "%s() takes one M (2, 3) for a batch of %lld images, or one each (%lld, 2, 3), "
                  "got %lld",
                  function, (long long)count, (long long)count, (long long)matrices.size());
    if (count > qv::kMaxGridZ)
        qv::raise(PyExc_ValueError, "%s() takes a batch of at most %lld images, got %lld", function,
                  (long long)qv::kMaxGridZ, (long long)count);
    std::array<int64_t, 2> size = read_dsize(a[2]);
    qv::check_indexable({count * size[0], size[1], shape[3]}, "output");
    qv::check_rows(size[0], "output");
    nb::object table = count ? warp_table(matrices, function) : nb::none();
    return warp_batch(prepare(a[0]), table, count, size[0], size[1], true);
}

nb::object affine_transform(const qv::Args &a) {
    nb::handle given_image = a["image"];
    nb::handle given_M = a["M"];
    if (qv::is_device_array(given_image) && qv::shape_of(given_image).size() == 4) return warp_images(a);
    std::vector<int64_t> shape = qv::image_shape(given_image, "affine_transform");
    // A device M is inverted on the device; a singular or non-finite one warps to zeros there,
    // as nothing reads it back to refuse it.
    bool on_device = qv::is_device_array(given_M);
    Matrix inv{};
    if (!on_device)
        inv = invert(read_matrix(given_M, "affine_transform"), "affine_transform");
    else
        check_device_matrix(given_M);
    std::array<int64_t, 2> size = read_dsize(a["dsize"]);
    // The output's size is checked before the image is converted, not only when it is allocated.
    qv::check_indexable({size[0], size[1], shape.size() == 3 ? shape[2] : 1}, "output");
    qv::check_rows(size[0], "output");
    if (on_device) {
        return warp_matrix(prepare(given_image), given_M, size[0], size[1]);
    }
    return warp(prepare(given_image), inv, size[0], size[1]);
}

// Matrices (k, 2, 3) from a host array, or a device one read to the host.
std::vector<Matrix> read_matrices(nb::handle M, const char *function) {
    nb::object host;
    if (qv::is_device_array(M))
        host = M.attr("get")();
    else if (qv::is_host_array(M))
        host = nb::borrow(M);
    else
        qv::raise(PyExc_TypeError, "%s() takes M as a cupy.ndarray or numpy.ndarray, got %s", function,
                  qv::type_name(M));
    std::vector<int64_t> shape = qv::shape_of(host);
    if (shape.size() != 3 || shape[1] != 2 || shape[2] != 3)
        qv::raise(PyExc_ValueError, "%s() takes M of shape (k, 2, 3), got %U", function,
                  qv::str_of(host.attr("shape")).ptr());
    if (shape[0] > qv::kMaxGridY)
        qv::raise(PyExc_ValueError, "%s() takes at most %lld matrices, got %lld", function,
                  (long long)qv::kMaxGridY, (long long)shape[0]);
    host = qv::np().module.attr("ascontiguousarray")(host, nb::arg("dtype") = qv::np().float64);
    if (PyObject_IsTrue(qv::np().module.attr("isfinite")(host).attr("all")().ptr()) != 1)
        qv::raise(PyExc_ValueError, "%s() takes M with finite values", function);
    std::vector<double> values = flat_values(host);
    std::vector<Matrix> matrices(shape[0]);
    for (size_t i = 0; i < matrices.size(); ++i) std::copy_n(values.begin() + 6 * i, 6, matrices[i].begin());
    return matrices;
}

nb::object affine_transform_batch(const qv::Args &a) {
    const char *function = "affine_transform_batch";
    std::vector<int64_t> shape = qv::image_shape(a["image"], function);
    std::vector<Matrix> matrices = read_matrices(a["M"], function);
    std::array<int64_t, 2> size = read_dsize(a["dsize"], function);
    int64_t count = (int64_t)matrices.size(), channels = shape.size() == 3 ? shape[2] : 1;
    qv::check_indexable({count * size[0], size[1], channels}, "output");
    qv::check_rows(size[0], "output");
    Prepared p = prepare(a["image"]);
    if (count == 0 || shape[0] == 0 || shape[1] == 0) return warp_batch(p, nb::none(), 0, size[0], size[1]);
    return warp_batch(p, warp_table(matrices, function), count, size[0], size[1]);
}

nb::object get_inverse_matrix(const qv::Args &a) {
    nb::handle M = a["M"];
    if (qv::is_device_array(M)) {
        std::vector<int64_t> shape = qv::shape_of(M);
        if (shape.size() != 2 || shape[0] != 2 || shape[1] != 3)
            qv::raise(PyExc_ValueError, "get_inverse_matrix() takes M of shape (2, 3), got %U",
                      qv::str_of(M.attr("shape")).ptr());
        nb::object matrix = qv::cp().ascontiguousarray(M, nb::arg("dtype") = qv::cp().float32);
        nb::object inverse = qv::cp().empty(nb::make_tuple(2, 3), nb::arg("dtype") = qv::cp().float32);
        invert_affine_kernel(nb::make_tuple(1), nb::make_tuple(1), nb::make_tuple(matrix, inverse));
        return inverse;
    }
    Matrix inv = invert(read_matrix(M, "get_inverse_matrix"), "get_inverse_matrix");
    nb::object result = qv::np().module.attr("array")(
        nb::make_tuple(inv[0], inv[1], inv[2], inv[3], inv[4], inv[5]), nb::arg("dtype") = qv::np().float64);
    return result.attr("reshape")(2, 3);
}

nb::object crop_from_kps(const qv::Args &a) {
    qv::image_shape(a["image"], "crop_from_kps");
    Prepared p = prepare(a["image"]);
    nb::object kps = host_values(a["kps"], "crop_from_kps", "kps", 5, 2);
    int64_t size = nb::cast<int64_t>(a["size"]);
    if (size <= 0)
        qv::raise(PyExc_ValueError, "crop_from_kps() takes a positive size, got %lld", (long long)size);

    std::vector<double> values = flat_values(kps);
    double points[5][2], target[5][2];
    for (size_t i = 0; i < 5; ++i)
        for (size_t k = 0; k < 2; ++k) points[i][k] = values[2 * i + k];
    qv::template_of(size, target);
    Matrix m;
    if (!qv::fit_similarity(points, target, 5, m))
        qv::raise(PyExc_ValueError, "crop_from_kps() takes kps that are not all the same point");
    nb::object crop = warp(p, invert(m, "crop_from_kps"), size, size);
    nb::object host =
        float32_array(nb::make_tuple(nb::make_tuple(m[0], m[1], m[2]), nb::make_tuple(m[3], m[4], m[5])));
    return nb::make_tuple(crop, qv::cp().asarray(host));
}

}  // namespace

NB_MODULE(affine, m) {
    m.doc() =
        "Affine warps of device images. A matrix M (2 x 3) maps input pixels to output pixels as "
        "cv2.warpAffine reads it, integer coordinates being pixel centres; output sizes are given "
        "height first, (H, W), like array shapes. Enlarging and size-keeping warps are bilinear; "
        "shrinking warps average each output pixel's footprint, whatever the channel count.";
    affine_linear_kernel = qv::add_typed_kernel(m, "affine_linear_kernel", affine_linear_kernel_code);
    affine_area_kernel = qv::add_typed_kernel(m, "affine_area_kernel", affine_area_kernel_code);
    affine_batch_kernel = qv::add_typed_kernel(m, "affine_batch_kernel", affine_batch_kernel_code);
    affine_matrix_kernel = qv::add_typed_kernel(m, "affine_matrix_kernel", affine_matrix_kernel_code);
    invert_affine_kernel = qv::add_kernel(m, "invert_affine_kernel", invert_affine_kernel_code);
    qv::def(
        m, "affine_transform", affine_transform,
        {{"image", "cp.ndarray"}, {"M", "cp.ndarray | np.ndarray"}, {"dsize", "tuple[int, int]"}},
        "cp.ndarray",
        "A new (H, W) or (H, W, C) device image: image warped by M, which maps input pixels to output "
        "pixels (cv2.warpAffine's convention).\n\n"
        "Bilinear, except that a shrinking warp (an output pixel spanning more than one input pixel along "
        "an axis) averages the input over each output pixel's footprint, pixels outside the input counting "
        "as 0; the channel count does not change the sampling. Output pixels that no input pixel reaches "
        "are 0; samples near the edge take 0 for the taps outside, as with BORDER_CONSTANT.\n\n"
        "Args:\n"
        "    image: the device image. float16, uint8 and uint16 images are read and written in the same "
        "pass (integers as 0..1 over their range, written back rounded and saturated); other element types "
        "are warped in float32 and converted back. An (N, H, W, C) batch is warped image by image in one "
        "launch.\n"
        "    M: the 2 x 3 matrix. A host M is inverted on the host; a device M on the device, without "
        "waiting for it, and a singular or non-finite device M gives zeros. A batch takes one M (2, 3) or "
        "one each (N, 2, 3), inverted on the host (a device M is read back first).\n"
        "    dsize: (H, W), height first.\n\n"
        "Raises:\n"
        "    ValueError: a host M that is not a finite, invertible 2 x 3 matrix.");
    qv::def(
        m, "affine_transform_batch", affine_transform_batch,
        {{"image", "cp.ndarray"}, {"M", "cp.ndarray | np.ndarray"}, {"dsize", "tuple[int, int]"}},
        "cp.ndarray",
        "k warps of one image in one launch: a new (k, H, W) or (k, H, W, C) device array whose entry i is "
        "affine_transform(image, M[i], dsize), M being (k, 2, 3) (read to the host; the inverses travel to "
        "the device as one table). Raises ValueError for a matrix that is not finite and invertible.");
    qv::def(m, "get_inverse_matrix", get_inverse_matrix, {{"M", "cp.ndarray | np.ndarray"}},
            "cp.ndarray | np.ndarray",
            "The 2 x 3 matrix of the inverse mapping, as cv2.invertAffineTransform. A device M gives a "
            "float32 device array computed on the device without synchronising; a singular device M gives "
            "zeros. A host M gives a float64 NumPy array and raises ValueError when it is singular.");
    qv::def(m, "crop_from_kps", crop_from_kps,
            {{"image", "cp.ndarray"}, {"kps", "cp.ndarray | np.ndarray"}, {"size", "int"}},
            "tuple[cp.ndarray, cp.ndarray]",
            "Aligned square face crop.\n\n"
            "The rotation, uniform scale and translation that best fits kps (least squares) onto the "
            "standard five-point template of a 112-pixel crop, scaled to size / 112 (a template point t "
            "becomes (t + 0.5) * size / 112 - 0.5, pixel centres being integers), gives M.\n\n"
            "Args:\n"
            "    image: the frame.\n"
            "    kps: five (x, y) landmarks in frame pixels: left eye, right eye, nose tip, left and right "
            "mouth corners.\n"
            "    size: the crop's side in pixels.\n\n"
            "Returns:\n"
            "    (crop, M) with crop = affine_transform(image, M, (size, size)) and M a writable (2, 3) "
            "float32 device array mapping frame pixels into the crop.");
}
