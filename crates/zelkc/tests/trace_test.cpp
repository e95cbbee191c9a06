// The timeline: a checker of the trace-event format's rules, the traces of
// real and generated schedules against it, and the cost model's durations.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <zelk_compiler/lib.hpp>

#include "formats/json_text.hpp"
#include "outputs/pipeline_trace.hpp"
#include "outputs/summary.hpp"
#include "outputs/trace.hpp"
#include "support/random_graphs.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

// Slices on one thread may touch but not overlap; timestamps are written to
// the nanosecond, so they may be off by rounding.
constexpr double kSlack = 1e-6;

bool is_count(const Json& value) { return value.is_number_unsigned(); }
bool is_time(const Json& value) { return value.is_number() && value.get<double>() >= 0; }

// Every rule of the trace-event format this writer relies on, as the problems
// found: the document is an object holding a "traceEvents" array; every event
// has a name, a known phase type and a process id; complete events ("X") a
// thread id, a category, a start and a duration in microseconds, and on one
// thread they come in time order without overlapping; counters ("C") a start
// and numeric series, in time order per counter; metadata ("M") names
// processes and threads and gives their order; every process and thread
// that has events is named.
std::vector<std::string> trace_problems(const Json& document) {
  std::vector<std::string> problems;
  const auto problem = [&](std::size_t index, const std::string& what) {
    problems.push_back("event " + std::to_string(index) + ": " + what);
  };
  if (!document.is_object() || !document.contains("traceEvents") ||
      !document.at("traceEvents").is_array()) {
    return {"no traceEvents array"};
  }
  if (document.contains("displayTimeUnit") && document.at("displayTimeUnit") != "ns" &&
      document.at("displayTimeUnit") != "ms") {
    problems.emplace_back("displayTimeUnit is neither ms nor ns");
  }
  std::set<std::uint64_t> named_processes;
  std::set<std::pair<std::uint64_t, std::uint64_t>> named_threads;
  std::set<std::uint64_t> used_processes;
  std::set<std::pair<std::uint64_t, std::uint64_t>> used_threads;
  std::map<std::pair<std::uint64_t, std::uint64_t>, double> thread_end;
  std::map<std::pair<std::uint64_t, std::string>, double> counter_time;

  const Json& events = document.at("traceEvents");
  for (std::size_t i = 0; i < events.size(); ++i) {
    const Json& e = events[i];
    if (!e.is_object() || !e.contains("ph") || !e.at("ph").is_string() || !e.contains("name") ||
        !e.at("name").is_string() || e.at("name").get<std::string>().empty() ||
        !e.contains("pid") || !is_count(e.at("pid"))) {
      problem(i, "needs a name, a phase type and a process id");
      continue;
    }
    const std::string ph = e.at("ph");
    const auto pid = e.at("pid").get<std::uint64_t>();
    if (e.contains("args") && !e.at("args").is_object()) {
      problem(i, "args is not an object");
    }
    if (ph == "X") {
      if (!e.contains("tid") || !is_count(e.at("tid")) || !e.contains("cat") ||
          !e.at("cat").is_string() || !e.contains("ts") || !is_time(e.at("ts")) ||
          !e.contains("dur") || !is_time(e.at("dur"))) {
        problem(i, "a complete event needs tid, cat, and ts and dur of at least 0");
        continue;
      }
      const std::pair thread{pid, e.at("tid").get<std::uint64_t>()};
      used_threads.insert(thread);
      used_processes.insert(pid);
      const double ts = e.at("ts");
      const auto end = thread_end.find(thread);
      if (end != thread_end.end() && ts + kSlack < end->second) {
        problem(i, "starts before the slice before it on its thread ends");
      }
      thread_end[thread] = ts + e.at("dur").get<double>();
    } else if (ph == "C") {
      if (!e.contains("ts") || !is_time(e.at("ts")) || !e.contains("args") ||
          !e.at("args").is_object() || e.at("args").empty()) {
        problem(i, "a counter needs ts and a series");
        continue;
      }
      for (const auto& [series, value] : e.at("args").items()) {
        if (!value.is_number()) {
          problem(i, "counter series " + series + " is not a number");
        }
      }
      used_processes.insert(pid);
      const std::pair counter{pid, e.at("name").get<std::string>()};
      const double ts = e.at("ts");
      const auto last = counter_time.find(counter);
      if (last != counter_time.end() && ts <= last->second) {
        problem(i, "a counter's samples must come in time order");
      }
      counter_time[counter] = ts;
    } else if (ph == "M") {
      const std::string name = e.at("name");
      const Json args = e.value("args", Json::object());
      if (name == "process_name" && args.contains("name") && args.at("name").is_string()) {
        named_processes.insert(pid);
      } else if (name == "thread_name" && args.contains("name") && args.at("name").is_string() &&
                 e.contains("tid") && is_count(e.at("tid"))) {
        named_threads.emplace(pid, e.at("tid").get<std::uint64_t>());
      } else if ((name == "process_sort_index" || name == "thread_sort_index") &&
                 args.contains("sort_index") && args.at("sort_index").is_number_integer()) {
      } else {
        problem(i, "unknown or malformed metadata " + name);
      }
    } else {
      problem(i, "phase type " + ph + " is not written by zelkc");
    }
  }
  for (const std::uint64_t pid : used_processes) {
    if (!named_processes.contains(pid)) {
      problems.push_back("process " + std::to_string(pid) + " has no process_name");
    }
  }
  for (const auto& [pid, tid] : used_threads) {
    if (!named_threads.contains({pid, tid})) {
      problems.push_back("thread " + std::to_string(tid) + " of process " + std::to_string(pid) +
                         " has no thread_name");
    }
  }
  return problems;
}

