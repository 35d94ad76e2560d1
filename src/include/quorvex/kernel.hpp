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

// Device code for kernels that read and write uint8, uint16 and float16 images themselves, so
// that an integer image takes one pass instead of conversions around a float32 kernel. Values
// are computed in float32; an element is read either as its value (qv_value) or mapped over its
// range onto 0..1 (qv_unit_value, x / max, the package's to_float32), and written back the same
// two ways as the package's quantizing conversion writes: rounded half to even, saturated, NaN
// to 0 (the unit form rounds the exact product v * max, in float arithmetic). float16 is
// converted with integer arithmetic (round half to even), which every compiler accepts.
// Guarded, so that texts made of several parts may each include it.
inline constexpr const char element_types_code[] = R"(
#ifndef QUORVEX_ELEMENT_TYPES
#define QUORVEX_ELEMENT_TYPES
struct qv_half { unsigned short bits; };

__device__ __forceinline__ float qv_half_to_float(unsigned int h) {
    unsigned int sign = (h & 0x8000u) << 16, e = (h >> 10) & 0x1fu, m = h & 0x3ffu;
    if (e == 0) return __uint_as_float(sign | __float_as_uint((float)m * 5.9604644775390625e-8f));  // m * 2^-24
    if (e == 31) return __uint_as_float(sign | 0x7f800000u | (m << 13));
    return __uint_as_float(sign | ((e + 112u) << 23) | (m << 13));
}

__device__ __forceinline__ unsigned short qv_float_to_half(float v) {
    unsigned int x = __float_as_uint(v), sign = (x >> 16) & 0x8000u, a = x & 0x7fffffffu;
    if (a > 0x7f800000u) return (unsigned short)(sign | 0x7e00u);         // NaN
    if (a >= 0x477ff000u) return (unsigned short)(sign | 0x7c00u);        // rounds past 65504
    if (a >= 0x38800000u) {                                               // normal: rebias, round
        unsigned int r = a - 0x38000000u;
        return (unsigned short)(sign | ((r + 0xfffu + ((r >> 13) & 1u)) >> 13));
    }
    return (unsigned short)(sign | (unsigned int)rintf(__uint_as_float(a) * 16777216.0f));  // subnormal
}

__device__ __forceinline__ float qv_value(float v) { return v; }
__device__ __forceinline__ float qv_value(unsigned char v) { return (float)v; }
__device__ __forceinline__ float qv_value(unsigned short v) { return (float)v; }
__device__ __forceinline__ float qv_value(qv_half v) { return qv_half_to_float(v.bits); }

// a / b for a divisor with a correctly rounded reciprocal rb, rounded as the division is (the
// residual is exact, one correction step rounds right: Markstein), without the called slow path
// of IEEE division, whose register saves would put the kernel in local memory.
__device__ __forceinline__ float qv_divide_by(float a, float b, float rb) {
    float q = __fmul_rn(a, rb);
    return fmaf(fmaf(-q, b, a), rb, q);
}

// a / b for any normal b whose quotient is normal: the reciprocal refined by a Newton step, then
// the same correction.
__device__ __forceinline__ float qv_divide(float a, float b) {
    float y = __fdividef(1.0f, b);
    y = fmaf(fmaf(-b, y, 1.0f), y, y);
    return qv_divide_by(a, b, y);
}

__device__ __forceinline__ float qv_unit_value(float v) { return v; }
__device__ __forceinline__ float qv_unit_value(unsigned char v) { return qv_divide_by((float)v, 255.0f, 1.0f / 255.0f); }
__device__ __forceinline__ float qv_unit_value(unsigned short v) { return qv_divide_by((float)v, 65535.0f, 1.0f / 65535.0f); }
__device__ __forceinline__ float qv_unit_value(qv_half v) { return qv_half_to_float(v.bits); }

__device__ __forceinline__ double qv_saturate(double v, double top) { return v == v ? fmin(fmax(rint(v), 0.0), top) : 0.0; }
// A float's nearest integer and the bounds are exact in float: the same result without FP64,
// which consumer GPUs run at 1/64 of the float rate.
__device__ __forceinline__ float qv_saturatef(float v, float top) { return v == v ? fminf(fmaxf(rintf(v), 0.0f), top) : 0.0f; }

// v * top rounded half to even as the exact product (up to 40 bits) rounds, saturated, NaN to
// 0, without FP64. v is clamped to 0..1 first (the same result). The float product's nearest
// integer q is within one of the exact one; fmaf gives the exact product's distance to the
// midpoint on the product's side of q in one rounding, which keeps its sign (a tie, 0, falls
// only on v = 1/2, whose q is already even). Checked against the product in double for every
// float, with top 255 and 65535, whether or not p - q is contracted into an fma.
__device__ __forceinline__ float qv_unit_saturatef(float v, float top) {
    v = v > 0.0f ? fminf(v, 1.0f) : 0.0f;
    float p = v * top, q = rintf(p);
    float side = copysignf(1.0f, p - q);
    float beyond = fmaf(v, top, -fmaf(side, 0.5f, q));
    return beyond * side > 0.0f ? q + side : q;
}

__device__ __forceinline__ void qv_store(float* p, float v) { *p = v; }
__device__ __forceinline__ void qv_store(unsigned char* p, float v) { *p = (unsigned char)qv_saturatef(v, 255.0f); }
__device__ __forceinline__ void qv_store(unsigned short* p, float v) { *p = (unsigned short)qv_saturatef(v, 65535.0f); }
__device__ __forceinline__ void qv_store(qv_half* p, float v) { p->bits = qv_float_to_half(v); }

__device__ __forceinline__ void qv_unit_store(float* p, float v) { *p = v; }
__device__ __forceinline__ void qv_unit_store(unsigned char* p, float v) { *p = (unsigned char)qv_unit_saturatef(v, 255.0f); }
__device__ __forceinline__ void qv_unit_store(unsigned short* p, float v) { *p = (unsigned short)qv_unit_saturatef(v, 65535.0f); }
__device__ __forceinline__ void qv_unit_store(qv_half* p, float v) { p->bits = qv_float_to_half(v); }
#endif
)";

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
