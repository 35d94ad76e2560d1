// What the conversion steps share: the libraries they import, console output built from parts,
// and running steps with every failure as a Python exception. Part of quorvex.upscale.convert.
#pragma once

#include <nanobind/nanobind.h>

#include <string>
#include <typeinfo>

#include "quorvex/python.hpp"

namespace qv = quorvex;
namespace nb = nanobind;

namespace quorvex::convert {

inline qv::Import tensorrt("tensorrt");
inline qv::Import onnx_module("onnx");
inline qv::Import spandrel("spandrel");
inline qv::Import extra_arches("spandrel_extra_arches");

// ---------------------------------------------------------------- printing

inline void append(std::string &out, const char *text) { out += text; }
inline void append(std::string &out, const std::string &text) { out += text; }
inline void append(std::string &out, nb::handle value) { out += nb::cast<std::string>(qv::str_of(value)); }

template <typename... Parts>
inline std::string cat(const Parts &...parts) {
    std::string out;
    (append(out, parts), ...);
    return out;
}

template <typename... Parts>
inline void say(const Parts &...parts) {
    qv::print(cat(parts...));
}

inline bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// int(value), as Python converts it.
inline nb::object as_int(nb::handle value) {
    nb::object result = nb::steal(PyNumber_Long(value.ptr()));
    if (!result.is_valid()) throw nb::python_error();
    return result;
}

// `part in text`.
inline bool contains(nb::handle text, const char *part) {
    int result = PySequence_Contains(text.ptr(), nb::str(part).ptr());
    if (result < 0) throw nb::python_error();
    return result == 1;
}

// The workspace in MiB, floor-divided as Python does.
inline nb::object mebibytes(nb::handle bytes) {
    return bytes.floor_div(nb::int_(1024)).floor_div(nb::int_(1024));
}

// ---------------------------------------------------------------- errors

// Runs `body` with every failure as a Python exception, so that handlers that look for
// Exception see C++ failures (a value that would not convert) as well.
template <typename Body>
inline void as_python(Body &&body) {
    try {
        body();
    } catch (nb::python_error &) {
        throw;
    } catch (nb::builtin_exception &e) {
        PyErr_SetString(e.type() == nb::exception_type::value_error ? PyExc_ValueError : PyExc_TypeError,
                        e.what());
        throw nb::python_error();
    } catch (std::bad_cast &e) {
        PyErr_Format(PyExc_TypeError, "a value could not be converted (%s)", e.what());
        throw nb::python_error();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
        throw nb::python_error();
    }
}

// Runs `body`; an exception derived from Exception goes to `handler`, which re-raises it or
// raises another. KeyboardInterrupt and SystemExit pass untouched.
template <typename Body, typename Handler>
inline void on_exception(Body &&body, Handler &&handler) {
    try {
        as_python(body);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_Exception)) throw;
        handler(e);
    }
}

// `with manager: body()`.
template <typename Body>
inline void within(nb::handle manager, Body &&body) {
    manager.attr("__enter__")();
    try {
        as_python(body);
    } catch (nb::python_error &e) {
        nb::object traceback = e.traceback();  // invalid when raised outside any frame
        if (!truthy(
                manager.attr("__exit__")(e.type(), e.value(), traceback.is_valid() ? traceback : nb::none())))
            throw;
        return;
    }
    manager.attr("__exit__")(nb::none(), nb::none(), nb::none());
}

}  // namespace quorvex::convert
