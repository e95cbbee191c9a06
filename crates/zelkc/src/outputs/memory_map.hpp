// One tile's memory over the schedule as an SVG picture: phases across,
// addresses down, one labelled rectangle per buffer, with the data window and
// the tile's peak marked. The drawing is defined here once: the frame (scales,
// ticks, where everything sits), the marks that do not depend on the phases
// shown, the style of columns and buffers and the spacing of phase labels.
// The standalone picture is written from them, and the report hands them to
// its script, which only lays the buffers of the phases it shows over them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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
  // The baseline of the phase numbers above the plot.
  [[nodiscard]] double phase_label_y() const { return top - 8; }
};

// The frame of a tile whose peak is `peak` bytes in a schedule of `phases`
// phases.
[[nodiscard]] MapFrame map_frame(std::uint64_t phases,
                                 const zelk_compiler::CompilerOptions& options, std::uint64_t peak);

// Phase numbers are written at least this many pixels apart.
inline constexpr double kPhaseLabelSpacing = 26;

// Every how many phases a number is written when columns are `column` pixels
// wide: the first of 1, 2, 5, 10, 20, 50, ... that keeps labels
// `kPhaseLabelSpacing` apart.
[[nodiscard]] std::uint64_t phase_label_step(double column);

// The label step for ranges of up to `most_columns` phases.
struct PhaseLabelStep {
  std::uint64_t step = 1;
  std::uint64_t most_columns = 1;
};

// The label steps of the frame's width shared among 1 to `frame.columns`
// phases, ascending: what the report's script looks up when it zooms to a
// phase range.
[[nodiscard]] std::vector<PhaseLabelStep> phase_label_steps(const MapFrame& frame);

// How the map looks wherever it is drawn.
struct MapStyle {
  std::string_view background = "#ffffff";
  std::string_view window_fill = "#f6f6f2";
  std::string_view axis = "#888888";   // the window's outline and the ticks
  std::string_view muted = "#555555";  // the axes' names and the window's ends
  std::string_view exchange_fill = "#e2e6f0";
  std::string_view buffer_stroke = "#333333";
  std::string_view buffer_stroke_width = "0.8";
  std::string_view peak = "#c0392b";
  std::string_view peak_stroke_width = "1.5";
  std::string_view peak_dashes = "6 3";
  // A buffer's name is written inside it, clipped to it, when it is at least
  // this tall, 3 pixels in and at most 13 down (4 below its middle).
  double label_min_height = 10;
  double label_x = 3;
  double label_most_y = 13;
  double label_below_middle = 4;
  // On the report's page, where a zoomed range makes columns narrow, only
  // when it is this wide too.
  double label_min_width = 24;
  // The widest a label's character is taken to be (11-pixel sans-serif)
  // when a name too long for its buffer is cut short with an ellipsis; the
  // report's page measures instead.
  double label_character_width = 6.2;
};
inline constexpr MapStyle kMapStyle{};

// `name` as written inside a buffer `width` pixels wide: whole when it fits,
// otherwise its first characters (never part of one) and an ellipsis.
[[nodiscard]] std::string buffer_label(std::string_view name, double width);

// One element of the map: an SVG element's name, its attributes in order
// (numbers are coordinates and lengths) and its text.
struct MapMark {
  struct Attribute {
    std::string_view name;
    std::variant<double, std::string_view> value;
  };
  std::string_view element;
  std::vector<Attribute> attributes;
  std::string text;
};

// The marks of a tile's map that do not depend on the phases shown, in
// drawing order within each layer. Each drawing puts the layers in its own
// places among the columns, labels and buffers.
struct MapMarks {
  std::vector<MapMark> backdrop;  // the page behind everything
  std::vector<MapMark> window;    // the data window
  std::vector<MapMark> axes;      // the phase axis's name and the address ticks
  std::vector<MapMark> limits;    // the peak, data_base and where the window ends
  MapMark empty;                  // "No buffers on this tile."
};

// The marks of the map of a tile whose peak is `peak` bytes.
[[nodiscard]] MapMarks map_marks(const MapFrame& frame,
                                 const zelk_compiler::CompilerOptions& options, std::uint64_t peak);

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
