// Reading and writing the plain fields of graph files, with the JSON path of
// each problem in its message.
#include "formats/graph_json_fields.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

#include <zelk_compiler/debug.hpp>

namespace zelkc::graph_file {

Failure malformed(const std::string& path, std::string_view problem) {
  std::string message = path.empty() ? std::string("the document") : path;
  message += ": ";
  message += problem;
  return Failure::usage(std::move(message));
}

Failure expected(const std::string& path, std::string_view what, const Json& got) {
  return malformed(path, "expected " + std::string(what) + ", got " + describe(got));
}

Outcome<std::uint64_t> read_unsigned(const Json& value, const std::string& path) {
  if (!value.is_number_unsigned()) {
    return std::unexpected(expected(path, "an unsigned integer", value));
  }
  return value.get<std::uint64_t>();
}

Outcome<std::vector<std::uint64_t>> read_unsigned_list(const Json& value, const std::string& path) {
  if (!value.is_array()) {
    return std::unexpected(expected(path, "an array of unsigned integers", value));
  }
  std::vector<std::uint64_t> list;
  list.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto entry = read_unsigned(value[i], child_path(path, i));
    if (!entry) {
      return std::unexpected(std::move(entry.error()));
    }
    list.push_back(*entry);
  }
  return list;
}

Outcome<zc::DType> read_element_type(const Json& value, const std::string& path) {
  if (!value.is_string()) {
    return std::unexpected(expected(path, "a type name", value));
  }
  const auto& name = value.get_ref<const std::string&>();
  if (const auto dtype = zc::dtype_from_name(name)) {
    return *dtype;
  }
  std::string known;
  for (const zc::DType dtype : zc::kDTypes) {
    known += known.empty() ? "" : ", ";
    known += zc::dtype_name(dtype);
  }
  return std::unexpected(
      malformed(path, "unknown type " + zc::debug_string(name) + " (known: " + known + ")"));
}

Outcome<float> read_float(const Json& value, const std::string& path) {
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text == "nan") {
      return std::numeric_limits<float>::quiet_NaN();
    }
    if (text == "inf" || text == "-inf") {
      const float infinity = std::numeric_limits<float>::infinity();
      return text == "inf" ? infinity : -infinity;
    }
  }
  if (!value.is_number()) {
    return std::unexpected(expected(path, "a number (or \"nan\", \"inf\", \"-inf\")", value));
  }
  const double number = value.get<double>();
  // A number a little above the largest float still rounds down to it; only
  // one that would round to infinity is out of range.
  const double largest = static_cast<double>(std::numeric_limits<float>::max());
  const double half_ulp = std::ldexp(1.0, std::numeric_limits<float>::max_exponent - 25);
  if (std::abs(number) >= largest + half_ulp) {
    return std::unexpected(malformed(path, value.dump() + " is beyond the float range"));
  }
  return static_cast<float>(number);
}

Json float_to_json(float value) {
  if (std::isnan(value)) {
    return "nan";
  }
  if (std::isinf(value)) {
    return value > 0 ? "inf" : "-inf";
  }
  // The shortest decimal that reads back as this float ("1e-05" rather than
  // 9.999999747378752e-06), unless reading it as a double and rounding that
  // to float would land elsewhere; the exact double always reads back.
  std::array<char, 64> text{};
  const auto printed = std::to_chars(text.data(), text.data() + text.size(), value);
  double shortest = 0.0;
  const auto parsed = std::from_chars(text.data(), printed.ptr, shortest);
  if (printed.ec == std::errc{} && parsed.ec == std::errc{} &&
      static_cast<float>(shortest) == value &&
      std::signbit(static_cast<float>(shortest)) == std::signbit(value)) {
    return shortest;
  }
  return static_cast<double>(value);
}

}  // namespace zelkc::graph_file
