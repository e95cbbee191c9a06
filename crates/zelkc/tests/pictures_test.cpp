// The memory map and the report: what they draw and embed, and text that
// cannot break their markup. Well-formedness and the report's script are
// checked on the real files by the command line tests.
#include <gtest/gtest.h>

#include <iomanip>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <zelk_compiler/lib.hpp>

#include "formats/schedule_json.hpp"
#include "formats/xml_text.hpp"
#include "outputs/memory_map.hpp"
#include "outputs/report.hpp"
#include "outputs/report_assets.hpp"
#include "outputs/summary.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t found = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++found;
  }
  return found;
}

TEST(XmlText, EscapesMarkupAndReplacesWhatXmlCannotHold) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain", "plain"},
      {R"(a<b&"c"'d'>)", "a&lt;b&amp;&quot;c&quot;&#39;d&#39;&gt;"},
      {"tab\tnewline\n", "tab\tnewline\n"},
      {std::string("nul\0x", 5), "nul\xEF\xBF\xBDx"},
      {"bell\a", "bell\xEF\xBF\xBD"},
      {"caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x86\x92 \xF0\x9F\x98\x80"},
      {"stray\xFF", "stray\xEF\xBF\xBD"},
      {"overlong\xC0\xAF", "overlong\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"cut\xE2\x86", "cut\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"surrogate\xED\xA0\x80", "surrogate\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"nonchar\xEF\xBF\xBF", "nonchar\xEF\xBF\xBD"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(xml_text(text), expected) << text;
  }
}

// Coordinates keep to a tenth of a pixel, rounded as printf rounds them.
TEST(XmlText, CoordinatesAreWrittenToATenthAsStreamsWriteThem) {
  const std::vector<std::pair<double, std::string>> cases = {{0, "0.0"},
                                                             {110, "110.0"},
                                                             {265.333333, "265.3"},
                                                             {0.25, "0.2"},
                                                             {0.35, "0.3"},
                                                             {-0.04, "-0.0"},
                                                             {-12.96, "-13.0"},
                                                             {1e20, "100000000000000000000.0"},
                                                             {1234.05, "1234.0"},
                                                             {2.5e-7, "0.0"}};
  for (const auto& [value, expected] : cases) {
    EXPECT_EQ(coordinate(value), expected) << value;
  }
  // Past any buffer on the stack: the largest double, written whole.
  std::ostringstream largest;
  largest << std::fixed << std::setprecision(1) << std::numeric_limits<double>::max();
  EXPECT_EQ(coordinate(std::numeric_limits<double>::max()), largest.str());
  EXPECT_EQ(coordinate(std::numeric_limits<double>::max()).size(), 311U);
}

struct Compiled {
  zc::Graph graph;
  zc::CompilerOptions options;
  zc::Schedule schedule;
};

Compiled default_block(zc::CompilerOptions options = {}) {
  zc::Graph graph = *zc::encoder_graph({});
  zc::Schedule schedule = *zc::compile(graph, options);
  return {std::move(graph), options, std::move(schedule)};
}

TEST(MemoryMap, DrawsOneLabelledRectanglePerBufferOfTheTile) {
  const Compiled c = default_block();
  const std::string tile0 = memory_map_svg(c.graph, c.options, c.schedule, 0);
  EXPECT_EQ(count(tile0, "<g class=\"buffer\""), 22U);
  EXPECT_NE(tile0.find("data-tile=\"0\" data-buffers=\"22\""), std::string::npos);
  EXPECT_NE(tile0.find(">attention_softmax</text>"), std::string::npos);
  EXPECT_NE(tile0.find("peak 9216 B (0x54400)"), std::string::npos);
  EXPECT_NE(tile0.find("data_base 0x52000"), std::string::npos);
  // The window is far larger than the peak: the picture says how much it shows.
  EXPECT_NE(tile0.find("goes on to data_limit 0xE0000"), std::string::npos);
  EXPECT_EQ(count(tile0, "class=\"exchange\""), 2U);

  const std::string tile40 = memory_map_svg(c.graph, c.options, c.schedule, 40);
  EXPECT_EQ(count(tile40, "<g class=\"buffer\""), 2U);
}

