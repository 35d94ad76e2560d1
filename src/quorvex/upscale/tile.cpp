// Tiled super-resolution: the input is padded so that a regular grid of overlapping square tiles
// covers it exactly, the tiles go to the model as one batch, and the upscaled tiles are blended
// back with Gaussian weights, overlaps averaged.
//
// Tile lists are read in place through a small device table (address, byte strides, element
// type per tile), so the views that tile_image and batch_to_tile hand out are never stacked or
// converted one by one: packing the batch is one launch, blending all tiles is one launch.
#include <algorithm>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/interop.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/siblings.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace {

const char *pad_reflect_kernel_code =
#include "quorvex/upscale/tile_pad_reflect_kernel.cuh.inc"
    ;

// Element access through a tile table row: address, row, column and channel strides in bytes,
// element type. Values are converted as to_float32 converts them.
const char *tile_reader_code =
#include "quorvex/upscale/tile_reader.cuh.inc"
    ;

const std::string tiles_to_batch_kernel_code = std::string(tile_reader_code) +
#include "quorvex/upscale/tile_to_batch_kernel.cuh.inc"
    ;

const std::string merge_tiles_kernel_code = std::string(qv::element_types_code) + tile_reader_code +
#include "quorvex/upscale/merge_tiles_kernel.cuh.inc"
    ;

nb::handle pad_reflect_kernel, tiles_to_batch_kernel, merge_tiles_kernel;

