// Fitting tile memory: the planning strategies, the records of a fit
// diagnosis (diagnose_fit itself is bound beside compile) and the search for
// the fewest tiles.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <stop_token>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "records.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;

void bind_planning(py::module_& module) {
  py::enum_<zc::PlacementStrategy> strategy(module, "PlacementStrategy");
  strategy.value("FirstFit", zc::PlacementStrategy::FirstFit)
      .value("Best", zc::PlacementStrategy::Best);
  print_enum_as_library(strategy);

  auto planning = record_class<zc::PlanningOptions>(module);
  def_checked_init<Keywords::Required>(planning);
  def_writable_fields(planning);
}

// The records of a diagnosis: made by diagnose_fit, read-only.
void bind_diagnosis(py::module_& module) {
  const auto bind = [&module]<class Record>(std::type_identity<Record>) {
    auto record = record_class<Record>(module);
    def_readonly_fields(record);
  };
  bind(std::type_identity<zc::GroupFit>{});
  bind(std::type_identity<zc::LiveBuffer>{});
  bind(std::type_identity<zc::FitFailure>{});
  bind(std::type_identity<zc::FitDiagnosis>{});
  bind(std::type_identity<zc::FewestTiles>{});
}

void bind_fewest_tiles(py::module_& module) {
  module.def(
      "fewest_tiles",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PlanningOptions>& planning, std::uint16_t max_tiles) {
        return interruptible_on_copy(
            graph, options, planning,
            [max_tiles](const zc::Graph& copy, const zc::CompilerOptions& chosen,
                        const zc::PlanningOptions& planned, const std::stop_token& stop) {
              return zc::fewest_tiles(copy, chosen, planned, max_tiles, stop);
            });
      },
      py::arg("graph"), py::arg("options") = py::none(), py::arg("planning") = py::none(),
      py::arg("max_tiles") = zc::kMostTiles,
      "The fewest tiles on which the graph fits with each planner (first fit, then best), "
      "searched from 1 to max_tiles");
}

}  // namespace

void bind_fit(py::module_& module) {
  bind_planning(module);
  bind_diagnosis(module);
  bind_fewest_tiles(module);
}

}  // namespace zelk_python
