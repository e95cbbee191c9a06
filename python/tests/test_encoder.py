"""The encoder workload from Python: kernels and the reference on NumPy
arrays, bit for bit the library's results, whatever the array's layout."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import literal
import zelk_compiler as zc

f32 = np.float32
SPECIALS = [np.nan, np.inf, -np.inf, -0.0, float(f32(1e-45)), float(f32(3e38))]


def ramp(count):
    return (np.arange(count, dtype=f32) - f32(9)) / f32(16)


def matrices(max_side=9, specials=True):
    shapes = hnp.array_shapes(min_dims=2, max_dims=2, min_side=0, max_side=max_side)
    elements = st.floats(-4, 4, width=32)
    if specials:
        elements = elements | st.sampled_from(SPECIALS)
    return hnp.arrays(f32, shapes, elements=elements)


# Ways a caller's float32 matrix may be laid out that must not change a value.
LAYOUTS = {
    "c order": lambda m: np.ascontiguousarray(m),
    "fortran order": lambda m: np.asfortranarray(m),
    "strided": lambda m: np.repeat(m, 2, axis=1)[:, ::2],
    "big endian": lambda m: m.astype(">f4"),
    "float16": lambda m: m.astype(np.float16),
    "float64": lambda m: m.astype(np.float64),
    "nested lists": lambda m: m.tolist(),
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_every_layout_of_an_argument_gives_the_same_bits(layout):
    left = ramp(12).reshape(3, 4)
    right = ramp(20).reshape(4, 5) * f32(3)
    if layout == "float16":
        left = left.astype(np.float16).astype(f32)
        right = right.astype(np.float16).astype(f32)
    arrange = LAYOUTS[layout]
    expected = literal.matmul(left, right)
    assert literal.same_bits(zc.matmul(arrange(left), arrange(right)), expected)
    assert literal.same_bits(zc.layer_norm(arrange(left), 1e-5), literal.layer_norm(left, 1e-5))
    assert literal.same_bits(zc.softmax_rows(arrange(left)), literal.softmax_rows(left))
    assert literal.same_bits(zc.gelu(arrange(left)), literal.gelu(left))


@settings(max_examples=60, deadline=None)
@given(st.data())
def test_matmul_gives_the_literal_bits(data):
    left = data.draw(matrices())
    right = data.draw(
        hnp.arrays(
            f32,
            (left.shape[1], data.draw(st.integers(0, 9))),
            elements=st.floats(-4, 4, width=32) | st.sampled_from(SPECIALS),
        )
    )
    result = zc.matmul(left, right)
    assert result.dtype == f32 and result.flags.c_contiguous
    assert literal.same_bits(result, literal.matmul(left, right))


@settings(max_examples=40, deadline=None)
@given(matrices(), st.floats(0, 1, width=32))
def test_row_kernels_give_the_literal_bits(values, epsilon):
    before = values.copy()
    assert literal.same_bits(zc.layer_norm(values, epsilon), literal.layer_norm(values, epsilon))
    assert literal.same_bits(zc.softmax_rows(values), literal.softmax_rows(values))
    assert literal.same_bits(zc.gelu(values), literal.gelu(values))
    assert literal.same_bits(values, before), "a kernel changed its argument"


def test_gelu_of_scalars():
    assert zc.gelu(0.5) == float(literal.gelu(f32(0.5)))
    assert isinstance(zc.gelu(0.5), float)
    assert zc.gelu(f32(0.5)) == literal.gelu(f32(0.5))
    assert zc.gelu(np.zeros((0, 3), f32)).shape == (0, 3)


@pytest.mark.parametrize(
    "value, error, message",
    [
        (np.array([[0.1]]), TypeError, "cannot represent exactly"),
        (np.array([[2**25 + 1]]), TypeError, "beyond 2\\*\\*24"),
        (np.array([["a"]]), TypeError, "expected float32 values"),
        (np.array([[1 + 2j]], np.complex64), TypeError, "expected float32 values"),
        (None, TypeError, "got None"),
        (np.ones(3, f32), ValueError, "expected 2 dimensions"),
        (np.ones((1, 1, 1), f32), ValueError, "expected 2 dimensions"),
    ],
)
def test_arguments_that_would_lose_values_or_shape_are_refused(value, error, message):
    with pytest.raises(error, match=message):
        zc.layer_norm(value, 1e-5)


def test_exact_conversions_are_accepted():
    assert zc.layer_norm(np.array([[1.5, 2.0]]), 0.0).dtype == f32
    assert zc.layer_norm(np.array([[1, 2**24]], np.int64), 0.0).dtype == f32
    assert zc.layer_norm(np.array([[np.nan, np.inf]]), 0.0).shape == (1, 2)
    assert zc.softmax_rows([[1, 2, 3]]).shape == (1, 3)


def test_matmul_refuses_operands_that_do_not_fit():
    with pytest.raises(ValueError, match="inner extents differ"):
        zc.matmul(np.ones((2, 3), f32), np.ones((4, 2), f32))


def test_the_worked_ramp_gives_the_documented_checksum_bits():
    config = zc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)
    weights = zc.EncoderWeights.deterministic(config)
    result = zc.encoder_reference(config, ramp(32).reshape(4, 8), weights)
    assert result.shape == (4, 8) and result.dtype == f32
    checksum = f32(-0.0)
    for value in result.ravel():
        checksum = checksum + value
    # The last bits follow the C library's expf and tanhf; these are glibc's.
    assert hex(int(np.array(checksum).view(np.uint32))) == "0x42d6edb0"
    # A flat input of the right length is the same input.
    assert literal.same_bits(zc.encoder_reference(config, ramp(32), weights), result)


def test_the_reference_is_its_kernels_in_sequence():
    config = zc.EncoderConfig(sequence=5, hidden=6, heads=3, feed_forward=7)
    weights = zc.EncoderWeights.deterministic(config)
    x = ramp(30).reshape(5, 6)
    s, h, f, heads = 5, 6, 7, 3
    matrix = {
        name: getattr(weights, name).reshape(shape)
        for name, shape in [
            ("wq", (h, h)), ("wk", (h, h)), ("wv", (h, h)), ("wo", (h, h)),
            ("w1", (h, f)), ("w2", (f, h)),
        ]
    }
    norm1 = zc.layer_norm(x, 1e-5)
    q, k, v = (zc.matmul(norm1, matrix[w]) for w in ("wq", "wk", "wv"))
    size = h // heads
    context = np.zeros((s, h), f32)
    for head in range(heads):
        part = slice(head * size, (head + 1) * size)
        scores = zc.matmul(q[:, part], k[:, part].T) / np.sqrt(f32(size))
        context[:, part] = zc.matmul(zc.softmax_rows(scores), v[:, part])
    residual = x + zc.matmul(context, matrix["wo"])
    hidden = zc.gelu(zc.matmul(zc.layer_norm(residual, 1e-5), matrix["w1"]))
    expected = residual + zc.matmul(hidden, matrix["w2"])
    assert literal.same_bits(zc.encoder_reference(config, x, weights), expected)


def test_reference_errors():
    config = zc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)
    weights = zc.EncoderWeights.deterministic(config)
    with pytest.raises(zc.CompileError, match="encoder input size mismatch"):
        zc.encoder_reference(config, np.zeros(31, f32), weights)
    with pytest.raises(ValueError, match="shape \\(8, 4\\)"):
        zc.encoder_reference(config, np.zeros((8, 4), f32), weights)
    with pytest.raises(zc.CompileError, match="encoder weights size mismatch"):
        zc.encoder_reference(config, np.zeros(32, f32), zc.EncoderWeights(wq=weights.wq))


def test_weights_are_read_only_float32_views():
    config = zc.EncoderConfig(hidden=8, feed_forward=16)
    weights = zc.EncoderWeights.deterministic(config)
    assert weights.w1.dtype == f32 and weights.w1.shape == (8 * 16,)
    assert not weights.wq.flags.writeable
    assert weights.wq.base is not None
    rebuilt = zc.EncoderWeights(
        wq=weights.wq, wk=weights.wk, wv=weights.wv,
        wo=weights.wo.reshape(8, 8), w1=weights.w1, w2=weights.w2,
    )
    assert rebuilt == weights
    assert zc.EncoderWeights() == zc.EncoderWeights(wq=[])
    with pytest.raises(ValueError, match="overflows"):
        zc.EncoderWeights.deterministic(zc.EncoderConfig(hidden=2**33))


def test_weights_copy_arrays_that_had_to_be_converted():
    # float64 and lists are converted to a float32 array that lives only
    # while the constructor copies out of it; a large one is unmapped after.
    values = np.arange(300_000, dtype=np.float64)
    weights = zc.EncoderWeights(wq=values, wk=[0.5, 1.5, 2.5])
    assert np.array_equal(weights.wq, values.astype(f32))
    assert weights.wk.tolist() == [0.5, 1.5, 2.5]


def test_config_fields_and_graphs():
    config = zc.EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)
    assert repr(config) == "EncoderConfig(sequence=4, hidden=8, heads=2, feed_forward=16)"
    config.heads = 4
    assert config == zc.EncoderConfig(sequence=4, hidden=8, heads=4, feed_forward=16)
    with pytest.raises(ValueError, match="heads"):
        config.heads = -1
    assert len(zc.encoder_graph(config).tensors) == 22
    assert len(zc.encoder_stack_graph(config, 3).ops) == 45
    assert zc.encoder_graph() == zc.encoder_graph(zc.EncoderConfig())
    with pytest.raises(zc.CompileError, match="invalid encoder dimensions"):
        zc.encoder_graph(zc.EncoderConfig(hidden=6, heads=4))
    with pytest.raises(zc.CompileError, match="invalid encoder dimensions"):
        zc.encoder_stack_graph(config, 0)
