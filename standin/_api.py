"""What the code under test touches of the stand-ins, checked against the real libraries' API.

``watch`` makes a stand-in module record, for callers outside ``standin`` (the package and its
tests, which run unchanged on a GPU), every public module attribute read, every class member
reached (methods, properties, class attributes such as enum members) and the keyword names of
every call of the stand-in's own functions and methods.  ``problems`` compares them with
``api_manifest.json``, made from the real packages by ``tools/api_manifest.py``: a name the real
library lacks would pass on the CPU tier and fail on the first GPU machine.

The real ONNX Runtime is watched the same way (``watch_onnxruntime``): its session takes any
keyword and drops those it does not know.  Names starting with ``standin`` are the stand-ins' own
hooks for tests that look inside, and are not checked.

Not seen: attributes an instance sets on itself (``Stream.ptr``), methods of compiled classes
(ONNX Runtime's ``SessionOptions``), items of dict-like results.
"""

import functools
import json
import os
import sys
import types

_ROOT = os.path.dirname(os.path.abspath(__file__)) + os.sep
_DUNDERS = frozenset(('__init__', '__call__', '__enter__', '__exit__', '__len__', '__getitem__',
                      '__setitem__', '__iter__', '__cuda_array_interface__', '__dlpack__',
                      '__dlpack_device__', '__version__'))

touched = set()
_wrapped_classes = set()


@functools.lru_cache(maxsize=None)
def _ours(filename):
    """Whether a code object's file is the stand-ins': compared resolved, as a path imported
    through '..' (a clone's tests on sys.path) names the same files unresolved."""
    return os.path.abspath(filename).startswith(_ROOT)


def _outside(depth):
    """Whether the frame depth levels above the caller is code under test (not the stand-ins')."""
    try:
        return not _ours(sys._getframe(depth + 1).f_code.co_filename)
    except ValueError:
        return False


def _lib(lib):
    """The manifest's key for a library: TensorRT's by the generation the stand-in's version names."""
    if lib == 'tensorrt':
        version = getattr(sys.modules.get('tensorrt'), '__version__', '10')
        return 'tensorrt-' + version.split('.')[0]
    return lib


def _public(name):
    return not name.startswith('_') or name in _DUNDERS


class _Watched(types.ModuleType):
    def __getattribute__(self, name):
        value = types.ModuleType.__getattribute__(self, name)
        if _public(name):
            info = types.ModuleType.__getattribute__(self, '__dict__').get('__quorvex_api__')
            if info is not None and _outside(1):
                touched.add(('module', _lib(info[0]), info[1], name))
                if type(value) is types.FunctionType and not hasattr(value, '__quorvex_api__'):
                    value = _function(value, info[0], info[1], name)
                    types.ModuleType.__setattr__(self, name, value)
        return value


def _function(fn, lib, owner, name):
    """fn recording the keyword names it is called with."""
    @functools.wraps(fn)
    def call(*args, **kwargs):
        if kwargs and _outside(1):
            touched.add(('kwargs', _lib(lib), owner, name, tuple(sorted(kwargs))))
        return fn(*args, **kwargs)
    call.__quorvex_api__ = True
    return call


def _member(fn, lib, cls, name):
    @functools.wraps(fn)
    def call(*args, **kwargs):
        if _outside(1):
            touched.add(('member', _lib(lib), cls, name))
            if kwargs:
                touched.add(('kwargs', _lib(lib), cls, name, tuple(sorted(kwargs))))
        return fn(*args, **kwargs)
    call.__quorvex_api__ = True
    return call


class _Attribute:
    """A class attribute (an enum member, a constant) that records who reads it."""

    def __init__(self, value, lib, cls, name):
        self.value, self.lib, self.key = value, lib, (cls, name)

    def __get__(self, obj, owner=None):
        if _outside(1):
            touched.add(('member', _lib(self.lib)) + self.key)
        return self.value


