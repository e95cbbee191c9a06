// Buffer list files: what reads, what is refused with the line and column,
// the written placement, and planning a file within a capacity.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "commands/buffer_plan.hpp"
#include "formats/buffer_csv.hpp"

namespace zelkc {
namespace {

namespace zc = zelk_compiler;
using namespace std::chrono_literals;

TEST(BufferCsv, ReadsRowsInOrderAndWritesThemBackWithOffsets) {
  const auto table = read_buffer_csv(
      "id,lower,upper,size\r\n"
      "a,0,4,16\r\n"
      "\r\n"
      "b7,2,2,0x20\n"
      "c,3,9,1\n");
  ASSERT_TRUE(table.has_value()) << table.error().message;
  EXPECT_EQ(table->ids, (std::vector<std::string>{"a", "b7", "c"}));
  EXPECT_EQ(table->buffers, (std::vector<zc::Buffer>{{0, 4, 16, 1}, {2, 2, 32, 1}, {3, 9, 1, 1}}));
  const std::vector<std::uint64_t> offsets = {0, 0, 16};
  EXPECT_EQ(write_placement_csv(*table, offsets),
            "id,lower,upper,size,offset\na,0,4,16,0\nb7,2,2,32,0\nc,3,9,1,16\n");
}

TEST(BufferCsv, RefusesMalformedTextNamingTheLineAndColumn) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "empty file: expected the header \"id,lower,upper,size\""},
      {"id,size\n", "line 1: expected the header \"id,lower,upper,size\", got \"id,size\""},
      {"id,lower,upper,size\na,0,4\n", "line 2: expected 4 fields, got 3"},
      {"id,lower,upper,size\n\na,0,4,16,9\n", "line 3: expected 4 fields, got 5"},
      {"id,lower,upper,size\n,0,4,16\n", "line 2, column 1 (id): empty id"},
      {"id,lower,upper,size\na,0,4,16\na,1,2,3\n", "line 3, column 1 (id): id \"a\" appears twice"},
      {"id,lower,upper,size\na,-1,4,16\n",
       "line 2, column 2 (lower): \"-1\" is not an unsigned number"},
      {"id,lower,upper,size\na,0, 4,16\n",
       "line 2, column 3 (upper): \" 4\" is not an unsigned number"},
      {"id,lower,upper,size\na,0,4,1.5\n",
       "line 2, column 4 (size): \"1.5\" is not an unsigned number"},
      {"id,lower,upper,size\na,0,4,18446744073709551616\n",
       "line 2, column 4 (size): \"18446744073709551616\" does not fit 64 bits"},
      {"id,lower,upper,size\na,5,4,16\n", "line 2, column 3 (upper): 4 is below lower 5"},
      {"id,lower,upper,size\na,0,4,18446744073709551615\nb,0,4,1\n",
       "line 3, column 4 (size): the sizes so far sum past 2^64"},
  };
  for (const auto& [text, message] : cases) {
    const auto table = read_buffer_csv(text);
    ASSERT_FALSE(table.has_value()) << text;
    EXPECT_EQ(table.error().kind, Failure::Kind::Usage) << text;
    EXPECT_TRUE(table.error().message.starts_with(message))
        << text << "\n  got: " << table.error().message << "\n  expected: " << message;
  }
}

// Three buffers live at once over [1, 3): the bound is their sum.
constexpr std::string_view kThree =
    "id,lower,upper,size\n"
    "x,0,3,8\n"
    "y,1,4,8\n"
    "z,1,3,16\n";

TEST(BufferPlanning, PlacesWithinTheCapacityOrSaysWhyNot) {
  const auto fitted = plan_buffer_file("three.csv", kThree, 32, 1s);
  ASSERT_TRUE(fitted.has_value()) << fitted.error().message;
  EXPECT_TRUE(fitted->csv.starts_with("id,lower,upper,size,offset\nx,0,3,8,"));
  EXPECT_NE(fitted->summary.find("lower bound:   32 bytes"), std::string::npos) << fitted->summary;
  EXPECT_NE(fitted->summary.find("(1.0000 x the bound, optimal)"), std::string::npos)
      << fitted->summary;

  const auto below_bound = plan_buffer_file("three.csv", kThree, 31, 1s);
  ASSERT_FALSE(below_bound.has_value());
  EXPECT_EQ(below_bound.error().kind, Failure::Kind::Refused);
  EXPECT_EQ(below_bound.error().message,
            "three.csv: does not fit in 31 bytes: 32 bytes are live at one time (the lower "
            "bound), so no placement fits");

  const auto malformed = plan_buffer_file("bad.csv", "id,lower,upper,size\na,1\n", 32, 1s);
  ASSERT_FALSE(malformed.has_value());
  EXPECT_EQ(malformed.error().message, "bad.csv: line 2: expected 4 fields, got 2");
}

// Every ordering peaks at 11 here, one over the bound; the search reaches it.
constexpr std::string_view kOrderingsFallShort =
    "id,lower,upper,size\n"
    "a,1,4,4\n"
    "b,4,5,2\n"
    "c,2,5,2\n"
    "d,0,1,4\n"
    "e,4,6,6\n"
    "f,1,3,3\n";

TEST(BufferPlanning, WithoutTimeToSearchAMisfitGivesTheBestPeakFound) {
  const auto refused = plan_buffer_file("short.csv", kOrderingsFallShort, 10, 0s);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, Failure::Kind::Refused);
  EXPECT_TRUE(refused.error().message.starts_with(
      "short.csv: does not fit in 10 bytes: the lower bound is 10 bytes, the best placement "
      "found peaks at 11 (1.1000 x the bound) after "))
      << refused.error().message;
  EXPECT_TRUE(refused.error().message.ends_with("; a longer --time-limit may find one"));

  const auto searched = plan_buffer_file("short.csv", kOrderingsFallShort, 10, 10s);
  ASSERT_TRUE(searched.has_value()) << searched.error().message;
  EXPECT_NE(searched->summary.find("method:        exact search"), std::string::npos)
      << searched->summary;
}

}  // namespace
}  // namespace zelkc
