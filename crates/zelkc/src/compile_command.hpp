// zelkc compile: compile the encoder block or a graph file and show the
// schedule as a summary, JSON or its printed form, with a memory map picture
// and an HTML report on request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>
#include <zelk_compiler/compiler.hpp>

#include "failure.hpp"
#include "flags.hpp"

namespace zelkc {

enum class Emit { Summary, Json, Text };

struct CompileFlags {
  EncoderFlags encoder;
  zelk_compiler::CompilerOptions options;
  std::string graph_file;  // the encoder block when empty; "-" for standard input
  Emit emit = Emit::Summary;
  std::string output;      // standard output when empty
  std::string memory_map;  // no picture when empty
  std::optional<std::uint16_t> tile;
  std::string report;  // no report when empty
};

CLI::App* add_compile_command(CLI::App& app, CompileFlags& flags);

// Every check of the flags that needs no file and no compilation.
[[nodiscard]] Outcome<void> check_compile_flags(const CompileFlags& flags);

// Checks the flags, compiles, writes the files asked for and returns what
// goes to standard output.
[[nodiscard]] Outcome<std::string> run_compile(const CompileFlags& flags);

}  // namespace zelkc
