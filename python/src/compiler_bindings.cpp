// The compiler: options, layouts, transfers, kernel commands, phases,
// allocations, the Schedule with its columnar allocation views, compile and
// diagnose_fit.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <concepts>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "arrays.hpp"
#include "bindings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"
#include "sequences.hpp"
#include "zelk_compiler/compiler.hpp"
#include "zelk_compiler/fit.hpp"

namespace zelk_python {
namespace {

namespace zc = zelk_compiler;
using py::arg;

// A settable integer field whose setter checks the field's range.
template <class Record, std::unsigned_integral T>
void checked_field(py::class_<Record>& record, const char* name, T Record::*member) {
  record.def_property(
      name, [member](const Record& self) { return self.*member; },
      [member, name](Record& self, const py::handle& value) {
        self.*member = to_unsigned<T>(value, name);
      });
}

void bind_options(py::module_& module) {
  const zc::CompilerOptions defaults{};
  py::class_<zc::CompilerOptions> options(module, "CompilerOptions");
  options
      .def(py::init([](const py::handle& tile_count, const py::handle& data_base,
                       const py::handle& data_limit) {
             return zc::CompilerOptions{
                 .tile_count = to_unsigned<std::uint16_t>(tile_count, "tile_count"),
                 .data_base = to_unsigned<std::uint32_t>(data_base, "data_base"),
                 .data_limit = to_unsigned<std::uint32_t>(data_limit, "data_limit")};
           }),
           py::kw_only(), arg("tile_count") = defaults.tile_count,
           arg("data_base") = defaults.data_base, arg("data_limit") = defaults.data_limit)
      .def("valid", &zc::CompilerOptions::valid);
  checked_field(options, "tile_count", &zc::CompilerOptions::tile_count);
  checked_field(options, "data_base", &zc::CompilerOptions::data_base);
  checked_field(options, "data_limit", &zc::CompilerOptions::data_limit);
  value_record(options);
}

void bind_layout(py::module_& module) {
  py::enum_<zc::Sharding> sharding(module, "Sharding");
  sharding.value("Replicated", zc::Sharding::Replicated)
      .value("Rows", zc::Sharding::Rows)
      .value("Columns", zc::Sharding::Columns)
      .value("Heads", zc::Sharding::Heads);
  print_enum_as_library(sharding);

  py::class_<zc::Layout> layout(module, "Layout");
  layout
      .def(py::init([](zc::TensorId tensor, std::vector<std::uint16_t> tiles,
                       zc::Sharding sharding_kind, std::uint32_t alignment) {
             return zc::Layout{.tensor = tensor,
                               .tiles = std::move(tiles),
                               .sharding = sharding_kind,
                               .alignment = alignment};
           }),
           py::kw_only(), arg("tensor") = zc::TensorId{},
           arg("tiles") = std::vector<std::uint16_t>{}, arg("sharding") = zc::Sharding::Replicated,
           arg("alignment") = zc::Layout{}.alignment)
      .def_readonly("tensor", &zc::Layout::tensor)
      .def_readonly("tiles", &zc::Layout::tiles)
      .def_readonly("sharding", &zc::Layout::sharding)
      .def_readonly("alignment", &zc::Layout::alignment);
  value_record(layout);

  module.def("choose_layout", &zc::choose_layout, arg("tensor"), arg("tile_count"));
  module.def("local_bytes", &zc::local_bytes, arg("tensor"), arg("layout"));
  module.def("worker_count", &zc::worker_count, arg("tensor"));
}

void bind_phases(py::module_& module) {
  py::class_<zc::Transfer> transfer(module, "Transfer");
  transfer
      .def(py::init([](std::uint16_t source_tile, std::uint16_t destination_tile,
                       zc::TensorId tensor, std::uint32_t bytes) {
             return zc::Transfer{.source_tile = source_tile,
                                 .destination_tile = destination_tile,
                                 .tensor = tensor,
                                 .bytes = bytes};
           }),
           py::kw_only(), arg("source_tile") = 0, arg("destination_tile") = 0,
           arg("tensor") = zc::TensorId{}, arg("bytes") = 0)
      .def_readonly("source_tile", &zc::Transfer::source_tile)
      .def_readonly("destination_tile", &zc::Transfer::destination_tile)
      .def_readonly("tensor", &zc::Transfer::tensor)
      .def_readonly("bytes", &zc::Transfer::bytes);
  value_record(transfer);

  const zc::SpecializationKey key_defaults{};
  py::class_<zc::SpecializationKey> key(module, "SpecializationKey");
  key.def(py::init([](std::string operation, std::vector<std::uint64_t> shape,
                      std::uint8_t worker_count, std::string role, std::uint32_t alignment) {
            return zc::SpecializationKey{.operation = std::move(operation),
                                         .shape = std::move(shape),
                                         .worker_count = worker_count,
                                         .role = std::move(role),
                                         .alignment = alignment};
          }),
          py::kw_only(), arg("operation") = "", arg("shape") = std::vector<std::uint64_t>{},
          arg("worker_count") = key_defaults.worker_count, arg("role") = "",
          arg("alignment") = key_defaults.alignment)
      .def_readonly("operation", &zc::SpecializationKey::operation)
      .def_readonly("shape", &zc::SpecializationKey::shape)
      .def_readonly("worker_count", &zc::SpecializationKey::worker_count)
      .def_readonly("role", &zc::SpecializationKey::role)
      .def_readonly("alignment", &zc::SpecializationKey::alignment);
  value_record(key);

  py::class_<zc::KernelCommand> command(module, "KernelCommand");
  command
      .def(py::init([](std::uint16_t tile, zc::TensorId output, std::vector<zc::TensorId> inputs,
                       zc::SpecializationKey specialization) {
             return zc::KernelCommand{.tile = tile,
                                      .output = output,
                                      .inputs = std::move(inputs),
                                      .specialization = std::move(specialization)};
           }),
           py::kw_only(), arg("tile") = 0, arg("output") = zc::TensorId{},
           arg("inputs") = std::vector<zc::TensorId>{},
           arg("specialization") = zc::SpecializationKey{})
      .def_readonly("tile", &zc::KernelCommand::tile)
      .def_readonly("output", &zc::KernelCommand::output)
      .def_readonly("inputs", &zc::KernelCommand::inputs)
      .def_readonly("specialization", &zc::KernelCommand::specialization);
  value_record(command);

  py::class_<zc::Exchange> exchange(module, "Exchange");
  exchange
      .def(py::init([](std::vector<zc::Transfer> transfers) {
             return zc::Exchange{.transfers = std::move(transfers)};
           }),
           py::kw_only(), arg("transfers") = std::vector<zc::Transfer>{})
      .def_readonly("transfers", &zc::Exchange::transfers);
  value_record(exchange);

  py::class_<zc::Compute> compute(module, "Compute");
  compute
      .def(py::init([](zc::OpId op, std::vector<zc::KernelCommand> commands) {
             return zc::Compute{.op = op, .commands = std::move(commands)};
           }),
           py::kw_only(), arg("op") = zc::OpId{},
           arg("commands") = std::vector<zc::KernelCommand>{})
      .def_readonly("op", &zc::Compute::op)
      .def_readonly("commands", &zc::Compute::commands);
  value_record(compute);

  py::class_<zc::Allocation> allocation(module, "Allocation");
  allocation
      .def(py::init([](zc::TensorId tensor, std::uint16_t tile, std::uint32_t address,
                       std::uint32_t size, std::uint64_t live_from, std::uint64_t live_until) {
             return zc::Allocation{.tensor = tensor,
                                   .tile = tile,
                                   .address = address,
                                   .size = size,
                                   .live_from = live_from,
                                   .live_until = live_until};
           }),
           py::kw_only(), arg("tensor") = zc::TensorId{}, arg("tile") = 0, arg("address") = 0,
           arg("size") = 0, arg("live_from") = 0, arg("live_until") = 0)
      .def_readonly("tensor", &zc::Allocation::tensor)
      .def_readonly("tile", &zc::Allocation::tile)
      .def_readonly("address", &zc::Allocation::address)
      .def_readonly("size", &zc::Allocation::size)
      .def_readonly("live_from", &zc::Allocation::live_from)
      .def_readonly("live_until", &zc::Allocation::live_until);
  value_record(allocation);
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

// Runs `call` (compile or diagnose_fit) without the interpreter lock, on a
// copy of `graph`: another Python thread may grow the graph meanwhile.
template <class Call>
auto unlocked_on_copy(const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
                      const std::optional<zc::PlanningOptions>& planning, Call call) {
  const zc::Graph graph_copy = graph;  // NOLINT(performance-unnecessary-copy-initialization)
  const zc::CompilerOptions chosen = options.value_or(zc::CompilerOptions{});
  const zc::PlanningOptions planned = planning.value_or(zc::PlanningOptions{});
  decltype(call(graph_copy, chosen, planned)) result;
  {
    const py::gil_scoped_release unlocked;
    result = call(graph_copy, chosen, planned);
  }
  return unwrap(std::move(result));
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
  value_record(schedule);

  module.def(
      "compile",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PlanningOptions>& planning) {
        return unlocked_on_copy(
            graph, options, planning,
            [](const zc::Graph& copy, const zc::CompilerOptions& chosen,
               const zc::PlanningOptions& planned) { return zc::compile(copy, chosen, planned); });
      },
      arg("graph"), arg("options") = py::none(), arg("planning") = py::none());
  module.def(
      "diagnose_fit",
      [](const zc::Graph& graph, const std::optional<zc::CompilerOptions>& options,
         const std::optional<zc::PlanningOptions>& planning) {
        return unlocked_on_copy(graph, options, planning, &zc::diagnose_fit);
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
