// The built-in checks and their table.
#include "checks/checks.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <source_location>
#include <vector>

#include "checks/assertions.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"
#include "zelk_compiler/graph.hpp"

namespace zelk_compiler::tests {

using checks::CheckFailure;
using checks::require;
using checks::require_eq;
using checks::require_ok;

// Each check's location is taken on the line just above its definition, so
// the report points at the check itself.

constexpr std::source_location compiles_deterministically_at = std::source_location::current();
void encoder_graph_compiles_deterministically() {
  const Graph graph = require_ok(encoder_graph(EncoderConfig{}));
  const CompilerOptions first_options{};
  const Schedule first = require_ok(compile(graph, first_options));
  const CompilerOptions second_options{};
  const Schedule second = require_ok(compile(graph, second_options));

  require_eq(first, second);
  require_eq(graph.ops.size(), std::size_t{15});
  require(first.phases.size() >= graph.ops.size(),
          "assertion failed: first.phases.len() >= graph.ops.len()");
  require(std::ranges::all_of(first.peak_sram,
                              [](const auto& entry) { return entry.second < 0x8e000; }),
          "assertion failed: first.peak_sram.values().all(|peak| *peak < 0x8e000)");
}

constexpr std::source_location finite_and_repeatable_at = std::source_location::current();
void encoder_reference_is_finite_and_repeatable() {
  const EncoderConfig config{.sequence = 4, .hidden = 8, .heads = 2, .feed_forward = 16};
  // A ramp from -0.5625 to 1.375 in steps of 0.0625; every row is the one
  // before plus 0.5.
  const std::vector<float> input = reference_ramp(32);
  const EncoderWeights weights = EncoderWeights::deterministic(config);

  const std::vector<float> first = require_ok(encoder_reference(config, input, weights));
  const std::vector<float> second = require_ok(encoder_reference(config, input, weights));

  require_eq(first, second);
  require(std::ranges::all_of(first, [](float value) { return std::isfinite(value); }),
          "assertion failed: first.iter().all(|value| value.is_finite())");

  // The sum in list order, from -0, of what the reference arithmetic gives
  // for this configuration and input.
  const float checksum = reference_checksum(first);
  constexpr float expected_checksum = std::bit_cast<float>(0x42D6EDB0U);  // 107.46423
  constexpr float tolerance = std::bit_cast<float>(0x38D1B717U);          // 0.0001
  // Written so that a NaN checksum fails.
  if (!(std::fabs(checksum - expected_checksum) < tolerance)) {
    throw CheckFailure("checksum=" + debug_string(checksum));
  }
}

constexpr std::source_location do_not_overlap_at = std::source_location::current();
void live_allocations_do_not_overlap() {
  const Graph graph = require_ok(encoder_graph(EncoderConfig{}));
  const Schedule schedule = require_ok(compile(graph, CompilerOptions{}));

  const std::vector<Allocation>& allocations = schedule.allocations;
  for (std::size_t i = 0; i < allocations.size(); ++i) {
    const Allocation& left = allocations[i];
    for (std::size_t j = i + 1; j < allocations.size(); ++j) {
      const Allocation& right = allocations[j];
      if (left.tile != right.tile ||
          !lifetimes_overlap(left.live_from, left.live_until, right.live_from, right.live_until)) {
        continue;
      }
      // Ends are computed in 64 bits so that a buffer running past 4 GiB
      // cannot wrap round and look disjoint.
      const std::uint64_t left_end = std::uint64_t{left.address} + left.size;
      const std::uint64_t right_end = std::uint64_t{right.address} + right.size;
      require(left_end <= right.address || right_end <= left.address,
              "assertion failed: left.address + left.size <= right.address ||\n"
              "    right.address + right.size <= left.address");
    }
  }
}

namespace {

constexpr std::array<checks::Check, 3> table{{
    {.name = "tests::encoder_graph_compiles_deterministically",
     .function = encoder_graph_compiles_deterministically,
     .location = compiles_deterministically_at,
     .ignored = false,
     .should_fail = false,
     .benchmark = false},
    {.name = "tests::encoder_reference_is_finite_and_repeatable",
     .function = encoder_reference_is_finite_and_repeatable,
     .location = finite_and_repeatable_at,
     .ignored = false,
     .should_fail = false,
     .benchmark = false},
    {.name = "tests::live_allocations_do_not_overlap",
     .function = live_allocations_do_not_overlap,
     .location = do_not_overlap_at,
     .ignored = false,
     .should_fail = false,
     .benchmark = false},
}};

}  // namespace

std::span<const checks::Check> check_table() { return table; }

}  // namespace zelk_compiler::tests
