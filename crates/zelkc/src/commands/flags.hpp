// Declaring flags on the command line and checking their values: every bad
// value or combination becomes a usage failure that names the flag, before
// the library is called.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
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

// An unsigned flag whose values range over `T`, stored into `value` (a `T`
// or an optional one, empty unless the flag is given). What is valid beyond
// that range is checked once all flags are read (the check_ functions
// below).
template <std::unsigned_integral T, class Target>
CLI::Option* add_unsigned_flag(CLI::App& command, const std::string& name, Target& value,
                               const std::string& help) {
  return command
      .add_option_function<std::uint64_t>(
          name, [&value](const std::uint64_t& parsed) { value = static_cast<T>(parsed); }, help)
      ->transform(unsigned_up_to(std::numeric_limits<T>::max()))
      ->type_name("N");
}

template <std::unsigned_integral T>
CLI::Option* add_unsigned(CLI::App& command, const std::string& name, T& value,
                          const std::string& help) {
  return add_unsigned_flag<T>(command, name, value, help)->default_str(std::to_string(value));
}

template <std::unsigned_integral T>
CLI::Option* add_unsigned(CLI::App& command, const std::string& name, std::optional<T>& value,
                          const std::string& help) {
  return add_unsigned_flag<T>(command, name, value, help);
}

// Refuses any value but `names`, naming the closest one.
[[nodiscard]] CLI::Validator one_of(std::vector<std::string> names);

// One name a flag of add_choice takes, and the value it stands for.
template <class T>
struct Choice {
  std::string_view name;
  T value;
};

// A flag taking one of a few names, each standing for a value of `T`; any
// other value is refused with the list of names. `choices` must outlive
// `command`: a table of constants.
template <class T, std::size_t N>
CLI::Option* add_choice(CLI::App& command, const std::string& name, T& value,
                        const std::array<Choice<T>, N>& choices, const std::string& help) {
  std::vector<std::string> names;
  std::string shown;
  std::string shown_default;
  for (const Choice<T>& choice : choices) {
    names.emplace_back(choice.name);
    shown += shown.empty() ? "" : "|";
    shown += choice.name;
    if (choice.value == value) {
      shown_default = choice.name;
    }
  }
  // Two references: small enough for std::function to keep without
  // allocating.
  const auto set = [&value, &choices](const std::string& given) {
    for (const Choice<T>& choice : choices) {
      if (choice.name == given) {
        value = choice.value;
      }
    }
  };
  return command.add_option_function<std::string>(name, set, help)
      ->check(one_of(std::move(names)))
      ->type_name(shown)
      ->default_str(shown_default);
}

// The encoder block's flags, shared by the commands that build or evaluate
// it.
struct EncoderFlags {
  zelk_compiler::EncoderConfig config;
  std::optional<std::uint64_t> layers{};  // a stack of blocks when given
  bool heads_given = false;               // whether --heads is on the command line
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
