// The strict JSON reader: nesting bounds, repeated keys at any size, and
// documents that keep their members in order.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "formats/json_text.hpp"

namespace zelkc {
namespace {

std::string nested_arrays(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

// An object of `members` keys k0, k1, ..., then `extra` as one more member.
std::string wide_object(std::size_t members, const std::string& extra) {
  std::string text = "{";
  for (std::size_t i = 0; i < members; ++i) {
    text += "\"k" + std::to_string(i) + "\": " + std::to_string(i) + ", ";
  }
  return text + extra + "}";
}

TEST(JsonText, NestingIsBoundedWithAClearError) {
  EXPECT_TRUE(parse_json(nested_arrays(512)).has_value());
  for (const std::size_t depth : {513U, 100'000U}) {
    const auto parsed = parse_json(nested_arrays(depth));
    ASSERT_FALSE(parsed.has_value()) << depth;
    EXPECT_EQ(parsed.error().message, "not JSON: arrays and objects nested more than 512 deep");
    EXPECT_EQ(parsed.error().exit_status(), 2);
  }
  // Objects count as levels too, mixed with arrays.
  std::string mixed;
  for (int i = 0; i < 300; ++i) {
    mixed += "{\"a\": [";
  }
  EXPECT_FALSE(parse_json(mixed).has_value());
}

TEST(JsonText, ARepeatedKeyIsFoundInObjectsOfAnySizeWithItsPath) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {R"({"a": 1, "a": 2})", "/a: key given twice"},
      {R"([{"x": [0, {"b": 1, "b": 2}]}])", "/0/x/1/b: key given twice"},
      {wide_object(15, R"("k3": 0)"), "/k3: key given twice"},
      {wide_object(16, R"("k3": 0)"), "/k3: key given twice"},
      {wide_object(40, R"("k39": 0)"), "/k39: key given twice"},
      {"[" + wide_object(40, R"("z": {"k": 1, "k": 2})") + "]", "/0/z/k: key given twice"},
  };
  for (const auto& c : cases) {
    const auto parsed = parse_json(c.text);
    ASSERT_FALSE(parsed.has_value()) << c.text;
    EXPECT_EQ(parsed.error().message, c.message);
  }
}

TEST(JsonText, AStreamedArrayHandsOverEachElementAsItIsComplete) {
  std::vector<std::pair<std::size_t, std::string>> seen;
  const ElementSink sink = [&](Json&& element, std::size_t index) {
    seen.emplace_back(index, element.dump());
  };
  // Only the root object's member of that name streams, whatever its place;
  // elements may be any value, and containers inside them stay whole.
  const auto parsed = parse_json(
      R"({"a": {"ops": [9]}, "ops": [{"x": [1, {"y": 2}]}, 3, [], "s"], "b": [4]})", "ops", &sink);
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->dump(), R"({"a":{"ops":[9]},"ops":[],"b":[4]})");
  const std::vector<std::pair<std::size_t, std::string>> expected = {
      {0, R"({"x":[1,{"y":2}]})"}, {1, "3"}, {2, "[]"}, {3, R"("s")"}};
  EXPECT_EQ(seen, expected);

  // Paths inside a streamed element count the elements already handed over.
  const auto repeated = parse_json(R"({"ops": [{}, {}, {"k": 1, "k": 2}]})", "ops", &sink);
  ASSERT_FALSE(repeated.has_value());
  EXPECT_EQ(repeated.error().message, "/ops/2/k: key given twice");

  // A root that is not an object, or a member that is not an array, streams
  // nothing.
  seen.clear();
  EXPECT_EQ(parse_json(R"([{"ops": [1]}])", "ops", &sink)->dump(), R"([{"ops":[1]}])");
  EXPECT_EQ(parse_json(R"({"ops": {"k": 1}})", "ops", &sink)->dump(), R"({"ops":{"k":1}})");
  EXPECT_TRUE(seen.empty());
}

TEST(JsonText, MembersKeepTheirOrderAndValues) {
  const auto parsed = parse_json(R"({"z": [1, -2, 2.5, "s", true, null], "a": {}, "m": []})");
  ASSERT_TRUE(parsed.has_value());
  EXPECT_EQ(parsed->dump(), R"({"z":[1,-2,2.5,"s",true,null],"a":{},"m":[]})");
  const auto wide = parse_json(wide_object(40, R"("last": 7)"));
  ASSERT_TRUE(wide.has_value());
  EXPECT_EQ(wide->size(), 41U);
  EXPECT_EQ(wide->begin().key(), "k0");
  EXPECT_EQ((*wide)["last"], 7);
  // A document that is one plain value.
  EXPECT_EQ(parse_json("42").value(), 42);
}

}  // namespace
}  // namespace zelkc
