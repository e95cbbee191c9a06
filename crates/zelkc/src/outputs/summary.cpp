// Counting a schedule, and the lower bound of each tile's peak.
#include "outputs/summary.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <iomanip>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <variant>

#include <zelk_compiler/checked.hpp>

#include "outputs/tile_runs.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

std::uint64_t add_or_throw(std::uint64_t a, std::uint64_t b) {
  const auto sum = zc::checked_add(a, b);
  if (!sum) {
    throw std::overflow_error("byte count does not fit 64 bits");
  }
  return *sum;
}

std::uint64_t tiles_sharing(const Summary& summary, std::uint32_t peak) {
  return static_cast<std::uint64_t>(std::ranges::count(summary.tiles, peak, &TilePeak::peak));
}

// " (4 f32, 120 bf16)": how many tensors of each type, for a graph that
// holds another type than F32; empty for an all-F32 graph.
std::string types_text(const Summary& summary) {
  const bool only_f32 = std::ranges::all_of(
      summary.tensors_by_type, [](const auto& entry) { return entry.first == zc::DType::F32; });
  if (only_f32) {
    return {};
  }
  std::string text;
  for (const auto& [dtype, count] : summary.tensors_by_type) {
    text += text.empty() ? " (" : ", ";
    text += std::to_string(count) + " ";
    text += zc::is_element_type(dtype) ? zc::dtype_name(dtype) : "?";
  }
  return text + ")";
}

}  // namespace

std::string milliseconds(std::chrono::nanoseconds time) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(3) << static_cast<double>(time.count()) / 1e6 << " ms";
  return text.str();
}

std::string hex(std::uint64_t value) {
  std::array<char, 16> digits{};  // 64 bits are 16 hex digits
  const auto written = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16);
  std::string text = "0x";
  for (const char* digit = digits.data(); digit != written.ptr; ++digit) {
    text += static_cast<char>(std::toupper(static_cast<unsigned char>(*digit)));
  }
  return text;
}

std::map<std::uint16_t, std::uint64_t> peak_lower_bounds(const zc::Schedule& schedule) {
  return zc::peak_lower_bounds(schedule.allocations);
}

Summary summarize(const zc::Graph& graph, const zc::Schedule& schedule) {
  Summary summary;
  summary.tensors = graph.tensors.size();
  for (const zc::Tensor& tensor : graph.tensors) {
    ++summary.tensors_by_type[tensor.dtype];
  }
  summary.operations = graph.ops.size();
  summary.phases = schedule.phases.size();
  summary.allocations = schedule.allocations.size();
  summary.tile_count = schedule.tile_count;
  for (const zc::Phase& phase : schedule.phases) {
    if (const auto* exchange = std::get_if<zc::Exchange>(&phase)) {
      ++summary.exchange_phases;
      summary.transfers += exchange->transfers.size();
      for (const zc::Transfer& transfer : exchange->transfers) {
        summary.transfer_bytes = add_or_throw(summary.transfer_bytes, transfer.bytes);
      }
    } else {
      ++summary.compute_phases;
    }
  }

  // Allocations come grouped by tensor, so each tile's list is in tensor
  // order and two tiles hold the same tensors exactly when the lists match.
  std::map<std::uint16_t, std::vector<zc::TensorId>> held;
  for (const zc::Allocation& allocation : schedule.allocations) {
    held[allocation.tile].push_back(allocation.tensor);
  }
  const auto bounds = peak_lower_bounds(schedule);
  const std::vector<zc::TensorId>* previous = nullptr;
  for (const auto& [tile, tensors] : held) {
    const auto peak = schedule.peak_sram.find(tile);
    const TilePeak row{
        .tile = tile,
        .peak = peak == schedule.peak_sram.end() ? 0 : peak->second,
        .lower_bound = bounds.at(tile),
        .buffers = tensors.size(),
    };
    summary.tiles.push_back(row);
    const bool continues =
        previous != nullptr && *previous == tensors && summary.groups.back().last_tile + 1 == tile;
    if (continues) {
      TileGroup& group = summary.groups.back();
      group.last_tile = tile;
      group.lower_bound = std::max(group.lower_bound, row.lower_bound);
      group.peak = std::max(group.peak, row.peak);
    } else {
      summary.groups.push_back(TileGroup{
          .first_tile = tile,
          .last_tile = tile,
          .tensors = tensors.size(),
          .lower_bound = row.lower_bound,
          .peak = row.peak,
      });
    }
    previous = &tensors;
  }
  return summary;
}

const TilePeak* largest_peak(const Summary& summary) {
  const auto found = std::ranges::max_element(
      summary.tiles, [](const TilePeak& a, const TilePeak& b) { return a.peak < b.peak; });
  return found == summary.tiles.end() ? nullptr : &*found;
}

const TilePeak* smallest_peak(const Summary& summary) {
  const auto found = std::ranges::min_element(summary.tiles, {}, &TilePeak::peak);
  return found == summary.tiles.end() ? nullptr : &*found;
}

std::string options_text(const zc::CompilerOptions& options) {
  std::ostringstream text;
  text << options.tile_count << " tiles, data window " << hex(options.data_base) << " to "
       << hex(options.data_limit) << " ("
       << (options.data_limit > options.data_base ? options.data_limit - options.data_base : 0)
       << " bytes)";
  return std::move(text).str();
}

void write_summary(std::ostream& out, const Summary& summary, const SummaryContext& context) {
  out << "workload:      " << context.workload << '\n';
  for (const std::string& note : context.notes) {
    out << "note:          " << note << '\n';
  }
  out << "options:       " << options_text(context.options) << '\n';
  out << "planner:       " << context.planner << '\n';
  out << "tensors:       " << summary.tensors << types_text(summary) << '\n';
  out << "operations:    " << summary.operations << '\n';
  out << "phases:        " << summary.phases << " (" << summary.compute_phases << " compute, "
      << summary.exchange_phases << " exchange)\n";
  out << "transfers:     " << summary.transfers << " (" << summary.transfer_bytes << " bytes)\n";
  out << "allocations:   " << summary.allocations << '\n';
  out << "tiles used:    " << summary.tiles.size() << " of " << summary.tile_count << '\n';
  for (const auto& [label, row] : {std::pair{"largest peak:  ", largest_peak(summary)},
                                   std::pair{"smallest peak: ", smallest_peak(summary)}}) {
    out << label;
    if (row == nullptr) {
      out << "none\n";
      continue;
    }
    out << row->peak << " bytes on tile " << row->tile;
    if (const std::uint64_t sharing = tiles_sharing(summary, row->peak); sharing > 1) {
      out << " (" << sharing << " tiles)";
    }
    out << '\n';
  }

  out << "tile groups (consecutive tiles holding the same tensors):\n";
  std::size_t range_width = 5;
  for (const TileGroup& group : summary.groups) {
    range_width = std::max(range_width, tile_range(group.first_tile, group.last_tile).size());
  }
  out << "  " << std::left << std::setw(static_cast<int>(range_width)) << "tiles" << std::right
      << "  tensors  lower bound       peak\n";
  for (const TileGroup& group : summary.groups) {
    out << "  " << std::left << std::setw(static_cast<int>(range_width))
        << tile_range(group.first_tile, group.last_tile) << std::right << std::setw(9)
        << group.tensors << std::setw(13) << group.lower_bound << std::setw(11) << group.peak
        << '\n';
  }
  out << "compile time:  " << milliseconds(context.compile_time) << '\n';
}

}  // namespace zelkc
