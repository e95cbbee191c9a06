// The style sheet and the script the HTML report carries inline.
#pragma once

#include <string_view>

namespace zelkc {

extern const std::string_view kReportStyle;

// Reads the JSON of the element "report-data" and draws the memory map of
// the chosen tile into the svg element "memory-map".
extern const std::string_view kReportScript;

}  // namespace zelkc
