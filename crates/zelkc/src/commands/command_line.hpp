// Reading the command line into the commands' flags, and ending the run.
// Every CLI11 error becomes a usage failure (exit status 2) that names the
// flag; a mistyped flag or command gets the closest known one, and a stray
// file name the flag that reads it.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "failure.hpp"

namespace zelkc {

// Parses `arguments` (without the program's name) into the flags declared on
// `app` and its commands. True when a command is to run; false when a help
// text was printed instead.
[[nodiscard]] Outcome<bool> parse_command_line(CLI::App& app, std::vector<std::string> arguments);

// Prints what a command gave on `out`, or its failure as one
// "zelkc: error: ..." line on `err`, and returns the exit status. A write to
// `out` that fails, at once or when flushed, is a failure too (exit status
// 1) naming standard output.
int finish(const Outcome<std::string>& done, std::ostream& out, std::ostream& err);

// Flushes `out` after something else wrote to it (a help text): 0, or the
// failure of a write that failed, as `finish` reports it.
int flush_output(std::ostream& out, std::ostream& err);

}  // namespace zelkc
