// Run-time compiled kernels: module attributes, argument checks and launches.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "quorvex/python.hpp"

namespace quorvex {

namespace nb = nanobind;

// Publishes `<name>_code` and `<name>` (the cp.RawKernel wrapping it) on the module and returns
// the kernel. CuPy compiles the text on first launch. Without CuPy the module still imports;
// the kernel attribute is None and launching says what to install.
inline nb::handle add_kernel(nb::module_ &m, const char *name, const char *code) {
    m.attr((std::string(name) + "_code").c_str()) = code;
    nb::object kernel = nb::none();
    if (has_cupy()) kernel = cp().RawKernel(code, name);
    m.attr(name) = kernel;
    return kernel.release();
}

// Device code for kernels that read and write uint8, uint16 and float16 images themselves, so
// that an integer image takes one pass instead of conversions around a float32 kernel. Values
// are computed in float32; an element is read either as its value (qv_value) or mapped over its
// range onto 0..1 (qv_unit_value, x / max, the package's to_float32), and written back the same
// two ways as the package's quantizing conversion writes: rounded half to even, saturated, NaN
// to 0 (the unit form rounds the exact product v * max, in float arithmetic). float16 is
// converted with integer arithmetic (round half to even), which every compiler accepts.
// Guarded, so that texts made of several parts may each include it.
inline constexpr const char element_types_code[] =
#include "quorvex/element_types.cuh.inc"
    ;

// Element types the typed kernels are made for: the dtype's name, the kernel text's type and
// the suffix of the entry's name (float32 keeps the plain name).
struct ElementType {
    const char *dtype, *ctype, *suffix;
};
inline constexpr ElementType kElementTypes[] = {{"float32", "float", ""},
                                                {"uint8", "unsigned char", "_uint8"},
                                                {"uint16", "unsigned short", "_uint16"},
                                                {"float16", "qv_half", "_float16"}};
inline constexpr int kElementTypeCount = 4;

// The index in kElementTypes of an array's dtype, or -1 for the types the kernels do not read.
inline int element_type(nb::handle array) {
    std::string dtype = nb::cast<std::string>(str_of(array.attr("dtype")));
    for (int i = 0; i < kElementTypeCount; ++i)
        if (dtype == kElementTypes[i].dtype) return i;
    return -1;
}

// The entry text repeated per element type (from kElementTypes[first] on), every "$T" replaced
// by its C type and "$S" by its suffix: one extern "C" kernel per type, each an instance of the
// same templates.
inline std::string typed_entries(const char *entry, int first = 0) {
    std::string out;
    for (int i = first; i < kElementTypeCount; ++i) {
        const ElementType &t = kElementTypes[i];
        std::string e = entry;
        for (size_t at; (at = e.find("$T")) != std::string::npos;) e.replace(at, 2, t.ctype);
        for (size_t at; (at = e.find("$S")) != std::string::npos;) e.replace(at, 2, t.suffix);
        out += e;
    }
    return out;
}

// An entry template's placeholders ($NAME, $CALL, ...) replaced, each wherever it stands, in
// the order given; typed_entries then makes the entry per element type ($T, $S).
inline std::string filled(std::string text,
                          std::initializer_list<std::pair<const char *, std::string>> values) {
    for (const auto &[key, value] : values) {
        size_t length = std::strlen(key);
        for (size_t at = 0; (at = text.find(key, at)) != std::string::npos; at += value.size())
            text.replace(at, length, value);
    }
    return text;
}

// One kernel per element type, all from the same text.
struct TypedKernel {
    nb::handle kernels[kElementTypeCount];
    nb::handle operator[](int type) const { return kernels[type]; }
};

// Publishes `<name>_code` and a cp.RawKernel `<name><suffix>` per element type (from
// kElementTypes[first] on), all of the same text (CuPy caches a text's compiled module).
inline TypedKernel add_typed_kernel(nb::module_ &m, const char *name, const std::string &code,
                                    int first = 0) {
    m.attr((std::string(name) + "_code").c_str()) = code;
    TypedKernel typed{};
    for (int i = first; i < kElementTypeCount; ++i) {
        std::string entry = std::string(name) + kElementTypes[i].suffix;
        nb::object kernel = nb::none();
        if (has_cupy()) kernel = cp().RawKernel(code.c_str(), entry.c_str());
        m.attr(entry.c_str()) = kernel;
        typed.kernels[i] = kernel.release();
    }
    return typed;
}

// Scalars are passed with the width the kernel declares.
inline nb::object i32(int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX)
        raise(PyExc_ValueError, "size %lld does not fit a 32-bit index", (long long)value);
    return np().int32(value);
}
inline nb::object f32(double value) { return np().float32(value); }

inline nb::tuple blocks_covering(int64_t width, int64_t height, int block_x, int block_y) {
    return nb::make_tuple((width + block_x - 1) / block_x, (height + block_y - 1) / block_y);
}

