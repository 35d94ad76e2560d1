"""Stand-in for ``cupy.cuda.driver``: the errors a kernel launch can raise."""

_ERRORS = {
    1: ('CUDA_ERROR_INVALID_VALUE', 'invalid argument'),
    2: ('CUDA_ERROR_OUT_OF_MEMORY', 'out of memory'),
    101: ('CUDA_ERROR_INVALID_DEVICE', 'invalid device ordinal'),
    700: ('CUDA_ERROR_ILLEGAL_ADDRESS', 'an illegal memory access was encountered'),
    701: ('CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES', 'too many resources requested for launch'),
    716: ('CUDA_ERROR_MISALIGNED_ADDRESS', 'misaligned address'),
}

CUDA_ERROR_INVALID_VALUE = 1
CUDA_ERROR_OUT_OF_MEMORY = 2
CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES = 701
CUDA_ERROR_MISALIGNED_ADDRESS = 716


class CUDADriverError(RuntimeError):
    def __init__(self, status, msg=None):
        self.status = status
        name, text = _ERRORS.get(status, ('CUDA_ERROR_%d' % status, 'unknown error'))
        super().__init__('%s: %s' % (name, msg or text))

    def __reduce__(self):
        return (type(self), (self.status,))


def get_build_version():
    return 12040
