#!/usr/bin/env python3
"""Writes standin/api_manifest.json: the API of the real GPU libraries our stand-ins emulate.

    python tools/api_manifest.py [--cache DIR] [--out FILE]

For each library (CuPy, ONNX Runtime, TensorRT 10 and 11, PyNvVideoCodec) the wheel is installed
with pip into DIR (default /tmp/quorvex-api), outside any project environment, and imported in a
child process: no GPU is needed. TensorRT's bindings and PyNvVideoCodec link driver libraries;
they are given stub shared libraries that export the few symbols they link (nothing is called
through them while the modules are only inspected).

The manifest holds, per library: the public names of each module the stand-ins emulate, and for
each class its public members (plus the dunders a caller reaches by name), with the keyword names
of every callable as its signature or docstring gives them ("**" where any keyword is taken, null
where neither says). standin/_api.py checks what the test run touched against it.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

LIBRARIES = {
    # key: (pip requirements, import name, modules walked, stub libraries {soname: C source})
    'cupy': (['cupy-cuda13x==14.2.*', 'cuda-pathfinder'], 'cupy',
             ['cupy', 'cupy.cuda', 'cupy.cuda.runtime', 'cupy.cuda.stream', 'cupy.cuda.memory',
              'cupy.cuda.device', 'cupy.cuda.driver', 'cupy.cuda.compiler', 'cupy.linalg', 'cupy.fft',
              'cupy.random', 'cupy.testing'], {}),
    'onnxruntime': (['onnxruntime-gpu==1.31.*'], 'onnxruntime', ['onnxruntime'], {}),
    'tensorrt-10': (['tensorrt-cu12-bindings>=10,<11'], 'tensorrt_bindings', ['tensorrt_bindings'], 'trt10'),
    'tensorrt-11': (['tensorrt-cu13-bindings>=11,<12'], 'tensorrt_bindings', ['tensorrt_bindings'], 'trt11'),
    'PyNvVideoCodec': (['PyNvVideoCodec==2.2.*'], 'PyNvVideoCodec', ['PyNvVideoCodec'], 'nvcodec'),
}

# Dunders a caller reaches by name (the rest are the interpreter's business).
DUNDERS = ('__init__', '__call__', '__enter__', '__exit__', '__len__', '__getitem__', '__setitem__',
           '__iter__', '__cuda_array_interface__', '__dlpack__', '__dlpack_device__', '__version__')


def _trt_stubs(major):
    return {
        'libnvinfer.so.%d' % major: ''.join('void* %s(void){return 0;}\n' % s for s in (
            'createInferBuilder_INTERNAL', 'createInferRefitter_INTERNAL', 'createInferRuntime_INTERNAL',
            'getPluginRegistry', 'getBuilderPluginRegistry')),
        'libnvonnxparser.so.%d' % major: 'void* createNvOnnxParser_INTERNAL(void){return 0;}\n'
        'void* createNvOnnxParserRefitter_INTERNAL(void){return 0;}\nint getNvOnnxParserVersion(void){return 0;}\n',
        'libnvinfer_plugin.so.%d' % major: 'int initLibNvInferPlugins(void){return 0;}\n',
    }


def _nvcodec_stubs(target):
    # The extension links libcuda; VersionCheck dlopens the encoder library for the driver's NVENC version.
    module = os.path.join(target, 'PyNvVideoCodec')
    so = [f for f in os.listdir(module) if f.startswith('PyNvVideoCodec_130')][0]
    symbols = subprocess.run(['nm', '-D', '--undefined-only', os.path.join(module, so)],
                             capture_output=True, text=True, check=True).stdout.split()
    cuda = ''.join('int %s(void){return 999;}\n' % s for s in symbols if s.startswith('cu') and '@' not in s)
    encode = 'int NvEncodeAPIGetMaxSupportedVersion(unsigned* v){*v = 13u << 4; return 0;}\n'
    return {'libcuda.so.1': cuda, 'libnvidia-encode.so.1': encode, 'libnvidia-encode.so': encode}


def _stubs(kind, target, where):
    if not kind:
        return None
    sources = _trt_stubs(int(kind[3:])) if kind.startswith('trt') else _nvcodec_stubs(target)
    os.makedirs(where, exist_ok=True)
    for soname, text in sources.items():
        c = os.path.join(where, soname + '.c')
        with open(c, 'w') as f:
            f.write(text)
        subprocess.run(['cc', '-shared', '-fPIC', '-o', os.path.join(where, soname), c,
                        '-Wl,-soname,' + soname], check=True)
    return where


INSPECT = r'''
import importlib, inspect, json, re, sys, types
root, modules, dunders = sys.argv[1], sys.argv[2].split(','), sys.argv[3].split(',')
SKIP = inspect.Parameter.VAR_POSITIONAL

def from_doc(obj, name):
    doc = getattr(obj, '__doc__', None) or ''
    found, any_kw, matched = set(), False, False
    for m in re.finditer(r'^\s*(?:\d+\.\s*)?(?:[\w.]+\.)?%s\((.*)\)' % re.escape(name), doc, re.M):
        depth, cur, parts = 0, '', []
        for ch in m.group(1):
            if ch in '([{<': depth += 1
            if ch in ')]}>': depth -= 1
            if ch == ',' and depth == 0: parts.append(cur); cur = ''
            else: cur += ch
        parts.append(cur)
        names = [re.split(r'[:=]', p)[0].strip() for p in parts if p.strip()]
        if names[:2] == ['*args', '**kwargs'] and 'Overloaded' in doc: continue
        matched = True
        for n in names:
            if n.startswith('**'): any_kw = True
            elif n.startswith('*') or n in ('self', '/'): continue
            else: found.add(n)
    if not matched: return None
    return sorted(found) + (['**'] if any_kw else [])

def params(obj, name):
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        return from_doc(obj, name)
    out = []
    for p in sig.parameters.values():
        if p.kind == p.VAR_KEYWORD: out.append('**')
        elif p.kind != SKIP and p.name != 'self' and p.kind != p.POSITIONAL_ONLY: out.append(p.name)
    if out == ['args', 'kwargs'] or (out == ['**'] and '(' in (getattr(obj, '__doc__', '') or '')):
        return from_doc(obj, name) or out
    if '**' in out:  # keywords read from **kwargs by name: those are the ones taken
        try:
            text = inspect.getsource(obj)
        except (OSError, TypeError):
            text = ''
        read = re.findall(r"kwargs(?:\.get\(|\[)\s*[\"'](\w+)[\"']|[\"'](\w+)[\"']\s+in\s+kwargs", text)
        # Only where every use reads a key: kwargs passed on take what the callee takes.
        uses = len(re.findall(r"\bkwargs\b", text)) - 1  # less the signature's **kwargs
        if read and len(read) == uses:
            out = [n for n in out if n != '**'] + sorted({a or b for a, b in read})
    return sorted(out, key=lambda n: n == '**')

def public(name):
    return not name.startswith('_') or name in dunders

top = importlib.import_module(root)
result = {'version': getattr(top, '__version__', None), 'modules': {}, 'classes': {}, 'functions': {}}
for path in modules:
    try:
        mod = importlib.import_module(path)
    except ImportError:  # an attribute, not a module of that name (cupy.cuda.driver)
        mod = top
        for part in path.split('.')[1:]:
            mod = getattr(mod, part)
    names = sorted(n for n in dir(mod) if public(n))
    result['modules'][path] = names
    for n in names:
        try: value = getattr(mod, n)
        except Exception: continue
        if isinstance(value, type) and (getattr(value, '__module__', '') or '').split('.')[0] in (root.split('.')[0], '_PyNvVideoCodec', 'tensorrt', 'cupy_backends'):
            members = result['classes'].setdefault(value.__name__, {})
            for m in dir(value):
                if not public(m) or m in members: continue
                try: attr = inspect.getattr_static(value, m)
                except AttributeError: attr = getattr(value, m, None)
                if isinstance(attr, (staticmethod, classmethod)): attr = attr.__func__
                if callable(attr) and not isinstance(attr, type) and not isinstance(attr, value):
                    members[m] = params(attr, m)
                else:
                    members[m] = None
        elif callable(value) and not isinstance(value, (type, types.ModuleType)):
            result['functions'][path + '.' + n] = params(value, n)
json.dump(result, sys.stdout, sort_keys=True)
'''


def emulated_classes():
    """Names of the classes the stand-ins define: only those are kept of each library's classes."""
    import re
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'standin')
    names = set()
    for folder, _, files in os.walk(root):
        for f in files:
            if f.endswith('.py') and not f.startswith('test_'):
                with open(os.path.join(folder, f)) as src:
                    names.update(re.findall(r'^\s*class ([A-Za-z]\w*)', src.read(), re.M))
    return names


