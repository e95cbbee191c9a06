// What a compiled schedule comes to: counts, every tile's peak beside the
// least it could be, and runs of tiles that hold the same tensors.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <map>
#include <string>
#include <vector>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelkc {

struct TilePeak {
  std::uint16_t tile = 0;
  std::uint32_t peak = 0;
  // Bytes of the buffers live together in the tile's busiest phase: no
  // placement of these buffers can peak lower.
  std::uint64_t lower_bound = 0;
  std::uint64_t buffers = 0;

  friend bool operator==(const TilePeak&, const TilePeak&) = default;
};

// A maximal run of consecutive tiles that hold exactly the same tensors.
struct TileGroup {
  std::uint16_t first_tile = 0;
  std::uint16_t last_tile = 0;
  std::uint64_t tensors = 0;
  std::uint64_t lower_bound = 0;  // the largest over the group's tiles
  std::uint32_t peak = 0;         // the largest over the group's tiles

  friend bool operator==(const TileGroup&, const TileGroup&) = default;
};

struct Summary {
  std::uint64_t tensors = 0;
  std::map<zelk_compiler::DType, std::uint64_t> tensors_by_type;
  std::uint64_t operations = 0;
  std::uint64_t phases = 0;
  std::uint64_t compute_phases = 0;
  std::uint64_t exchange_phases = 0;
  std::uint64_t transfers = 0;
  std::uint64_t transfer_bytes = 0;
  std::uint64_t allocations = 0;
  std::uint16_t tile_count = 0;
  std::vector<TilePeak> tiles;  // the tiles holding a buffer, ascending
  std::vector<TileGroup> groups;
};

// For every tile holding a buffer: the most bytes of buffers whose lifetimes
// contain one phase, over all phases (the library's peak_lower_bounds).
[[nodiscard]] std::map<std::uint16_t, std::uint64_t> peak_lower_bounds(
    const zelk_compiler::Schedule& schedule);

[[nodiscard]] Summary summarize(const zelk_compiler::Graph& graph,
                                const zelk_compiler::Schedule& schedule);

// The tile with the largest (smallest) peak, the lowest such tile on a tie;
// null when no tile holds a buffer.
[[nodiscard]] const TilePeak* largest_peak(const Summary& summary);
[[nodiscard]] const TilePeak* smallest_peak(const Summary& summary);

// What was compiled and how, for the summary's first lines.
struct SummaryContext {
  std::string workload;
  zelk_compiler::CompilerOptions options;
  std::string planner = "first-fit";  // as --planner names it
  std::chrono::nanoseconds compile_time{0};
  std::vector<std::string> notes{};  // about the workload, a line each
};

// The summary as lines of text.
void write_summary(std::ostream& out, const Summary& summary, const SummaryContext& context);

// "64 tiles, data window 0x52000 to 0xE0000 (581632 bytes)"
[[nodiscard]] std::string options_text(const zelk_compiler::CompilerOptions& options);

// "0x52000"
[[nodiscard]] std::string hex(std::uint64_t value);
// "0.412 ms"
[[nodiscard]] std::string milliseconds(std::chrono::nanoseconds time);

}  // namespace zelkc
