"""Stand-in for ``cupy.cuda.compiler``."""


class CompileException(Exception):
    """Kernel text failed to compile; the message carries the compiler output."""

    def __init__(self, msg, source, name, options, backend='g++'):
        self._msg = msg
        self.source = source
        self.name = name
        self.options = options
        self.backend = backend
        super().__init__(msg)

    def get_message(self):
        return self._msg

    def dump(self, f):
        f.write('==========\n%s\n==========\n' % self.name)
        for i, line in enumerate(self.source.splitlines(), 1):
            f.write('%4d %s\n' % (i, line))
        f.write('==========\n')

    def __reduce__(self):
        return (type(self), (self._msg, self.source, self.name, self.options, self.backend))
