// Writing the HTML report.
//
// The page stays small on schedules of a thousand tiles or more: the chart
// draws one bar per tile group, the memory maps are stored once per run of
// identical tiles (tile_runs.hpp), and an exchange is summarised per tensor,
// its source-destination pairs kept as plain numbers for the script to list
// when asked. The schedule document itself is not embedded.
#include "outputs/report.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <map>
#include <span>
#include <sstream>
#include <system_error>
#include <variant>
#include <vector>

#include <zelk_compiler/debug.hpp>

#include "formats/json_text.hpp"
#include "formats/schedule_json.hpp"
#include "formats/xml_text.hpp"
#include "outputs/memory_map.hpp"
#include "outputs/report_assets.hpp"
#include "outputs/tile_runs.hpp"
#include "overloaded.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// "0 B", "512 B", "64 KiB", "1.5 MiB": whole bytes below a KiB, else KiB or
// MiB to at most one decimal.
std::string byte_label(std::uint64_t bytes) {
  if (bytes < 1024) {
    return std::to_string(bytes) + " B";
  }
  const bool mebibytes = bytes >= std::uint64_t{1024} * 1024;
  const double value = static_cast<double>(bytes) / (mebibytes ? 1024.0 * 1024.0 : 1024.0);
  std::ostringstream text;
  text << std::setprecision(value < 10 ? 2 : 4) << value << (mebibytes ? " MiB" : " KiB");
  return text.str();
}

// The smallest of 1, 2, 5, 10, 20, 50, ... tiles whose labels, `pixels` per
// tile, leave room for `digits` digits.
std::uint64_t tile_label_step(double pixels, std::size_t digits) {
  const double room = static_cast<double>(digits) * 7 + 12;
  for (std::uint64_t decade = 1;; decade *= 10) {
    for (const std::uint64_t multiple : {1U, 2U, 5U}) {
      if (static_cast<double>(decade * multiple) * pixels >= room) {
        return decade * multiple;
      }
    }
  }
}

