// Buffer lists as CSV files: a header `id,lower,upper,size`, then one buffer a
// row, live over the half-open range [lower, upper); written back with an
// `offset` column.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <zelk_compiler/placement.hpp>

#include "failure.hpp"

namespace zelkc {

struct BufferTable {
  std::vector<std::string> ids;  // as written, one per buffer
  std::vector<zelk_compiler::Buffer> buffers;
};

// The buffers of a CSV text, in row order, each with alignment 1. Rows end
// in "\n" or "\r\n"; blank lines are skipped. A malformed text is a usage
// failure naming the line and the column ("line 4, column 3 (upper): ...").
// Ids must be non-empty and distinct; numbers are unsigned 64-bit; a
// lifetime may be empty but may not end before it starts; the sizes must
// sum below 2^64.
[[nodiscard]] Outcome<BufferTable> read_buffer_csv(std::string_view text);

// The table with each buffer's offset as a fifth column, `offset`.
[[nodiscard]] std::string write_placement_csv(const BufferTable& table,
                                              std::span<const std::uint64_t> offsets);

}  // namespace zelkc
