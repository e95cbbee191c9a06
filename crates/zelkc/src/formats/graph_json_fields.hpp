// The pieces graph files are read and written with: messages naming the
// JSON path of a problem, the readers of unsigned and float fields, and how a
// float is written so that it reads back as itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <zelk_compiler/graph.hpp>

#include "failure.hpp"
#include "formats/json_text.hpp"

namespace zelkc::graph_file {
namespace zc = zelk_compiler;

inline constexpr std::string_view kFormat = "zelk-graph";
inline constexpr std::uint64_t kVersion = 1;

// A usage failure at `path` ("the document" for the root): "path: problem".
[[nodiscard]] Failure malformed(const std::string& path, std::string_view problem);

// "path: expected `what`, got a string".
[[nodiscard]] Failure expected(const std::string& path, std::string_view what, const Json& got);

[[nodiscard]] Outcome<std::uint64_t> read_unsigned(const Json& value, const std::string& path);
[[nodiscard]] Outcome<std::vector<std::uint64_t>> read_unsigned_list(const Json& value,
                                                                     const std::string& path);

// An element type by its name ("f32", "f16", "bf16", "i32", "i64").
[[nodiscard]] Outcome<zc::DType> read_element_type(const Json& value, const std::string& path);

// A float parameter: any JSON number within the float range, rounded to the
// nearest float, or one of the strings "nan", "inf" and "-inf".
[[nodiscard]] Outcome<float> read_float(const Json& value, const std::string& path);

// The JSON value that `read_float` reads back as exactly `value`.
[[nodiscard]] Json float_to_json(float value);

// How many operands an entry takes: exactly `count`, or `alternative` when
// that is not 0, or any number above `count` when `or_more`.
struct Operands {
  std::size_t count = 0;
  std::size_t alternative = 0;
  bool or_more = false;

  [[nodiscard]] bool accept(std::size_t given) const {
    return given == count || (alternative != 0 && given == alternative) ||
           (or_more && given > count);
  }

  // "1 tensor", "2 tensors", "1 or 3 tensors", "1 or more tensors"
  [[nodiscard]] std::string text() const {
    std::string text = std::to_string(count);
    if (alternative != 0) {
      text += " or " + std::to_string(alternative);
    } else if (or_more) {
      text += " or more";
    }
    return text + (text == "1" ? " tensor" : " tensors");
  }
};

// The fields of one entry, read with the path of each in messages.
class FieldReader {
 public:
  FieldReader(const Json& entry, const std::string& path) : entry_(entry), path_(path) {}

  [[nodiscard]] Outcome<std::uint64_t> whole(std::string_view key) const {
    return read(key, read_unsigned);
  }
  [[nodiscard]] Outcome<std::vector<std::uint64_t>> list(std::string_view key) const {
    return read(key, read_unsigned_list);
  }
  [[nodiscard]] Outcome<float> real(std::string_view key) const { return read(key, read_float); }
  [[nodiscard]] Outcome<zc::DType> element_type(std::string_view key) const {
    return read(key, read_element_type);
  }

 private:
  template <class Read>
  auto read(std::string_view key, Read reader) const
      -> decltype(reader(std::declval<const Json&>(), std::string())) {
    const auto found = entry_.find(key);
    if (found == entry_.end()) {
      return std::unexpected(malformed(path_, "missing field \"" + std::string(key) + "\""));
    }
    return reader(*found, child_path(path_, key));
  }

  const Json& entry_;
  const std::string& path_;
};

}  // namespace zelkc::graph_file