// One bar per tile group over the tiles it spans, its peak as the bar and its
// lower bound as a dark mark; tiles without buffers are a gap. Each bar links
// to the memory map of its first tile; the page's script picks the tile
// under the pointer instead, from the scale in the data attributes.
void write_group_chart(std::ostream& out, const Summary& summary, std::uint16_t chosen) {
  const double left = 78;
  const double top = 14;
  const double height = 180;
  const double tiles = std::max<double>(summary.tile_count, 1);
  const double per_tile = std::min(960.0 / tiles, 40.0);
  const double width = per_tile * tiles;
  const auto x = [&](std::uint64_t tile) { return left + static_cast<double>(tile) * per_tile; };

  std::uint64_t most = 1;
  for (const TileGroup& group : summary.groups) {
    most = std::max({most, std::uint64_t{group.peak}, group.lower_bound});
  }
  // Power-of-two byte ticks, at most five above zero.
  std::uint64_t step = 1;
  while ((most + step - 1) / step > 5) {
    step *= 2;
  }
  const std::uint64_t top_bytes = (most + step - 1) / step * step;
  const auto y = [&](std::uint64_t bytes) {
    return top + height - static_cast<double>(bytes) / static_cast<double>(top_bytes) * height;
  };

  const double total_width = left + std::max(width, 300.0) + 24;
  const double total_height = top + height + 46;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" id=\"group-chart\" class=\"chart\" width=\""
      << coordinate(total_width) << "\" height=\"" << coordinate(total_height)
      << "\" viewBox=\"0 0 " << coordinate(total_width) << ' ' << coordinate(total_height)
      << "\" font-size=\"11\" data-left=\"" << coordinate(left) << "\" data-tile-width=\""
      << per_tile << "\" data-tiles=\"" << summary.tile_count << "\">\n";
  for (std::uint64_t bytes = 0; bytes <= top_bytes; bytes += step) {
    out << "<line x1=\"" << coordinate(left) << "\" y1=\"" << coordinate(y(bytes)) << "\" x2=\""
        << coordinate(left + width) << "\" y2=\"" << coordinate(y(bytes))
        << "\" stroke=\"#e4e4e4\"/><text x=\"" << coordinate(left - 6) << "\" y=\""
        << coordinate(y(bytes) + 4) << "\" text-anchor=\"end\">" << byte_label(bytes)
        << "</text>\n";
  }
  for (const TileGroup& group : summary.groups) {
    const std::uint64_t count = std::uint64_t{group.last_tile} - group.first_tile + 1;
    const double bar_x = x(group.first_tile);
    const double bar_width = std::max(static_cast<double>(count) * per_tile - 1, 1.0);
    const std::string range = tile_range(group.first_tile, group.last_tile);
    out << "<a href=\"#tile=" << group.first_tile << "\" class=\"group\" data-first=\""
        << group.first_tile << "\" data-last=\"" << group.last_tile << "\"><title>"
        << tiles_named(group.first_tile, group.last_tile) << " (" << count
        << (count == 1 ? " tile" : " tiles") << "): " << group.tensors << " tensors, peak "
        << group.peak << " bytes, lower bound " << group.lower_bound
        << " bytes</title><rect class=\"peak-bar\" x=\"" << coordinate(bar_x) << "\" y=\""
        << coordinate(y(group.peak)) << "\" width=\"" << coordinate(bar_width) << "\" height=\""
        << coordinate(top + height - y(group.peak)) << "\"/><rect class=\"bound-mark\" x=\""
        << coordinate(bar_x) << "\" y=\"" << coordinate(y(group.lower_bound) - 1) << "\" width=\""
        << coordinate(bar_width) << "\" height=\"2\"/>";
    // The group's tiles written inside the bar where they fit.
    const double label_width = static_cast<double>(range.size()) * 6.5 + 8;
    if (label_width <= bar_width && top + height - y(group.peak) >= 18) {
      out << "<text x=\"" << coordinate(bar_x + bar_width / 2) << "\" y=\""
          << coordinate(top + height - 6) << "\" text-anchor=\"middle\" class=\"bar-label\">"
          << range << "</text>";
    }
    out << "</a>\n";
  }
  out << "<rect id=\"chosen-tile\" x=\"" << coordinate(x(chosen)) << "\" y=\""
      << coordinate(top + height + 1) << "\" width=\"" << coordinate(std::max(per_tile, 3.0))
      << "\" height=\"6\"/>\n";
  const std::uint64_t every =
      tile_label_step(per_tile, std::to_string(summary.tile_count - 1U).size());
  for (std::uint64_t tile = 0; tile < summary.tile_count; tile += every) {
    out << "<text x=\"" << coordinate(x(tile) + per_tile / 2) << "\" y=\""
        << coordinate(top + height + 17) << "\" text-anchor=\"middle\">" << tile << "</text>\n";
  }
  out << "<text x=\"" << coordinate(left + width / 2) << "\" y=\"" << coordinate(top + height + 36)
      << "\" text-anchor=\"middle\" fill=\"#555555\">tile (0 to " << summary.tile_count - 1U
      << ")</text>\n</svg>\n";
}

std::string tensor_name(const zc::Graph& graph, zc::TensorId id) {
  return id.index < graph.tensors.size() ? graph.tensors[id.index].name
                                         : "tensor " + std::to_string(id.index);
}

// One exchange's transfers of one tensor, in order of appearance.
struct TensorSends {
  zc::TensorId tensor;
  std::vector<const zc::Transfer*> sends;
};

std::vector<TensorSends> sends_by_tensor(const zc::Exchange& exchange) {
  std::vector<TensorSends> groups;
  for (const zc::Transfer& transfer : exchange.transfers) {
    auto found = std::ranges::find(groups, transfer.tensor, &TensorSends::tensor);
    if (found == groups.end()) {
      groups.push_back({transfer.tensor, {}});
      found = groups.end() - 1;
    }
    found->sends.push_back(&transfer);
  }
  return groups;
}

// Pairs kept per tensor of one exchange, so that a page of a schedule with
// tens of thousands of tiles stays small; the schedule document has them all.
constexpr std::size_t kMostPairs = 2048;

std::vector<std::uint16_t> sorted_unique(std::vector<std::uint16_t> tiles) {
  std::ranges::sort(tiles);
  const auto [first, last] = std::ranges::unique(tiles);
  tiles.erase(first, last);
  return tiles;
}

