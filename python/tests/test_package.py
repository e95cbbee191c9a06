"""The package as a whole: what it exports, and type stubs that match."""

import ast
import pathlib

import zelk_compiler as zc
from zelk_compiler import _core

PACKAGE = pathlib.Path(zc.__file__).parent
# Names the stubs declare for typing only.
STUB_ALIASES = {
    "OpKind", "Phase", "_T", "_ListView", "_Index", "_Shape", "_Float32Like", "_Float32Array",
    "__version__",
}


def declared(body):
    names = {}
    for node in body:
        if isinstance(node, ast.ClassDef):
            names[node.name] = declared(node.body)
        elif isinstance(node, ast.FunctionDef):
            names[node.name] = {}
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            names[node.target.id] = {}
        elif isinstance(node, ast.Assign):
            names.update({t.id: {} for t in node.targets if isinstance(t, ast.Name)})
    return names


def test_the_stubs_declare_every_name_and_member_of_the_module():
    stubs = declared(ast.parse((PACKAGE / "_core.pyi").read_text()).body)
    runtime = {name for name in vars(_core) if not name.startswith("__")}
    assert runtime == set(stubs) - STUB_ALIASES
    for name in runtime:
        value = getattr(_core, name)
        if isinstance(value, type):
            members = {m for m in vars(value) if not m.startswith("_")} - {"name", "value"}
            missing = members - set(stubs[name])
            assert not missing, f"{name}: no stub for {sorted(missing)}"


def test_the_package_exports_the_module_and_marks_itself_typed():
    public = {name for name in vars(_core) if not name.startswith("_")}
    assert set(zc.__all__) == public | {"CompileError", "from_torch"}
    assert all(hasattr(zc, name) for name in zc.__all__)
    assert (PACKAGE / "py.typed").exists()
    assert zc.__version__.count(".") == 2
