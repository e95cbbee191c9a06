// Independent schedule checker. It deliberately shares no code with the
// compiler: sizes, layouts, transfers and lifetimes are worked out again here
// in the plainest possible way.
#include "support/schedule_checker.hpp"

#include <algorithm>
#include <map>
#include <sstream>

#include "zelk_compiler/debug.hpp"

namespace zelk_compiler::test_support {
namespace {

using u64 = std::uint64_t;

struct Checker {
  const Graph& graph;
  const CompilerOptions& options;
  const Schedule& schedule;
  AddressRule rule;
  std::vector<std::string> problems;

  template <class... Pieces>
  void fail(const Pieces&... pieces) {
    std::ostringstream out;
    (out << ... << pieces);
    problems.push_back(out.str());
  }

  static u64 ceil_div(u64 a, u64 b) { return a / b + (a % b != 0 ? 1 : 0); }

  static u64 elements_of(const Tensor& tensor) {
    u64 count = 1;
    for (const u64 extent : tensor.shape) count *= extent;
    return count;
  }

  static u64 element_bytes(DType dtype) {
    switch (dtype) {
      case DType::F16:
      case DType::BF16:
        return 2;
      case DType::I64:
        return 8;
      default:
        return 4;
    }
  }

  static u64 bytes_of(const Tensor& tensor) {
    return elements_of(tensor) * element_bytes(tensor.dtype);
  }

  // The operation name, and the element types when any is not F32: one
  // when operands and output share it, else each operand's and the output's.
  std::string kernel_of(const Op& op) const {
    std::string kernel(operation_name(op.kind));
    std::string types;
    bool mixed = false;
    bool all_f32 = true;
    const DType output = graph.tensors[op.output.index].dtype;
    for (const TensorId input : op.inputs) {
      const DType type = graph.tensors[input.index].dtype;
      types.append(".").append(dtype_name(type));
      mixed = mixed || type != output;
      all_f32 = all_f32 && type == DType::F32;
    }
    types.append(".").append(dtype_name(output));
    if (all_f32 && output == DType::F32) return kernel;
    return mixed ? kernel + types : kernel + "." + std::string(dtype_name(output));
  }

  Layout expected_layout(const Tensor& tensor) const {
    const u64 tiles = std::clamp<u64>(ceil_div(bytes_of(tensor), 1024), 1, options.tile_count);
    Layout layout{
        .tensor = tensor.id, .tiles = {}, .sharding = Sharding::Replicated, .alignment = 16};
    for (u64 t = 0; t < tiles; ++t) layout.tiles.push_back(static_cast<std::uint16_t>(t));
    const std::size_t rank = tensor.shape.size();
    if (tensor.kind == TensorKind::Weight && rank == 2) {
      layout.sharding = Sharding::Columns;
    } else if (rank >= 3) {
      layout.sharding = Sharding::Heads;
    } else if (rank == 2) {
      layout.sharding = Sharding::Rows;
    }
    return layout;
  }

  u64 share_of(const Tensor& tensor) const {
    return ceil_div(bytes_of(tensor), schedule.layouts[tensor.id.index].tiles.size());
  }

  void check_layouts() {
    if (schedule.tile_count != options.tile_count) fail("tile_count differs from the options");
    if (schedule.layouts.size() != graph.tensors.size()) {
      fail("one layout per tensor expected, got ", schedule.layouts.size());
      return;
    }
    for (const Tensor& tensor : graph.tensors) {
      const Layout expected = expected_layout(tensor);
      if (schedule.layouts[tensor.id.index] != expected) {
        fail("layout of ", tensor.name, " is ", schedule.layouts[tensor.id.index], ", expected ",
             expected);
      }
    }
  }

  std::vector<Transfer> expected_transfers(const Op& op) const {
    std::vector<Transfer> transfers;
    const Layout& out = schedule.layouts[op.output.index];
    for (auto it = op.inputs.begin(); it != op.inputs.end(); ++it) {
      const TensorId input = *it;
      if (std::find(op.inputs.begin(), it, input) != it) continue;  // sent once
      const Layout& in = schedule.layouts[input.index];
      if (in.tiles == out.tiles && in.sharding == out.sharding) continue;
      for (std::size_t p = 0; p < out.tiles.size(); ++p) {
        const std::uint16_t source = in.tiles[p % in.tiles.size()];
        if (source == out.tiles[p]) continue;
        transfers.push_back(
            Transfer{source, out.tiles[p], input,
                     static_cast<std::uint32_t>(share_of(graph.tensors[input.index]))});
      }
    }
    return transfers;
  }

  void check_commands(const Op& op, const Compute& compute) {
    const Layout& out = schedule.layouts[op.output.index];
    const Tensor& output = graph.tensors[op.output.index];
    if (compute.commands.size() != out.tiles.size()) {
      fail("op ", op.name, ": ", compute.commands.size(), " commands for ", out.tiles.size(),
           " tiles");
      return;
    }
    for (std::size_t i = 0; i < out.tiles.size(); ++i) {
      const KernelCommand& command = compute.commands[i];
      const KernelCommand expected{
          .tile = out.tiles[i],
          .output = op.output,
          .inputs = op.inputs,
          .specialization = {
              .operation = kernel_of(op),
              .shape = output.shape,
              .worker_count = static_cast<std::uint8_t>(elements_of(output) >= 96 ? 6 : 1),
              .role = i + 1 == out.tiles.size() ? "tail" : "body",
              .alignment = 16}};
      if (command != expected) fail("command ", command, " expected ", expected);
    }
  }

