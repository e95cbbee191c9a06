"""Building graphs from Python: builders, records, sequence views, errors."""

import copy

import pytest

import zelk_compiler as zc


def small_graph():
    graph = zc.Graph()
    x = graph.input("x", [4, 8])
    w = graph.weight("w", (8, 8))
    scores = graph.matmul("scores", x, w)
    graph.mark_output(graph.gelu("act", scores))
    return graph


def test_builders_return_ids_in_order_and_record_the_graph():
    graph = small_graph()
    assert [t.name for t in graph.tensors] == ["x", "w", "scores", "act"]
    assert [t.kind for t in graph.tensors] == [
        zc.TensorKind.Input,
        zc.TensorKind.Weight,
        zc.TensorKind.Intermediate,
        zc.TensorKind.Output,
    ]
    assert graph.tensors[2].shape == [4, 8]
    assert graph.tensors[2].producer == zc.OpId(0)
    assert graph.tensors[0].producer is None
    assert graph.ops[0] == zc.Op(
        id=zc.OpId(0),
        name="scores",
        kind=zc.MatMul(),
        inputs=[zc.TensorId(0), zc.TensorId(1)],
        output=zc.TensorId(2),
    )
    assert graph.outputs == [zc.TensorId(3)]
    graph.validate()


def test_repr_names_the_record_and_its_identifying_fields():
    graph = zc.Graph()
    graph.mark_output(graph.input("x", [2]))
    assert repr(graph) == "Graph(tensors=1, ops=0, outputs=[TensorId(0)])"
    assert repr(graph.tensors[0]) == (
        "Tensor(id=TensorId(0), name='x', dtype=F32, shape=[2], kind=Output, producer=None)"
    )
    assert repr(zc.LayerNorm(epsilon=1e-5)) == "LayerNorm(epsilon=1e-05)"
    assert repr(zc.TensorKind.Weight) == "Weight"
    assert str(zc.TensorKind.Weight) == "TensorKind.Weight"
    assert repr(graph.outputs) == "[TensorId(0)]"
    assert repr(zc.CompilerOptions()) == (
        "CompilerOptions(tile_count=64, data_base=335872, data_limit=917504)"
    )
    assert str(graph) == repr(graph)


def test_views_follow_the_graph_as_it_grows():
    graph = zc.Graph()
    tensors = graph.tensors
    assert len(tensors) == 0
    graph.input("a", [1])
    graph.input("b", [2])
    assert len(tensors) == 2
    assert tensors[-1].name == "b"
    assert [t.name for t in tensors] == ["a", "b"]
    assert [t.name for t in tensors[::-1]] == ["b", "a"]
    assert tensors[5:] == []
    with pytest.raises(IndexError):
        tensors[2]
    with pytest.raises(IndexError):
        tensors[-3]


def test_a_view_keeps_its_graph_alive():
    tensors = small_graph().tensors
    assert tensors[1].name == "w"


def test_records_handed_out_are_copies_and_read_only():
    graph = small_graph()
    tensor = graph.tensors[0]
    with pytest.raises(AttributeError):
        tensor.name = "renamed"
    shape = tensor.shape
    shape.append(99)
    assert graph.tensors[0].shape == [4, 8]


def test_graph_equality_copies_and_raw_records():
    graph = small_graph()
    rebuilt = zc.Graph(tensors=list(graph.tensors), ops=list(graph.ops), outputs=graph.outputs)
    assert rebuilt == graph
    duplicate = copy.deepcopy(graph)
    assert duplicate == graph
    duplicate.input("extra", [1])
    assert duplicate != graph
    assert len(graph.tensors) == 4
    assert copy.copy(zc.TensorId(3)) == zc.TensorId(3)
    assert graph != "a graph"


