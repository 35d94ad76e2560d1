// Bare assertions that behave like Python's `assert`: skipped under -O.
#pragma once

#include <nanobind/nanobind.h>

#include "quorvex/python.hpp"

namespace quorvex {

namespace nb = nanobind;

inline bool assertions_enabled() {
    static bool enabled = nb::cast<int>(quorvex::stdlib::sys.get().attr("flags").attr("optimize")) == 0;
    return enabled;
}

// Raises a bare AssertionError when the condition fails and assertions are on.
inline void assert_true(bool condition) {
    if (!condition && assertions_enabled()) {
        PyErr_SetNone(PyExc_AssertionError);
        throw nb::python_error();
    }
}

}  // namespace quorvex
