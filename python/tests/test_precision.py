"""Converting graphs and their weights to float16 and bfloat16 from Python."""

import pathlib

import numpy as np
import pytest

import zelk_compiler as zc

DATA = pathlib.Path(__file__).resolve().parents[2] / "crates" / "zelk-onnx" / "tests" / "data"
CONFIG = zc.EncoderConfig(sequence=16, hidden=32, heads=4, feed_forward=64)


def encoder_weights(layers):
    weights = zc.EncoderWeights.deterministic(CONFIG)
    names = ["wq", "wk", "wv", "wo", "w1", "w2"]
    return {
        f"l{i}.{n}": np.asarray(getattr(weights, n), np.float32) for i in range(layers) for n in names
    }


def test_load_onnx_then_convert_evaluates_within_bfloat16_rounding():
    model = zc.load_onnx(DATA / "gpt_block.op17.onnx")
    given = np.load(DATA / "gpt_block.input.npy")
    expected = np.load(DATA / "gpt_block.output.npy")
    converted = zc.convert_precision(model.graph, model.weights, zc.DType.BF16, keep_io=True)
    # The caller feeds and reads the same names, in float32.
    assert [converted.graph.tensors[i.index].name for i in converted.graph.outputs] == model.outputs
    result = zc.evaluate(converted.graph, {model.inputs[0]: given}, converted.weights)
    output = result[model.outputs[0]]
    assert output.dtype == np.float32
    # bfloat16 keeps 8 significant bits: a few 2^-8 steps over the block.
    error = np.abs(output - expected).max() / np.abs(expected).max()
    assert 0 < error <= 5e-2
    zc.compile(converted.graph, zc.CompilerOptions(tile_count=16))


def test_weights_come_back_rounded_in_their_shapes():
    graph = zc.encoder_stack_graph(CONFIG, 2)
    weights = encoder_weights(2)
    converted = zc.convert_precision(graph, weights, zc.DType.F16)
    assert set(converted.weights) == set(weights)
    tensors = {t.name: t for t in converted.graph.tensors}
    for name, value in weights.items():
        rounded = converted.weights[name]
        assert rounded.dtype == np.float32 and list(rounded.shape) == list(tensors[name].shape)
        np.testing.assert_array_equal(rounded.ravel(), value.astype(np.float16).astype(np.float32))
    types = {name: tensor.dtype for name, tensor in tensors.items()}
    assert types["l0.wq"] == zc.DType.F16
    assert types["l0.norm1"] == zc.DType.F32  # layer norm is kept by default
    assert converted.casts == 12
    assert zc.default_keep_f32() == ["layer_norm", "softmax", "reduce_mean"]


def test_keep_nothing_with_kept_boundary_casts_only_inputs_and_outputs():
    graph = zc.encoder_graph(CONFIG)
    converted = zc.convert_precision(graph, None, zc.DType.BF16, keep=[], keep_io=True)
    casts = [op for op in converted.graph.ops if zc.operation_name(op.kind) == "cast"]
    ends = [(converted.graph.tensors[op.inputs[0].index].name, op.name) for op in casts]
    assert ends == [("input", "input:bf16"), ("ffn_residual:bf16", "ffn_residual")]
    output = converted.graph.tensors[converted.graph.outputs[0].index]
    assert (output.name, output.dtype) == ("ffn_residual", zc.DType.F32)


def test_rounding_is_counted_per_weight_and_in_total():
    graph = zc.Graph()
    x = graph.input("x", [4])
    w = graph.weight("w", [4])
    graph.mark_output(graph.add("y", x, w))
    weight = np.array([1e5, 1e-6, 1e-9, 1.0], np.float32)
    converted = zc.convert_precision(graph, {"w": weight}, zc.DType.F16)
    expected = zc.RoundingCounts(overflowed=1, subnormal=1, zeroed=1)
    assert converted.total == expected
    assert converted.rounding == [zc.ValueRounding(name="w", elements=4, counts=expected)]
    assert converted.weights["w"][0] == 65504.0  # saturated, not infinite


@pytest.mark.parametrize(
    ("call", "error", "words"),
    [
        (
            lambda g: zc.convert_precision(g, None, zc.DType.F16, keep=["softmaxx"]),
            zc.CompileError,
            "softmaxx",
        ),
        (lambda g: zc.convert_precision(g, None, zc.DType.F32), ValueError, "not F16 or BF16"),
        (lambda g: zc.convert_precision(g, None, zc.DType.F16, keep="softmax"), TypeError, ""),
        (
            lambda g: zc.convert_precision(g, {"wq": np.zeros(3, np.float32)}, zc.DType.F16),
            zc.CompileError,
            "value size mismatch for wq",
        ),
    ],
)
def test_bad_input_is_refused(call, error, words):
    with pytest.raises(error, match=words):
        call(zc.encoder_graph(CONFIG))


def test_str_of_a_fit_diagnosis_shows_the_types():
    converted = zc.convert_precision(zc.encoder_graph(CONFIG), None, zc.DType.BF16)
    options = zc.CompilerOptions(tile_count=1, data_limit=0x56000)
    diagnosis = zc.diagnose_fit(converted.graph, options)
    assert not diagnosis.fits
    text = str(diagnosis)
    assert " w1 (bf16)\n" in text
    assert " w1\n" not in text
