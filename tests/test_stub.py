import ast
import os
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import qorv_core

ROOT = Path(__file__).resolve().parent.parent
MODULE_DIR = Path(qorv_core.__file__).resolve().parent
# Installed from a wheel, the stub must lie beside the module; a dev build
# (PYTHONPATH=build) is checked against the source stub.
INSTALLED = MODULE_DIR == Path(sysconfig.get_paths()["platlib"]).resolve()
STUB = MODULE_DIR / "qorv_core.pyi" if INSTALLED else ROOT / "qorv" / "qorv_core.pyi"
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))


def split_top_level(text, sep):
    """Splits at `sep` outside brackets, parentheses and string quotes."""
    parts, depth, quote, start = [], 0, None, 0
    for i, ch in enumerate(text):
        if quote:
            quote = None if ch == quote else quote
        elif ch in "\"'":
            quote = ch
        elif ch == sep and depth == 0:
            parts.append(text[start:i])
            start = i + 1
        elif ch in "[(":
            depth += 1
        elif ch in "])":
            depth -= 1
    parts.append(text[start:])
    return parts


def runtime_params(func):
    """(name, default) pairs from the signature line pybind11 puts first in __doc__."""
    first = func.__doc__.splitlines()[0]
    inside = split_top_level(first[first.index("(") + 1:], ")")[0]
    params = []
    for param in split_top_level(inside, ","):
        annotated, *default = split_top_level(param, "=")
        name = annotated.split(":")[0].strip()
        params.append((name, (ast.literal_eval(default[0].strip()),) if default else ()))
    return params


def stub_params(node):
    args = node.args
    assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg), node.name
    defaults = [()] * (len(args.args) - len(args.defaults))
    defaults += [(ast.literal_eval(d),) for d in args.defaults]
    return [(a.arg, d) for a, d in zip(args.args, defaults)]


def typed(params):
    """Defaults compared with their type: 1.0 and 1 are different defaults."""
    return [(name, tuple((type(v), v) for v in d)) for name, d in params]


def is_property(node):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def public(names):
    return {n for n in names if not n.startswith("_")}


TREE = ast.parse(STUB.read_text())
STUB_FUNCS = {n.name: n for n in TREE.body if isinstance(n, ast.FunctionDef)}
STUB_CLASSES = {n.name: n for n in TREE.body if isinstance(n, ast.ClassDef)}


def test_public_names_match():
    runtime = public(dir(qorv_core))
    assert public(STUB_FUNCS) | public(STUB_CLASSES) == runtime
    stub_all = next(n.value for n in TREE.body if isinstance(n, ast.Assign)
                    and n.targets[0].id == "__all__")
    assert set(ast.literal_eval(stub_all)) == runtime


@pytest.mark.parametrize("name", sorted(public(STUB_FUNCS)))
def test_function_parameters_and_defaults_match(name):
    assert typed(stub_params(STUB_FUNCS[name])) == typed(runtime_params(getattr(qorv_core, name)))


@pytest.mark.parametrize("name", sorted(STUB_CLASSES))
def test_class_members_match(name):
    cls = getattr(qorv_core, name)
    members = [n for n in STUB_CLASSES[name].body if isinstance(n, ast.FunctionDef)]
    props = {n.name for n in members if is_property(n)}
    methods = {n.name: n for n in members if not is_property(n)}
    attrs = vars(cls)
    assert props == {n for n, v in attrs.items() if isinstance(v, property)}
    # A bound constructor documents its own signature; the result classes
    # keep pybind11's refusing __init__ and have none in the stub.
    runtime_methods = {n for n, v in attrs.items() if callable(v) and not n.startswith("_")}
    if (attrs["__init__"].__doc__ or "").startswith("__init__("):
        runtime_methods.add("__init__")
    assert set(methods) == runtime_methods
    for method in methods:
        assert typed(stub_params(methods[method])) == typed(runtime_params(attrs[method]))


def test_every_stub_entry_has_a_docstring():
    nodes = [*STUB_FUNCS.values(), *STUB_CLASSES.values()]
    nodes += [m for c in STUB_CLASSES.values() for m in c.body if isinstance(m, ast.FunctionDef)]
    assert [n.name for n in nodes if not ast.get_docstring(n)] == []


@pytest.mark.skipif(not INSTALLED, reason="qorv_core is not installed")
def test_installation_ships_the_stub_for_type_checkers():
    stubs = MODULE_DIR / "qorv_core-stubs"
    assert (stubs / "__init__.pyi").read_text() == STUB.read_text()
    assert (stubs / "py.typed").is_file()


def run_mypy(tmp_path, *paths, env=None):
    out = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--cache-dir",
                          str(tmp_path / "mypy-cache"), *map(str, paths)],
                         capture_output=True, text=True, cwd=tmp_path, env=env)
    assert out.returncode == 0, out.stdout + out.stderr


def test_stub_and_examples_pass_mypy_strict(tmp_path):
    pytest.importorskip("mypy")
    pytest.importorskip("matplotlib")  # the quickstart's plotting is checked too
    checked = tmp_path / "stub" / "qorv_core.pyi"
    checked.parent.mkdir()
    shutil.copy(STUB, checked)
    run_mypy(tmp_path, checked)
    # The examples must find the stub the way a user's mypy does: installed,
    # through site-packages; in a dev build, through MYPYPATH.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    if not INSTALLED:
        env["MYPYPATH"] = os.pathsep.join([str(STUB.parent), str(ROOT)])
    run_mypy(tmp_path, *EXAMPLES, env=env)