def test_ids_hash_and_order_by_position():
    assert {zc.TensorId(1): "a"}[zc.TensorId(1)] == "a"
    assert sorted([zc.OpId(3), zc.OpId(1)]) == [zc.OpId(1), zc.OpId(3)]
    assert zc.TensorId(2) != zc.OpId(2)


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda g, x, w: g.matmul("bad", x, x), "bad: incompatible matmul [4, 8] x [4, 8]"),
        (lambda g, x, w: g.add("sum", x, w), "sum: binary shapes differ"),
        (lambda g, x, w: g.softmax("s", x, 2), "s: softmax axis out of range"),
        (lambda g, x, w: g.gelu("g", zc.TensorId(99)), "g: unknown input"),
        (lambda g, x, w: g.transpose("t", x, [0, 0]), "t: invalid transpose permutation"),
    ],
)
def test_a_misfit_raises_compile_error_and_leaves_the_graph_unchanged(build, message):
    graph = zc.Graph()
    x = graph.input("x", [4, 8])
    w = graph.weight("w", [8, 8])
    before = copy.deepcopy(graph)
    with pytest.raises(zc.CompileError) as raised:
        build(graph, x, w)
    assert raised.value.kind == "Graph"
    assert raised.value.message == message
    assert str(raised.value) == f'Graph("{message}")'
    assert graph == before


def test_validate_reports_what_is_wrong():
    graph = zc.Graph()
    graph.input("x", [2])
    with pytest.raises(zc.CompileError, match="graph has no outputs"):
        graph.validate()
    lying = zc.Graph(
        tensors=[zc.Tensor(id=zc.TensorId(5), name="x", shape=[2], kind=zc.TensorKind.Output)],
        outputs=[zc.TensorId(0)],
    )
    with pytest.raises(zc.CompileError) as raised:
        lying.validate()
    assert raised.value.kind == "Graph"


def test_generic_builders_take_any_kind():
    graph = zc.Graph()
    x = graph.input("x", [2, 3])
    y = graph.input("y", [2, 3])
    product = graph.binary("p", zc.Mul(), x, y)
    flat = graph.op("flat", zc.Reshape(shape=[6]), [product], [6])
    assert graph.ops[1].kind == zc.Reshape(shape=[6])
    assert graph.tensors[flat.index].shape == [6]
    assert zc.operation_name(graph.ops[0].kind) == "mul"
    assert graph.tensor("t", [1], zc.TensorKind.Weight) == zc.TensorId(4)


def test_tensor_helpers():
    tensor = zc.Tensor(name="t", shape=[3, 1024])
    assert tensor.elements() == 3072
    assert zc.DType.F32.size == 4
    layout = zc.choose_layout(tensor, 64)
    assert layout.tiles == list(range(12))
    assert zc.local_bytes(tensor, layout) == 1024
    assert zc.worker_count(tensor) == 6
    with pytest.raises(ValueError, match="does not fit 64 bits"):
        zc.Tensor(shape=[2**32, 2**32]).elements()
    with pytest.raises(ValueError):
        zc.choose_layout(tensor, 0)


def test_element_types_of_sources_and_results():
    assert [(name, value.size) for name, value in zc.DType.__members__.items()] == [
        ("F32", 4),
        ("F16", 2),
        ("BF16", 2),
        ("I32", 4),
        ("I64", 8),
    ]
    graph = zc.Graph()
    x = graph.input("x", [4, 8], dtype=zc.DType.BF16)
    w = graph.weight("w", [8, 8], zc.DType.BF16)
    plain = graph.input("plain", [4, 8])
    ids = graph.tensor("ids", [4], zc.TensorKind.Input, dtype=zc.DType.I64)
    y = graph.matmul("y", x, w)
    assert [t.dtype for t in graph.tensors] == [zc.DType.BF16] * 2 + [zc.DType.F32] + [
        zc.DType.I64,
        zc.DType.BF16,
    ]
    assert "dtype=BF16" in repr(graph.tensors[y])
    assert graph.tensors[y.index].dtype == zc.DType.BF16
    layout = zc.choose_layout(graph.tensors[y.index], 64)
    assert zc.local_bytes(graph.tensors[y.index], layout) == 4 * 8 * 2
    with pytest.raises(zc.CompileError) as mixed:
        graph.add("s", y, plain)
    assert mixed.value.message == "s: mixed input types BF16 and F32"
    with pytest.raises(zc.CompileError) as integers:
        graph.unary("e", zc.Exp(), ids)
    assert integers.value.message == "e: exp takes floating-point inputs, not I64"
    with pytest.raises(TypeError):
        graph.input("bad", [2], dtype="f16")
    half = graph.cast("half", ids, zc.DType.F16)
    assert graph.tensors[half.index].dtype == zc.DType.F16
    assert zc.operation_name(graph.ops[-1].kind) == "cast"
    assert graph.ops[-1].kind.to == zc.DType.F16


