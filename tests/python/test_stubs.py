"""The type stubs agree with the module, and the README's examples type-check."""
import ast
import os
import re
import subprocess
import sys

import pytest

import _qel_cpp

ROOT = os.path.join(os.path.dirname(__file__), "..", "..")
STUB = os.path.join(ROOT, "src", "_qel_cpp.pyi")
# The stubs name what an argument accepts; the signature lines name the list form.
ACCEPTED_AS = {"_SeriesSet": "List[List[float]]", "_Letters": "List[List[str]]"}


def stub_classes():
    with open(STUB, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    return tree, {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}


def qualified(annotation, classes):
    text = ast.unparse(annotation) if annotation is not None else "None"
    text = ACCEPTED_AS.get(text, text)
    return re.sub(r"\b(" + "|".join(classes) + r")\b", r"_qel_cpp.\1", text)


def signature_line(function, classes, owner=None):
    """The signature line pybind11 would write for a stub function."""
    args = function.args.args
    defaults = [None] * (len(args) - len(function.args.defaults)) + function.args.defaults
    parts = []
    for arg, default in zip(args, defaults):
        if arg.arg == "self":
            parts.append(f"self: _qel_cpp.{owner}")
            continue
        part = f"{arg.arg}: {qualified(arg.annotation, classes)}"
        parts.append(part + (f" = {ast.unparse(default)}" if default is not None else ""))
    is_property = any(ast.unparse(d) == "property" for d in function.decorator_list)
    name = "" if is_property else function.name
    return f"{name}({', '.join(parts)}) -> {qualified(function.returns, classes)}"


def module_line(owner, name):
    target = getattr(_qel_cpp, owner) if owner else _qel_cpp
    attribute = getattr(target, name)
    if isinstance(attribute, property):
        attribute = attribute.fget
    return attribute.__doc__.splitlines()[0]


def test_every_stub_signature_is_the_modules_signature_line():
    tree, classes = stub_classes()
    public = {name for name in dir(_qel_cpp) if not name.startswith("_")}
    assert public == set(classes) - {"_Array"} | {"sax"}
    checked = 0
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            assert signature_line(node, classes) == module_line(None, node.name)
            checked += 1
        elif isinstance(node, ast.ClassDef) and node.name in public:
            names = {f.name for f in node.body if isinstance(f, ast.FunctionDef)}
            bound = {n for n, v in vars(getattr(_qel_cpp, node.name)).items()
                     if not n.startswith("_") or (v.__doc__ or "").startswith(n + "(")}
            assert names == bound, node.name
            for function in node.body:
                if isinstance(function, ast.FunctionDef):
                    assert signature_line(function, classes, node.name) == \
                        module_line(node.name, function.name), f"{node.name}.{function.name}"
                    checked += 1
    assert checked == 15


def readme_examples():
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        lines = f.read().splitlines()
    return "\n".join(re.sub(r"^\s*(>>>|\.\.\.) ?", "", line) for line in lines
                     if re.match(r"^\s*(>>>|\.\.\.)( |$)", line))


def test_readme_examples_and_the_package_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    source = tmp_path / "readme_examples.py"
    source.write_text(readme_examples() + "\n")
    env = dict(os.environ, MYPYPATH=os.path.join(ROOT, "src"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache"),
         "--allow-redefinition", str(source), os.path.join(ROOT, "qel")],
        capture_output=True, text=True, env=env, cwd=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


def test_classes_hold_what_the_pinned_pybind11_makes():
    """Built with the pinned pybind11, a class holds its bindings and the interpreter's usual
    names only: later pybind11 releases add attributes of their own (such as
    `_pybind11_conduit_v1_`), which is how a wheel built against another version shows."""
    usual = {"__init__", "__doc__", "__module__", "__dict__", "__weakref__", "__repr__", "__new__",
             "__getstate__", "__setstate__", "__reduce__", "__reduce_ex__", "__copy__", "__deepcopy__",
             "__slotnames__"}  # (copyreg caches this on a class once something tried to copy one)
    for cls in (_qel_cpp.Motif, _qel_cpp.Miner, _qel_cpp.PatternMiner):
        extra = {name for name in vars(cls) if name.startswith("_") and name not in usual}
        assert extra == set(), f"{cls.__name__}: {sorted(extra)}"
