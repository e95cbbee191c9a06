// The check runner: command line, selection, threaded execution and the report.
#include "runner.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <expected>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace zelk_compiler::checks {
namespace {

constexpr std::string_view usage_text =
    "Usage: zelk-checks [OPTIONS] [FILTER...]\n"
    "\n"
    "Runs the built-in checks whose names contain any FILTER (all checks without one).\n"
    "\n"
    "Options:\n"
    "  --exact              a filter must match the whole name\n"
    "  --list               print the selected checks' names instead of running them\n"
    "  --include-ignored    run ignored checks too\n"
    "  --test-threads N     run the checks on N threads (default: one per hardware thread)\n"
    "  -h, --help           print this text\n"
    "\n"
    "Exit status: 0 when every check run passed, 1 when any failed, 2 for a bad command line.\n";

struct Options {
  std::vector<std::string_view> filters;
  bool exact = false;
  bool list = false;
  bool include_ignored = false;
  bool help = false;
  std::size_t threads = 1;
};

std::size_t default_thread_count() {
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

// A whole decimal number of at least 1.
std::optional<std::size_t> parse_thread_count(std::string_view text) {
  std::size_t count = 0;
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, count);
  if (error != std::errc{} || stop != end || count == 0) {
    return std::nullopt;
  }
  return count;
}

std::expected<Options, std::string> parse_arguments(std::span<const std::string_view> arguments) {
  Options options;
  options.threads = default_thread_count();
  bool only_filters = false;
  for (std::size_t position = 0; position < arguments.size(); ++position) {
    const std::string_view argument = arguments[position];
    if (only_filters || argument.empty() || argument.front() != '-' || argument == "-") {
      options.filters.push_back(argument);
      continue;
    }
    if (argument == "--") {
      only_filters = true;
    } else if (argument == "--exact") {
      options.exact = true;
    } else if (argument == "--list") {
      options.list = true;
    } else if (argument == "--include-ignored") {
      options.include_ignored = true;
    } else if (argument == "--help" || argument == "-h") {
      options.help = true;
    } else if (argument == "--test-threads" || argument.starts_with("--test-threads=")) {
      std::string_view value;
      if (argument == "--test-threads") {
        if (position + 1 == arguments.size()) {
          return std::unexpected(std::string("--test-threads needs a number"));
        }
        value = arguments[++position];
      } else {
        value = argument.substr(argument.find('=') + 1);
      }
      const std::optional<std::size_t> count = parse_thread_count(value);
      if (!count) {
        return std::unexpected("--test-threads needs a whole number of at least 1, not '" +
                               std::string(value) + "'");
      }
      options.threads = *count;
    } else {
      return std::unexpected("unknown option '" + std::string(argument) + "'");
    }
  }
  return options;
}

bool is_selected(const Check& check, const Options& options) {
  if (options.filters.empty()) {
    return true;
  }
  return std::ranges::any_of(options.filters, [&](std::string_view filter) {
    return options.exact ? check.name == filter : check.name.find(filter) != std::string_view::npos;
  });
}

enum class Outcome { Passed, Failed, Ignored };

struct Report {
  Outcome outcome = Outcome::Passed;
  std::string message;
};

// Runs `function` and returns the message of whatever it throws, or nothing
// when it returns.
std::optional<std::string> failure_of(void (*function)()) {
  if (function == nullptr) {
    return "the check has no function to run";
  }
  try {
    function();
    return std::nullopt;
  } catch (const std::exception& error) {
    return std::string(error.what());
  } catch (const std::string& text) {
    return text;
  } catch (const char* text) {
    return text == nullptr ? std::string("(null message)") : std::string(text);
  } catch (...) {
    return "the check threw a value that is not a std::exception";
  }
}

Report run_check(const Check& check, bool include_ignored) {
  if (check.ignored && !include_ignored) {
    return {Outcome::Ignored, {}};
  }
  std::optional<std::string> failure = failure_of(check.function);
  if (check.should_fail) {
    if (failure) {
      return {Outcome::Passed, {}};
    }
    return {Outcome::Failed, "the check passed but was expected to fail"};
  }
  if (failure) {
    return {Outcome::Failed, std::move(*failure)};
  }
  return {Outcome::Passed, {}};
}

// Reports of the checks of one run, filled in by the workers in any order and
// taken by the reporting thread in table order.
struct Board {
  std::mutex mutex;
  std::condition_variable filled;
  std::vector<std::optional<Report>> reports;
};

void post(Board& board, std::size_t position, Report report) {
  {
    const std::lock_guard lock(board.mutex);
    board.reports[position] = std::move(report);
  }
  board.filled.notify_all();
}

Report take(Board& board, std::size_t position) {
  std::unique_lock lock(board.mutex);
  board.filled.wait(lock, [&] { return board.reports[position].has_value(); });
  return std::move(*board.reports[position]);
}

// Runs the checks whose positions `next` hands out until none is left.
void work(std::span<const Check* const> checks, bool include_ignored,
          std::atomic<std::size_t>& next, Board& board) {
  for (std::size_t position = next++; position < checks.size(); position = next++) {
    Report report;
    try {
      report = run_check(*checks[position], include_ignored);
    } catch (...) {
      // Only building the failure message itself can get here (out of memory).
      report = Report{Outcome::Failed, {}};
    }
    post(board, position, std::move(report));
  }
}

std::string_view outcome_word(Outcome outcome) {
  switch (outcome) {
    case Outcome::Passed:
      return "ok";
    case Outcome::Failed:
      return "FAILED";
    case Outcome::Ignored:
      return "ignored";
  }
  return "FAILED";
}

void write_check_line(std::ostream& out, const Check& check, Outcome outcome) {
  out << "test " << check.name << (check.should_fail ? " - should fail" : "") << " ... "
      << outcome_word(outcome) << '\n';
}

int run_selected(std::span<const Check* const> checks, std::size_t filtered_out,
                 const Options& options, std::ostream& out) {
  out << "running " << checks.size() << (checks.size() == 1 ? " check" : " checks") << '\n';

  Board board;
  board.reports.resize(checks.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::jthread> workers;
  const std::size_t wanted = std::min(options.threads, checks.size());
  try {
    while (workers.size() < wanted) {
      workers.emplace_back(work, checks, options.include_ignored, std::ref(next), std::ref(board));
    }
  } catch (const std::system_error&) {
    // Fewer threads than asked for still run every check; none at all means
    // this thread does the work before reporting.
    if (workers.empty()) {
      work(checks, options.include_ignored, next, board);
    }
  }

  // Lines go out in table order as soon as each check and all before it are done.
  std::vector<Report> reports;
  reports.reserve(checks.size());
  for (std::size_t position = 0; position < checks.size(); ++position) {
    reports.push_back(take(board, position));
    write_check_line(out, *checks[position], reports.back().outcome);
    out.flush();
  }
  workers.clear();

  std::size_t passed = 0;
  std::size_t failed = 0;
  std::size_t ignored = 0;
  for (const Report& report : reports) {
    passed += report.outcome == Outcome::Passed ? 1 : 0;
    failed += report.outcome == Outcome::Failed ? 1 : 0;
    ignored += report.outcome == Outcome::Ignored ? 1 : 0;
  }

  if (failed != 0) {
    out << "\nfailures:\n";
    for (std::size_t position = 0; position < checks.size(); ++position) {
      if (reports[position].outcome != Outcome::Failed) {
        continue;
      }
      const Check& check = *checks[position];
      out << "\n---- " << check.name << " (" << check.location.file_name() << ':'
          << check.location.line() << ") ----\n"
          << reports[position].message << '\n';
    }
    out << "\nfailures:\n";
    for (std::size_t position = 0; position < checks.size(); ++position) {
      if (reports[position].outcome == Outcome::Failed) {
        out << "    " << checks[position]->name << '\n';
      }
    }
  }

  out << '\n' << passed << " passed, " << failed << " failed";
  if (ignored != 0) {
    out << ", " << ignored << " ignored";
  }
  if (filtered_out != 0) {
    out << ", " << filtered_out << " filtered out";
  }
  out << '\n';
  out.flush();
  return failed == 0 ? exit_passed : exit_failed;
}

}  // namespace

int run_checks(std::span<const Check> table, std::span<const std::string_view> arguments,
               std::ostream& out, std::ostream& err) {
  const std::expected<Options, std::string> options = parse_arguments(arguments);
  if (!options) {
    err << "error: " << options.error() << "\n(see --help)\n";
    return exit_usage;
  }
  if (options->help) {
    out << usage_text;
    return exit_passed;
  }

  std::vector<const Check*> selected;
  for (const Check& check : table) {
    if (is_selected(check, *options)) {
      selected.push_back(&check);
    }
  }

  if (options->list) {
    for (const Check* check : selected) {
      out << check->name << (check->benchmark ? ": bench" : ": test") << '\n';
    }
    return exit_passed;
  }
  return run_selected(selected, table.size() - selected.size(), *options, out);
}

int run_main(std::span<const Check> table, int argc, const char* const* argv) {
  std::vector<std::string_view> arguments;
  for (int position = 1; position < argc; ++position) {
    arguments.emplace_back(argv[position]);
  }
  return run_checks(table, arguments, std::cout, std::cerr);
}

}  // namespace zelk_compiler::checks
