"""Writes the .pyi stub of every extension module from the signatures the modules carry.

    python tools/stubgen.py           # rewrite src/quorvex/**/*.pyi
    python tools/stubgen.py --check   # exit 1 if a stub is out of date

Every public function and method of the package answers inspect.signature() with its real
parameters, defaults and annotations, so the stubs are rendered from exactly that.
"""

from __future__ import annotations

import argparse
import importlib
import inspect
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = ROOT / "src"

# Names used in annotations and the import that provides each.
IMPORTS = {
    "cp.": "import cupy as cp",
    "np.": "import numpy as np",
    "torch.": "import torch",
    "trt.": "import tensorrt as trt",
    "ort.": "import onnxruntime as ort",
    "spandrel.": "import spandrel",
    "nvimgcodec.": "from nvidia import nvimgcodec",
    "onnx.": "import onnx",
    "os.": "import os",
    "fractions.": "import fractions",
    "threading.": "import threading",
    "Optional[": "from typing import Optional",
    "(BaseModel)": "from pydantic import BaseModel",
    "(NamedTuple)": "from typing import NamedTuple",
    "QvFace": "from quorvex.face.schema import QvFace",
    "GaussianBlur": "from quorvex.filter.gaussian import GaussianBlur",
}


# Special methods that tell type checkers what a class supports (iteration, with-blocks).
PROTOCOL = {"__init__", "__iter__", "__next__", "__enter__", "__exit__", "__len__"}


def module_names() -> list[str]:
    names = []
    for source in sorted((SOURCES / "quorvex").rglob("*.cpp")):
        names.append(".".join(source.relative_to(SOURCES).with_suffix("").parts))
    return names


def _doc(obj, indent: str) -> list[str]:
    doc = inspect.getdoc(obj)
    if not doc:
        return []
    return [f'{indent}"""{doc}"""'] if "\n" not in doc else [f'{indent}"""'] + [
        f"{indent}{line}" if line else "" for line in doc.splitlines()
    ] + [f'{indent}"""']


def _signature(fn) -> str:
    sig = inspect.signature(fn)
    params = []
    for p in sig.parameters.values():
        stars = {p.VAR_POSITIONAL: "*", p.VAR_KEYWORD: "**"}.get(p.kind, "")
        text = stars + p.name
        if p.annotation is not inspect.Parameter.empty:
            text += f": {p.annotation}"
        if p.default is not inspect.Parameter.empty:
            text += f" = {p.default!r}" if p.annotation is not inspect.Parameter.empty else f"={p.default!r}"
        params.append(text)
    ret = "" if sig.return_annotation is inspect.Signature.empty else f" -> {sig.return_annotation}"
    return f"({', '.join(params)}){ret}"


def _function(name: str, fn, indent: str = "") -> list[str]:
    body = _doc(fn, indent + "    ")
    if not body:
        return [f"{indent}def {name}{_signature(fn)}: ..."]
    return [f"{indent}def {name}{_signature(fn)}:"] + body


def _type_text(annotation) -> str:
    """Annotation objects of model fields as stub text."""
    import typing

    if annotation is type(None):
        return "None"
    args = typing.get_args(annotation)
    if typing.get_origin(annotation) is typing.Union:
        return " | ".join(_type_text(a) for a in args)
    module = getattr(annotation, "__module__", "")
    name = getattr(annotation, "__qualname__", repr(annotation))
    if module.startswith("cupy") or module.startswith("standin"):
        return f"cp.{name}"
    if module == "builtins":
        return name
    return repr(annotation)


def _model(name: str, model) -> list[str]:
    lines = ["", "class " + name + "(BaseModel):"] + _doc(model, "    ")
    for field_name, field in model.model_fields.items():
        text = f"    {field_name}: {_type_text(field.annotation)}"
        lines.append(text if field.is_required() else text + f" = {field.default!r}")
    return lines + [""]


def render(module_name: str) -> str:
    module = importlib.import_module(module_name)
    lines: list[str] = []
    for name, value in vars(module).items():
        if name.startswith("_"):
            continue
        if inspect.isclass(value) and value.__module__ == module_name and hasattr(value, "model_fields"):
            lines += _model(name, value)
        elif inspect.isclass(value) and value.__module__ == module_name:
            lines.append("")
            named_tuple = issubclass(value, tuple) and hasattr(value, "_fields")
            lines.append(f"class {name}(NamedTuple):" if named_tuple else f"class {name}:")
            lines += _doc(value, "    ")
            lines += [f"    {field}: {kind}" for field, kind in vars(value).get("__annotations__", {}).items()]
            for method_name, method in vars(value).items():
                if callable(method) and (not method_name.startswith("_") or method_name in PROTOCOL):
                    lines += _function(method_name, method, "    ")
            lines.append("")
        elif callable(value) and getattr(value, "__module__", None) == module_name:
            lines += _function(name, value)
        elif name.endswith("_kernel"):
            lines.append(f"{name}: cp.RawKernel")
        elif isinstance(value, (str, int, float, tuple, dict)):
            lines.append(f"{name}: {_value_type(value)}")
    text = "\n".join(lines)
    header = [f'"""{module.__doc__}"""', ""] if module.__doc__ else []
    imports = sorted({stmt for key, stmt in IMPORTS.items() if key in text and not stmt.startswith(f"from {module_name} ")})
    return "\n".join(header + imports + [""] + lines).rstrip() + "\n"


def _value_type(value) -> str:
    """The annotation of a module constant: scalars by type, tuples and dicts by their items."""
    if isinstance(value, tuple):
        kinds = [_value_type(v) for v in value]
        return f"tuple[{kinds[0]}, ...]" if kinds and len(set(kinds)) == 1 else f"tuple[{', '.join(kinds)}]"
    if isinstance(value, dict):
        keys = {_value_type(k) for k in value}
        items = {_value_type(v) for v in value.values()}
        if len(keys) == 1 and len(items) == 1:
            return f"dict[{keys.pop()}, {items.pop()}]"
        return "dict"
    return type(value).__name__


def stub_path(module_name: str) -> pathlib.Path:
    return SOURCES.joinpath(*module_name.split(".")).with_suffix(".pyi")


def use_cupy_or_standin() -> None:
    """Stubs name CuPy's types, so render them where CuPy, or the test stand-in, imports."""
    try:
        import cupy  # noqa: F401
    except ImportError:
        sys.path.insert(0, str(ROOT))
        import standin

        standin.install()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--check", action="store_true", help="report stale stubs instead of writing")
    args = parser.parse_args()
    use_cupy_or_standin()
    stale = []
    for name in module_names():
        text = render(name)
        path = stub_path(name)
        if args.check:
            if not path.exists() or path.read_text() != text:
                stale.append(str(path.relative_to(ROOT)))
        else:
            path.write_text(text)
    for path in stale:
        print(f"stale stub: {path}", file=sys.stderr)
    return 1 if stale else 0


if __name__ == "__main__":
    sys.exit(main())
