// Strict JSON parsing with located errors, and the readable layout.
#include "formats/json_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace zelkc {
namespace {

// nlohmann's messages start with "[json.exception.parse_error.101] "; the
// rest ("parse error at line 3, column 5: ...") is what a user needs.
std::string without_exception_id(const char* what) {
  std::string_view text(what);
  if (text.starts_with('[')) {
    if (const auto close = text.find("] "); close != std::string_view::npos) {
      text.remove_prefix(close + 2);
    }
  }
  return std::string(text);
}

// Builds the document from the parser's events, as nlohmann's own DOM
// builder does, and adds what that one lacks:
// - a key given twice in one object is an error with the key's path
//   (nlohmann keeps the last of two equal keys silently; a graph file with two
//   "shape" members is malformed);
// - nesting is bounded, so no reader of the document recurses without limit;
// - members are appended without a search (an ordered object's own insertion
//   looks every earlier key up), and nothing is copied: the document is read
//   in time linear in its size.
// A value under construction is only ever the last element of its parent, and
// a parent only grows once that element is complete, so the pointers on the
// stack stay valid while siblings are appended.
//
// Optionally the elements of one array, the root object's member `streamed`,
// are handed to a callback as each is complete instead of being kept.
class DocumentBuilder {
 public:
  DocumentBuilder(Json& root, std::string_view streamed, const ElementSink* sink)
      : root_(root), streamed_(streamed), sink_(sink) {}

  bool null() { return add(Json(nullptr)); }
  bool boolean(bool value) { return add(Json(value)); }
  bool number_integer(Json::number_integer_t value) { return add(Json(value)); }
  bool number_unsigned(Json::number_unsigned_t value) { return add(Json(value)); }
  bool number_float(Json::number_float_t value, const Json::string_t& /*text*/) {
    return add(Json(value));
  }
  bool string(Json::string_t& value) { return add(Json(std::move(value))); }
  bool binary(Json::binary_t& value) { return add(Json::binary(std::move(value))); }

  bool start_object(std::size_t /*elements*/) { return open(Json::object()); }
  bool start_array(std::size_t /*elements*/) { return open(Json::array()); }
  bool end_object() { return close(); }
  bool end_array() { return close(); }

  bool key(Json::string_t& key) {
    if (!frames_.back().note_key(key)) {
      failure_ = Failure::usage(child_path(path(frames_.size() - 1), key) + ": key given twice");
      return false;
    }
    pending_key_ = std::move(key);
    return true;
  }

  bool parse_error(std::size_t /*position*/, const std::string& /*last_token*/,
                   const nlohmann::detail::exception& error) {
    failure_ = Failure::usage("not JSON: " + without_exception_id(error.what()));
    return false;
  }

  [[nodiscard]] Failure failure() const { return failure_; }

 private:
  // Deeper than any document zelkc reads, shallow enough that walking one
  // recursively is safe.
  static constexpr std::size_t kMaxDepth = 512;

  // An open array or object. The element in progress is always its last one,
  // which is what a path through it names.
  struct Frame {
    // Objects up to this size look a new key up among their members; larger
    // ones keep a set, so checking stays linear in the document.
    static constexpr std::size_t kScanLimit = 16;

    Json* value = nullptr;
    std::unordered_set<std::string> keys;
    // For the streamed array: how many elements went to the sink.
    bool streamed = false;
    std::size_t handed_off = 0;

    // Whether `key` is new to this object; remembers it.
    bool note_key(const std::string& key) {
      const auto& members = value->get_ref<const Json::object_t&>();
      if (members.size() < kScanLimit) {
        return std::ranges::none_of(members,
                                    [&](const auto& member) { return member.first == key; });
      }
      if (keys.empty()) {
        for (const auto& member : members) {
          keys.insert(member.first);
        }
      }
      return keys.insert(key).second;
    }
  };

  // Places `value` where the parser stands and returns where it now lives.
  Json* place(Json&& value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return &root_;
    }
    Json& parent = *frames_.back().value;
    if (parent.is_array()) {
      auto& elements = parent.get_ref<Json::array_t&>();
      elements.push_back(std::move(value));
      return &elements.back();
    }
    // The key was checked new on arrival, so the ordered object's searching
    // insertion is not needed.
    auto& members = parent.get_ref<Json::object_t&>();
    members.emplace_back(std::move(pending_key_), std::move(value));
    return &members.back().second;
  }

  bool add(Json&& value) {
    place(std::move(value));
    hand_off_element();
    return true;
  }

  bool open(Json&& container) {
    if (frames_.size() >= kMaxDepth) {
      failure_ = Failure::usage("not JSON: arrays and objects nested more than " +
                                std::to_string(kMaxDepth) + " deep");
      return false;
    }
    const bool streamed = sink_ != nullptr && frames_.size() == 1 && container.is_array() &&
                          frames_.front().value->is_object() && pending_key_ == streamed_;
    Json* const placed = place(std::move(container));
    frames_.push_back(Frame{.value = placed, .keys = {}, .streamed = streamed, .handed_off = 0});
    return true;
  }

  bool close() {
    frames_.pop_back();
    hand_off_element();
    return true;
  }

  // When the innermost open value is the streamed array, its last element is
  // complete: hands it to the sink and drops it.
  void hand_off_element() {
    if (frames_.empty() || !frames_.back().streamed) {
      return;
    }
    Frame& frame = frames_.back();
    auto& elements = frame.value->get_ref<Json::array_t&>();
    Json element = std::move(elements.back());
    elements.pop_back();
    (*sink_)(std::move(element), frame.handed_off++);
  }

