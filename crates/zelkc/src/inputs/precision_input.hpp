// --precision, --keep-f32 and --keep-f32-io: converting the workload to a
// 16-bit float type before it is compiled, diagnosed or written.
#pragma once

#include <string>

#include <CLI/CLI.hpp>
#include <zelk_compiler/evaluate.hpp>
#include <zelk_compiler/graph.hpp>
#include <zelk_compiler/precision.hpp>

#include "failure.hpp"

namespace zelkc {

struct PrecisionFlags {
  zelk_compiler::DType precision = zelk_compiler::DType::F32;
  std::string keep_f32;  // KIND,... or "none"; the library's default when empty
  bool keep_io = false;

  // Whether the workload is converted at all: F32 leaves it untouched.
  [[nodiscard]] bool converts() const { return precision != zelk_compiler::DType::F32; }
};

// Declares --precision, --keep-f32 and --keep-f32-io on `command`.
void add_precision_flags(CLI::App& command, PrecisionFlags& flags);

// The library's options for the flags; a usage failure for --keep-f32 or
// --keep-f32-io without a 16-bit --precision, and for an unknown kind.
[[nodiscard]] Outcome<zelk_compiler::PrecisionOptions> precision_options(
    const PrecisionFlags& flags);

// Converts `graph` and `weights` in place as the flags ask (nothing for F32)
// and appends what was done to `description`: ", in f16 (layer_norm,
// softmax and reduce_mean kept in f32; 6 casts)", with the weight values
// rounding saturated, made subnormal or zero when there are any.
[[nodiscard]] Outcome<void> convert_workload(const PrecisionFlags& flags,
                                             zelk_compiler::Graph& graph,
                                             zelk_compiler::TensorValues& weights,
                                             std::string& description);

}  // namespace zelkc
