// Text for SVG and HTML documents.
#pragma once

#include <string>
#include <string_view>

namespace zelkc {

// `text` made safe for XML character data and double-quoted attributes: the
// markup characters & < > " ' escaped, and bytes that are not UTF-8 or
// characters XML forbids (most control characters) replaced by U+FFFD.
[[nodiscard]] std::string xml_text(std::string_view text);

// A coordinate or length for an SVG attribute, to a tenth of a pixel.
[[nodiscard]] std::string coordinate(double value);

}  // namespace zelkc