  // The path of the elements in progress in the outermost `depth` frames.
  std::string path(std::size_t depth) const {
    std::string result;
    for (std::size_t level = 0; level + 1 <= depth; ++level) {
      const Json& parent = *frames_[level].value;
      if (parent.is_array()) {
        result = child_path(result, frames_[level].handed_off + parent.size() - 1);
      } else {
        result = child_path(result, parent.get_ref<const Json::object_t&>().back().first);
      }
    }
    return result;
  }

  Json& root_;
  std::string_view streamed_;
  const ElementSink* sink_;
  std::vector<Frame> frames_;
  std::string pending_key_;
  Failure failure_ = Failure::usage("not JSON");
};

using Errors = Json::error_handler_t;

bool is_plain(const Json& value) { return !value.is_structured(); }

// A member name in quotes; names of plain letters, digits and underscores
// (every field name zelkc writes) need no escaping.
void write_key(const std::string& key, std::string& out, Errors errors) {
  const bool simple = std::ranges::all_of(key, [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
  if (simple) {
    out += '"';
    out += key;
    out += "\": ";
    return;
  }
  out += Json(key).dump(-1, ' ', false, errors);
  out += ": ";
}

// Writes `value` on one line into `out` and returns false as soon as it would
// exceed `budget` characters (the caller then lays it out over several lines).
bool write_inline(const Json& value, std::string& out, std::size_t budget, Errors errors) {
  const auto fits = [&] { return out.size() <= budget; };
  if (value.is_number_unsigned()) {
    // Most of a schedule document; dump() would set up a serializer for each.
    out += std::to_string(value.get<std::uint64_t>());
    return fits();
  }
  if (is_plain(value)) {
    out += value.dump(-1, ' ', false, errors);
    return fits();
  }
  const bool object = value.is_object();
  out += object ? '{' : '[';
  bool first = true;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!first) {
      out += ", ";
    }
    first = false;
    if (object) {
      write_key(it.key(), out, errors);
    }
    if (!write_inline(*it, out, budget, errors)) {
      return false;
    }
  }
  out += object ? '}' : ']';
  return fits();
}

void write_readable(const Json& value, std::string& out, std::size_t indent, std::size_t width,
                    Errors errors) {
  std::string line;
  if (is_plain(value) || (value.is_array() && std::all_of(value.begin(), value.end(), is_plain))) {
    write_inline(value, line, std::string::npos, errors);
    out += line;
    return;
  }
  if (write_inline(value, line, width > indent ? width - indent : 0, errors)) {
    out += line;
    return;
  }
  const bool object = value.is_object();
  const std::string inner(indent + 2, ' ');
  out += object ? "{\n" : "[\n";
  bool first = true;
  for (auto it = value.begin(); it != value.end(); ++it) {
    if (!first) {
      out += ",\n";
    }
    first = false;
    out += inner;
    if (object) {
      write_key(it.key(), out, errors);
    }
    write_readable(*it, out, indent + 2, width, errors);
  }
  out += '\n';
  out += std::string(indent, ' ');
  out += object ? '}' : ']';
}

}  // namespace

Outcome<Json> parse_json(std::string_view text) { return parse_json(text, {}, nullptr); }

Outcome<Json> parse_json(std::string_view text, std::string_view streamed,
                         const ElementSink* sink) {
  Json document;
  DocumentBuilder builder(document, streamed, sink);
  if (!Json::sax_parse(text.begin(), text.end(), &builder)) {
    return std::unexpected(builder.failure());
  }
  return document;
}

std::string dump_readable(const Json& value, std::size_t width, Errors errors) {
  std::string out;
  write_readable(value, out, 0, width, errors);
  out += '\n';
  return out;
}

std::string child_path(std::string_view parent, std::string_view key) {
  std::string path(parent);
  path += '/';
  for (const char c : key) {
    if (c == '~') {
      path += "~0";
    } else if (c == '/') {
      path += "~1";
    } else {
      path += c;
    }
  }
  return path;
}

std::string child_path(std::string_view parent, std::size_t index) {
  return child_path(parent, std::to_string(index));
}

std::string describe(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "null";
    case Json::value_t::boolean:
      return "a boolean";
    case Json::value_t::string:
      return "a string";
    case Json::value_t::array:
      return "an array";
    case Json::value_t::object:
      return "an object";
    case Json::value_t::number_unsigned:
      return "the number " + value.dump();
    case Json::value_t::number_integer:
      // Non-negative integers parse as unsigned; "-0" is the one integer here
      // that dumps without its sign.
      return value.get<std::int64_t>() == 0 ? "the number -0"
                                            : "the negative number " + value.dump();
    case Json::value_t::number_float: {
      const double number = value.get<double>();
      if (number >= 18446744073709551616.0) {
        return "a number beyond 64 bits";
      }
      if (number < 0) {
        return "the negative number " + value.dump();
      }
      if (std::floor(number) != number) {
        return "the fractional number " + value.dump();
      }
      return "the number " + value.dump() + " written with a fraction or an exponent";
    }
    case Json::value_t::binary:
    case Json::value_t::discarded:
      break;
  }
  return "an unusable value";
}

}  // namespace zelkc
