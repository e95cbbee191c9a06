// Fuzz target: graph files at the nesting and size extremes, made from small
// inputs. The input is a repeat count (its first three bytes, up to 2^24 - 1)
// and three parts split at the first two 0xFF bytes: a prefix, a unit
// repeated that many times, and a suffix. So a few bytes stand for a document
// nested 100,000 deep or holding tens of thousands of entries, which a
// byte-level mutator would never grow to. Reading must end, with a message or
// a valid graph, within the fuzzer's time and memory limits.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "formats/graph_json.hpp"

namespace {

// The expanded document is kept within 1 MiB: enough for 500,000 levels of
// nesting or tens of thousands of entries, small enough for thousands of runs
// a minute. Larger files are the reading benchmark's (zelkc-bench).
constexpr std::size_t kMaxDocument = std::size_t{1} << 20;

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

std::string expand(std::string_view input) {
  if (input.size() < 3) {
    return std::string(input);
  }
  const std::size_t repeats = static_cast<std::size_t>(static_cast<unsigned char>(input[0])) << 16 |
                              static_cast<std::size_t>(static_cast<unsigned char>(input[1])) << 8 |
                              static_cast<std::size_t>(static_cast<unsigned char>(input[2]));
  input.remove_prefix(3);
  const std::size_t first = input.find('\xFF');
  const std::size_t second =
      first == std::string_view::npos ? std::string_view::npos : input.find('\xFF', first + 1);
  if (second == std::string_view::npos) {
    return std::string(input);
  }
  const std::string_view prefix = input.substr(0, first);
  const std::string_view unit = input.substr(first + 1, second - first - 1);
  const std::string_view suffix = input.substr(second + 1);
  const std::size_t room = kMaxDocument - std::min(kMaxDocument, prefix.size() + suffix.size());
  const std::size_t count = unit.empty() ? 0 : std::min(repeats, room / unit.size());
  std::string text(prefix);
  text.reserve(prefix.size() + count * unit.size() + suffix.size());
  for (std::size_t i = 0; i < count; ++i) {
    text += unit;
  }
  text += suffix;
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text = expand(std::string_view(reinterpret_cast<const char*>(data), size));
  const auto graph = zelkc::read_graph_json(text);
  if (!graph) {
    if (graph.error().message.empty()) fail("a failure without a message");
    return 0;
  }
  if (!graph->validate()) fail("a graph read from a file failed validation");
  return 0;
}
