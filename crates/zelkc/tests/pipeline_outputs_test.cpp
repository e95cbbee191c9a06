// The pipeline's document and report: each stage's schedule as compiling
// its stage graph alone gives it, every value sent to a chip listed once,
// and each chip's own report held whole in the page.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include <zelk_compiler/lib.hpp>

#include "formats/pipeline_json.hpp"
#include "formats/schedule_json.hpp"
#include "outputs/pipeline_report.hpp"
#include "outputs/report.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

// A four-block stack that needs three chips of 16 tiles with a 24 KiB
// window.
struct Split {
  zc::Graph graph;
  zc::CompilerOptions options{.tile_count = 16, .data_limit = 0x58000};
  zc::Pipeline pipeline;
};

Split split(std::uint64_t microbatches) {
  Split s{.graph = *zc::encoder_stack_graph(zc::EncoderConfig{}, 4), .pipeline = {}};
  s.pipeline =
      *zc::compile_pipeline(s.graph, s.options, zc::PipelineOptions{.microbatches = microbatches});
  return s;
}

TEST(PipelineDocument, HoldsEachStagesScheduleAsCompilingItsStageGraphAloneGivesIt) {
  const Split s = split(4);
  ASSERT_EQ(s.pipeline.stages.size(), 3U);
  const Json document = Json::parse(write_pipeline_json(s.graph, s.options, s.pipeline));
  EXPECT_EQ(document.at("format"), "zelk-pipeline");
  EXPECT_EQ(document.at("chips"), 3);
  EXPECT_EQ(document.at("microbatches"), 4);
  EXPECT_EQ(document.at("total_cycles"), s.pipeline.total_cycles);
  ASSERT_EQ(document.at("stages").size(), 3U);
  std::uint64_t first = 0;
  for (const Json& stage : document.at("stages")) {
    const auto ops = stage.at("ops").get<std::vector<std::uint64_t>>();
    ASSERT_FALSE(ops.empty());
    EXPECT_EQ(ops.front(), first);
    EXPECT_EQ(stage.at("first_op"), s.graph.ops.at(first).name);
    EXPECT_EQ(stage.at("last_op"), s.graph.ops.at(ops.back()).name);
    const zc::Graph alone = *zc::stage_graph(s.graph, first, ops.back() + 1);
    const zc::Schedule schedule = *zc::compile(alone, s.options);
    EXPECT_EQ(stage.at("schedule"), schedule_to_json(alone, s.options, schedule))
        << "chip " << stage.at("chip");
    first = ops.back() + 1;
  }
  EXPECT_EQ(first, s.graph.ops.size());
}

TEST(PipelineDocument, ListsEveryValueSentToAChipOnceWithItsBytes) {
  const Split s = split(1);
  const Json document = Json::parse(write_pipeline_json(s.graph, s.options, s.pipeline));
  std::set<std::pair<std::string, std::uint64_t>> listed;
  std::uint64_t from_chips = 0;
  for (const Json& transfer : document.at("transfers")) {
    const auto to = transfer.at("to_chip").get<std::uint64_t>();
    const std::string name = transfer.at("tensor");
    EXPECT_TRUE(listed.emplace(name, to).second) << name << " to chip " << to << " twice";
    const zc::Tensor& tensor = s.graph.tensors.at(transfer.at("tensor_id").get<std::uint64_t>());
    EXPECT_EQ(tensor.name, name);
    EXPECT_EQ(transfer.at("bytes"), tensor.elements() * zc::size(tensor.dtype));
    if (transfer.at("from_chip").is_null()) {
      EXPECT_FALSE(tensor.producer.has_value()) << name << " comes from the host";
    } else {
      EXPECT_LT(transfer.at("from_chip").get<std::uint64_t>(), to);
      from_chips += transfer.at("bytes").get<std::uint64_t>();
    }
  }
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
  for (const Json& stage : document.at("stages")) {
    sent += stage.at("bytes_sent").get<std::uint64_t>();
    received += stage.at("bytes_received").get<std::uint64_t>();
  }
  EXPECT_EQ(sent, from_chips);
  EXPECT_EQ(received, from_chips);
  EXPECT_GT(from_chips, 0U);
}

// The text of a srcdoc attribute as the browser reads it.
std::string unescaped(std::string_view text) {
  std::string out;
  for (std::size_t at = 0; at < text.size(); ++at) {
    if (text[at] != '&') {
      out += text[at];
      continue;
    }
    const std::size_t end = text.find(';', at);
    const std::string entity(text.substr(at + 1, end - at - 1));
    if (entity.starts_with('#')) {
      out += static_cast<char>(std::stoi(entity.substr(1)));  // only ASCII is written so
    } else {
      out += entity == "lt" ? "<" : entity == "gt" ? ">" : entity == "amp" ? "&" : "\"";
    }
    at = end;
  }
  return out;
}

TEST(PipelineReport, HoldsEachChipsOwnReportAndAChipSelector) {
  const Split s = split(2);
  const SummaryContext context{.workload = "stack <4>", .options = s.options};
  const std::string page = pipeline_report_html(s.pipeline, "summary & more", context, 1);
  EXPECT_NE(page.find("<pre id=\"summary\">summary &amp; more</pre>"), std::string::npos);
  EXPECT_NE(page.find("<select id=\"chip-select\" data-default=\"" +
                      std::to_string(s.pipeline.bottleneck) + "\">"),
            std::string::npos);
  for (const zc::PipelineStage& stage : s.pipeline.stages) {
    const std::string start = "id=\"chip-" + std::to_string(stage.chip) + "\"";
    const std::size_t at = page.find(start);
    ASSERT_NE(at, std::string::npos);
    const std::size_t open = page.find("srcdoc=\"", at) + 8;
    const std::string held = unescaped(page.substr(open, page.find('"', open) - open));
    SummaryContext chip = context;
    chip.workload += ", chip " + std::to_string(stage.chip);
    EXPECT_EQ(held, report_html(stage.graph, stage.schedule, summarize(stage.graph, stage.schedule),
                                chip, 1));
  }
  // No markup of a chip's page outside its attribute.
  EXPECT_EQ(page.find("<script>//<![CDATA["), page.rfind("<script>//<![CDATA["));
}

}  // namespace
}  // namespace zelkc
