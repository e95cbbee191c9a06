// The most bytes live at one time among buffers with half-open lifetimes:
// the lower bound of every placement of them, since buffers live at the same
// time occupy disjoint bytes.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "zelk_compiler/checked.hpp"

namespace zelk_compiler::detail {

// The most bytes live at one time, and the first time that many are.
struct BusiestTime {
  std::uint64_t bytes = 0;
  std::uint64_t time = 0;
};

// Collects lifetimes, then sweeps their starts and ends in time order. Sums
// saturate at 2^64 - 1: past that, every memory is long exceeded.
class LiveBytes {
 public:
  void reserve(std::size_t buffers) { events_.reserve(2 * buffers); }

  // `size` bytes live over [lower, upper); an empty lifetime (upper <= lower)
  // holds no time and adds nothing.
  void add(std::uint64_t lower, std::uint64_t upper, std::uint64_t size) {
    if (upper <= lower) {
      return;
    }
    events_.push_back(Event{lower, true, size});
    events_.push_back(Event{upper, false, size});
  }

  // `size` bytes live from `lower` on, never ending.
  void add_unending(std::uint64_t lower, std::uint64_t size) {
    events_.push_back(Event{lower, true, size});
  }

  [[nodiscard]] BusiestTime busiest() {
    // Lifetimes are half-open: at one time, buffers that end leave before
    // those that start arrive.
    std::ranges::sort(events_, [](const Event& a, const Event& b) {
      return a.time != b.time ? a.time < b.time : a.starts < b.starts;
    });
    std::uint64_t live = 0;
    BusiestTime most;
    for (const Event& event : events_) {
      if (!event.starts) {
        live -= std::min(live, event.size);
        continue;
      }
      live = saturating_add(live, event.size);
      if (live > most.bytes) {
        most = BusiestTime{.bytes = live, .time = event.time};
      }
    }
    return most;
  }

 private:
  struct Event {
    std::uint64_t time;
    bool starts;
    std::uint64_t size;
  };
  std::vector<Event> events_;
};

}  // namespace zelk_compiler::detail
