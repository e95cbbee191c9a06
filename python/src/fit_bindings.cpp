// Fitting tile memory: the planning strategies and the records of a fit
// diagnosis (diagnose_fit itself is bound beside compile).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>

#include "bindings.hpp"
#include "convert.hpp"
#include "records.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

void bind_planning(py::module_& module) {
  py::enum_<zc::PlacementStrategy> strategy(module, "PlacementStrategy");
  strategy.value("FirstFit", zc::PlacementStrategy::FirstFit)
      .value("Best", zc::PlacementStrategy::Best);
  print_enum_as_library(strategy);

  const zc::PlanningOptions defaults{};
  py::class_<zc::PlanningOptions> planning(module, "PlanningOptions");
  planning
      .def(py::init([](zc::PlacementStrategy chosen, const py::handle& search_steps) {
             return zc::PlanningOptions{
                 .strategy = chosen,
                 .search_steps = to_unsigned<std::uint64_t>(search_steps, "search_steps")};
           }),
           py::kw_only(), arg("strategy") = defaults.strategy,
           arg("search_steps") = defaults.search_steps)
      .def_readwrite("strategy", &zc::PlanningOptions::strategy)
      .def_property(
          "search_steps", [](const zc::PlanningOptions& self) { return self.search_steps; },
          [](zc::PlanningOptions& self, const py::handle& value) {
            self.search_steps = to_unsigned<std::uint64_t>(value, "search_steps");
          });
  value_record(planning);
}

void bind_diagnosis(py::module_& module) {
  py::class_<zc::GroupFit> group(module, "GroupFit");
  group.def_readonly("first_tile", &zc::GroupFit::first_tile)
      .def_readonly("last_tile", &zc::GroupFit::last_tile)
      .def_readonly("tile_count", &zc::GroupFit::tile_count)
      .def_readonly("buffers", &zc::GroupFit::buffers)
      .def_readonly("lower_bound", &zc::GroupFit::lower_bound)
      .def_readonly("first_fit_peak", &zc::GroupFit::first_fit_peak)
      .def_readonly("best_peak", &zc::GroupFit::best_peak)
      .def_readonly("headroom", &zc::GroupFit::headroom);
  value_record(group);

  py::class_<zc::LiveBuffer> live(module, "LiveBuffer");
  live.def_readonly("tensor", &zc::LiveBuffer::tensor)
      .def_readonly("name", &zc::LiveBuffer::name)
      .def_readonly("kind", &zc::LiveBuffer::kind)
      .def_readonly("bytes", &zc::LiveBuffer::bytes)
      .def_readonly("live_from", &zc::LiveBuffer::live_from)
      .def_readonly("live_until", &zc::LiveBuffer::live_until);
  value_record(live);

  py::class_<zc::FitFailure> failure(module, "FitFailure");
  failure.def_readonly("group", &zc::FitFailure::group)
      .def_readonly("phase", &zc::FitFailure::phase)
      .def_readonly("op", &zc::FitFailure::op)
      .def_readonly("exchange", &zc::FitFailure::exchange)
      .def_readonly("live", &zc::FitFailure::live)
      .def_readonly("weight_bytes", &zc::FitFailure::weight_bytes)
      .def_readonly("activation_bytes", &zc::FitFailure::activation_bytes)
      .def_readonly("bound_over_window", &zc::FitFailure::bound_over_window);
  value_record(failure);

  py::class_<zc::FitDiagnosis> diagnosis(module, "FitDiagnosis");
  diagnosis.def_readonly("strategy", &zc::FitDiagnosis::strategy)
      .def_readonly("window", &zc::FitDiagnosis::window)
      .def_readonly("groups", &zc::FitDiagnosis::groups)
      .def_readonly("fits", &zc::FitDiagnosis::fits)
      .def_readonly("failure", &zc::FitDiagnosis::failure);
  value_record(diagnosis);
}

}  // namespace

void bind_fit(py::module_& module) {
  bind_planning(module);
  bind_diagnosis(module);
}

}  // namespace zelk_python
