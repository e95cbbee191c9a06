// Fuzz target: arbitrary bytes as a graph file. Reading must fail with a
// message or give a valid graph; a graph read back from its own export is
// equal to it; a small graph compiles to a schedule the checker accepts.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "formats/graph_json.hpp"
#include "support/schedule_checker.hpp"
#include "zelk_compiler/compiler.hpp"

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto graph = zelkc::read_graph_json(text);
  if (!graph) {
    if (graph.error().message.empty()) fail("a failure without a message");
    return 0;
  }
  if (!graph->validate()) fail("a graph read from a file failed validation");

  // Export and read back: the same graph. Names that are not UTF-8 cannot be
  // written, and that is the one refusal allowed.
  if (const auto written = zelkc::write_graph_json(*graph)) {
    const auto again = zelkc::read_graph_json(*written);
    if (!again) fail("an exported graph did not read back");
    if (!(*again == *graph)) fail("an exported graph read back different");
  }

  const zelk_compiler::CompilerOptions options{.tile_count = 16};
  std::uint64_t allocations = 0;
  for (const auto& tensor : graph->tensors) {
    allocations += zelk_compiler::choose_layout(tensor, options.tile_count).tiles.size();
  }
  if (allocations > 4096) return 0;
  const auto schedule = zelk_compiler::compile(*graph, options);
  if (schedule &&
      !zelk_compiler::test_support::check_schedule(*graph, options, *schedule).empty()) {
    fail("the checker refused a compiled schedule");
  }
  return 0;
}
