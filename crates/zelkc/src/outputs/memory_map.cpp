// Drawing one tile's buffers over time as SVG.
#include "outputs/memory_map.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <iomanip>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <variant>
#include <vector>

#include "formats/xml_text.hpp"
#include "outputs/summary.hpp"
#include "overloaded.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// Two shades per tensor kind, in the order of TensorKind.
constexpr std::array<std::array<std::string_view, 2>, 4> kShades{{
    {"#8db8e0", "#b4d1ec"},  // input
    {"#f4b67a", "#f8d2ab"},  // weight
    {"#97d38e", "#c0e5ba"},  // intermediate
    {"#c3aee0", "#dccfee"},  // output
}};
constexpr std::array<std::string_view, 4> kKindLabels{"input", "weight", "intermediate", "output"};

std::size_t kind_index(zc::TensorKind kind) {
  switch (kind) {
    case zc::TensorKind::Input:
      return 0;
    case zc::TensorKind::Weight:
      return 1;
    case zc::TensorKind::Intermediate:
      return 2;
    case zc::TensorKind::Output:
      return 3;
  }
  throw std::invalid_argument("unknown tensor kind");
}

// A row of swatches under the plot: the kinds, the exchange columns and the
// peak line.
void write_legend(std::ostream& svg, double x, double y) {
  const auto swatch = [&](std::string_view colour, std::string_view label, double width) {
    svg << "<rect x=\"" << coordinate(x) << "\" y=\"" << coordinate(y - 9) << "\" width=\"12\" "
        << "height=\"10\" fill=\"" << colour << "\" stroke=\"" << kMapStyle.buffer_stroke
        << "\" stroke-width=\"" << kMapStyle.buffer_stroke_width << "\"/>"
        << "<text x=\"" << coordinate(x + 16) << "\" y=\"" << coordinate(y) << "\">" << label
        << "</text>\n";
    x += width;
  };
  for (const KindSwatch& kind : kind_swatches()) {
    swatch(kind.colour, kind.label, static_cast<double>(kind.label.size()) * 6.2 + 30);
  }
  swatch(kMapStyle.exchange_fill, "exchange phase", 124);
  svg << "<line x1=\"" << coordinate(x) << "\" y1=\"" << coordinate(y - 4) << "\" x2=\""
      << coordinate(x + 14) << "\" y2=\"" << coordinate(y - 4) << "\" stroke=\"" << kMapStyle.peak
      << "\" stroke-width=\"" << kMapStyle.peak_stroke_width << "\" stroke-dasharray=\""
      << kMapStyle.peak_dashes << "\"/><text x=\"" << coordinate(x + 18) << "\" y=\""
      << coordinate(y) << "\">peak</text>\n";
}

}  // namespace

std::string buffer_label(std::string_view name, double width) {
  const double room = std::max(width - 2 * kMapStyle.label_x, 0.0);
  const auto fitting = static_cast<std::size_t>(room / kMapStyle.label_character_width);
  // Characters start at every byte that is not a UTF-8 continuation byte.
  std::vector<std::size_t> starts;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if ((static_cast<unsigned char>(name[i]) & 0xC0U) != 0x80U) {
      starts.push_back(i);
    }
  }
  if (starts.size() <= fitting) {
    return std::string(name);
  }
  const std::size_t kept = fitting > 1 ? fitting - 1 : 0;
  return std::string(name.substr(0, starts[kept])) + "\u2026";
}

