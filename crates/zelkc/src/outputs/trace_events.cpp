// The trace-event pieces both timelines share.
#include "outputs/trace_events.hpp"

#include <cmath>

namespace zelkc {

Json TraceEvents::other_data(std::string_view workload, const zelk_compiler::CostModel& model) {
  return Json{
      {"generator", "zelkc"},
      {"workload", workload},
      {"durations", "estimates from zelkc's cost model, not measurements"},
      {"clock_mhz", model.clock_mhz},
      {"macs_per_cycle_per_worker", model.macs_per_cycle},
      {"exchange_bytes_per_cycle_per_tile", model.exchange_bytes_per_cycle},
  };
}

std::string TraceEvents::open(const Json& other) {
  return "{\"displayTimeUnit\": \"ns\",\n\"otherData\": " + dump(other) + ",\n\"traceEvents\": [\n";
}

std::string TraceEvents::dump(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void TraceEvents::event(std::string& out, const Json& value) {
  out += first_event_ ? "" : ",\n";
  first_event_ = false;
  out += dump(value);
}

double TraceEvents::microseconds(double cycles) const {
  return std::round(cycles / static_cast<double>(clock_mhz_) * 1000.0) / 1000.0;
}

void TraceEvents::slice(std::string& out, std::uint64_t pid, std::uint64_t tid,
                        const std::string& name, const char* category, double start, double cycles,
                        Json args) {
  const double begin = microseconds(start);
  const double duration = std::round((microseconds(start + cycles) - begin) * 1000.0) / 1000.0;
  args["cycles"] = cycles;
  event(out, Json{{"name", name},
                  {"cat", category},
                  {"ph", "X"},
                  {"ts", begin},
                  {"dur", duration},
                  {"pid", pid},
                  {"tid", tid},
                  {"args", std::move(args)}});
}

void TraceEvents::name_process(std::string& out, std::uint64_t pid, const std::string& name,
                               std::uint64_t order) {
  event(out, Json{{"name", "process_name"},
                  {"ph", "M"},
                  {"pid", pid},
                  {"tid", 1},
                  {"args", Json{{"name", name}}}});
  event(out, Json{{"name", "process_sort_index"},
                  {"ph", "M"},
                  {"pid", pid},
                  {"tid", 1},
                  {"args", Json{{"sort_index", order}}}});
}

void TraceEvents::name_thread(std::string& out, std::uint64_t pid, std::uint64_t tid,
                              const std::string& name) {
  event(out, Json{{"name", "thread_name"},
                  {"ph", "M"},
                  {"pid", pid},
                  {"tid", tid},
                  {"args", Json{{"name", name}}}});
}

}  // namespace zelkc