// "attention_softmax: 4 sends of 1024 B, tiles 0-3 → 4-7", and a closed
// list of the pairs the script fills in when it is opened.
void write_exchange_cell(std::ostream& out, const zc::Graph& graph, std::size_t phase,
                         const std::vector<TensorSends>& groups) {
  for (std::size_t index = 0; index < groups.size(); ++index) {
    const TensorSends& group = groups[index];
    std::vector<std::uint16_t> sources;
    std::vector<std::uint16_t> destinations;
    std::uint64_t bytes = 0;
    for (const zc::Transfer* send : group.sends) {
      sources.push_back(send->source_tile);
      destinations.push_back(send->destination_tile);
      bytes += send->bytes;
    }
    const std::uint32_t each = group.sends.front()->bytes;
    const bool same = std::ranges::all_of(
        group.sends, [each](const zc::Transfer* send) { return send->bytes == each; });
    const std::size_t count = group.sends.size();
    out << "<div class=\"sends\"><b>" << xml_text(tensor_name(graph, group.tensor))
        << "</b>: " << count << (count == 1 ? " send" : " sends");
    if (same) {
      out << " of " << each << " B";
    } else {
      out << ", " << bytes << " B in all";
    }
    out << ", tiles " << tile_ranges(sorted_unique(sources)) << " \u2192 "
        << tile_ranges(sorted_unique(destinations)) << " <details data-phase=\"" << phase
        << "\" data-group=\"" << index << "\"><summary>"
        << (count > kMostPairs ? "the first " + std::to_string(kMostPairs) + " pairs" : "pairs")
        << "</summary><span class=\"pairs\">The pairs need JavaScript.</span></details></div>";
  }
}

void write_phase_table(std::ostream& out, const zc::Graph& graph, const zc::Schedule& schedule) {
  out << "<table id=\"phases\">\n<tr><th>phase</th><th>kind</th><th>operation or exchange</th>"
      << "<th>tiles</th><th>inputs, or what moves from tiles to tiles</th></tr>\n";
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    std::visit(Overloaded{
                   [&](const zc::Exchange& exchange) {
                     std::uint64_t bytes = 0;
                     for (const zc::Transfer& transfer : exchange.transfers) {
                       bytes += transfer.bytes;
                     }
                     out << "<tr class=\"exchange\"><td>" << index << "</td><td>exchange</td><td>"
                         << exchange.transfers.size() << " transfers, " << bytes
                         << " bytes</td><td></td><td>";
                     write_exchange_cell(out, graph, index, sends_by_tensor(exchange));
                     out << "</td></tr>\n";
                   },
                   [&](const zc::Compute& compute) {
                     std::string operation = "op " + std::to_string(compute.op.index);
                     std::string inputs;
                     if (compute.op.index < graph.ops.size()) {
                       const zc::Op& op = graph.ops[compute.op.index];
                       operation = xml_text(op.name) + " (" +
                                   std::string(zc::operation_name(op.kind)) + ")";
                       for (const zc::TensorId input : op.inputs) {
                         inputs += inputs.empty() ? "" : ", ";
                         inputs += xml_text(tensor_name(graph, input));
                       }
                     }
                     std::vector<std::uint16_t> tiles;
                     for (const zc::KernelCommand& command : compute.commands) {
                       tiles.push_back(command.tile);
                     }
                     out << "<tr class=\"compute\"><td>" << index << "</td><td>compute</td><td>"
                         << operation << "</td><td>" << tile_ranges(sorted_unique(std::move(tiles)))
                         << "</td><td>" << inputs << "</td></tr>\n";
                   },
               },
               schedule.phases[index]);
  }
  out << "</table>\n";
}

Json frame_json(const MapFrame& frame) {
  return Json{{"left", frame.left},
              {"top", frame.top},
              {"width", frame.width},
              {"height", frame.height},
              {"columns", frame.columns},
              {"window_bytes", frame.window_bytes},
              {"shown_bytes", frame.shown_bytes},
              {"tick_bytes", frame.tick_bytes},
              {"phase_label_y", frame.phase_label_y()},
              {"picture_width", frame.picture_width},
              {"picture_height", frame.picture_height}};
}

// The marks are the bulk of what the script draws from, so they are written
// as JSON text directly rather than built as JSON values. Numbers are
// written in their shortest round-trip form, so the script reads back the
// very coordinates computed here.
void write_json_number(std::string& out, double value) {
  std::array<char, 32> text{};
  const auto written = std::to_chars(text.data(), text.data() + text.size(), value);
  if (!std::isfinite(value) || written.ec != std::errc{}) {
    out += '0';
    return;
  }
  out.append(text.data(), written.ptr);
}

