"""Generated builder sequences and hostile arguments: whatever a caller
passes, a call succeeds or raises a Python exception of the documented kinds
and changes nothing; every schedule that comes back is sound."""

import copy

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelk_compiler as zc

EXPECTED = (zc.CompileError, TypeError, ValueError, IndexError)

small_shapes = st.lists(st.integers(0, 6), min_size=0, max_size=3)
names = st.text(max_size=6)
ids = st.integers(0, 12).map(zc.TensorId)
kinds = st.sampled_from(
    [zc.Add(), zc.Mul(), zc.Sub(), zc.Div(), zc.Pow(), zc.Gelu(), zc.GeluErf(), zc.Relu(),
     zc.Erf(), zc.Tanh(), zc.Sqrt(), zc.Exp(), zc.MatMul(), zc.Softmax(axis=0)]
)
hostile = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True),
    st.text(max_size=4),
    st.lists(st.integers(-(2**65), 2**65), max_size=3),
    st.tuples(st.integers(-3, 3)),
    st.builds(zc.TensorId, st.integers(0, 2**64 - 1)),
    st.builds(zc.OpId, st.integers(0, 2**64 - 1)),
    st.just(np.zeros((2, 2), np.float64)),
    st.just(object()),
    st.dictionaries(st.text(max_size=2), st.integers(), max_size=2),
)

# Builder calls as (method, argument strategies).
BUILDERS = [
    ("input", (names, small_shapes)),
    ("weight", (names, small_shapes)),
    ("matmul", (names, ids, ids)),
    ("add", (names, ids, ids)),
    ("transpose", (names, ids, st.permutations([0, 1]) | small_shapes)),
    ("layer_norm", (names, ids, st.floats(0, 1, width=32))),
    ("softmax", (names, ids, st.integers(0, 3))),
    ("gelu", (names, ids)),
    ("mark_output", (ids,)),
    ("mul", (names, ids, ids)),
    ("reshape", (names, ids, small_shapes)),
    ("elementwise", (names, kinds, ids, ids)),
    ("batch_matmul", (names, ids, ids)),
    ("layer_norm", (names, ids, ids, ids, st.floats(0, 1, width=32))),
    ("unary", (names, kinds, ids)),
    ("slice", (names, ids, st.integers(0, 3), st.integers(0, 6), st.integers(0, 6))),
    ("concat", (names, st.lists(ids, max_size=3), st.integers(0, 3))),
    ("reduce_mean", (names, ids, st.integers(0, 3))),
]


@st.composite
def builder_calls(draw, hostile_arguments=False):
    method, strategies = draw(st.sampled_from(BUILDERS))
    if hostile_arguments:
        strategies = [strategy | hostile for strategy in strategies]
    return method, tuple(draw(strategy) for strategy in strategies)


def call_keeping_graph_on_failure(graph, method, arguments):
    before = copy.deepcopy(graph)
    try:
        getattr(graph, method)(*arguments)
    except EXPECTED:
        assert graph == before, f"a failed {method} changed the graph"


def check_schedule(graph, options, schedule):
    """Allocations on one tile whose lifetimes meet never share a byte, and
    every allocation lies in the data window."""
    allocations = schedule.allocations
    tile = allocations.tile.astype(np.int64)
    start = allocations.address.astype(np.int64)
    end = start + allocations.size
    first = allocations.live_from.astype(np.int64)
    last = allocations.live_until.astype(np.int64)
    assert (start >= options.data_base).all() and (end <= options.data_limit).all()
    assert (allocations.tensor < len(graph.tensors)).all()
    same_time = (first[:, None] <= last[None, :]) & (first[None, :] <= last[:, None])
    same_bytes = (start[:, None] < end[None, :]) & (start[None, :] < end[:, None])
    clash = (tile[:, None] == tile[None, :]) & same_time & same_bytes
    np.fill_diagonal(clash, False)
    assert not clash.any(), "live allocations overlap"
    assert len(schedule.layouts) == len(graph.tensors)


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.lists(builder_calls(), max_size=14),
    st.builds(
        zc.CompilerOptions,
        tile_count=st.integers(0, 9),
        data_base=st.sampled_from([0, 16, 0x52000]),
        data_limit=st.sampled_from([0, 64, 4096, 0xE0000]),
    ),
)
def test_generated_graphs_round_trip_and_compile_soundly(calls, options):
    graph = zc.Graph()
    for method, arguments in calls:
        call_keeping_graph_on_failure(graph, method, arguments)

    rebuilt = zc.Graph(tensors=graph.tensors, ops=graph.ops, outputs=graph.outputs)
    assert rebuilt == graph and repr(rebuilt) == repr(graph)

    sources = {t.name: np.ones(t.shape, np.float32) for t in graph.tensors if t.producer is None}
    try:
        outputs = zc.evaluate(graph, sources)
    except zc.CompileError:
        pass
    else:
        shapes = {graph.tensors[o.index].name: tuple(graph.tensors[o.index].shape)
                  for o in graph.outputs}
        assert {name: value.shape for name, value in outputs.items()} == shapes

    try:
        schedule = zc.compile(graph, options)
    except zc.CompileError as error:
        assert error.kind in ("Graph", "Memory") and error.message
        return
    check_schedule(graph, options, schedule)
    assert zc.compile(rebuilt, options) == schedule


