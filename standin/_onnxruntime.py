"""ONNX Runtime's CUDA and TensorRT execution providers, on the CPU.

``gpu_providers(monkeypatch)`` makes ``onnxruntime`` report both providers and gives
``InferenceSession`` objects that run the model with the real CPU provider but behave as a GPU
provider does towards the caller: a run bound with ``io_binding()`` reads and writes the bound
device addresses on the provider's compute stream (``user_compute_stream``, else a stream of its
own), and ``run_with_iobinding`` waits for that stream unless the run options say
``disable_synchronize_execution_providers``. Bindings are checked as the runtime checks them:
the name, the device, the element type and the shape must be the model's.
"""

import numpy as np

from ._tensorrt import _memory

GPU_PROVIDERS = ("CUDAExecutionProvider", "TensorrtExecutionProvider")
_TYPES = {"tensor(float)": np.float32, "tensor(float16)": np.float16, "tensor(int64)": np.int64}


def gpu_providers(monkeypatch):
    import onnxruntime

    real = onnxruntime.InferenceSession
    monkeypatch.setattr(onnxruntime, "get_available_providers", lambda: [*GPU_PROVIDERS, "CPUExecutionProvider"])

    class GpuSession(real):
        def __init__(self, path_or_bytes, sess_options=None, providers=None, provider_options=None, **kwargs):
            providers = list(providers or ["CPUExecutionProvider"])
            first = providers[0]
            name, options = first if isinstance(first, tuple) else (first, (provider_options or [{}])[0])
            super().__init__(path_or_bytes, sess_options, providers=["CPUExecutionProvider"], **kwargs)
            self._provider = name if name in GPU_PROVIDERS else None
            self._options = {str(k): str(v) for k, v in dict(options or {}).items()}
            self._stream = None
            if self._provider:
                import cupy as cp

                # TensorRT's provider takes the stream only with has_user_compute_stream set.
                flagged = name == "CUDAExecutionProvider" or self._options.get("has_user_compute_stream") == "1"
                given = int(self._options.get("user_compute_stream", "0")) if flagged else 0
                self._stream = cp.cuda.ExternalStream(given) if given else cp.cuda.Stream(non_blocking=True)

        def get_providers(self):
            return [self._provider, "CPUExecutionProvider"] if self._provider else ["CPUExecutionProvider"]

        def get_provider_options(self):
            options = {"CPUExecutionProvider": {}}
            if self._provider:
                options[self._provider] = {"device_id": "0", **self._options}
            return options

        def io_binding(self):
            return _Binding(self)

        def run_with_iobinding(self, binding, run_options=None):
            if not self._provider:
                raise RuntimeError("the CPU provider reads no device addresses")
            import cupy as cp

            inputs, outputs = dict(binding.inputs), dict(binding.outputs)
            missing = {i.name for i in self.get_inputs()} - set(inputs)
            if missing or not outputs:
                raise RuntimeError(f"unbound inputs {sorted(missing)} or no output bound")

            def work():
                feed = {name: np.array(_memory(*bound), copy=True) for name, bound in inputs.items()}
                results = self.run(list(outputs), feed)
                for (name, (ptr, shape, dtype)), result in zip(outputs.items(), results):
                    if result.shape != tuple(shape) or result.dtype != dtype:
                        raise RuntimeError(f"output {name} is {result.dtype} {result.shape}, bound as "
                                           f"{np.dtype(dtype)} {tuple(shape)}")
                    _memory(ptr, shape, dtype)[...] = result

            cp.cuda.stream.standin_enqueue(work, self._stream)
            asynchronous = run_options is not None and run_options.get_run_config_entry(
                "disable_synchronize_execution_providers") == "1"
            if not asynchronous:
                self._stream.synchronize()

    monkeypatch.setattr(onnxruntime, "InferenceSession", GpuSession)
    return GpuSession


class _Binding:
    def __init__(self, session):
        self.session, self.inputs, self.outputs = session, {}, {}

    def _check(self, declared, name, device_type, device_id, element_type, shape):
        found = {d.name: d for d in declared}
        if name not in found:
            raise RuntimeError(f"the model has no {name!r}")
        if device_type != "cuda" or int(device_id) != int(self.session.get_provider_options()[
                self.session._provider]["device_id"]):
            raise RuntimeError(f"{name}: bound on {device_type}:{device_id}, not the provider's device")
        want = _TYPES.get(found[name].type)
        if np.dtype(element_type) != want:
            raise RuntimeError(f"{name}: bound as {np.dtype(element_type)}, the model takes {found[name].type}")
        dims = found[name].shape
        if len(dims) != len(shape) or any(isinstance(d, int) and d != n for d, n in zip(dims, shape)):
            raise RuntimeError(f"{name}: bound with shape {tuple(shape)}, the model declares {dims}")
        return np.dtype(element_type)

    def bind_input(self, name, device_type, device_id, element_type, shape, buffer_ptr):
        dtype = self._check(self.session.get_inputs(), name, device_type, device_id, element_type, shape)
        self.inputs[name] = (int(buffer_ptr), tuple(shape), dtype)

    def bind_output(self, name, device_type="cpu", device_id=0, element_type=None, shape=None, buffer_ptr=None):
        if buffer_ptr is None:
            raise RuntimeError("the stand-in binds outputs to the caller's buffers only")
        dtype = self._check(self.session.get_outputs(), name, device_type, device_id, element_type, shape)
        self.outputs[name] = (int(buffer_ptr), tuple(shape), dtype)
