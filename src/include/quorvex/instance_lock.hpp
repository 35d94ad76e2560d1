// One call at a time per instance of a model-owning object, for objects shared by threads.
#pragma once

#include <nanobind/nanobind.h>

#include "quorvex/python.hpp"

namespace quorvex {

// Holds the instance's `_lock` (a Python RLock, whose acquire lets go of the GIL while it
// waits) for the scope. With `engine`, the instance's `stream` is made to wait on the way out
// for the work queued on the caller's stream, so that the next caller's run cannot overwrite
// outputs still being read there. Python errors in flight survive the release.
class InstanceLock {
public:
    explicit InstanceLock(nanobind::handle self, bool engine) : self_(self), engine_(engine) {
        self_.attr("_lock").attr("acquire")();
    }
    ~InstanceLock() {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        try {
            if (engine_) {
                nanobind::object current = cp().module.attr("cuda").attr("get_current_stream")();
                self_.attr("stream").attr("wait_event")(current.attr("record")());
            }
        } catch (...) {
        }
        try {
            self_.attr("_lock").attr("release")();
        } catch (...) {
        }
        PyErr_Restore(type, value, traceback);
    }
    InstanceLock(const InstanceLock &) = delete;
    InstanceLock &operator=(const InstanceLock &) = delete;

private:
    nanobind::handle self_;
    bool engine_;
};

}  // namespace quorvex