// A CUDA grid has at most 65535 blocks along y, so one 2-D launch covers at most that many
// block rows. Callers check their output height with this before allocating anything.
inline constexpr int64_t kMaxGridY = 65535;

// 2-D kernels run 32 x 8 blocks: 256 threads, the bound every kernel declares with
// __launch_bounds__(256), so that no kernel is squeezed for registers on any generation.
inline constexpr int kBlockX = 32, kBlockY = 8;

inline void check_rows(int64_t rows, const char *what, int block_y = kBlockY) {
    if (rows > kMaxGridY * block_y)
        raise(PyExc_ValueError, "%s has %lld rows; at most %lld are supported", what, (long long)rows,
              (long long)(kMaxGridY * block_y));
}

// Launches a kernel with one thread per (x, y) over a width x height output.
inline void launch_2d(nb::handle kernel, int64_t width, int64_t height, nb::handle args,
                      int block_x = kBlockX, int block_y = kBlockY) {
    if (kernel.is_none()) cp();  // raises the install hint
    if (width <= 0 || height <= 0) return;
    check_rows(height, "a 2-D launch", block_y);
    kernel(blocks_covering(width, height, block_x, block_y), nb::make_tuple(block_x, block_y), args);
}

// A grid has at most 65535 blocks along z: the images of one batched launch.
inline constexpr int64_t kMaxGridZ = 65535;

// launch_2d over each of count images at once, image blockIdx.z.
inline void launch_batch(nb::handle kernel, int64_t width, int64_t height, int64_t count, nb::handle args) {
    if (kernel.is_none()) cp();
    if (width <= 0 || height <= 0 || count <= 0) return;
    check_rows(height, "a 2-D launch");
    if (count > kMaxGridZ)
        raise(PyExc_ValueError, "a batch of %lld images; at most %lld are supported", (long long)count,
              (long long)kMaxGridZ);
    kernel(nb::make_tuple((width + kBlockX - 1) / kBlockX, (height + kBlockY - 1) / kBlockY, count),
           nb::make_tuple(kBlockX, kBlockY), args);
}

// Whether every array's data sits at a multiple of four of its elements, as a kernel moving four
// elements in one access (Four) needs.
inline bool aligned_for_fours(std::initializer_list<nb::handle> arrays) {
    for (nb::handle a : arrays)
        if (nb::cast<uintptr_t>(a.attr("data").attr("ptr")) % (4 * nb::cast<uintptr_t>(a.attr("itemsize"))) !=
            0)
            return false;
    return true;
}

// Flat kernels of three-channel pixels: one thread per four pixels (a quad), 256 a block, each
// given the pixel count and whether its arrays are aligned for moving quads in wide accesses.
inline void launch_quads(nb::handle kernel, nb::handle input, nb::handle output, int64_t pixels) {
    if (kernel.is_none()) cp();
    if (pixels <= 0) return;
    int64_t quads = (pixels + 3) / 4;
    kernel(nb::make_tuple((quads + 255) / 256), nb::make_tuple(256),
           nb::make_tuple(input, output, i32(pixels), i32(aligned_for_fours({input, output}))));
}

// Planar images (count, 3, height, width) into interleaved ones (count, height, width, 3), one
// thread per four pixels of a plane (qv_planes_to_quad), image blockIdx.z.
inline void launch_plane_quads(nb::handle kernel, nb::handle planes, nb::handle image, int64_t plane,
                               int64_t count) {
    if (kernel.is_none()) cp();
    if (plane <= 0 || count <= 0) return;
    if (count > kMaxGridZ)
        raise(PyExc_ValueError, "a batch of %lld images; at most %lld are supported", (long long)count,
              (long long)kMaxGridZ);
    int64_t quads = (plane + 3) / 4;
    bool wide = plane % 4 == 0 && aligned_for_fours({planes, image});
    kernel(nb::make_tuple((quads + 255) / 256, 1, count), nb::make_tuple(256),
           nb::make_tuple(planes, image, i32(plane), i32(wide)));
}

// The shape of an array as integers.
inline std::vector<int64_t> shape_of(nb::handle array) {
    std::vector<int64_t> shape;
    for (nb::handle n : array.attr("shape")) shape.push_back(nb::cast<int64_t>(n));
    return shape;
}

// Elements of an array, refusing arrays too large for the kernels' 32-bit indexing. The count
// is formed without overflow, so absurd sizes are refused too rather than wrapping.
inline void check_indexable(const std::vector<int64_t> &shape, const char *what) {
    int64_t count = 1;
    bool overflow = false;
    for (int64_t n : shape) overflow = overflow || __builtin_mul_overflow(count, n, &count);
    if (overflow)
        raise(PyExc_ValueError, "%s has more than %lld elements; at most %d are supported", what,
              (long long)INT64_MAX, INT32_MAX);
    if (count > INT32_MAX)
        raise(PyExc_ValueError, "%s has %lld elements; at most %d are supported", what, (long long)count,
              INT32_MAX);
}

}  // namespace quorvex
