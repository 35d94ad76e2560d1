// Errors and cached imports shared by the package's modules.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <cstdarg>
#include <string>
#include <utility>

namespace quorvex {

namespace nb = nanobind;

// Raises a Python exception of the given type with a printf-style message.
[[noreturn]] inline void raise(PyObject *type, const char *format, ...) {
    va_list args;
    va_start(args, format);
    PyErr_FormatV(type, format, args);
    va_end(args);
    throw nb::python_error();
}

// A module imported once and then held for the life of the process (never released, so that
// nothing is decref'd after the interpreter has shut down). A module that is missing is only an
// error when it is first needed, with a hint saying what to install.
class Import {
public:
    explicit Import(const char *name) : name_(name) {}

    // The module, imported now: a missing one raises ModuleNotFoundError saying what installs it
    // (quorvex.extras' table, pure Python and always importable).
    static nb::object now(const char *name) {
        PyObject *m = PyImport_ImportModule(name);
        if (!m) {
            if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
            PyErr_Clear();
            nb::object hint = nb::module_::import_("quorvex.extras").attr("install_hint")(name);
            raise(PyExc_ModuleNotFoundError, "%s is needed here but is not installed: %U", name, hint.ptr());
        }
        return nb::steal(m);
    }

    // The module, importing it on first use.
    nb::handle get() {
        if (!module_) module_ = now(name_).release().ptr();
        return module_;
    }

    // The module if it can be imported, else an invalid handle.
    nb::handle try_get() {
        if (!module_ && !missing_) {
            PyObject *m = PyImport_ImportModule(name_);
            if (m) {
                module_ = m;
            } else {
                if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw nb::python_error();
                PyErr_Clear();
                missing_ = true;
            }
        }
        return module_;
    }

    // The module if something has imported it already, else an invalid handle. An object can
    // only be an instance of a library's type once that library is imported, so type tests use
    // this and never pay for importing a heavy library.
    nb::handle if_loaded() {
        if (!module_) {
            PyObject *m = PyImport_GetModule(nb::str(name_).ptr());
            if (m)
                module_ = m;
            else if (PyErr_Occurred())
                throw nb::python_error();
        }
        return module_;
    }

private:
    const char *name_;
    PyObject *module_ = nullptr;
    bool missing_ = false;
};

// The standard library's modules the package calls, each imported once: one table, as
// siblings.hpp is for the package's own functions.
namespace stdlib {
inline Import builtins("builtins"), collections("collections"), fractions("fractions"), inspect("inspect"),
    io("io"), itertools("itertools"), os("os"), os_path("os.path"), pickle("pickle"), sys("sys"),
    threading("threading"), time("time"), typing("typing"), uuid("uuid");
}  // namespace stdlib

// A reference held for the life of the process.
inline nb::handle keep(nb::handle obj, const char *name) { return nb::object(obj.attr(name)).release(); }

// A value made by Python code on first use and kept for the life of the process, for a
// function-local static: `static Once<T> x; x.get(make)`. C++'s guarded initialisation of a
// static would deadlock when the maker lets go of the GIL (an import reading its files): a second
// thread would wait for the guard while holding the GIL. Here everything happens under the GIL; a
// second thread that comes while the first one's maker runs makes the value too (the makers are
// lookups, the same every time) and the first value stored is kept.
template <typename T>
class Once {
public:
    constexpr Once() = default;

    template <typename Make>
    const T &get(Make &&make) {
        if (!value_) {
            T *made = new T(make());
            if (value_)
                delete made;  // the other thread's is kept; references it held are not released
            else
                value_ = made;
        }
        return *value_;
    }

private:
    T *value_ = nullptr;
};

// A module's attribute looked up on first use (importing the module) and kept; the package's own
// functions are all in one table of them (siblings.hpp).
class Lookup {
public:
    constexpr Lookup(const char *module, const char *name) : module_(module), name_(name) {}

    nb::handle get() {
        return once_.get([this] { return nb::object(nb::module_::import_(module_).attr(name_)).release(); });
    }

