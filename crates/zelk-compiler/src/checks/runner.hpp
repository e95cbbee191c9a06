// The check runner: selects checks from a table by name, runs them on worker
// threads and reports each one, in table order, with a summary and an exit
// status.
#pragma once

#include <iosfwd>
#include <source_location>
#include <span>
#include <string_view>

namespace zelk_compiler::checks {

// One entry of a check table. A check passes by returning and fails by
// throwing; whatever it throws becomes its failure message.
struct Check {
  std::string_view name;
  void (*function)() = nullptr;
  std::source_location location;
  // Skipped unless the run includes ignored checks.
  bool ignored = false;
  // Passes only when the function throws.
  bool should_fail = false;
  // Listed as a benchmark; run once like any other check.
  bool benchmark = false;
};

// Exit statuses of `run_checks`.
inline constexpr int exit_passed = 0;
inline constexpr int exit_failed = 1;
inline constexpr int exit_usage = 2;

// Runs the checks of `table` that `arguments` select and writes the report to
// `out`; usage errors go to `err`. `arguments` excludes the program name:
//
//   [FILTER...]          checks whose name contains any FILTER (all without one)
//   --exact              filters match whole names
//   --list               print the selected names instead of running them
//   --include-ignored    run ignored checks too
//   --test-threads N     run on N threads (default: the hardware's concurrency)
//   --help               print the usage
//
// Returns `exit_passed` when every check run passed, `exit_failed` when any
// failed and `exit_usage` for a command line it cannot read.
[[nodiscard]] int run_checks(std::span<const Check> table,
                             std::span<const std::string_view> arguments, std::ostream& out,
                             std::ostream& err);

// `run_checks` on a program's own command line, reporting to standard output
// and standard error.
[[nodiscard]] int run_main(std::span<const Check> table, int argc, const char* const* argv);

}  // namespace zelk_compiler::checks
