// Python-callable functions and methods with the host's own argument handling.
//
// nanobind's function objects do their own overload resolution and cannot carry an
// inspect.Signature, so the package's public entries are instances of a small callable type
// defined here instead. Each one knows its parameters (names, annotations as written in the
// stubs, defaults), parses positional and keyword arguments the way the host does, checks
// arguments annotated with built-in types for their exact type, and answers
// inspect.signature() with the real signature.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quorvex/python.hpp"

namespace quorvex {

namespace nb = nanobind;

inline constexpr size_t kMaxParams =
    24;  // one entry's parameters, self included (VideoWriter.__init__ has 16)

// One parameter. The annotation text is what the stubs and inspect.signature() show; when it
// names only built-in types (and None), the argument is checked for exactly those types.
struct Param {
    const char *name;
    const char *annotation = nullptr;
    nb::object default_value;  // not valid: the parameter is required

    Param(const char *name, const char *annotation = nullptr) : name(name), annotation(annotation) {}
    Param(const char *name, const char *annotation, nb::object default_value)
        : name(name), annotation(annotation), default_value(std::move(default_value)) {}
};

// The arguments of one call, in parameter order, defaults filled in. An implementation reads
// them by the names its entry declares (a["pixel_format"]), so that a parameter list reordered
// or grown cannot hand it another parameter's value: a name the entry lacks fails at the first
// call. Reading by position (a[0] for self) stays for the few that take their arguments as such.
class Args {
public:
    Args(const nb::object *items, size_t size, const std::vector<Param> *params = nullptr,
         const char *entry = "")
        : items_(items), size_(size), params_(params), entry_(entry) {}
    nb::handle operator[](size_t i) const { return items_[i]; }
    nb::handle operator[](std::string_view name) const {
        if (params_)
            for (size_t i = 0; i < size_; ++i)
                if (name == (*params_)[i].name) return items_[i];
        throw std::logic_error(std::string(entry_) + "() has no parameter named '" + std::string(name) + "'");
    }
    size_t size() const { return size_; }

private:
    const nb::object *items_;
    size_t size_;
    const std::vector<Param> *params_;
    const char *entry_;
};

using Impl = nb::object (*)(const Args &);

namespace detail {

struct ExactCheck {
    std::vector<PyTypeObject *> types;  // empty: no check
    bool none_ok = false;
};

inline PyTypeObject *builtin_type(std::string_view name) {
    if (name == "int") return &PyLong_Type;
    if (name == "str") return &PyUnicode_Type;
    if (name == "bytes") return &PyBytes_Type;
    if (name == "tuple" || name.starts_with("tuple[")) return &PyTuple_Type;
    if (name == "list" || name.starts_with("list[")) return &PyList_Type;
    if (name == "dict" || name.starts_with("dict[")) return &PyDict_Type;
    return nullptr;
}

inline std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// "Optional[str]", "str | None", "int": checked exactly. Anything naming another type
// ("str | torch.device | None") is left to the code that uses it.
inline ExactCheck exact_check_for(const char *annotation) {
    ExactCheck check;
    if (!annotation) return check;
    std::string_view text = trim(annotation);
    if (text.starts_with("Optional[") && text.ends_with("]")) {
        text = trim(text.substr(9, text.size() - 10));
        check.none_ok = true;
    }
    std::vector<std::string_view> alternatives;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        char c = i < text.size() ? text[i] : '|';
        if (c == '[') ++depth;
        if (c == ']') --depth;
        if (c == '|' && depth == 0) {
            alternatives.push_back(trim(text.substr(start, i - start)));
            start = i + 1;
        }
    }
    for (std::string_view alternative : alternatives) {
        if (alternative == "None") {
            check.none_ok = true;
        } else if (PyTypeObject *type = builtin_type(alternative)) {
            check.types.push_back(type);
        } else {
            return {};
        }
    }
    return check;
}

struct Signature {
    std::string name, qualname, module, doc;
    std::vector<Param> params;
    std::vector<ExactCheck> checks;
    const char *returns = nullptr;
    size_t self_offset = 0;  // 1 for methods: self is not counted in the host's messages
    size_t required = 0;     // required parameters after self
    size_t named = 0;        // ordinary parameters; "*args" and "**kwargs" may follow them
    bool var_positional = false, var_keyword = false;
    Impl impl = nullptr;
};

[[noreturn]] inline void raise_count(const Signature &sig, size_t given, bool too_many) {
    size_t total = sig.named - sig.self_offset;
    size_t expected = too_many ? total : sig.required;
    const char *how =
        sig.required == total && !sig.var_positional ? "exactly" : (too_many ? "at most" : "at least");
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name.c_str(), how, (Py_ssize_t)expected, expected == 1 ? "" : "s", (Py_ssize_t)given);
    throw nb::python_error();
}

