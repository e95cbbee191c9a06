// Writing the HTML report.
#include "report.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <variant>
#include <vector>

#include "memory_map.hpp"
#include "report_assets.hpp"
#include "schedule_json.hpp"
#include "xml_text.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// Every tile's peak as a bar and its lower bound as a dark mark; each bar
// links to the tile's memory map on the page.
void write_peak_chart(std::ostream& out, const Summary& summary) {
  const double left = 70;
  const double top = 16;
  const double height = 220;
  const std::size_t count = std::max<std::size_t>(summary.tiles.size(), 1);
  const double bar = std::clamp(960.0 / static_cast<double>(count), 1.0, 28.0);
  const double width = bar * static_cast<double>(count);
  std::uint64_t most = 1;
  for (const TilePeak& row : summary.tiles) {
    most = std::max({most, static_cast<std::uint64_t>(row.peak), row.lower_bound});
  }
  const auto y = [&](std::uint64_t bytes) {
    return top + height - static_cast<double>(bytes) / static_cast<double>(most) * height;
  };
  const double total_width = left + width + 20;
  const double total_height = top + height + 44;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"chart\" width=\""
      << coordinate(total_width) << "\" height=\"" << coordinate(total_height)
      << "\" viewBox=\"0 0 " << coordinate(total_width) << ' ' << coordinate(total_height)
      << "\" font-size=\"11\">\n";
  for (int quarter = 0; quarter <= 4; ++quarter) {
    const std::uint64_t bytes = most * static_cast<std::uint64_t>(quarter) / 4;
    out << "<line x1=\"" << coordinate(left) << "\" y1=\"" << coordinate(y(bytes)) << "\" x2=\""
        << coordinate(left + width) << "\" y2=\"" << coordinate(y(bytes))
        << "\" stroke=\"#e4e4e4\"/><text x=\"" << coordinate(left - 6) << "\" y=\""
        << coordinate(y(bytes) + 4) << "\" text-anchor=\"end\">" << bytes << "</text>\n";
  }
  const std::size_t label_every = bar >= 14 ? 1 : (bar >= 6 ? 4 : 16);
  for (std::size_t i = 0; i < summary.tiles.size(); ++i) {
    const TilePeak& row = summary.tiles[i];
    const double x = left + static_cast<double>(i) * bar;
    const double mark = std::max(bar - 2, 1.0);
    out << "<a href=\"#tile=" << row.tile << "\" data-tile=\"" << row.tile << "\"><title>tile "
        << row.tile << ": peak " << row.peak << " bytes, lower bound " << row.lower_bound
        << " bytes, " << row.buffers << " buffers</title><rect class=\"peak-bar\" x=\""
        << coordinate(x) << "\" y=\"" << coordinate(y(row.peak)) << "\" width=\""
        << coordinate(mark) << "\" height=\"" << coordinate(top + height - y(row.peak))
        << "\"/><rect class=\"bound-mark\" x=\"" << coordinate(x) << "\" y=\""
        << coordinate(y(row.lower_bound) - 1) << "\" width=\"" << coordinate(mark)
        << "\" height=\"2\"/></a>\n";
    if (i % label_every == 0) {
      out << "<text x=\"" << coordinate(x + mark / 2) << "\" y=\"" << coordinate(top + height + 14)
          << "\" text-anchor=\"middle\">" << row.tile << "</text>\n";
    }
  }
  out << "<text x=\"" << coordinate(left + width / 2) << "\" y=\"" << coordinate(top + height + 34)
      << "\" text-anchor=\"middle\" fill=\"#555555\">tile</text>\n</svg>\n";
}

std::string tensor_name(const zc::Graph& graph, zc::TensorId id) {
  return id.index < graph.tensors.size() ? xml_text(graph.tensors[id.index].name)
                                         : "tensor " + std::to_string(id.index);
}

// An exchange's transfers, grouped by tensor in order of appearance:
// "attention_softmax, 1024 B each: 0→4 1→5".
std::string transfers_text(const zc::Graph& graph, const zc::Exchange& exchange) {
  std::vector<zc::TensorId> order;
  for (const zc::Transfer& transfer : exchange.transfers) {
    if (std::ranges::find(order, transfer.tensor) == order.end()) {
      order.push_back(transfer.tensor);
    }
  }
  std::string text;
  for (const zc::TensorId tensor : order) {
    std::vector<const zc::Transfer*> sends;
    for (const zc::Transfer& transfer : exchange.transfers) {
      if (transfer.tensor == tensor) {
        sends.push_back(&transfer);
      }
    }
    const std::uint32_t bytes = sends.front()->bytes;
    const bool same_bytes = std::ranges::all_of(
        sends, [bytes](const zc::Transfer* send) { return send->bytes == bytes; });
    text += text.empty() ? "" : "<br/>";
    text += tensor_name(graph, tensor);
    text += same_bytes ? ", " + std::to_string(bytes) + " B each:" : std::string(":");
    for (const zc::Transfer* send : sends) {
      text += ' ' + std::to_string(send->source_tile) + "\u2192" +
              std::to_string(send->destination_tile);
      text += same_bytes ? "" : " (" + std::to_string(send->bytes) + " B)";
    }
  }
  return text;
}

