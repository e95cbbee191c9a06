// Stopping a long call from another thread: the entry points that may run
// long (compile, plan_memory, diagnose_fit, place_buffers, evaluate) take a
// std::stop_token and, once a stop is requested on it, throw `Stopped` at
// their next safe point. They keep no state between calls, so a stopped call
// leaves nothing behind and the next one runs as if it had never been made.
#pragma once

#include <exception>
#include <stop_token>

namespace zelk_compiler {

// Thrown by a call whose stop token was asked to stop before it finished.
struct Stopped : std::exception {
  [[nodiscard]] const char* what() const noexcept override { return "stopped on request"; }
};

// Throws Stopped once a stop is requested on `stop`; an empty token never
// stops.
inline void throw_if_stopped(const std::stop_token& stop) {
  if (stop.stop_requested()) {
    throw Stopped{};
  }
}

}  // namespace zelk_compiler
