// What every bound record shares: `==` with the library's equality, a short
// repr (short_repr.hpp), and copies through the copy module; and the parts of
// a record's class generated from its field list (fields.hpp): constructors
// taking every field, the fields as attributes, and `__match_args__`.
#pragma once

#include <pybind11/operators.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "convert.hpp"
#include "short_repr.hpp"
#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/fields.hpp"

namespace zelk_python {

namespace py = pybind11;

// `==` and `<` etc. as the library compares, the other operand named as
// Python names it; NotImplemented for an operand of another type.
template <class T, class... Options, class Compare>
void def_comparison(py::class_<T, Options...>& record, const char* name, Compare compare) {
  record.def(
      name, [compare](const T& self, const T& other) { return compare(self, other); },
      py::is_operator(), py::arg("other"));
}

// `repr` writes the record's short form: `short_repr` unless `repr` is given.
template <class T, class... Options, class Repr>
py::class_<T, Options...>& value_record(py::class_<T, Options...>& record, Repr repr) {
  def_comparison(record, "__eq__", std::equal_to<T>{});
  record.def("__repr__", repr)
      .def("__copy__", [](const T& value) { return value; })
      .def(
          "__deepcopy__", [](const T& value, const py::dict&) { return value; }, py::arg("memo"));
  return record;
}

template <zelk_compiler::DescribedRecord T, class... Options>
py::class_<T, Options...>& value_record(py::class_<T, Options...>& record) {
  return value_record(record, [](const T& value) { return short_repr(value); });
}

// Replaces a record's repr (or str) with `write`, where another form reads
// better than the generic one.
template <class T, class... Options, class Write>
void replace_method(py::class_<T, Options...>& record, const char* name, Write write) {
  record.attr(name) = py::cpp_function(std::move(write), py::name(name), py::is_method(record));
}

// An enum whose repr is the library's printed form ("Input", "Rows"), and
// whose name and str are Python's ("Input", "TensorKind.Input").
template <class E>
void print_enum_as_library(py::enum_<E>& values) {
  values.attr("__repr__") =
      py::cpp_function([](E value) { return zelk_compiler::debug_string(value); },
                       py::name("__repr__"), py::is_method(values));
  std::vector<std::pair<E, std::string>> names;
  for (const auto& [name, member] : values.attr("__members__").template cast<py::dict>()) {
    names.emplace_back(member.template cast<E>(), name.template cast<std::string>());
  }
  const auto name_of = [names](E value) {
    for (const auto& [known, name] : names) {
      if (known == value) {
        return name;
      }
    }
    return std::to_string(static_cast<long long>(value));
  };
  values.def_property_readonly("name", name_of);
  const std::string type = values.attr("__name__").template cast<std::string>();
  values.attr("__str__") =
      py::cpp_function([type, name_of](E value) { return type + "." + name_of(value); },
                       py::name("__str__"), py::is_method(values));
}

// The class of a record, named as the library names it, with its field
// names as `__match_args__` (so that `case Transfer(tile, ...)` matches).
template <zelk_compiler::DescribedRecord T>
py::class_<T> record_class(py::handle scope) {
  py::class_<T> record(scope, zelk_compiler::record_name<T>());
  value_record(record);
  py::tuple names(zelk_compiler::field_count<T>());
  std::size_t at = 0;
  zelk_compiler::visit_fields<T>([&](const auto& field) { names[at++] = py::str(field.name); });
  record.attr("__match_args__") = names;
  return record;
}

namespace detail {

// Passes a value of the field's own type through unchanged.
template <class Member>
struct SameArgument {
  using Type = Member;
  static const Member& default_argument(const Member& value) { return value; }
  static Member convert(Member value, const char* /*name*/) { return value; }
};

// Text as to_text takes it: a str, or bytes only where they are UTF-8, so
// that the field reads back as a str.
template <>
struct SameArgument<std::string> {
  using Type = const Text&;
  static const std::string& default_argument(const std::string& value) { return value; }
  static std::string convert(const Text& value, const char* name) {
    return to_text(value.object, name);
  }
};

}  // namespace detail

// How a checked constructor or setter takes a field from Python: integers
// and integer lists as any Python object, checked against the field's range
// (ValueError) and type (TypeError) with messages that name the field; other
// fields as their own type.
template <class Member>
struct CheckedArgument : detail::SameArgument<Member> {};

template <std::unsigned_integral Member>
requires(!std::same_as<Member, bool>) struct CheckedArgument<Member> {
  using Type = const Int&;
  static Member default_argument(Member value) { return value; }
  static Member convert(const Int& value, const char* name) {
    return to_unsigned<Member>(value.object, name);
  }
};

template <>
struct CheckedArgument<std::vector<std::uint64_t>> {
  using Type = const Ints&;
  static const std::vector<std::uint64_t>& default_argument(
      const std::vector<std::uint64_t>& value) {
    return value;
  }
  static std::vector<std::uint64_t> convert(const Ints& value, const char* name) {
    return to_u64_list(value.object, name);
  }
};

enum class Keywords { Required, Optional };

namespace detail {

template <class Field>
using MemberOf = typename std::remove_cvref_t<Field>::Type;

}  // namespace detail

// `__init__` with one argument per field in list order, taken from Python as
// `Argument<Member>` says (its `Type`, how it `convert`s and what it shows as
// the `default_argument` for the field of a default-constructed record).
template <template <class> class Argument, Keywords keywords, zelk_compiler::DescribedRecord T,
          class... Options>
void def_fields_init(py::class_<T, Options...>& record) {
  using detail::MemberOf;
  const T defaults{};
  std::apply(
      [&](const auto&... fields) {
        auto init =
            py::init([fields...](typename Argument<MemberOf<decltype(fields)>>::Type... values) {
              return T{
                  Argument<MemberOf<decltype(fields)>>::convert(std::move(values), fields.name)...};
            });
        if constexpr (keywords == Keywords::Required) {
          record.def(std::move(init), py::kw_only(),
                     (py::arg(fields.name) = Argument<MemberOf<decltype(fields)>>::default_argument(
                          defaults.*fields.member))...);
        } else {
          record.def(std::move(init),
                     (py::arg(fields.name) = Argument<MemberOf<decltype(fields)>>::default_argument(
                          defaults.*fields.member))...);
        }
      },
      zelk_compiler::record_description<T>().fields);
}

// `__init__(*, field=default, ...)` taking each field as its own type.
template <zelk_compiler::DescribedRecord T, class... Options>
void def_keyword_init(py::class_<T, Options...>& record) {
  def_fields_init<detail::SameArgument, Keywords::Required>(record);
}

// `__init__` taking integers and integer lists as CheckedArgument says.
template <Keywords keywords, zelk_compiler::DescribedRecord T, class... Options>
void def_checked_init(py::class_<T, Options...>& record) {
  def_fields_init<CheckedArgument, keywords>(record);
}

// Every field as a read-only attribute.
template <zelk_compiler::DescribedRecord T, class... Options>
void def_readonly_fields(py::class_<T, Options...>& record) {
  zelk_compiler::visit_fields<T>(
      [&record](const auto& field) { record.def_readonly(field.name, field.member); });
}

// Every field as a settable attribute, integers checked as CheckedArgument says.
template <zelk_compiler::DescribedRecord T, class... Options>
void def_writable_fields(py::class_<T, Options...>& record) {
  zelk_compiler::visit_fields<T>([&record](const auto& field) {
    using Member = detail::MemberOf<decltype(field)>;
    if constexpr (std::is_same_v<typename CheckedArgument<Member>::Type, Member>) {
      record.def_readwrite(field.name, field.member);
    } else {
      record.def_property(
          field.name, [member = field.member](const T& self) { return self.*member; },
          [field](T& self, typename CheckedArgument<Member>::Type value) {
            self.*field.member = CheckedArgument<Member>::convert(value, field.name);
          });
    }
  });
}

}  // namespace zelk_python
