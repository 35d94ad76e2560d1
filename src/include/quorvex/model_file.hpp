// Files read or written whole (the runtimes take their models as bytes), and ONNX models parsed
// with their side files checked.
#pragma once

#include <nanobind/nanobind.h>

#include <functional>

#include "quorvex/python.hpp"

namespace quorvex {

namespace nb = nanobind;

// Runs body on an open file object and closes it on every path; body's error is the one raised.
template <typename Body>
void closing(nb::handle file, Body &&body) {
    try {
        body();
    } catch (nb::python_error &) {
        try {
            file.attr("close")();
        } catch (nb::python_error &) {
            // the first error is the one worth reporting
        }
        throw;
    }
    file.attr("close")();
}

// open(path, "rb").read(); open's own errors pass through.
inline nb::object read_file(nb::handle path) {
    nb::object file = quorvex::stdlib::io.get().attr("open")(path, "rb");
    nb::object data;
    closing(file, [&] { data = file.attr("read")(); });
    return data;
}

// open(path, "wb").write(data): a full disk raises with its errno.
inline void write_file(nb::handle path, nb::handle data) {
    nb::object file = quorvex::stdlib::io.get().attr("open")(path, "wb");
    closing(file, [&] { file.attr("write")(data); });
}

// An ONNX model keeps large tensors in side files it names itself ("external data"). Runtimes
// differ in whether they check those names, so a model could have any file on the machine read
// as its weights: every name must resolve, links followed, to a file inside `folder`.
inline void check_external_data(nb::handle model, nb::handle folder, nb::handle named) {
    nb::handle path = quorvex::stdlib::os.get().attr("path");
    nb::object root = path.attr("realpath")(folder);
    std::function<void(nb::handle)> walk = [&](nb::handle message) {
        if (nb::str(message.attr("DESCRIPTOR").attr("full_name")).equal(nb::str("onnx.TensorProto"))) {
            if (nb::cast<long>(message.attr("data_location")) != 1) return;  // 1: EXTERNAL
            nb::object location = nb::str("");
            for (nb::handle entry : message.attr("external_data"))
                if (nb::str(entry.attr("key")).equal(nb::str("location"))) location = entry.attr("value");
            nb::object resolved = path.attr("realpath")(path.attr("join")(root, location));
            bool inside = nb::len(location) && !nb::cast<bool>(path.attr("isabs")(location)) &&
                          nb::str(path.attr("commonpath")(nb::make_tuple(root, resolved))).equal(root);
            if (!inside)
                raise(PyExc_ValueError,
                      "%S: tensor '%S' takes its data from '%S', which is not a file inside %S; only side "
                      "files beside the model are read",
                      named.ptr(), message.attr("name").ptr(), location.ptr(), root.ptr());
            return;
        }
        for (nb::handle field_value : message.attr("ListFields")()) {
            nb::handle field = field_value[0], value = field_value[1];
            if (field.attr("message_type").is_none()) continue;
            if (nb::hasattr(value, "ListFields")) {
                walk(value);
            } else {
                for (nb::handle item : value) walk(item);
            }
        }
    };
    walk(model);
}

// The ModelProto of an ONNX model given as a path or as bytes, its side files not loaded but
// checked: against the model's folder, or for bytes the working directory, where runtimes look.
inline nb::object load_onnx_checked(nb::handle model) {
    nb::module_ onnx = nb::module_::import_("onnx");
    nb::handle path = quorvex::stdlib::os.get().attr("path");
    if (!PyUnicode_Check(model.ptr()) && PyObject_CheckBuffer(model.ptr())) {
        nb::object data = quorvex::stdlib::builtins.get().attr("bytes")(model);
        nb::object proto = onnx.attr("load_model_from_string")(data);
        check_external_data(proto, nb::str("."), nb::str("the model bytes"));
        return proto;
    }
    nb::object proto = onnx.attr("load")(model, nb::arg("load_external_data") = false);
    check_external_data(proto, path.attr("dirname")(path.attr("abspath")(model)), model);
    return proto;
}

}  // namespace quorvex
