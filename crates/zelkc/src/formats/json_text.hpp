// JSON text in and out: strict parsing that says where a document is
// malformed, a readable layout for the documents zelkc writes, and the small
// helpers that name places and kinds of values in messages.
#pragma once

#include <cstddef>
#include <functional>
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

// Receives each element of a streamed array with its index.
using ElementSink = std::function<void(Json&& element, std::size_t index)>;

// `parse_json`, except that the elements of the array that is the root
// object's member `streamed` go to `sink` one by one as each is complete, and
// that array stays in the document empty: a document of a million entries is
// never held whole. Elements seen before a syntax error further on have been
// handed over already; the error is still returned.
[[nodiscard]] Outcome<Json> parse_json(std::string_view text, std::string_view streamed,
                                       const ElementSink* sink);

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
