"""Host evaluation from Python: dictionaries of arrays in and out, the
reference kernels' bits where a kind is one of theirs, NumPy's results to
within rounding elsewhere."""

import numpy as np
import pytest

import literal
import zelk_compiler as zc

f32 = np.float32
rng = np.random.default_rng(7)


def values(*shape):
    return (rng.standard_normal(shape) * 0.5).astype(f32)


def test_kinds_the_reference_knows_give_its_bits():
    graph = zc.Graph()
    x = graph.input("x", [5, 6])
    w = graph.weight("w", [6, 7])
    product = graph.matmul("product", x, w)
    norm = graph.layer_norm("norm", product, 1e-5)
    soft = graph.softmax("soft", norm, 1)
    graph.mark_output(graph.gelu("out", soft))
    x_value, w_value = values(5, 6), values(6, 7)
    result = zc.evaluate(graph, {"x": x_value}, {"w": w_value})
    expected = zc.gelu(zc.softmax_rows(zc.layer_norm(zc.matmul(x_value, w_value), 1e-5)))
    assert list(result) == ["out"]
    assert literal.same_bits(result["out"], expected)


# name, builder, NumPy's meaning; every input of shape [2, 3, 4] unless a
# builder makes its own.
KINDS = [
    ("add", lambda g, x: g.elementwise("r", zc.Add(), x, g.weight("b", [4])), lambda x, b: x + b),
    ("sub", lambda g, x: g.elementwise("r", zc.Sub(), g.weight("b", [3, 1]), x), lambda x, b: b - x),
    ("mul", lambda g, x: g.elementwise("r", zc.Mul(), x, g.weight("b", [1])), lambda x, b: x * b),
    ("div", lambda g, x: g.elementwise("r", zc.Div(), x, g.weight("b", [4])), lambda x, b: x / b),
    ("batch", lambda g, x: g.batch_matmul("r", x, g.weight("b", [4, 5])), lambda x, b: x @ b),
    ("relu", lambda g, x: g.unary("r", zc.Relu(), x), lambda x: np.maximum(x, 0)),
    ("exp", lambda g, x: g.unary("r", zc.Exp(), x), np.exp),
    ("tanh", lambda g, x: g.unary("r", zc.Tanh(), x), np.tanh),
    ("sigmoid", lambda g, x: g.unary("r", zc.Sigmoid(), x), lambda x: 1 / (1 + np.exp(-x))),
    ("slice", lambda g, x: g.slice("r", x, 2, 1, 3), lambda x: x[:, :, 1:3]),
    ("concat", lambda g, x: g.concat("r", [x, x], 1), lambda x: np.concatenate([x, x], 1)),
    ("mean", lambda g, x: g.reduce_mean("r", x, 2), lambda x: x.mean(2, keepdims=True)),
    ("transpose", lambda g, x: g.transpose("r", x, [2, 0, 1]), lambda x: x.transpose(2, 0, 1)),
    ("reshape", lambda g, x: g.reshape("r", x, [4, 6]), lambda x: x.reshape(4, 6)),
    (
        "layer_norm",
        lambda g, x: g.layer_norm("r", x, g.weight("b", [4]), g.weight("c", [4]), 1e-5),
        lambda x, b, c: (x - x.mean(-1, keepdims=True))
        / np.sqrt(x.var(-1, keepdims=True) + 1e-5) * b + c,
    ),
]


@pytest.mark.parametrize("name, build, meaning", KINDS, ids=[k[0] for k in KINDS])
def test_each_kind_means_what_numpy_means(name, build, meaning):
    graph = zc.Graph()
    x = graph.input("x", [2, 3, 4])
    graph.mark_output(build(graph, x))
    given = {"x": values(2, 3, 4)}
    weights = {
        t.name: values(*t.shape) + (f32(2) if name == "div" else f32(0))
        for t in graph.tensors
        if t.kind == zc.TensorKind.Weight
    }
    result = zc.evaluate(graph, given, weights)["r"]
    expected = meaning(given["x"], *weights.values())
    assert result.shape == expected.shape and result.dtype == f32
    np.testing.assert_allclose(result, expected, rtol=1e-5, atol=1e-5)


