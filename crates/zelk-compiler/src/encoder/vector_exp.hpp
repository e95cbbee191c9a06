// expf over a list of values with the C library's bits, several at a time
// where the processor allows.
#pragma once

#include <cstdint>

namespace zelk_compiler::detail {

// Replaces every value by expf(value).
void exp_each_vector(float* values, std::uint64_t count);

}  // namespace zelk_compiler::detail