TEST(MemoryMap, ShowsTheWholeWindowWhenTheTileFillsMostOfIt) {
  const Compiled c = default_block({.tile_count = 64, .data_base = 0x1000, .data_limit = 0x3400});
  const std::string svg = memory_map_svg(c.graph, c.options, c.schedule, 0);
  EXPECT_NE(svg.find("data_limit 0x3400"), std::string::npos);
  EXPECT_EQ(svg.find("goes on to"), std::string::npos);
}

TEST(MemoryMap, ATileWithoutBuffersSaysSo) {
  const Compiled c = default_block({.tile_count = 100});
  const std::string svg = memory_map_svg(c.graph, c.options, c.schedule, 80);
  EXPECT_EQ(count(svg, "<g class=\"buffer\""), 0U);
  EXPECT_NE(svg.find("No buffers on this tile."), std::string::npos);
}

TEST(MemoryMap, NamesCannotBreakTheMarkup) {
  zc::Graph graph;
  graph.mark_output(graph.input("<x & \"y\">\x01", {64}));
  const zc::Schedule schedule = *zc::compile(graph, {});
  const std::string svg = memory_map_svg(graph, {}, schedule, 0);
  EXPECT_NE(svg.find("&lt;x &amp; &quot;y&quot;&gt;\xEF\xBF\xBD"), std::string::npos);
  EXPECT_EQ(svg.find("<x"), std::string::npos);
}

