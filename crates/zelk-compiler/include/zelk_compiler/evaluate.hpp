// Host evaluation of any graph.
#pragma once

#include <functional>
#include <map>
#include <stop_token>
#include <string>
#include <vector>

#include "zelk_compiler/error.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {

// Tensor values by tensor name, each row-major in its tensor's shape.
using TensorValues = std::map<std::string, std::vector<float>, std::less<>>;

// Computes every output of `graph` on the host from `values`, which holds one
// value per source tensor (every tensor no operation computes: the inputs and
// weights, also when marked as outputs) under its name; values under other
// names are not read. Returns every output by name.
//
// Each kind computes what docs/operations.md says, with every operation
// rounded to float before the next uses it; the kinds the host reference
// knows (matrix products, layer normalisation, softmax, tanh GELU) use its
// kernels and give their bits. The same graph and values give the same bits
// on every run.
//
// F16 and BF16 values are floats that hold values of their type, in and
// out. An operation with a 16-bit output computes in float from its
// operands' values and rounds its result once to its type (to nearest, ties
// to even; beyond the largest finite value to infinity); a matrix product
// accumulates in float and rounds each sum once.
//
// I32 and I64 values are floats that hold whole numbers of magnitude at
// most 2^24 (every integer a float holds exactly), in and out. Integer
// add, sub and mul compute exactly; a cast from a float type to an integer
// type rounds toward zero, one between integer types keeps the value, and
// one from an integer type to a float type rounds as any result does.
//
// Fails, before computing anything, with a `Graph` error when the graph fails
// `validate`; when an operation's operands do not fit its kind's shape or
// type rule or its output's shape or type ("operands do not fit op " + name),
// or it reads a tensor that a later operation computes ("operand computed
// after op " + name); when two source tensors share a name ("ambiguous value
// name " + name), a source has no value ("missing value for " + name), a
// value of another length than its tensor's element count ("value size
// mismatch for " + name) or, for a 16-bit source, an element that is not a
// value of its type ("value for x is not of type F16: element 3 is 0.1";
// "value for ids is not an integer of I64 within 2^24: element 0 is 0.5");
// or when two different output tensors share a name ("ambiguous output
// name " + name). Fails while computing, with a `Graph` error, when an
// integer result is beyond 2^24 in magnitude ("op s: I32 result 16777217 is
// beyond 2^24, the integers evaluation holds exactly") or a cast to an
// integer type meets a float without such a value ("cast c: inf has no I64
// value within 2^24"), or a gather meets an id outside its table ("gather
// 'emb': id 30522 is outside table 'word_embeddings' of 30522 rows").
//
// A stop requested on `stop` throws Stopped before the next operation.
[[nodiscard]] Result<TensorValues> evaluate(const Graph& graph, const TensorValues& values,
                                            const std::stop_token& stop = {});

}  // namespace zelk_compiler
