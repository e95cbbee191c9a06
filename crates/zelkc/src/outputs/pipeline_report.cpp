// Writing the pipeline's HTML report around each chip's own report.
#include "outputs/pipeline_report.hpp"

#include <sstream>

#include "formats/xml_text.hpp"
#include "outputs/report.hpp"
#include "outputs/report_assets.hpp"

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

// A page as a double-quoted attribute value: markup escaped, and line breaks
// as character references, which XML would otherwise read as spaces (and
// the chip's script relies on its lines).
std::string attribute_text(std::string_view page) {
  const std::string escaped = xml_text(page);
  std::string out;
  out.reserve(escaped.size());
  for (const char c : escaped) {
    if (c == '\n') {
      out += "&#10;";
    } else {
      out += c;
    }
  }
  return out;
}

// Shows the chip the address names (#chip=N), else the bottleneck, hiding
// the others; the selector and the address follow each other.
constexpr std::string_view kChipScript = R"(
(function () {
  "use strict";
  var select = document.getElementById("chip-select");
  var frames = document.querySelectorAll("iframe.chip");
  function chosen() {
    var match = /^#chip=(\d+)$/.exec(window.location.hash);
    var chip = match ? Number(match[1]) : Number(select.getAttribute("data-default"));
    return chip < frames.length ? chip : 0;
  }
  function show() {
    var chip = chosen();
    select.value = String(chip);
    for (var i = 0; i < frames.length; ++i) {
      frames[i].style.display = i === chip ? "block" : "none";
    }
  }
  select.addEventListener("change", function () { window.location.hash = "chip=" + select.value; });
  window.addEventListener("hashchange", show);
  show();
})();
)";

}  // namespace

std::string pipeline_report_html(const zc::Pipeline& pipeline, std::string_view summary_text,
                                 const SummaryContext& context, std::uint16_t default_tile) {
  const std::string workload = xml_text(context.workload);
  std::ostringstream page;
  page << "<!DOCTYPE html>\n"
       << "<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"en\">\n<head>\n"
       << "<meta charset=\"utf-8\"/>\n<title>zelkc pipeline report: " << workload << "</title>\n"
       << "<style>\n"
       << kReportStyle << "iframe.chip { width: 100%; height: 85vh; border: 1px solid #e0e0da; }\n"
       << "</style>\n</head>\n<body>\n"
       << "<h1>Pipeline report</h1>\n<p class=\"note\">" << workload << "</p>\n"
       << "<h2>Summary</h2>\n<pre id=\"summary\">" << xml_text(summary_text) << "</pre>\n"
       << "<h2>Chips</h2>\n<form class=\"controls\"><label>Chip <select id=\"chip-select\" "
       << "data-default=\"" << pipeline.bottleneck << "\">";
  for (const zc::PipelineStage& stage : pipeline.stages) {
    page << "<option value=\"" << stage.chip << "\">chip " << stage.chip << " (" << stage.ops.size()
         << (stage.ops.size() == 1 ? " operation" : " operations")
         << (stage.chip == pipeline.bottleneck ? ", the bottleneck" : "") << ")</option>";
  }
  page << "</select></label></form>\n"
       << "<p class=\"note\">Each chip's stage as a report of its own.</p>\n";
  for (const zc::PipelineStage& stage : pipeline.stages) {
    SummaryContext chip = context;
    chip.workload += ", chip " + std::to_string(stage.chip);
    const Summary summary = summarize(stage.graph, stage.schedule);
    const std::uint16_t tile =
        default_tile < stage.schedule.tile_count ? default_tile : std::uint16_t{0};
    page << "<iframe class=\"chip\" id=\"chip-" << stage.chip << "\" title=\"chip " << stage.chip
         << "\" srcdoc=\""
         << attribute_text(report_html(stage.graph, stage.schedule, summary, chip, tile))
         << "\"></iframe>\n";
  }
  page << "<script>//<![CDATA[" << kChipScript << "//]]></script>\n</body>\n</html>\n";
  return page.str();
}

}  // namespace zelkc
