"""The reference kernels written out step by step in NumPy float32, as an
oracle for the bindings: every sum in the library's order, every product
rounded before it is added, expf and tanhf from the C library itself."""

import ctypes
import ctypes.util

import numpy as np

f32 = np.float32
_libm = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("expf", "tanhf"):
    getattr(_libm, _name).restype = ctypes.c_float
    getattr(_libm, _name).argtypes = [ctypes.c_float]


def _quiet(kernel):
    """NaN and infinity arithmetic is the point here, not a slip to warn of."""

    def quiet_kernel(*args):
        with np.errstate(all="ignore"):
            return kernel(*args)

    return quiet_kernel


def _elementwise(function, values):
    flat = np.ascontiguousarray(values, dtype=f32).ravel()
    return np.array([function(float(v)) for v in flat], dtype=f32).reshape(np.shape(values))


@_quiet
def matmul(left, right):
    rows, inner = left.shape
    out = np.zeros((rows, right.shape[1]), f32)
    for k in range(inner):
        product = left[:, k, None] * right[None, k, :]
        out = product + out
    return out


@_quiet
def layer_norm(values, epsilon):
    rows, columns = values.shape
    total = np.full(rows, -0.0, f32)
    for c in range(columns):
        total = total + values[:, c]
    mean = total / f32(columns)
    squares = np.full(rows, -0.0, f32)
    for c in range(columns):
        d = values[:, c] - mean
        squares = squares + d * d
    variance = squares / f32(columns)
    scale = f32(1.0) / np.sqrt(variance + f32(epsilon))
    return (values - mean[:, None]) * scale[:, None]


@_quiet
def softmax_rows(values):
    out = np.array(values, dtype=f32)
    for row in out:
        finite = row[~np.isnan(row)]
        maximum = f32(-np.inf)
        for entry in finite:
            if entry > maximum:
                maximum = entry
        row[:] = _elementwise(_libm.expf, row - maximum)
        total = f32(0.0)
        for entry in row:
            total = entry + total
        row[:] = row / total
    return out


@_quiet
def gelu(values):
    x = np.asarray(values, dtype=f32)
    cube = x * (x * x)
    inner = x + f32(0.044715) * cube
    t = _elementwise(_libm.tanhf, f32(0.7978846) * inner)
    return (f32(0.5) * x) * (f32(1.0) + t)


def same_bits(a, b):
    """Equal bit for bit, every NaN matching every NaN."""
    a = np.asarray(a, dtype=f32)
    b = np.asarray(b, dtype=f32)
    if a.shape != b.shape:
        return False
    nan = np.isnan(a)
    return bool(np.array_equal(nan, np.isnan(b))) and bool(
        np.array_equal(a[~nan].view(np.uint32), b[~nan].view(np.uint32))
    )
