// Fitting tile memory: the planning strategies, diagnose_fit and the records
// of its diagnosis, and the search for the fewest tiles.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <sstream>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bindings.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "records.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/fit.hpp"
#include "zelk_compiler/fit_text.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;

// A diagnosis as Python holds it: with the name of the operation where the
// graph fails to fit, which its text names and only the graph knows.
struct Diagnosis {
  zc::FitDiagnosis value;
  std::optional<std::string> failing_op;
  // The diagnosed graph's tensors, whose types the text shows.
  std::vector<zc::Tensor> tensors;

  friend bool operator==(const Diagnosis& a, const Diagnosis& b) { return a.value == b.value; }
};

Diagnosis held(zc::FitDiagnosis diagnosis, const zc::Graph& graph) {
  const auto name = zc::failing_op_name(graph, diagnosis);
  return {std::move(diagnosis), name ? std::optional<std::string>(*name) : std::nullopt,
          graph.tensors};
}

// The text zelkc fit prints for the diagnosis, without the last newline.
std::string fit_text(const Diagnosis& diagnosis) {
  std::ostringstream out;
  zc::write_fit(out, diagnosis.value, diagnosis.failing_op, {}, 0, zc::kLiveRows,
                diagnosis.tensors);
  std::string text = std::move(out).str();
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

// "FitDiagnosis(strategy=FirstFit, fits=False, peak=184320, window=170000,
// lower_bound=156672)": the highest peak of the strategy diagnosed and the
// highest lower bound over the tile groups.
std::string diagnosis_repr(const Diagnosis& diagnosis) {
  const zc::FitDiagnosis& value = diagnosis.value;
  std::optional<std::uint64_t> peak;
  std::uint64_t bound = 0;
  for (const zc::GroupFit& group : value.groups) {
    const auto& group_peak =
        value.strategy == zc::PlacementStrategy::Best ? group.best_peak : group.first_fit_peak;
    if (group_peak) {
      peak = std::max(peak.value_or(0), *group_peak);
    }
    bound = std::max(bound, group.lower_bound);
  }
  return short_repr_of("FitDiagnosis", {{"strategy", short_text(value.strategy)},
                                        {"fits", short_text(value.fits)},
                                        {"peak", short_text(peak)},
                                        {"window", short_text(value.window)},
                                        {"lower_bound", short_text(bound)}});
}

void bind_diagnosis(py::module_& module) {
  auto group = record_class<zc::GroupFit>(module);
  def_readonly_fields(group);
  replace_method(group, "__repr__", [](const zc::GroupFit& self) {
    return short_repr_of("GroupFit",
                         {{"tiles", short_text(zc::tile_range(self.first_tile, self.last_tile))},
                          {"lower_bound", short_text(self.lower_bound)},
                          {"first_fit_peak", short_text(self.first_fit_peak)},
                          {"best_peak", short_text(self.best_peak)}});
  });

  auto live = record_class<zc::LiveBuffer>(module);
  def_readonly_fields(live);
  replace_method(live, "__repr__", [](const zc::LiveBuffer& self) {
    return short_repr(self, {"name", "kind", "bytes", "live_from", "live_until"});
  });

  auto failure = record_class<zc::FitFailure>(module);
  def_readonly_fields(failure);
  replace_method(failure, "__repr__", [](const zc::FitFailure& self) {
    return short_repr(self,
                      {"phase", "op", "weight_bytes", "activation_bytes", "bound_over_window"});
  });

  py::class_<Diagnosis> diagnosis(module, "FitDiagnosis");
  value_record(diagnosis, &diagnosis_repr);
  py::tuple names(zc::field_count<zc::FitDiagnosis>());
  std::size_t at = 0;
  zc::visit_fields<zc::FitDiagnosis>([&](const auto& field) {
    names[at++] = py::str(field.name);
    diagnosis.def_property_readonly(
        field.name, [member = field.member](const Diagnosis& self) { return self.value.*member; });
  });
  diagnosis.attr("__match_args__") = names;
  diagnosis.def("__str__", &fit_text);

  // The diagnosis at the fewest tiles fits, so it names no operation.
  auto fewest = record_class<zc::FewestTiles>(module);
  def_readonly_fields(fewest);
  fewest.def_property_readonly("diagnosis", [](const zc::FewestTiles& self) {
    return self.diagnosis ? std::optional<Diagnosis>(Diagnosis{*self.diagnosis, std::nullopt, {}})
                          : std::nullopt;
  });
  replace_method(fewest, "__repr__", [](const zc::FewestTiles& self) {
    return short_repr(self, {"strategy", "tile_count", "compiles"});
  });
}

void bind_diagnose(py::module_& module) {
  module.def(
      "diagnose_fit",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PlanningOptions>& planning) {
        return interruptible_on_copy(graph, options, planning,
                                     [](const zc::Graph& copy, const zc::CompilerOptions& chosen,
                                        const zc::PlanningOptions& planned,
                                        const std::stop_token& stop) -> zc::Result<Diagnosis> {
                                       auto found = zc::diagnose_fit(copy, chosen, planned, stop);
                                       if (!found) {
                                         return std::unexpected(std::move(found).error());
                                       }
                                       return held(std::move(*found), copy);
                                     });
      },
      py::arg("graph"), py::arg("options") = py::none(), py::arg("planning") = py::none(),
      "Whether the graph fits tile memory and, when it does not, where and why: per group of "
      "tiles the lower bound and the peak of each planner, and the buffers live where the most "
      "bytes are. print() it for the table zelkc fit prints.");
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

void bind_planning(py::module_& module) {
  py::enum_<zc::PlacementStrategy> strategy(module, "PlacementStrategy");
  strategy.value("FirstFit", zc::PlacementStrategy::FirstFit)
      .value("Best", zc::PlacementStrategy::Best);
  print_enum_as_library(strategy);

  auto planning = record_class<zc::PlanningOptions>(module);
  def_checked_init<Keywords::Required>(planning);
  def_writable_fields(planning);
}

void bind_fit(py::module_& module) {
  bind_diagnosis(module);
  bind_diagnose(module);
  bind_fewest_tiles(module);
}

}  // namespace zelk_python
