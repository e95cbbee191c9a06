// The printed form laid out a record per line: which groups break, and that
// nothing but spaces and line breaks changes.
#include <gtest/gtest.h>

#include <cstddef>
#include <sstream>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <zelk_compiler/lib.hpp>

#include "outputs/printed_text.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;

// `text` without the spaces and line breaks outside quoted strings.
std::string without_spaces(std::string_view text) {
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quoted && c == '\\' && i + 1 < text.size()) {
      out += c;
      out += text[++i];
      continue;
    }
    if (c == '"') {
      quoted = !quoted;
    }
    if (quoted || (c != ' ' && c != '\n')) {
      out += c;
    }
  }
  return out;
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    result.push_back(line);
  }
  return result;
}

TEST(PrintedText, ListsOfRecordsBreakAndTheRestStaysOnItsLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"no brackets", "F32", "F32"},
      {"a call", R"(Graph("graph has no outputs"))", R"(Graph("graph has no outputs"))"},
      {"a small record", "Transfer { source_tile: 0, bytes: 4 }",
       "Transfer { source_tile: 0, bytes: 4 }"},
      {"plain lists and maps", "S { tiles: [0, 1, 2], peak: {0: 16, 1: 32}, none: [] }",
       "S { tiles: [0, 1, 2], peak: {0: 16, 1: 32}, none: [] }"},
      {"an empty record", "S { list: [E {}], m: {} }",
       "S {\n  list: [\n    E {}\n  ],\n  m: {}\n}"},
      {"a list of records", "[A { x: 1 }, B { y: [2, 3] }]",
       "[\n  A { x: 1 },\n  B { y: [2, 3] }\n]"},
      {"records in records",
       "Schedule { phases: [Compute { op: OpId(0), commands: [K { tile: 0 }, K { tile: 1 }] }, "
       "Exchange { transfers: [] }], tile_count: 2 }",
       "Schedule {\n"
       "  phases: [\n"
       "    Compute {\n"
       "      op: OpId(0),\n"
       "      commands: [\n"
       "        K { tile: 0 },\n"
       "        K { tile: 1 }\n"
       "      ]\n"
       "    },\n"
       "    Exchange { transfers: [] }\n"
       "  ],\n"
       "  tile_count: 2\n"
       "}"},
      {"a map of records", "{0: A { x: 1 }, 1: A { x: 2 }}",
       "{\n  0: A { x: 1 },\n  1: A { x: 2 }\n}"},
      {"brackets and separators in strings",
       R"t([T { name: "a, [b] { c } (d)", id: 1 }, T { name: "\"}, [", id: 2 }])t",
       "[\n  T { name: \"a, [b] { c } (d)\", id: 1 },\n  T { name: \"\\\"}, [\", id: 2 }\n]"},
      {"an escaped backslash ends a string", R"([T { name: "\\", id: 1 }])",
       "[\n  T { name: \"\\\\\", id: 1 }\n]"},
      {"an unterminated string", R"([A { s: "[ }, x] })", R"([A { s: "[ }, x] })"},
  };
  for (const Case& c : cases) {
    const std::string indented = indent_printed_form(c.text);
    EXPECT_EQ(indented, c.expected) << c.name;
    EXPECT_EQ(without_spaces(indented), without_spaces(c.text)) << c.name;
  }
  // Text that is not a printed value loses nothing either.
  for (const std::string text : {"[A { x: 1 ]] }", "] [ } { ) (", "{ , }"}) {
    EXPECT_EQ(without_spaces(indent_printed_form(text)), without_spaces(text)) << text;
  }
}

TEST(PrintedText, DefaultEncoderBlockPutsEveryRecordOfItsListsOnALine) {
  const zc::Schedule schedule = *zc::compile(*zc::encoder_graph({}), {});
  const std::string one_line = zc::debug_string(schedule);
  const std::string indented = indent_printed_form(one_line);
  EXPECT_EQ(without_spaces(indented), without_spaces(one_line));

  const std::vector<std::string> text = lines(indented);
  ASSERT_GE(text.size(), 8U);
  EXPECT_EQ(text[0], "Schedule {");
  EXPECT_EQ(text[1], "  layouts: [");
  EXPECT_EQ(text[2],
            "    Layout { tensor: TensorId(0), tiles: [0, 1, 2, 3, 4, 5, 6, 7], sharding: Rows, "
            "alignment: 16 },");
  EXPECT_EQ(text[24], "  ],");
  EXPECT_EQ(text[25], "  phases: [");
  EXPECT_EQ(text[26], "    Compute {");
  EXPECT_EQ(text[27], "      op: OpId(0),");
  EXPECT_EQ(text[28], "      commands: [");
  EXPECT_EQ(text[29],
            "        KernelCommand { tile: 0, output: TensorId(7), inputs: [TensorId(0)], "
            "specialization: SpecializationKey { operation: \"layer_norm\", shape: [32, 64], "
            "worker_count: 6, role: \"body\", alignment: 16 } },");
  EXPECT_EQ(text[text.size() - 3], "  tile_count: 64,");
  EXPECT_TRUE(text[text.size() - 2].starts_with("  peak_sram: {0: 9216, 1: 9216, "));
  EXPECT_EQ(text.back(), "}");

  // Each record of the schedule's lists has a line of its own.
  std::size_t commands = 0;
  std::size_t transfers = 0;
  for (const zc::Phase& phase : schedule.phases) {
    std::visit(
        [&](const auto& p) {
          if constexpr (std::is_same_v<std::decay_t<decltype(p)>, zc::Compute>) {
            commands += p.commands.size();
          } else {
            transfers += p.transfers.size();
          }
        },
        phase);
  }
  const auto count_lines = [&](std::string_view start) {
    std::size_t count = 0;
    for (const std::string& line : text) {
      const std::string_view record = std::string_view(line).substr(line.find_first_not_of(' '));
      count += record.starts_with(start) ? 1U : 0U;
    }
    return count;
  };
  EXPECT_EQ(count_lines("Layout {"), schedule.layouts.size());
  EXPECT_EQ(count_lines("KernelCommand {"), commands);
  EXPECT_EQ(count_lines("Transfer {"), transfers);
  EXPECT_EQ(count_lines("Allocation {"), schedule.allocations.size());
  EXPECT_EQ(count_lines("Compute {") + count_lines("Exchange {"), schedule.phases.size());
  // Around them: the schedule's braces, its three lists' brackets and two
  // plain fields, and each compute (exchange) phase's opening, op (none), list
  // brackets and closing.
  EXPECT_EQ(text.size(), 2 + 3 * 2 + 2 + schedule.layouts.size() + commands + transfers +
                             schedule.allocations.size() + 5 * 15 + 4 * 2);
}

}  // namespace
}  // namespace zelkc
