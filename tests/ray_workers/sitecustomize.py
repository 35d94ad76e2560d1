"""Puts the CPU stand-ins into the Ray worker processes the tests start: this folder is first on
their PYTHONPATH. The stand-ins go in when quorvex is first imported, so that Ray's own helper
processes, which never import it, start as usual."""

import sys


class _InstallBeforeQuorvex:
    def find_spec(self, name, path=None, target=None):
        if name == "quorvex":
            sys.meta_path.remove(self)
            import standin

            standin.install()
        return None  # the usual finders load the module


sys.meta_path.insert(0, _InstallBeforeQuorvex())
