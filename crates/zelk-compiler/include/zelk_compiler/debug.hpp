// Debug printing: the printed form of values inside records (strings quoted,
// floats in shortest round-trip form, lists, maps and optionals), and of the
// records themselves, from their field lists.
#pragma once

#include <chrono>
#include <concepts>
#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "zelk_compiler/fields.hpp"

namespace zelk_compiler {

// Writes `text` as a double-quoted literal with \" \\ \n \r \t and other
// control characters escaped.
void write_debug(std::ostream& out, std::string_view text);
inline void write_debug(std::ostream& out, const std::string& text) {
  write_debug(out, std::string_view(text));
}
inline void write_debug(std::ostream& out, const char* text) {
  write_debug(out, std::string_view(text));
}

// Shortest text that reads back as the same float ("1e-05", "0.25", "nan").
void write_debug(std::ostream& out, float value);
void write_debug(std::ostream& out, double value);

// A steady-clock instant has no calendar meaning: it prints as the time since
// the clock's epoch ("1500 ns").
void write_debug(std::ostream& out, std::chrono::steady_clock::time_point instant);

inline void write_debug(std::ostream& out, bool value) { out << (value ? "true" : "false"); }

// Integers print as numbers, also the 8-bit ones.
template <std::integral T>
requires(!std::same_as<T, bool> && !std::same_as<T, char>) void write_debug(std::ostream& out,
                                                                            T value) {
  if constexpr (std::is_signed_v<T>) {
    out << static_cast<long long>(value);
  } else {
    out << static_cast<unsigned long long>(value);
  }
}

// Records, ids and enums print through their own operator<<.
template <class T>
requires requires(std::ostream& out, const T& value) {
  out << value;
} &&(!std::is_arithmetic_v<T>)&&(
    !std::is_convertible_v<const T&, std::string_view>)void write_debug(std::ostream& out,
                                                                        const T& value) {
  out << value;
}

template <class T>
void write_debug(std::ostream& out, std::span<const T> values);
template <class T>
void write_debug(std::ostream& out, const std::vector<T>& values);
template <class K, class V>
void write_debug(std::ostream& out, const std::map<K, V>& values);
template <class T>
void write_debug(std::ostream& out, const std::optional<T>& value);

// `[a, b, c]`
template <class T>
void write_debug(std::ostream& out, std::span<const T> values) {
  out << '[';
  const char* separator = "";
  for (const T& value : values) {
    out << separator;
    write_debug(out, value);
    separator = ", ";
  }
  out << ']';
}

template <class T>
void write_debug(std::ostream& out, const std::vector<T>& values) {
  write_debug(out, std::span<const T>(values));
}

// `{key: value, key: value}`
template <class K, class V>
void write_debug(std::ostream& out, const std::map<K, V>& values) {
  out << '{';
  const char* separator = "";
  for (const auto& [key, value] : values) {
    out << separator;
    write_debug(out, key);
    out << ": ";
    write_debug(out, value);
    separator = ", ";
  }
  out << '}';
}

// `None` or `Some(value)`
template <class T>
void write_debug(std::ostream& out, const std::optional<T>& value) {
  if (!value) {
    out << "None";
    return;
  }
  out << "Some(";
  write_debug(out, *value);
  out << ')';
}

// The printed form of any value as a string.
template <class T>
[[nodiscard]] std::string debug_string(const T& value) {
  std::ostringstream out;
  write_debug(out, value);
  return std::move(out).str();
}

// Writes `Name { field: value, field: value }`: open with the record's name,
// add each field in declaration order, and the destructor closes the brace.
class RecordWriter {
 public:
  RecordWriter(std::ostream& out, std::string_view name) : out_(out) { out_ << name << " {"; }
  RecordWriter(const RecordWriter&) = delete;
  RecordWriter& operator=(const RecordWriter&) = delete;
  ~RecordWriter() { out_ << (first_ ? "}" : " }"); }

  template <class T>
  RecordWriter& field(std::string_view name, const T& value) {
    out_ << (first_ ? " " : ", ") << name << ": ";
    write_debug(out_, value);
    first_ = false;
    return *this;
  }

 private:
  std::ostream& out_;
  bool first_ = true;
};

// The printed form of a record with a field list: `Name { field: value, ... }`
// in list order, or the name alone for a record without fields.
template <DescribedRecord T>
std::ostream& write_record(std::ostream& out, const T& record) {
  if constexpr (field_count<T>() == 0) {
    return out << record_name<T>();
  } else {
    RecordWriter writer(out, record_name<T>());
    for_each_field(record,
                   [&writer](const char* name, const auto& value) { writer.field(name, value); });
    return out;
  }
}

}  // namespace zelk_compiler