TEST(TraceChecker, FindsEachBrokenRule) {
  const Json good = Json::parse(R"({"traceEvents": [
    {"name": "process_name", "ph": "M", "pid": 1, "tid": 1, "args": {"name": "p"}},
    {"name": "thread_name", "ph": "M", "pid": 1, "tid": 1, "args": {"name": "t"}},
    {"name": "a", "cat": "compute", "ph": "X", "ts": 0, "dur": 2, "pid": 1, "tid": 1},
    {"name": "b", "cat": "compute", "ph": "X", "ts": 2, "dur": 1, "pid": 1, "tid": 1},
    {"name": "m", "ph": "C", "ts": 0, "pid": 1, "args": {"bytes": 5}},
    {"name": "m", "ph": "C", "ts": 2, "pid": 1, "args": {"bytes": 7}}]})");
  ASSERT_EQ(trace_problems(good), std::vector<std::string>{});

  const std::vector<std::pair<std::string, Json>> broken = {
      {"/traceEvents/2/pid", nullptr},
      {"/traceEvents/2/dur", -1},
      {"/traceEvents/3/ts", 1.5},               // overlaps a
      {"/traceEvents/5/ts", 0},                 // counter repeats a time
      {"/traceEvents/5/args/bytes", "many"},    // not a number
      {"/traceEvents/1/name", "thread_title"},  // unknown metadata
      {"/traceEvents/2/ph", "Q"},               // unknown phase type
      {"/traceEvents/0/pid", 9},                // process 1 left unnamed
      {"/traceEvents/1/tid", 4},                // thread 1 left unnamed
      {"/traceEvents", Json::object()},
  };
  for (const auto& [pointer, value] : broken) {
    Json trace = good;
    trace[Json::json_pointer(pointer)] = value;
    EXPECT_FALSE(trace_problems(trace).empty()) << pointer;
  }
}

struct Compiled {
  zc::Graph graph;
  zc::Schedule schedule;
  Summary summary;
};

Compiled compiled(zc::Graph graph, const zc::CompilerOptions& options) {
  zc::Schedule schedule = *zc::compile(graph, options);
  Summary summary = summarize(graph, schedule);
  return {std::move(graph), std::move(schedule), std::move(summary)};
}

Json trace_of(const Compiled& c, const CostModel& model = {}) {
  return Json::parse(trace_json(c.graph, c.schedule, c.summary, model, "test"));
}

std::map<std::uint64_t, std::string> process_names(const Json& trace) {
  std::map<std::uint64_t, std::string> names;
  for (const Json& e : trace.at("traceEvents")) {
    if (e.at("name") == "process_name") {
      names[e.at("pid")] = e.at("args").at("name");
    }
  }
  return names;
}

