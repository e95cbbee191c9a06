"""Generated hostile arguments thrown at the bindings' conversions: record
constructors and fields, shapes and axes, NumPy arrays, evaluate's mappings,
options and model bytes. Each call either works or raises a clear Python
exception; a crash or a hang fails the run. Derandomised, so every run tries
the same examples, and bounded to a few tens of seconds."""

import math

import numpy as np
import pytest

import zelk_compiler as zc

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

# The exceptions a conversion or a call may raise on bad arguments.
CLEAR = (TypeError, ValueError, OverflowError, IndexError, zc.CompileError)

FUZZ = settings(
    max_examples=300,
    derandomize=True,
    database=None,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)

integers = st.one_of(
    st.integers(min_value=-3, max_value=70),
    st.sampled_from([-(2**63), -1, 2**15, 2**16, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64]),
    st.integers(),
    st.builds(np.int64, st.integers(min_value=-(2**63), max_value=2**63 - 1)),
    st.builds(np.uint8, st.integers(min_value=0, max_value=255)),
)
texts = st.one_of(
    st.text(max_size=8),
    st.sampled_from(["", "\0", "a\0b", "\udcff", "x\ud800y", "größe", "\uffff"]),
    st.binary(max_size=6),
)
scalars = st.one_of(
    integers,
    st.floats(allow_nan=True, allow_infinity=True),
    st.booleans(),
    st.none(),
    texts,
    st.sampled_from([object(), [], {}, (), 1j, np.float32(2.5), np.bool_(True)]),
)
shapes = st.one_of(
    st.lists(st.integers(min_value=0, max_value=6), max_size=4),
    st.lists(scalars, max_size=4),
    st.tuples(integers, integers),
    scalars,
    st.builds(np.array, st.lists(st.integers(min_value=-2, max_value=5), max_size=3)),
)
values = st.one_of(scalars, shapes, st.lists(st.builds(zc.TensorId, st.integers(0, 4)), max_size=3))

RECORDS = [
    zc.TensorId,
    zc.OpId,
    zc.Tensor,
    zc.Reshape,
    zc.Transpose,
    zc.LayerNorm,
    zc.Softmax,
    zc.Slice,
    zc.Concat,
    zc.ReduceMean,
    zc.Op,
    zc.Graph,
    zc.CompilerOptions,
    zc.Layout,
    zc.Transfer,
    zc.SpecializationKey,
    zc.KernelCommand,
    zc.Exchange,
    zc.Compute,
    zc.Allocation,
    zc.PlanningOptions,
    zc.EncoderConfig,
]
FIELDS = [
    "index", "name", "shape", "kind", "producer", "id", "dtype", "permutation", "epsilon",
    "axis", "start", "end", "inputs", "output", "tensors", "ops", "outputs", "tile_count",
    "data_base", "data_limit", "tensor", "tiles", "sharding", "alignment", "source_tile",
    "destination_tile", "bytes", "operation", "worker_count", "role", "tile", "specialization",
    "transfers", "op", "commands", "address", "size", "live_from", "live_until", "strategy",
    "search_steps", "sequence", "hidden", "heads", "feed_forward",
]  # fmt: skip


def attempt(call):
    """Runs `call`; a clear exception is a fine answer. A result must print."""
    try:
        result = call()
    except CLEAR:
        return None
    repr(result)
    return result


@FUZZ
@given(
    record=st.sampled_from(RECORDS),
    positional=st.lists(values, max_size=3),
    keywords=st.dictionaries(st.sampled_from(FIELDS), values, max_size=4),
)
def test_record_constructors(record, positional, keywords):
    made = attempt(lambda: record(*positional, **keywords))
    if made is not None:
        assert made == made
        for name in keywords:
            if hasattr(made, name):
                repr(getattr(made, name))


@FUZZ
@given(
    record=st.sampled_from([zc.CompilerOptions, zc.PlanningOptions, zc.EncoderConfig]),
    field=st.sampled_from(FIELDS),
    value=values,
)
def test_writable_fields(record, field, value):
    made = record()
    before = repr(made)
    try:
        setattr(made, field, value)
    except (*CLEAR, AttributeError):
        assert repr(made) == before  # a refused value changes nothing
    repr(made)


BUILDERS = [
    lambda g, x, a, b: g.input(a, b),
    lambda g, x, a, b: g.weight("w", a),
    lambda g, x, a, b: g.tensor(a, b, zc.TensorKind.Input),
    lambda g, x, a, b: g.reshape("r", x, a),
    lambda g, x, a, b: g.transpose("t", x, a),
    lambda g, x, a, b: g.softmax("s", x, a),
    lambda g, x, a, b: g.reduce_mean("m", x, a),
    lambda g, x, a, b: g.slice("s", x, a, b, 2),
    lambda g, x, a, b: g.concat("c", [x, x], a),
    lambda g, x, a, b: g.layer_norm(a, x, b),
    lambda g, x, a, b: g.op(a, zc.Reshape(shape=[6]), [x], b),
    lambda g, x, a, b: g.op("o", a, [x], [2, 3]),
    lambda g, x, a, b: g.mark_output(a),
    lambda g, x, a, b: g.elementwise("e", zc.Add(), x, a),
]