    template <typename... Args>
    nb::object operator()(Args &&...args) {
        return get()(std::forward<Args>(args)...);
    }

private:
    const char *module_, *name_;
    Once<nb::handle> once_;
};

// One cache per module; Import objects are cheap and never released.
inline Import &cupy_module() {
    static Import module("cupy");
    return module;
}
inline Import &numpy_module() {
    static Import module("numpy");
    return module;
}
inline Import &torch_module() {
    static Import module("torch");
    return module;
}

// Handles into CuPy looked up once.
struct Cupy {
    nb::handle module, ndarray, asarray, asnumpy, ascontiguousarray, empty, empty_like, zeros, RawKernel;
    nb::handle float32, int32;
};

inline const Cupy &cp() {
    static Once<Cupy> once;
    return once.get([] {
        nb::handle m = cupy_module().get();
        return Cupy{m,
                    keep(m, "ndarray"),
                    keep(m, "asarray"),
                    keep(m, "asnumpy"),
                    keep(m, "ascontiguousarray"),
                    keep(m, "empty"),
                    keep(m, "empty_like"),
                    keep(m, "zeros"),
                    keep(m, "RawKernel"),
                    keep(m, "float32"),
                    keep(m, "int32")};
    });
}

// Handles into NumPy looked up once.
struct Numpy {
    nb::handle module, ndarray, asarray, float32, float64, int32, uint8, uint16, float16;
};

inline const Numpy &np() {
    static Once<Numpy> once;
    return once.get([] {
        nb::handle m = numpy_module().get();
        return Numpy{m,
                     keep(m, "ndarray"),
                     keep(m, "asarray"),
                     keep(m, "float32"),
                     keep(m, "float64"),
                     keep(m, "int32"),
                     keep(m, "uint8"),
                     keep(m, "uint16"),
                     keep(m, "float16")};
    });
}

// Whether CuPy can be imported; device-array type tests are false without it.
inline bool has_cupy() { return cupy_module().try_get().is_valid(); }

inline bool is_device_array(nb::handle obj) {
    return has_cupy() && PyObject_IsInstance(obj.ptr(), cp().ndarray.ptr()) == 1;
}

inline bool is_host_array(nb::handle obj) {
    return PyObject_IsInstance(obj.ptr(), np().ndarray.ptr()) == 1 && !is_device_array(obj);
}

inline bool is_tensor(nb::handle obj) {
    nb::handle torch = torch_module().if_loaded();
    return torch.is_valid() && PyObject_IsInstance(obj.ptr(), torch.attr("Tensor").ptr()) == 1;
}

// str(obj), as Python computes it.
inline nb::str str_of(nb::handle obj) {
    PyObject *text = PyObject_Str(obj.ptr());
    if (!text) throw nb::python_error();
    return nb::steal<nb::str>(text);
}

// The printable name of an object's type, as Python shows it in errors.
inline const char *type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

// Attribute of another package module, imported at run time (modules never link to each other).
inline nb::object package_attr(const char *module, const char *name) {
    return nb::module_::import_(module).attr(name);
}

// `with cp.cuda.Device(id):` for the scope of a C++ block.
class DeviceScope {
public:
    explicit DeviceScope(nb::handle device_id) {
        device_ = cp().module.attr("cuda").attr("Device")(device_id);
        device_.attr("__enter__")();
    }
    ~DeviceScope() {
        try {
            device_.attr("__exit__")(nb::none(), nb::none(), nb::none());
        } catch (...) {
            PyErr_Clear();  // leaving the device must not mask the error being raised
        }
    }
    DeviceScope(const DeviceScope &) = delete;
    DeviceScope &operator=(const DeviceScope &) = delete;

private:
    nb::object device_;
};

// print(*values) through Python, so redirections of sys.stdout apply.
template <typename... Values>
void print(Values &&...values) {
    quorvex::stdlib::builtins.get().attr("print")(std::forward<Values>(values)...);
}

}  // namespace quorvex
