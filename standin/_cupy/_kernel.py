"""``cupy.RawKernel`` on the CPU.

The kernel text is the package's own; it is compiled by the host C++ compiler
behind ``_shim.h`` (the CUDA dialect rendered for the host) together with a
generated launcher, and run over the whole grid on a launch.  Arguments are
checked against the compiled parameter types more strictly than a GPU would
(where a mismatch silently reads garbage), every array argument runs inside
a guarded copy so that out-of-bounds writes are reported, and an integer
division by zero fails the launch with ZeroDivisionError (the host would trap
and end the process; a GPU gives an unspecified value), as an access at an
address not aligned for its type fails it with CUDA_ERROR_MISALIGNED_ADDRESS (a
GPU refuses it; the host would let it pass).
"""

import ctypes
import hashlib
import numbers
import os
import platform
import re
import shutil
import subprocess
import tempfile
import threading

import numpy as np

from . import _core
from . import _counting
from .cuda import compiler as _compiler
from .cuda import driver as _driver
from .cuda import stream as _stream

_HERE = os.path.dirname(os.path.abspath(__file__))
_SHIM = os.path.join(_HERE, '_shim.h')
_INCLUDE = os.path.join(_HERE, 'include')



def _contraction_flags():
    # nvcc contracts a * b + c into fused multiply-adds by default, and the tests' tolerances
    # must hold for that arithmetic: contract here too, with the CPU's FMA where it has one.
    flags = ['-ffp-contract=fast']
    if platform.machine() in ('x86_64', 'AMD64'):
        try:
            with open('/proc/cpuinfo') as f:
                if 'fma' in f.read().split():
                    flags.append('-mfma')
        except OSError:
            pass
    return flags


_BASE_FLAGS = ('-O2', '-std=c++17', '-shared', '-fPIC', '-fvisibility=hidden',
               '-fno-strict-aliasing', *_contraction_flags())
_OPENMP_FLAG = '-fopenmp'
# Integer division by zero and misaligned accesses go to the shim's handlers (see _shim.h).
# Only compiling takes it: the handler is the shim's own, so no sanitizer runtime is linked.
_SANITIZE_FLAG = '-fsanitize=integer-divide-by-zero,alignment'

# Opt-in maximum of an sm_80 device; `extern __shared__` arrays get this much.
_DYNAMIC_SHARED_CAPACITY = 232448
_DEFAULT_DYNAMIC_SHARED_LIMIT = 49152

# Guard zones: at least 64 KiB, and as large as the buffer itself so that a
# kernel running a whole row or image past the end still lands in the guard.
_MIN_GUARD = 64 << 10
_MAX_GUARD = 256 << 20


def _canary(n, floating):
    """Guard word of the n-th guarded buffer of a launch.

    Buffers get different words, so that a kernel reading past one buffer and
    writing what it got past another still changes the second one's guard.
    For buffers of floats the word is a NaN as float32 and, repeated, as
    float64 (0x7FF/0xFFF prefix, distinct payloads), so out-of-bounds reads
    surface as NaN; other buffers get a word whose every byte is distinct
    between buffers, which single-byte writes need.
    """
    if floating:
        return (0xFFF00000 if n % 2 == 0 else 0x7FF00000) | ((0x5A5A5 + 0x1F3D7 * n) & 0xFFFFF)
    return int.from_bytes(bytes((0x3B + 37 * k + 0x4D * n) & 0xFF for k in range(4)), 'little')


# g++ runs in this process so far; tests read it to see the disk cache at work.
compile_count = 0

_lock = threading.Lock()
_binaries = {}
_toolchain_cache = None
_openmp_ok = None


# ---------------------------------------------------------------- compiling

def _cache_dir():
    d = os.environ.get('QUORVEX_STANDIN_CACHE') or os.path.join(
        os.path.expanduser('~'), '.cache', 'quorvex-standin')
    os.makedirs(d, exist_ok=True)
    return d