// A name too long for its buffer is cut where a character starts and ends
// in an ellipsis; the tooltip keeps it whole.
TEST(MemoryMap, LongNamesAreCutShortVisibly) {
  const double per = kMapStyle.label_character_width;
  const double margins = 2 * kMapStyle.label_x;
  const struct {
    std::string name;
    double characters;  // the buffer's width, in characters of room
    std::string label;
  } cases[] = {
      {"attention_scores", 16.5, "attention_scores"},
      {"attention_scores", 15.9, "attention_scor\u2026"},
      {"/encoder/layer.0/attention/Softmax_output_0", 10, "/encoder/\u2026"},
      {"caf\u00e9_\u00e9t\u00e9", 6, "caf\u00e9_\u2026"},  // two-byte characters stay whole
      {"x", 1.5, "x"},
      {"xy", 1.5, "\u2026"},
      {"xy", 0, "\u2026"},
      {"", 0, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(buffer_label(c.name, c.characters * per + margins), c.label) << c.name;
  }
  zc::Graph graph;
  const std::string name = "/encoder/layer.0/attention/self/value/MatMul_output_0";
  graph.mark_output(graph.input(name, {64}));
  const std::string svg = memory_map_svg(graph, {}, *zc::compile(graph, {}), 0);
  EXPECT_NE(svg.find("<title>" + name + " (tensor 0)"), std::string::npos);
  EXPECT_NE(svg.find("\u2026</text>"), std::string::npos);
}

std::string report_of(const Compiled& c, std::uint16_t tile = 0) {
  const Summary summary = summarize(c.graph, c.schedule);
  return report_html(c.graph, c.schedule, summary,
                     {.workload = "encoder <block>", .options = c.options, .compile_time = {}},
                     tile);
}

// The JSON text of the element with id `id`, up to its closing tag.
std::string element_text(const std::string& page, const std::string& id) {
  const std::string open = "id=\"" + id + "\">";
  const auto start = page.find(open);
  if (start == std::string::npos) {
    return {};
  }
  const auto from = start + open.size();
  return page.substr(from, page.find("</script>", from) - from);
}

TEST(Report, LoadsNothingFromTheNetwork) {
  const std::string page = report_of(default_block(), 5);
  // No element that fetches anything, and every "http" is a namespace name.
  for (const char* fetch : {"src=", "<link", "@import", "url(", "fetch(", "XMLHttpRequest"}) {
    EXPECT_EQ(page.find(fetch), std::string::npos) << fetch;
  }
  std::size_t http = 0;
  for (auto at = page.find("http"); at != std::string::npos; at = page.find("http", at + 1)) {
    ++http;
    EXPECT_EQ(page.compare(at, 22, "http://www.w3.org/2000") == 0 ||
                  page.compare(at, 22, "http://www.w3.org/1999") == 0,
              true)
        << page.substr(at, 40);
  }
  EXPECT_GT(http, 0U);
}

// The page keeps each run of identical tiles once, with the buffers of its
// first tile and the frame the memory map picture of that tile uses.
TEST(Report, EmbedsEveryRunsBuffersWithTheFrameOfItsMemoryMap) {
  const Compiled c = default_block({.tile_count = 80});
  const Json data = Json::parse(element_text(report_of(c, 5), "report-data"));
  EXPECT_EQ(data.at("default_tile"), 5);
  EXPECT_EQ(data.at("tile_count"), 80);
  EXPECT_EQ(data.at("tensors").at(1), Json::parse(R"(["wq", "Weight", "#f8d2ab"])"));
  EXPECT_EQ(data.at("phases").at(7), nullptr);
  EXPECT_EQ(data.at("phases").at(8), "attention_context");

  const Json& runs = data.at("runs");
  ASSERT_EQ(runs.size(), 5U);
  EXPECT_EQ(runs.back().at("last"), 63);  // tiles 64 to 79 hold nothing
  for (const Json& run : runs) {
    const auto tile = run.at("first").get<std::uint16_t>();
    Json expected = Json::array();
    for (const zc::Allocation& a : c.schedule.allocations) {
      if (a.tile == tile) {
        expected.push_back(Json::array(
            {a.tensor.index, a.address - c.options.data_base, a.size, a.live_from, a.live_until}));
      }
    }
    EXPECT_EQ(run.at("buffers"), expected) << "tile " << tile;
    const std::uint32_t peak = c.schedule.peak_sram.at(tile);
    EXPECT_EQ(run.at("peak"), peak);
    const MapFrame frame = map_frame(c.schedule.phases.size(), c.options, peak);
    const Json& written = run.at("frame");
    EXPECT_EQ(written.at("width"), frame.width);
    EXPECT_EQ(written.at("columns"), frame.columns);
    EXPECT_EQ(written.at("shown_bytes"), frame.shown_bytes);
    EXPECT_EQ(written.at("tick_bytes"), frame.tick_bytes);
  }
}

// A mark handed to the page's script, written as the standalone picture
// writes it.
std::string written_mark(const Json& mark) {
  const std::string element = mark.at(0).get<std::string>();
  std::string text = "<" + element;
  for (const auto& [name, value] : mark.at(1).items()) {
    text += " " + name + "=\"" +
            (value.is_number() ? coordinate(value.get<double>()) : value.get<std::string>()) + "\"";
  }
  if (mark.size() > 2) {
    return text + ">" + mark.at(2).get<std::string>() + "</" + element + ">\n";
  }
  return text + "/>\n";
}

// One drawing: every mark the page's script draws for a run is in the
// picture of the run's first tile, as the picture writes it.
TEST(Report, HandsItsScriptTheMarksOfEachTilesPicture) {
  for (const zc::CompilerOptions& options :
       {zc::CompilerOptions{.tile_count = 80},
        zc::CompilerOptions{.tile_count = 64, .data_base = 0x1000, .data_limit = 0x3400}}) {
    const Compiled c = default_block(options);
    const Json data = Json::parse(element_text(report_of(c), "report-data"));
    const auto marks_in = [&](const Json& marks, const std::string& svg) {
      for (const char* layer : {"backdrop", "window", "axes", "limits"}) {
        for (const Json& mark : marks.at(layer)) {
          EXPECT_NE(svg.find(written_mark(mark)), std::string::npos) << written_mark(mark);
        }
      }
    };
    for (const Json& run : data.at("runs")) {
      const auto tile = run.at("first").get<std::uint16_t>();
      SCOPED_TRACE(tile);
      const std::string svg = memory_map_svg(c.graph, c.options, c.schedule, tile);
      marks_in(data.at("maps").at(run.at("map").get<std::size_t>()), svg);
      EXPECT_EQ(svg.find("No buffers"), std::string::npos);
    }
    if (options.tile_count > 64) {
      const Json& empty = data.at("maps").at(data.at("empty_map").get<std::size_t>());
      const std::string svg = memory_map_svg(c.graph, c.options, c.schedule, 70);
      marks_in(empty, svg);
      EXPECT_NE(svg.find(written_mark(empty.at("empty"))), std::string::npos);
    }
  }
}

// However few phases the page zooms to, the step it looks up is the one the
// picture's rule gives for columns that wide, and labels keep their spacing.
TEST(MemoryMap, PhaseLabelStepsCoverEveryRangeThePageCanShow) {
  for (const std::uint64_t phases : {0U, 1U, 16U, 200U, 5000U}) {
    SCOPED_TRACE(phases);
    const MapFrame frame = map_frame(phases, {}, 0);
    const std::vector<PhaseLabelStep> steps = phase_label_steps(frame);
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back().most_columns, frame.columns);
    std::size_t at = 0;
    for (std::uint64_t count = 1; count <= frame.columns; ++count) {
      while (steps.at(at).most_columns < count) {
        ++at;
      }
      const double column = frame.width / static_cast<double>(count);
      ASSERT_EQ(steps[at].step, phase_label_step(column)) << count;
      EXPECT_GE(static_cast<double>(steps[at].step) * column, kPhaseLabelSpacing) << count;
    }
  }
}

// The style sheet and script arrive whole and cannot end the elements that
// carry them early.
TEST(Report, CarriesItsStyleSheetAndScriptWhole) {
  EXPECT_TRUE(kReportStyle.starts_with("body {"));
  EXPECT_TRUE(kReportScript.ends_with("})();\n"));
  EXPECT_EQ(kReportStyle.find("</style"), std::string_view::npos);
  EXPECT_EQ(kReportScript.find("</script"), std::string_view::npos);
  EXPECT_EQ(kReportScript.find("]]>"), std::string_view::npos);
  const std::string page = report_of(default_block());
  EXPECT_NE(page.find("<script>//<![CDATA[\n" + std::string(kReportScript) + "//]]></script>"),
            std::string::npos);
}

TEST(Report, DrawsOneBarPerGroupAndSummarisesEachExchange) {
  const Compiled c = default_block();
  const std::string page = report_of(c);
  EXPECT_NE(page.find("<pre id=\"summary\">workload:      encoder &lt;block&gt;"),
            std::string::npos);
  EXPECT_EQ(count(page, "<a href=\"#tile="), 5U);
  EXPECT_EQ(count(page, "<rect class=\"peak-bar\""), 5U);
  EXPECT_NE(page.find("<title>tiles 8-15 (8 tiles): 8 tensors, peak 6144 bytes, lower bound "
                      "6144 bytes</title>"),
            std::string::npos);
  EXPECT_EQ(count(page, "<tr class=\"compute\">"), 15U);
  EXPECT_EQ(count(page, "<tr class=\"exchange\">"), 2U);
  EXPECT_NE(page.find("<b>attention_softmax</b>: 4 sends of 1024 B, tiles 0-3 \u2192 4-7"),
            std::string::npos);
  EXPECT_NE(page.find("<b>norm2</b>: 24 sends of 1024 B, tiles 0-7 \u2192 8-31"),
            std::string::npos);
  EXPECT_NE(page.find("<td>attention_context (matmul)</td><td>0-7</td>"), std::string::npos);

  // The pairs themselves wait in the data: source, destination, bytes.
  const Json data = Json::parse(element_text(page, "report-data"));
  EXPECT_EQ(data.at("pairs").at("7"),
            Json::parse("[[0, 4, 1024, 1, 5, 1024, 2, 6, 1024, 3, 7, 1024]]"));
  EXPECT_EQ(data.at("pairs").at("12").at(0).size(), 72U);
}

// Text elements of the group chart: anchor, x, y and content.
struct Label {
  std::string anchor;
  double x = 0;
  double y = 0;
  std::string text;
};

// The value of attribute `name` in the tag starting at `tag`.
std::string attribute(const std::string& text, std::size_t tag, const std::string& name) {
  const std::string key = " " + name + "=\"";
  const auto at = text.find(key, tag);
  const auto end = text.find('>', tag);
  if (at == std::string::npos || at > end) {
    return {};
  }
  const auto from = at + key.size();
  return text.substr(from, text.find('"', from) - from);
}

// The text elements of the group chart without a class: the axes' labels.
std::vector<Label> chart_labels(const std::string& page) {
  const auto start = page.find("id=\"group-chart\"");
  const std::string chart = page.substr(start, page.find("</svg>", start) - start);
  std::vector<Label> labels;
  for (auto at = chart.find("<text "); at != std::string::npos; at = chart.find("<text ", at + 1)) {
    if (!attribute(chart, at, "class").empty()) {
      continue;
    }
    const auto content = chart.find('>', at) + 1;
    labels.push_back({attribute(chart, at, "text-anchor"), std::stod(attribute(chart, at, "x")),
                      std::stod(attribute(chart, at, "y")),
                      chart.substr(content, chart.find('<', content) - content)});
  }
  return labels;
}

TEST(Report, ChartLabelsNeverOverlapFromOneTileToTheMost) {
  zc::Graph graph;
  graph.mark_output(graph.input("x", {1, 64}));
  for (const std::uint16_t tiles : std::vector<std::uint16_t>{1, 9, 64, 1000, 1472, 65535}) {
    SCOPED_TRACE(tiles);
    const zc::CompilerOptions options{.tile_count = tiles};
    const zc::Schedule schedule = *zc::compile(graph, options);
    const std::vector<Label> labels =
        chart_labels(report_html(graph, schedule, summarize(graph, schedule),
                                 {.workload = "x", .options = options, .compile_time = {}}, 0));
    // Tile numbers along the bottom, about 6.5 pixels per digit.
    std::vector<const Label*> tiles_axis;
    std::vector<const Label*> bytes_axis;
    for (const Label& label : labels) {
      if (label.anchor == "end") {
        bytes_axis.push_back(&label);
      } else if (label.text.find_first_not_of("0123456789") == std::string::npos) {
        tiles_axis.push_back(&label);
      }
    }
    ASSERT_FALSE(tiles_axis.empty());
    EXPECT_EQ(tiles_axis.front()->text, "0");
    for (std::size_t i = 1; i < tiles_axis.size(); ++i) {
      const double room =
          6.5 * static_cast<double>(tiles_axis[i - 1]->text.size() + tiles_axis[i]->text.size()) /
              2 +
          4;
      EXPECT_GE(tiles_axis[i]->x - tiles_axis[i - 1]->x, room) << tiles_axis[i]->text;
      EXPECT_LT(std::stoul(tiles_axis[i]->text), tiles);
    }
    ASSERT_GE(bytes_axis.size(), 2U);
    for (std::size_t i = 1; i < bytes_axis.size(); ++i) {
      EXPECT_GE(bytes_axis[i - 1]->y - bytes_axis[i]->y, 14) << bytes_axis[i]->text;
    }
  }
}

TEST(Report, KeepsAtMost2048PairsPerTensorOfAnExchange) {
  // x fits one tile; the product spreads over all 4000, and each tile but
  // the first receives x: 3999 sends in the first exchange.
  zc::Graph graph;
  const zc::TensorId x = graph.input("x", {64, 1});
  const zc::TensorId w = graph.weight("w", {1, 64000});
  graph.mark_output(*graph.matmul("y", x, w));
  const zc::CompilerOptions options{.tile_count = 4000};
  const zc::Schedule schedule = *zc::compile(graph, options);
  const std::string page = report_html(graph, schedule, summarize(graph, schedule),
                                       {.workload = "x", .options = options}, 0);
  const Json data = Json::parse(element_text(page, "report-data"));
  const Json& pairs = data.at("pairs").at("0").at(0);
  EXPECT_EQ(pairs.size(), 3U * 2048U);
  EXPECT_NE(page.find("<summary>the first 2048 pairs</summary>"), std::string::npos);
}

TEST(Report, TheDefaultBlocksPageStaysUnder100kB) {
  EXPECT_LT(report_of(default_block()).size(), 100'000U);
}

}  // namespace
}  // namespace zelkc
