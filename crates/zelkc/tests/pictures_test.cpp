// The memory map and the report: what they draw and embed, and text that
// cannot break their markup. Well-formedness and the report's script are
// checked on the real files by the command line tests.
#include <gtest/gtest.h>

#include <string>

#include <zelk_compiler/lib.hpp>

#include "memory_map.hpp"
#include "report.hpp"
#include "schedule_json.hpp"
#include "summary.hpp"
#include "xml_text.hpp"

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

TEST(Report, EmbedsTheScheduleDocumentAndLoadsNothing) {
  const Compiled c = default_block();
  const std::string page = report_of(c, 5);
  const Json data = Json::parse(element_text(page, "report-data"));
  EXPECT_EQ(data.at("document"), schedule_to_json(c.graph, c.options, c.schedule));
  EXPECT_EQ(data.at("default_tile"), 5);
  ASSERT_EQ(data.at("tiles").size(), 64U);
  EXPECT_EQ(data.at("tiles")[8],
            Json::parse(R"({"tile": 8, "peak": 6144, "lower_bound": 6144, "buffers": 8})"));

  // Self-contained: no element that fetches anything, and every "http" is a
  // namespace name.
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

TEST(Report, ShowsTheSummaryEveryTilesBarAndThePhaseList) {
  const Compiled c = default_block();
  const std::string page = report_of(c);
  EXPECT_NE(page.find("<pre id=\"summary\">workload:      encoder &lt;block&gt;"),
            std::string::npos);
  EXPECT_EQ(count(page, "<rect class=\"peak-bar\""), 64U);
  EXPECT_EQ(count(page, "<rect class=\"bound-mark\""), 64U);
  EXPECT_EQ(count(page, "<a href=\"#tile="), 64U);
  EXPECT_EQ(count(page, "<tr class=\"compute\">"), 15U);
  EXPECT_EQ(count(page, "<tr class=\"exchange\">"), 2U);
  EXPECT_NE(page.find("attention_softmax, 1024 B each: 0\u21924 1\u21925 2\u21926 3\u21927"),
            std::string::npos);
  EXPECT_NE(page.find("<td>attention_context (matmul)</td><td>0-7</td>"), std::string::npos);
}

}  // namespace
}  // namespace zelkc
