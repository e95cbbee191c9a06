// The check runner driven in-process on small tables of its own, and the
// assertions checks fail with.
#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <source_location>
#include <span>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "checks/assertions.hpp"
#include "checks/checks.hpp"
#include "checks/runner.hpp"
#include "zelk_compiler/error.hpp"

namespace zelk_compiler::checks {
namespace {

void passes() {}
void fails_equality() { require_eq(2 + 2, 5); }
void throws_int() { throw 42; }
void throws_runtime_error() { throw std::runtime_error("boom"); }
void throws_text() { throw "plain text"; }
void slow_pass() { std::this_thread::sleep_for(std::chrono::milliseconds(3)); }

constexpr std::source_location here = std::source_location::current();

constexpr Check mixed[] = {
    {.name = "demo::passes", .function = passes, .location = here},
    {.name = "demo::fails_equality", .function = fails_equality, .location = here},
    {.name = "demo::throws_int", .function = throws_int, .location = here},
    {.name = "demo::throws_runtime_error", .function = throws_runtime_error, .location = here},
};

struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};

RunResult run(std::span<const Check> table, std::vector<std::string_view> arguments) {
  std::ostringstream out;
  std::ostringstream err;
  RunResult result;
  result.status = run_checks(table, arguments, out, err);
  result.out = std::move(out).str();
  result.err = std::move(err).str();
  return result;
}

std::string header(std::string_view name) {
  return "---- " + std::string(name) + " (" + here.file_name() + ':' + std::to_string(here.line()) +
         ") ----\n";
}

TEST(CheckRunner, ReportsEveryCheckThenFailuresThenSummary) {
  const RunResult result = run(mixed, {"--test-threads", "1"});
  EXPECT_EQ(result.status, exit_failed);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "running 4 checks\n"
            "test demo::passes ... ok\n"
            "test demo::fails_equality ... FAILED\n"
            "test demo::throws_int ... FAILED\n"
            "test demo::throws_runtime_error ... FAILED\n"
            "\n"
            "failures:\n"
            "\n" +
                header("demo::fails_equality") +
                "assertion `left == right` failed\n"
                "  left: 4\n"
                " right: 5\n"
                "\n" +
                header("demo::throws_int") +
                "the check threw a value that is not a std::exception\n"
                "\n" +
                header("demo::throws_runtime_error") +
                "boom\n"
                "\n"
                "failures:\n"
                "    demo::fails_equality\n"
                "    demo::throws_int\n"
                "    demo::throws_runtime_error\n"
                "\n"
                "1 passed, 3 failed\n");
}

TEST(CheckRunner, AllPassingRunEndsWithSummaryAndStatusZero) {
  const Check table[] = {{.name = "a", .function = passes, .location = here},
                         {.name = "b", .function = slow_pass, .location = here}};
  const RunResult result = run(table, {});
  EXPECT_EQ(result.status, exit_passed);
  EXPECT_EQ(result.out, "running 2 checks\ntest a ... ok\ntest b ... ok\n\n2 passed, 0 failed\n");
}