def _toolchain():
    global _toolchain_cache
    if _toolchain_cache is None:
        cxx = os.environ.get('QUORVEX_STANDIN_CXX', 'g++')
        path = shutil.which(cxx)
        if path is None:
            raise RuntimeError('the CUDA stand-in needs a C++ compiler (%s) on PATH' % cxx)
        out = subprocess.run([path, '--version'], capture_output=True, text=True)
        _toolchain_cache = (path, out.stdout.splitlines()[0] if out.stdout else '')
    return _toolchain_cache


def _openmp_available(cxx, workdir):
    global _openmp_ok
    if _openmp_ok is None:
        src = os.path.join(workdir, 'omp_probe.cpp')
        with open(src, 'w') as f:
            f.write('#include <omp.h>\nextern "C" int probe() { return omp_get_max_threads(); }\n')
        r = subprocess.run([cxx, *_BASE_FLAGS, _OPENMP_FLAG, src, '-o', src + '.so'],
                           capture_output=True, text=True)
        _openmp_ok = r.returncode == 0
    return _openmp_ok


def _option_flags(options):
    """NVRTC options that change the meaning of the text: macros and include paths."""
    flags = []
    it = iter(options)
    for opt in it:
        opt = str(opt)
        for long_form, short in (('--define-macro=', '-D'), ('--undefine-macro=', '-U'),
                                 ('--include-path=', '-I')):
            if opt.startswith(long_form):
                opt = short + opt[len(long_form):]
        if opt in ('-D', '-U', '-I'):
            flags.append(opt + str(next(it)))
        elif opt[:2] in ('-D', '-U', '-I'):
            flags.append(opt)
    return flags


_EXTERN_SHARED = re.compile(
    r'\bextern\s+__shared__\s+((?:__align__\s*\([^)]*\)\s*)*)'
    r'([A-Za-z_][\w:<>\s,*]*?)\s*\b([A-Za-z_]\w*)\s*\[\s*\]\s*;')


def _prepare(code):
    """Rewrite `extern __shared__ T name[];` into a pointer to per-thread storage."""
    found = []

    def repl(m):
        found.append(m.group(3))
        t = ' '.join(m.group(2).split())
        return ('static thread_local %s* const %s = reinterpret_cast<%s*>(standin_dynamic_shared);'
                % (t, m.group(3), t)) + '\n' * m.group(0).count('\n')

    return _EXTERN_SHARED.sub(repl, code), bool(found)


def _launcher(name, fibers):
    sig = 'standin::signature<decltype(&%s)>' % name
    export = 'extern "C" __attribute__((visibility("default")))'
    return '\n'.join([
        '%s int standin_nparams(void) { return %s::count; }' % (export, sig),
        '%s void standin_param_kinds(int* out) { standin::kinds_of<decltype(&%s)>::fill(out); }'
        % (export, name),
        '%s int standin_launch(const unsigned* dims, void** args) {' % export,
        '  return standin::launch<&%s>(dims, args, %s, std::make_index_sequence<%s::count>{});'
        % (name, 'true' if fibers else 'false', sig),
        '}',
        '',
    ])


def _include_digest():
    h = hashlib.sha256()
    for fn in sorted(os.listdir(_INCLUDE)):
        h.update(fn.encode())
        with open(os.path.join(_INCLUDE, fn), 'rb') as f:
            h.update(f.read())
    return h.hexdigest()


def _compile(cxx, flags, src, out):
    obj = out + '.o'
    r = subprocess.run([cxx, *flags, _SANITIZE_FLAG, '-c', src, '-o', obj], capture_output=True, text=True)
    if r.returncode == 0:
        r = subprocess.run([cxx, *flags, obj, '-o', out], capture_output=True, text=True)
    return r


class _Binary:
    def __init__(self, path):
        self.path = path
        self.lib = ctypes.CDLL(path)
        self.launch = self.lib.standin_launch
        self.launch.argtypes = [ctypes.POINTER(ctypes.c_uint), ctypes.POINTER(ctypes.c_void_p)]
        self.launch.restype = ctypes.c_int
        self.last_fault = self.lib.standin_last_fault
        self.last_fault.argtypes = [ctypes.POINTER(ctypes.c_uint)]
        self.last_fault.restype = ctypes.c_char_p
        n = self.lib.standin_nparams()
        kinds = (ctypes.c_int * max(n, 1))()
        self.lib.standin_param_kinds(kinds)
        self.kinds = list(kinds[:n])


