// What the build was configured with, written into zelkc at configure time.
#pragma once

#include <string_view>

namespace zelkc {

struct BuildInfo {
  std::string_view version;     // the CMake project's version
  std::string_view compiler;    // "GNU 12.2.0 (/usr/bin/g++)"
  std::string_view build_type;  // empty when none was chosen
  std::string_view flags;       // the C++ flags of every target and of the build type
};

[[nodiscard]] const BuildInfo& build_info();

}  // namespace zelkc
