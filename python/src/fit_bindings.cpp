// Fitting tile memory: the planning strategies and the records of a fit
// diagnosis (diagnose_fit itself is bound beside compile).
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <type_traits>

#include "bindings.hpp"
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
}

}  // namespace

void bind_fit(py::module_& module) {
  bind_planning(module);
  bind_diagnosis(module);
}

}  // namespace zelk_python
