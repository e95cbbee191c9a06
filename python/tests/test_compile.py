"""Compiling from Python: schedules, their columnar views, errors, threads."""

import gc
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import zelk_compiler as zc


@pytest.fixture(scope="module")
def encoder_schedule():
    return zc.compile(zc.encoder_graph(), zc.CompilerOptions())


def test_the_default_encoder_block_compiles(encoder_schedule):
    schedule = encoder_schedule
    assert schedule.tile_count == 64
    assert len(schedule.layouts) == 22
    assert len(schedule.allocations) == 360
    kinds = [type(phase) for phase in schedule.phases]
    assert kinds.count(zc.Compute) == 15 and kinds.count(zc.Exchange) == 2
    assert max(schedule.peak_sram.values()) == 9216
    graph = zc.encoder_graph()
    for phase in schedule.phases:
        if isinstance(phase, zc.Compute):
            operation = zc.operation_name(graph.ops[phase.op.index].kind)
            assert {c.specialization.operation for c in phase.commands} == {operation}


def test_compile_is_deterministic_and_options_default():
    graph = zc.encoder_graph(zc.EncoderConfig(sequence=8, hidden=16, heads=2, feed_forward=32))
    assert zc.compile(graph) == zc.compile(graph, zc.CompilerOptions())
    assert zc.compile(graph) != zc.compile(graph, zc.CompilerOptions(tile_count=3))


def test_allocation_columns_are_read_only_views_of_the_records(encoder_schedule):
    allocations = encoder_schedule.allocations
    columns = {
        name: getattr(allocations, name)
        for name in ("tensor", "tile", "address", "size", "live_from", "live_until")
    }
    assert {name: column.dtype for name, column in columns.items()} == {
        "tensor": np.uint64,
        "tile": np.uint16,
        "address": np.uint32,
        "size": np.uint32,
        "live_from": np.uint64,
        "live_until": np.uint64,
    }
    for i in (0, 1, 17, len(allocations) - 1):
        record = allocations[i]
        assert columns["tensor"][i] == record.tensor.index
        for name in ("tile", "address", "size", "live_from", "live_until"):
            assert columns[name][i] == getattr(record, name), name
    for column in columns.values():
        assert len(column) == len(allocations)
        assert not column.flags.writeable
        assert column.base is not None
        with pytest.raises(ValueError):
            column[0] = 1


def test_a_column_keeps_its_schedule_alive():
    address = zc.compile(zc.encoder_graph()).allocations.address
    gc.collect()
    churn = [zc.compile(zc.encoder_graph()) for _ in range(3)]
    assert address.sum() > 0
    assert address.min() >= zc.CompilerOptions().data_base
    del churn


def test_peaks_as_arrays_match_the_map(encoder_schedule):
    schedule = encoder_schedule
    assert schedule.peak_tiles.tolist() == list(schedule.peak_sram.keys())
    assert schedule.peak_bytes.tolist() == list(schedule.peak_sram.values())
    # Each tile's peak is the highest end of its allocations above data_base.
    allocations = schedule.allocations
    ends = allocations.address.astype(np.int64) + allocations.size
    highest = np.zeros(schedule.tile_count, np.int64)
    np.maximum.at(highest, allocations.tile, ends - zc.CompilerOptions().data_base)
    assert highest[schedule.peak_tiles].tolist() == schedule.peak_bytes.tolist()


def test_an_empty_column_is_empty():
    graph = zc.Graph()
    graph.mark_output(graph.input("x", [1]))
    schedule = zc.compile(graph)
    assert len(schedule.allocations) == 1
    assert zc.compile(graph).allocations.size.tolist() == [16]


@pytest.mark.parametrize(
    "options, kind, message",
    [
        (zc.CompilerOptions(tile_count=0), "Graph", "invalid compiler options"),
        (zc.CompilerOptions(data_base=16, data_limit=16), "Graph", "invalid compiler options"),
        (zc.CompilerOptions(tile_count=1, data_base=0, data_limit=1024), "Memory", None),
    ],
)
def test_compile_errors_carry_their_kind(options, kind, message):
    with pytest.raises(zc.CompileError) as raised:
        zc.compile(zc.encoder_graph(), options)
    assert raised.value.kind == kind
    if message is not None:
        assert raised.value.message == message


def test_options_check_their_ranges():
    options = zc.CompilerOptions(tile_count=65535, data_base=0, data_limit=2**32 - 1)
    assert options.valid()
    options.tile_count = 8
    assert options.tile_count == 8
    for field, value, error in [
        ("tile_count", 65536, ValueError),
        ("data_base", -1, ValueError),
        ("data_limit", 2**32, ValueError),
        ("tile_count", 1.5, TypeError),
        ("tile_count", None, TypeError),
        ("tile_count", "8", TypeError),
    ]:
        with pytest.raises(error, match=field):
            setattr(options, field, value)
        with pytest.raises(error, match=field):
            zc.CompilerOptions(**{field: value})
    assert options == zc.CompilerOptions(tile_count=8, data_base=0, data_limit=2**32 - 1)


def test_compiles_run_side_by_side_in_threads():
    config = zc.EncoderConfig(sequence=64, hidden=128, heads=4, feed_forward=512)
    graphs = [zc.encoder_stack_graph(config, layers) for layers in (1, 2, 3, 4)] * 2
    expected = [zc.compile(graph, zc.CompilerOptions(tile_count=256)) for graph in graphs]
    with ThreadPoolExecutor(max_workers=4) as pool:
        results = list(
            pool.map(lambda graph: zc.compile(graph, zc.CompilerOptions(tile_count=256)), graphs)
        )
    assert results == expected


def test_a_graph_growing_in_another_thread_does_not_disturb_compile():
    graph = zc.encoder_stack_graph(zc.EncoderConfig(), 2)
    expected = zc.compile(graph)

    def grow():
        for count in range(3000):
            graph.input(f"extra{count}", [1])

    grower = threading.Thread(target=grow)
    grower.start()
    compiles = 0
    while grower.is_alive() or compiles < 3:
        # Unused inputs add layouts and allocations, never phases.
        assert zc.compile(graph).phases == expected.phases
        compiles += 1
    grower.join()
