// Gaussian blending of upscaled tiles as they come back from the model, batch by batch.
//
// merge_tiles needs every output tile at once; for a large image that is several times the
// result. TileBlender keeps only a running weighted sum and a running weight sum of the output
// canvas on the device: each batch is added in one launch and dropped by the caller, and the
// sum is divided by the weights in place at the end. Per pixel, tiles are added in cutting
// order with the same float32-after-double steps as merge_tiles, so the sums agree with it.
#include <algorithm>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/interop.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

const char *blend_tiles_kernel_code = R"(

// One thread per canvas pixel of the box the batch's tiles cover. The batch holds tiles
// first .. first + count - 1 of the grid (row-major), (N, C, tile, tile) float32 at any byte
// strides; rgb reverses the first three channels into the BGR canvas.
// The batch comes as an address so that any strided view of a tensor can be read in place.
extern "C" __global__ void __launch_bounds__(256) blend_tiles_kernel(long long batch_address,
                                              long long stride_n, long long stride_c,
                                              long long stride_y, long long stride_x,
                                              const double* __restrict__ weights,
                                              float* __restrict__ sum, float* __restrict__ weight_sum,
                                              int first, int count, int tile, int step, int columns,
                                              int rows, int x0, int y0, int box_width, int box_height,
                                              int width, int channels, int rgb) {
    int bx = blockIdx.x * blockDim.x + threadIdx.x;
    int by = blockIdx.y * blockDim.y + threadIdx.y;
    if (bx >= box_width || by >= box_height) return;
    int x = x0 + bx, y = y0 + by;
    int row_first = y < tile ? 0 : (y - tile) / step + 1;
    int row_last = min(rows - 1, y / step);
    int column_first = x < tile ? 0 : (x - tile) / step + 1;
    int column_last = min(columns - 1, x / step);
    int last = first + count - 1;
    long long pixel = (long long)y * width + x;
    const unsigned char* batch = reinterpret_cast<const unsigned char*>(batch_address);

    float total = weight_sum[pixel];
    bool covered = false;
    for (int r = row_first; r <= row_last; ++r)
        for (int q = column_first; q <= column_last; ++q) {
            int index = r * columns + q;
            if (index < first || index > last) continue;
            covered = true;
            total = (float)((double)total + weights[(y - r * step) * tile + (x - q * step)]);
        }
    if (!covered) return;
    weight_sum[pixel] = total;

    for (int c = 0; c < channels; ++c) {
        int source = (rgb && c < 3 && channels >= 3) ? 2 - c : c;
        float acc = sum[pixel * channels + c];
        for (int r = row_first; r <= row_last; ++r) {
            for (int q = column_first; q <= column_last; ++q) {
                int index = r * columns + q;
                if (index < first || index > last) continue;
                int ty = y - r * step, tx = x - q * step;
                const unsigned char* p = batch + (index - first) * stride_n + source * stride_c +
                                         ty * stride_y + tx * stride_x;
                float v = *reinterpret_cast<const float*>(p);
                acc = (float)((double)acc + (double)v * weights[ty * tile + tx]);
            }
        }
        sum[pixel * channels + c] = acc;
    }
}
)";

const char *normalise_blend_kernel_code = R"(
// Weighted sum over weight sum, in place, over the top-left width x height of a canvas
// canvas_width wide; pixels no tile reached have weight 0 and stay 0.
extern "C" __global__ void __launch_bounds__(256) normalise_blend_kernel(float* __restrict__ sum, const float* __restrict__ weight_sum,
                                                  int width, int height, int canvas_width, int channels) {
    int x = blockIdx.x * blockDim.x + threadIdx.x;
    int y = blockIdx.y * blockDim.y + threadIdx.y;
    if (x >= width || y >= height) return;
    long long pixel = (long long)y * canvas_width + x;
    float w = weight_sum[pixel];
    for (int c = 0; c < channels; ++c) {
        float* p = sum + pixel * channels + c;
        *p = w > 0.0f ? *p / w : 0.0f;
    }
}
)";

nb::handle blend_tiles_kernel, normalise_blend_kernel;

nb::object i64(int64_t value) { return qv::np().module.attr("int64")(value); }

int64_t get_int(nb::handle self, const char *name) { return nb::cast<int64_t>(self.attr(name)); }