namespace {

// A buffer's rectangle over the phases it is live, with its name inside
// where there is room (cut short with an ellipsis where it is too long) and
// the details, the whole name among them, as a tooltip.
void write_buffer(std::ostream& svg, const zc::Tensor& tensor, const zc::Allocation& buffer,
                  const MapFrame& frame, const zc::CompilerOptions& options) {
  const std::uint64_t offset =
      buffer.address >= options.data_base ? buffer.address - options.data_base : 0;
  const std::uint64_t last = std::max(buffer.live_until, buffer.live_from);
  const double x = frame.x(buffer.live_from);
  const double y = frame.y(offset);
  const double w = static_cast<double>(last - buffer.live_from + 1) * frame.column;
  const double h = std::max(frame.y(offset + buffer.size) - y, 1.0);
  const std::string name = xml_text(tensor.name);
  svg << "<g class=\"buffer\" data-tensor=\"" << tensor.id.index << "\">"
      << "<title>" << name << " (tensor " << tensor.id.index << "): " << buffer.size << " bytes at "
      << hex(buffer.address) << ", phases " << buffer.live_from << " to " << buffer.live_until
      << "</title>"
      << "<rect x=\"" << coordinate(x) << "\" y=\"" << coordinate(y) << "\" width=\""
      << coordinate(w) << "\" height=\"" << coordinate(h) << "\" fill=\"" << buffer_colour(tensor)
      << "\" stroke=\"" << kMapStyle.buffer_stroke << "\" stroke-width=\""
      << kMapStyle.buffer_stroke_width << "\"/>";
  // A nested svg clips the label to its rectangle.
  if (h >= kMapStyle.label_min_height) {
    svg << "<svg x=\"" << coordinate(x) << "\" y=\"" << coordinate(y) << "\" width=\""
        << coordinate(w) << "\" height=\"" << coordinate(h) << "\"><text x=\"" << kMapStyle.label_x
        << "\" y=\""
        << coordinate(std::min(h / 2 + kMapStyle.label_below_middle, kMapStyle.label_most_y))
        << "\">" << xml_text(buffer_label(tensor.name, w)) << "</text></svg>";
  }
  svg << "</g>\n";
}

// `<name a="1" b="x">text</name>`, or `<name a="1"/>` without text, and a
// line break.
void write_mark(std::ostream& svg, const MapMark& mark) {
  svg << '<' << mark.element;
  for (const MapMark::Attribute& attribute : mark.attributes) {
    svg << ' ' << attribute.name << "=\"";
    std::visit(Overloaded{[&](double number) { svg << coordinate(number); },
                          [&](std::string_view text) { svg << text; }},
               attribute.value);
    svg << '"';
  }
  if (mark.text.empty()) {
    svg << "/>\n";
  } else {
    svg << '>' << mark.text << "</" << mark.element << ">\n";
  }
}

void write_marks(std::ostream& svg, const std::vector<MapMark>& marks) {
  for (const MapMark& mark : marks) {
    write_mark(svg, mark);
  }
}

// The address ticks down the left side, every `frame.tick_bytes` from
// data_base to the bottom of the picture.
void add_ticks(std::vector<MapMark>& axes, const MapFrame& frame,
               const zc::CompilerOptions& options) {
  for (std::uint64_t offset = 0; offset <= frame.shown_bytes; offset += frame.tick_bytes) {
    const double y = frame.y(offset);
    axes.push_back({.element = "line",
                    .attributes = {{"x1", frame.left - 5},
                                   {"y1", y},
                                   {"x2", frame.left},
                                   {"y2", y},
                                   {"stroke", kMapStyle.axis}},
                    .text = {}});
    axes.push_back({.element = "text",
                    .attributes = {{"x", frame.left - 8}, {"y", y + 4}, {"text-anchor", "end"}},
                    .text = hex(options.data_base + offset)});
    if (frame.shown_bytes - offset < frame.tick_bytes) {
      break;
    }
  }
}

// The peak and, where it lies on the picture, the end of the data window.
// The peak's label keeps clear of the labels at either end.
std::vector<MapMark> limit_marks(const MapFrame& frame, const zc::CompilerOptions& options,
                                 std::uint64_t peak) {
  const double right = frame.left + frame.width;
  const double bottom = frame.top + frame.height;
  const double peak_y = frame.y(peak);
  std::vector<MapMark> marks;
  marks.push_back({.element = "line",
                   .attributes = {{"class", "peak"},
                                  {"x1", frame.left},
                                  {"y1", peak_y},
                                  {"x2", right + 6},
                                  {"y2", peak_y},
                                  {"stroke", kMapStyle.peak},
                                  {"stroke-width", kMapStyle.peak_stroke_width},
                                  {"stroke-dasharray", kMapStyle.peak_dashes}},
                   .text = {}});
  marks.push_back(
      {.element = "text",
       .attributes = {{"x", right + 10},
                      {"y", std::clamp(peak_y + 4, frame.top + 18, bottom - 10)},
                      {"fill", kMapStyle.peak}},
       .text = "peak " + std::to_string(peak) + " B (" + hex(options.data_base + peak) + ")"});
  marks.push_back(
      {.element = "text",
       .attributes = {{"x", right + 10}, {"y", frame.top + 4}, {"fill", kMapStyle.muted}},
       .text = "data_base " + hex(options.data_base)});
  if (frame.shown_bytes >= frame.window_bytes) {
    marks.push_back(
        {.element = "text",
         .attributes = {{"x", right + 10}, {"y", bottom + 4}, {"fill", kMapStyle.muted}},
         .text = "data_limit " + hex(options.data_limit)});
  } else {
    marks.push_back(
        {.element = "text",
         .attributes = {{"x", frame.left}, {"y", bottom + 22}, {"fill", kMapStyle.muted}},
         .text = "The data window goes on to data_limit " + hex(options.data_limit) + " (" +
                 std::to_string(frame.window_bytes) + " bytes); the picture shows its first " +
                 std::to_string(frame.shown_bytes) + " bytes."});
  }
  return marks;
}

}  // namespace

