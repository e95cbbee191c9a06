// What both timelines (trace.hpp, pipeline_trace.hpp) write of the Chrome
// trace-event format: the document's frame, and events one a line, with
// times in microseconds to the nanosecond.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <zelk_compiler/cost_model.hpp>

#include "formats/json_text.hpp"

namespace zelkc {

class TraceEvents {
 public:
  explicit TraceEvents(std::uint64_t clock_mhz) : clock_mhz_(clock_mhz) {}

  // What a timeline says of itself: the tool, the workload and the cost
  // model its durations come from.
  static Json other_data(std::string_view workload, const zelk_compiler::CostModel& model);
  // The document up to its first event, with `other` as "otherData".
  static std::string open(const Json& other);
  // What closes the document after its last event.
  static std::string close() { return "\n]}\n"; }

  void event(std::string& out, const Json& value);
  // A complete event of `cycles` from cycle `start`; `args` gain "cycles".
  void slice(std::string& out, std::uint64_t pid, std::uint64_t tid, const std::string& name,
             const char* category, double start, double cycles, Json args);
  // The process's name and its place among the processes.
  void name_process(std::string& out, std::uint64_t pid, const std::string& name,
                    std::uint64_t order);
  void name_thread(std::string& out, std::uint64_t pid, std::uint64_t tid, const std::string& name);

  [[nodiscard]] double microseconds(double cycles) const;

 private:
  static std::string dump(const Json& value);

  std::uint64_t clock_mhz_;
  bool first_event_ = true;
};

}  // namespace zelkc
