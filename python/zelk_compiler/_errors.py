"""The exception every fallible call of zelk_compiler raises."""

from __future__ import annotations

from ._core import _quoted


class CompileError(Exception):
    """A failure the caller can act on.

    ``kind`` is ``"Graph"`` for a malformed graph, bad options, operands or
    values, and ``"Memory"`` for tile memory that cannot be planned;
    ``message`` is the library's message, such as
    ``"q: incompatible matmul [4, 8] x [16, 4]"``. ``str()`` gives the
    library's printed form, ``Graph("q: incompatible matmul [4, 8] x [16, 4]")``.
    """

    kind: str
    message: str

    def __init__(self, kind: str, message: str) -> None:
        super().__init__(kind, message)
        self.kind = kind
        self.message = message

    def __str__(self) -> str:
        return f"{self.kind}({_quoted(self.message)})"

    def __repr__(self) -> str:
        return f"CompileError({self.kind!r}, {self.message!r})"