// A JSON string that is also safe inside a script element.
void write_json_string(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || c == '<' || c == '>' || c == '&') {
      constexpr std::string_view kDigits = "0123456789abcdef";
      out += "\\u00";
      out += kDigits[byte >> 4U];
      out += kDigits[byte & 0xFU];
    } else {
      out += c;
    }
  }
  out += '"';
}

// [element, {attributes}] and its text, if any.
void write_mark_json(std::string& out, const MapMark& mark) {
  out += '[';
  write_json_string(out, mark.element);
  out += ",{";
  for (std::size_t i = 0; i < mark.attributes.size(); ++i) {
    const MapMark::Attribute& attribute = mark.attributes[i];
    out += i == 0 ? "" : ",";
    write_json_string(out, attribute.name);
    out += ':';
    std::visit(Overloaded{[&](double number) { write_json_number(out, number); },
                          [&](std::string_view text) { write_json_string(out, text); }},
               attribute.value);
  }
  out += '}';
  if (!mark.text.empty()) {
    out += ',';
    write_json_string(out, mark.text);
  }
  out += ']';
}

void write_marks_json(std::string& out, std::string_view layer, const std::vector<MapMark>& marks) {
  write_json_string(out, layer);
  out += ":[";
  for (std::size_t i = 0; i < marks.size(); ++i) {
    out += i == 0 ? "" : ",";
    write_mark_json(out, marks[i]);
  }
  out += "],";
}

void write_map_marks_json(std::string& out, const MapMarks& marks) {
  out += '{';
  write_marks_json(out, "backdrop", marks.backdrop);
  write_marks_json(out, "window", marks.window);
  write_marks_json(out, "axes", marks.axes);
  write_marks_json(out, "limits", marks.limits);
  out += "\"empty\":";
  write_mark_json(out, marks.empty);
  out += '}';
}

// How the script lays out columns and buffers, and how often it numbers
// phases for each number of phases shown.
Json map_style_json(const MapFrame& frame) {
  Json steps = Json::array();
  for (const PhaseLabelStep& step : phase_label_steps(frame)) {
    steps.push_back(Json::array({step.step, step.most_columns}));
  }
  return Json{{"exchange_fill", kMapStyle.exchange_fill},
              {"buffer_stroke", kMapStyle.buffer_stroke},
              {"buffer_stroke_width", kMapStyle.buffer_stroke_width},
              {"label_min_height", kMapStyle.label_min_height},
              {"label_min_width", kMapStyle.label_min_width},
              {"label_x", kMapStyle.label_x},
              {"label_below_middle", kMapStyle.label_below_middle},
              {"label_most_y", kMapStyle.label_most_y},
              {"phase_label_steps", std::move(steps)}};
}

// The marks of every map the page may draw, once per peak (the only thing
// they depend on besides the schedule's phases and the options), as the
// JSON array the script reads.
class MapTable {
 public:
  MapTable(std::uint64_t phases, const zc::CompilerOptions& options)
      : phases_(phases), options_(options) {}

  // The index in the array of the marks for `peak`.
  std::size_t index(std::uint64_t peak) {
    const auto [found, added] = index_.try_emplace(peak, index_.size());
    if (added) {
      text_ += found->second == 0 ? "" : ",";
      write_map_marks_json(text_, map_marks(map_frame(phases_, options_, peak), options_, peak));
    }
    return found->second;
  }

  [[nodiscard]] std::string json() const { return "[" + text_ + "]"; }

 private:
  std::uint64_t phases_;
  const zc::CompilerOptions& options_;
  std::map<std::uint64_t, std::size_t> index_;
  std::string text_;
};

// Per phase its name (null for an exchange), and per exchange its pairs by
// tensor: source, destination and bytes of each send, at most kMostPairs.
struct PhaseData {
  Json phases = Json::array();
  Json pairs = Json::object();
};

PhaseData phase_data(const zc::Graph& graph, const zc::Schedule& schedule) {
  PhaseData data;
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    std::visit(
        Overloaded{
            [&](const zc::Exchange& exchange) {
              data.phases.push_back(nullptr);
              Json groups = Json::array();
              for (const TensorSends& group : sends_by_tensor(exchange)) {
                Json list = Json::array();
                for (const zc::Transfer* send :
                     std::span(group.sends).first(std::min(group.sends.size(), kMostPairs))) {
                  list.push_back(send->source_tile);
                  list.push_back(send->destination_tile);
                  list.push_back(send->bytes);
                }
                groups.push_back(std::move(list));
              }
              data.pairs[std::to_string(index)] = std::move(groups);
            },
            [&](const zc::Compute& compute) {
              data.phases.push_back(compute.op.index < graph.ops.size()
                                        ? graph.ops[compute.op.index].name
                                        : "op " + std::to_string(compute.op.index));
            },
        },
        schedule.phases[index]);
  }
  return data;
}

