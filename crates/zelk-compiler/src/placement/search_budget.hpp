// The exact search's budget: placements it may still try and a wall-clock
// deadline, shared by every run on every chain.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stop_token>
#include <utility>

#include "zelk_compiler/stop.hpp"

namespace zelk_compiler::detail::search {

using Clock = std::chrono::steady_clock;

// A deadline and a stop token read every kEvery ticks, so that a tick costs
// next to nothing; once the deadline has passed, every later tick says so
// without reading the clock. A stop requested on the token throws Stopped.
class DeadlineWatch {
 public:
  DeadlineWatch(std::optional<Clock::time_point> deadline, std::stop_token stop)
      : deadline_(deadline), stop_(std::move(stop)), watched_(deadline || stop_.stop_possible()) {}

  // Counts one unit of work; true once the deadline is seen to have passed.
  bool tick() {
    if (!passed_ && watched_ && ++since_clock_ == kEvery) {
      since_clock_ = 0;
      throw_if_stopped(stop_);
      passed_ = deadline_ && Clock::now() >= *deadline_;
    }
    return passed_;
  }

  [[nodiscard]] bool passed() const { return passed_; }

 private:
  static constexpr std::uint32_t kEvery = 256;
  std::optional<Clock::time_point> deadline_;
  std::stop_token stop_;
  bool watched_;
  std::uint32_t since_clock_ = 0;
  bool passed_ = false;
};

// Placements the search may still try, and the wall-clock deadline, shared by
// every run on every chain; a stop requested on `stop` throws Stopped.
class Budget {
 public:
  // A deadline already passed leaves no steps.
  Budget(std::uint64_t steps, std::optional<Clock::time_point> deadline,
         const std::stop_token& stop)
      : steps_(deadline && Clock::now() >= *deadline ? 0 : steps),
        granted_(steps_),
        deadline_(deadline),
        stop_(stop),
        watch_(deadline, stop) {}

  // Takes one step; false once the steps are spent or the deadline passed.
  bool take() {
    if (steps_ == 0) {
      return false;
    }
    --steps_;
    if (watch_.tick()) {
      steps_ = 0;
    }
    return true;
  }

  [[nodiscard]] bool spent() const { return steps_ == 0; }

  // Nine tenths of what is left, steps and time, for a first phase; the
  // rest stays for what follows once charge() has taken what it used.
  [[nodiscard]] Budget most() const {
    std::optional<Clock::time_point> deadline = deadline_;
    if (deadline_) {
      const Clock::time_point now = Clock::now();
      if (*deadline_ > now) {
        deadline = now + (*deadline_ - now - (*deadline_ - now) / 10);
      }
    }
    return Budget(steps_ - steps_ / 10, deadline, stop_);
  }

  void charge(const Budget& part) { steps_ -= std::min(steps_, part.granted_ - part.steps_); }

 private:
  std::uint64_t steps_;
  std::uint64_t granted_;
  std::optional<Clock::time_point> deadline_;
  std::stop_token stop_;
  DeadlineWatch watch_;
};

}  // namespace zelk_compiler::detail::search
