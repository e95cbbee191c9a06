"""What the package shows a reader: short reprs, the fit table as a
diagnosis's str, ids that index the lists they name, signatures in Python's
own types, and the model's own names in imports and errors."""

import enum
import os
import pathlib
import re
import subprocess

import numpy as np
import pytest

import zelk_compiler as zc

PACKAGE = pathlib.Path(zc.__file__).parent
DATA = pathlib.Path(__file__).resolve().parents[2] / "crates" / "zelk-onnx" / "tests" / "data"
TIGHT_OPTIONS = zc.CompilerOptions(tile_count=16, data_limit=0x7A000)


def zelkc_fit_table(*flags):
    """The diagnosis `zelkc fit` prints: its lines from "planner:" on, without
    the fewest-tiles lines and the search for the largest encoder that fits,
    which need more compiles than a diagnosis holds."""
    printed = subprocess.run(
        [os.environ["ZELKC"], "fit", *flags], check=True, capture_output=True, text=True
    ).stdout
    lines = printed.splitlines()
    lines = lines[next(i for i, line in enumerate(lines) if line.startswith("planner:")) :]
    if any(line.startswith("largest that fits") for line in lines):
        lines = lines[: next(i for i, l in enumerate(lines) if l.startswith("largest that fits"))]
    return "\n".join(line for line in lines if not line.startswith(" " * 15 + "with --planner"))


@pytest.mark.skipif("ZELKC" not in os.environ, reason="zelkc is not built")
@pytest.mark.parametrize(
    "sequence, planner",
    [(32, "first-fit"), (512, "first-fit"), (512, "best"), (2048, "first-fit")],
)
def test_a_printed_diagnosis_is_the_table_zelkc_fit_prints(sequence, planner):
    strategy = zc.PlacementStrategy.Best if planner == "best" else zc.PlacementStrategy.FirstFit
    diagnosis = zc.diagnose_fit(
        zc.encoder_graph(zc.EncoderConfig(sequence=sequence)),
        TIGHT_OPTIONS,
        zc.PlanningOptions(strategy=strategy),
    )
    expected = zelkc_fit_table(
        "--sequence", str(sequence), "--tiles", "16", "--data-limit", "0x7A000", "--planner", planner
    )
    assert str(diagnosis) == expected
    assert str(diagnosis).count("\n") >= 4
    if not diagnosis.fits:
        assert "(attention_softmax)" in str(diagnosis)  # the failing operation, by name


def samples():
    """A value of every record class, taken from a large graph's compile, a
    diagnosis that does not fit and an imported model where the default
    value would say little."""
    config = zc.EncoderConfig(sequence=128, hidden=256, heads=4, feed_forward=1024)
    graph = zc.encoder_stack_graph(config, 4)
    schedule = zc.compile(graph, zc.CompilerOptions(tile_count=256))
    diagnosis = zc.diagnose_fit(zc.encoder_graph(zc.EncoderConfig(sequence=512)), TIGHT_OPTIONS)
    fewest = zc.fewest_tiles(zc.encoder_graph(), zc.CompilerOptions(data_limit=0x60000))
    compute = next(p for p in schedule.phases if isinstance(p, zc.Compute))
    exchange = next(p for p in schedule.phases if isinstance(p, zc.Exchange))
    made = [
        graph, graph.tensors[3], graph.ops[5], schedule, schedule.layouts[0],
        schedule.allocations[0], compute, compute.commands[0],
        compute.commands[0].specialization, exchange, exchange.transfers[0],
        diagnosis, diagnosis.groups[0], diagnosis.failure, diagnosis.failure.live[0],
        fewest[0], zc.EncoderWeights.deterministic(config), config,
        graph.tensors, graph.ops, graph.outputs, schedule.layouts, schedule.phases,
        schedule.allocations,
    ]
    if (DATA / "bert_layer.op17.onnx").exists() and hasattr(zc._core, "load_onnx"):
        made.append(zc.load_onnx(DATA / "bert_layer.op17.onnx", dims={"batch": 1, "sequence": 8}))
    for cls in vars(zc._core).values():
        if isinstance(cls, type) and not issubclass(cls, enum.Enum):
            try:
                made.append(cls())
            except TypeError:
                pass
    return made