// Per run of identical tiles: its tiles, peak and lower bound, the frame of
// its memory map and the map's marks (by index into `maps`), and its buffers.
Json run_data(const zc::Schedule& schedule, const Summary& summary,
              const zc::CompilerOptions& options, MapTable& maps) {
  Json runs = Json::array();
  for (const TileRun& run : tile_runs(schedule)) {
    // Every tile of a run has the same peak and lower bound: its first's.
    const auto row = std::ranges::lower_bound(summary.tiles, run.first_tile, {}, &TilePeak::tile);
    const TilePeak found =
        row != summary.tiles.end() && row->tile == run.first_tile ? *row : TilePeak{};
    const std::uint64_t peak_bytes = found.peak;
    Json buffers = Json::array();
    for (const zc::Allocation& buffer : run.buffers) {
      const std::uint64_t offset =
          buffer.address >= options.data_base ? buffer.address - options.data_base : 0;
      buffers.push_back(Json::array(
          {buffer.tensor.index, offset, buffer.size, buffer.live_from, buffer.live_until}));
    }
    runs.push_back(Json{
        {"first", run.first_tile},
        {"last", run.last_tile},
        {"tiles", tile_range(run.first_tile, run.last_tile)},
        {"peak", peak_bytes},
        {"lower_bound", found.lower_bound},
        {"frame", frame_json(map_frame(schedule.phases.size(), options, peak_bytes))},
        {"map", maps.index(peak_bytes)},
        {"buffers", std::move(buffers)},
    });
  }
  return runs;
}

Json group_data(const Summary& summary) {
  Json groups = Json::array();
  for (const TileGroup& group : summary.groups) {
    groups.push_back(Json{{"first", group.first_tile},
                          {"last", group.last_tile},
                          {"tiles", tile_range(group.first_tile, group.last_tile)},
                          {"tensors", group.tensors},
                          {"peak", group.peak},
                          {"lower_bound", group.lower_bound}});
  }
  return groups;
}

// Everything the script draws from: per tensor its name, kind and colour;
// per phase its name; per run of identical tiles its buffers and the frame
// of its memory map; the tile groups; and each exchange's pairs by tensor.
std::string report_data(const zc::Graph& graph, const zc::Schedule& schedule,
                        const Summary& summary, const SummaryContext& context,
                        std::uint16_t default_tile) {
  const zc::CompilerOptions& options = context.options;
  Json tensors = Json::array();
  for (const zc::Tensor& tensor : graph.tensors) {
    // The page shows the kind in a buffer's title; a type other than F32
    // goes beside it there ("weight, bf16").
    std::string kind = zc::debug_string(tensor.kind);
    if (tensor.dtype != zc::DType::F32 && zc::is_element_type(tensor.dtype)) {
      kind += ", ";
      kind += zc::dtype_name(tensor.dtype);
    }
    tensors.push_back(Json::array({tensor.name, kind, std::string(buffer_colour(tensor))}));
  }
  PhaseData phases = phase_data(graph, schedule);
  MapTable maps(schedule.phases.size(), options);
  Json runs = run_data(schedule, summary, options, maps);

  // Every frame of the page has the same width, so the empty one's label
  // steps serve them all.
  const MapFrame empty_frame = map_frame(schedule.phases.size(), options, 0);
  const std::size_t empty_map = maps.index(0);
  const Json data{{"tile_count", schedule.tile_count},
                  {"default_tile", default_tile},
                  {"data_base", options.data_base},
                  {"data_limit", options.data_limit},
                  {"tensors", std::move(tensors)},
                  {"phases", std::move(phases.phases)},
                  {"runs", std::move(runs)},
                  {"empty_frame", frame_json(empty_frame)},
                  {"empty_map", empty_map},
                  {"map_style", map_style_json(empty_frame)},
                  {"groups", group_data(summary)},
                  {"pairs", std::move(phases.pairs)}};
  // The marks, written as text already, become the object's last member.
  std::string text = dump_for_script(data);
  text.insert(text.size() - 1, ",\"maps\":" + maps.json());
  return text;
}

