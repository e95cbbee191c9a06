// Field lists of the records: each record names its fields once, beside its
// definition, and everything that walks a record's fields (its printed form,
// the documents and bindings built on the library) is generated from that list.
//
// A record opts in with a `describe` function found by argument-dependent
// lookup:
//
//   [[nodiscard]] constexpr auto describe(std::type_identity<Transfer>) {
//     return describe_record<Transfer>("Transfer",
//                                      field("source_tile", &Transfer::source_tile), ...);
//   }
//
// The list is checked against the record where it is used: a data member
// missing from it, one too many, or two listed out of order (where their
// types differ) stops the build.
#pragma once

#include <cstddef>
#include <tuple>
#include <type_traits>
#include <utility>

namespace zelk_compiler {

// One field of `Record`: its name and the member that holds it.
template <class Record, class Member>
struct Field {
  using Type = Member;

  const char* name;
  Member Record::*member;
};

template <class Record, class Member>
[[nodiscard]] constexpr Field<Record, Member> field(const char* name, Member Record::*member) {
  return {name, member};
}

// A record's name and its fields in declaration order.
template <class Record, class... Members>
struct RecordDescription {
  const char* name;
  std::tuple<Field<Record, Members>...> fields;
};

template <class Record, class... Members>
[[nodiscard]] constexpr RecordDescription<Record, Members...> describe_record(
    const char* name, Field<Record, Members>... fields) {
  return {name, {fields...}};
}

template <class T>
concept DescribedRecord = requires {
  describe(std::type_identity<T>{});
};

namespace detail {

// The types of `Record`'s data members in declaration order, as a tuple type.
// The return type is deduced, so naming it instantiates the body: a record
// that does not split into exactly `Count` members fails to compile here.
template <class Record, std::size_t Count>
auto member_types(const Record& record) {
  if constexpr (Count == 0) {
    static_assert(std::is_empty_v<Record>, "the field list of a record with members is empty");
    return std::tuple<>{};
  } else if constexpr (Count == 1) {
    const auto& [a] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>>{};
  } else if constexpr (Count == 2) {
    const auto& [a, b] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>>{};
  } else if constexpr (Count == 3) {
    const auto& [a, b, c] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>>{};
  } else if constexpr (Count == 4) {
    const auto& [a, b, c, d] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>, std::remove_cv_t<decltype(d)>>{};
  } else if constexpr (Count == 5) {
    const auto& [a, b, c, d, e] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>, std::remove_cv_t<decltype(d)>,
                      std::remove_cv_t<decltype(e)>>{};
  } else if constexpr (Count == 6) {
    const auto& [a, b, c, d, e, f] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>, std::remove_cv_t<decltype(d)>,
                      std::remove_cv_t<decltype(e)>, std::remove_cv_t<decltype(f)>>{};
  } else if constexpr (Count == 7) {
    const auto& [a, b, c, d, e, f, g] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>, std::remove_cv_t<decltype(d)>,
                      std::remove_cv_t<decltype(e)>, std::remove_cv_t<decltype(f)>,
                      std::remove_cv_t<decltype(g)>>{};
  } else if constexpr (Count == 8) {
    const auto& [a, b, c, d, e, f, g, h] = record;
    return std::tuple<std::remove_cv_t<decltype(a)>, std::remove_cv_t<decltype(b)>,
                      std::remove_cv_t<decltype(c)>, std::remove_cv_t<decltype(d)>,
                      std::remove_cv_t<decltype(e)>, std::remove_cv_t<decltype(f)>,
                      std::remove_cv_t<decltype(g)>, std::remove_cv_t<decltype(h)>>{};
  } else {
    static_assert(Count <= 8, "member_types needs a case for records this long");
    return std::tuple<>{};
  }
}

template <class Record, class... Members>
constexpr bool lists_every_member(std::type_identity<RecordDescription<Record, Members...>>) {
  using Declared =
      decltype(member_types<Record, sizeof...(Members)>(std::declval<const Record&>()));
  return std::is_same_v<Declared, std::tuple<Members...>>;
}

}  // namespace detail

// The field list of `T`, checked against `T`'s data members.
template <DescribedRecord T>
[[nodiscard]] constexpr auto record_description() {
  constexpr auto listed = describe(std::type_identity<T>{});
  static_assert(
      detail::lists_every_member(std::type_identity<std::remove_cv_t<decltype(listed)>>{}),
      "the field list names other members than the record declares, or in another order");
  return listed;
}

template <DescribedRecord T>
[[nodiscard]] constexpr const char* record_name() {
  return record_description<T>().name;
}

template <DescribedRecord T>
[[nodiscard]] constexpr std::size_t field_count() {
  return std::tuple_size_v<decltype(record_description<T>().fields)>;
}

// Calls `visit(field)` with each field of `T` in order, for code that needs
// the member itself (to bind it, or to name it in a message).
template <DescribedRecord T, class Visit>
constexpr void visit_fields(Visit&& visit) {
  std::apply([&visit](const auto&... fields) { (visit(fields), ...); },
             record_description<T>().fields);
}

// Calls `visit(name, value)` with each field of `record` in order.
template <DescribedRecord T, class Visit>
constexpr void for_each_field(const T& record, Visit&& visit) {
  visit_fields<T>([&](const auto& field) { visit(field.name, record.*field.member); });
}

}  // namespace zelk_compiler
