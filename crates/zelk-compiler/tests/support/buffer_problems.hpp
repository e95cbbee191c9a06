// The published buffer placement problems kept under bench/data, for the
// tests and benchmarks.
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

}  // namespace zelk_compiler::test_support