@FUZZ
@given(builder=st.sampled_from(BUILDERS), a=values, b=values)
def test_graph_builders(builder, a, b):
    g = zc.Graph()
    x = g.input("x", [2, 3])
    attempt(lambda: builder(g, x, a, b))
    repr(g)
    for tensor in g.tensors:
        assert isinstance(tensor.name, str)
    attempt(lambda: zc.compile(g))


dtypes = st.sampled_from(
    ["float32", ">f4", "float16", "float64", "int8", "uint16", "int32", "int64", "uint64",
     "bool", "complex64", "object", "U3"]
)  # fmt: skip


@st.composite
def arrays(draw):
    shape = draw(st.lists(st.integers(min_value=0, max_value=5), max_size=3))
    dtype = np.dtype(draw(dtypes))
    if dtype.kind == "O":
        array = np.empty(shape, dtype)
    elif dtype.kind == "U":
        array = np.full(shape, "ab", dtype)
    else:
        array = (np.arange(math.prod(shape)) * draw(st.sampled_from([1, -3, 1e30, 2**40]))).reshape(
            shape
        )
        with np.errstate(all="ignore"):
            array = array.astype(dtype)
    layout = draw(st.sampled_from(["C", "F", "strided", "scalar", "list"]))
    if layout == "F":
        array = np.asfortranarray(array)
    elif layout == "strided" and array.ndim > 0:
        array = np.repeat(array, 2, axis=0)[::2]
    elif layout == "scalar":
        array = array.reshape(-1)[:1].reshape(()) if array.size else array
    elif layout == "list":
        return array.tolist()
    return array


array_args = st.one_of(arrays(), scalars)


@FUZZ
@given(
    keys=st.lists(st.one_of(st.sampled_from(["x", "w", "y"]), texts, integers, st.none()), max_size=3),
    items=st.lists(array_args, min_size=3, max_size=3),
    mapping=st.sampled_from(["dict", "list", "none"]),
)
def test_evaluate_values(keys, items, mapping):
    g = zc.Graph()
    x = g.input("x", [2, 3])
    g.mark_output(g.elementwise("y", zc.Add(), x, g.weight("w", [3])))
    given = dict(zip(keys, items)) if mapping == "dict" else None if mapping == "none" else items
    result = attempt(lambda: zc.evaluate(g, given, {"w": items[0]}))
    if result is not None:
        assert list(result) == ["y"] and result["y"].shape == (2, 3)


KERNELS = [
    lambda a, b: zc.matmul(a, b),
    lambda a, b: zc.layer_norm(a, 1e-5),
    lambda a, b: zc.softmax_rows(a),
    lambda a, b: zc.gelu(a),
    lambda a, b: zc.encoder_reference(zc.EncoderConfig(), a, zc.EncoderWeights.deterministic(
        zc.EncoderConfig())),
    lambda a, b: zc.EncoderWeights(wq=a, wk=b),
]


@FUZZ
@given(kernel=st.sampled_from(KERNELS), a=array_args, b=array_args)
def test_kernels_take_arrays(kernel, a, b):
    attempt(lambda: kernel(a, b))


@FUZZ
@given(
    options=st.one_of(
        st.builds(
            dict,
            tile_count=integers,
            data_base=integers,
            data_limit=integers,
        ),
        st.just(None),
    ),
    planning=st.one_of(
        st.builds(dict, strategy=st.sampled_from(list(zc.PlacementStrategy.__members__.values())),
                  search_steps=integers),
        st.just(None),
    ),
    call=st.sampled_from([zc.compile, zc.diagnose_fit]),
)
def test_options(options, planning, call):
    made_options = attempt(lambda: zc.CompilerOptions(**options)) if options else None
    made_planning = attempt(lambda: zc.PlanningOptions(**planning)) if planning else None
    if made_planning is not None:
        made_planning.search_steps = min(made_planning.search_steps, 1000)
    attempt(lambda: call(zc.encoder_graph(), made_options, made_planning))


@FUZZ
@given(
    data=st.one_of(st.binary(max_size=64), st.sampled_from([b"\x08\x07", b"\x12\x00", b""])),
    dims=st.one_of(st.none(), st.dictionaries(st.one_of(texts, integers), values, max_size=2)),
    wrap=st.sampled_from([bytes, bytearray, memoryview, str, list]),
)
def test_model_bytes_and_dims(data, dims, wrap):
    if not hasattr(zc._core, "import_onnx"):
        pytest.skip("built without the ONNX importer")
    attempt(lambda: zc.import_onnx(wrap(data), dims))