int64_t as_index(nb::handle value) {
    PyObject *number = PyNumber_Index(value.ptr());
    if (!number) throw nb::python_error();
    int64_t result = PyLong_AsLongLong(number);
    Py_DECREF(number);
    if (result == -1 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

nb::object slice(int64_t start, int64_t stop) {
    return nb::slice(nb::int_(start), nb::int_(stop), nb::none());
}

// A zero or negative step would make the grid empty, endless or full of gaps.
void check_grid(const char *function, const char *size_name, int64_t size, int64_t overlap) {
    if (overlap < 0 || overlap >= size)
        qv::raise(PyExc_ValueError, "%s() needs 0 <= overlap < %s (got overlap=%lld, %s=%lld)", function,
                  size_name, (long long)overlap, size_name, (long long)size);
}

// The three axes of an image, with the messages of unpacking a shape into three names.
std::vector<int64_t> image_shape(nb::handle image) {
    std::vector<int64_t> shape = qv::shape_of(image);
    if (shape.size() > 3) qv::raise(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (shape.size() < 3)
        qv::raise(PyExc_ValueError, "need more than %zd value%.1s to unpack", shape.size(),
                  shape.size() == 1 ? "" : "s");
    return shape;
}

// Floored modulo, as Python computes it.
int64_t floor_mod(int64_t a, int64_t b) {
    int64_t r = a % b;
    return (r != 0 && ((r < 0) != (b < 0))) ? r + b : r;
}

nb::object pad(nb::handle input_image, int64_t patch_size, int64_t overlap, const char *function,
               const char *size_name) {
    const qv::Cupy &cp = qv::cp();
    check_grid(function, size_name, patch_size, overlap);
    nb::object image = qv::is_device_array(input_image) ? nb::borrow(input_image) : cp.asarray(input_image);
    std::vector<int64_t> shape = image_shape(image);
    int64_t height = shape[0], width = shape[1], channels = shape[2];
    int64_t step = patch_size - overlap;
    int64_t pad_height = step - floor_mod(height - overlap, step);
    int64_t pad_width = step - floor_mod(width - overlap, step);
    if (pad_height == step) pad_height = 0;
    if (pad_width == step) pad_width = 0;
    // A side shorter than one patch (even one no longer than the overlap) grows to a whole patch,
    // so that every image yields at least one.
    if (height < patch_size) pad_height = patch_size - height;
    if (width < patch_size) pad_width = patch_size - width;
    for (int axis = 0; axis < 2; ++axis)
        if (shape[axis] == 0 && (axis == 0 ? pad_height : pad_width) > 0)
            qv::raise(PyExc_ValueError,
                      "can't extend empty axis %d using modes other than 'constant' or 'empty'", axis);

    qv::DeviceScope scope(image.attr("device").attr("id"));
    image = cp.ascontiguousarray(image);
    int64_t padded_height = height + pad_height, padded_width = width + pad_width;
    nb::object padded = cp.empty(nb::make_tuple(padded_height, padded_width, channels),
                                 nb::arg("dtype") = image.attr("dtype"));
    int64_t pixel_bytes = channels * nb::cast<int64_t>(image.attr("itemsize"));
    int64_t address = nb::cast<int64_t>(image.attr("data").attr("ptr"));
    int unit = (pixel_bytes % 4 == 0 && address % 4 == 0) ? 4 : 1;
    int64_t pixel_units = pixel_bytes / unit;
    qv::check_indexable({padded_width * pixel_units}, "a padded row");
    nb::object src = image.attr("view")(qv::np().uint8), dst = padded.attr("view")(qv::np().uint8);
    qv::launch_2d(pad_reflect_kernel, padded_width * pixel_units, padded_height,
                  nb::make_tuple(src, dst, qv::i32(width), qv::i32(height), qv::i32(padded_width),
                                 qv::i32(padded_height), qv::i32(pixel_units), qv::i32(unit)),
                  128, 2);
    return padded;
}

nb::object add_padding(const qv::Args &a) {
    return pad(a["input_image"], nb::cast<int64_t>(a["patch_size"]), nb::cast<int64_t>(a["overlap"]),
               "add_padding", "patch_size");
}

nb::object tile_image(const qv::Args &a) {
    int64_t tile_size = nb::cast<int64_t>(a["tile_size"]), overlap = nb::cast<int64_t>(a["overlap"]);
    nb::object padded = pad(a["input_image"], tile_size, overlap, "tile_image", "tile_size");
    std::vector<int64_t> shape = qv::shape_of(padded);
    int64_t step = tile_size - overlap;
    nb::list tiles;
    for (int64_t y = 0; y <= shape[0] - tile_size; y += step)
        for (int64_t x = 0; x <= shape[1] - tile_size; x += step)
            tiles.append(padded[nb::make_tuple(slice(y, y + tile_size), slice(x, x + tile_size))]);
    return nb::make_tuple(tiles, padded.attr("shape"));
}

nb::object create_gaussian_weights(const qv::Args &a) {
    nb::handle cp = qv::cp().module;
    int64_t sigma_value = nb::cast<int64_t>(a["sigma"]);
    if (sigma_value < 1)  // 0 divides by zero: NaN at the centre, 0 elsewhere
        qv::raise(PyExc_ValueError, "create_gaussian_weights() needs sigma >= 1 (got %lld)",
                  (long long)sigma_value);
    // Refused before anything is allocated: the grid is size x size float64 values.
    int64_t size = nb::cast<int64_t>(a["size"]);
    if (size > 46340)  // size * size stays within the kernels' 32-bit indexing
        qv::raise(PyExc_ValueError,
                  "create_gaussian_weights() takes size of at most 46340 (a size x size grid), got %lld",
                  (long long)size);
    nb::object axis = cp.attr("linspace")(-1, 1, a["size"]);
    nb::object grid = cp.attr("meshgrid")(axis, axis);
    nb::object x = grid[nb::int_(0)], y = grid[nb::int_(1)];
    nb::object d = cp.attr("sqrt")(x * x + y * y);
    double sigma = (double)sigma_value;
    nb::object gaussian = cp.attr("exp")(-(d * d / nb::float_(2.0 * (sigma * sigma))));
    gaussian = gaussian / cp.attr("sum")(gaussian);
    return gaussian[nb::make_tuple(nb::ellipsis(), nb::none())];
}

int dtype_code(nb::handle dtype) {
    std::string kind = nb::cast<std::string>(dtype.attr("char"));
    if (kind == "f") return 0;
    if (kind == "e") return 1;
    if (kind == "d") return 2;
    if (kind == "B") return 3;
    if (kind == "H") return 4;
    if (kind == "?") return 5;
    return -1;
}

std::string shape_text(const std::vector<int64_t> &shape) {
    std::string text = "(";
    for (size_t i = 0; i < shape.size(); ++i) text += (i ? ", " : "") + std::to_string(shape[i]);
    return text + (shape.size() == 1 ? ",)" : ")");
}

// The first `count` tiles as a device table, one row per tile. All tiles must be device
// arrays of one shape on one device; element types may differ (those the kernels do not read
// are converted by to_float32 first, and kept alive in `converted`).
struct TileTable {
    nb::object rows;  // (count, 5) int64 device array
    nb::list converted;
    std::vector<int64_t> shape;
    nb::object device_id;
};

TileTable tile_table(nb::handle tiles, size_t count, const char *function) {
    TileTable table;
    std::vector<int64_t> entries;
    entries.reserve(count * 5);
    int64_t device = -1;
    for (size_t i = 0; i < count; ++i) {
        nb::object tile = nb::borrow(PyList_GET_ITEM(tiles.ptr(), (Py_ssize_t)i));
        if (!qv::is_device_array(tile))
            qv::raise(PyExc_TypeError, "%s() takes tiles as cupy.ndarray; tile %zd is %s", function, i,
                      qv::type_name(tile));
        std::vector<int64_t> shape = qv::shape_of(tile);
        if (i == 0) {
            if (shape.size() != 3)
                qv::raise(PyExc_ValueError, "%s() takes (height, width, channels) tiles; tile 0 has shape %s",
                          function, shape_text(shape).c_str());
            table.shape = shape;
            table.device_id = tile.attr("device").attr("id");
            device = nb::cast<int64_t>(table.device_id);
        } else if (shape != table.shape) {
            qv::raise(PyExc_ValueError, "%s() takes tiles of one shape; tile 0 is %s, tile %zd is %s",
                      function, shape_text(table.shape).c_str(), i, shape_text(shape).c_str());
        } else if (nb::cast<int64_t>(tile.attr("device").attr("id")) != device) {
            qv::raise(PyExc_ValueError,
                      "%s() takes tiles on one device; tile 0 is on device %lld, tile %zd on device %lld",
                      function, (long long)device, i,
                      (long long)nb::cast<int64_t>(tile.attr("device").attr("id")));
        }
        int code = dtype_code(tile.attr("dtype"));
        if (code < 0) {
            // Raises to_float32's own error for types without an agreed range.
            tile = qv::cp().ascontiguousarray(qv::sibling::to_float32(tile));
            table.converted.append(tile);
            code = 0;
        }
        nb::object strides = tile.attr("strides");
        entries.push_back(nb::cast<int64_t>(tile.attr("data").attr("ptr")));
        for (int k = 0; k < 3; ++k) entries.push_back(nb::cast<int64_t>(strides[nb::int_(k)]));
        entries.push_back(code);
    }
    qv::DeviceScope scope(table.device_id);
    nb::bytes raw(entries.data(), entries.size() * sizeof(int64_t));
    nb::object host =
        qv::np().module.attr("frombuffer")(raw, nb::arg("dtype") = qv::np().module.attr("int64"));
    table.rows = qv::cp().asarray(host.attr("reshape")((int64_t)count, 5));
    return table;
}

nb::object to_batch(const qv::Args &a) {
    nb::handle tiles = a["tiles"];
    nb::handle torch = qv::torch_module().get();
    size_t count = (size_t)PyList_GET_SIZE(tiles.ptr());
    if (count == 0)
        return torch.attr("cat")(nb::list(), nb::arg("dim") = 0);  // the tensor library's own error
    TileTable table = tile_table(tiles, count, "to_batch");
    int64_t height = table.shape[0], width = table.shape[1], channels = table.shape[2];
    qv::check_rows(height, "a tile");
    qv::DeviceScope scope(table.device_id);
    nb::object batch = qv::cp().empty(nb::make_tuple((int64_t)count, channels, height, width),
                                      nb::arg("dtype") = qv::cp().float32);
    if (height > 0 && width > 0 && channels > 0) {
        constexpr int64_t kMaxGridZ = 65535;
        for (int64_t first = 0; first < (int64_t)count; first += kMaxGridZ) {
            int64_t last = std::min<int64_t>(first + kMaxGridZ, (int64_t)count);
            nb::object rows = table.rows[slice(first, last)], out = batch[slice(first, last)];
            tiles_to_batch_kernel(
                nb::make_tuple((width + 31) / 32, (height + 7) / 8, last - first), nb::make_tuple(32, 8),
                nb::make_tuple(rows, out, qv::i32(width), qv::i32(height), qv::i32(channels)));
        }
    }
    return qv::device_to_tensor(batch);  // on the tiles' device, ordered after the packing
}

nb::object batch_to_tile(const qv::Args &a) {
    nb::handle batch = a["batch"];
    if (!qv::is_tensor(batch))
        qv::raise(PyExc_TypeError, "batch_to_tile() takes a torch.Tensor (N, C, H, W), got %s",
                  qv::type_name(batch));
    int64_t dims = nb::cast<int64_t>(batch.attr("dim")());
    if (dims != 4)
        qv::raise(PyExc_ValueError, "batch_to_tile() takes a (N, C, H, W) tensor, got %lld dimensions",
                  (long long)dims);
    // One device view of the whole batch in (N, H, W, C) order; the tiles are its entries.
    nb::object view = qv::tensor_to_device(batch.attr("permute")(0, 2, 3, 1));
    int64_t count = qv::shape_of(view)[0];
    nb::list tiles;
    for (int64_t i = 0; i < count; ++i) tiles.append(view[nb::int_(i)]);
    return tiles;
}

std::vector<int64_t> three_items(nb::handle shape, const char *name) {
    Py_ssize_t size = PyTuple_GET_SIZE(shape.ptr());
    if (size < 3)
        qv::raise(PyExc_ValueError, "merge_tiles() needs %s as (height, width, channels), got %zd item%s",
                  name, (size_t)size, size == 1 ? "" : "s");
    std::vector<int64_t> items;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        items.push_back(as_index(PyTuple_GET_ITEM(shape.ptr(), i)));
        if (items.back() < 0)
            qv::raise(PyExc_ValueError, "merge_tiles() needs sizes of at least 0 in %s, got %s", name,
                      qv::str_of(shape).c_str());
    }
    return items;
}

nb::object merge_tiles(const qv::Args &a) {
    nb::handle tiles = a["tiles"];
    std::vector<int64_t> original = three_items(a["original_shape"], "original_shape");
    std::vector<int64_t> padded = three_items(a["padded_shape"], "padded_shape");
    int64_t scale = nb::cast<int64_t>(a["scale"]);
    int64_t tile_size = nb::cast<int64_t>(a["tile_size"]), overlap = nb::cast<int64_t>(a["overlap"]);
    if (scale < 1) qv::raise(PyExc_ValueError, "merge_tiles() needs scale >= 1 (got %lld)", (long long)scale);
    check_grid("merge_tiles", "tile_size", tile_size, overlap);
    if (tile_size * scale < 4)
        qv::raise(PyExc_ValueError,
                  "merge_tiles() needs tile_size * scale >= 4 for a Gaussian sigma of at least 1 (got "
                  "tile_size=%lld, scale=%lld)",
                  (long long)tile_size, (long long)scale);
    const qv::Cupy &cp = qv::cp();

    tile_size *= scale;
    overlap *= scale;
    int64_t height = padded[0] * scale, width = padded[1] * scale, channels = padded[2];
    // The canvas is cut back to the scaled original size (never beyond the canvas).
    int64_t out_height = std::min(original[0] * scale, height),
            out_width = std::min(original[1] * scale, width);
    int64_t step = tile_size - overlap;
    int64_t rows = height >= tile_size ? (height - tile_size) / step + 1 : 0;
    int64_t columns = width >= tile_size ? (width - tile_size) / step + 1 : 0;
    size_t count = (size_t)(rows * columns);
    // No tile means no image: refuse rather than return black.
    if (count == 0)
        qv::raise(PyExc_ValueError,
                  "merge_tiles() needs a padded_shape that holds at least one %lld x %lld tile, got %s",
                  (long long)(tile_size / scale), (long long)(tile_size / scale),
                  qv::str_of(a["padded_shape"]).c_str());
    Py_ssize_t given = PyList_GET_SIZE(tiles.ptr());
    if ((size_t)given < count)  // extra tiles are left out, as before
        qv::raise(PyExc_ValueError,
                  "merge_tiles() takes at least as many tiles as padded_shape holds (%zu: %lld rows "
                  "of %lld), got %zd",
                  count, (long long)rows, (long long)columns, given);
    nb::object shape = nb::make_tuple(out_height, out_width, channels);

    TileTable table = tile_table(tiles, count, "merge_tiles");
    int64_t tile_channels = table.shape[2];
    if (table.shape[0] != tile_size || table.shape[1] != tile_size ||
        (tile_channels != channels && tile_channels != 1))
        qv::raise(PyExc_ValueError,
                  "merge_tiles() needs tiles of shape (%lld, %lld, %lld) at scale %lld, got %s",
                  (long long)tile_size, (long long)tile_size, (long long)channels, (long long)scale,
                  shape_text(table.shape).c_str());
    qv::check_indexable({out_height, out_width, channels}, "the merged image");
    qv::DeviceScope scope(table.device_id);
    // create_gaussian_weights(tile_size, tile_size // 4), computed by the kernel from the position.
    double sigma = (double)(tile_size / 4);
    nb::object merged = cp.empty(shape, nb::arg("dtype") = cp.float32);
    qv::launch_2d(
        merge_tiles_kernel, out_width, out_height,
        nb::make_tuple(table.rows, qv::f32(2.0 / (double)(tile_size - 1)),
                       qv::f32(1.0 / (2.0 * sigma * sigma)), merged, qv::i32(tile_size), qv::i32(step),
                       qv::i32(columns), qv::i32(rows), qv::i32(out_width), qv::i32(out_height),
                       qv::i32(channels), qv::i32(tile_channels == 1 && channels != 1)),
        32, 8);
    return merged;
}

}  // namespace

NB_MODULE(tile, m) {
    m.doc() =
        "Overlapping square tiles for super-resolution models that take small inputs: padding, cutting, "
        "batching and Gaussian-weighted merging at the model's scale.";
    pad_reflect_kernel = qv::add_kernel(m, "pad_reflect_kernel", pad_reflect_kernel_code);
    tiles_to_batch_kernel = qv::add_kernel(m, "tiles_to_batch_kernel", tiles_to_batch_kernel_code.c_str());
    merge_tiles_kernel = qv::add_kernel(m, "merge_tiles_kernel", merge_tiles_kernel_code.c_str());
    qv::def(
        m, "tile_image", tile_image,
        {{"input_image", "cp.ndarray"},
         {"tile_size", "int", nb::int_(128)},
         {"overlap", "int", nb::int_(16)}},
        "tuple[list[cp.ndarray], tuple]",
        "Pads an (H, W, C) device image with add_padding and cuts it into tile_size x tile_size tiles that "
        "overlap by overlap pixels, row by row from the top left. Returns the tiles (views of the padded "
        "image) and the padded image's shape.");
    qv::def(m, "add_padding", add_padding,
            {{"input_image", "cp.ndarray"},
             {"patch_size", "int", nb::int_(128)},
             {"overlap", "int", nb::int_(16)}},
            "cp.ndarray",
            "Copy of an (H, W, C) image extended at the bottom and the right by mirror reflection (edge "
            "pixel not repeated) until height - overlap and width - overlap are multiples of "
            "patch_size - overlap and both sides at least patch_size.");
    qv::def(m, "merge_tiles", merge_tiles,
            {{"tiles", "list[cp.ndarray]"},
             {"original_shape", "tuple[int, int, int]"},
             {"padded_shape", "tuple[int, int, int]"},
             {"scale", "int"},
             {"tile_size", "int", nb::int_(128)},
             {"overlap", "int", nb::int_(16)}},
            "cp.ndarray",
            "Blends upscaled tiles, in the order tile_image cut them, into one float32 image.\n\n"
            "Each tile is weighted by create_gaussian_weights(tile_size * scale, tile_size * scale // 4) in "
            "float32 and the sum divided by the summed weights (0 where no tile covers).\n\n"
            "Args:\n"
            "    tiles: the upscaled tiles, in the order tile_image cut them; extra tiles are ignored.\n"
            "    original_shape: the image's shape before padding; the result is cut to it, scaled.\n"
            "    padded_shape: the padded image's shape, as tile_image returned it.\n"
            "    scale: the tiles' upscaling factor.\n"
            "    tile_size, overlap: the grid's, as tile_image cut it.\n\n"
            "Returns:\n"
            "    The float32 image, cut to the scaled original_shape.\n\n"
            "Raises:\n"
            "    ValueError: padded_shape holds no tile or tile_size * scale < 4.");
    qv::def(m, "create_gaussian_weights", create_gaussian_weights, {{"size", "int"}, {"sigma", "int"}},
            "cp.ndarray",
            "(size, size, 1) float64 weights exp(-d^2 / (2 sigma^2)) over coordinates -1..1 on both axes "
            "(d the distance from the centre), normalised to sum to 1. sigma must be at least 1.");
    qv::def(
        m, "to_batch", to_batch, {{"tiles", "list[cp.ndarray]"}}, "torch.Tensor",
        "(N, C, H, W) float32 tensor of N (H, W, C) tiles, converted as to_float32 converts, on the tiles' "
        "CUDA device.");
    qv::def(m, "batch_to_tile", batch_to_tile, {{"batch", "torch.Tensor"}}, "list[cp.ndarray]",
            "The entries of an (N, C, H, W) tensor as N (H, W, C) device arrays sharing its memory.");
}
