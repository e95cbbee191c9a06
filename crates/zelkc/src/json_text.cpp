// Strict JSON parsing with located errors, and the readable layout.
#include "json_text.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

namespace zelkc {
namespace {

// Where the parser stands while it reads nested values, so that a repeated
// key can be reported with its path. nlohmann keeps the last of two equal
// keys silently; a graph file with two "shape" members is malformed.
class KeyTracker {
 public:
  struct Repeated {
    std::string path;
  };

  bool operator()(int /*depth*/, nlohmann::json::parse_event_t event, Json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    switch (event) {
      case Event::object_start:
        frames_.emplace_back().is_array = false;
        break;
      case Event::array_start:
        frames_.emplace_back().is_array = true;
        break;
      case Event::key: {
        Frame& top = frames_.back();
        top.key = parsed.get<std::string>();
        if (!top.keys.insert(top.key).second) {
          throw Repeated{path()};
        }
        break;
      }
      case Event::value:
        element_done();
        break;
      case Event::object_end:
      case Event::array_end:
        frames_.pop_back();
        element_done();
        break;
    }
    return true;
  }

 private:
  struct Frame {
    bool is_array = false;
    std::size_t index = 0;
    std::string key;
    std::set<std::string> keys;
  };

  void element_done() {
    if (!frames_.empty() && frames_.back().is_array) {
      ++frames_.back().index;
    }
  }

  std::string path() const {
    std::string result;
    for (const Frame& frame : frames_) {
      result = frame.is_array ? child_path(result, frame.index) : child_path(result, frame.key);
    }
    return result;
  }

  std::vector<Frame> frames_;
};

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

Outcome<Json> parse_json(std::string_view text) {
  try {
    return Json::parse(text.begin(), text.end(), KeyTracker{});
  } catch (const KeyTracker::Repeated& repeated) {
    return std::unexpected(Failure::usage(repeated.path + ": key given twice"));
  } catch (const nlohmann::json::exception& error) {
    return std::unexpected(Failure::usage("not JSON: " + without_exception_id(error.what())));
  }
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