@settings(max_examples=300, deadline=None)
@given(st.data())
def test_hostile_arguments_to_builders_raise_cleanly(data):
    graph = zc.encoder_graph(zc.EncoderConfig(sequence=2, hidden=4, heads=2, feed_forward=4))
    method, arguments = data.draw(builder_calls(hostile_arguments=True))
    call_keeping_graph_on_failure(graph, method, arguments)


CONSTRUCTORS = [
    (zc.CompilerOptions, ("tile_count", "data_base", "data_limit")),
    (zc.EncoderConfig, ("sequence", "hidden", "heads", "feed_forward")),
    (zc.Tensor, ("id", "name", "dtype", "shape", "kind", "producer")),
    (zc.Op, ("id", "name", "kind", "inputs", "output")),
    (zc.Layout, ("tensor", "tiles", "sharding", "alignment")),
    (zc.Allocation, ("tensor", "tile", "address", "size", "live_from", "live_until")),
    (zc.Reshape, ("shape",)),
    (zc.Softmax, ("axis",)),
    (zc.EncoderWeights, ("wq", "w1")),
]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(CONSTRUCTORS), st.data())
def test_hostile_arguments_to_constructors_raise_cleanly(constructor, data):
    record, fields = constructor
    keywords = data.draw(st.dictionaries(st.sampled_from(fields), hostile, max_size=3))
    try:
        value = record(**keywords)
    except EXPECTED:
        return
    # repr, not ==: a NaN weight is unequal to itself.
    assert repr(value) == repr(copy.deepcopy(value))


FUNCTIONS = [
    (zc.compile, 2),
    (zc.evaluate, 3),
    (zc.matmul, 2),
    (zc.layer_norm, 2),
    (zc.softmax_rows, 1),
    (zc.gelu, 1),
    (zc.encoder_graph, 1),
    (zc.encoder_stack_graph, 2),
    (zc.operation_name, 1),
    (zc.choose_layout, 2),
    (zc.local_bytes, 2),
]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(FUNCTIONS), st.data())
def test_hostile_arguments_to_functions_raise_cleanly(function, data):
    call, arity = function
    arguments = data.draw(st.tuples(*[hostile] * arity))
    try:
        call(*arguments)
    except EXPECTED:
        pass


@settings(max_examples=100, deadline=None)
@given(
    st.builds(
        zc.EncoderConfig,
        sequence=st.integers(0, 6) | st.just(2**63),
        hidden=st.integers(0, 8) | st.just(2**40),
        heads=st.integers(0, 4),
        feed_forward=st.integers(0, 8) | st.just(2**62),
    ),
    st.integers(0, 50),
    st.integers(0, 100),
)
def test_the_reference_refuses_what_does_not_fit(config, input_length, weight_length):
    weights = zc.EncoderWeights(
        **{name: np.ones(weight_length, np.float32) for name in ("wq", "wk", "wv", "wo", "w1", "w2")}
    )
    try:
        result = zc.encoder_reference(config, np.ones(input_length, np.float32), weights)
    except zc.CompileError:
        return
    except ValueError as error:
        # An empty result with an extent NumPy cannot hold.
        assert config.sequence >= 2**63 and "array extent" in str(error)
        return
    assert result.shape == (config.sequence, config.hidden)
