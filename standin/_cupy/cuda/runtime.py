"""Stand-in for ``cupy.cuda.runtime``."""

import os

is_hip = False

_ERRORS = {
    1: ('cudaErrorInvalidValue', 'invalid argument'),
    2: ('cudaErrorMemoryAllocation', 'out of memory'),
    101: ('cudaErrorInvalidDevice', 'invalid device ordinal'),
    400: ('cudaErrorInvalidResourceHandle', 'invalid resource handle'),
    600: ('cudaErrorNotReady', 'device not ready'),
}

cudaErrorInvalidValue = 1
cudaErrorMemoryAllocation = 2
cudaErrorInvalidDevice = 101
cudaErrorInvalidResourceHandle = 400


class CUDARuntimeError(RuntimeError):
    def __init__(self, status, msg=None):
        self.status = status
        name, text = _ERRORS.get(status, ('cudaError%d' % status, 'unknown error'))
        super().__init__('%s: %s' % (name, msg or text))

    def __reduce__(self):
        return (type(self), (self.status,))


def check_device(device):
    # The stand-in has exactly one device; any other ordinal fails like a
    # cudaSetDevice on a missing GPU.
    if int(device) != 0:
        raise CUDARuntimeError(cudaErrorInvalidDevice)


def _total_memory():
    try:
        return os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_PHYS_PAGES')
    except (ValueError, OSError, AttributeError):
        return 16 << 30


def getDeviceCount():
    return 1


def getDevice():
    return 0


def setDevice(device):
    check_device(device)


def deviceSynchronize():
    from .stream import synchronize_device
    from .. import _counting
    _counting.sync()
    synchronize_device()


def runtimeGetVersion():
    return 12040


def driverGetVersion():
    return 12040


def memGetInfo():
    total = _total_memory()
    try:
        free = os.sysconf('SC_PAGE_SIZE') * os.sysconf('SC_AVPHYS_PAGES')
    except (ValueError, OSError, AttributeError):
        free = total
    return free, total


def getDeviceProperties(device):
    check_device(device)
    return {
        'name': b'CPU stand-in',
        'totalGlobalMem': _total_memory(),
        'sharedMemPerBlock': 49152,
        'sharedMemPerBlockOptin': 232448,
        'regsPerBlock': 65536,
        'warpSize': 32,
        'maxThreadsPerBlock': 1024,
        'maxThreadsDim': (1024, 1024, 64),
        'maxGridSize': (2147483647, 65535, 65535),
        'multiProcessorCount': os.cpu_count() or 1,
        'major': 8,
        'minor': 0,
        'clockRate': 0,
        'pciBusID': 0,
        'pciDeviceID': 0,
        'integrated': 0,
    }


def deviceGetAttribute(attrib, device):
    check_device(device)
    return 0
