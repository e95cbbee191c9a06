// Long library calls that Ctrl-C can interrupt. Python runs signal handlers
// only on its main thread, between bytecodes, so a call that holds that
// thread inside C++ would make Ctrl-C wait for it to finish. Instead the call
// runs on a worker thread with the interpreter lock released, while the
// calling thread wakes every few tens of milliseconds to run any pending
// signal handler. When a handler raises (KeyboardInterrupt from SIGINT), the
// worker is asked to stop through its stop token, is joined, and the
// handler's exception goes on to the caller; the library keeps no state
// between calls, so nothing is left half-changed.
#pragma once

#include <pybind11/pybind11.h>

#include <chrono>
#include <exception>
#include <future>
#include <optional>
#include <stop_token>
#include <thread>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_python {

namespace py = pybind11;

// How long the calling thread waits for the worker between two looks at
// pending signals.
inline constexpr std::chrono::milliseconds kSignalSlice{25};

// Runs `call(stop_token)` as described above and returns its result, or
// rethrows what it threw. Must be called holding the interpreter lock; `call`
// must not touch Python objects, since it runs without the lock.
template <class Call>
[[nodiscard]] std::invoke_result_t<Call&, std::stop_token> interruptible(Call&& call) {
  using Value = std::invoke_result_t<Call&, std::stop_token>;
  std::promise<Value> promise;
  std::future<Value> done = promise.get_future();
  bool interrupted = false;
  {
    const py::gil_scoped_release unlocked;
    // The worker's destructor asks it to stop and joins it, on every way out
    // of this block.
    const std::jthread worker([&call, &promise](const std::stop_token& stop) {
      try {
        promise.set_value(call(stop));
      } catch (...) {
        promise.set_exception(std::current_exception());
      }
    });
    while (done.wait_for(kSignalSlice) != std::future_status::ready) {
      const py::gil_scoped_acquire locked;
      if (PyErr_CheckSignals() != 0) {
        interrupted = true;  // the handler's exception stays set on this thread
        break;
      }
    }
  }
  if (interrupted) {
    throw py::error_already_set();
  }
  return done.get();
}

// Runs `call(graph, options, planning, stop)` (compile, diagnose_fit,
// fewest_tiles) interruptibly on a copy of `graph`, with the default options
// where none are given: another Python thread may grow the graph meanwhile.
template <class Call>
auto interruptible_on_copy(const zelk_compiler::Graph& graph,
                           const std::optional<zelk_compiler::CompilerOptions>& options,
                           const std::optional<zelk_compiler::PlanningOptions>& planning,
                           Call call) {
  const zelk_compiler::Graph graph_copy =
      graph;  // NOLINT(performance-unnecessary-copy-initialization)
  const zelk_compiler::CompilerOptions chosen = options.value_or(zelk_compiler::CompilerOptions{});
  const zelk_compiler::PlanningOptions planned =
      planning.value_or(zelk_compiler::PlanningOptions{});
  return unwrap(interruptible(
      [&](const std::stop_token& stop) { return call(graph_copy, chosen, planned, stop); }));
}

}  // namespace zelk_python
