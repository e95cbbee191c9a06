// Buffer placement problems for the tests and benchmarks: the published ones
// kept under bench/data, and crowded random ones.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "zelk_compiler/placement.hpp"

namespace zelk_compiler::test_support {

// Every problem holds its buffers within this many bytes.
inline constexpr std::uint64_t kBufferProblemCapacity = 1'048'576;

// The problems' names, "A" to "K".
[[nodiscard]] std::vector<std::string_view> buffer_problem_names();

// The buffers of problem `name` (from its file, `id,lower,upper,size` rows),
// in row order with alignment 1. Throws std::runtime_error when the file
// cannot be read or a row is malformed.
[[nodiscard]] std::vector<Buffer> read_buffer_problem(std::string_view name);

// `count` buffers, seeded by `count`, each live over a random span of
// [0, horizon), of 1 to 4096 bytes, aligned to 1 to `max_alignment`: about
// count / 3 are live at any moment, so every greedy ordering probes many
// pairs.
[[nodiscard]] std::vector<Buffer> crowded_buffers(std::uint64_t count, std::uint64_t horizon,
                                                  std::uint64_t max_alignment);

}  // namespace zelk_compiler::test_support
