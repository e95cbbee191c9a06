"""ONNX models from Python: files and bytes through the importer, PyTorch
modules exported in memory, and what goes wrong on the way."""

import collections
import pathlib
import sys

import numpy as np
import pytest

import zelk_compiler as zc

DATA = pathlib.Path(__file__).resolve().parents[2] / "crates" / "zelk-onnx" / "tests" / "data"


def close_to(result, expected):
    """Within 1e-4 of the expected output's largest magnitude."""
    return np.abs(result - expected).max() <= 1e-4 * np.abs(expected).max()


@pytest.mark.parametrize("name", ["mlp.op13", "encoder_pre_norm.op17", "gpt_block.op14"])
def test_fixtures_import_evaluate_and_compile(name):
    model = zc.load_onnx(DATA / f"{name}.onnx")
    stem = name.split(".")[0]
    given = np.load(DATA / f"{stem}.input.npy")
    expected = np.load(DATA / f"{stem}.output.npy")
    result = zc.evaluate(model.graph, {model.inputs[0]: given}, model.weights)
    assert list(result) == model.outputs
    assert close_to(result[model.outputs[0]], expected)
    zc.compile(model.graph, zc.CompilerOptions(tile_count=16))


def test_weights_are_read_only_arrays_in_their_tensors_shapes():
    model = zc.load_onnx(str(DATA / "mlp.op17.onnx"))
    shapes = {t.name: tuple(t.shape) for t in model.graph.tensors if t.kind == zc.TensorKind.Weight}
    weights = model.weights
    assert {name: value.shape for name, value in weights.items()} == shapes
    for value in weights.values():
        assert value.dtype == np.float32 and not value.flags.writeable
    assert repr(model).startswith("OnnxModel(inputs=['x'], outputs=[")


def test_bytes_import_as_the_file_does():
    path = DATA / "mlp.op13.onnx"
    from_file = zc.load_onnx(path)
    for data in (path.read_bytes(), bytearray(path.read_bytes()), memoryview(path.read_bytes())):
        from_bytes = zc.import_onnx(data)
        assert from_bytes.graph == from_file.graph
        assert from_bytes.inputs == from_file.inputs and from_bytes.outputs == from_file.outputs
        assert all(np.array_equal(from_bytes.weights[k], v) for k, v in from_file.weights.items())


def test_symbolic_dimensions_take_their_extents_from_dims():
    model = zc.load_onnx(DATA / "bert_layer.op17.onnx", dims={"batch": 3, "sequence": 5})
    given = np.load(DATA / "bert_layer.b3s5.input.npy")
    expected = np.load(DATA / "bert_layer.b3s5.output.npy")
    result = zc.evaluate(model.graph, {"x": given}, model.weights)["y"]
    assert result.shape == (3, 5, 32) and close_to(result, expected)


@pytest.mark.parametrize(
    "load, error, message",
    [
        (lambda: zc.load_onnx(DATA / "missing.onnx"), zc.CompileError, "missing.onnx"),
        (lambda: zc.import_onnx(b"not a model"), zc.CompileError, "not an ONNX model"),
        (lambda: zc.import_onnx(b""), zc.CompileError, "ONNX model"),
        (lambda: zc.import_onnx((DATA / "mlp.op13.onnx").read_bytes()[:500]), zc.CompileError, ""),
        (lambda: zc.load_onnx(DATA / "mlp.op17.onnx", dims={"batch": 2}), zc.CompileError, "batch"),
        (lambda: zc.load_onnx(DATA / "mlp.op17.onnx", dims={"batch": -2}), ValueError, "batch"),
        (lambda: zc.load_onnx(DATA / "mlp.op17.onnx", dims=[("batch", 2)]), TypeError, "dims"),
        (lambda: zc.load_onnx(None), TypeError, ""),
        (lambda: zc.import_onnx("text, not bytes"), TypeError, ""),
        (lambda: zc.import_onnx(memoryview(b"abcd")[::2]), TypeError, "contiguous"),
    ],
)
def test_import_failures_are_clear(load, error, message):
    with pytest.raises(error, match=message):
        load()


def test_from_torch_says_what_to_install_without_pytorch(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)
    with pytest.raises(ImportError, match="python3-torch"):
        zc.from_torch(object(), ())


# PyTorch's exporter warns about things that are not this package's concern.
pytorch_warnings = pytest.mark.filterwarnings("ignore::UserWarning", "ignore::DeprecationWarning")


