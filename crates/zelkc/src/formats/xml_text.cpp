// Escaping and cleaning text for XML.
#include "formats/xml_text.hpp"

#include <array>
#include <charconv>
#include <cstdint>
#include <iomanip>
#include <sstream>
#include <system_error>

namespace zelkc {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

bool continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the well-formed UTF-8 sequence at the start of `text` and
// its code point, or length 0 when the bytes there are not UTF-8.
struct Decoded {
  std::size_t length = 0;
  std::uint32_t code_point = 0;
};

Decoded decode(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) {
    return {1, lead};
  }
  std::size_t length = 0;
  std::uint32_t code_point = 0;
  std::uint32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code_point = lead & 0x1FU;
    smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code_point = lead & 0x0FU;
    smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code_point = lead & 0x07U;
    smallest = 0x10000;
  } else {
    return {};
  }
  if (text.size() < length) {
    return {};
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (!continuation(byte(i))) {
      return {};
    }
    code_point = (code_point << 6U) | (byte(i) & 0x3FU);
  }
  // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
  if (code_point < smallest || (code_point >= 0xD800 && code_point <= 0xDFFF) ||
      code_point > 0x10FFFF) {
    return {};
  }
  return {length, code_point};
}

bool allowed_in_xml(std::uint32_t c) {
  return c == 0x09 || c == 0x0A || c == 0x0D || (c >= 0x20 && c != 0xFFFE && c != 0xFFFF);
}

}  // namespace

std::string xml_text(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const Decoded next = decode(text);
    if (next.length == 0 || !allowed_in_xml(next.code_point)) {
      out += kReplacement;
      text.remove_prefix(next.length == 0 ? 1 : next.length);
      continue;
    }
    switch (next.code_point) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += text.substr(0, next.length);
    }
    text.remove_prefix(next.length);
  }
  return out;
}

std::string coordinate(double value) {
  // Fixed notation of the largest double takes 311 characters.
  std::array<char, 320> text{};
  const auto written =
      std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, 1);
  if (written.ec != std::errc{}) {
    std::ostringstream stream;
    stream << std::fixed << std::setprecision(1) << value;
    return stream.str();
  }
  return std::string(text.data(), written.ptr);
}

}  // namespace zelkc