// "Each tile's data window holds 581632 bytes; the highest peak fills 40.3 %
// of it."
std::string window_use(const Summary& summary, const SummaryContext& context) {
  const zc::CompilerOptions& options = context.options;
  const std::uint64_t window =
      options.data_limit > options.data_base ? options.data_limit - options.data_base : 0;
  const TilePeak* largest = largest_peak(summary);
  std::ostringstream text;
  text << "Each tile's data window holds " << window << " bytes";
  if (largest != nullptr && window != 0) {
    text << "; the highest peak fills " << std::fixed << std::setprecision(1)
         << 100.0 * largest->peak / static_cast<double>(window) << " % of it";
  }
  text << '.';
  return text.str();
}

void write_swatch(std::ostream& out, std::string_view css, std::string_view label) {
  out << "<span class=\"swatch\"><i style=\"" << css << "\"></i>" << label << "</span>";
}

}  // namespace

std::string report_html(const zc::Graph& graph, const zc::Schedule& schedule,
                        const Summary& summary, const SummaryContext& context,
                        std::uint16_t default_tile) {
  std::ostringstream summary_text;
  write_summary(summary_text, summary, context);
  const std::string workload = xml_text(context.workload);

  std::ostringstream page;
  page << "<!DOCTYPE html>\n"
       << "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
       << "<meta charset=\"utf-8\"/>\n<title>zelkc report: " << workload << "</title>\n"
       << "<style>\n"
       << kReportStyle << "</style>\n</head>\n<body>\n"
       << "<h1>Schedule report</h1>\n<p class=\"note\">" << workload << "</p>\n"
       << "<h2>Summary</h2>\n<pre id=\"summary\">" << xml_text(summary_text.str()) << "</pre>\n"
       << "<h2>Peak memory by tile group</h2>\n<p class=\"note\">" << window_use(summary, context)
       << " One bar per group of consecutive tiles holding the same tensors, as wide as its "
       << "tiles. Choose a tile to see its memory map.</p>\n<p class=\"legend\">";
  write_swatch(page, "background: #8db8e0", "peak of the group's tiles");
  write_swatch(page, "background: #1f3b5a; height: 3px",
               "lower bound (most bytes live in one phase)");
  write_swatch(page, "background: #8fcfbf", "the chosen tile's group");
  write_swatch(page, "background: #1f8a70", "the chosen tile");
  page << "</p>\n<div id=\"peaks\">\n";
  write_group_chart(page, summary, default_tile);
  page << "</div>\n<h2>Memory map</h2>\n<form id=\"map-controls\" class=\"controls\">"
       << "<label>Tile <input id=\"tile-input\" type=\"number\" min=\"0\" max=\""
       << summary.tile_count - 1U << "\" value=\"" << default_tile << "\"/></label> "
       << "<label>Group <select id=\"group-select\"></select></label> "
       << "<label>Phases <input id=\"phase-from\" type=\"number\" min=\"0\"/></label> "
       << "<label>to <input id=\"phase-to\" type=\"number\" min=\"0\"/></label> "
       << "<button type=\"button\" id=\"all-phases\">All phases</button></form>\n"
       << "<p id=\"map-caption\" class=\"note\">The memory map needs JavaScript.</p>\n"
       << "<p class=\"legend\">";
  for (const KindSwatch& kind : kind_swatches()) {
    write_swatch(page, "background: " + std::string(kind.colour), kind.label);
  }
  write_swatch(page, "background: " + std::string(kMapStyle.exchange_fill), "exchange phase");
  write_swatch(page, "border-top: 2px dashed " + std::string(kMapStyle.peak) + "; height: 0",
               "peak");
  page << "</p>\n<div id=\"map-box\"><svg xmlns=\"http://www.w3.org/2000/svg\" "
       << "id=\"memory-map\" font-family=\"sans-serif\" font-size=\"11\" width=\"0\" "
       << "height=\"0\"></svg></div>\n<h2>Phases</h2>\n";
  write_phase_table(page, graph, schedule);
  page << "<script type=\"application/json\" id=\"report-data\">"
       << report_data(graph, schedule, summary, context, default_tile) << "</script>\n"
       << "<script>//<![CDATA[\n"
       << kReportScript << "//]]></script>\n</body>\n</html>\n";
  return page.str();
}

}  // namespace zelkc