TEST(CheckRunner, FiltersSelectChecks) {
  struct Case {
    std::vector<std::string_view> arguments;
    std::string listed;
  };
  const Case cases[] = {
      {{},
       "demo::passes: test\ndemo::fails_equality: test\ndemo::throws_int: test\n"
       "demo::throws_runtime_error: test\n"},
      {{"throws"}, "demo::throws_int: test\ndemo::throws_runtime_error: test\n"},
      {{"passes", "int"}, "demo::passes: test\ndemo::throws_int: test\n"},
      {{"nothing"}, ""},
      {{"--exact", "passes"}, ""},
      {{"--exact", "demo::passes"}, "demo::passes: test\n"},
      {{"demo::throws_int", "--exact"}, "demo::throws_int: test\n"},
      {{"--", "--exact"}, ""},
  };
  for (const Case& c : cases) {
    std::vector<std::string_view> arguments{"--list"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const RunResult result = run(mixed, arguments);
    EXPECT_EQ(result.status, exit_passed);
    EXPECT_EQ(result.out, c.listed) << testing::PrintToString(c.arguments);
  }
}

TEST(CheckRunner, StatusFollowsTheSelectedChecks) {
  struct Case {
    std::vector<std::string_view> arguments;
    int status;
    std::string_view summary;
  };
  const Case cases[] = {
      {{}, exit_failed, "\n1 passed, 3 failed\n"},
      {{"passes"}, exit_passed, "\n1 passed, 0 failed, 3 filtered out\n"},
      {{"--exact", "demo::throws_int"}, exit_failed, "\n0 passed, 1 failed, 3 filtered out\n"},
      {{"no such check"}, exit_passed, "\n0 passed, 0 failed, 4 filtered out\n"},
  };
  for (const Case& c : cases) {
    const RunResult result = run(mixed, c.arguments);
    EXPECT_EQ(result.status, c.status) << testing::PrintToString(c.arguments);
    EXPECT_TRUE(result.out.ends_with(c.summary)) << result.out;
  }
}

TEST(CheckRunner, BadCommandLinesAreUsageErrors) {
  const std::vector<std::string_view> cases[] = {
      {"--bogus"},
      {"-x"},
      {"--test-threads"},
      {"--test-threads", "0"},
      {"--test-threads", "three"},
      {"--test-threads", "3x"},
      {"--test-threads=-1"},
      {"--test-threads="},
      {"passes", "--list", "--exacts"},
  };
  for (const auto& arguments : cases) {
    const RunResult result = run(mixed, arguments);
    EXPECT_EQ(result.status, exit_usage) << testing::PrintToString(arguments);
    EXPECT_EQ(result.out, "");
    EXPECT_TRUE(result.err.starts_with("error: ")) << result.err;
  }
}

TEST(CheckRunner, HelpPrintsUsage) {
  const RunResult result = run(mixed, {"--help"});
  EXPECT_EQ(result.status, exit_passed);
  EXPECT_TRUE(result.out.starts_with("Usage: zelk-checks")) << result.out;
  EXPECT_NE(result.out.find("--test-threads N"), std::string::npos);
}

TEST(CheckRunner, ThreadCountDoesNotChangeTheReport) {
  const Check table[] = {
      {.name = "slow_first", .function = slow_pass, .location = here},
      {.name = "fails", .function = fails_equality, .location = here},
      {.name = "throws", .function = throws_runtime_error, .location = here},
      {.name = "passes", .function = passes, .location = here},
      {.name = "slow_failure", .function = throws_int, .location = here},
      {.name = "text", .function = throws_text, .location = here},
      {.name = "slow_last", .function = slow_pass, .location = here},
  };
  const RunResult reference = run(table, {"--test-threads", "1"});
  EXPECT_EQ(reference.status, exit_failed);
  EXPECT_NE(reference.out.find("\nplain text\n"), std::string::npos) << reference.out;
  for (const std::string_view threads : {"1", "2", "4", "64"}) {
    for (int repeat = 0; repeat < 10; ++repeat) {
      const RunResult result = run(table, {"--test-threads", threads});
      EXPECT_EQ(result.status, reference.status);
      ASSERT_EQ(result.out, reference.out) << threads << " threads";
    }
  }
  EXPECT_EQ(run(table, {"--test-threads=3"}).out, reference.out);
  EXPECT_EQ(run(table, {}).out, reference.out);
}

TEST(CheckRunner, IgnoredChecksAreSkippedUnlessIncluded) {
  const Check table[] = {
      {.name = "runs", .function = passes, .location = here},
      {.name = "skipped", .function = throws_int, .location = here, .ignored = true},
  };
  const RunResult skipped = run(table, {});
  EXPECT_EQ(skipped.status, exit_passed);
  EXPECT_EQ(skipped.out,
            "running 2 checks\ntest runs ... ok\ntest skipped ... ignored\n\n"
            "1 passed, 0 failed, 1 ignored\n");

  const RunResult included = run(table, {"--include-ignored"});
  EXPECT_EQ(included.status, exit_failed);
  EXPECT_NE(included.out.find("test skipped ... FAILED\n"), std::string::npos) << included.out;
}

TEST(CheckRunner, ShouldFailChecksPassOnlyByFailing) {
  const Check table[] = {
      {.name = "fails_as_expected",
       .function = throws_runtime_error,
       .location = here,
       .should_fail = true},
      {.name = "passes_unexpectedly", .function = passes, .location = here, .should_fail = true},
  };
  const RunResult result = run(table, {});
  EXPECT_EQ(result.status, exit_failed);
  EXPECT_NE(result.out.find("test fails_as_expected - should fail ... ok\n"), std::string::npos);
  EXPECT_NE(result.out.find("test passes_unexpectedly - should fail ... FAILED\n"),
            std::string::npos);
  EXPECT_NE(result.out.find("\nthe check passed but was expected to fail\n"), std::string::npos);
  EXPECT_TRUE(result.out.ends_with("\n1 passed, 1 failed\n")) << result.out;

  EXPECT_EQ(run(table, {"--exact", "fails_as_expected"}).status, exit_passed);
}

TEST(CheckRunner, ListNamesBenchmarks) {
  const Check table[] = {
      {.name = "plain", .function = passes, .location = here},
      {.name = "timed", .function = passes, .location = here, .benchmark = true},
  };
  EXPECT_EQ(run(table, {"--list"}).out, "plain: test\ntimed: bench\n");
}

TEST(CheckRunner, CheckWithoutFunctionFails) {
  const Check table[] = {{.name = "empty", .location = here}};
  const RunResult result = run(table, {});
  EXPECT_EQ(result.status, exit_failed);
  EXPECT_NE(result.out.find("\nthe check has no function to run\n"), std::string::npos);
}

TEST(CheckAssertions, FailWithTheirMessages) {
  const auto message_of = [](auto&& body) -> std::string {
    try {
      body();
    } catch (const CheckFailure& failure) {
      return failure.what();
    }
    return "(no failure)";
  };
  EXPECT_EQ(message_of([] { require(true, "unused"); }), "(no failure)");
  EXPECT_EQ(message_of([] { require(false, "assertion failed: a ||\n    b"); }),
            "assertion failed: a ||\n    b");
  EXPECT_EQ(message_of([] {
              require_eq(std::vector<float>{0.5F, -0.0F}, std::vector<float>{});
            }),
            "assertion `left == right` failed\n  left: [0.5, -0]\n right: []");
  EXPECT_EQ(message_of([] { require_eq(std::uint64_t{15}, std::uint64_t{15}); }), "(no failure)");
  EXPECT_EQ(message_of([] {
              (void)require_ok(Result<int>(std::unexpected(CompileError::graph("bad \"x\""))));
            }),
            R"(Graph("bad \"x\""))");
  EXPECT_EQ(message_of([] { require_eq(require_ok(Result<int>(7)), 7); }), "(no failure)");
}

