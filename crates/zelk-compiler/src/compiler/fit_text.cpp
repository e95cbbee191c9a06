// The fit diagnosis as text: the table, the verdict and the lines under a
// memory error.
#include "zelk_compiler/fit_text.hpp"

#include <algorithm>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <utility>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler {

namespace {

// "0-63", "5", or "0-9 (4 tiles)" for a group whose tiles are not all
// neighbours; named, "tiles 0-63" or "tile 5".
std::string tiles_text(const GroupFit& group, bool named = false) {
  std::string text = named ? tiles_named(group.first_tile, group.last_tile)
                           : tile_range(group.first_tile, group.last_tile);
  if (group.tile_count != std::uint64_t{group.last_tile} - group.first_tile + 1) {
    text += " (" + std::to_string(group.tile_count) + " tiles)";
  }
  return text;
}

template <class T>
std::string optional_text(const std::optional<T>& value) {
  return value ? std::to_string(*value) : std::string("-");
}

// "phase 37 (l15.ffn_up)" or "phase 36 (exchange before l15.ffn_up)".
std::string phase_text(const FitFailure& failure, std::optional<std::string_view> op_name) {
  std::string text = "phase " + std::to_string(failure.phase);
  if (op_name) {
    text += failure.exchange ? " (exchange before " : " (";
    text += *op_name;
    text += ')';
  }
  return text;
}

bool is_weight(const LiveBuffer& buffer) { return buffer.kind == TensorKind::Weight; }

const char* kind_text(TensorKind kind) {
  switch (kind) {
    case TensorKind::Input:
      return "input";
    case TensorKind::Weight:
      return "weight";
    case TensorKind::Intermediate:
      return "intermediate";
    case TensorKind::Output:
      return "output";
  }
  return "";
}

// The buffer's name, followed by its type where `tensors` gives one that
// is not F32: "l0.w1 (bf16)".
std::string buffer_text(const LiveBuffer& buffer, std::span<const Tensor> tensors) {
  std::string text = buffer.name;
  if (buffer.tensor.index < tensors.size()) {
    const DType dtype = tensors[buffer.tensor.index].dtype;
    if (dtype != DType::F32 && is_element_type(dtype)) {
      text += " (";
      text += dtype_name(dtype);
      text += ')';
    }
  }
  return text;
}

// ", largest l15.w1 (262144)" for the largest live buffer of one kind.
std::string largest_text(const FitFailure& failure, bool weights, std::span<const Tensor> tensors) {
  const auto found = std::ranges::find_if(
      failure.live, [weights](const LiveBuffer& b) { return is_weight(b) == weights; });
  if (found == failure.live.end()) {
    return {};
  }
  return ", largest " + buffer_text(*found, tensors) + " (" + std::to_string(found->bytes) + ")";
}

const GroupFit& failing_group(const FitDiagnosis& diagnosis) {
  return diagnosis.groups.at(diagnosis.failure->group);
}

// Whether any placement can fit, and what the planners reached.
std::string hint_text(const FitDiagnosis& diagnosis) {
  const FitFailure& failure = *diagnosis.failure;
  const GroupFit& group = failing_group(diagnosis);
  if (failure.bound_over_window > 0) {
    return "no placement can fit: the lower bound alone is " +
           std::to_string(failure.bound_over_window) +
           " bytes over the window; shrink the model or use more tiles";
  }
  const std::string under = "the lower bound is " +
                            std::to_string(diagnosis.window - group.lower_bound) +
                            " bytes under the window, ";
  const bool best_fits = std::ranges::all_of(diagnosis.groups, [&](const GroupFit& g) {
    return g.best_peak && *g.best_peak <= diagnosis.window;
  });
  if (diagnosis.strategy == PlacementStrategy::FirstFit && best_fits) {
    return under + "and --planner best fits it (peak " + optional_text(group.best_peak) + ")";
  }
  return under + "but no planner found a placement that fits (best peak " +
         optional_text(group.best_peak) + ")";
}

}  // namespace

std::string tile_range(std::uint16_t first, std::uint16_t last) {
  std::string text = std::to_string(first);
  if (last != first) {
    text += '-';
    text += std::to_string(last);
  }
  return text;
}

std::string tiles_named(std::uint16_t first, std::uint16_t last) {
  return (first == last ? "tile " : "tiles ") + tile_range(first, last);
}

std::optional<std::string_view> failing_op_name(const Graph& graph, const FitDiagnosis& diagnosis) {
  if (!diagnosis.failure || !diagnosis.failure->op ||
      diagnosis.failure->op->index >= graph.ops.size()) {
    return std::nullopt;
  }
  return graph.ops[diagnosis.failure->op->index].name;
}

std::string planner_name(PlacementStrategy strategy) {
  switch (strategy) {
    case PlacementStrategy::FirstFit:
      return "first-fit";
    case PlacementStrategy::Best:
      return "best";
  }
  return {};
}

