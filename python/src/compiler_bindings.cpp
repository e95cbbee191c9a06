// The compiler: options, layouts, transfers, kernel commands, phases,
// allocations, the Schedule with its columnar allocation views, and compile.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <stop_token>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "interruptible.hpp"
#include "records.hpp"
#include "sequences.hpp"
#include "zelk_compiler/compiler.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

void bind_options(py::module_& module) {
  auto options = record_class<zc::CompilerOptions>(module);
  def_checked_init<Keywords::Required>(options);
  def_writable_fields(options);
  options.def("valid", &zc::CompilerOptions::valid);
}

void bind_layout(py::module_& module) {
  py::enum_<zc::Sharding> sharding(module, "Sharding");
  sharding.value("Replicated", zc::Sharding::Replicated)
      .value("Rows", zc::Sharding::Rows)
      .value("Columns", zc::Sharding::Columns)
      .value("Heads", zc::Sharding::Heads);
  print_enum_as_library(sharding);

  auto layout = record_class<zc::Layout>(module);
  def_keyword_init(layout);
  def_readonly_fields(layout);

  module.def("choose_layout", &zc::choose_layout, arg("tensor"), arg("tile_count"));
  module.def("local_bytes", &zc::local_bytes, arg("tensor"), arg("layout"));
  module.def("worker_count", &zc::worker_count, arg("tensor"));
}

// Records built from their fields by keyword, read-only once built.
template <class... Records>
void bind_plain_records(py::module_& module) {
  const auto bind = [&module]<class Record>(std::type_identity<Record>) {
    auto record = record_class<Record>(module);
    def_keyword_init(record);
    def_readonly_fields(record);
  };
  (bind(std::type_identity<Records>{}), ...);
}

void bind_phases(py::module_& module) {
  bind_plain_records<zc::Transfer, zc::SpecializationKey, zc::KernelCommand, zc::Exchange,
                     zc::Compute, zc::Allocation>(module);
}

using LayoutList = ListView<zc::Schedule, zc::Layout, &zc::Schedule::layouts>;
using PhaseList = ListView<zc::Schedule, zc::Phase, &zc::Schedule::phases>;
using AllocationList = ListView<zc::Schedule, zc::Allocation, &zc::Schedule::allocations>;

// One field of every allocation as a read-only strided view into the
// schedule's own list: no copy and no Allocation object per entry.
template <class Field>
void def_column(py::class_<AllocationList>& list, const char* name, Field field) {
  list.def_property_readonly(name, [field](const AllocationList& self) {
    const std::vector<zc::Allocation>& allocations = self.items();
    const auto* first = allocations.empty() ? nullptr : &std::invoke(field, allocations.front());
    return readonly_view(first, allocations.size(), sizeof(zc::Allocation), self.owner());
  });
}

// The tiles (`Part` 0) or the peaks (`Part` 1) of `peak_sram` in tile order.
template <std::size_t Part>
auto peak_column(const zc::Schedule& schedule) {
  using Value = std::tuple_element_t<Part, std::map<std::uint16_t, std::uint32_t>::value_type>;
  py::array_t<std::remove_const_t<Value>> column(array_extent(schedule.peak_sram.size()));
  auto out = column.template mutable_unchecked<1>();
  py::ssize_t i = 0;
  for (const auto& entry : schedule.peak_sram) {
    out(i++) = std::get<Part>(entry);
  }
  return column;
}

void bind_schedule(py::module_& module) {
  bind_list_view<LayoutList>(module, "LayoutList");
  bind_list_view<PhaseList>(module, "PhaseList");
  auto allocations = bind_list_view<AllocationList>(module, "AllocationList");
  def_column(allocations, "tensor", [](const zc::Allocation& allocation) -> const std::uint64_t& {
    return allocation.tensor.index;
  });
  def_column(allocations, "tile", &zc::Allocation::tile);
  def_column(allocations, "address", &zc::Allocation::address);
  def_column(allocations, "size", &zc::Allocation::size);
  def_column(allocations, "live_from", &zc::Allocation::live_from);
  def_column(allocations, "live_until", &zc::Allocation::live_until);

  py::class_<zc::Schedule> schedule(module, "Schedule");
  schedule
      .def_property_readonly("layouts", [](py::object self) { return LayoutList(std::move(self)); })
      .def_property_readonly("phases", [](py::object self) { return PhaseList(std::move(self)); })
      .def_property_readonly("allocations",
                             [](py::object self) { return AllocationList(std::move(self)); })
      .def_readonly("tile_count", &zc::Schedule::tile_count)
      .def_readonly("peak_sram", &zc::Schedule::peak_sram)
      .def_property_readonly("peak_tiles", &peak_column<0>)
      .def_property_readonly("peak_bytes", &peak_column<1>);
  value_record(schedule, [](const zc::Schedule& self) {
    std::uint32_t peak = 0;
    for (const auto& [tile, bytes] : self.peak_sram) {
      peak = std::max(peak, bytes);
    }
    return "Schedule(tile_count=" + std::to_string(self.tile_count) +
           ", phases=" + std::to_string(self.phases.size()) +
           ", allocations=" + std::to_string(self.allocations.size()) +
           ", peak=" + std::to_string(peak) + ")";
  });

  module.def(
      "compile",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PlanningOptions>& planning) {
        return interruptible_on_copy(
            graph, options, planning,
            [](const zc::Graph& copy, const zc::CompilerOptions& chosen,
               const zc::PlanningOptions& planned,
               const std::stop_token& stop) { return zc::compile(copy, chosen, planned, stop); });
      },
      arg("graph"), arg("options") = py::none(), arg("planning") = py::none());
}

}  // namespace

void bind_compiler(py::module_& module) {
  bind_options(module);
  bind_layout(module);
  bind_phases(module);
  bind_schedule(module);
}

}  // namespace zelk_python
