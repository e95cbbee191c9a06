"""Ahead-of-time compiler for a tile-based processor.

Build a :class:`Graph` of tensor operations, take the encoder block from
:func:`encoder_graph`, or import a model with :func:`load_onnx` or
:func:`from_torch`; :func:`compile` it for a row of tiles and inspect the
:class:`Schedule`: a layout per tensor, compute and exchange phases, every
buffer's place in tile memory (``schedule.allocations`` as NumPy columns) and
each tile's peak. :func:`evaluate` computes any graph on the host.
Fallible calls raise :class:`CompileError`; a broken precondition raises
``ValueError`` or ``IndexError``.
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
    Concat,
    DType,
    Div,
    EncoderConfig,
    EncoderWeights,
    Erf,
    Exchange,
    Exp,
    Gelu,
    GeluErf,
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
    Pow,
    ReduceMean,
    Relu,
    Reshape,
    Schedule,
    Sharding,
    Slice,
    Softmax,
    SpecializationKey,
    Sqrt,
    Sub,
    Tanh,
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
    evaluate,
    gelu,
    layer_norm,
    local_bytes,
    matmul,
    operation_name,
    softmax_rows,
    worker_count,
)
from ._errors import CompileError
from ._onnx import OnnxModel, from_torch, import_onnx, load_onnx, supported_onnx_operators

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
    "Concat",
    "DType",
    "Div",
    "EncoderConfig",
    "EncoderWeights",
    "Erf",
    "Exchange",
    "Exp",
    "Gelu",
    "GeluErf",
    "Graph",
    "KernelCommand",
    "LayerNorm",
    "Layout",
    "LayoutList",
    "MatMul",
    "Mul",
    "OnnxModel",
    "Op",
    "OpId",
    "OpList",
    "PhaseList",
    "Pow",
    "ReduceMean",
    "Relu",
    "Reshape",
    "Schedule",
    "Sharding",
    "Slice",
    "Softmax",
    "SpecializationKey",
    "Sqrt",
    "Sub",
    "Tanh",
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
    "evaluate",
    "from_torch",
    "gelu",
    "import_onnx",
    "layer_norm",
    "load_onnx",
    "local_bytes",
    "matmul",
    "operation_name",
    "softmax_rows",
    "supported_onnx_operators",
    "worker_count",
]