def _build(code, name, options):
    """Compile (or find in the cache) the shared library for one entry point."""
    global compile_count
    with open(_SHIM) as f:
        shim = f.read()
    text, dynamic_shared = _prepare(code)
    fibers = re.search(r'\b__syncthreads\b', _strip_comments(code)) is not None
    unit = ''.join([
        '#line 1 "standin_shim.h"\n', shim, '\n',
        '#line 1 "%s.cu"\n' % name, text, '\n',
        '#line 1 "standin_launcher.cpp"\n', _launcher(name, fibers),
    ])
    cxx, version = _toolchain()
    flags = list(_BASE_FLAGS) + ['-I' + _INCLUDE] + _option_flags(options)
    if dynamic_shared:
        flags.append('-DSTANDIN_DYNAMIC_SHARED=%d' % _DYNAMIC_SHARED_CAPACITY)
    key = hashlib.sha256('\0'.join(
        [unit, version, _include_digest(), _OPENMP_FLAG, _SANITIZE_FLAG] + flags).encode()).hexdigest()[:32]

    with _lock:
        binary = _binaries.get(key)
        if binary is not None:
            return binary
        cache = _cache_dir()
        so_path = os.path.join(cache, '%s-%s.so' % (name, key))
        if not os.path.exists(so_path):
            with tempfile.TemporaryDirectory(dir=cache, prefix='build-') as tmp:
                src = os.path.join(tmp, '%s.cpp' % name)
                with open(src, 'w') as f:
                    f.write(unit)
                out = os.path.join(tmp, 'out.so')
                # Blocks run in parallel where OpenMP is there, serially otherwise.
                omp = [] if _openmp_ok is False else [_OPENMP_FLAG]
                r = _compile(cxx, flags + omp, src, out)
                compile_count += 1
                if r.returncode != 0 and omp and not _openmp_available(cxx, tmp):
                    r = _compile(cxx, flags, src, out)
                    compile_count += 1
                if r.returncode != 0:
                    raise _compiler.CompileException(
                        'kernel %s failed to compile:\n%s%s' % (name, r.stderr, r.stdout),
                        code, name, options)
                # Keep the translation unit next to the library for debugging.
                os.replace(src, so_path[:-3] + '.cpp')
                os.replace(out, so_path)  # atomic: parallel test processes may race here
        binary = _binaries[key] = _Binary(so_path)
        return binary


# ------------------------------------------------------ parameter discovery

_COMMENT_OR_LITERAL = re.compile(
    r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)

_TYPE_WORDS = {'int', 'float', 'double', 'char', 'short', 'long', 'unsigned', 'signed',
               'bool', 'void', 'const', 'volatile', '__restrict__', 'restrict'}


def _strip_comments(code):
    def repl(m):
        s = m.group(0)
        if s.startswith('//'):
            return ' '
        if s.startswith('/*'):
            return re.sub(r'[^\n]', ' ', s)
        return s
    return _COMMENT_OR_LITERAL.sub(repl, code)


def _split_top_level(s):
    parts, depth, cur = [], 0, []
    for ch in s:
        if ch in '(<[{':
            depth += 1
        elif ch in ')>]}':
            depth -= 1
        if ch == ',' and depth == 0:
            parts.append(''.join(cur))
            cur = []
        else:
            cur.append(ch)
    parts.append(''.join(cur))
    return parts