std::vector<Json> events_of(const Json& trace, std::uint64_t pid, const std::string& ph) {
  std::vector<Json> found;
  for (const Json& e : trace.at("traceEvents")) {
    if (e.at("pid") == pid && e.at("ph") == ph) {
      found.push_back(e);
    }
  }
  return found;
}

TEST(Trace, DefaultBlockHasAScheduleTrackAndOnePerTileGroup) {
  const Compiled c = compiled(*zc::encoder_graph({}), {});
  const Json trace = trace_of(c);
  EXPECT_EQ(trace_problems(trace), std::vector<std::string>{});
  EXPECT_EQ(process_names(trace), (std::map<std::uint64_t, std::string>{{1, "schedule"},
                                                                        {2, "tiles 0-3"},
                                                                        {3, "tiles 4-7"},
                                                                        {4, "tiles 8-15"},
                                                                        {5, "tiles 16-31"},
                                                                        {6, "tiles 32-63"}}));

  // The schedule track has every phase, back to back, named after the
  // operation or the exchanged tensors.
  const std::vector<Json> phases = events_of(trace, 1, "X");
  ASSERT_EQ(phases.size(), 17U);
  EXPECT_EQ(phases[0].at("name"), "norm1");
  EXPECT_EQ(phases[7].at("name"), "exchange: attention_softmax");
  EXPECT_EQ(phases[7].at("cat"), "exchange");
  EXPECT_EQ(phases[12].at("name"), "exchange: norm2");
  for (std::size_t i = 1; i < phases.size(); ++i) {
    EXPECT_NEAR(phases[i].at("ts").get<double>(),
                phases[i - 1].at("ts").get<double>() + phases[i - 1].at("dur").get<double>(),
                kSlack);
  }

  // Tiles 16-31 take part in the second exchange and the feed-forward
  // layer's first half; tiles 32-63 only hold shares of w1 and w2 and run
  // nothing.
  std::vector<std::string> names;
  for (const Json& slice : events_of(trace, 5, "X")) {
    names.push_back(slice.at("name"));
  }
  EXPECT_EQ(names, (std::vector<std::string>{"exchange: norm2", "ffn_up", "ffn_gelu"}));
  EXPECT_TRUE(events_of(trace, 6, "X").empty());
  EXPECT_EQ(events_of(trace, 6, "C").at(0).at("args").at("bytes"), 2048);
}

TEST(Trace, DurationsFollowTheCostModel) {
  const Compiled c = compiled(*zc::encoder_graph({}), {});
  // q: [32, 64] over 8 tiles, 256 elements a tile, 64 steps each; 6 workers.
  // The first exchange: tiles 0-3 each send 1024 bytes of attention_softmax
  // to one of tiles 4-7.
  const std::vector<std::tuple<CostModel, double, double>> cases = {
      {{}, 0.683, 0.256},  // ceil(16384 / 24) = 683 cycles; 1024 / 4 = 256 cycles
      {{.clock_mhz = 500, .macs_per_cycle = 1, .exchange_bytes_per_cycle = 16}, 5.462, 0.128},
  };
  for (const auto& [model, q_us, exchange_us] : cases) {
    const Json trace = trace_of(c, model);
    const std::vector<Json> phases = events_of(trace, 1, "X");
    EXPECT_EQ(phases[1].at("name"), "q");
    EXPECT_DOUBLE_EQ(phases[1].at("dur").get<double>(), q_us);
    EXPECT_DOUBLE_EQ(phases[7].at("dur").get<double>(), exchange_us);
    EXPECT_EQ(trace.at("otherData").at("clock_mhz"), model.clock_mhz);
  }

  // Tiles 0-3 send and tiles 4-7 receive the 4096 bytes.
  const Json trace = trace_of(c);
  const auto phase_7 = [&](std::uint64_t pid) {
    for (const Json& slice : events_of(trace, pid, "X")) {
      if (slice.at("args").at("phase") == 7) {
        return slice.at("args");
      }
    }
    return Json();
  };
  EXPECT_EQ(phase_7(2), Json::parse(R"({"phase": 7, "tiles": 4, "transfers_sent": 4,
      "bytes_sent": 4096, "bytes_received": 0, "cycles": 256.0})"));
  EXPECT_EQ(phase_7(3), Json::parse(R"({"phase": 7, "tiles": 4, "transfers_sent": 0,
      "bytes_sent": 0, "bytes_received": 4096, "cycles": 256.0})"));
}

