// The schedule document, written field by field under the records' names:
// the schedule's records from their field lists.
#include "formats/schedule_json.hpp"

#include <map>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include <zelk_compiler/debug.hpp>

namespace zelkc {
namespace zc = zelk_compiler;

namespace {

template <class T>
constexpr bool kIsVector = false;
template <class T>
constexpr bool kIsVector<std::vector<T>> = true;

template <class T>
constexpr bool kIsMap = false;
template <class K, class V>
constexpr bool kIsMap<std::map<K, V>> = true;

template <class T>
constexpr bool kIsVariant = false;
template <class... Alternatives>
constexpr bool kIsVariant<std::variant<Alternatives...>> = true;

template <zc::DescribedRecord T>
void add_fields(Json& object, const T& record);

// A value in the document: ids as their index, enumerations under their
// printed names, records as objects of their fields in list order, a variant
// as the record it holds with that record's name first, under "variant". A
// type without a rule here fails to compile.
template <class T>
Json value_json(const T& value) {
  if constexpr (std::is_same_v<T, zc::TensorId> || std::is_same_v<T, zc::OpId>) {
    return value.index;
  } else if constexpr (std::is_enum_v<T>) {
    return zc::debug_string(value);
  } else if constexpr (std::is_arithmetic_v<T> || std::is_same_v<T, std::string>) {
    return value;
  } else if constexpr (kIsVector<T>) {
    Json list = Json::array();
    for (const auto& entry : value) {
      list.push_back(value_json(entry));
    }
    return list;
  } else if constexpr (kIsMap<T>) {
    // JSON object keys are strings; the map stays in ascending key order.
    Json object = Json::object();
    for (const auto& [key, entry] : value) {
      object[std::to_string(key)] = value_json(entry);
    }
    return object;
  } else if constexpr (kIsVariant<T>) {
    return std::visit(
        [](const auto& alternative) {
          using Alternative = std::remove_cvref_t<decltype(alternative)>;
          Json object{{"variant", zc::record_name<Alternative>()}};
          add_fields(object, alternative);
          return object;
        },
        value);
  } else {
    static_assert(zc::DescribedRecord<T>, "the schedule document has no rule for this type");
    Json object = Json::object();
    add_fields(object, value);
    return object;
  }
}

template <zc::DescribedRecord T>
void add_fields(Json& object, const T& record) {
  zc::for_each_field(record, [&object](const char* name, const auto& value) {
    object.emplace(name, value_json(value));
  });
}

}  // namespace

Json schedule_to_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                      const zc::Schedule& schedule) {
  Json tensors = Json::array();
  for (const zc::Tensor& tensor : graph.tensors) {
    Json entry{{"name", tensor.name},
               {"shape", value_json(tensor.shape)},
               {"kind", value_json(tensor.kind)}};
    // F32 goes without saying, as in graph files.
    if (tensor.dtype != zc::DType::F32 && zc::is_element_type(tensor.dtype)) {
      entry["dtype"] = zc::dtype_name(tensor.dtype);
    }
    tensors.push_back(std::move(entry));
  }
  Json ops = Json::array();
  for (const zc::Op& op : graph.ops) {
    ops.push_back(Json{{"name", op.name},
                       {"operation", std::string(zc::operation_name(op.kind))},
                       {"inputs", value_json(op.inputs)},
                       {"output", value_json(op.output)}});
  }

  return Json{{"format", "zelk-schedule"},      {"version", 1},
              {"options", value_json(options)}, {"tensors", std::move(tensors)},
              {"ops", std::move(ops)},          {"schedule", value_json(schedule)}};
}

std::string write_schedule_json(const zc::Graph& graph, const zc::CompilerOptions& options,
                                const zc::Schedule& schedule) {
  // Names are only labels here; a stray byte must not stop the export.
  return dump_readable(schedule_to_json(graph, options, schedule), 180,
                       Json::error_handler_t::replace);
}

std::string dump_for_script(const Json& value) {
  const std::string compact = value.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::string escaped;
  escaped.reserve(compact.size());
  for (const char c : compact) {
    switch (c) {
      case '<':
        escaped += "\\u003c";
        break;
      case '>':
        escaped += "\\u003e";
        break;
      case '&':
        escaped += "\\u0026";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

}  // namespace zelkc
