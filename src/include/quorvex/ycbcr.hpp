// Y'CbCr colour transforms computed on the host and handed to kernels as arguments: the matrix
// (BT.601/709/2020, non-constant luminance), video or full range at any bit depth.
#pragma once

#include <array>
#include <cmath>
#include <string>

#include "quorvex/kernel.hpp"
#include "quorvex/python.hpp"

namespace quorvex::ycbcr {

struct Transform {
    std::array<double, 9> m;
    std::array<double, 3> o;
};

// Kr and Kb of the matrix named by the argument.
inline std::array<double, 2> luma_weights(nb::handle matrix, const char *function) {
    std::string name = nb::cast<std::string>(matrix);
    if (name == "bt601") return {0.299, 0.114};
    if (name == "bt709") return {0.2126, 0.0722};
    if (name == "bt2020") return {0.2627, 0.0593};
    raise(PyExc_ValueError, "%s() takes matrix as 'bt601', 'bt709' or 'bt2020', got %R", function,
          matrix.ptr());
}

inline bool flag(nb::handle value, const char *name, const char *function) {
    if (!PyBool_Check(value.ptr()))
        raise(PyExc_TypeError, "%s() takes %s as a bool, got %s", function, name, quorvex::type_name(value));
    return value.ptr() == Py_True;
}

// Code-value scales: Y = y_offset + y_scale * E'y, C = c_offset + c_scale * E'c. Deeper codes
// scale the 8-bit ones by 2^(bits - 8) in video range; full range spans 0..2^bits - 1.
struct Range {
    double y_offset, y_scale, c_offset, c_scale;
};

inline Range code_range(int bits, bool full) {
    double unit = std::ldexp(1.0, bits - 8), top = std::ldexp(1.0, bits) - 1.0;
    if (full) return {0.0, top, std::ldexp(1.0, bits - 1), top};
    return {16.0 * unit, 219.0 * unit, 128.0 * unit, 224.0 * unit};
}

// The codes an encoder may write. Video range keeps off the codes whose top eight bits are all
// zeros or all ones: SDI reserves them for timing references (1..254 at 8 bits).
inline std::array<double, 2> code_limits(int bits, bool full) {
    double top = std::ldexp(1.0, bits) - 1.0, unit = std::ldexp(1.0, bits - 8);
    if (full) return {0.0, top};
    return {unit, top - unit};
}

// B, G, R from code values Y, Cb, Cr.
inline Transform decoding(std::array<double, 2> k, const Range &r) {
    double kr = k[0], kb = k[1], kg = 1.0 - kr - kb;
    double y = 1.0 / r.y_scale, c = 1.0 / r.c_scale;
    return {{y, 2.0 * (1.0 - kb) * c, 0.0,                                         // B
             y, -2.0 * kb * (1.0 - kb) / kg * c, -2.0 * kr * (1.0 - kr) / kg * c,  // G
             y, 0.0, 2.0 * (1.0 - kr) * c},                                        // R
            {r.y_offset, r.c_offset, r.c_offset}};
}

// Code values Y, Cb, Cr from B, G, R.
inline Transform encoding(std::array<double, 2> k, const Range &r) {
    double kr = k[0], kb = k[1], kg = 1.0 - kr - kb;
    double cb = r.c_scale / (2.0 * (1.0 - kb)), cr = r.c_scale / (2.0 * (1.0 - kr));
    return {{r.y_scale * kb, r.y_scale * kg, r.y_scale * kr,  //
             cb * (1.0 - kb), -cb * kg, -cb * kr,             //
             -cr * kb, -cr * kg, cr * (1.0 - kr)},
            {r.y_offset, r.c_offset, r.c_offset}};
}

inline void append_transform(nb::list &args, const Transform &t) {
    for (double v : t.m) args.append(f32(v));
    for (double v : t.o) args.append(f32(v));
}

}  // namespace quorvex::ycbcr
