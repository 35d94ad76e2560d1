// What the video reader and writer share: argument checks, host views of PyAV's planes, and the
// colour description.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <utility>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"
#include "quorvex/pixel_formats.hpp"
#include "quorvex/state.hpp"
#include "quorvex/video_codes.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace quorvex::video {

inline qv::Import av_module("av");

// Python's rounding of Fractions and floats (half to even), looked up once.
inline qv::Lookup py_round("builtins", "round");

using qv::PixelFormat;

inline const char *const kWritable =
    "'yuv420p', 'yuv422p', 'yuv444p', their 10- and 12-bit forms ('yuv420p10le', ...), "
    "'nv12' or 'p010le'";

// A layout FFmpeg decodes into that the GPU kernels take, or nullptr.
inline const PixelFormat *find_format(const std::string &name) {
    const PixelFormat *f = qv::find_pixel_format(name);
    return f && f->decoded() ? f : nullptr;
}

// A plane of a PyAV frame as a host array view without its row padding.
inline nb::object plane_view(nb::handle plane, int64_t rows, int64_t cols, bool wide) {
    const qv::Numpy &np = qv::np();
    nb::handle dtype = wide ? np.uint16 : np.uint8;
    int64_t step = nb::cast<int64_t>(plane.attr("line_size")) / (wide ? 2 : 1);
    nb::object all = np.module.attr("frombuffer")(plane, dtype).attr("reshape")(-1, step);
    return all[nb::make_tuple(nb::slice(nb::int_(0), nb::int_(rows), nb::int_(1)),
                              nb::slice(nb::int_(0), nb::int_(cols), nb::int_(1)))];
}

inline nb::object yuv_function(const char *name) { return qv::package_attr("quorvex.color.yuv", name); }

inline const char *matrix_name(nb::handle matrix, const char *function) {
    if (const qv::video::Matrix *known = qv::video::find_matrix(nb::cast<std::string>(matrix)))
        return known->name;
    qv::raise(PyExc_ValueError, "%s() takes matrix as 'bt601', 'bt709' or 'bt2020', got %R", function,
              matrix.ptr());
}

inline bool bool_arg(nb::handle value, const char *name, const char *function) {
    if (!PyBool_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s() takes %s as a bool, got %s", function, name, qv::type_name(value));
    return value.ptr() == Py_True;
}

// A str argument that must be one of two names; true for the second.
inline bool choice(nb::handle value, const char *name, const char *first, const char *second,
                   const char *function) {
    if (PyUnicode_Check(value.ptr())) {
        std::string v = nb::cast<std::string>(value);
        if (v == first || v == second) return v == second;
    }
    qv::raise(PyExc_ValueError, "%s() takes %s as '%s' or '%s', got %R", function, name, first, second,
              value.ptr());
}

inline nb::object fraction(nb::handle value) {
    return quorvex::stdlib::fractions.get().attr("Fraction")(value);
}

inline std::string fspath(nb::handle path) {
    nb::object p = quorvex::stdlib::os.get().attr("fspath")(path);
    if (!PyUnicode_Check(p.ptr()))
        qv::raise(PyExc_TypeError, "path must be a str or os.PathLike of str, got %s", qv::type_name(p));
    return nb::cast<std::string>(p);
}

inline constexpr int kUnspecified = 2;  // H.273's code for a colour property a stream does not state

// A colour description: the matrix and range the kernels convert with, and the H.273 codes of
// the primaries and transfer that go beside them.
struct Colour {
    const qv::video::Matrix *matrix = nullptr;
    bool full_range = false;
    int primaries = kUnspecified, transfer = kUnspecified;
};

inline qv::Lookup colour_description("quorvex.io.video", "ColourDescription");

inline nb::object colour_value(const Colour &c) {
    return colour_description(c.matrix->name, c.full_range, c.primaries, c.transfer);
}

inline nb::object enter(const qv::Args &a) { return nb::borrow(a[0]); }

// Getters of a reader's or writer's colour description, one attribute each.
template <typename State>
nb::object colour_matrix(const qv::Args &a) {
    return nb::str(qv::state<State>(a[0]).colour.matrix->name);
}
template <typename State>
nb::object colour_full_range(const qv::Args &a) {
    return nb::bool_(qv::state<State>(a[0]).colour.full_range);
}
template <typename State>
nb::object colour_primaries(const qv::Args &a) {
    return nb::int_(qv::state<State>(a[0]).colour.primaries);
}
template <typename State>
nb::object colour_transfer(const qv::Args &a) {
    return nb::int_(qv::state<State>(a[0]).colour.transfer);
}

}  // namespace quorvex::video
