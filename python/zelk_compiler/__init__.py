"""Ahead-of-time compiler for a tile-based processor.

Build a :class:`Graph` of tensor operations (or take the encoder block from
:func:`encoder_graph`), :func:`compile` it for a row of tiles and inspect the
:class:`Schedule`: a layout per tensor, compute and exchange phases, every
buffer's place in tile memory (``schedule.allocations`` as NumPy columns) and
each tile's peak. Fallible calls raise :class:`CompileError`; a broken
precondition raises ``ValueError`` or ``IndexError``.
"""

from __future__ import annotations

from collections.abc import Sequence as _Sequence

from . import _core
from ._core import (
    Add,
    Allocation,
    AllocationList,
    CompilerOptions,
    Compute,
    DType,
    EncoderConfig,
    EncoderWeights,
    Exchange,
    Gelu,
    Graph,
    KernelCommand,
    LayerNorm,
    Layout,
    LayoutList,
    MatMul,
    Mul,
    Op,
    OpId,
    OpList,
    PhaseList,
    Reshape,
    Schedule,
    Sharding,
    Softmax,
    SpecializationKey,
    Tensor,
    TensorId,
    TensorIdList,
    TensorKind,
    TensorList,
    Transfer,
    Transpose,
    choose_layout,
    compile,
    encoder_graph,
    encoder_reference,
    encoder_stack_graph,
    gelu,
    layer_norm,
    local_bytes,
    matmul,
    operation_name,
    softmax_rows,
    worker_count,
)
from ._errors import CompileError

__version__: str = _core.__version__

for _view in (TensorList, OpList, TensorIdList, LayoutList, PhaseList, AllocationList):
    _Sequence.register(_view)
del _view

__all__ = [
    "Add",
    "Allocation",
    "AllocationList",
    "CompileError",
    "CompilerOptions",
    "Compute",
    "DType",
    "EncoderConfig",
    "EncoderWeights",
    "Exchange",
    "Gelu",
    "Graph",
    "KernelCommand",
    "LayerNorm",
    "Layout",
    "LayoutList",
    "MatMul",
    "Mul",
    "Op",
    "OpId",
    "OpList",
    "PhaseList",
    "Reshape",
    "Schedule",
    "Sharding",
    "Softmax",
    "SpecializationKey",
    "Tensor",
    "TensorId",
    "TensorIdList",
    "TensorKind",
    "TensorList",
    "Transfer",
    "Transpose",
    "choose_layout",
    "compile",
    "encoder_graph",
    "encoder_reference",
    "encoder_stack_graph",
    "gelu",
    "layer_norm",
    "local_bytes",
    "matmul",
    "operation_name",
    "softmax_rows",
    "worker_count",
]
