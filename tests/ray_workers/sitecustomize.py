"""Puts the CPU stand-ins into the Ray worker processes the tests start: this folder is first on
their PYTHONPATH. The stand-in cupy and TensorRT go in when quorvex is first imported, and
torch is mapped onto the CPU when (if ever) it is imported, so that Ray's own helper processes
and workers that never need torch start as fast as usual."""

import importlib.util
import sys


class _StandIns:
    def find_spec(self, name, path=None, target=None):
        if name == "quorvex" and not self.cupy_done:
            self.cupy_done = True
            import standin

            if not standin.installed():
                standin._load_cupy()
            standin.install_tensorrt()
        elif name == "torch":
            sys.meta_path.remove(self)
            spec = importlib.util.find_spec("torch")
            load = spec.loader.exec_module

            def exec_module(module):
                load(module)
                from standin import _torch

                _torch.apply(module)

            spec.loader.exec_module = exec_module
            return spec
        return None  # the usual finders load the module

    cupy_done = False


sys.meta_path.insert(0, _StandIns())