TEST(Trace, FewTilesGetATrackEach) {
  const Compiled c = compiled(*zc::encoder_graph({}), {.tile_count = 8});
  const Json trace = trace_of(c);
  EXPECT_EQ(trace_problems(trace), std::vector<std::string>{});
  const auto names = process_names(trace);
  ASSERT_EQ(names.size(), 9U);
  EXPECT_EQ(names.at(2), "tile 0");
  EXPECT_EQ(names.at(9), "tile 7");
}

// The memory counter of a track peaks at the most bytes live together on its
// tiles: the lower bound the summary computes on its own.
TEST(Trace, MemoryCountersPeakAtEachGroupsLowerBound) {
  const Compiled c = compiled(*zc::encoder_graph({}), {});
  const Json trace = trace_of(c);
  for (std::size_t group = 0; group < c.summary.groups.size(); ++group) {
    std::uint64_t most = 0;
    const std::vector<Json> samples = events_of(trace, group + 2, "C");
    ASSERT_FALSE(samples.empty());
    for (const Json& sample : samples) {
      EXPECT_EQ(sample.at("name"), "memory in use");
      most = std::max(most, sample.at("args").at("bytes").get<std::uint64_t>());
    }
    EXPECT_EQ(most, c.summary.groups[group].lower_bound) << "group " << group;
  }
}

TEST(Trace, GeneratedSchedulesPassTheChecker) {
  zc::test_support::Random random(99);
  int written = 0;
  for (int round = 0; round < 80; ++round) {
    zc::Graph graph = zc::test_support::random_graph(random);
    const zc::CompilerOptions options = zc::test_support::random_options(random, 40);
    if (!zc::compile(graph, options)) {
      continue;
    }
    ++written;
    const Compiled c = compiled(std::move(graph), options);
    EXPECT_EQ(trace_problems(trace_of(c)), std::vector<std::string>{}) << "round " << round;
  }
  EXPECT_GT(written, 30);
}

// Two BERT-base blocks on 1,472 tiles: three groups of several hundred tiles.
TEST(Trace, ABertBaseStackOnManyTilesPassesTheChecker) {
  const Compiled c =
      compiled(*zc::encoder_stack_graph(
                   {.sequence = 384, .hidden = 768, .heads = 12, .feed_forward = 3072}, 2),
               {.tile_count = 1472});
  const Json trace = trace_of(c);
  EXPECT_EQ(trace_problems(trace), std::vector<std::string>{});
  EXPECT_EQ(
      process_names(trace),
      (std::map<std::uint64_t, std::string>{
          {1, "schedule"}, {2, "tiles 0-575"}, {3, "tiles 576-1151"}, {4, "tiles 1152-1471"}}));
  EXPECT_EQ(events_of(trace, 1, "X").size(), c.schedule.phases.size());
}

TEST(Trace, RefusesARateOfZero) {
  const Compiled c = compiled(*zc::encoder_graph({}), {});
  for (const CostModel& model : {CostModel{.clock_mhz = 0}, CostModel{.macs_per_cycle = 0},
                                 CostModel{.exchange_bytes_per_cycle = 0}}) {
    EXPECT_THROW((void)trace_json(c.graph, c.schedule, c.summary, model, "x"),
                 std::invalid_argument);
  }
}

// Pipelines: a process per chip, the link and the microbatches.

zc::Pipeline stack_pipeline(const zc::Graph& graph, std::uint64_t microbatches,
                            const CostModel& model = {}) {
  return *zc::compile_pipeline(graph, zc::CompilerOptions{.tile_count = 16, .data_limit = 0x58000},
                               zc::PipelineOptions{.microbatches = microbatches, .cost = model});
}

