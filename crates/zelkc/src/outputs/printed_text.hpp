// The library's printed form laid out for reading: a record per line.
#pragma once

#include <string>
#include <string_view>

namespace zelkc {

// `text`, a value in the library's printed form, with every list (or map)
// that holds records broken over lines, one element per line, and every
// record or call that holds such a list broken into one field per line, each
// level indented by two spaces. Small records and plain lists stay on one
// line. Nothing else changes: outside quoted strings only spaces and line
// breaks differ from `text`, and quoted strings are copied as they are,
// whatever brackets they hold.
[[nodiscard]] std::string indent_printed_form(std::string_view text);

}  // namespace zelkc
