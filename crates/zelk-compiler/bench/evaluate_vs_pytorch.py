#!/usr/bin/python3
"""Times `evaluate` on zelk-bench's BERT-base graph beside PyTorch's
single-threaded forward pass of the same model, in one run.

The model is the one BM_Evaluate/bert_base builds: 12 encoder layers of
hidden 768, 12 heads, feed-forward 3072, sequence 128, batch 1; projections
with biases, heads split by view and permute, scores divided by sqrt(64), layer
norms with gain and bias (epsilon 1e-5), exact GELU. Rounds alternate between
the two so that both see the same load; each round takes the median of
`--repetitions` runs, and the report gives the median over rounds of wall and
CPU time, and their ratios.

    /usr/bin/python3 crates/zelk-compiler/bench/evaluate_vs_pytorch.py \\
        build/release/crates/zelk-compiler/bench/zelk-bench
"""

import argparse
import ctypes
import json
import math
import os
import statistics
import subprocess
import sys
import time

# One thread for every library PyTorch may hand work to, set before it loads.
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[variable] = "1"
# OpenBLAS picks its kernel for the processor, as it does by default: these
# two, set on some machines for older OpenBLAS builds, hold it to an older,
# narrower kernel.
for variable in ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE"):
    os.environ.pop(variable, None)

import torch  # noqa: E402
from torch import nn  # noqa: E402


class Layer(nn.Module):
    def __init__(self, hidden=768, heads=12, feed_forward=3072):
        super().__init__()
        self.heads, self.head_size = heads, hidden // heads
        self.query, self.key, self.value, self.output = (nn.Linear(hidden, hidden) for _ in range(4))
        self.norm1, self.norm2 = nn.LayerNorm(hidden), nn.LayerNorm(hidden)
        self.up, self.down = nn.Linear(hidden, feed_forward), nn.Linear(feed_forward, hidden)

    def forward(self, x):
        batch, sequence, hidden = x.shape

        def split(t):
            return t.view(batch, sequence, self.heads, self.head_size).permute(0, 2, 1, 3)

        q, k, v = split(self.query(x)), split(self.key(x)), split(self.value(x))
        scores = torch.matmul(q, k.transpose(-1, -2)) / math.sqrt(self.head_size)
        context = torch.matmul(torch.softmax(scores, -1), v)
        merged = context.permute(0, 2, 1, 3).reshape(batch, sequence, hidden)
        x = self.norm1(x + self.output(merged))
        return self.norm2(x + self.down(nn.functional.gelu(self.up(x))))


def openblas_core():
    """The kernel the OpenBLAS loaded into this process runs, or None."""
    with open("/proc/self/maps", encoding="utf-8") as maps:
        paths = {line.split()[-1] for line in maps if "libopenblas" in line}
    for path in sorted(paths):
        library = ctypes.CDLL(path)
        library.openblas_get_corename.restype = ctypes.c_char_p
        return library.openblas_get_corename().decode()
    return None


def time_pytorch(model, x, repetitions):
    walls, cpus = [], []
    with torch.no_grad():
        for _ in range(repetitions):
            wall, cpu = time.perf_counter(), time.process_time()
            model(x)
            walls.append(time.perf_counter() - wall)
            cpus.append(time.process_time() - cpu)
    return statistics.median(walls), statistics.median(cpus)


def time_zelk(bench, repetitions):
    result = subprocess.run(
        [bench, "--benchmark_filter=^BM_Evaluate/bert_base$",
         f"--benchmark_repetitions={repetitions}", "--benchmark_format=json"],
        check=True, capture_output=True, text=True)
    runs = [b for b in json.loads(result.stdout)["benchmarks"] if b["run_type"] == "iteration"]
    scale = {"ms": 1e-3, "us": 1e-6, "ns": 1e-9, "s": 1.0}[runs[0]["time_unit"]]
    return (statistics.median(r["real_time"] for r in runs) * scale,
            statistics.median(r["cpu_time"] for r in runs) * scale)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("bench", help="the zelk-bench executable (release build)")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--repetitions", type=int, default=5)
    args = parser.parse_args()

    torch.set_num_threads(1)
    print(f"PyTorch {torch.__version__}, OpenBLAS core: {openblas_core()}", file=sys.stderr)
    torch.manual_seed(0)
    model = nn.Sequential(*[Layer() for _ in range(12)]).eval()
    x = torch.rand(1, 128, 768) * 2 - 1
    time_pytorch(model, x, 2)  # warm up

    pytorch, zelk = [], []
    for round_number in range(args.rounds):
        pytorch.append(time_pytorch(model, x, args.repetitions))
        zelk.append(time_zelk(args.bench, args.repetitions))
        print(f"round {round_number + 1}: pytorch {pytorch[-1][0] * 1e3:.1f} ms, "
              f"evaluate {zelk[-1][0] * 1e3:.1f} ms (wall)", file=sys.stderr)

    rows = [("wall", 0), ("cpu", 1)]
    print("| time | PyTorch forward | evaluate | evaluate / PyTorch |")
    print("|---|---|---|---|")
    for label, index in rows:
        p = statistics.median(t[index] for t in pytorch)
        z = statistics.median(t[index] for t in zelk)
        print(f"| {label} | {p * 1e3:.1f} ms | {z * 1e3:.1f} ms | {z / p:.2f} |")


if __name__ == "__main__":
    main()
