// Converting a float32 graph and its weights to a 16-bit float type.
//
// Every operation computes in the target type except those of the kinds kept
// in float32; an operand whose type differs from the type its operation
// computes in is converted by a `cast` placed just before the first operation
// that needs it, one cast per tensor and type however many operations read
// it. A weight read only by kept operations stays float32; every other
// weight takes the target type, and its values are rounded once (to nearest,
// ties to even); a finite value beyond the type's range saturates to its
// largest finite value, as float16 converters do, so that a mask constant
// of float32's lowest value stays a large negative number. With
// `keep_io` the graph's inputs and outputs stay float32 under their names,
// casts at the boundary converting them, so a caller feeds and reads the
// same names and types as before. Integer tensors (token ids, masks and the
// arithmetic on them) keep their types and values, and a gather reads its
// ids as they are.
//
// Tensor and operation names and the order of the graph's own tensors and
// operations are kept; a cast is named after the tensor it converts and its
// type ("l0.ln1:f16", with "_2" and on appended where the name is taken).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "zelk_compiler/error.hpp"
#include "zelk_compiler/evaluate.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler {

// The operation names (`operation_name`) of every kind, in the order of
// `OpKind`'s alternatives.
[[nodiscard]] std::span<const std::string_view> operation_names();

// The kinds kept in float32 unless a caller chooses others: the reductions
// whose sums lose most in 16 bits.
[[nodiscard]] std::vector<std::string> default_keep_f32();

struct PrecisionOptions {
  DType target = DType::F16;
  // Operation names of the kinds that compute in float32; empty keeps none.
  std::vector<std::string> keep_f32 = default_keep_f32();
  // Whether the graph's inputs and outputs stay float32.
  bool keep_io = false;

  friend bool operator==(const PrecisionOptions&, const PrecisionOptions&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<PrecisionOptions>) {
  return describe_record<PrecisionOptions>(
      "PrecisionOptions", field("target", &PrecisionOptions::target),
      field("keep_f32", &PrecisionOptions::keep_f32), field("keep_io", &PrecisionOptions::keep_io));
}

// What rounding did to finite, non-zero float32 values: how many were
// beyond the target type's range (saturated to its largest finite value),
// subnormal in it, or zero.
struct RoundingCounts {
  std::uint64_t overflowed = 0;
  std::uint64_t subnormal = 0;
  std::uint64_t zeroed = 0;

  [[nodiscard]] bool any() const { return overflowed != 0 || subnormal != 0 || zeroed != 0; }

  friend bool operator==(const RoundingCounts&, const RoundingCounts&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<RoundingCounts>) {
  return describe_record<RoundingCounts>(
      "RoundingCounts", field("overflowed", &RoundingCounts::overflowed),
      field("subnormal", &RoundingCounts::subnormal), field("zeroed", &RoundingCounts::zeroed));
}

// The counts of one rounded value.
struct ValueRounding {
  std::string name;
  std::uint64_t elements = 0;
  RoundingCounts counts;

  friend bool operator==(const ValueRounding&, const ValueRounding&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<ValueRounding>) {
  return describe_record<ValueRounding>("ValueRounding", field("name", &ValueRounding::name),
                                        field("elements", &ValueRounding::elements),
                                        field("counts", &ValueRounding::counts));
}

struct PrecisionConversion {
  Graph graph;
  // The values given, those of converted tensors rounded to their type.
  TensorValues weights;
  // Per rounded value with a non-zero count, in tensor order, and in total.
  std::vector<ValueRounding> rounding;
  RoundingCounts total;
  // Cast operations the conversion added.
  std::uint64_t casts = 0;

  friend bool operator==(const PrecisionConversion&, const PrecisionConversion&) = default;
};

// Converts `graph`, whose float tensors must all be F32, to `options.target`, as
// the top of this file describes. `values` may hold values for any of its
// source tensors (weights, or inputs too), each rounded to the tensor's new
// type; a weight without a value converts all the same (a graph compiled
// without its values), and values under names of no source tensor are
// returned unchanged.
//
// Throws std::invalid_argument when `options.target` is not F16 or BF16.
// Fails with a `Graph` error, returning nothing, when the graph fails
// `validate` or reads a result before an operation computes it ("operand
// computed after op " + name); when a float tensor is not F32 ("tensor x has type
// F16; precision conversion takes F32 graphs"); for an unknown kind in
// `keep_f32` ("unknown operation kind \"foo\" to keep in F32; kinds are
// matmul, add, ..."); for a value whose length is not its tensor's element
// count ("value size mismatch for " + name).
[[nodiscard]] Result<PrecisionConversion> convert_precision(const Graph& graph,
                                                            const TensorValues& values,
                                                            const PrecisionOptions& options);

std::ostream& operator<<(std::ostream& out, const PrecisionOptions& options);
std::ostream& operator<<(std::ostream& out, const RoundingCounts& counts);
std::ostream& operator<<(std::ostream& out, const ValueRounding& rounding);
std::ostream& operator<<(std::ostream& out, const PrecisionConversion& conversion);

}  // namespace zelk_compiler
