// The precision flags shared by compile, fit and import.
#include "inputs/precision_input.hpp"

#include <array>
#include <ranges>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <zelk_compiler/debug.hpp>

#include "commands/flags.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

void add_precision_flags(CLI::App& command, PrecisionFlags& flags) {
  static constexpr std::array<Choice<zc::DType>, 3> kPrecisions{{
      {"f32", zc::DType::F32},
      {"f16", zc::DType::F16},
      {"bf16", zc::DType::BF16},
  }};
  add_choice(command, "--precision", flags.precision, kPrecisions,
             "Element type of the workload's tensors: float32 as given, or converted to float16 "
             "or bfloat16 (weights rounded once, to nearest even)");
  command
      .add_option("--keep-f32", flags.keep_f32,
                  "Operation kinds computed in float32 under a 16-bit --precision, with casts "
                  "around them (default layer_norm,softmax,reduce_mean; none for no kind)")
      ->type_name("KIND,...|none");
  command.add_flag("--keep-f32-io", flags.keep_io,
                   "Keep the inputs and outputs in float32 under a 16-bit --precision, with "
                   "casts at the boundary");
}

namespace {

std::vector<std::string> split_kinds(std::string_view text) {
  std::vector<std::string> kinds;
  for (const auto part : std::views::split(text, ',')) {
    kinds.emplace_back(part.begin(), part.end());
  }
  return kinds;
}

std::string joined(std::span<const std::string_view> names) {
  std::string text;
  for (const std::string_view name : names) {
    text += text.empty() ? "" : ", ";
    text += name;
  }
  return text;
}

// "layer_norm, softmax and reduce_mean kept in f32" or "nothing kept in f32".
std::string kept_text(const std::vector<std::string>& kinds) {
  if (kinds.empty()) {
    return "nothing kept in f32";
  }
  std::string text;
  for (std::size_t i = 0; i < kinds.size(); ++i) {
    text += i == 0 ? "" : (i + 1 == kinds.size() ? " and " : ", ");
    text += kinds[i];
  }
  return text + " kept in f32";
}

std::string count_text(std::uint64_t count, std::string_view what) {
  return std::to_string(count) + " " + std::string(what);
}

}  // namespace

Outcome<zc::PrecisionOptions> precision_options(const PrecisionFlags& flags) {
  if (!flags.converts()) {
    if (!flags.keep_f32.empty()) {
      return std::unexpected(Failure::usage("--keep-f32: needs --precision f16 or bf16"));
    }
    if (flags.keep_io) {
      return std::unexpected(Failure::usage("--keep-f32-io: needs --precision f16 or bf16"));
    }
    return zc::PrecisionOptions{};
  }
  zc::PrecisionOptions options{.target = flags.precision, .keep_io = flags.keep_io};
  if (flags.keep_f32 == "none") {
    options.keep_f32.clear();
  } else if (!flags.keep_f32.empty()) {
    options.keep_f32 = split_kinds(flags.keep_f32);
  }
  const std::span<const std::string_view> known = zc::operation_names();
  for (const std::string& kind : options.keep_f32) {
    if (std::ranges::find(known, kind) == known.end()) {
      return std::unexpected(Failure::usage("--keep-f32: unknown operation kind \"" + kind +
                                            "\" (kinds: " + joined(known) + "; or none)"));
    }
  }
  return options;
}

Outcome<void> convert_workload(const PrecisionFlags& flags, zc::Graph& graph,
                               zc::TensorValues& weights, std::string& description) {
  auto options = precision_options(flags);
  if (!options) {
    return std::unexpected(std::move(options.error()));
  }
  if (!flags.converts()) {
    return {};
  }
  auto conversion = zc::convert_precision(graph, weights, *options);
  if (!conversion) {
    return std::unexpected(Failure::refused(zc::debug_string(conversion.error())));
  }
  description += ", in " + std::string(zc::dtype_name(options->target)) + " (" +
                 kept_text(options->keep_f32) +
                 (options->keep_io ? "; inputs and outputs in f32" : "") + "; " +
                 count_text(conversion->casts, conversion->casts == 1 ? "cast" : "casts");
  const zc::RoundingCounts& total = conversion->total;
  if (total.any()) {
    description += "; weight values rounded: " + count_text(total.overflowed, "saturated") + ", " +
                   count_text(total.subnormal, "subnormal") + ", " +
                   count_text(total.zeroed, "to zero");
  }
  description += ")";
  graph = std::move(conversion->graph);
  weights = std::move(conversion->weights);
  return {};
}

}  // namespace zelkc
