// ONNX models on the command line: --dim NAME=VALUE for their symbolic
// dimensions, and reading a model file with the ONNX importer.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>
#include <zelk_onnx/onnx.hpp>

#include "failure.hpp"

namespace zelkc {

struct OnnxFlags {
  std::string file;               // no model when empty
  std::vector<std::string> dims;  // NAME=VALUE, as given
};

// Declares --dim, one NAME=VALUE per flag, checked as it is read.
CLI::Option* add_dim_flag(CLI::App& command, OnnxFlags& flags);

// The extents the --dim flags bind; a name given twice is a usage failure.
[[nodiscard]] Outcome<zelk_onnx::Dims> dims_of(const OnnxFlags& flags);

// "ONNX model bert.onnx (batch 1, sequence 128)".
[[nodiscard]] std::string describe_onnx(const OnnxFlags& flags);

// The model the flags name, imported. A path that cannot be read is a usage
// failure naming it; a model the importer refuses is `Refused` with its
// CompileError.
[[nodiscard]] Outcome<zelk_onnx::OnnxModel> read_onnx(const OnnxFlags& flags);

}  // namespace zelkc
