// Generated graphs compiled under generated options: every successful
// schedule satisfies every invariant, and every failure is a memory error
// naming a real tile and tensor.
#include <gtest/gtest.h>

#include <string>

#include "support/random_graphs.hpp"
#include "support/schedule_checker.hpp"

namespace zelk_compiler {
namespace {

using test_support::Random;

bool names_a_tensor(const Graph& graph, const std::string& message) {
  const std::string marker = " exceeds data limit allocating ";
  const auto at = message.find(marker);
  if (message.rfind("tile ", 0) != 0 || at == std::string::npos) return false;
  const std::string name = message.substr(at + marker.size());
  for (const Tensor& t : graph.tensors) {
    if (t.name == name) return true;
  }
  return false;
}

TEST(CompileProperties, GeneratedGraphsGiveSoundSchedules) {
  Random random(20261208);
  int compiled = 0;
  int out_of_memory = 0;
  int overflowed = 0;
  for (int round = 0; round < 400; ++round) {
    const Graph graph = test_support::random_graph(random);
    ASSERT_TRUE(graph.validate().has_value());
    const CompilerOptions options = test_support::random_options(random);
    const auto schedule = compile(graph, options);
    if (!schedule) {
      const CompileError& error = schedule.error();
      ASSERT_EQ(error.kind, CompileError::Kind::Memory) << error;
      if (error.message == "address overflow") {
        ++overflowed;
      } else {
        ASSERT_TRUE(names_a_tensor(graph, error.message)) << error;
        ++out_of_memory;
      }
      continue;
    }
    ++compiled;
    const auto problems = test_support::check_schedule(graph, options, *schedule);
    ASSERT_TRUE(problems.empty()) << "round " << round << ": " << problems.front() << "\n" << graph;
    EXPECT_EQ(compile(graph, options), schedule) << "round " << round;
  }
  // The generator must exercise both outcomes.
  EXPECT_GT(compiled, 150);
  EXPECT_GT(out_of_memory, 20);
  EXPECT_GT(overflowed, 0);
}

}  // namespace
}  // namespace zelk_compiler
