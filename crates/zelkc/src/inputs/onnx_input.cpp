// --dim and ONNX model files.
#include "inputs/onnx_input.hpp"

#include <limits>
#include <utility>

#include <zelk_compiler/debug.hpp>

#include "formats/numbers.hpp"
#include "inputs/input_files.hpp"

namespace zelkc {
namespace {

// NAME=VALUE with a name and a positive extent, split; the message of what
// is wrong otherwise.
std::expected<std::pair<std::string, std::uint64_t>, std::string> binding(const std::string& text) {
  const auto equals = text.find('=');
  if (equals == std::string::npos || equals == 0) {
    return std::unexpected('"' + text + "\" is not NAME=VALUE");
  }
  auto extent = parse_unsigned(std::string_view(text).substr(equals + 1), 1,
                               std::numeric_limits<std::uint64_t>::max());
  if (!extent) {
    return std::unexpected(text.substr(0, equals) + ": " + extent.error());
  }
  return std::pair{text.substr(0, equals), *extent};
}

}  // namespace

CLI::Option* add_dim_flag(CLI::App& command, OnnxFlags& flags) {
  const CLI::Validator valid(
      [](std::string& value) -> std::string {
        auto parsed = binding(value);
        return parsed ? std::string() : parsed.error();
      },
      "");
  return command
      .add_option("--dim", flags.dims,
                  "Extent of a symbolic dimension of the model's inputs (repeat for each)")
      ->allow_extra_args(false)
      ->check(valid)
      ->type_name("NAME=VALUE");
}

Outcome<zelk_onnx::Dims> dims_of(const OnnxFlags& flags) {
  zelk_onnx::Dims dims;
  for (const std::string& text : flags.dims) {
    auto parsed = binding(text);
    if (!parsed) {
      return std::unexpected(Failure::usage("--dim: " + parsed.error()));
    }
    if (!dims.emplace(parsed->first, parsed->second).second) {
      return std::unexpected(Failure::usage("--dim: " + parsed->first + " is given twice"));
    }
  }
  return dims;
}

std::string describe_onnx(const OnnxFlags& flags) {
  std::string text = "ONNX model " + flags.file;
  const auto dims = dims_of(flags);
  if (dims && !dims->empty()) {
    std::string list;
    for (const auto& [name, extent] : *dims) {
      list += list.empty() ? "" : ", ";
      list += name + ' ' + std::to_string(extent);
    }
    text += " (" + list + ')';
  }
  return text;
}

Outcome<zelk_onnx::OnnxModel> read_onnx(const OnnxFlags& flags) {
  auto dims = dims_of(flags);
  if (!dims) {
    return std::unexpected(std::move(dims.error()));
  }
  if (auto readable = check_readable_file(flags.file); !readable) {
    return std::unexpected(std::move(readable.error()));
  }
  auto model = zelk_onnx::load_onnx(flags.file, *dims);
  if (!model) {
    return std::unexpected(Failure::refused(zelk_compiler::debug_string(model.error())));
  }
  return std::move(*model);
}

}  // namespace zelkc