std::vector<int64_t> shape_items(nb::handle shape, const char *function, const char *name) {
    Py_ssize_t size = PyTuple_GET_SIZE(shape.ptr());
    if (size != 3)
        qv::raise(PyExc_ValueError, "%s() needs %s as (height, width, channels), got %zd item%s", function, name,
                  (size_t)size, size == 1 ? "" : "s");
    std::vector<int64_t> items;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        nb::handle item = PyTuple_GET_ITEM(shape.ptr(), i);
        if (!PyLong_Check(item.ptr()) || PyBool_Check(item.ptr()))
            qv::raise(PyExc_TypeError, "%s() needs integers in %s, got %s", function, name, qv::type_name(item));
        items.push_back(nb::cast<int64_t>(item));
        if (items.back() < 1)
            qv::raise(PyExc_ValueError, "%s() needs sizes of at least 1 in %s, got %s", function, name,
                      qv::str_of(shape).c_str());
    }
    return items;
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    std::vector<int64_t> padded = shape_items(a[1], "TileBlender", "padded_shape");
    int64_t scale = nb::cast<int64_t>(a[2]), tile_size = nb::cast<int64_t>(a[3]), overlap = nb::cast<int64_t>(a[4]);
    if (scale < 1) qv::raise(PyExc_ValueError, "TileBlender() needs scale >= 1 (got %lld)", (long long)scale);
    if (tile_size < 1 || overlap < 0 || overlap >= tile_size)
        qv::raise(PyExc_ValueError, "TileBlender() needs 0 <= overlap < tile_size (got overlap=%lld, tile_size=%lld)",
                  (long long)overlap, (long long)tile_size);
    int64_t tile = tile_size * scale, step = (tile_size - overlap) * scale;
    int64_t height = padded[0] * scale, width = padded[1] * scale, channels = padded[2];
    int64_t rows = height >= tile ? (height - tile) / step + 1 : 0;
    int64_t columns = width >= tile ? (width - tile) / step + 1 : 0;
    qv::check_indexable({height, width, channels}, "the blended canvas");

    const qv::Cupy &cp = qv::cp();
    self.attr("scale") = nb::int_(scale);
    self.attr("tile_size") = nb::int_(tile_size);
    self.attr("overlap") = nb::int_(overlap);
    self.attr("rows") = nb::int_(rows);
    self.attr("columns") = nb::int_(columns);
    self.attr("tile_count") = nb::int_(rows * columns);
    self.attr("added") = nb::int_(0);
    self.attr("canvas_shape") = nb::make_tuple(height, width, channels);
    self.attr("weights") = qv::package_attr("quorvex.upscale.tile", "create_gaussian_weights")(tile, tile / 4);
    self.attr("sum") = cp.zeros(nb::make_tuple(height, width, channels), nb::arg("dtype") = cp.float32);
    self.attr("weight_sum") = cp.zeros(nb::make_tuple(height, width), nb::arg("dtype") = cp.float32);
    return nb::none();
}

void check_open(nb::handle self, const char *method) {
    if (self.attr("sum").is_none())
        qv::raise(PyExc_ValueError, "TileBlender.%s() after result(): the blend is finished", method);
}

// The batch as a float32 device array, sharing the tensor's memory where it can.
nb::object device_batch(nb::handle batch) {
    const qv::Cupy &cp = qv::cp();
    if (qv::is_tensor(batch)) {
        nb::handle torch = qv::torch_module().get();
        nb::object tensor = nb::borrow(batch);
        nb::object dtype = tensor.attr("dtype");
        if (!dtype.equal(torch.attr("float32"))) tensor = tensor.attr("float")();
        return qv::tensor_to_device(tensor.attr("detach")());
    }
    if (!qv::is_device_array(batch))
        qv::raise(PyExc_TypeError, "TileBlender.add() takes a torch.Tensor or cupy.ndarray (N, C, H, W), got %s",
                  qv::type_name(batch));
    std::string kind = nb::cast<std::string>(batch.attr("dtype").attr("char"));
    if (kind == "f") return nb::borrow(batch);
    return qv::package_attr("quorvex.utils.dtypes", "to_float32")(batch);
}