@pytorch_warnings
def test_a_pytorch_module_imports_with_its_parameter_names_and_evaluates_as_pytorch():
    torch = pytest.importorskip("torch", reason="PyTorch (python3-torch) is not installed")

    class Block(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.norm = torch.nn.LayerNorm(16)
            self.up = torch.nn.Linear(16, 32)
            self.down = torch.nn.Linear(32, 16)

        def forward(self, tokens):
            return tokens + self.down(torch.nn.functional.gelu(self.up(self.norm(tokens))))

    torch.manual_seed(0)
    block = Block().eval()
    example = torch.randn(2, 8, 16)
    model = zc.from_torch(block, example, output_names=["out"])
    assert model.inputs == ["tokens"] and model.outputs == ["out"]
    with torch.no_grad():
        expected = block(example).numpy()
    result = zc.evaluate(model.graph, {"tokens": example.numpy()}, model.weights)["out"]
    assert close_to(result, expected)
    schedule = zc.compile(model.graph, zc.CompilerOptions(tile_count=8))
    names = [tensor.name for tensor in model.graph.tensors]
    assert "tokens" in {names[i] for i in schedule.allocations.tensor}


@pytorch_warnings
def test_dynamic_axes_become_dims():
    torch = pytest.importorskip("torch", reason="PyTorch (python3-torch) is not installed")
    net = torch.nn.Sequential(torch.nn.Linear(8, 4), torch.nn.ReLU())
    model = zc.from_torch(
        net,
        torch.randn(2, 8),
        dims={"batch": 5},
        input_names=["x"],
        output_names=["y"],
        dynamic_axes={"x": {0: "batch"}, "y": {0: "batch"}},
    )
    x = np.random.default_rng(1).standard_normal((5, 8)).astype(np.float32)
    with torch.no_grad():
        expected = net(torch.from_numpy(x)).numpy()
    assert close_to(zc.evaluate(model.graph, {"x": x}, model.weights)["y"], expected)
    with pytest.raises(zc.CompileError, match="batch"):
        zc.from_torch(net, torch.randn(2, 8), input_names=["x"], dynamic_axes={"x": {0: "batch"}})


Pair = collections.namedtuple("Pair", ["low", "high"])


def returning(torch, shape):
    """A linear layer whose output's halves are returned as `shape` says."""

    class Returning(torch.nn.Module):
        def __init__(self):
            super().__init__()
            self.linear = torch.nn.Linear(4, 4)

        def forward(self, x):
            y = self.linear(x)
            low, high = y[:, :2] * 1.0, y[:, 2:] * 1.0
            return {
                "one": y,
                "tuple": (low, high),
                "dict": {"low": low, "high": high},
                "named": Pair(low, high),
                "nested": {"parts": Pair(low, high)},
            }[shape]

    return Returning()


@pytorch_warnings
@pytest.mark.parametrize(
    "shape, given, names",
    [
        ("one", None, ["output0"]),
        ("tuple", None, ["output0", "output1"]),
        ("dict", None, ["low", "high"]),
        ("named", None, ["low", "high"]),
        ("nested", None, ["parts.low", "parts.high"]),
        ("dict", ["a", "b"], ["a", "b"]),
    ],
)
def test_outputs_of_a_pytorch_module_are_named_as_it_returns_them(shape, given, names):
    torch = pytest.importorskip("torch", reason="PyTorch (python3-torch) is not installed")
    torch.manual_seed(0)
    module = returning(torch, shape).train()
    example = torch.randn(3, 4)
    model = zc.from_torch(module, example, output_names=given)
    assert model.outputs == names
    assert module.training  # put back as it was
    outputs = zc.evaluate(model.graph, {"x": example.numpy()}, model.weights)
    assert list(outputs) == names
    with torch.no_grad():
        expected = module.linear(example).numpy()
    parts = [outputs[name] for name in names]
    joined = np.concatenate(parts, axis=1) if len(parts) == 2 else parts[0]
    assert np.abs(joined - expected).max() <= 1e-5


@pytorch_warnings
def test_a_missing_weight_is_named_as_the_model_names_it():
    torch = pytest.importorskip("torch", reason="PyTorch (python3-torch) is not installed")
    mlp = torch.nn.Sequential(torch.nn.Linear(8, 16), torch.nn.GELU(), torch.nn.Linear(16, 4))
    model = zc.from_torch(mlp, torch.randn(2, 8))
    assert any(name.endswith(":transposed") for name in model.weights)
    x = np.ones((2, 8), np.float32)
    with pytest.raises(zc.CompileError) as missing:
        zc.evaluate(model.graph, {"input": x})
    assert missing.value.message.startswith("missing value for weight '0.weight' (held transposed")
    # A weight the model names itself is named as before.
    weights = {k: v for k, v in model.weights.items() if k != "0.bias"}
    with pytest.raises(zc.CompileError) as missing:
        zc.evaluate(model.graph, {"input": x}, weights)
    assert missing.value.message == "missing value for 0.bias"