def test_values_are_taken_flat_or_in_their_tensors_shape():
    graph = zc.Graph()
    x = graph.input("x", [2, 3])
    graph.mark_output(graph.unary("y", zc.Relu(), x))
    shaped = values(2, 3)
    flat = zc.evaluate(graph, {"x": shaped.ravel()})["y"]
    assert literal.same_bits(flat, zc.evaluate(graph, {"x": shaped})["y"])
    assert literal.same_bits(flat, zc.evaluate(graph, {"x": np.asfortranarray(shaped)})["y"])
    assert flat.shape == (2, 3)


@pytest.mark.parametrize(
    "inputs, weights, error, message",
    [
        ({}, None, zc.CompileError, "missing value for x"),
        ({"x": np.zeros(5, f32)}, None, zc.CompileError, "value size mismatch for x"),
        ({"x": np.zeros((3, 2), f32)}, None, ValueError, "x: a value of shape \\(3, 2\\)"),
        ({"x": np.zeros(6, f32)}, {"x": np.zeros(6, f32)}, ValueError, "as an input and as a weight"),
        ({"x": np.full(6, 0.1)}, None, TypeError, "cannot represent exactly"),
        ([("x", np.zeros(6, f32))], None, TypeError, "must map tensor names"),
        ({1: np.zeros(6, f32)}, None, TypeError, "keyed by tensor name"),
        (None, None, zc.CompileError, "missing value for x"),
    ],
)
def test_evaluate_refuses_values_that_do_not_fit(inputs, weights, error, message):
    graph = zc.Graph()
    x = graph.input("x", [2, 3])
    graph.mark_output(graph.unary("y", zc.Relu(), x))
    with pytest.raises(error, match=message):
        zc.evaluate(graph, inputs, weights)


def test_sixteen_bit_values_round_once_per_operation():
    # NumPy's float16 arithmetic computes in float32 and rounds once, as
    # evaluate does; values come in as float16 arrays and out as float32.
    graph = zc.Graph()
    x = graph.input("x", [3, 4], dtype=zc.DType.F16)
    w = graph.weight("w", [4, 2], dtype=zc.DType.F16)
    total = graph.add("total", x, x)
    graph.mark_output(graph.matmul("product", total, w))
    graph.mark_output(graph.cast("wide", total, zc.DType.F32))
    x_value = values(3, 4).astype(np.float16)
    w_value = values(4, 2).astype(np.float16)
    result = zc.evaluate(graph, {"x": x_value}, {"w": w_value})
    doubled = (x_value.astype(f32) + x_value.astype(f32)).astype(np.float16)
    expected = (doubled.astype(f32) @ w_value.astype(f32)).astype(np.float16)
    assert result["wide"].dtype == f32
    np.testing.assert_array_equal(result["wide"], doubled.astype(f32))
    np.testing.assert_allclose(result["product"], expected.astype(f32), rtol=1e-3)
    assert np.array_equal(result["product"].astype(np.float16).astype(f32), result["product"])
    with pytest.raises(zc.CompileError, match="value for x is not of type F16: element 0 is 0.1"):
        zc.evaluate(graph, {"x": np.full((3, 4), 0.1, f32)}, {"w": w_value})


def test_an_invalid_graph_is_a_compile_error():
    graph = zc.Graph()
    graph.input("x", [2])
    with pytest.raises(zc.CompileError, match="graph has no outputs"):
        zc.evaluate(graph, {"x": np.zeros(2, f32)})


def test_a_gather_looks_rows_up_by_int64_ids():
    graph = zc.Graph()
    table = graph.weight("word_embeddings", [30, 4])
    ids = graph.input("input_ids", [2, 3], dtype=zc.DType.I64)
    graph.mark_output(graph.gather("emb", table, ids))
    rows = values(30, 4)
    chosen = np.array([[0, 29, -1], [-30, 7, 7]], dtype=np.int64)
    result = zc.evaluate(graph, {"input_ids": chosen}, {"word_embeddings": rows})
    assert literal.same_bits(result["emb"], rows[chosen])
    with pytest.raises(zc.CompileError, match="id 30 is outside table 'word_embeddings' of 30 rows"):
        zc.evaluate(graph, {"input_ids": chosen + 30}, {"word_embeddings": rows})