TEST(CheckTable, HoldsTheBuiltInChecksInOrder) {
  struct Expected {
    std::string_view name;
    void (*function)();
  };
  const Expected expected[] = {
      {"tests::encoder_graph_compiles_deterministically",
       tests::encoder_graph_compiles_deterministically},
      {"tests::encoder_reference_is_finite_and_repeatable",
       tests::encoder_reference_is_finite_and_repeatable},
      {"tests::live_allocations_do_not_overlap", tests::live_allocations_do_not_overlap},
  };
  const std::span<const Check> table = tests::check_table();
  ASSERT_EQ(table.size(), std::size(expected));
  std::uint_least32_t previous_line = 0;
  for (std::size_t i = 0; i < table.size(); ++i) {
    const Check& check = table[i];
    EXPECT_EQ(check.name, expected[i].name);
    EXPECT_EQ(check.function, expected[i].function) << check.name;
    EXPECT_FALSE(check.ignored || check.should_fail || check.benchmark) << check.name;
    EXPECT_TRUE(std::string_view(check.location.file_name()).ends_with("src/checks/checks.cpp"))
        << check.location.file_name();
    // The checks are defined in table order, each after the one before.
    EXPECT_GT(check.location.line(), previous_line) << check.name;
    previous_line = check.location.line();
  }
}

}  // namespace
}  // namespace zelk_compiler::checks