TEST(PipelineTrace, StagesStartWhenTheStageBeforeAndTheMicrobatchBeforeAreDone) {
  zc::Pipeline pipeline;
  pipeline.microbatches = 3;
  for (const std::uint64_t cycles : {5U, 10U, 4U}) {
    zc::PipelineStage stage;
    stage.chip = pipeline.stages.size();
    stage.cycles = cycles;
    pipeline.stages.push_back(std::move(stage));
  }
  // Stage 1, the slowest, sets the pace once the pipeline is full; stage 2
  // waits for it.
  EXPECT_EQ(stage_starts(pipeline), (StageStarts{{0, 5, 10}, {5, 15, 25}, {15, 25, 35}}));
}

TEST(PipelineTrace, ShowsEveryChipFillingAndDrainingOverTheMicrobatches) {
  const zc::Graph graph = *zc::encoder_stack_graph(zc::EncoderConfig{}, 4);
  const zc::Pipeline pipeline = stack_pipeline(graph, 4);
  ASSERT_EQ(pipeline.stages.size(), 3U);
  const Json trace = Json::parse(pipeline_trace_json(graph, pipeline, {}, "stack"));
  EXPECT_EQ(trace_problems(trace), std::vector<std::string>{});
  EXPECT_EQ(process_names(trace),
            (std::map<std::uint64_t, std::string>{
                {1, "microbatches"}, {2, "chip 0"}, {3, "chip 1"}, {4, "chip 2"}, {5, "link"}}));
  const auto on_thread = [&](std::uint64_t pid, std::uint64_t tid) {
    std::vector<Json> slices;
    for (const Json& e : events_of(trace, pid, "X")) {
      if (e.at("tid") == tid) {
        slices.push_back(e);
      }
    }
    return slices;
  };
  double end = 0;
  for (const zc::PipelineStage& stage : pipeline.stages) {
    const std::vector<Json> batches = on_thread(stage.chip + 2, 1);
    ASSERT_EQ(batches.size(), 4U);
    EXPECT_EQ(on_thread(stage.chip + 2, 2).size(), 4 * stage.schedule.phases.size());
    for (const Json& batch : batches) {
      EXPECT_EQ(batch.at("args").at("cycles"), stage.compute_cycles);
      end = std::max(end, batch.at("ts").get<double>() + batch.at("dur").get<double>());
    }
    if (stage.chip > 0) {
      // Fill: a chip's first microbatch starts after the chip before has
      // finished it, and its link transfer comes first.
      const Json before = on_thread(stage.chip + 1, 1).front();
      const Json link = on_thread(5, stage.chip + 1).front();
      EXPECT_GE(link.at("ts").get<double>() + 1e-6,
                before.at("ts").get<double>() + before.at("dur").get<double>());
      EXPECT_NEAR(link.at("ts").get<double>() + link.at("dur").get<double>(),
                  batches.front().at("ts").get<double>(), 1e-6);
      EXPECT_EQ(link.at("args").at("cycles"), stage.cycles - stage.compute_cycles);
    }
  }
  // The last microbatch leaves the last chip after the pipeline's cycles
  // (1000 MHz: a cycle a nanosecond).
  EXPECT_NEAR(end, static_cast<double>(pipeline.total_cycles) / 1000.0, 1e-6);
  EXPECT_EQ(on_thread(1, 4).size(), 1U);
}

TEST(PipelineTrace, OneChipAndOneMicrobatchIsTheSchedulesPhasesInARow) {
  const zc::Graph graph = *zc::encoder_graph({});
  const CostModel model{.clock_mhz = 500};
  const zc::Pipeline pipeline =
      *zc::compile_pipeline(graph, {}, zc::PipelineOptions{.chips = 1, .cost = model});
  const Json trace = Json::parse(pipeline_trace_json(graph, pipeline, model, "block"));
  EXPECT_EQ(trace_problems(trace), std::vector<std::string>{});
  EXPECT_EQ(events_of(trace, 2, "X").size(), 1 + pipeline.stages.at(0).schedule.phases.size());
  EXPECT_TRUE(events_of(trace, 3, "X").empty());  // nothing crosses the link
  EXPECT_THROW((void)pipeline_trace_json(graph, pipeline, CostModel{.macs_per_cycle = 0}, "x"),
               std::invalid_argument);
}

}  // namespace
}  // namespace zelkc
