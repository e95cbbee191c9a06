"""Fitting tile memory from Python: planning strategies and the fit diagnosis."""

import pytest

import zelk_compiler as zc

# An encoder block whose activations first fit wastes room for: its lower
# bound is 7,168 bytes under this window, first fit peaks 20,480 over it.
TIGHT_GRAPH = zc.encoder_graph(zc.EncoderConfig(sequence=512))
TIGHT_OPTIONS = zc.CompilerOptions(tile_count=16, data_limit=0x7A000)
BEST = zc.PlanningOptions(strategy=zc.PlacementStrategy.Best)


def test_best_fits_where_first_fit_does_not():
    with pytest.raises(zc.CompileError) as refused:
        zc.compile(TIGHT_GRAPH, TIGHT_OPTIONS)
    assert refused.value.kind == "Memory"
    schedule = zc.compile(TIGHT_GRAPH, TIGHT_OPTIONS, BEST)
    assert set(schedule.peak_sram.values()) == {156672}


def test_first_fit_is_the_default_plan():
    graph = zc.encoder_graph()
    assert zc.compile(graph) == zc.compile(graph, None, zc.PlanningOptions())
    assert zc.PlanningOptions().strategy == zc.PlacementStrategy.FirstFit


def test_the_diagnosis_names_where_and_why():
    diagnosis = zc.diagnose_fit(TIGHT_GRAPH, TIGHT_OPTIONS)
    assert not diagnosis.fits
    assert diagnosis.strategy == zc.PlacementStrategy.FirstFit
    assert diagnosis.window == 0x7A000 - 0x52000
    (group,) = diagnosis.groups
    assert (group.first_tile, group.last_tile, group.tile_count) == (0, 15, 16)
    assert (group.lower_bound, group.first_fit_peak, group.best_peak) == (156672, 184320, 156672)
    assert group.headroom == -20480
    failure = diagnosis.failure
    assert failure.phase == 6 and not failure.exchange
    assert TIGHT_GRAPH.ops[failure.op.index].name == "attention_softmax"
    assert (failure.weight_bytes, failure.activation_bytes) == (9216, 147456)
    assert failure.bound_over_window == 0
    largest = failure.live[0]
    assert (largest.name, largest.bytes, largest.kind) == (
        "attention_scores",
        65536,
        zc.TensorKind.Intermediate,
    )
    assert [buffer.bytes for buffer in failure.live] == sorted(
        (buffer.bytes for buffer in failure.live), reverse=True
    )
    assert sum(buffer.bytes for buffer in failure.live) == group.lower_bound


def test_the_diagnosis_of_best_fits_and_prints_as_the_library():
    diagnosis = zc.diagnose_fit(TIGHT_GRAPH, TIGHT_OPTIONS, BEST)
    assert diagnosis.fits and diagnosis.failure is None
    assert diagnosis.groups[0].headroom == 7168
    assert repr(diagnosis) == (
        "FitDiagnosis(strategy=Best, fits=True, peak=156672, window=163840, lower_bound=156672)"
    )
    assert diagnosis == zc.diagnose_fit(TIGHT_GRAPH, TIGHT_OPTIONS, BEST)


def test_planning_options_check_their_values():
    assert zc.PlanningOptions(search_steps=0).search_steps == 0
    with pytest.raises((ValueError, OverflowError)):
        zc.PlanningOptions(search_steps=-1)
    options = zc.PlanningOptions()
    with pytest.raises((ValueError, OverflowError)):
        options.search_steps = 2**64
    with pytest.raises(TypeError):
        zc.PlanningOptions(strategy="best")


def test_an_invalid_graph_is_a_compile_error():
    graph = zc.Graph()
    x = graph.input("x", [4, 8])
    graph.mark_output(x)
    with pytest.raises(zc.CompileError):
        zc.diagnose_fit(graph, zc.CompilerOptions(tile_count=0))


def test_fewest_tiles_per_planner_with_the_diagnosis_there():
    first_fit, best = zc.fewest_tiles(TIGHT_GRAPH, TIGHT_OPTIONS, max_tiles=64)
    assert (first_fit.strategy, first_fit.tile_count) == (zc.PlacementStrategy.FirstFit, 19)
    assert (best.strategy, best.tile_count) == (zc.PlacementStrategy.Best, 16)
    assert best.diagnosis.fits and best.diagnosis.strategy == zc.PlacementStrategy.Best
    assert best.compiles <= 20
    nowhere = zc.fewest_tiles(TIGHT_GRAPH, zc.CompilerOptions(data_limit=0x52010), max_tiles=4)
    assert [found.tile_count for found in nowhere] == [None, None]
    with pytest.raises(ValueError):
        zc.fewest_tiles(TIGHT_GRAPH, TIGHT_OPTIONS, max_tiles=0)