def test_every_repr_is_one_short_line_naming_the_type():
    values = samples()
    assert {type(value).__name__ for value in values} >= {
        "Graph", "Schedule", "FitDiagnosis", "FitFailure", "LiveBuffer", "GroupFit",
        "FewestTiles", "EncoderWeights", "Tensor", "Op", "Layout", "KernelCommand",
    }
    for value in values:
        text = repr(value)
        assert "\n" not in text and len(text) <= 100, text
        if not isinstance(value, (zc.TensorList, zc.OpList, zc.TensorIdList, zc.LayoutList,
                                  zc.PhaseList, zc.AllocationList)):
            assert text.startswith(type(value).__name__ + "("), text
        if not isinstance(value, zc.FitDiagnosis):
            assert str(value) == text


def test_ids_index_the_lists_they_name():
    graph = zc.encoder_graph()
    last = len(graph.ops) - 1
    cases = [
        (graph.tensors, zc.TensorId(3), graph.tensors[3]),
        (graph.tensors, 3, graph.tensors[3]),
        (graph.tensors, -1, graph.tensors[len(graph.tensors) - 1]),
        (graph.ops, zc.OpId(last), graph.ops[-1]),
        (graph.ops, np.int64(2), graph.ops[2]),
    ]
    for view, index, expected in cases:
        assert view[index] == expected
    failure = zc.diagnose_fit(zc.encoder_graph(zc.EncoderConfig(sequence=512)), TIGHT_OPTIONS)
    assert graph.ops[failure.failure.op].name == "attention_softmax"
    refused = [
        (graph.tensors, zc.TensorId(len(graph.tensors)), IndexError, r"TensorId\(22\) out of range"),
        (graph.ops, zc.OpId(2**64 - 1), IndexError, "out of range"),
        (graph.ops, zc.TensorId(0), TypeError, ""),
        (graph.tensors, zc.OpId(0), TypeError, ""),
        (graph.outputs, zc.TensorId(0), TypeError, ""),
    ]
    for view, index, error, message in refused:
        with pytest.raises(error, match=message):
            view[index]


# Spellings of C++ (and of pybind11's stand-ins for types it cannot name)
# that a Python signature or docstring must not show.
CPP_SPELLINGS = re.compile(
    r"::|\bhandle\b|\bstd\b|\bconst\b|&|\bbuffer\b|\barg\d+\b|\b_core\.|u?int\d+_t|\bsize_t\b"
)


def documented():
    """(name, docstring) of every public function, class, method and property."""
    for name in zc.__all__:
        value = getattr(zc, name)
        yield name, value.__doc__
        if not isinstance(value, type):
            continue
        for member in vars(value):
            attribute = getattr(value, member, None)
            if isinstance(vars(value)[member], property):
                yield f"{name}.{member}", vars(value)[member].__doc__
            elif callable(attribute) and not isinstance(attribute, type):
                yield f"{name}.{member}", getattr(attribute, "__doc__", None)


def test_signatures_and_docstrings_name_python_types_only():
    walked = 0
    for name, doc in documented():
        walked += 1
        found = CPP_SPELLINGS.findall(doc or "")
        assert not found, f"{name}: {found} in {doc!r}"
    assert walked > 400
    stub = (PACKAGE / "_core.pyi").read_text()
    assert not CPP_SPELLINGS.search(stub.replace("zelk_compiler._core", ""))
    assert zc.compile.__doc__.startswith(
        "compile(graph: zelk_compiler.Graph, options: Optional[zelk_compiler.CompilerOptions]"
    )
    assert "-> zelk_compiler.FitDiagnosis" in zc.diagnose_fit.__doc__
    assert "tile_count: int = 64" in zc.CompilerOptions.__init__.__doc__
