// Declaring flags on the command line and checking their values: every bad
// value or combination becomes a usage failure that names the flag, before
// the library is called.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/encoder.hpp>

#include "failure.hpp"

namespace zelkc {

// Accepts decimal or 0x hexadecimal up to `maximum` and hands CLI11 the plain
// decimal form. CLI11's own conversion would take "-1" as 2^64 - 1 and "010"
// as octal.
[[nodiscard]] CLI::Validator unsigned_up_to(std::uint64_t maximum);

// An unsigned flag whose value range is its type's; what is valid beyond
// that is checked once all flags are read (see the check_ functions below).
template <std::unsigned_integral T>
CLI::Option* add_unsigned(CLI::App& command, const std::string& name, T& value,
                          const std::string& help) {
  return command
      .add_option_function<std::uint64_t>(
          name, [&value](const std::uint64_t& parsed) { value = static_cast<T>(parsed); }, help)
      ->transform(unsigned_up_to(std::numeric_limits<T>::max()))
      ->type_name("N")
      ->default_str(std::to_string(value));
}

// The same for a flag with no default: empty unless given.
template <std::unsigned_integral T>
CLI::Option* add_unsigned(CLI::App& command, const std::string& name, std::optional<T>& value,
                          const std::string& help) {
  return command
      .add_option_function<std::uint64_t>(
          name, [&value](const std::uint64_t& parsed) { value = static_cast<T>(parsed); }, help)
      ->transform(unsigned_up_to(std::numeric_limits<T>::max()))
      ->type_name("N");
}

// Declares `name` taking one of `names`; `chosen` gets the index of the
// name given. Any other value is refused with the list of names.
CLI::Option* add_name_choice(CLI::App& command, const std::string& name,
                             std::vector<std::string> names,
                             std::function<void(std::size_t)> chosen, const std::string& help);

// A flag taking one of a few names, each standing for a value of `T`.
template <class T>
CLI::Option* add_choice(CLI::App& command, const std::string& name, T& value,
                        std::vector<std::pair<std::string, T>> choices, const std::string& help) {
  std::vector<std::string> names;
  std::string shown_default;
  for (const auto& [choice, choice_value] : choices) {
    names.push_back(choice);
    if (choice_value == value) {
      shown_default = choice;
    }
  }
  CLI::Option* option = add_name_choice(
      command, name, std::move(names),
      [&value, choices](std::size_t index) { value = choices[index].second; }, help);
  if (!shown_default.empty()) {
    option->default_str(shown_default);
  }
  return option;
}

// The encoder block's flags, shared by the commands that build or evaluate
// it.
struct EncoderFlags {
  zelk_compiler::EncoderConfig config;
  std::optional<std::uint64_t> layers{};  // a stack of blocks when given
};

// Declares --sequence, --hidden, --heads, --feed-forward and, `with_layers`,
// --layers; returns them (for flags that exclude them).
std::vector<CLI::Option*> add_encoder_flags(CLI::App& command, EncoderFlags& flags,
                                            bool with_layers);

// "encoder block (sequence 32, hidden 64, heads 4, feed_forward 256)", or
// "encoder stack of 3 blocks (...)".
[[nodiscard]] std::string describe_encoder(const EncoderFlags& flags);

// The library's rules for a block (or stack) that can be built, as usage
// failures naming the flags.
[[nodiscard]] Outcome<void> check_encoder_flags(const EncoderFlags& flags);

// The library's rules for valid options, as usage failures naming the flags.
[[nodiscard]] Outcome<void> check_compiler_options(const zelk_compiler::CompilerOptions& options);

// The encoder graph (or stack) the flags describe, once check_encoder_flags
// passes.
[[nodiscard]] Outcome<zelk_compiler::Graph> encoder_graph(const EncoderFlags& flags);

}  // namespace zelkc
