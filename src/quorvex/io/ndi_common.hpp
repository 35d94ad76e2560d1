// What the NDI sender and receiver share: the clocks, argument checks and the colour module.
#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <cmath>
#include <string>

#include "quorvex/function.hpp"
#include "quorvex/kernel.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace quorvex::ndi {

// Imported by each constructor rather than cached: opening a connection dwarfs the lookup in
// sys.modules.
inline nb::object cyndilib() { return qv::Import::now("cyndilib"); }

// NDI marks an unknown time with INT64_MAX hundreds of nanoseconds: about 9.2e11 s as POSIX time.
inline constexpr double kUndefined = 9e11;
// How long the receiver waits between looks at the synchroniser while no new frame is there.
inline constexpr auto kPoll = std::chrono::milliseconds(1);

inline const char *const kMatrices[] = {"bt601", "bt709", "bt2020"};
inline const char *const kColorFormats[] = {"UYVY_BGRA", "UYVY_RGBA", "BGRX_BGRA",
                                            "RGBX_RGBA", "fastest",   "best"};

struct Color {
    nb::handle to_bgr, from_bgr, fourccs;
};

inline const Color &color() {
    static qv::Once<Color> once;
    return once.get([] {
        nb::object m = nb::module_::import_("quorvex.color.ndi");
        return Color{qv::keep(m, "to_bgr"), qv::keep(m, "from_bgr"), qv::keep(m, "FOURCCS")};
    });
}

inline double posix_now() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

inline double monotonic() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

inline const char *matrix_for(int64_t width, int64_t height) {
    if (width <= 720 && height <= 576) return "bt601";
    return width <= 1920 && height <= 1080 ? "bt709" : "bt2020";
}

inline nb::object posix_or_none(double value) {
    if (value <= 0 || value >= kUndefined) return nb::none();
    return nb::float_(value);
}

inline bool flag(nb::handle value, const char *name, const char *owner) {
    if (!PyBool_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s takes %s as a bool, got %s", owner, name, qv::type_name(value));
    return value.ptr() == Py_True;
}

// A positive, finite number (not a bool).
inline double positive(nb::handle value, const char *name, const char *owner) {
    if (PyBool_Check(value.ptr()) || !PyNumber_Check(value.ptr()))
        qv::raise(PyExc_TypeError, "%s takes %s as a number, got %s", owner, name, qv::type_name(value));
    double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    if (!(v > 0) || std::isinf(v))
        qv::raise(PyExc_ValueError, "%s takes a positive finite %s, got %R", owner, name, value.ptr());
    return v;
}

inline void check_matrix(nb::handle matrix, const char *owner) {
    if (matrix.is_none()) return;
    std::string name = nb::cast<std::string>(matrix);
    for (const char *m : kMatrices)
        if (name == m) return;
    qv::raise(PyExc_ValueError, "%s takes matrix as 'bt601', 'bt709', 'bt2020' or None, got %R", owner,
              matrix.ptr());
}

inline nb::object enter(const qv::Args &a) { return nb::borrow(a[0]); }

[[noreturn]] inline void stop_iteration() {
    PyErr_SetNone(PyExc_StopIteration);
    throw nb::python_error();
}

// ---------------------------------------------------------------- frames

inline nb::object frame_init(const qv::Args &a) {
    nb::handle self = a[0];
    self.attr("image") = a["image"];
    self.attr("timestamp") = a["timestamp"];
    self.attr("timecode") = a["timecode"];
    self.attr("fourcc") = a["fourcc"];
    return nb::none();
}

inline nb::object frame_repr(const qv::Args &a) {
    nb::handle self = a[0];
    return nb::str("NdiFrame(fourcc={!r}, shape={}, timestamp={!r}, timecode={!r})")
        .format(self.attr("fourcc"), self.attr("image").attr("shape"), self.attr("timestamp"),
                self.attr("timecode"));
}

inline nb::handle frame_type;

inline nb::object default_matrix(const qv::Args &a) {
    return nb::str(matrix_for(nb::cast<int64_t>(a["width"]), nb::cast<int64_t>(a["height"])));
}

}  // namespace quorvex::ndi
