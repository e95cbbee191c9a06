// The style sheet and the script the HTML report carries inline, compiled in
// from assets/report.css and assets/report.js.
#pragma once

#include <string_view>

namespace zelkc {

extern const std::string_view kReportStyle;

// Reads the JSON of the element "report-data", draws the memory map of the
// tile and phase range the address names ("#tile=5&phases=10-40") into the
// svg element "memory-map", and lists an exchange's pairs when asked.
extern const std::string_view kReportScript;

}  // namespace zelkc
