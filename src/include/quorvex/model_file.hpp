// Model files read whole, as the runtimes take their models as bytes.
#pragma once

#include <nanobind/nanobind.h>

namespace quorvex {

namespace nb = nanobind;

// open(path, "rb").read(), closing the file on every path; open's own errors pass through.
inline nb::object read_file(nb::handle path) {
    nb::object file = nb::module_::import_("io").attr("open")(path, "rb");
    nb::object data;
    try {
        data = file.attr("read")();
    } catch (nb::python_error &) {
        try {
            file.attr("close")();
        } catch (nb::python_error &) {
            // the read error is the one worth reporting
        }
        throw;
    }
    file.attr("close")();
    return data;
}

}  // namespace quorvex
