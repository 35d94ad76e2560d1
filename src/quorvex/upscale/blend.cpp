// Seamless blending of upscaled tiles as they come back from the model, batch by batch.
//
// A tile's output is least accurate at its edges, where the model saw padding instead of the
// neighbouring pixels. So the overlap is treated as context: each tile's output is dropped over
// the outer part of every overlap it shares with a neighbour, and the two tiles are feathered
// with a raised-cosine ramp over the middle quarter of the overlap, centred on the overlap's
// middle. The two ramps of neighbours add up to one, so the weights are a function of the
// position alone: no weight sum is kept and nothing is divided at the end. Image borders get full
// weight. The last row and column of tiles are pulled back flush with the image's bottom and
// right edges (by less than a step: they overlap their neighbours more), so that no tile reads
// past the image, unless the image is smaller than a tile; their weights stay where the regular
// grid puts them. Every canvas pixel is written first by the first tile that weighs on it and added to by
// the later ones, so the canvas needs no clearing and batches must come in cutting order.
// merge_tiles keeps its Gaussian average for its callers; this is the command's blender.
#include <algorithm>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/interop.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

const char *blend_tiles_kernel_code =
#include "quorvex/upscale/blend_tiles_kernel.cuh.inc"
    ;

const char *cut_tiles_kernel_code =
#include "quorvex/upscale/blend_cut_tiles_kernel.cuh.inc"
    ;

const char *store_kernels_code =
#include "quorvex/upscale/blend_store_kernels.cuh.inc"
    ;

nb::handle blend_tiles_kernel, cut_tiles_kernel, store_uint8_kernel, store_uint16_kernel;

nb::object i64(int64_t value) { return qv::np().module.attr("int64")(value); }

int64_t get_int(nb::handle self, const char *name) { return nb::cast<int64_t>(self.attr(name)); }

std::vector<int64_t> shape_items(nb::handle shape, const char *function, const char *name) {
    if (!PyTuple_Check(shape.ptr()))
        qv::raise(PyExc_TypeError, "%s() needs %s as a tuple (height, width, channels), got %s", function,
                  name, qv::type_name(shape));
    Py_ssize_t size = PyTuple_GET_SIZE(shape.ptr());
    if (size != 3)
        qv::raise(PyExc_ValueError, "%s() needs %s as (height, width, channels), got %zd item%s", function,
                  name, (size_t)size, size == 1 ? "" : "s");
    std::vector<int64_t> items;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        nb::handle item = PyTuple_GET_ITEM(shape.ptr(), i);
        if (!PyLong_Check(item.ptr()) || PyBool_Check(item.ptr()))
            qv::raise(PyExc_TypeError, "%s() needs integers in %s, got %s", function, name,
                      qv::type_name(item));
        items.push_back(nb::cast<int64_t>(item));
        if (items.back() < 1)
            qv::raise(PyExc_ValueError, "%s() needs sizes of at least 1 in %s, got %s", function, name,
                      qv::str_of(shape).c_str());
    }
    return items;
}