std::string fewest_tiles_text(const FewestTiles& fewest, std::uint16_t tile_count) {
  if (!fewest.tile_count) {
    return "does not fit on " + std::to_string(kMostTiles) + " tiles, the most there are";
  }
  const std::uint16_t tiles = *fewest.tile_count;
  std::string text = "fits on " + std::to_string(tiles) + (tiles == 1 ? " tile" : " tiles");
  if (tile_count <= tiles) {
    text += " or more";
  }
  if (tiles > 1) {
    text += "; not on " + std::to_string(tiles - 1);
  }
  return text;
}

void write_fit(std::ostream& out, const FitDiagnosis& diagnosis,
               std::optional<std::string_view> failing_op, std::span<const FewestTiles> fewest,
               std::uint16_t tile_count, std::size_t live_rows, std::span<const Tensor> tensors) {
  out << "planner:       " << planner_name(diagnosis.strategy) << '\n';
  out << "tile groups (tiles holding the same buffers in the same order; bytes per tile):\n";
  std::size_t width = 5;
  for (const GroupFit& group : diagnosis.groups) {
    width = std::max(width, tiles_text(group).size());
  }
  const auto range = [width](const std::string& text) {
    std::ostringstream cell;
    cell << std::left << std::setw(static_cast<int>(width)) << text;
    return cell.str();
  };
  out << "  " << range("tiles") << "  buffers  lower bound   first fit        best   headroom\n";
  for (const GroupFit& group : diagnosis.groups) {
    out << "  " << range(tiles_text(group)) << std::setw(9) << group.buffers << std::setw(13)
        << group.lower_bound << std::setw(12) << optional_text(group.first_fit_peak)
        << std::setw(12) << optional_text(group.best_peak) << std::setw(11)
        << optional_text(group.headroom) << '\n';
  }
  out << "fits:          " << (diagnosis.fits ? "yes" : "no") << '\n';
  if (!diagnosis.failure) {
    return;
  }
  const FitFailure& failure = *diagnosis.failure;
  const GroupFit& group = failing_group(diagnosis);
  out << "most bytes:    " << tiles_text(group, true) << " in " << phase_text(failure, failing_op)
      << ": " << group.lower_bound << " bytes, " << failure.weight_bytes << " of weights and "
      << failure.activation_bytes << " of activations\n";
  out << "verdict:       " << hint_text(diagnosis) << '\n';
  for (const FewestTiles& found : fewest) {
    // A count that does not fit with the planner diagnosed says nothing of
    // the other's.
    const std::uint16_t misfit = found.strategy == diagnosis.strategy ? tile_count : 0;
    out << "               with --planner " << planner_name(found.strategy) << ": "
        << fewest_tiles_text(found, misfit) << '\n';
  }
  out << "live there, largest first:\n";
  out << "       bytes  kind          phases  tensor\n";
  const std::size_t shown = std::min(live_rows, failure.live.size());
  for (std::size_t i = 0; i < shown; ++i) {
    const LiveBuffer& buffer = failure.live[i];
    out << "  " << std::setw(10) << buffer.bytes << "  " << std::left << std::setw(12)
        << kind_text(buffer.kind) << std::right << std::setw(8)
        << (std::to_string(buffer.live_from) + "-" + std::to_string(buffer.live_until)) << "  "
        << buffer_text(buffer, tensors) << '\n';
  }
  if (shown < failure.live.size()) {
    std::uint64_t rest = 0;
    for (std::size_t i = shown; i < failure.live.size(); ++i) {
      rest = saturating_add(rest, failure.live[i].bytes);
    }
    out << "  ... and " << failure.live.size() - shown << " more (" << rest << " bytes)\n";
  }
}

std::string misfit_lines(const FitDiagnosis& diagnosis, std::optional<std::string_view> failing_op,
                         std::span<const Tensor> tensors) {
  if (!diagnosis.failure) {
    return {};
  }
  const FitFailure& failure = *diagnosis.failure;
  const GroupFit& group = failing_group(diagnosis);
  std::ostringstream out;
  out << "  " << tiles_text(group, true) << ": " << group.lower_bound << " bytes live in "
      << phase_text(failure, failing_op) << " against a window of " << diagnosis.window
      << "; first-fit peak " << optional_text(group.first_fit_peak) << ", best "
      << optional_text(group.best_peak) << '\n';
  out << "  live there: " << failure.weight_bytes << " bytes of weights"
      << largest_text(failure, true, tensors) << ", " << failure.activation_bytes
      << " of activations" << largest_text(failure, false, tensors) << '\n';
  out << "  " << hint_text(diagnosis) << "; see zelkc fit\n";
  return std::move(out).str();
}

}  // namespace zelk_compiler
