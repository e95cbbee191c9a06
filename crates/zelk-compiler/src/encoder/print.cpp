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
  RecordWriter(out, "EncoderConfig")
      .field("sequence", config.sequence)
      .field("hidden", config.hidden)
      .field("heads", config.heads)
      .field("feed_forward", config.feed_forward);
  return out;
}

std::ostream& operator<<(std::ostream& out, const EncoderWeights& weights) {
  RecordWriter(out, "EncoderWeights")
      .field("wq", weights.wq)
      .field("wk", weights.wk)
      .field("wv", weights.wv)
      .field("wo", weights.wo)
      .field("w1", weights.w1)
      .field("w2", weights.w2);
  return out;
}

}  // namespace zelk_compiler