std::string shape_text(const std::vector<int64_t> &shape) {
    std::string text = "(";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

nb::object init(const qv::Args &a) {
    nb::handle self = a[0];
    std::vector<int64_t> padded = shape_items(a["padded_shape"], "TileBlender", "padded_shape");
    int64_t scale = nb::cast<int64_t>(a["scale"]), tile_size = nb::cast<int64_t>(a["tile_size"]),
            overlap = nb::cast<int64_t>(a["overlap"]);
    if (scale < 1) qv::raise(PyExc_ValueError, "TileBlender() needs scale >= 1 (got %lld)", (long long)scale);
    if (tile_size < 1 || overlap < 0 || overlap >= tile_size)
        qv::raise(PyExc_ValueError,
                  "TileBlender() needs 0 <= overlap < tile_size (got overlap=%lld, tile_size=%lld)",
                  (long long)overlap, (long long)tile_size);
    std::vector<int64_t> original = padded;
    if (!a["original_shape"].is_none()) {
        original = shape_items(a["original_shape"], "TileBlender", "original_shape");
        if (original[0] > padded[0] || original[1] > padded[1] || original[2] != padded[2])
            qv::raise(PyExc_ValueError, "TileBlender() got original_shape %s, larger than padded_shape %s",
                      qv::str_of(a["original_shape"]).c_str(), qv::str_of(a["padded_shape"]).c_str());
    }
    // Sizes times the scale must fit the kernels' 32-bit positions.
    for (int64_t n : {padded[0], padded[1], tile_size})
        if (n > INT32_MAX / scale)
            qv::raise(PyExc_ValueError,
                      "TileBlender() got a size of %lld input pixels; at most %lld at scale %lld",
                      (long long)n, (long long)(INT32_MAX / scale), (long long)scale);
    int64_t tile = tile_size * scale, step = (tile_size - overlap) * scale;
    int64_t rows = padded[0] >= tile_size ? (padded[0] - tile_size) / (tile_size - overlap) + 1 : 0;
    int64_t columns = padded[1] >= tile_size ? (padded[1] - tile_size) / (tile_size - overlap) + 1 : 0;
    int64_t height = original[0] * scale, width = original[1] * scale, channels = original[2];
    // How far the last row and column move back to end flush with the image (input pixels).
    auto pull = [&](int64_t count, int64_t extent) {
        return extent >= tile_size
                   ? std::max<int64_t>(0, (count - 1) * (tile_size - overlap) - (extent - tile_size))
                   : 0;
    };
    qv::check_indexable({height, width, channels}, "the blended image");
    qv::check_rows(height, "the blended image");
    qv::check_rows(tile, "a tile");

    self.attr("scale") = nb::int_(scale);
    self.attr("tile_size") = nb::int_(tile_size);
    self.attr("overlap") = nb::int_(overlap);
    self.attr("rows") = nb::int_(rows);
    self.attr("columns") = nb::int_(columns);
    self.attr("tile_count") = nb::int_(rows * columns);
    self.attr("_pull") = nb::make_tuple(pull(rows, original[0]), pull(columns, original[1]));
    self.attr("added") = nb::int_(0);
    self.attr("padded_shape") = nb::make_tuple(padded[0], padded[1], padded[2]);
    self.attr("canvas_shape") = nb::make_tuple(height, width, channels);
    self.attr("band_bytes") = nb::int_(4 << 20);  // the buffer result() converts its first rows through
    // Each pixel is written before it is read (see the kernel), so the canvas is not cleared.
    self.attr("canvas") =
        qv::cp().empty(nb::make_tuple(height, width, channels), nb::arg("dtype") = qv::cp().float32);
    return nb::none();
}

void check_open(nb::handle self, const char *method) {
    if (self.attr("canvas").is_none())
        qv::raise(PyExc_ValueError, "TileBlender.%s() after result(): the blend is finished", method);
}

// The batch as a float32 device array, sharing the tensor's memory where it can.
nb::object device_batch(nb::handle batch) {
    if (qv::is_tensor(batch)) {
        nb::handle torch = qv::torch_module().get();
        nb::object tensor = nb::borrow(batch);
        if (!tensor.attr("dtype").equal(torch.attr("float32"))) tensor = tensor.attr("float")();
        return qv::tensor_to_device(tensor.attr("detach")());
    }
    if (!qv::is_device_array(batch))
        qv::raise(PyExc_TypeError,
                  "TileBlender.add() takes a torch.Tensor or cupy.ndarray (N, C, H, W), got %s",
                  qv::type_name(batch));
    std::string kind = nb::cast<std::string>(batch.attr("dtype").attr("char"));
    if (kind == "f") return nb::borrow(batch);
    return qv::sibling::to_float32(batch);
}

int64_t stride(nb::handle strides, int i) { return nb::cast<int64_t>(strides[nb::int_(i)]); }

// How far the last row (axis 0) or column (axis 1) of tiles sits back from the regular grid.
int64_t pull_of(nb::handle self, int axis) { return nb::cast<int64_t>(self.attr("_pull")[nb::int_(axis)]); }

// Where the ramps sit: centred on the overlap's middle, a quarter of the overlap wide (and no
// wider than the step, so that a pixel has weight from at most two tiles along an axis).
float centre_of(nb::handle self) { return 0.5f * (float)(get_int(self, "overlap") * get_int(self, "scale")); }
float feather_of(nb::handle self) {
    int64_t scale = get_int(self, "scale"), overlap = get_int(self, "overlap") * scale;
    int64_t step = (get_int(self, "tile_size") - get_int(self, "overlap")) * scale;
    return (float)std::min<int64_t>(overlap / 4, step);
}

nb::object add(const qv::Args &a) {
    nb::handle self = a[0];
    check_open(self, "add");
    nb::object batch = device_batch(a["batch"]);
    int64_t first = nb::cast<int64_t>(a["first"]);
    bool rgb = nb::cast<bool>(a["rgb"]);
    std::vector<int64_t> shape = qv::shape_of(batch);
    int64_t scale = get_int(self, "scale"), tile = get_int(self, "tile_size") * scale;
    int64_t step = (get_int(self, "tile_size") - get_int(self, "overlap")) * scale;
    int64_t rows = get_int(self, "rows"), columns = get_int(self, "columns"), total = rows * columns;
    nb::object canvas = self.attr("canvas");
    std::vector<int64_t> canvas_shape = qv::shape_of(canvas);
    if (shape.size() != 4 || shape[1] != canvas_shape[2] || shape[2] != tile || shape[3] != tile)
        qv::raise(PyExc_ValueError, "TileBlender.add() takes a batch of shape (N, %lld, %lld, %lld), got %s",
                  (long long)canvas_shape[2], (long long)tile, (long long)tile, shape_text(shape).c_str());
    int64_t count = shape[0], added = get_int(self, "added");
    if (first < 0 || first + count > total)
        qv::raise(PyExc_ValueError, "TileBlender.add() got tiles %lld to %lld of a grid of %lld",
                  (long long)first, (long long)(first + count - 1), (long long)total);
    if (first != added)
        qv::raise(PyExc_ValueError,
                  "TileBlender.add() takes tiles in cutting order: tile %lld is next, got %lld",
                  (long long)added, (long long)first);
    if (count == 0) return nb::none();

    nb::object strides = batch.attr("strides");
    // The kernel reads the batch through its raw address, so it must be on the canvas's device.
    qv::DeviceScope scope(canvas.attr("device").attr("id"));
    int64_t address = nb::cast<int64_t>(batch.attr("data").attr("ptr"));
    float centre = centre_of(self), feather = feather_of(self);
    int64_t height = canvas_shape[0], width = canvas_shape[1];
    // One launch per grid row the batch reaches, over the box its tiles there cover within the
    // canvas: rows overlap, so they go one after the other.
    for (int64_t r = first / columns; r <= (first + count - 1) / columns; ++r) {
        int64_t c0 = std::max(first, r * columns) - r * columns;
        int64_t c1 = std::min(first + count - 1, r * columns + columns - 1) - r * columns;
        int64_t x0 = c0 * step, x1 = std::min(width, c1 * step + tile);
        int64_t y0 = r * step, y1 = std::min(height, r * step + tile);
        if (x1 <= x0 || y1 <= y0) continue;  // tiles wholly in the padding
        qv::launch_2d(
            blend_tiles_kernel, x1 - x0, y1 - y0,
            nb::make_tuple(i64(address), i64(stride(strides, 0)), i64(stride(strides, 1)),
                           i64(stride(strides, 2)), i64(stride(strides, 3)), canvas, qv::i32(width),
                           qv::i32(canvas_shape[2]), qv::i32(tile), qv::i32(step), qv::i32(columns),
                           qv::i32(rows), qv::i32(r), qv::i32(c0), qv::i32(c1), qv::i32(first), qv::i32(x0),
                           qv::i32(y0), qv::i32(x1 - x0), qv::i32(y1 - y0), qv::f32(centre),
                           qv::f32(feather > 0.0f ? 1.0f / feather : 0.0f), qv::i32(rgb),
                           qv::i32(pull_of(self, 1) * scale), qv::i32(pull_of(self, 0) * scale)));
    }
    self.attr("added") = nb::int_(added + count);
    return nb::none();
}

nb::object cut(const qv::Args &a) {
    nb::handle self = a[0];
    check_open(self, "cut");
    nb::handle image = a["image"];
    int64_t first = nb::cast<int64_t>(a["first"]), count = nb::cast<int64_t>(a["count"]);
    bool rgb = nb::cast<bool>(a["rgb"]);
    if (!qv::is_device_array(image))
        qv::raise(PyExc_TypeError, "TileBlender.cut() takes image as a cupy.ndarray, got %s",
                  qv::type_name(image));
    std::vector<int64_t> shape = qv::shape_of(image);
    std::vector<int64_t> canvas = qv::shape_of(self.attr("canvas"));
    int64_t scale = get_int(self, "scale");
    if (shape.size() != 3 || shape[0] * scale != canvas[0] || shape[1] * scale != canvas[1] ||
        shape[2] != canvas[2])
        qv::raise(PyExc_ValueError, "TileBlender.cut() takes the image of shape (%lld, %lld, %lld), got %s",
                  (long long)(canvas[0] / scale), (long long)(canvas[1] / scale), (long long)canvas[2],
                  shape_text(shape).c_str());
    int64_t total = get_int(self, "tile_count");
    if (count < 1 || first < 0 || first + count > total)
        qv::raise(PyExc_ValueError, "TileBlender.cut() got tiles %lld to %lld of a grid of %lld",
                  (long long)first, (long long)(first + count - 1), (long long)total);
    const qv::Cupy &cp = qv::cp();
    qv::DeviceScope scope(self.attr("canvas").attr("device").attr("id"));
    nb::object source = nb::borrow(image);
    if (nb::cast<std::string>(source.attr("dtype").attr("char")) != "f")
        source = qv::sibling::to_float32(source);
    int64_t tile = get_int(self, "tile_size"), step = tile - get_int(self, "overlap");
    qv::check_rows(count * tile, "a batch of tiles");
    nb::object out = cp.empty(nb::make_tuple(count, shape[2], tile, tile), nb::arg("dtype") = cp.float32);
    nb::object strides = source.attr("strides");
    qv::launch_2d(
        cut_tiles_kernel, tile, count * tile,
        nb::make_tuple(i64(nb::cast<int64_t>(source.attr("data").attr("ptr"))), i64(stride(strides, 0) / 4),
                       i64(stride(strides, 1) / 4), i64(stride(strides, 2) / 4), qv::i32(shape[0]),
                       qv::i32(shape[1]), qv::i32(shape[2]), out, qv::i32(tile), qv::i32(step),
                       qv::i32(get_int(self, "columns")), qv::i32(get_int(self, "rows")), qv::i32(first),
                       qv::i32(count), qv::i32(rgb), qv::i32(pull_of(self, 1)), qv::i32(pull_of(self, 0))));
    return qv::device_to_tensor(out);
}

nb::object result(const qv::Args &a) {
    nb::handle self = a[0];
    check_open(self, "result");
    nb::object canvas = self.attr("canvas");
    std::vector<int64_t> canvas_shape = qv::shape_of(canvas);
    int64_t scale = get_int(self, "scale");
    int64_t height = canvas_shape[0], width = canvas_shape[1], channels = canvas_shape[2];
    if (!a["original_shape"].is_none()) {
        std::vector<int64_t> original =
            shape_items(a["original_shape"], "TileBlender.result", "original_shape");
        if (original[0] * scale > height || original[1] * scale > width || original[2] != channels)
            qv::raise(PyExc_ValueError,
                      "TileBlender.result() got original_shape %s, larger than the padded image",
                      qv::str_of(a["original_shape"]).c_str());
        height = original[0] * scale;
        width = original[1] * scale;
    }
    const qv::Cupy &cp = qv::cp();
    std::string kind = "f";
    if (!a["dtype"].is_none())
        kind = nb::cast<std::string>(qv::np().module.attr("dtype")(a["dtype"]).attr("char"));
    int code = kind == "B" ? 1 : kind == "H" ? 2 : kind == "f" ? 0 : -1;
    if (code < 0)
        qv::raise(PyExc_ValueError, "TileBlender.result() takes dtype uint8, uint16 or float32, got %s",
                  qv::str_of(qv::np().module.attr("dtype")(a["dtype"])).c_str());
    int64_t added = get_int(self, "added"), total = get_int(self, "tile_count");
    if (added != total)
        qv::raise(PyExc_ValueError, "TileBlender.result() after %lld of %lld tiles", (long long)added,
                  (long long)total);
    self.attr("canvas") = nb::none();
    nb::object crop = canvas[nb::make_tuple(nb::slice(nb::int_(0), nb::int_(height), nb::none()),
                                            nb::slice(nb::int_(0), nb::int_(width), nb::none()))];
    if (code == 0) return crop;

    // The conversion is written into the canvas's own memory, band after band from the top: a
    // band of output rows only reaches canvas bytes that earlier bands have read, once the first
    // band has gone through a small buffer. The output costs no memory beside the canvas.
    qv::DeviceScope scope(canvas.attr("device").attr("id"));
    nb::object dtype = code == 1 ? cp.module.attr("uint8") : cp.module.attr("uint16");
    int64_t size = code, row = width * channels, pitch = canvas_shape[1] * channels;
    nb::object flat = canvas.attr("reshape")(-1).attr("view")(dtype);
    nb::object out = flat[nb::slice(nb::int_(0), nb::int_(height * row), nb::none())].attr("reshape")(
        nb::make_tuple(height, width, channels));
    int64_t band =
        std::max<int64_t>(1, std::min<int64_t>(height, get_int(self, "band_bytes") / (row * size)));
    nb::object head = cp.empty(nb::make_tuple(band, width, channels), nb::arg("dtype") = dtype);
    nb::handle kernel = code == 1 ? store_uint8_kernel : store_uint16_kernel;
    qv::launch_2d(kernel, row, band,
                  nb::make_tuple(canvas, head, i64(pitch), qv::i32(row), qv::i32(0), qv::i32(band)));
    out[nb::slice(nb::int_(0), nb::int_(band), nb::none())] = head;
    head = nb::none();
    for (int64_t y = band; y < height;) {
        // Output rows y .. end - 1 end at byte end * row * size, at most where row y of the
        // canvas starts (y * pitch * 4).
        int64_t end = std::min(height, (y * pitch * 4) / (row * size));
        qv::launch_2d(kernel, row, end - y,
                      nb::make_tuple(canvas, out[nb::slice(nb::int_(y), nb::int_(end), nb::none())],
                                     i64(pitch), qv::i32(row), qv::i32(y), qv::i32(end - y)));
        y = end;
    }
    return out;
}

}  // namespace

