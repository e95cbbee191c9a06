"""Compiles a PyTorch transformer encoder layer for the tile processor and
prints whether it fits, its memory summary and its largest buffers.

    scripts/python-env
    .venv/bin/python examples/python/compile_torch.py [--tiles N] [--sequence N]
"""

import argparse

import numpy as np
import torch

import zelk_compiler as zc


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tiles", type=int, default=64, help="tiles to compile for (64)")
    parser.add_argument("--sequence", type=int, default=128, help="tokens per sequence (128)")
    parser.add_argument("--hidden", type=int, default=256, help="model width (256)")
    args = parser.parse_args()

    torch.manual_seed(0)
    layer = torch.nn.TransformerEncoderLayer(
        args.hidden, nhead=4, dim_feedforward=4 * args.hidden, dropout=0.0, batch_first=True
    ).eval()
    example = torch.randn(1, args.sequence, args.hidden)
    model = zc.from_torch(layer, example, input_names=["tokens"], output_names=["encoded"])
    graph = model.graph
    print(f"model:        {len(graph.tensors)} tensors, {len(graph.ops)} operations, "
          f"{sum(w.nbytes for w in model.weights.values()):,} bytes of weights")

    options = zc.CompilerOptions(tile_count=args.tiles)
    window = options.data_limit - options.data_base
    try:
        schedule = zc.compile(graph, options)
    except zc.CompileError as error:
        tiles = f"{args.tiles} tile{'s' if args.tiles != 1 else ''}"
        print(f"does not fit on {tiles} of {window:,} bytes: {error.message}")
        print("try more tiles (--tiles) or a shorter sequence (--sequence)")
        return 1

    peaks = schedule.peak_bytes
    busiest = int(np.argmax(peaks))
    print(f"target:       {args.tiles} tiles, {window:,} bytes of data memory each")
    print(f"phases:       {len(schedule.phases)}")
    print(f"allocations:  {len(schedule.allocations):,}")
    print(f"tiles used:   {len(peaks)} of {args.tiles}")
    print(f"largest peak: {int(peaks[busiest]):,} bytes on tile {int(schedule.peak_tiles[busiest])} "
          f"({100 * int(peaks[busiest]) / window:.1f} % of the window)")
    print(f"total peaks:  {int(peaks.sum(dtype=np.uint64)):,} bytes over all tiles")

    # The columns are NumPy views into the schedule: no object per allocation.
    allocations = schedule.allocations
    tensors, first = np.unique(allocations.tensor, return_index=True)
    tiles_holding = np.bincount(allocations.tensor.astype(np.int64))[tensors]
    per_tile = allocations.size[first]
    order = np.argsort(-per_tile.astype(np.int64), kind="stable")[:10]
    print("\nlargest buffers (bytes on each tile holding them):")
    print(f"  {'tensor':40} {'shape':>16} {'bytes/tile':>11} {'tiles':>6} {'live phases':>12}")
    for i in order:
        tensor = graph.tensors[int(tensors[i])]
        live = f"{int(allocations.live_from[first[i]])}-{int(allocations.live_until[first[i]])}"
        print(f"  {tensor.name[:40]:40} {str(tensor.shape):>16} {int(per_tile[i]):>11,} "
              f"{int(tiles_holding[i]):>6} {live:>12}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
