"""Ctrl-C during a long call: compile, diagnose_fit, evaluate and the ONNX
import raise KeyboardInterrupt soon after SIGINT, and the next call works."""

import os
import signal
import threading
import time

import numpy as np
import pytest

import zelk_compiler as zc

# After this long the signal comes; every call below runs many times longer.
SIGNAL_AFTER = 0.3
# SIGINT to KeyboardInterrupt: the calls look every few tens of milliseconds;
# the margin allows for a machine busy with other builds.
ANSWER_WITHIN = 3.0


def interrupted(call):
    """Sends SIGINT to this process during `call` and returns the seconds from
    the signal to the KeyboardInterrupt the call must raise."""
    sent = []

    def send():
        sent.append(time.monotonic())
        os.kill(os.getpid(), signal.SIGINT)

    timer = threading.Timer(SIGNAL_AFTER, send)
    timer.start()
    try:
        with pytest.raises(KeyboardInterrupt):
            call()
    finally:
        timer.cancel()
        timer.join()
    return time.monotonic() - sent[0]


def many_live_buffers(count):
    """`count` one-element inputs that one Concat reads at the end: all live at
    once, so first fit looks past every buffer placed before each new one."""
    g = zc.Graph()
    parts = [g.input(f"x{i}", [1]) for i in range(count)]
    g.mark_output(g.concat("all", parts, 0))
    return g


ROOMY = zc.CompilerOptions(tile_count=1, data_base=0, data_limit=2**32 - 1)


def matmul_chain(length, extent):
    g = zc.Graph()
    x = g.input("x", [extent, extent])
    w = g.weight("w", [extent, extent])
    for i in range(length):
        x = g.matmul(f"m{i}", x, w)
    g.mark_output(x)
    values = np.full((extent, extent), 1.0 / extent, np.float32)
    return g, {"x": values}, {"w": values}


def small_graph():
    g = zc.Graph()
    x = g.input("x", [4, 8])
    g.mark_output(g.gelu("y", x))
    return g


def check_next_call_works():
    g = small_graph()
    assert zc.compile(g) == zc.compile(g)
    result = zc.evaluate(g, {"x": np.zeros((4, 8), np.float32)})
    assert np.array_equal(result["y"], np.zeros((4, 8), np.float32))


@pytest.fixture(scope="module")
def crowded():
    return many_live_buffers(30_000)


@pytest.mark.parametrize(
    "call",
    [
        lambda g: zc.compile(g, ROOMY),
        lambda g: zc.diagnose_fit(g, ROOMY),
        lambda g: zc.compile(g, ROOMY, zc.PlanningOptions(strategy=zc.PlacementStrategy.Best)),
    ],
    ids=["compile", "diagnose_fit", "compile-best"],
)
def test_compiling_stops_at_ctrl_c(crowded, call):
    assert interrupted(lambda: call(crowded)) < ANSWER_WITHIN
    check_next_call_works()


def test_evaluation_stops_at_ctrl_c():
    graph, inputs, weights = matmul_chain(20_000, 128)
    assert interrupted(lambda: zc.evaluate(graph, inputs, weights)) < ANSWER_WITHIN
    check_next_call_works()


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def field(number, payload):
    """A length-delimited protobuf field."""
    return varint(number << 3 | 2) + varint(len(payload)) + payload


def chain_model(nodes):
    """An ONNX model of `nodes` Relu nodes in a row. The nodes are encoded
    here, which is much faster than building them one by one: they go into a
    second graph field after the model's own, which protobuf merges into it."""
    onnx = pytest.importorskip("onnx")
    from onnx import TensorProto, helper

    def name(i):
        return f"v{i}".encode()

    graph = helper.make_graph(
        [],
        "chain",
        [helper.make_tensor_value_info("v0", TensorProto.FLOAT, [4])],
        [helper.make_tensor_value_info(f"v{nodes}", TensorProto.FLOAT, [4])],
    )
    model = helper.make_model(graph, opset_imports=[helper.make_opsetid("", 17)])
    relu = field(4, b"Relu")
    body = b"".join(
        field(1, field(1, name(i)) + field(2, name(i + 1)) + relu) for i in range(nodes)
    )
    return model.SerializeToString() + field(7, body)


# The importer looks for a stop at every node; the index of the nodes it
# builds first takes a few microseconds per node without looking, so the model
# stays small enough for that to pass well within the answer time.
@pytest.fixture(scope="module")
def long_model(tmp_path_factory):
    if not hasattr(zc._core, "load_onnx"):
        pytest.skip("built without the ONNX importer")
    data = chain_model(60_000)
    path = tmp_path_factory.mktemp("interrupt") / "chain.onnx"
    path.write_bytes(data)
    return data, path


def test_onnx_import_stops_at_ctrl_c(long_model):
    data, path = long_model
    assert interrupted(lambda: zc.load_onnx(path)) < ANSWER_WITHIN
    assert interrupted(lambda: zc.import_onnx(data)) < ANSWER_WITHIN
    model = zc.import_onnx(chain_model(3))
    assert len(model.graph.ops) == 3
