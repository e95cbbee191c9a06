// The tile compiler: options, layouts, exchange transfers, phases, tile memory
// planning and `compile`, which drives them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "zelk_compiler/error.hpp"
#include "zelk_compiler/fields.hpp"
#include "zelk_compiler/graph.hpp"
#include "zelk_compiler/placement.hpp"
#include "zelk_compiler/stop.hpp"

namespace zelk_compiler {

// The rules of valid options, in the order they are checked.
enum class OptionsFault {
  NoTiles,          // tile_count is 0
  EmptyDataWindow,  // data_base is not below data_limit
};

struct CompilerOptions;

// The first rule `options` break; none when they are valid.
[[nodiscard]] std::optional<OptionsFault> options_fault(const CompilerOptions& options);

// The target: `tile_count` tiles numbered from 0, each reserving the bytes
// [data_base, data_limit) of its memory for tensor data.
struct CompilerOptions {
  std::uint16_t tile_count = 64;
  std::uint32_t data_base = 0x52000;
  std::uint32_t data_limit = 0xE0000;

  // At least one tile and a non-empty data window.
  [[nodiscard]] bool valid() const { return !options_fault(*this); }

  friend bool operator==(const CompilerOptions&, const CompilerOptions&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<CompilerOptions>) {
  return describe_record<CompilerOptions>("CompilerOptions",
                                          field("tile_count", &CompilerOptions::tile_count),
                                          field("data_base", &CompilerOptions::data_base),
                                          field("data_limit", &CompilerOptions::data_limit));
}

enum class Sharding { Replicated, Rows, Columns, Heads };

// Where one tensor lives: the tiles holding a share of it, in order.
struct Layout {
  TensorId tensor;
  std::vector<std::uint16_t> tiles;
  Sharding sharding = Sharding::Replicated;
  std::uint32_t alignment = 16;

  friend bool operator==(const Layout&, const Layout&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Layout>) {
  return describe_record<Layout>(
      "Layout", field("tensor", &Layout::tensor), field("tiles", &Layout::tiles),
      field("sharding", &Layout::sharding), field("alignment", &Layout::alignment));
}

// One tile per started KiB of the tensor, from tile 0, at most `tile_count`.
// Throws std::invalid_argument for `tile_count` 0 and std::overflow_error when
// the tensor's byte size does not fit 64 bits.
[[nodiscard]] Layout choose_layout(const Tensor& tensor, std::uint16_t tile_count);

// Bytes of `tensor` held on each tile of `layout`: ceil(bytes / tiles). Throws
// std::invalid_argument for an empty tile list and std::overflow_error when the
// byte size does not fit 64 bits.
[[nodiscard]] std::uint64_t local_bytes(const Tensor& tensor, const Layout& layout);

// Workers of the kernel producing `tensor`: 6 from 96 elements on, else 1.
[[nodiscard]] std::uint8_t worker_count(const Tensor& tensor);

// One tile sending its share of one tensor to another tile.
struct Transfer {
  std::uint16_t source_tile = 0;
  std::uint16_t destination_tile = 0;
  TensorId tensor;
  std::uint32_t bytes = 0;

  friend bool operator==(const Transfer&, const Transfer&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Transfer>) {
  return describe_record<Transfer>("Transfer", field("source_tile", &Transfer::source_tile),
                                   field("destination_tile", &Transfer::destination_tile),
                                   field("tensor", &Transfer::tensor),
                                   field("bytes", &Transfer::bytes));
}

// The transfers `op` needs so that every tile of `output` holds each input's
// data: distinct inputs in order (an input listed twice is sent once), then
// positions of the output's tile list. A share that does not fit 32 bits is
// the data-limit `Memory` error of that input.
// Preconditions (thrown as std::out_of_range): every input of `op` has a
// tensor and a layout.
[[nodiscard]] Result<std::vector<Transfer>> transfers_for(const Graph& graph,
                                                          std::span<const Layout> layouts,
                                                          const Op& op, const Layout& output);

// Checks the transfers of one exchange phase: no self-sends, no empty sends,
// no two sends of one tensor to one tile.
[[nodiscard]] Result<void> validate_transfers(std::span<const Transfer> transfers);

// The kernel variant a tile runs. `operation` is the operation's name, with
// the element types appended when it does not compute on F32 alone
// ("matmul.f16"; each operand's type, then the output's, when they differ).
struct SpecializationKey {
  std::string operation;
  std::vector<std::uint64_t> shape;
  std::uint8_t worker_count = 1;
  std::string role;
  std::uint32_t alignment = 16;