NB_MODULE(blend, m) {
    m.doc() = "Seamless blending of upscaled tiles, batch by batch, into the output image on the device.";
    blend_tiles_kernel = qv::add_kernel(m, "blend_tiles_kernel", blend_tiles_kernel_code);
    cut_tiles_kernel = qv::add_kernel(m, "cut_tiles_kernel", cut_tiles_kernel_code);
    store_uint8_kernel = qv::add_kernel(m, "store_uint8_kernel", store_kernels_code);
    store_uint16_kernel = qv::add_kernel(m, "store_uint16_kernel", store_kernels_code);
    qv::Class(
        m, "TileBlender",
        "Blends the output tiles of tile_image's grid into one image as batches arrive: each tile's output "
        "is dropped near the edges it shares with a neighbour and feathered with it across the middle of "
        "their overlap, with weights that add up to one, so only the output image is held.")
        .def("__init__", init,
             {{"self"},
              {"padded_shape", "tuple[int, int, int]"},
              {"scale", "int"},
              {"tile_size", "int", nb::int_(128)},
              {"overlap", "int", nb::int_(16)},
              {"original_shape", "tuple[int, int, int] | None", nb::none()}},
             "None",
             "An uncleared float32 canvas for the grid tile_image cuts from a padded image.\n\n"
             "Along each axis a tile's weight ramps from 0 to 1 (raised cosine) over the middle quarter of "
             "each overlap with a neighbour, 0 before it and 1 after; image borders get full weight.\n\n"
             "Args:\n"
             "    padded_shape: the shape of the image, padded, that tile_image cuts the grid from.\n"
             "    scale: the canvas is original_shape (else padded_shape) times scale, channels unscaled.\n"
             "    tile_size, overlap: the grid's, as tile_image cuts it.\n"
             "    original_shape: the image's shape before padding. The last row and column of tiles lie "
             "flush with the original image's bottom and right edges (overlapping their neighbours more), "
             "their weights where the regular grid puts them.")
        .def("cut", cut,
             {{"self"},
              {"image", "cp.ndarray"},
              {"first", "int"},
              {"count", "int"},
              {"rgb", "bool", nb::bool_(false)}},
             "torch.Tensor",
             "The (count, C, tile_size, tile_size) float32 batch of tiles first .. first + count - 1 of the "
             "grid.\n\n"
             "The tiles are cut in one launch from the unpadded image (original_shape), the last row and "
             "column flush with its edges; mirrored at the bottom and right as tile_image pads it only along "
             "a side shorter than a tile.\n\n"
             "Args:\n"
             "    image: the unpadded image (original_shape).\n"
             "    first, count: the tiles, in cutting order.\n"
             "    rgb: the first three channels in reverse (RGB) order.")
        .def("add", add,
             {{"self"},
              {"batch", "torch.Tensor | cp.ndarray"},
              {"first", "int"},
              {"rgb", "bool", nb::bool_(false)}},
             "None",
             "Blends output tiles first .. first + N - 1 of a (N, C, H, W) float32 (or float16) batch, one "
             "launch "
             "per grid row it reaches. Tiles come in cutting order. rgb: the batch's first three channels "
             "are in "
             "RGB order (the canvas is BGR).")
        .def("result", result,
             {{"self"},
              {"original_shape", "tuple[int, int, int] | None", nb::none()},
              {"dtype", "object", nb::none()}},
             "cp.ndarray",
             "The blended image, (H * scale, W * scale, C) for the original_shape (H, W, C) of the input (by "
             "default the canvas), as float32 (a view of the canvas) or converted in the canvas's memory to "
             "dtype uint8 or uint16 (x 255 or 65535, rounded to nearest, clipped, NaN to 0). Needs every "
             "tile; "
             "ends the blend.")
        .finish();
}
