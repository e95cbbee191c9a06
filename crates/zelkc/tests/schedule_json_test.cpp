// The schedule document read back field by field gives the compiled schedule.
#include <gtest/gtest.h>

#include <string>

#include <zelk_compiler/lib.hpp>

#include "formats/schedule_json.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

// Reads the records back by their documented field names; at() throws on a
// missing field, get<> on a wrong type, so any drift fails the test.
zc::Sharding sharding(const std::string& name) {
  for (const zc::Sharding value :
       {zc::Sharding::Replicated, zc::Sharding::Rows, zc::Sharding::Columns, zc::Sharding::Heads}) {
    if (zc::debug_string(value) == name) {
      return value;
    }
  }
  throw std::invalid_argument("unknown sharding " + name);
}

std::vector<zc::TensorId> ids(const Json& list) {
  std::vector<zc::TensorId> result;
  for (const Json& id : list) {
    result.push_back(zc::TensorId{id.get<std::uint64_t>()});
  }
  return result;
}

zc::Phase phase_from(const Json& phase) {
  if (phase.at("variant") == "Exchange") {
    zc::Exchange exchange;
    for (const Json& t : phase.at("transfers")) {
      exchange.transfers.push_back(zc::Transfer{
          .source_tile = t.at("source_tile").get<std::uint16_t>(),
          .destination_tile = t.at("destination_tile").get<std::uint16_t>(),
          .tensor = zc::TensorId{t.at("tensor").get<std::uint64_t>()},
          .bytes = t.at("bytes").get<std::uint32_t>(),
      });
    }
    return exchange;
  }
  EXPECT_EQ(phase.at("variant"), "Compute");
  zc::Compute compute{.op = zc::OpId{phase.at("op").get<std::uint64_t>()}, .commands = {}};
  for (const Json& c : phase.at("commands")) {
    const Json& key = c.at("specialization");
    compute.commands.push_back(zc::KernelCommand{
        .tile = c.at("tile").get<std::uint16_t>(),
        .output = zc::TensorId{c.at("output").get<std::uint64_t>()},
        .inputs = ids(c.at("inputs")),
        .specialization =
            zc::SpecializationKey{
                .operation = key.at("operation").get<std::string>(),
                .shape = key.at("shape").get<std::vector<std::uint64_t>>(),
                .worker_count = key.at("worker_count").get<std::uint8_t>(),
                .role = key.at("role").get<std::string>(),
                .alignment = key.at("alignment").get<std::uint32_t>(),
            },
    });
  }
  return compute;
}

zc::Schedule schedule_from(const Json& document) {
  const Json& s = document.at("schedule");
  zc::Schedule schedule;
  for (const Json& layout : s.at("layouts")) {
    schedule.layouts.push_back(zc::Layout{
        .tensor = zc::TensorId{layout.at("tensor").get<std::uint64_t>()},
        .tiles = layout.at("tiles").get<std::vector<std::uint16_t>>(),
        .sharding = sharding(layout.at("sharding").get<std::string>()),
        .alignment = layout.at("alignment").get<std::uint32_t>(),
    });
  }
  for (const Json& phase : s.at("phases")) {
    schedule.phases.push_back(phase_from(phase));
  }
  for (const Json& a : s.at("allocations")) {
    schedule.allocations.push_back(zc::Allocation{
        .tensor = zc::TensorId{a.at("tensor").get<std::uint64_t>()},
        .tile = a.at("tile").get<std::uint16_t>(),
        .address = a.at("address").get<std::uint32_t>(),
        .size = a.at("size").get<std::uint32_t>(),
        .live_from = a.at("live_from").get<std::uint64_t>(),
        .live_until = a.at("live_until").get<std::uint64_t>(),
    });
  }
  schedule.tile_count = s.at("tile_count").get<std::uint16_t>();
  for (const auto& [tile, bytes] : s.at("peak_sram").items()) {
    schedule.peak_sram.emplace(static_cast<std::uint16_t>(std::stoul(tile)),
                               bytes.get<std::uint32_t>());
  }
  return schedule;
}

TEST(ScheduleJson, DefaultBlockReadsBackAsTheCompiledSchedule) {
  const zc::Graph graph = *zc::encoder_graph({});
  const zc::CompilerOptions options;
  const zc::Schedule schedule = *zc::compile(graph, options);
  const Json document = Json::parse(write_schedule_json(graph, options, schedule));

  EXPECT_EQ(document.at("format"), "zelk-schedule");
  EXPECT_EQ(document.at("version"), 1);
  EXPECT_EQ(document.at("options"),
            Json::parse(R"({"tile_count": 64, "data_base": 335872, "data_limit": 917504})"));
  ASSERT_EQ(document.at("tensors").size(), graph.tensors.size());
  EXPECT_EQ(document.at("tensors")[11],
            Json::parse(R"({"name": "k_transpose", "shape": [64, 32], "kind": "Intermediate"})"));
  EXPECT_EQ(document.at("ops")[4], Json::parse(R"({"name": "k_transpose", "operation": "transpose",
                                                  "inputs": [9], "output": 11})"));

  const zc::Schedule back = schedule_from(document);
  EXPECT_EQ(back.layouts, schedule.layouts);
  EXPECT_EQ(back.phases, schedule.phases);
  EXPECT_EQ(back.allocations, schedule.allocations);
  EXPECT_EQ(back.tile_count, schedule.tile_count);
  EXPECT_EQ(back.peak_sram, schedule.peak_sram);
  EXPECT_EQ(back, schedule);

  // Map keys keep ascending tile order, not the text order "0", "1", "10".
  const Json& peaks = document.at("schedule").at("peak_sram");
  EXPECT_EQ(peaks.begin().key(), "0");
  EXPECT_EQ(std::next(peaks.begin(), 10).key(), "10");
  EXPECT_EQ(document.at("schedule").at("phases")[7].at("variant"), "Exchange");
}

TEST(ScheduleJson, ScriptEmbeddingEscapesMarkup) {
  zc::Graph graph;
  graph.mark_output(graph.input("</script><b>&amp;", {2}));
  const auto schedule = zc::compile(graph, {});
  ASSERT_TRUE(schedule.has_value());
  const std::string text = dump_for_script(schedule_to_json(graph, {}, *schedule));
  EXPECT_EQ(text.find('<'), std::string::npos);
  EXPECT_EQ(text.find('>'), std::string::npos);
  EXPECT_EQ(text.find('&'), std::string::npos);
  EXPECT_EQ(Json::parse(text).at("tensors")[0].at("name"), "</script><b>&amp;");
}

TEST(ScheduleJson, NamesThatAreNotUtf8DoNotStopTheExport) {
  zc::Graph graph;
  graph.mark_output(graph.input("bad\xff", {2}));
  const auto schedule = zc::compile(graph, {});
  ASSERT_TRUE(schedule.has_value());
  const Json document = Json::parse(write_schedule_json(graph, {}, *schedule));
  EXPECT_EQ(document.at("tensors")[0].at("name"), "bad\xEF\xBF\xBD");
}

}  // namespace
}  // namespace zelkc