  friend bool operator==(const SpecializationKey&, const SpecializationKey&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<SpecializationKey>) {
  return describe_record<SpecializationKey>(
      "SpecializationKey", field("operation", &SpecializationKey::operation),
      field("shape", &SpecializationKey::shape),
      field("worker_count", &SpecializationKey::worker_count),
      field("role", &SpecializationKey::role), field("alignment", &SpecializationKey::alignment));
}

// One tile's share of the work of one operation.
struct KernelCommand {
  std::uint16_t tile = 0;
  TensorId output;
  std::vector<TensorId> inputs;
  SpecializationKey specialization;

  friend bool operator==(const KernelCommand&, const KernelCommand&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<KernelCommand>) {
  return describe_record<KernelCommand>("KernelCommand", field("tile", &KernelCommand::tile),
                                        field("output", &KernelCommand::output),
                                        field("inputs", &KernelCommand::inputs),
                                        field("specialization", &KernelCommand::specialization));
}

struct Exchange {
  std::vector<Transfer> transfers;
  friend bool operator==(const Exchange&, const Exchange&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Exchange>) {
  return describe_record<Exchange>("Exchange", field("transfers", &Exchange::transfers));
}

struct Compute {
  OpId op;
  std::vector<KernelCommand> commands;
  friend bool operator==(const Compute&, const Compute&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Compute>) {
  return describe_record<Compute>("Compute", field("op", &Compute::op),
                                  field("commands", &Compute::commands));
}

using Phase = std::variant<Exchange, Compute>;

// The share of one tensor on one tile: bytes [address, address + size), in
// use from phase `live_from` to phase `live_until`, both inclusive.
struct Allocation {
  TensorId tensor;
  std::uint16_t tile = 0;
  std::uint32_t address = 0;
  std::uint32_t size = 0;
  std::uint64_t live_from = 0;
  std::uint64_t live_until = 0;

  friend bool operator==(const Allocation&, const Allocation&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Allocation>) {
  return describe_record<Allocation>(
      "Allocation", field("tensor", &Allocation::tensor), field("tile", &Allocation::tile),
      field("address", &Allocation::address), field("size", &Allocation::size),
      field("live_from", &Allocation::live_from), field("live_until", &Allocation::live_until));
}

// Whether the closed ranges [a_start, a_end] and [b_start, b_end] meet.
[[nodiscard]] constexpr bool lifetimes_overlap(std::uint64_t a_start, std::uint64_t a_end,
                                               std::uint64_t b_start, std::uint64_t b_end) {
  return a_start <= b_end && b_start <= a_end;
}

// For every tile holding an allocation, the most bytes of its allocations
// in use in one phase: no placement of those buffers on that tile can peak
// lower. A lifetime that ends before it starts holds no phase; sums saturate
// at 2^64 - 1.
[[nodiscard]] std::map<std::uint16_t, std::uint64_t> peak_lower_bounds(
    std::span<const Allocation> allocations);

// The smallest multiple of `alignment` at or above `value`, or nothing when it
// does not fit 32 bits. Throws std::invalid_argument for `alignment` 0.
[[nodiscard]] std::optional<std::uint32_t> align_u32(std::uint32_t value, std::uint32_t alignment);

// How tile memory is planned. Tiles that receive the same tensors in the same
// order form a group and get the same addresses under either strategy.
//
// `FirstFit` places each tensor, in graph order, at the lowest free address
// of the window; it is the plan of `compile(graph, options)`. `Best` keeps,
// per tile group, the lower peak of that plan and of `place_buffers` with
// `PlacementStrategy::Best` on the group's buffers (run only where first fit
// misses the group's lower bound, with `search_steps` bounding its exact
// search): never higher than first fit, and as deterministic.
struct PlanningOptions {
  PlacementStrategy strategy = PlacementStrategy::FirstFit;
  std::uint64_t search_steps = PlacementOptions{}.search_steps;