void write_phase_table(std::ostream& out, const zc::Graph& graph, const zc::Schedule& schedule) {
  out << "<table id=\"phases\">\n<tr><th>phase</th><th>kind</th><th>operation</th>"
      << "<th>tiles</th><th>inputs or transfers</th></tr>\n";
  for (std::size_t index = 0; index < schedule.phases.size(); ++index) {
    const zc::Phase& phase = schedule.phases[index];
    if (const auto* exchange = std::get_if<zc::Exchange>(&phase)) {
      std::uint64_t bytes = 0;
      for (const zc::Transfer& transfer : exchange->transfers) {
        bytes += transfer.bytes;
      }
      out << "<tr class=\"exchange\"><td>" << index << "</td><td>exchange</td><td>"
          << exchange->transfers.size() << " transfers, " << bytes << " bytes</td><td></td>"
          << "<td class=\"transfers\">" << transfers_text(graph, *exchange) << "</td></tr>\n";
      continue;
    }
    const auto& compute = std::get<zc::Compute>(phase);
    std::string operation = "op " + std::to_string(compute.op.index);
    std::string inputs;
    if (compute.op.index < graph.ops.size()) {
      const zc::Op& op = graph.ops[compute.op.index];
      operation = xml_text(op.name) + " (" + std::string(zc::operation_name(op.kind)) + ")";
      for (const zc::TensorId input : op.inputs) {
        inputs += inputs.empty() ? "" : ", ";
        inputs += tensor_name(graph, input);
      }
    }
    std::string tiles;
    if (!compute.commands.empty()) {
      tiles = std::to_string(compute.commands.front().tile);
      if (compute.commands.size() > 1) {
        tiles += '-' + std::to_string(compute.commands.back().tile);
      }
    }
    out << "<tr class=\"compute\"><td>" << index << "</td><td>compute</td><td>" << operation
        << "</td><td>" << tiles << "</td><td>" << inputs << "</td></tr>\n";
  }
  out << "</table>\n";
}

std::string report_data(const zc::Graph& graph, const zc::Schedule& schedule,
                        const Summary& summary, const SummaryContext& context,
                        std::uint16_t default_tile) {
  Json tiles = Json::array();
  for (const TilePeak& row : summary.tiles) {
    tiles.push_back(Json{{"tile", row.tile},
                         {"peak", row.peak},
                         {"lower_bound", row.lower_bound},
                         {"buffers", row.buffers}});
  }
  const Json data{{"document", schedule_to_json(graph, context.options, schedule)},
                  {"tiles", std::move(tiles)},
                  {"default_tile", default_tile},
                  {"palette", Json::parse(buffer_palette_json())}};
  return dump_for_script(data);
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
       << "<style>" << kReportStyle << "</style>\n</head>\n<body>\n"
       << "<h1>Schedule report</h1>\n<p class=\"note\">" << workload << "</p>\n"
       << "<h2>Summary</h2>\n<pre id=\"summary\">" << xml_text(summary_text.str()) << "</pre>\n"
       << "<h2>Peak memory per tile</h2>\n<p class=\"note\">Bars show each tile's peak, the dark "
       << "marks the lower bound (the most bytes live in any one phase). Choose a bar to see that "
       << "tile's memory map.</p>\n<div id=\"peaks\">\n";
  write_peak_chart(page, summary);
  page << "</div>\n<h2>Memory map</h2>\n<p><label>Tile <select id=\"tile-select\"></select>"
       << "</label> <span id=\"map-caption\" class=\"note\">The memory map needs JavaScript."
       << "</span></p>\n<div id=\"map-box\"><svg xmlns=\"http://www.w3.org/2000/svg\" "
       << "id=\"memory-map\" font-family=\"sans-serif\" font-size=\"11\" width=\"0\" "
       << "height=\"0\"></svg></div>\n<h2>Phases</h2>\n";
  write_phase_table(page, graph, schedule);
  page << "<script type=\"application/json\" id=\"report-data\">"
       << report_data(graph, schedule, summary, context, default_tile) << "</script>\n"
       << "<script>//<![CDATA[" << kReportScript << "//]]></script>\n</body>\n</html>\n";
  return page.str();
}

}  // namespace zelkc
