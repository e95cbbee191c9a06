"""Several chips: a stack split into stages whose graphs, evaluated one after
another with values passed by name, give the whole graph's bits."""

import numpy as np
import pytest

import zelk_compiler as zc

SMALL = zc.EncoderConfig(sequence=8, hidden=16, heads=2, feed_forward=32)


@pytest.fixture(scope="module")
def stack():
    return zc.encoder_stack_graph(SMALL, 4)


def sources(graph):
    rng = np.random.default_rng(3)
    return {
        t.name: rng.standard_normal(t.shape).astype(np.float32)
        for t in graph.tensors
        if t.producer is None
    }


@pytest.mark.parametrize("chips", [1, 2, 4])
def test_stages_evaluated_in_turn_give_the_whole_graphs_bits(stack, chips):
    pipeline = zc.compile_pipeline(
        stack, zc.CompilerOptions(tile_count=16), zc.PipelineOptions(chips=chips)
    )
    assert len(pipeline.stages) == chips
    assert zc.check_pipeline(stack, pipeline) == []
    values = sources(stack)
    whole = zc.evaluate(stack, values)
    known = dict(values)
    for stage in pipeline.stages:
        known.update(zc.evaluate(stage.graph, known))
    for name, value in whole.items():
        assert np.array_equal(known[name].view(np.uint32), value.view(np.uint32)), name


def test_every_operation_runs_once_in_graph_order(stack):
    pipeline = zc.compile_pipeline(
        stack, zc.CompilerOptions(tile_count=16), zc.PipelineOptions(chips=3)
    )
    ops = [op.index for stage in pipeline.stages for op in stage.ops]
    assert ops == list(range(len(stack.ops)))
    assert [stage.chip for stage in pipeline.stages] == [0, 1, 2]
    for stage in pipeline.stages[1:]:
        assert all(t.from_chip is not None and t.from_chip < stage.chip for t in stage.received)


def test_the_fewest_chips_when_one_is_too_small(stack):
    options = zc.CompilerOptions(tile_count=4, data_base=0, data_limit=24 * 1024)
    with pytest.raises(zc.CompileError):
        zc.compile(stack, options)
    pipeline = zc.compile_pipeline(stack, options, zc.PipelineOptions(chips=0, microbatches=4))
    chips = len(pipeline.stages)
    assert chips >= 2
    with pytest.raises(zc.CompileError):
        zc.compile_pipeline(stack, options, zc.PipelineOptions(chips=chips - 1))
    slowest = max(stage.cycles for stage in pipeline.stages)
    assert pipeline.stages[pipeline.bottleneck].cycles == slowest
    assert pipeline.total_cycles == sum(s.cycles for s in pipeline.stages) + 3 * slowest


def test_bad_options_are_a_compile_error(stack):
    with pytest.raises(zc.CompileError, match="microbatches must be at least 1"):
        zc.compile_pipeline(stack, None, zc.PipelineOptions(microbatches=0))
    with pytest.raises(zc.CompileError, match="no operation has that name"):
        zc.compile_pipeline(stack, None, zc.PipelineOptions(cut_after=["nowhere"]))
    with pytest.raises(ValueError):
        zc.PipelineOptions(chips=-1)


def test_a_split_by_layers_per_stage(stack):
    starts = zc.graph_layers(stack)
    assert [stack.ops[s].name for s in starts] == ["l0.norm1", "l1.norm1", "l2.norm1", "l3.norm1"]
    pipeline = zc.compile_pipeline(stack, None, zc.PipelineOptions(layers_per_stage=[3, 1]))
    assert [stage.ops[0].index for stage in pipeline.stages] == [0, starts[3]]
    with pytest.raises(zc.CompileError, match=r"add up to 2 \+ 1 = 3, but the graph has 4 layers"):
        zc.compile_pipeline(stack, None, zc.PipelineOptions(layers_per_stage=[2, 1]))
