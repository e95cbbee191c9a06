// One tile's memory over the schedule as an SVG picture: phases across,
// addresses down, one labelled rectangle per buffer, with the data window and
// the tile's peak marked. The frame (scales, ticks, where everything sits) is
// computed here once; the report's script draws with the same frame.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include <zelk_compiler/compiler.hpp>
#include <zelk_compiler/graph.hpp>

namespace zelkc {

// The plot area and its two scales. Phases run across in `columns` equal
// columns (phase 0 to the last, plus one for outputs, which stay live one
// phase past it); bytes of the data window from `data_base` run down.
struct MapFrame {
  double left = 110;
  double top = 92;
  double column = 40;
  double width = 0;
  double height = 520;
  std::uint64_t columns = 1;
  std::uint64_t window_bytes = 1;  // data_limit - data_base, at least 1
  // From data_base down: the whole window, or a little more than the peak.
  std::uint64_t shown_bytes = 1;
  std::uint64_t tick_bytes = 1;  // a power of two
  // The whole picture: the plot with room for the labels beside and below.
  double picture_width = 0;
  double picture_height = 0;

  [[nodiscard]] double x(std::uint64_t phase) const {
    return left + static_cast<double>(phase) * column;
  }
  [[nodiscard]] double y(std::uint64_t offset) const {
    return top + static_cast<double>(offset) / static_cast<double>(shown_bytes) * height;
  }
};

// The frame of a tile whose peak is `peak` bytes in a schedule of `phases`
// phases.
[[nodiscard]] MapFrame map_frame(std::uint64_t phases,
                                 const zelk_compiler::CompilerOptions& options, std::uint64_t peak);

// Phase numbers are written at least this many pixels apart.
inline constexpr double kPhaseLabelSpacing = 26;

// Every how many phases a number is written when columns are `column` pixels
// wide: the first of 1, 2, 5, 10, 20, 50, ... that keeps labels
// `kPhaseLabelSpacing` apart. The report's script follows the same rule when
// it zooms to a phase range.
[[nodiscard]] std::uint64_t phase_label_step(double column);

// A standalone SVG document. `tile` may hold no buffer (the picture says so);
// the caller checks that it is below the schedule's tile count.
[[nodiscard]] std::string memory_map_svg(const zelk_compiler::Graph& graph,
                                         const zelk_compiler::CompilerOptions& options,
                                         const zelk_compiler::Schedule& schedule,
                                         std::uint16_t tile);

// A buffer's fill: its tensor's kind picks the hue, the tensor's index one of
// two shades, so neighbours of one kind stay apart.
[[nodiscard]] std::string_view buffer_colour(const zelk_compiler::Tensor& tensor);

// The kinds as the legends name them, with the first shade of each.
struct KindSwatch {
  std::string_view label;
  std::string_view colour;
};
[[nodiscard]] std::array<KindSwatch, 4> kind_swatches();

}  // namespace zelkc