inline void check_exact(const Param &param, const ExactCheck &check, nb::handle value) {
    if (check.types.empty()) return;
    if (value.is_none() && check.none_ok) return;
    PyTypeObject *type = Py_TYPE(value.ptr());
    bool subclass = false;
    for (PyTypeObject *wanted : check.types) {
        if (type == wanted) return;
        if (PyType_IsSubtype(type, wanted)) subclass = true;
    }
    nb::str tail(subclass ? "Subclasses of built-in types are not accepted." : "");
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%U",
                 param.name, check.types.front()->tp_name, type->tp_name, subclass ? ". " : "", tail.ptr());
    throw nb::python_error();
}

inline void parse(const Signature &sig, PyObject *args, PyObject *kwargs, nb::object *slots) {
    size_t named = sig.named;
    size_t nargs = (size_t)PyTuple_GET_SIZE(args);
    if (nargs > named && !sig.var_positional) raise_count(sig, nargs - sig.self_offset, true);
    for (size_t i = 0; i < std::min(nargs, named); ++i) slots[i] = nb::borrow(PyTuple_GET_ITEM(args, i));
    size_t next = named;
    if (sig.var_positional)
        slots[next++] =
            nb::steal(PyTuple_GetSlice(args, (Py_ssize_t)std::min(nargs, named), (Py_ssize_t)nargs));
    nb::dict extra;
    if (sig.var_keyword) slots[next] = extra;

    if (kwargs) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) raise(PyExc_TypeError, "keywords must be strings");
            size_t i = sig.self_offset;
            for (; i < named; ++i)
                if (PyUnicode_CompareWithASCIIString(key, sig.params[i].name) == 0) break;
            if (i == named) {
                if (sig.var_keyword) {
                    extra[key] = nb::borrow(value);
                    continue;
                }
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                             sig.name.c_str(), key);
                throw nb::python_error();
            }
            if (slots[i].is_valid()) {
                PyErr_Format(PyExc_TypeError, "%.200s() got multiple values for argument '%U'",
                             sig.name.c_str(), key);
                throw nb::python_error();
            }
            slots[i] = nb::borrow(value);
        }
    }
    for (size_t i = 0; i < named; ++i) {
        if (!slots[i].is_valid()) {
            if (!sig.params[i].default_value.is_valid())
                raise_count(sig, nargs > sig.self_offset ? std::min(nargs, named) - sig.self_offset : 0,
                            false);
            slots[i] = sig.params[i].default_value;
        }
        check_exact(sig.params[i], sig.checks[i], slots[i]);
    }
}

struct FunctionObject {
    PyObject_HEAD Signature *sig;
};

