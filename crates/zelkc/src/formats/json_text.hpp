// JSON text in and out: strict parsing that says where a document is
// malformed, a readable layout for the documents zelkc writes, and the small
// helpers that name places and kinds of values in messages.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "failure.hpp"

namespace zelkc {

// Objects keep their keys in document order, so documents are written with
// fields in record order and problems are reported in the order they appear.
using Json = nlohmann::ordered_json;

// Parses `text` as exactly one JSON document. A syntax error fails with its
// line and column, a key given twice in one object with the key's path.
[[nodiscard]] Outcome<Json> parse_json(std::string_view text);

// `value` with two-space indentation, where arrays of plain values and any
// array or object that fits in `width` columns stay on one line. `errors`
// says what happens to a string that is not valid UTF-8, as for `dump`
// (`strict` throws nlohmann's type_error).
[[nodiscard]] std::string dump_readable(
    const Json& value, std::size_t width = 100,
    Json::error_handler_t errors = Json::error_handler_t::strict);

// The JSON Pointer of a member or an element below `parent` ("/ops/3/inputs").
[[nodiscard]] std::string child_path(std::string_view parent, std::string_view key);
[[nodiscard]] std::string child_path(std::string_view parent, std::size_t index);

// How a value reads in a message: "a string", "an array", "a negative
// number", "a fractional number", ...
[[nodiscard]] std::string describe(const Json& value);

}  // namespace zelkc
