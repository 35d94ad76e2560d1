// Sharing memory between PyTorch and CuPy with the streams ordered. Each library queues its work
// on its own current stream, so a tensor and a device array over the same memory are only safe to
// read once the reader's stream is ordered after the writer's. DLPack carries that handshake (the
// consumer passes its stream to the producer's __dlpack__, which makes it wait); the CUDA array
// interface as torch exports it carries no stream and is not used for device memory.
#pragma once

#include <nanobind/nanobind.h>

#include "quorvex/python.hpp"

namespace quorvex {

namespace nb = nanobind;

inline constexpr int kDLCUDA = 2, kDLCUDAManaged = 13;

// Device array of a tensor. A CUDA tensor is shared through DLPack, with CuPy's current stream
// made to wait for torch's; any other tensor is copied to the current device by cp.asarray.
inline nb::object tensor_to_device(nb::handle tensor) {
    int type = nb::cast<int>(tensor.attr("__dlpack_device__")()[nb::int_(0)]);
    if (type == kDLCUDA || type == kDLCUDAManaged) return cp().module.attr("from_dlpack")(tensor);
    return cp().asarray(tensor);
}

// Tensor sharing a device array's memory through DLPack, with torch's current stream made to
// wait for the work queued on CuPy's current stream.
inline nb::object device_to_tensor(nb::handle array) {
    return torch_module().get().attr("from_dlpack")(array);
}

}  // namespace quorvex