inline PyObject *function_call(PyObject *self, PyObject *args, PyObject *kwargs) {
    const Signature &sig = *((FunctionObject *)self)->sig;
    std::array<nb::object, kMaxParams> slots;
    try {
        parse(sig, args, kwargs, slots.data());
        return sig.impl(Args(slots.data(), sig.params.size(), &sig.params, sig.qualname.c_str()))
            .release()
            .ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::cast_error &e) {
        PyErr_Format(PyExc_TypeError, "%s(): a value could not be converted (%s)", sig.name.c_str(),
                     e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Functions stored in a class bind like Python functions: instance.method is a bound method.
inline PyObject *function_get(PyObject *self, PyObject *obj, PyObject *) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline PyObject *function_repr(PyObject *self) {
    const Signature &sig = *((FunctionObject *)self)->sig;
    return PyUnicode_FromFormat("<function %s.%s>", sig.module.c_str(), sig.qualname.c_str());
}

// Pickled and copied by reference, as Python functions are: the qualified name is looked up in
// the module again, which gives this same object.
inline PyObject *function_reduce(PyObject *self, PyObject *) {
    return PyUnicode_FromString(((FunctionObject *)self)->sig->qualname.c_str());
}

inline nb::object signature_of(const Signature &sig) {
    nb::handle inspect = quorvex::stdlib::inspect.get();
    nb::handle parameter = inspect.attr("Parameter");
    nb::object empty = parameter.attr("empty");
    nb::list params;
    for (const Param &p : sig.params) {
        nb::object annotation = p.annotation ? nb::object(nb::str(p.annotation)) : empty;
        nb::object default_value = p.default_value.is_valid() ? p.default_value : empty;
        std::string_view name = p.name;
        const char *kind = "POSITIONAL_OR_KEYWORD";
        if (name.starts_with("**"))
            kind = "VAR_KEYWORD", name.remove_prefix(2);
        else if (name.starts_with("*"))
            kind = "VAR_POSITIONAL", name.remove_prefix(1);
        params.append(parameter(nb::str(name.data(), name.size()), parameter.attr(kind),
                                nb::arg("default") = default_value, nb::arg("annotation") = annotation));
    }
    nb::object returns = sig.returns ? nb::object(nb::str(sig.returns)) : empty;
    return inspect.attr("Signature")(params, nb::arg("return_annotation") = returns);
}

template <typename F>
PyObject *guarded(F &&f) {
    try {
        return f().release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

#define QUORVEX_GETTER(field_expr)                                 \
    [](PyObject *self, void *) -> PyObject * {                     \
        return guarded([&] {                                       \
            const Signature &sig = *((FunctionObject *)self)->sig; \
            return nb::object(field_expr);                         \
        });                                                        \
    }

// A type made once for the whole package: the first module to load makes it (make() gives its
// spec) and leaves it on the quorvex package as `attribute`, where the others find it, so that
// type() and isinstance() agree across modules. (Every module's copy of the slots is the same
// code over the same object layout.)
template <typename Make>
PyTypeObject *package_type(const char *attribute, Make &&make) {
    nb::module_ package = nb::module_::import_("quorvex");
    if (PyObject *shared = PyObject_GetAttrString(package.ptr(), attribute)) return (PyTypeObject *)shared;
    PyErr_Clear();
    PyObject *t = PyType_FromSpec(make());
    if (!t || PyObject_SetAttrString(package.ptr(), attribute, t) != 0) throw nb::python_error();
    return (PyTypeObject *)t;
}

inline PyTypeObject *function_type() {
    static PyTypeObject *type = package_type("_function_type", [] {
        static PyGetSetDef getset[] = {
            {"__name__", QUORVEX_GETTER(nb::str(sig.name.c_str())), nullptr, nullptr, nullptr},
            {"__qualname__", QUORVEX_GETTER(nb::str(sig.qualname.c_str())), nullptr, nullptr, nullptr},
            {"__module__", QUORVEX_GETTER(nb::str(sig.module.c_str())), nullptr, nullptr, nullptr},
            {"__doc__", QUORVEX_GETTER(sig.doc.empty() ? nb::none() : nb::object(nb::str(sig.doc.c_str()))),
             nullptr, nullptr, nullptr},
            {"__signature__", QUORVEX_GETTER(signature_of(sig)), nullptr, nullptr, nullptr},
            {"__annotations__", QUORVEX_GETTER([&] {
                 nb::dict annotations;
                 for (const Param &p : sig.params)
                     if (p.annotation) annotations[p.name] = nb::str(p.annotation);
                 if (sig.returns) annotations["return"] = nb::str(sig.returns);
                 return annotations;
             }()),
             nullptr, nullptr, nullptr},
            {nullptr, nullptr, nullptr, nullptr, nullptr},
        };
        static PyMethodDef methods[] = {
            {"__reduce__", function_reduce, METH_NOARGS, nullptr},
            {nullptr, nullptr, 0, nullptr},
        };
        static PyType_Slot slots[] = {
            {Py_tp_call, (void *)function_call},     {Py_tp_methods, (void *)methods},
            {Py_tp_descr_get, (void *)function_get}, {Py_tp_repr, (void *)function_repr},
            {Py_tp_getset, (void *)getset},          {0, nullptr},
        };
        static PyType_Spec spec = {"quorvex.function", sizeof(FunctionObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_METHOD_DESCRIPTOR, slots};
        return &spec;
    });
    return type;
}

#undef QUORVEX_GETTER

inline nb::object make_function(std::string name, std::string qualname, std::string module,
                                std::vector<Param> params, const char *returns, const char *doc, Impl impl) {
    // Signatures live as long as the process, like the module that defines them.
    auto *sig = new Signature{std::move(name), std::move(qualname), std::move(module), doc ? doc : ""};
    sig->params = std::move(params);
    if (sig->params.size() > kMaxParams) throw std::length_error("too many parameters");
    for (const Param &p : sig->params) sig->checks.push_back(exact_check_for(p.annotation));
    sig->returns = returns;
    sig->impl = impl;
    sig->self_offset = !sig->params.empty() && std::strcmp(sig->params[0].name, "self") == 0;
    for (const Param &p : sig->params) {
        if (std::strncmp(p.name, "**", 2) == 0)
            sig->var_keyword = true;
        else if (p.name[0] == '*')
            sig->var_positional = true;
        else
            ++sig->named;
    }
    for (size_t i = sig->self_offset; i < sig->named; ++i)
        sig->required += !sig->params[i].default_value.is_valid();

    FunctionObject *f = PyObject_New(FunctionObject, function_type());
    if (!f) throw nb::python_error();
    f->sig = sig;
    return nb::steal((PyObject *)f);
}

}  // namespace detail

// Defines module.name.
inline void def(nb::module_ &m, const char *name, Impl impl, std::vector<Param> params, const char *returns,
                const char *doc) {
    m.attr(name) = detail::make_function(name, name, nb::cast<std::string>(m.attr("__name__")),
                                         std::move(params), returns, doc, impl);
}

// A plain Python class whose methods are functions of this file; its instances keep their
// state as ordinary attributes, or in a C++ object (base(qv::stateful_base()), state.hpp).
class Class {
public:
    Class(nb::module_ &m, const char *name, const char *doc) : module_(m), name_(name) {
        dict_["__module__"] = m.attr("__name__");
        dict_["__qualname__"] = name;
        if (doc) dict_["__doc__"] = doc;
    }

    Class &def(const char *name, Impl impl, std::vector<Param> params, const char *returns, const char *doc) {
        dict_[name] =
            detail::make_function(name, name_ + "." + name, nb::cast<std::string>(module_.attr("__name__")),
                                  std::move(params), returns, doc, impl);
        return *this;
    }

    Class &base(nb::handle type) {
        base_ = nb::borrow(type);
        return *this;
    }

    // An attribute of the given type computed by getter(self); read-only, or set by
    // setter(self, value).
    Class &property(const char *name, const char *type, Impl getter, Impl setter = nullptr) {
        std::string module = nb::cast<std::string>(module_.attr("__name__"));
        nb::object fget =
            detail::make_function(name, name_ + "." + name, module, {{"self"}}, type, nullptr, getter);
        nb::object fset = setter ? detail::make_function(name, name_ + "." + name, module,
                                                         {{"self"}, {"value", type}}, "None", nullptr, setter)
                                 : nb::none();
        dict_[name] = nb::borrow((PyObject *)&PyProperty_Type)(fget, fset);
        return field(name, type);
    }

    Class &attr(const char *name, nb::handle value) {
        dict_[name] = value;
        return *this;
    }

    // Declares an instance attribute's type, as an annotation in a class body does: it lands in
    // __annotations__ (which stubs and type checkers read), not in the class's attributes.
    Class &field(const char *name, const char *type) {
        if (!dict_.contains("__annotations__")) dict_["__annotations__"] = nb::dict();
        dict_["__annotations__"][name] = type;
        return *this;
    }

    // The fields several classes share, from one table of (name, type).
    template <size_t N>
    Class &fields(const std::pair<const char *, const char *> (&table)[N]) {
        for (const auto &[name, type] : table) field(name, type);
        return *this;
    }

    nb::object finish() {
        nb::tuple bases = base_.is_valid() ? nb::make_tuple(base_) : nb::make_tuple();
        nb::object cls = nb::borrow(&PyType_Type)(nb::str(name_.c_str()), bases, dict_);
        module_.attr(name_.c_str()) = cls;
        return cls;
    }

private:
    nb::module_ &module_;
    std::string name_;
    nb::dict dict_;
    nb::object base_;
};

}  // namespace quorvex
