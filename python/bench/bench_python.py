"""Times the Python calls that have C++ counterparts in zelk-bench and prints
them beside the C++ medians, as one table.

Usage: bench_python.py CPP_RESULTS.json [--repetitions N]
where CPP_RESULTS.json is zelk-bench's --benchmark_format=json output with
aggregates of BM_Compile/bert_base_1472 and BM_EncoderReference/bert_base.
Run it through scripts/bench-python, which makes both in one go."""

import argparse
import json
import statistics
import time

import numpy as np

import zelk_compiler as zc

BERT_BASE = zc.EncoderConfig(sequence=384, hidden=768, heads=12, feed_forward=3072)
COLUMNS = ("tensor", "tile", "address", "size", "live_from", "live_until")


def median_seconds(call, repetitions, calls_per_repetition):
    """Median over repetitions of the mean CPU time of one call, as zelk-bench
    measures its CPU time: the machine is shared, and wall time depends on what
    else runs. The process's time, not this thread's: the long calls run on a
    worker thread while this one waits for them (and for Ctrl-C)."""
    call()  # warm up
    times = []
    for _ in range(repetitions):
        start = time.process_time()
        for _ in range(calls_per_repetition):
            call()
        times.append((time.process_time() - start) / calls_per_repetition)
    return statistics.median(times)


def cpp_median_seconds(results, name):
    scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}
    for entry in results["benchmarks"]:
        if entry["name"] == f"{name}_median":
            return entry["cpu_time"] * scale[entry["time_unit"]]
    raise SystemExit(f"no median of {name} in the C++ results")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("cpp_results")
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()
    with open(args.cpp_results) as file:
        cpp = json.load(file)

    graph = zc.encoder_stack_graph(BERT_BASE, 12)
    options = zc.CompilerOptions(tile_count=1472)

    def compile_only():
        return zc.compile(graph, options)

    def compile_and_read_columns():
        # Every value read: each column copied out of the schedule.
        allocations = zc.compile(graph, options).allocations
        return [np.array(getattr(allocations, name)) for name in COLUMNS]

    weights = zc.EncoderWeights.deterministic(BERT_BASE)
    # Uniform in [-1, 1) like zelk-bench's input: the time depends on how the
    # values spread (expf's slow path for tiny results), not on which they are.
    x = np.random.default_rng(3).uniform(-1, 1, (BERT_BASE.sequence, BERT_BASE.hidden))
    x = x.astype(np.float32)

    def reference():
        return zc.encoder_reference(BERT_BASE, x, weights)

    r = args.repetitions
    compile_cpp = cpp_median_seconds(cpp, "BM_Compile/bert_base_1472")
    reference_cpp = cpp_median_seconds(cpp, "BM_EncoderReference/bert_base")
    compile_py = median_seconds(compile_only, r, 10)
    columns_py = median_seconds(compile_and_read_columns, r, 10)
    reference_py = median_seconds(reference, r, 3)

    rows_out = [
        ("compile bert_base_1472", compile_cpp, compile_py, compile_py / compile_cpp, 1.5),
        ("compile + read 6 allocation columns", compile_py, columns_py,
         columns_py / compile_py, 1.10),
        ("encoder_reference bert_base", reference_cpp, reference_py,
         reference_py / reference_cpp, 1.05),
    ]
    print(f"{'measure':40} {'baseline':>12} {'python':>12} {'ratio':>7} {'target':>7}")
    failed = False
    for name, base, python, ratio, target in rows_out:
        verdict = "ok" if ratio <= target else "MISSED"
        failed |= ratio > target
        print(f"{name:40} {base * 1e3:9.2f} ms {python * 1e3:9.2f} ms {ratio:6.3f}x "
              f"{target:5.2f}x  {verdict}")
    print("(medians of CPU time; baseline: the C++ median for compile and encoder_reference, "
          "Python's compile alone for the columns)")
    return 1 if failed else 0


if __name__ == "__main__":
    raise SystemExit(main())
