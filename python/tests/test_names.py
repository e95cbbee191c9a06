"""Names are text: a model whose names are not UTF-8 is refused at import
with a CompileError naming the field, names given as bytes must be UTF-8, and
messages reach Python whatever bytes a path held."""

import os

import numpy as np
import pytest

import zelk_compiler as zc

onnx = pytest.importorskip("onnx")
from onnx import TensorProto, helper, numpy_helper  # noqa: E402

# Placeholders of the names' own byte length, swapped for raw bytes in the
# serialised model: the protobuf package refuses to set a name that is not UTF-8.
NAMES = {"input": "inXX", "weight": "wtXX", "sum": "smXX", "output": "ouXX"}


def model_bytes(raw=None):
    """x + w, then Relu, with the name of the role `raw` made of bytes that
    are not UTF-8 (or none)."""
    x, w, s, y = (NAMES[role] for role in ("input", "weight", "sum", "output"))
    graph = helper.make_graph(
        [helper.make_node("Add", [x, w], [s]), helper.make_node("Relu", [s], [y])],
        "g",
        [helper.make_tensor_value_info(x, TensorProto.FLOAT, [2, 3])],
        [helper.make_tensor_value_info(y, TensorProto.FLOAT, [2, 3])],
        [numpy_helper.from_array(np.ones((2, 3), np.float32), w)],
    )
    data = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)]).SerializeToString()
    if raw is not None:
        placeholder = NAMES[raw].encode()
        assert data.count(placeholder) >= 1
        data = data.replace(placeholder, placeholder[:2] + b"\xff\xfe")
    return data


def test_a_model_of_utf8_names_imports():
    model = zc.import_onnx(model_bytes())
    assert model.inputs == ["inXX"] and model.outputs == ["ouXX"]
    result = zc.evaluate(model.graph, {"inXX": np.zeros((2, 3), np.float32)}, model.weights)
    assert np.array_equal(result["ouXX"], np.ones((2, 3), np.float32))


@pytest.mark.parametrize(
    "role, field",
    [
        ("input", "input name"),
        ("output", "output name"),
        ("sum", "tensor name"),
        ("weight", "tensor name"),
    ],
)
def test_names_that_are_not_utf8_are_refused_naming_the_field(tmp_path, role, field):
    data = model_bytes(role)
    shown = f'"{NAMES[role][:2]}\\xff\\xfe"'
    with pytest.raises(zc.CompileError) as from_bytes:
        zc.import_onnx(data)
    assert from_bytes.value.message == f"ONNX model: {field} {shown} is not valid UTF-8"
    path = tmp_path / "model.onnx"
    path.write_bytes(data)
    with pytest.raises(zc.CompileError) as from_file:
        zc.load_onnx(path)
    assert from_file.value.message == f"{path}: {field} {shown} is not valid UTF-8"


def test_an_error_naming_a_path_that_is_not_utf8_still_reaches_python(tmp_path):
    path = os.path.join(os.fsencode(tmp_path), b"model\xff.onnx")
    with pytest.raises(zc.CompileError) as error:
        zc.load_onnx(os.fsdecode(path))
    assert "model\ufffd.onnx" in error.value.message
    assert "\ufffd" in str(error.value)


@pytest.mark.parametrize(
    "build",
    [
        lambda name: zc.Graph().input(name, [2]),
        lambda name: zc.Graph().weight(name, [2]),
        lambda name: zc.Tensor(name=name),
        lambda name: zc.Op(name=name),
        lambda name: zc.SpecializationKey(operation=name),
    ],
    ids=["input", "weight", "Tensor", "Op", "SpecializationKey"],
)
def test_names_given_from_python_must_be_unicode(build):
    build("größe")
    build(b"plain")  # bytes that are UTF-8 are taken as the text they hold
    for bad in (b"x\xff", "x\udcff"):
        with pytest.raises(ValueError, match="Unicode|UTF-8"):
            build(bad)
    with pytest.raises(TypeError):
        build(3)


def test_names_read_back_as_the_text_given():
    g = zc.Graph()
    x = g.input(b"gr\xc3\xb6\xc3\x9fe", [2])
    g.mark_output(g.gelu("nul\0inside", x))
    assert [t.name for t in g.tensors] == ["größe", "nul\0inside"]
    assert "größe" in repr(g.tensors[0])
