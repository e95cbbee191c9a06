"""The package as a whole: what it exports, and type stubs that match."""

import ast
import enum
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


# Field lists. A record's __match_args__ is generated from the library's field
# list, so it names the fields, in order, that the class, its constructor and
# the stubs must all have.


def top_level_parts(text):
    """`text` split at the ", " that lie outside brackets and strings."""
    parts, depth, start, quoted, escaped = [], 0, 0, False, False
    for i, c in enumerate(text):
        if quoted:
            quoted, escaped = (c != '"' or escaped), (c == "\\" and not escaped)
        elif c == '"':
            quoted = True
        elif c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif depth == 0 and text.startswith(", ", i):
            parts.append(text[start:i])
            start = i + 2
    return parts + [text[start:]] if text else parts


def field_names(record):
    """The fields of `record` in list order."""
    return list(getattr(type(record), "__match_args__", ()))


def init_keywords(cls):
    """The keyword names of the bound constructor, from its signature."""
    signature = cls.__init__.__doc__.splitlines()[0]
    inside = signature[signature.index("(") + 1 : signature.rindex(") -> None")]
    names = [part.partition(":")[0] for part in top_level_parts(inside)]
    return [name for name in names if name not in ("self", "*")]


def stub_members(cls_node):
    """The data members a stub class declares (annotations and properties),
    and its __init__ parameters, both in order."""
    members, init = [], None
    for node in cls_node.body:
        if isinstance(node, ast.AnnAssign):
            members.append(node.target.id)
        elif isinstance(node, ast.FunctionDef) and node.name == "__init__":
            init = [a.arg for a in node.args.args[1:] + node.args.kwonlyargs]
        elif isinstance(node, ast.FunctionDef) and any(
            isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list
        ):
            members.append(node.name)
    return members, init


def record_samples():
    """One value of every record class: built by default where it can be,
    otherwise taken from a compile or a diagnosis that does not fit."""
    graph = zc.encoder_graph(zc.EncoderConfig(sequence=512))
    diagnosis = zc.diagnose_fit(graph, zc.CompilerOptions(tile_count=16, data_limit=0x7A000))
    made = [diagnosis, diagnosis.groups[0], diagnosis.failure, diagnosis.failure.live[0]]
    made.append(zc.compile(zc.encoder_graph()))
    samples = {type(value).__name__: value for value in made}
    for name, cls in vars(_core).items():
        if isinstance(cls, type) and name not in samples and not issubclass(cls, enum.Enum):
            try:
                samples[name] = cls()
            except TypeError:
                pass
    return samples


def test_records_bind_and_stub_every_field_in_order():
    stub_classes = {
        node.name: node
        for node in ast.parse((PACKAGE / "_core.pyi").read_text()).body
        if isinstance(node, ast.ClassDef)
    }
    checked = 0
    for name, record in record_samples().items():
        fields = field_names(record)
        if not fields:
            continue
        checked += 1
        members, stub_init = stub_members(stub_classes[name])
        assert members[: len(fields)] == fields, name
        assert all(hasattr(record, field) for field in fields), name
        if stub_init is not None and "__init__" in vars(type(record)):
            runtime_init = init_keywords(type(record))
            assert stub_init == runtime_init, name
            assert runtime_init in ([], fields), name
    # Every record with fields: options, graph, compiler, fit and encoder records.
    assert checked >= 25
