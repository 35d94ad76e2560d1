// Files written in full before they appear: every writer makes its output as a new hidden file
// beside the target and renames it onto the target once complete.
#pragma once

#include <string>

#include "quorvex/python.hpp"

namespace quorvex {

// A new empty file in `folder` named ".{stem}.{random}{ext}" (the stem cut at a character
// boundary so the name stays within the 255 bytes file systems take), made with O_EXCL: a file or
// a link planted at the name is never written through (another random name is drawn), and the
// random part leaves nothing to plant ahead. Returns (path, open descriptor); an OSError names
// `named` rather than the hidden file.
inline std::pair<nb::object, nb::object> create_temporary(nb::handle folder, nb::handle stem,
                                                          const std::string &ext, nb::handle named) {
    nb::handle os = quorvex::stdlib::os.get();
    long room = 255 - 2 - 32 - (long)ext.size();
    nb::object cut =
        stem.attr("encode")("utf-8", "surrogateescape")[nb::slice(nb::none(), nb::int_(room), nb::none())]
            .attr("decode")("utf-8", "ignore");
    int flags = nb::cast<int>(os.attr("O_WRONLY")) | nb::cast<int>(os.attr("O_CREAT")) |
                nb::cast<int>(os.attr("O_EXCL"));
    if (nb::hasattr(os, "O_NOFOLLOW")) flags |= nb::cast<int>(os.attr("O_NOFOLLOW"));
    for (int attempt = 0;; ++attempt) {
        try {
            nb::object token = quorvex::stdlib::uuid.get().attr("uuid4")().attr("hex");
            nb::object name = nb::str(".{}.{}{}").attr("format")(cut, token, ext.c_str());
            nb::object path = os.attr("path").attr("join")(folder, name);
            return {path, os.attr("open")(path, flags, 0666)};
        } catch (nb::python_error &error) {
            if (!error.matches(PyExc_OSError)) throw;
            if (error.matches(PyExc_FileExistsError) && attempt < 16) continue;  // taken: draw again
            nb::handle value = error.value();
            nb::object renamed =
                nb::handle(PyExc_OSError)(value.attr("errno"), value.attr("strerror"), named);
            PyErr_SetObject((PyObject *)Py_TYPE(renamed.ptr()), renamed.ptr());
            throw nb::python_error();
        }
    }
}

}  // namespace quorvex
