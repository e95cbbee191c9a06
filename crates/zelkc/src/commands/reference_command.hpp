// zelkc reference: the host reference of the encoder block on the input of
// the built-in reference check, and its checksum.
#pragma once

#include <string>

#include <CLI/CLI.hpp>

#include "commands/flags.hpp"
#include "failure.hpp"

namespace zelkc {

// The configuration of the built-in reference check unless flags change it.
struct ReferenceFlags {
  EncoderFlags encoder{.config = {.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16}};
};

CLI::App* add_reference_command(CLI::App& app, ReferenceFlags& flags);

// What the reference needs of its caller: at least one head, and an input
// of --sequence x --hidden values that can be counted.
[[nodiscard]] Outcome<void> check_reference_flags(const ReferenceFlags& flags);

// Checks the flags, evaluates the block with deterministic weights on the
// ramp input and returns the lines to print: the value count, the checksum
// and its bits, the time taken.
[[nodiscard]] Outcome<std::string> run_reference(const ReferenceFlags& flags);

}  // namespace zelkc