def _watch_class(cls, lib):
    if cls in _wrapped_classes:
        return
    _wrapped_classes.add(cls)
    name = cls.__name__
    for klass in cls.__mro__:
        if klass.__module__.split('.')[0] not in ('cupy', 'standin', 'tensorrt', 'PyNvVideoCodec', 'onnxruntime'):
            continue
        for member, raw in list(vars(klass).items()):
            if not _public(member) or (klass is not cls and member in vars(cls)):
                continue
            if isinstance(raw, _Attribute):  # inherited from a class watched before
                raw = raw.value
            elif isinstance(raw, property) and getattr(raw.fget, '__quorvex_api__', False):
                raw = property(raw.fget.__wrapped__, raw.fset and raw.fset.__wrapped__, raw.fdel, raw.__doc__)
            elif isinstance(raw, (staticmethod, classmethod)) and getattr(raw.__func__, '__quorvex_api__', False):
                raw = type(raw)(raw.__func__.__wrapped__)
            elif getattr(raw, '__quorvex_api__', False):
                raw = raw.__wrapped__
            if isinstance(raw, property):
                new = property(_member(raw.fget, lib, name, member) if raw.fget else None,
                               _member(raw.fset, lib, name, member) if raw.fset else None, raw.fdel, raw.__doc__)
            elif isinstance(raw, staticmethod):
                new = staticmethod(_member(raw.__func__, lib, name, member))
            elif isinstance(raw, classmethod):
                new = classmethod(_member(raw.__func__, lib, name, member))
            elif isinstance(raw, types.FunctionType):
                new = _member(raw, lib, name, member)
            elif isinstance(raw, type) or callable(raw) and not isinstance(raw, cls):
                continue
            else:
                new = _Attribute(raw, lib, name, member)
            try:
                type.__setattr__(cls, member, new)  # past Enum's guard against reassigning members
            except TypeError:
                setattr(cls, member, new)  # compiled classes (pybind11) have their own


def watch(module, lib, path, prefix=None):
    """Records what is read of module (known to the real library as path) and of its classes."""
    module.__dict__['__quorvex_api__'] = (lib, path)
    if type(module) is types.ModuleType:
        module.__class__ = _Watched
    for value in list(vars(module).values()):
        if (isinstance(value, type) and value.__module__ in (module.__name__, path)
                and not value.__name__.startswith('_')):
            _watch_class(value, lib)


def watch_onnxruntime():
    """Records what the code under test uses of the real ONNX Runtime, which swallows unknown keywords."""
    import onnxruntime
    watch(onnxruntime, 'onnxruntime', 'onnxruntime')
    for name in ('InferenceSession', 'SessionOptions', 'IOBinding', 'RunOptions'):
        _watch_class(getattr(onnxruntime, name), 'onnxruntime')


def manifest():
    with open(os.path.join(_ROOT, 'api_manifest.json')) as f:
        return json.load(f)


def problems(names=None, real=None):
    """Names touched that the real library lacks, as lines saying where."""
    names = touched if names is None else names
    real = manifest() if real is None else real
    found = []
    for entry in sorted(names):
        kind, lib, owner, name = entry[:4]
        if name.startswith('standin'):  # the stand-ins' own hooks, for tests that look inside
            continue
        api = real.get(lib)
        if api is None:
            found.append('%s: no manifest' % lib)
            continue
        if kind == 'module':
            known = api['modules'].get(owner)
            if known is None or name not in known:
                found.append('%s: %s.%s' % (lib, owner, name))
            continue
        members = api['classes'].get(owner)
        if kind == 'member':
            if members is None or name not in members:
                found.append('%s: %s.%s' % (lib, owner, name))
            continue
        params = members.get(name) if members is not None else api['functions'].get(owner + '.' + name)
        if params is None or '**' in params:
            continue
        extra = [k for k in entry[4] if k not in params]
        if extra:
            found.append('%s: %s.%s(%s) takes %s' % (lib, owner, name, ', '.join(k + '=' for k in extra),
                                                     ', '.join(params) or 'no keywords'))
    return sorted(set(found))


def coverage(names=None):
    """How many distinct names (and keyword sets) of each library the run touched."""
    names = touched if names is None else names
    counts = {}
    for entry in names:
        counts[entry[1]] = counts.get(entry[1], 0) + 1
    return dict(sorted(counts.items()))
