// zelkc plan-buffers.
#include "commands/plan_buffers_command.hpp"

#include <charconv>
#include <cmath>
#include <utility>
#include <vector>

#include "commands/buffer_plan.hpp"
#include "commands/flags.hpp"
#include "inputs/input_files.hpp"
#include "outputs/output_files.hpp"

namespace zelkc {
namespace {

constexpr double kLongestTimeLimit = 1e6;

// A plain decimal number of seconds from 0 to kLongestTimeLimit.
CLI::Validator seconds() {
  return CLI::Validator(
      [](const std::string& text) -> std::string {
        double value = 0;
        const char* last = text.data() + text.size();
        const auto [end, error] =
            std::from_chars(text.data(), last, value, std::chars_format::fixed);
        if (error != std::errc{} || end != last || !std::isfinite(value) || value < 0 ||
            value > kLongestTimeLimit) {
          return '"' + text + "\" is not a number of seconds from 0 to 1000000";
        }
        return {};
      },
      "SECONDS");
}

}  // namespace

CLI::App* add_plan_buffers_command(CLI::App& app, PlanBuffersFlags& flags) {
  CLI::App* command = app.add_subcommand(
      "plan-buffers",
      "Place the buffers of a CSV file (id,lower,upper,size; lifetimes [lower, upper)) "
      "within a capacity and write them with an offset column");
  command->add_option("file", flags.input, "The CSV file (- for standard input)")
      ->type_name("FILE")
      ->required();
  add_unsigned(*command, "--capacity", flags.capacity, "Bytes every buffer must end within")
      ->required();
  command
      ->add_option("--time-limit", flags.time_limit,
                   "Seconds the exact search may take when the orderings do not fit")
      ->check(seconds())
      ->capture_default_str();
  command->add_option("-o,--output", flags.output,
                      "Write the CSV to this file, and the summary to standard output");
  return command;
}

Outcome<std::string> run_plan_buffers(const PlanBuffersFlags& flags) {
  auto text = read_text_file(flags.input);
  if (!text) {
    return std::unexpected(std::move(text.error()));
  }
  const auto limit = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::duration<double>(flags.time_limit));
  auto plan = plan_buffer_file(flags.input, *text, flags.capacity.value(), limit);
  if (!plan) {
    return std::unexpected(std::move(plan.error()));
  }
  if (flags.output.empty()) {
    return std::move(plan->csv);
  }
  if (auto written = deliver(flags.output, std::move(plan->csv), {}); !written) {
    return written;
  }
  return std::move(plan->summary);
}

}  // namespace zelkc
