// C++ state for the instances of a qv::Class.
//
// A class declared with .base(stateful_base()) derives from one base type whose instances carry a
// pointer to a C++ object beside their __dict__. Its methods reach that object with
// qv::state<T>(self): a pointer cast, its type checked, in place of string-keyed attribute
// lookups and conversions on every call. The object is made by the class's __init__ and destroyed
// with the instance; public attributes become read-only properties reading it.
#pragma once

#include <nanobind/nanobind.h>

#include "quorvex/function.hpp"
#include "quorvex/python.hpp"

namespace quorvex {

namespace detail {

struct StatefulObject {
    PyObject_HEAD void *state;
    const void *tag;  // which C++ type state points to
    void (*destroy)(void *);
};

inline void release_state(StatefulObject *o) {
    if (!o->destroy) return;
    void (*destroy)(void *) = o->destroy;
    void *state = o->state;
    o->destroy = nullptr, o->state = nullptr, o->tag = nullptr;
    destroy(state);
}

inline void stateful_dealloc(PyObject *self) {
    PyObject *type, *value, *trace;
    PyErr_Fetch(&type, &value, &trace);  // the state's destructors may run Python code
    release_state((StatefulObject *)self);
    PyErr_Restore(type, value, trace);
    PyTypeObject *tp = Py_TYPE(self);
    tp->tp_free(self);
    Py_DECREF(tp);  // a heap type's instances own a reference to it
}

// Open files and connections do not pickle or copy: a copy would have no state to work with.
inline PyObject *stateful_reduce(PyObject *self, PyObject *) {
    PyErr_Format(PyExc_TypeError, "cannot pickle or copy '%s' object", Py_TYPE(self)->tp_name);
    return nullptr;
}

// One base type for the whole package, as the function type is.
inline PyTypeObject *stateful_type() {
    static PyTypeObject *type = package_type("_stateful_type", [] {
        static PyMethodDef methods[] = {{"__reduce_ex__", stateful_reduce, METH_O, nullptr},
                                        {nullptr, nullptr, 0, nullptr}};
        static PyType_Slot slots[] = {{Py_tp_dealloc, (void *)stateful_dealloc},
                                      {Py_tp_new, (void *)PyType_GenericNew},
                                      {Py_tp_methods, (void *)methods},
                                      {0, nullptr}};
        static PyType_Spec spec = {"quorvex._Stateful", sizeof(StatefulObject), 0,
                                   Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        return &spec;
    });
    return type;
}

template <typename T>
inline const char state_tag = 0;

inline StatefulObject *stateful(nb::handle self) {
    if (!PyObject_TypeCheck(self.ptr(), stateful_type()))
        raise(PyExc_TypeError, "%s is not an instance of a class with C++ state", quorvex::type_name(self));
    return (StatefulObject *)self.ptr();
}

template <typename>
struct member_of;
template <typename T, typename U>
struct member_of<U T::*> {
    using owner = T;
};

}  // namespace detail

// The base of the classes whose instances hold C++ state: Class(...).base(stateful_base()).
inline nb::handle stateful_base() { return (PyObject *)detail::stateful_type(); }

// The instance's state as made by make_state<T>; a ValueError where __init__ did not make one
// (it failed, or was not called).
template <typename T>
T &state(nb::handle self) {
    detail::StatefulObject *o = detail::stateful(self);
    if (o->tag != &detail::state_tag<T>)
        raise(PyExc_ValueError, "this %s was not initialised (its __init__ failed or was not called)",
              quorvex::type_name(self));
    return *static_cast<T *>(o->state);
}

// Raises where the instance has its state already. An __init__ checks this before it opens
// anything: another thread may be inside a method that holds a reference to the state (one that
// let go of the GIL while it waits), so a state is never replaced.
inline void require_fresh(nb::handle self) {
    if (detail::stateful(self)->state)
        raise(PyExc_RuntimeError, "%s.__init__() was called again on an initialised instance; make a new one",
              quorvex::type_name(self));
}

// Makes the instance's state, once (require_fresh).
template <typename T, typename... A>
T &make_state(nb::handle self, A &&...args) {
    require_fresh(self);
    detail::StatefulObject *o = detail::stateful(self);
    T *made = new T(std::forward<A>(args)...);
    o->state = made;
    o->tag = &detail::state_tag<T>;
    o->destroy = [](void *p) { delete static_cast<T *>(p); };
    return *made;
}

// A getter for Class::property: one member of the state, converted as nb::cast does.
template <auto Member>
nb::object state_member(const Args &a) {
    using T = typename detail::member_of<decltype(Member)>::owner;
    return nb::cast(state<T>(a[0]).*Member);
}

}  // namespace quorvex
