// Short one-line reprs, `Name(field=value, ...)`: what a record is, in at
// most about a hundred characters, rather than everything it holds (which
// for a graph or a schedule runs to megabytes). Values read as Python writes
// them (True, None, 'text'); ids and enums as the library prints them; lists
// of numbers or ids by their first few entries; lists of records by their
// length.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <initializer_list>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "convert.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fields.hpp"

namespace zelk_python {

namespace py = pybind11;

// The longest repr the generic form writes before it leaves fields out.
inline constexpr std::size_t kShortRepr = 100;

// How many entries of a list of numbers or ids a repr shows.
inline constexpr std::size_t kShownEntries = 6;

template <class T>
void write_short(std::ostream& out, const T& value);

template <zelk_compiler::DescribedRecord T>
[[nodiscard]] std::string short_repr(const T& record);

namespace detail {

template <class T>
struct IsVector : std::false_type {};
template <class T>
struct IsVector<std::vector<T>> : std::true_type {};

template <class T>
struct IsOptional : std::false_type {};
template <class T>
struct IsOptional<std::optional<T>> : std::true_type {};

template <class T>
struct IsVariant : std::false_type {};
template <class... T>
struct IsVariant<std::variant<T...>> : std::true_type {};

// Values short enough to list entry by entry: numbers, and ids and enums,
// which print in a few characters.
template <class T>
concept Scalar = std::is_arithmetic_v<T> || std::is_enum_v<T> ||
    (!zelk_compiler::DescribedRecord<T> && !IsVector<T>::value && !IsOptional<T>::value &&
     !IsVariant<T>::value && !std::is_convertible_v<const T&, std::string_view>);

}  // namespace detail

template <class T>
void write_short(std::ostream& out, const T& value) {
  if constexpr (std::is_same_v<T, bool>) {
    out << (value ? "True" : "False");
  } else if constexpr (std::is_convertible_v<const T&, std::string_view>) {
    out << py::repr(lenient_str(std::string_view(value))).template cast<std::string>();
  } else if constexpr (detail::IsOptional<T>::value) {
    if (value) {
      write_short(out, *value);
    } else {
      out << "None";
    }
  } else if constexpr (detail::IsVariant<T>::value) {
    std::visit([&out](const auto& held) { write_short(out, held); }, value);
  } else if constexpr (zelk_compiler::DescribedRecord<T>) {
    out << short_repr(value);
  } else if constexpr (detail::IsVector<T>::value) {
    using Entry = typename T::value_type;
    if constexpr (detail::Scalar<Entry>) {
      out << '[';
      for (std::size_t i = 0; i < value.size() && i < kShownEntries; ++i) {
        out << (i == 0 ? "" : ", ");
        write_short(out, value[i]);
      }
      if (value.size() > kShownEntries) {
        out << ", ... " << value.size() - kShownEntries << " more";
      }
      out << ']';
    } else {
      out << '[' << value.size() << (value.size() == 1 ? " item]" : " items]");
    }
  } else {
    zelk_compiler::write_debug(out, value);
  }
}

template <class T>
[[nodiscard]] std::string short_text(const T& value) {
  std::ostringstream out;
  write_short(out, value);
  return std::move(out).str();
}

// `Name(first=..., second=...)` from `fields`, pairs of a name and its
// value's short text; past kShortRepr characters the remaining fields are
// left out, shown as "...".
[[nodiscard]] inline std::string short_repr_of(
    std::string_view name, const std::vector<std::pair<std::string, std::string>>& fields) {
  std::string text(name);
  text += '(';
  for (std::size_t i = 0; i < fields.size(); ++i) {
    std::string part = (i == 0 ? "" : ", ") + fields[i].first + "=" + fields[i].second;
    if (i > 0 && text.size() + part.size() + 1 > kShortRepr) {
      text += ", ...";
      break;
    }
    text += part;
  }
  text += ')';
  return text;
}

// Every field of `record`, in list order.
template <zelk_compiler::DescribedRecord T>
[[nodiscard]] std::string short_repr(const T& record) {
  std::vector<std::pair<std::string, std::string>> fields;
  zelk_compiler::for_each_field(record, [&fields](const char* name, const auto& value) {
    fields.emplace_back(name, short_text(value));
  });
  return short_repr_of(zelk_compiler::record_name<T>(), fields);
}

// The fields of `record` named in `shown`, in list order: for records whose
// few identifying fields read better alone.
template <zelk_compiler::DescribedRecord T>
[[nodiscard]] std::string short_repr(const T& record,
                                     std::initializer_list<std::string_view> shown) {
  std::vector<std::pair<std::string, std::string>> fields;
  zelk_compiler::for_each_field(record, [&](const char* name, const auto& value) {
    if (std::ranges::find(shown, std::string_view(name)) != shown.end()) {
      fields.emplace_back(name, short_text(value));
    }
  });
  return short_repr_of(zelk_compiler::record_name<T>(), fields);
}

// `[first, second, ... 22 more]`: the short reprs of a list's first entries,
// as many as fit in kShortRepr characters with the count of the rest; "[85
// items]" where not even the first does.
template <class T>
[[nodiscard]] std::string short_list(const std::vector<T>& items) {
  std::string text = "[";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const std::string entry = (i == 0 ? "" : ", ") + short_text(items[i]);
    const std::size_t rest = items.size() - i - 1;
    const std::string after = rest == 0 ? "]" : ", ... " + std::to_string(rest) + " more]";
    if (text.size() + entry.size() + after.size() > kShortRepr) {
      if (i == 0) {
        return "[" + std::to_string(items.size()) + " items]";
      }
      return text + ", ... " + std::to_string(items.size() - i) + " more]";
    }
    text += entry;
  }
  return text + "]";
}

}  // namespace zelk_python
