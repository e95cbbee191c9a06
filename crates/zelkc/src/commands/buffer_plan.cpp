// zelkc plan-buffers: placement of a buffer list file.
#include "commands/buffer_plan.hpp"

#include <iomanip>
#include <limits>
#include <sstream>

#include <zelk_compiler/placement.hpp>

#include "formats/buffer_csv.hpp"

namespace zc = zelk_compiler;

namespace zelkc {
namespace {

std::string seconds(std::chrono::nanoseconds time) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << static_cast<double>(time.count()) / 1e9 << " s";
  return text.str();
}

std::string times_bound(std::uint64_t peak, std::uint64_t bound) {
  if (bound == 0) {
    return "no bytes live at any time";
  }
  std::ostringstream text;
  text << std::fixed << std::setprecision(4)
       << static_cast<double>(peak) / static_cast<double>(bound) << " x the bound";
  return text.str();
}

// Why nothing fits, as far as is known.
std::string misfit(const zc::Placement& placement, std::uint64_t capacity,
                   std::chrono::nanoseconds elapsed) {
  std::string text = "does not fit in " + std::to_string(capacity) + " bytes: ";
  if (placement.lower_bound > capacity) {
    return text + std::to_string(placement.lower_bound) +
           " bytes are live at one time (the lower bound), so no placement fits";
  }
  text += "the lower bound is " + std::to_string(placement.lower_bound) +
          " bytes, the best placement found peaks at " + std::to_string(placement.peak) + " (" +
          times_bound(placement.peak, placement.lower_bound) + ")";
  if (placement.optimal) {
    return text + ", and no placement peaks lower";
  }
  return text + " after " + seconds(elapsed) + "; a longer --time-limit may find one";
}

}  // namespace

Outcome<BufferPlan> plan_buffer_file(std::string_view name, std::string_view text,
                                     std::uint64_t capacity, std::chrono::nanoseconds time_limit) {
  auto table = read_buffer_csv(text);
  if (!table) {
    return std::unexpected(table.error().at(name));
  }
  const auto started = std::chrono::steady_clock::now();
  zc::PlacementOptions options;
  options.strategy = zc::PlacementStrategy::Best;
  options.capacity = capacity;
  options.search_steps = std::numeric_limits<std::uint64_t>::max();
  options.deadline = started + time_limit;
  const zc::Placement placement = zc::place_buffers(table->buffers, options);
  const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now() - started);
  if (!placement.fits) {
    return std::unexpected(
        Failure::refused(std::string(name) + ": " + misfit(placement, capacity, elapsed)));
  }

  std::ostringstream summary;
  summary << "buffers:       " << table->buffers.size() << '\n'
          << "capacity:      " << capacity << " bytes\n"
          << "lower bound:   " << placement.lower_bound << " bytes (most live at one time)\n"
          << "peak:          " << placement.peak << " bytes ("
          << times_bound(placement.peak, placement.lower_bound)
          << (placement.optimal ? ", optimal" : "") << ")\n"
          << "method:        " << placement.method << '\n'
          << "time:          " << seconds(elapsed) << '\n';
  return BufferPlan{write_placement_csv(*table, placement.offsets), std::move(summary).str()};
}

}  // namespace zelkc
