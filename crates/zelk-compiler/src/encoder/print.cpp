// Printed forms of the encoder configuration, its faults and the weights.
#include <ostream>

#include "zelk_compiler/debug.hpp"
#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler {

std::ostream& operator<<(std::ostream& out, EncoderFault fault) {
  switch (fault) {
    case EncoderFault::ZeroHidden:
      return out << "ZeroHidden";
    case EncoderFault::ZeroSequence:
      return out << "ZeroSequence";
    case EncoderFault::ZeroHeads:
      return out << "ZeroHeads";
    case EncoderFault::HeadsDoNotDivideHidden:
      return out << "HeadsDoNotDivideHidden";
    case EncoderFault::NoLayers:
      return out << "NoLayers";
  }
  return out;
}

std::ostream& operator<<(std::ostream& out, const EncoderConfig& config) {
  return write_record(out, config);
}

std::ostream& operator<<(std::ostream& out, const EncoderWeights& weights) {
  return write_record(out, weights);
}

}  // namespace zelk_compiler