  void check_phases() {
    std::size_t next = 0;
    for (const Op& op : graph.ops) {
      const std::vector<Transfer> transfers = expected_transfers(op);
      if (!transfers.empty()) {
        const auto* exchange =
            next < schedule.phases.size() ? std::get_if<Exchange>(&schedule.phases[next]) : nullptr;
        if (exchange == nullptr) {
          fail("op ", op.name, ": exchange phase missing at ", next);
          return;
        }
        if (exchange->transfers != transfers) {
          fail("op ", op.name, ": transfers ", debug_string(exchange->transfers), " expected ",
               debug_string(transfers));
        }
        ++next;
      }
      const auto* compute =
          next < schedule.phases.size() ? std::get_if<Compute>(&schedule.phases[next]) : nullptr;
      if (compute == nullptr || compute->op != op.id) {
        fail("op ", op.name, ": its compute phase is not at ", next);
        return;
      }
      check_commands(op, *compute);
      ++next;
    }
    if (next != schedule.phases.size()) fail("phases after the last operation");
  }

  // [live_from, live_until] per tensor, worked out from the phase list.
  std::vector<std::pair<u64, u64>> expected_lifetimes() const {
    const u64 count = graph.tensors.size();
    std::vector<std::pair<u64, u64>> life(count, {0, 0});
    std::vector<bool> read(count, false);
    for (u64 p = 0; p < schedule.phases.size(); ++p) {
      if (const auto* compute = std::get_if<Compute>(&schedule.phases[p])) {
        const Op& op = graph.ops[compute->op.index];
        life[op.output.index].first = p;
        for (const TensorId in : op.inputs) {
          life[in.index].second = std::max(life[in.index].second, p);
          read[in.index] = true;
        }
      } else {
        for (const Transfer& t : std::get<Exchange>(schedule.phases[p]).transfers) {
          life[t.tensor.index].second = std::max(life[t.tensor.index].second, p);
          read[t.tensor.index] = true;
        }
      }
    }
    for (u64 i = 0; i < count; ++i) {
      if (!read[i]) life[i].second = life[i].first;
    }
    for (const TensorId out : graph.outputs) life[out.index].second = schedule.phases.size();
    return life;
  }

  static bool live_together(const Allocation& a, const Allocation& b) {
    return a.live_from <= b.live_until && b.live_from <= a.live_until;
  }
  static bool bytes_meet(u64 a_start, u64 a_size, const Allocation& b) {
    return a_start < u64{b.address} + b.size && u64{b.address} < a_start + a_size;
  }

  void check_allocations() {
    const auto lives = expected_lifetimes();
    std::size_t index = 0;
    std::map<std::uint16_t, std::vector<const Allocation*>> placed;
    for (const Tensor& tensor : graph.tensors) {
      const Layout& layout = schedule.layouts[tensor.id.index];
      const u64 size = ceil_div(share_of(tensor), 16) * 16;
      for (const std::uint16_t tile : layout.tiles) {
        if (index >= schedule.allocations.size()) {
          fail("allocation missing for ", tensor.name, " on tile ", tile);
          return;
        }
        const Allocation& a = schedule.allocations[index++];
        if (a.tensor != tensor.id || a.tile != tile || a.size != size ||
            a.live_from != lives[tensor.id.index].first ||
            a.live_until != lives[tensor.id.index].second) {
          fail("allocation ", a, " expected tensor ", tensor.id, " tile ", tile, " size ", size,
               " life [", lives[tensor.id.index].first, ", ", lives[tensor.id.index].second, "]");
          continue;
        }
        const u64 end = u64{a.address} + a.size;
        if (a.address < options.data_base || end > options.data_limit) {
          fail(a, " lies outside the window");
        }
        if (a.address != options.data_base && a.address % 16 != 0) fail(a, " is misaligned");
        check_apart(a, placed[tile]);
        placed[tile].push_back(&a);
      }
    }
    if (index != schedule.allocations.size()) fail("allocations after the last expected one");
  }

  // The chosen address must be free of every live earlier buffer and, for
  // the lowest-address rule, every lower candidate (the window's start, or an
  // aligned end of an earlier live buffer) must be blocked.
  void check_apart(const Allocation& a, const std::vector<const Allocation*>& earlier) {
    std::vector<u64> candidates{options.data_base};
    for (const Allocation* other : earlier) {
      if (!live_together(a, *other)) continue;
      if (bytes_meet(a.address, a.size, *other)) fail(a, " overlaps live ", *other);
      candidates.push_back(ceil_div(u64{other->address} + other->size, 16) * 16);
    }
    if (rule == AddressRule::Any) return;
    for (const u64 candidate : candidates) {
      if (candidate >= a.address || candidate < options.data_base) continue;
      const bool blocked = std::ranges::any_of(earlier, [&](const Allocation* other) {
        return live_together(a, *other) && bytes_meet(candidate, a.size, *other);
      });
      if (!blocked) fail(a, " could have been placed lower, at ", candidate);
    }
  }

  void check_peaks() {
    std::map<std::uint16_t, std::uint32_t> expected;
    for (const Allocation& a : schedule.allocations) {
      auto& peak = expected[a.tile];
      const u64 high = u64{a.address} + a.size - std::min<u64>(options.data_base, a.address);
      peak = std::max(peak, static_cast<std::uint32_t>(high));
    }
    if (expected != schedule.peak_sram) {
      fail("peak_sram ", debug_string(schedule.peak_sram), " expected ", debug_string(expected));
    }
  }
};

}  // namespace

std::vector<std::string> check_schedule(const Graph& graph, const CompilerOptions& options,
                                        const Schedule& schedule, AddressRule rule) {
  Checker checker{graph, options, schedule, rule, {}};
  checker.check_layouts();
  if (checker.problems.empty()) {
    checker.check_phases();
  }
  if (checker.problems.empty()) {
    checker.check_allocations();
    checker.check_peaks();
  }
  return checker.problems;
}

}  // namespace zelk_compiler::test_support