nb::object add(const qv::Args &a) {
    nb::handle self = a[0];
    check_open(self, "add");
    nb::object batch = device_batch(a[1]);
    int64_t first = nb::cast<int64_t>(a[2]);
    bool rgb = nb::cast<bool>(a[3]);
    std::vector<int64_t> shape = qv::shape_of(batch);
    int64_t tile = get_int(self, "tile_size") * get_int(self, "scale");
    int64_t step = (get_int(self, "tile_size") - get_int(self, "overlap")) * get_int(self, "scale");
    int64_t rows = get_int(self, "rows"), columns = get_int(self, "columns"), total = rows * columns;
    std::vector<int64_t> canvas = qv::shape_of(self.attr("sum"));
    if (shape.size() != 4 || shape[1] != canvas[2] || shape[2] != tile || shape[3] != tile) {
        std::string text = "(";
        for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
        qv::raise(PyExc_ValueError, "TileBlender.add() takes a batch of shape (N, %lld, %lld, %lld), got %s)",
                  (long long)canvas[2], (long long)tile, (long long)tile, text.c_str());
    }
    int64_t count = shape[0];
    if (first < 0 || first + count > total)
        qv::raise(PyExc_ValueError, "TileBlender.add() got tiles %lld to %lld of a grid of %lld", (long long)first,
                  (long long)(first + count - 1), (long long)total);
    if (count == 0) return nb::none();

    nb::object strides = batch.attr("strides");
    int64_t r0 = first / columns, r1 = (first + count - 1) / columns;
    int64_t x0 = 0, x1 = canvas[1];
    if (r0 == r1) {
        x0 = (first % columns) * step;
        x1 = ((first + count - 1) % columns) * step + tile;
    }
    int64_t y0 = r0 * step, y1 = r1 * step + tile;
    // The kernel reads the batch through its raw address, so it must be on the canvas's device.
    qv::DeviceScope scope(self.attr("sum").attr("device").attr("id"));
    int64_t address = nb::cast<int64_t>(batch.attr("data").attr("ptr"));
    qv::launch_2d(blend_tiles_kernel, x1 - x0, y1 - y0,
                  nb::make_tuple(i64(address), i64(nb::cast<int64_t>(strides[nb::int_(0)])),
                                 i64(nb::cast<int64_t>(strides[nb::int_(1)])),
                                 i64(nb::cast<int64_t>(strides[nb::int_(2)])),
                                 i64(nb::cast<int64_t>(strides[nb::int_(3)])),
                                 self.attr("weights"), self.attr("sum"), self.attr("weight_sum"), qv::i32(first),
                                 qv::i32(count), qv::i32(tile), qv::i32(step), qv::i32(columns), qv::i32(rows),
                                 qv::i32(x0), qv::i32(y0), qv::i32(x1 - x0), qv::i32(y1 - y0),
                                 qv::i32(canvas[1]), qv::i32(canvas[2]), qv::i32(rgb)),
                  32, 8);
    self.attr("added") = nb::int_(get_int(self, "added") + count);
    return nb::none();
}

nb::object result(const qv::Args &a) {
    nb::handle self = a[0];
    check_open(self, "result");
    std::vector<int64_t> original = shape_items(a[1], "TileBlender.result", "original_shape");
    int64_t scale = get_int(self, "scale");
    std::vector<int64_t> canvas = qv::shape_of(self.attr("sum"));
    int64_t height = original[0] * scale, width = original[1] * scale;
    if (height > canvas[0] || width > canvas[1] || original[2] != canvas[2])
        qv::raise(PyExc_ValueError, "TileBlender.result() got original_shape %s, larger than the padded image",
                  qv::str_of(a[1]).c_str());
    nb::object sum = self.attr("sum");
    qv::DeviceScope scope(sum.attr("device").attr("id"));
    qv::launch_2d(normalise_blend_kernel, width, height,
                  nb::make_tuple(sum, self.attr("weight_sum"), qv::i32(width), qv::i32(height), qv::i32(canvas[1]),
                                 qv::i32(canvas[2])),
                  32, 8);
    self.attr("sum") = nb::none();
    self.attr("weight_sum") = nb::none();
    return sum[nb::make_tuple(nb::slice(nb::int_(0), nb::int_(height), nb::none()),
                              nb::slice(nb::int_(0), nb::int_(width), nb::none()))];
}

}  // namespace

NB_MODULE(blend, m) {
    m.doc() = "Gaussian blending of upscaled tiles batch by batch into a running weighted sum on the device.";
    blend_tiles_kernel = qv::add_kernel(m, "blend_tiles_kernel", blend_tiles_kernel_code);
    normalise_blend_kernel = qv::add_kernel(m, "normalise_blend_kernel", normalise_blend_kernel_code);
    qv::Class(m, "TileBlender",
              "Blends the output tiles of tile_image's grid into one image as batches arrive, holding only the "
              "weighted sum and the weight sum of the output canvas.")
        .def("__init__", init,
             {{"self"},
              {"padded_shape", "tuple[int, int, int]"},
              {"scale", "int"},
              {"tile_size", "int", nb::int_(128)},
              {"overlap", "int", nb::int_(16)}},
             "None",
             "A zeroed float32 canvas of padded_shape times scale (channels unscaled) and its weight sum, for the "
             "grid tile_image cut with tile_size and overlap. Each tile is weighted by "
             "create_gaussian_weights(tile_size * scale, tile_size * scale // 4).")
        .def("add", add, {{"self"}, {"batch", "torch.Tensor | cp.ndarray"}, {"first", "int"}, {"rgb", "bool", nb::bool_(false)}},
             "None",
             "Adds output tiles first .. first + N - 1 (cutting order) of a (N, C, H, W) float32 or float16 "
             "batch in one launch. rgb: the batch's first three channels are in RGB order (the canvas is BGR).")
        .def("result", result, {{"self"}, {"original_shape", "tuple[int, int, int]"}}, "cp.ndarray",
             "Divides the weighted sum by the weight sum in place (0 where no tile reached) and returns its "
             "top-left (H * scale, W * scale, C) view for the original_shape (H, W, C) of the input. Ends the "
             "blend.")
        .finish();
}