@pytest.mark.parametrize(
    "build, shape, kind",
    [
        (lambda g, x, v: g.mul("r", x, x), [2, 3, 4], zc.Mul()),
        (lambda g, x, v: g.reshape("r", x, [6, 4]), [6, 4], zc.Reshape(shape=[6, 4])),
        (lambda g, x, v: g.elementwise("r", zc.Sub(), x, v), [2, 3, 4], zc.Sub()),
        (lambda g, x, v: g.elementwise("r", zc.Pow(), v, x), [2, 3, 4], zc.Pow()),
        (lambda g, x, v: g.batch_matmul("r", x, g.weight("w", [4, 5])), [2, 3, 5], zc.MatMul()),
        (lambda g, x, v: g.layer_norm("r", x, v, v, 1e-5), [2, 3, 4], zc.LayerNorm(epsilon=1e-5)),
        (lambda g, x, v: g.unary("r", zc.GeluErf(), x), [2, 3, 4], zc.GeluErf()),
        (lambda g, x, v: g.slice("r", x, 1, 1, 3), [2, 2, 4], zc.Slice(axis=1, start=1, end=3)),
        (lambda g, x, v: g.concat("r", [x, x, x], 0), [6, 3, 4], zc.Concat(axis=0)),
        (lambda g, x, v: g.reduce_mean("r", x, 2), [2, 3, 1], zc.ReduceMean(axis=2)),
        (lambda g, x, v: g.unary("r", zc.Sigmoid(), x), [2, 3, 4], zc.Sigmoid()),
        (lambda g, x, v: g.cast("r", x, zc.DType.BF16), [2, 3, 4], zc.Cast(to=zc.DType.BF16)),
    ],
)
def test_builders_of_the_extended_set(build, shape, kind):
    graph = zc.Graph()
    x = graph.input("x", [2, 3, 4])
    v = graph.weight("v", [4])
    result = build(graph, x, v)
    assert graph.tensors[result.index].shape == shape
    assert graph.ops[-1].kind == kind


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda g, x, v: g.reshape("r", x, [4, 2]), "r: invalid reshape [2, 3, 4] to [4, 2]"),
        (
            lambda g, x, v: g.elementwise("e", zc.Add(), x, g.input("y", [3, 2])),
            "e: shapes do not broadcast [2, 3, 4] and [3, 2]",
        ),
        (lambda g, x, v: g.mul("m", x, v), "m: binary shapes differ"),
        (lambda g, x, v: g.batch_matmul("b", x, x), "b: incompatible matmul [2, 3, 4] x [2, 3, 4]"),
    ],
)
def test_misfits_of_the_extended_set(build, message):
    graph = zc.Graph()
    x = graph.input("x", [2, 3, 4])
    v = graph.weight("v", [4])
    with pytest.raises(zc.CompileError) as raised:
        build(graph, x, v)
    assert raised.value.message == message


def test_a_kind_a_builder_cannot_take_is_a_broken_precondition():
    graph = zc.Graph()
    x = graph.input("x", [2])
    with pytest.raises(ValueError, match="element-wise binary"):
        graph.elementwise("e", zc.Relu(), x, x)
    with pytest.raises(ValueError, match="element-wise unary"):
        graph.unary("u", zc.Add(), x)
    with pytest.raises(TypeError):
        graph.unary("u", zc.Relu, x)
    assert len(graph.ops) == 0