def parse_params(code, name):
    """[(declared type, parameter name)] of the __global__ function `name`, or None."""
    text = _strip_comments(code)
    for m in re.finditer(r'\b%s\s*\(' % re.escape(name), text):
        head = text[max(text.rfind(c, 0, m.start()) for c in ';{}') + 1:m.start()]
        if not re.search(r'\b__global__\b', head):
            continue
        depth, i = 1, m.end()
        while i < len(text) and depth:
            depth += {'(': 1, ')': -1}.get(text[i], 0)
            i += 1
        if depth:
            return None
        params = []
        for p in _split_top_level(text[m.end():i - 1]):
            p = ' '.join(p.split())
            if not p or p == 'void':
                continue
            pm = re.match(r'^(.*?)\s*\b([A-Za-z_]\w*)\s*((?:\[[^\]]*\]\s*)*)$', p)
            if pm and pm.group(1).strip() and pm.group(2) not in _TYPE_WORDS:
                params.append(((pm.group(1).strip() + ' ' + pm.group(3)).strip(), pm.group(2)))
            else:
                params.append((p, None))
        return params
    return None


_SCALAR_DTYPES = {
    1: np.dtype(np.bool_), 24: np.dtype(np.float32), 28: np.dtype(np.float64),
    41: np.dtype(np.int8), 42: np.dtype(np.int16), 44: np.dtype(np.int32), 48: np.dtype(np.int64),
    61: np.dtype(np.uint8), 62: np.dtype(np.uint16), 64: np.dtype(np.uint32), 68: np.dtype(np.uint64),
}
_C_NAMES = {
    'bool': 'bool', 'float32': 'float', 'float64': 'double', 'int8': 'signed char',
    'int16': 'short', 'int32': 'int', 'int64': 'long long', 'uint8': 'unsigned char',
    'uint16': 'unsigned short', 'uint32': 'unsigned int', 'uint64': 'unsigned long long',
}


class _Param:
    __slots__ = ('index', 'name', 'decl', 'pointer', 'dtype', 'supported')

    def __init__(self, index, kind, decl, name):
        self.index = index
        self.name = name or 'arg%d' % index
        self.pointer = kind >= 999 or kind == -2
        if self.pointer:
            pointee = kind - 1000
            if pointee >= 100:
                pointee -= 100  # vector types address arrays of their element type
            self.supported = kind != -2
            self.dtype = _SCALAR_DTYPES.get(pointee)  # None: void or a struct, any dtype goes
        else:
            self.dtype = _SCALAR_DTYPES.get(kind)
            self.supported = self.dtype is not None
        if decl is None:
            if self.dtype is None:
                decl = 'void*' if self.pointer else '?'
            else:
                decl = _C_NAMES[self.dtype.name] + ('*' if self.pointer else '')
        self.decl = decl

    def where(self, kernel):
        return 'kernel %s, argument %d (%s %s)' % (kernel, self.index, self.decl, self.name)


def _dims(value, what):
    if not isinstance(value, (tuple, list)) or not 1 <= len(value) <= 3:
        raise TypeError('%s must be a tuple of 1 to 3 ints, got %r' % (what, value))
    dims = []
    for v in value:
        if isinstance(v, (bool, np.bool_)) or not isinstance(v, numbers.Integral):
            raise TypeError('%s must be a tuple of ints, got %r' % (what, value))
        dims.append(int(v))
    dims += [1] * (3 - len(dims))
    if min(dims) <= 0:
        raise _driver.CUDADriverError(_driver.CUDA_ERROR_INVALID_VALUE,
                                      '%s %r has a dimension below 1' % (what, tuple(value)))
    return dims


def _round_up(x, m):
    return (x + m - 1) // m * m


