"""Stand-in for ``cupy.cuda.device``."""

import operator

from . import runtime


def get_device_id():
    return 0


class Device:
    """A CUDA device handle; only ordinal 0 exists, others fail when used."""

    def __init__(self, device=None):
        self.id = 0 if device is None else operator.index(device)

    def use(self):
        runtime.check_device(self.id)

    def synchronize(self):
        runtime.check_device(self.id)
        runtime.deviceSynchronize()

    def __enter__(self):
        runtime.check_device(self.id)
        return self

    def __exit__(self, *exc):
        return False

    @property
    def compute_capability(self):
        runtime.check_device(self.id)
        return '80'

    @property
    def mem_info(self):
        runtime.check_device(self.id)
        return runtime.memGetInfo()

    @property
    def attributes(self):
        runtime.check_device(self.id)
        props = runtime.getDeviceProperties(self.id)
        return {'MaxThreadsPerBlock': props['maxThreadsPerBlock'],
                'MaxSharedMemoryPerBlock': props['sharedMemPerBlock'],
                'MultiProcessorCount': props['multiProcessorCount'],
                'WarpSize': props['warpSize']}

    def __int__(self):
        return self.id

    def __index__(self):
        return self.id

    def __eq__(self, other):
        return isinstance(other, Device) and other.id == self.id

    def __hash__(self):
        return hash(('Device', self.id))

    def __repr__(self):
        return '<CUDA Device %d>' % self.id