def inspect_library(key, cache):
    requirements, name, modules, stub_kind = LIBRARIES[key]
    target = os.path.join(cache, key)
    if not os.path.isdir(target):
        subprocess.run([sys.executable, '-m', 'pip', 'install', '-q', '--no-deps', '--target', target]
                       + requirements, check=True)
    env = dict(os.environ, PYTHONPATH=target + os.pathsep + os.environ.get('PYTHONPATH', ''))
    stubs = _stubs(stub_kind, target, os.path.join(cache, 'stubs-' + key))
    if stubs:
        env['LD_LIBRARY_PATH'] = stubs + os.pathsep + env.get('LD_LIBRARY_PATH', '')
    run = subprocess.run([sys.executable, '-c', INSPECT, name, ','.join(modules), ','.join(DUNDERS)],
                         env=env, capture_output=True, text=True, cwd=tempfile.gettempdir())
    if run.returncode:
        raise SystemExit('%s did not import for inspection:\n%s' % (key, run.stderr[-3000:]))
    found = json.loads(run.stdout)
    # ONNX Runtime has no stand-in (the package calls the real one): the classes it uses.
    keep = emulated_classes() | {'InferenceSession', 'SessionOptions', 'IOBinding', 'OrtValue', 'RunOptions',
                                 'GraphOptimizationLevel', 'ExecutionMode'}
    found['classes'] = {k: v for k, v in found['classes'].items() if k in keep}
    if name == 'tensorrt_bindings':  # the wheel's package; users import it as tensorrt
        found['modules'] = {'tensorrt': found['modules'].pop(name)}
        found['functions'] = {'tensorrt' + k[len(name):]: v for k, v in found['functions'].items()}
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--cache', default='/tmp/quorvex-api')
    parser.add_argument('--out', default=os.path.join(os.path.dirname(__file__), '..', 'standin',
                                                      'api_manifest.json'))
    parser.add_argument('libraries', nargs='*', default=list(LIBRARIES))
    args = parser.parse_args()
    manifest = {}
    if os.path.exists(args.out):
        with open(args.out) as f:
            manifest = json.load(f)
    for key in args.libraries:
        manifest[key] = inspect_library(key, args.cache)
        counts = manifest[key]
        print('%-15s %-12s %5d module names %4d classes %5d functions' % (
            key, counts['version'], sum(map(len, counts['modules'].values())), len(counts['classes']),
            len(counts['functions'])))
    with open(args.out, 'w') as f:
        json.dump(manifest, f, indent=0, sort_keys=True, separators=(',', ':'))
        f.write('\n')


if __name__ == '__main__':
    main()
