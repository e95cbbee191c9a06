// Planning a buffer list file: read the CSV, place the buffers within a
// capacity and a time limit, and say how it went.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "failure.hpp"

namespace zelkc {

struct BufferPlan {
  std::string csv;      // the rows with an offset column
  std::string summary;  // buffers, capacity, bound, peak, method and time, one a line
};

// Places the buffers of the CSV `text` (read from `name`) within `capacity`
// bytes, searching for at most `time_limit`. A malformed file is a usage
// failure naming `name`, the line and the column; buffers that do not fit
// are refused with the lower bound and the lowest peak found.
[[nodiscard]] Outcome<BufferPlan> plan_buffer_file(std::string_view name, std::string_view text,
                                                   std::uint64_t capacity,
                                                   std::chrono::nanoseconds time_limit);

}  // namespace zelkc
