// Run-time compiled kernels: module attributes, argument checks and launches.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <initializer_list>
#include <string>
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

// Scalars are passed with the width the kernel declares.
inline nb::object i32(int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX) raise(PyExc_ValueError, "size %lld does not fit a 32-bit index", (long long)value);
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
inline void launch_2d(nb::handle kernel, int64_t width, int64_t height, nb::handle args, int block_x = kBlockX,
                      int block_y = kBlockY) {
    if (kernel.is_none()) cp();  // raises the install hint
    if (width <= 0 || height <= 0) return;
    check_rows(height, "a 2-D launch", block_y);
    kernel(blocks_covering(width, height, block_x, block_y), nb::make_tuple(block_x, block_y), args);
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
        raise(PyExc_ValueError, "%s has %lld elements; at most %d are supported", what, (long long)count, INT32_MAX);
}

}  // namespace quorvex