MapFrame map_frame(std::uint64_t phases, const zc::CompilerOptions& options, std::uint64_t peak) {
  MapFrame frame;
  frame.columns = phases + 1;  // outputs stay live one phase past the last
  frame.column = std::clamp(760.0 / static_cast<double>(frame.columns), 4.0, 48.0);
  frame.width = static_cast<double>(frame.columns) * frame.column;
  frame.window_bytes =
      options.data_limit > options.data_base ? options.data_limit - options.data_base : 1;
  // The whole window when the tile fills much of it, otherwise a little more
  // than the peak, rounded up to a power-of-two tick step.
  const std::uint64_t wanted = std::max<std::uint64_t>(peak + peak / 5, 1024);
  const std::uint64_t span = wanted >= frame.window_bytes / 3 * 2 ? frame.window_bytes : wanted;
  std::uint64_t step = 1;
  while (span / step > 8) {
    step *= 2;
  }
  frame.tick_bytes = step;
  frame.shown_bytes = span == frame.window_bytes ? span : (span + step - 1) / step * step;
  frame.picture_width = std::max(frame.left + frame.width + 170, frame.left + 640);
  frame.picture_height = frame.top + frame.height + 70;
  return frame;
}

std::uint64_t phase_label_step(double column) {
  std::uint64_t decade = 1;
  while (true) {
    for (const std::uint64_t multiple : {1U, 2U, 5U}) {
      const std::uint64_t step = decade * multiple;
      if (static_cast<double>(step) * column >= kPhaseLabelSpacing || decade > (1ULL << 60U)) {
        return step;
      }
    }
    decade *= 10;
  }
}

std::vector<PhaseLabelStep> phase_label_steps(const MapFrame& frame) {
  std::vector<PhaseLabelStep> steps;
  for (std::uint64_t columns = 1; columns <= frame.columns; ++columns) {
    const std::uint64_t step = phase_label_step(frame.width / static_cast<double>(columns));
    if (steps.empty() || steps.back().step != step) {
      steps.push_back({.step = step, .most_columns = columns});
    } else {
      steps.back().most_columns = columns;
    }
  }
  return steps;
}

MapMarks map_marks(const MapFrame& frame, const zc::CompilerOptions& options, std::uint64_t peak) {
  MapMarks marks;
  marks.backdrop.push_back(
      {.element = "rect",
       .attributes = {{"width", "100%"}, {"height", "100%"}, {"fill", kMapStyle.background}},
       .text = {}});
  marks.window.push_back({.element = "rect",
                          .attributes = {{"class", "data-window"},
                                         {"x", frame.left},
                                         {"y", frame.top},
                                         {"width", frame.width},
                                         {"height", frame.height},
                                         {"fill", kMapStyle.window_fill},
                                         {"stroke", kMapStyle.axis}},
                          .text = {}});
  marks.axes.push_back({.element = "text",
                        .attributes = {{"x", frame.left + frame.width / 2},
                                       {"y", frame.top - 26},
                                       {"text-anchor", "middle"},
                                       {"fill", kMapStyle.muted}},
                        .text = "phase"});
  add_ticks(marks.axes, frame, options);
  marks.limits = limit_marks(frame, options, peak);
  marks.empty = {.element = "text",
                 .attributes = {{"x", frame.left + 12}, {"y", frame.top + 24}},
                 .text = "No buffers on this tile."};
  return marks;
}

