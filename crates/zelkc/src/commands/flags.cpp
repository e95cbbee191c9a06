// Declaring flags and checking their values against the library's rules.
#include "commands/flags.hpp"

#include <zelk_compiler/debug.hpp>

#include "commands/suggestions.hpp"
#include "formats/numbers.hpp"
#include "outputs/summary.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

CLI::Validator unsigned_up_to(std::uint64_t maximum) {
  return CLI::Validator(
      [maximum](std::string& value) -> std::string {
        const auto parsed = parse_unsigned(value, 0, maximum);
        if (!parsed) {
          return parsed.error();
        }
        value = std::to_string(*parsed);
        return {};
      },
      "");
}

CLI::Validator one_of(std::vector<std::string> names) {
  return CLI::Validator(
      [names = std::move(names)](std::string& value) -> std::string {
        if (std::ranges::find(names, value) != names.end()) {
          return {};
        }
        std::string message = '"' + value + "\" is not one of " + listing(names, "or");
        if (const auto near = closest(value, names)) {
          message += " (did you mean " + *near + "?)";
        }
        return message;
      },
      "");
}

std::vector<CLI::Option*> add_encoder_flags(CLI::App& command, EncoderFlags& flags,
                                            bool with_layers) {
  zc::EncoderConfig& config = flags.config;
  std::vector<CLI::Option*> options = {
      add_unsigned(command, "--sequence", config.sequence, "Token rows of the encoder input"),
      add_unsigned(command, "--hidden", config.hidden, "Model width"),
      add_unsigned(command, "--heads", config.heads, "Attention heads (must divide --hidden)")
          ->each([&flags](const std::string&) { flags.heads_given = true; }),
      add_unsigned(command, "--feed-forward", config.feed_forward,
                   "Inner width of the feed-forward layers"),
  };
  if (with_layers) {
    options.push_back(
        add_unsigned(command, "--layers", flags.layers,
                     "Stack this many encoder blocks (without it: the single block)"));
  }
  return options;
}

std::string describe_encoder(const EncoderFlags& flags) {
  const zc::EncoderConfig& config = flags.config;
  std::string text = "encoder block";
  if (flags.layers) {
    text = "encoder stack of " + std::to_string(*flags.layers) +
           (*flags.layers == 1 ? " block" : " blocks");
  }
  text += " (sequence " + std::to_string(config.sequence) + ", hidden " +
          std::to_string(config.hidden) + ", heads " + std::to_string(config.heads) +
          ", feed_forward " + std::to_string(config.feed_forward) + ")";
  return text;
}

Outcome<void> check_encoder_flags(const EncoderFlags& flags) {
  const zc::EncoderConfig& config = flags.config;
  const auto fault = zc::encoder_fault(config, flags.layers.value_or(1));
  if (!fault) {
    return {};
  }
  switch (*fault) {
    case zc::EncoderFault::ZeroHidden:
      return std::unexpected(Failure::usage("--hidden: must be at least 1"));
    case zc::EncoderFault::ZeroSequence:
      return std::unexpected(Failure::usage("--sequence: must be at least 1"));
    case zc::EncoderFault::ZeroHeads:
      return std::unexpected(Failure::usage("--heads: must be at least 1"));
    case zc::EncoderFault::HeadsDoNotDivideHidden:
      return std::unexpected(Failure::usage("--heads: " + std::to_string(config.heads) +
                                            " does not divide --hidden " +
                                            std::to_string(config.hidden)));
    case zc::EncoderFault::NoLayers:
      return std::unexpected(Failure::usage("--layers: must be at least 1"));
  }
  return {};
}

Outcome<void> check_compiler_options(const zc::CompilerOptions& options) {
  const auto fault = zc::options_fault(options);
  if (!fault) {
    return {};
  }
  switch (*fault) {
    case zc::OptionsFault::NoTiles:
      return std::unexpected(Failure::usage("--tiles: must be at least 1"));
    case zc::OptionsFault::EmptyDataWindow:
      return std::unexpected(
          Failure::usage("--data-base " + hex(options.data_base) + " is not below --data-limit " +
                         hex(options.data_limit) + ": the data window would be empty"));
  }
  return {};
}

Outcome<zc::Graph> encoder_graph(const EncoderFlags& flags) {
  if (auto checked = check_encoder_flags(flags); !checked) {
    return std::unexpected(std::move(checked.error()));
  }
  auto graph = flags.layers ? zc::encoder_stack_graph(flags.config, *flags.layers)
                            : zc::encoder_graph(flags.config);
  if (!graph) {
    return std::unexpected(Failure::refused(zc::debug_string(graph.error())));
  }
  return std::move(*graph);
}

}  // namespace zelkc