  friend bool operator==(const PlanningOptions&, const PlanningOptions&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<PlanningOptions>) {
  return describe_record<PlanningOptions>("PlanningOptions",
                                          field("strategy", &PlanningOptions::strategy),
                                          field("search_steps", &PlanningOptions::search_steps));
}

// Places every tensor's share on every tile of its layout in the data window,
// reusing the bytes of tensors whose lifetimes do not meet; first fit unless
// `planning` says otherwise. `layouts` is indexed by tensor id. Broken
// preconditions (a layout missing or with no tiles or alignment 0, a phase
// naming no operation, ids out of range) throw std::invalid_argument or
// std::out_of_range.
// A stop requested on `stop` throws Stopped between tile groups and within
// their placement.
[[nodiscard]] Result<std::vector<Allocation>> plan_memory(const Graph& graph,
                                                          std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options);
[[nodiscard]] Result<std::vector<Allocation>> plan_memory(const Graph& graph,
                                                          std::span<const Layout> layouts,
                                                          std::span<const Phase> phases,
                                                          const CompilerOptions& options,
                                                          const PlanningOptions& planning,
                                                          const std::stop_token& stop = {});

struct Schedule {
  std::vector<Layout> layouts;
  std::vector<Phase> phases;
  std::vector<Allocation> allocations;
  std::uint16_t tile_count = 0;
  // Per tile: highest allocation end minus `data_base`.
  std::map<std::uint16_t, std::uint32_t> peak_sram;

  friend bool operator==(const Schedule&, const Schedule&) = default;
};

[[nodiscard]] constexpr auto describe(std::type_identity<Schedule>) {
  return describe_record<Schedule>(
      "Schedule", field("layouts", &Schedule::layouts), field("phases", &Schedule::phases),
      field("allocations", &Schedule::allocations), field("tile_count", &Schedule::tile_count),
      field("peak_sram", &Schedule::peak_sram));
}

// Validates the graph and the options, lays out every tensor, emits one
// compute phase per operation (each preceded by an exchange when inputs must
// move), plans tile memory and records every tile's peak. Operations run in
// list order, so one that reads a tensor it or a later operation computes is
// refused ("operand computed after op " + name).
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options);
// The same with tile memory planned as `planning` says. A stop requested on
// `stop` throws Stopped at the next operation, tile group or search round.
[[nodiscard]] Result<Schedule> compile(const Graph& graph, const CompilerOptions& options,
                                       const PlanningOptions& planning,
                                       const std::stop_token& stop = {});

std::ostream& operator<<(std::ostream& out, OptionsFault fault);
std::ostream& operator<<(std::ostream& out, const CompilerOptions& options);
std::ostream& operator<<(std::ostream& out, Sharding sharding);
std::ostream& operator<<(std::ostream& out, const Layout& layout);
std::ostream& operator<<(std::ostream& out, const Transfer& transfer);
std::ostream& operator<<(std::ostream& out, const SpecializationKey& key);
std::ostream& operator<<(std::ostream& out, const KernelCommand& command);
std::ostream& operator<<(std::ostream& out, const Exchange& phase);
std::ostream& operator<<(std::ostream& out, const Compute& phase);
std::ostream& operator<<(std::ostream& out, const Phase& phase);
std::ostream& operator<<(std::ostream& out, const Allocation& allocation);
std::ostream& operator<<(std::ostream& out, const PlanningOptions& planning);
std::ostream& operator<<(std::ostream& out, const Schedule& schedule);

}  // namespace zelk_compiler
