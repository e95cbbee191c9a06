"""ONNX models in: from a file, from a model's bytes, or from a PyTorch module
exported in memory."""

from __future__ import annotations

import inspect
import io
from typing import TYPE_CHECKING, Any, Mapping, Optional, Sequence

from . import _core

if TYPE_CHECKING:
    from ._core import OnnxModel

if hasattr(_core, "load_onnx"):
    from ._core import OnnxModel, import_onnx, load_onnx, supported_onnx_operators
else:
    _NO_IMPORTER = (
        "this build of zelk_compiler has no ONNX importer: build it where the Debian packages "
        "libonnx-dev and libprotobuf-dev are installed (CMake option ZELK_BUILD_ONNX)"
    )

    def load_onnx(path: Any, dims: Optional[Mapping[str, int]] = None) -> OnnxModel:
        raise RuntimeError(_NO_IMPORTER)

    def import_onnx(
        data: Any, dims: Optional[Mapping[str, int]] = None, base_dir: Any = ""
    ) -> OnnxModel:
        raise RuntimeError(_NO_IMPORTER)

    def supported_onnx_operators() -> list[str]:
        raise RuntimeError(_NO_IMPORTER)


def from_torch(
    module: Any,
    example_inputs: Any,
    dims: Optional[Mapping[str, int]] = None,
    *,
    opset_version: int = 17,
    input_names: Optional[Sequence[str]] = None,
    output_names: Optional[Sequence[str]] = None,
    dynamic_axes: Optional[Mapping[str, Any]] = None,
) -> OnnxModel:
    """Exports `module` to ONNX in memory with PyTorch (``torch.onnx.export``,
    in evaluation mode) and imports the model.

    `example_inputs` is a tensor or a tuple of tensors to trace the module
    with. The inputs are named after the parameters of the module's
    ``forward`` unless `input_names` says otherwise; the outputs after the
    keys of a dict or the fields of a named tuple the module returns, and
    otherwise ``output0``, ``output1``, ... in order, unless `output_names`
    says otherwise. The names and `dynamic_axes` go to the exporter; `dims`
    gives the extents of the dimensions `dynamic_axes` makes symbolic.
    """
    try:
        import torch
    except ImportError as missing:
        raise ImportError(
            "from_torch needs PyTorch, which is not installed: on Debian "
            "'apt-get install python3-torch', elsewhere 'pip install torch'"
        ) from missing
    if isinstance(example_inputs, torch.Tensor):
        example_inputs = (example_inputs,)
    example_inputs = tuple(example_inputs)
    if input_names is None:
        input_names = _parameter_names(module, len(example_inputs))
    if output_names is None:
        output_names = _output_names(torch, module, example_inputs, input_names or ())
    exported = io.BytesIO()
    torch.onnx.export(
        module,
        example_inputs,
        exported,
        opset_version=opset_version,
        input_names=None if input_names is None else list(input_names),
        output_names=None if output_names is None else list(output_names),
        dynamic_axes=None if dynamic_axes is None else dict(dynamic_axes),
    )
    return import_onnx(exported.getbuffer(), dims)


def _output_names(
    torch: Any, module: Any, example_inputs: tuple, input_names: Sequence[str]
) -> Optional[list[str]]:
    """Names for the tensors `module` returns, in the order the exporter
    flattens them: a dict's keys and a named tuple's fields (joined with "."
    when nested), ``output<i>`` for a tensor at position i of the flattened
    outputs that neither names. None where the module cannot be run here or
    the names would clash, so that the exporter's own names stay."""
    training = getattr(module, "training", None)
    try:
        if training is not None:
            module.eval()
        with torch.no_grad():
            returned = module(*example_inputs)
    except Exception:  # the export that follows reports the module's failure
        return None
    finally:
        if training is not None:
            module.train(training)
    found: list[Optional[str]] = []

    def walk(value: Any, path: Optional[str]) -> None:
        def inner(key: Any) -> Optional[str]:
            return str(key) if path is None else f"{path}.{key}"

        if isinstance(value, torch.Tensor):
            found.append(path)
        elif isinstance(value, Mapping):
            for key, item in value.items():
                walk(item, inner(key))
        elif isinstance(value, tuple) and hasattr(value, "_fields"):
            for key, item in zip(value._fields, value):
                walk(item, inner(key))
        elif isinstance(value, (tuple, list)):
            for position, item in enumerate(value):
                walk(item, None if path is None else inner(position))

    walk(returned, None)
    names = [name if name is not None else f"output{i}" for i, name in enumerate(found)]
    if not names or len(set(names)) != len(names) or set(names) & set(input_names):
        return None
    return names


def _parameter_names(module: Any, count: int) -> Optional[list[str]]:
    """The names of the first `count` parameters of ``module.forward``, where
    it has that many plain ones."""
    try:
        parameters = list(inspect.signature(module.forward).parameters.values())
    except (AttributeError, TypeError, ValueError):
        return None
    plain = (inspect.Parameter.POSITIONAL_ONLY, inspect.Parameter.POSITIONAL_OR_KEYWORD)
    if len(parameters) < count or any(p.kind not in plain for p in parameters[:count]):
        return None
    return [p.name for p in parameters[:count]]


__all__ = ["OnnxModel", "from_torch", "import_onnx", "load_onnx", "supported_onnx_operators"]