std::string_view buffer_colour(const zc::Tensor& tensor) {
  return kShades.at(kind_index(tensor.kind))[tensor.id.index % 2];
}

std::array<KindSwatch, 4> kind_swatches() {
  std::array<KindSwatch, 4> swatches{};
  for (std::size_t kind = 0; kind < swatches.size(); ++kind) {
    swatches.at(kind) = KindSwatch{kKindLabels.at(kind), kShades.at(kind)[0]};
  }
  return swatches;
}

std::string memory_map_svg(const zc::Graph& graph, const zc::CompilerOptions& options,
                           const zc::Schedule& schedule, std::uint16_t tile) {
  std::vector<const zc::Allocation*> buffers;
  for (const zc::Allocation& allocation : schedule.allocations) {
    if (allocation.tile == tile) {
      buffers.push_back(&allocation);
    }
  }
  const auto peak_entry = schedule.peak_sram.find(tile);
  const std::uint64_t peak = peak_entry == schedule.peak_sram.end() ? 0 : peak_entry->second;
  const auto bounds = peak_lower_bounds(schedule);
  const auto bound_entry = bounds.find(tile);
  const std::uint64_t lower_bound = bound_entry == bounds.end() ? 0 : bound_entry->second;
  const MapFrame frame = map_frame(schedule.phases.size(), options, peak);
  const MapMarks marks = map_marks(frame, options, peak);
  const double total_width = frame.picture_width;
  const double total_height = frame.picture_height;

  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << coordinate(total_width)
      << "\" height=\"" << coordinate(total_height) << "\" viewBox=\"0 0 "
      << coordinate(total_width) << ' ' << coordinate(total_height)
      << "\" font-family=\"sans-serif\" font-size=\"11\" data-tile=\"" << tile
      << "\" data-buffers=\"" << buffers.size() << "\">\n";
  write_marks(svg, marks.backdrop);
  svg << "<text x=\"" << coordinate(frame.left)
      << "\" y=\"22\" font-size=\"15\" font-weight=\"bold\">"
      << "Tile " << tile << " memory over " << schedule.phases.size() << " phases</text>\n";
  svg << "<text x=\"" << coordinate(frame.left) << "\" y=\"40\">" << buffers.size()
      << " buffers; peak " << peak << " bytes; lower bound " << lower_bound
      << " bytes (most bytes live in one phase); shaded columns are exchange phases</text>\n";

  // The data window, and the exchange columns across it.
  write_marks(svg, marks.window);
  for (std::uint64_t phase = 0; phase < schedule.phases.size(); ++phase) {
    if (std::holds_alternative<zc::Exchange>(schedule.phases[phase])) {
      svg << "<rect class=\"exchange\" x=\"" << coordinate(frame.x(phase)) << "\" y=\""
          << coordinate(frame.top) << "\" width=\"" << coordinate(frame.column) << "\" height=\""
          << coordinate(frame.height) << "\" fill=\"" << kMapStyle.exchange_fill << "\"/>\n";
    }
  }

  // Phase numbers across the top, thinned out when columns are narrow.
  const std::uint64_t label_every = phase_label_step(frame.column);
  for (std::uint64_t phase = 0; phase < frame.columns; phase += label_every) {
    svg << "<text x=\"" << coordinate(frame.x(phase) + frame.column / 2) << "\" y=\""
        << coordinate(frame.phase_label_y()) << "\" text-anchor=\"middle\">" << phase
        << "</text>\n";
  }
  write_marks(svg, marks.axes);
  svg << "<text x=\"16\" y=\"" << coordinate(frame.top + frame.height / 2) << "\" fill=\""
      << kMapStyle.muted << "\" transform=\"rotate(-90 16 "
      << coordinate(frame.top + frame.height / 2) << ")\" text-anchor=\"middle\">address</text>\n";

  for (const zc::Allocation* buffer : buffers) {
    write_buffer(svg, graph.tensors.at(buffer->tensor.index), *buffer, frame, options);
  }

  write_marks(svg, marks.limits);
  write_legend(svg, frame.left, frame.top + frame.height + 46);
  if (buffers.empty()) {
    write_mark(svg, marks.empty);
  }
  svg << "</svg>\n";
  return svg.str();
}

}  // namespace zelkc