class _Guarded:
    """One guarded copy of a range of memory that one or more arguments point into."""

    def __init__(self, lo, hi):
        self.lo, self.hi = lo, hi
        self.members = []  # (argument position, address)
        self.writeable = True
        self.floating = False

    def open(self, n):
        size = self.hi - self.lo
        guard = min(max(_MIN_GUARD, _round_up(size, 4096)), _MAX_GUARD)
        self.word = _canary(n, self.floating)
        self.word_bytes = np.array([self.word], '<u4').view(np.uint8)
        self.buf = np.empty(_round_up(2 * guard + size + 512, 4), np.uint8)
        self.buf.view('<u4').fill(self.word)
        base = self.buf.ctypes.data
        # Keep the copy's address congruent to the original modulo 256, as
        # kernels may rely on the alignment of CuPy's allocations.
        start = _round_up(base + guard, 256) + self.lo % 256
        self.offset = start - base
        self.start = start
        if size:
            ctypes.memmove(start, self.lo, size)
        return {pos: start + (addr - self.lo) for pos, addr in self.members}

    def _changes(self, a, b):
        """First and last byte in buf[a:b] that no longer hold the canary, or None."""
        buf, pat = self.buf, self.word_bytes
        a4 = min(_round_up(a, 4), b)
        b4 = max(b // 4 * 4, a4)
        hits = [i for i in list(range(a, a4)) + list(range(b4, b)) if buf[i] != pat[i % 4]]
        words = buf[a4:b4].view('<u4')
        bad = words != self.word
        if bad.any():
            where = np.flatnonzero(bad)
            for w in (where[0], where[-1]):
                hits += [a4 + 4 * int(w) + k for k in range(4) if buf[a4 + 4 * int(w) + k] != pat[k]]
        return (min(hits), max(hits)) if hits else None

    def damage(self):
        """(bytes before, bytes after) its data the farthest changed guard bytes lie, or None."""
        end = self.offset + self.hi - self.lo
        front = self._changes(0, self.offset)
        back = self._changes(end, len(self.buf))
        if front is None and back is None:
            return None
        return (self.offset - front[0] if front else 0, back[1] - end + 1 if back else 0)

    def close(self, kernel, params):
        size = self.hi - self.lo
        if not size:
            return
        if self.writeable:
            ctypes.memmove(self.lo, self.start, size)
            return
        original = np.frombuffer((ctypes.c_ubyte * size).from_address(self.lo), np.uint8)
        if not np.array_equal(original, self.buf[self.offset:self.offset + size]):
            p = params[self.members[0][0]]
            raise RuntimeError('kernel %s wrote into argument %d (%s), a read-only array'
                               % (kernel, p.index, p.name))


class RawKernel:
    """Kernel from CUDA C++ source; compiled for the host on first launch."""

    def __init__(self, code, name, options=(), backend='nvrtc', *, translate_cucomplex=False,
                 enable_cooperative_groups=False, jitify=False):
        self.code = code
        self.name = name
        self.options = tuple(options)
        self.backend = backend
        self.translate_cucomplex = translate_cucomplex
        self.enable_cooperative_groups = enable_cooperative_groups
        self.jitify = jitify
        self.max_dynamic_shared_size_bytes = _DEFAULT_DYNAMIC_SHARED_LIMIT
        self._binary = None
        self._params = None

    # ---- CuPy's introspection surface -----------------------------------

    max_threads_per_block = 1024
    num_regs = 0
    shared_size_bytes = 0
    const_size_bytes = 0
    local_size_bytes = 0
    ptx_version = 80
    binary_version = 80

    @property
    def attributes(self):
        return {'max_threads_per_block': 1024, 'shared_size_bytes': 0, 'const_size_bytes': 0,
                'local_size_bytes': 0, 'num_regs': 0, 'ptx_version': 80, 'binary_version': 80,
                'max_dynamic_shared_size_bytes': self.max_dynamic_shared_size_bytes}

    @property
    def kernel(self):
        self._load()
        return self._binary

    def compile(self, log_stream=None):
        self._load()

    def _load(self):
        if self._binary is None:
            binary = _build(self.code, self.name, self.options)
            parsed = parse_params(self.code, self.name)
            if parsed is None or len(parsed) != len(binary.kinds):
                parsed = [(None, None)] * len(binary.kinds)
            self._params = [_Param(i, k, decl, pname)
                            for i, (k, (decl, pname)) in enumerate(zip(binary.kinds, parsed))]
            self._binary = binary
        return self._binary

    # ---- launching -------------------------------------------------------

    def __call__(self, grid, block, args, *, shared_mem=0, stream=None,
                 enable_cooperative_groups=False):
        g = _dims(grid, 'grid')
        b = _dims(block, 'block')
        if b[0] > 1024 or b[1] > 1024 or b[2] > 64 or b[0] * b[1] * b[2] > 1024:
            raise _driver.CUDADriverError(
                _driver.CUDA_ERROR_INVALID_VALUE,
                'block %r has %d threads; the device allows at most 1024 (z at most 64)'
                % (tuple(block), b[0] * b[1] * b[2]))
        if g[0] > 2 ** 31 - 1 or g[1] > 65535 or g[2] > 65535:
            raise _driver.CUDADriverError(_driver.CUDA_ERROR_INVALID_VALUE,
                                          'grid %r exceeds the device limits' % (tuple(grid),))
        if not isinstance(shared_mem, numbers.Integral) or shared_mem < 0:
            raise TypeError('shared_mem must be a non-negative int')
        if shared_mem > self.max_dynamic_shared_size_bytes:
            raise _driver.CUDADriverError(
                _driver.CUDA_ERROR_INVALID_VALUE,
                '%d bytes of dynamic shared memory requested, the kernel allows %d'
                % (shared_mem, self.max_dynamic_shared_size_bytes))
        if not isinstance(args, (tuple, list)):
            raise TypeError('args must be a tuple, got %s' % type(args).__name__)
        binary = self._load()
        params = self._params
        if len(args) != len(params):
            raise TypeError('kernel %s takes %d arguments (%s), %d given'
                            % (self.name, len(params),
                               ', '.join('%s %s' % (p.decl, p.name) for p in params), len(args)))

        slots = np.zeros(max(len(args), 1), np.uint64)
        arrays = []
        for p, a in zip(params, args):
            if p.pointer:
                arrays.append((p.index, self._check_pointer(p, a)))
            else:
                self._store_scalar(p, a, slots)

        # Arguments are checked at the launch; the grid runs when its stream gets to it.
        _counting.launch(self.name)
        _stream.enqueue(lambda: self._run(binary, params, args, arrays, slots, g, b), stream)

    def _run(self, binary, params, args, arrays, slots, g, b):
        groups = self._group(arrays)
        for n, grp in enumerate(groups):
            for pos, addr in grp.open(n).items():
                slots[pos] = addr
        dims = (ctypes.c_uint * 6)(*g, *b)
        argv = (ctypes.c_void_p * max(len(args), 1))(
            *(slots.ctypes.data + 8 * i for i in range(len(args))))
        status = binary.launch(dims, argv)
        if status == 2:
            where = (ctypes.c_uint * 9)()
            source = binary.last_fault(where).decode(errors='replace')
            if where[8] == 2:
                raise _driver.CUDADriverError(
                    _driver.CUDA_ERROR_MISALIGNED_ADDRESS, 'misaligned address: kernel %s at %s:%d:%d '
                    '(block (%d, %d, %d), thread (%d, %d, %d))' % (self.name, source, *where[6:8], *where[:6]))
            raise ZeroDivisionError(
                'kernel %s divided an integer by zero at %s:%d:%d (block (%d, %d, %d), thread (%d, %d, %d)); '
                'a GPU would not trap but give an unspecified value' % (self.name, source, *where[6:8], *where[:6]))
        if status != 0:
            raise _driver.CUDADriverError(_driver.CUDA_ERROR_LAUNCH_OUT_OF_RESOURCES)

        for grp in groups:
            hit = grp.damage()
            if hit is not None:
                before, after = hit
                if after:
                    pos = max(grp.members, key=lambda m: m[1] + args[m[0]].nbytes)[0]
                    where = '%d byte%s past the end' % (after, 's' * (after != 1))
                else:
                    pos = min(grp.members, key=lambda m: m[1])[0]
                    where = '%d byte%s before the start' % (before, 's' * (before != 1))
                p = params[pos]
                raise RuntimeError('kernel %s wrote outside argument %d (%s): up to %s of its '
                                   '%d-byte buffer' % (self.name, pos, p.name, where, args[pos].nbytes))
        for grp in groups:
            grp.close(self.name, params)

    def _check_pointer(self, p, a):
        if not isinstance(a, _core.ndarray):
            if isinstance(a, np.ndarray):
                raise TypeError('%s: got a numpy.ndarray (host memory); kernels take device arrays, '
                                'convert with cupy.asarray()' % p.where(self.name))
            raise TypeError('%s: got %s; a pointer parameter takes a cupy.ndarray'
                            % (p.where(self.name), type(a).__name__))
        if p.dtype is not None and a.dtype != p.dtype:
            raise TypeError('%s: got an array of dtype %s, the kernel reads %s (dtype %s)'
                            % (p.where(self.name), a.dtype, p.decl, p.dtype))
        if not a.flags.c_contiguous:
            raise ValueError('%s: the array is not C-contiguous (shape %s, strides %s); the kernel '
                             'indexes it as dense rows, pass cupy.ascontiguousarray(...)'
                             % (p.where(self.name), a.shape, a.strides))
        return a

    def _store_scalar(self, p, a, slots):
        where = p.where(self.name)
        if not p.supported:
            raise TypeError('%s: a parameter of this type cannot be passed from Python' % where)
        want = p.dtype
        hint = 'pass numpy.%s(...)' % want.name
        if isinstance(a, (np.ndarray, _core.ndarray)):
            raise TypeError('%s: got an array for a scalar parameter (CuPy would pass its address); %s'
                            % (where, hint))
        if isinstance(a, np.generic):
            if a.dtype != want:
                raise TypeError('%s: got numpy.%s, which CuPy passes as %d bytes of %s; %s'
                                % (where, a.dtype.name, a.dtype.itemsize, a.dtype.name, hint))
            value = a
        elif isinstance(a, bool):
            if want != np.bool_:
                raise TypeError('%s: got a Python bool, which CuPy passes as bool; %s' % (where, hint))
            value = a
        elif isinstance(a, numbers.Integral) and isinstance(a, int):
            if want not in (np.int64, np.uint64):
                raise TypeError('%s: got a Python int, which CuPy passes as a 64-bit integer '
                                '(long long); %s' % (where, hint))
            lo = 0 if want == np.uint64 else -2 ** 63
            if not lo <= a < 2 ** 63:
                raise OverflowError('%s: %d does not fit a 64-bit integer' % (where, a))
            value = a
        elif isinstance(a, float):
            if want != np.float64:
                raise TypeError('%s: got a Python float, which CuPy passes as a double; %s'
                                % (where, hint))
            value = a
        else:
            raise TypeError('%s: unsupported argument type %s; %s' % (where, type(a).__name__, hint))
        slots[p.index:p.index + 1].view(want)[0] = value

    @staticmethod
    def _group(arrays):
        """Arguments whose memory overlaps share one guarded copy, so aliasing survives."""
        spans = []
        for pos, a in arrays:
            lo = _core.address(a)
            spans.append((lo, lo + a.nbytes, pos, a))
        spans.sort(key=lambda s: (s[0], -s[1]))
        groups = []
        for lo, hi, pos, a in spans:
            cur = groups[-1] if groups else None
            if cur is not None and cur.lo <= lo < cur.hi:
                cur.hi = max(cur.hi, hi)
            else:
                cur = _Guarded(lo, hi)
                groups.append(cur)
            cur.members.append((pos, lo))
            cur.writeable = cur.writeable and a.flags.writeable
            cur.floating = cur.floating or a.dtype.kind in 'fc'
        return groups

    def __repr__(self):
        return '<RawKernel %s (CPU stand-in)>' % self.name


class RawModule:
    """Module of kernels from one source text; each function compiles separately."""

    def __init__(self, code=None, *, path=None, options=(), backend='nvrtc',
                 translate_cucomplex=False, enable_cooperative_groups=False,
                 name_expressions=None, jitify=False):
        if code is None:
            if path is None:
                raise TypeError('RawModule needs code or path')
            with open(path) as f:
                code = f.read()
        self.code = code
        self.options = tuple(options)
        self.backend = backend
        self._functions = {}

    def compile(self, log_stream=None):
        pass

    def get_function(self, name):
        fn = self._functions.get(name)
        if fn is None:
            fn = self._functions[name] = RawKernel(self.code, name, self.options, self.backend)
        return fn
