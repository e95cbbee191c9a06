// zelkc import: an ONNX model as a graph file, which compiles to the same
// schedule as `zelkc compile --onnx`.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "failure.hpp"
#include "inputs/onnx_input.hpp"
#include "inputs/precision_input.hpp"

namespace zelkc {

struct ImportFlags {
  OnnxFlags onnx;
  PrecisionFlags precision;
  std::string output;  // standard output when empty
};

CLI::App* add_import_command(CLI::App& app, ImportFlags& flags);

// Imports the model and returns the graph file's text for standard output
// (or writes it to the output file and returns nothing).
[[nodiscard]] Outcome<std::string> run_import(const ImportFlags& flags);

}  // namespace zelkc
