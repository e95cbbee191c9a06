// The reference arithmetic written out literally, loop for loop, as an oracle
// for the library's kernels and encoder evaluation. Nothing here checks its
// arguments: callers pass lists that fit their dimensions. Any faster version
// of a kernel must agree with these bit for bit.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "zelk_compiler/encoder.hpp"

namespace zelk_compiler::literal {

// The generator of one deterministic weight matrix.
inline std::vector<float> weight_matrix(std::uint64_t rows, std::uint64_t columns,
                                        std::uint64_t salt) {
  std::vector<float> values;
  for (std::uint64_t index = 0; index < rows * columns; ++index) {
    const std::uint64_t n = (index * 17 + salt * 31) % 101;
    const float numerator = static_cast<float>(n) - 50.0F;
    const float product = 50.0F * static_cast<float>(rows);
    const float divisor = std::sqrt(product);
    values.push_back(numerator / divisor);
  }
  return values;
}

inline EncoderWeights deterministic_weights(const EncoderConfig& config) {
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  return EncoderWeights{.wq = weight_matrix(h, h, 1),
                        .wk = weight_matrix(h, h, 2),
                        .wv = weight_matrix(h, h, 3),
                        .wo = weight_matrix(h, h, 4),
                        .w1 = weight_matrix(h, f, 5),
                        .w2 = weight_matrix(f, h, 6)};
}

inline std::vector<float> matmul(const std::vector<float>& left, const std::vector<float>& right,
                                 std::uint64_t rows, std::uint64_t inner, std::uint64_t columns) {
  std::vector<float> output(rows * columns, +0.0F);
  for (std::uint64_t row = 0; row < rows; ++row) {
    for (std::uint64_t column = 0; column < columns; ++column) {
      float sum = +0.0F;
      for (std::uint64_t k = 0; k < inner; ++k) {
        const float p = left[row * inner + k] * right[k * columns + column];
        sum = p + sum;
      }
      output[row * columns + column] = sum;
    }
  }
  return output;
}

inline std::vector<float> layer_norm(const std::vector<float>& input, std::uint64_t rows,
                                     std::uint64_t columns, float epsilon) {
  std::vector<float> output(input.size(), +0.0F);
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::uint64_t start = row * columns;
    float sum = -0.0F;
    for (std::uint64_t c = 0; c < columns; ++c) {
      sum = sum + input[start + c];
    }
    const float mean = sum / static_cast<float>(columns);
    float sum2 = -0.0F;
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float d = input[start + c] - mean;
      const float dd = d * d;
      sum2 = sum2 + dd;
    }
    const float variance = sum2 / static_cast<float>(columns);
    const float added = variance + epsilon;
    const float root = std::sqrt(added);
    const float scale = 1.0F / root;
    for (std::uint64_t column = 0; column < columns; ++column) {
      const float d = input[start + column] - mean;
      output[row * columns + column] = d * scale;
    }
  }
  return output;
}

inline void softmax_rows(std::vector<float>& values, std::uint64_t rows, std::uint64_t columns) {
  for (std::uint64_t row = 0; row < rows; ++row) {
    const std::uint64_t start = row * columns;
    float maximum = -std::numeric_limits<float>::infinity();
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float entry = values[start + c];
      if (!std::isnan(entry) && entry > maximum) {
        maximum = entry;
      }
    }
    float total = +0.0F;
    for (std::uint64_t c = 0; c < columns; ++c) {
      const float shifted = values[start + c] - maximum;
      values[start + c] = ::expf(shifted);
      total = values[start + c] + total;
    }
    for (std::uint64_t c = 0; c < columns; ++c) {
      values[start + c] = values[start + c] / total;
    }
  }
}

// The constants as decimals here; the tests check that they round to the bit
// patterns the library spells out.
inline float gelu(float x) {
  const float half = 0.5F * x;
  const float square = x * x;
  const float cube = x * square;
  const float scaled_cube = 0.044715F * cube;
  const float inner = x + scaled_cube;
  const float argument = 0.7978846F * inner;
  const float t = ::tanhf(argument);
  const float sum = 1.0F + t;
  return half * sum;
}

// The encoder block, step for step, for weight lists of at least the needed
// lengths and `heads` of at least 1.
inline std::vector<float> encoder_reference(const EncoderConfig& config,
                                            const std::vector<float>& input,
                                            const EncoderWeights& weights) {
  const std::uint64_t s = config.sequence;
  const std::uint64_t h = config.hidden;
  const std::uint64_t f = config.feed_forward;
  const float epsilon = 1e-5F;

  const std::vector<float> norm1 = layer_norm(input, s, h, epsilon);
  const std::vector<float> q = matmul(norm1, weights.wq, s, h, h);
  const std::vector<float> k = matmul(norm1, weights.wk, s, h, h);
  const std::vector<float> v = matmul(norm1, weights.wv, s, h, h);
  std::vector<float> context(input.size(), +0.0F);
  const std::uint64_t head_size = h / config.heads;
  for (std::uint64_t head = 0; head < config.heads; ++head) {
    std::vector<float> scores(s * s, +0.0F);
    for (std::uint64_t row = 0; row < s; ++row) {
      for (std::uint64_t column = 0; column < s; ++column) {
        float sum = +0.0F;
        for (std::uint64_t inner = 0; inner < head_size; ++inner) {
          const std::uint64_t index = head * head_size + inner;
          const float p = q[row * h + index] * k[column * h + index];
          sum = p + sum;
        }
        const float root = std::sqrt(static_cast<float>(head_size));
        scores[row * s + column] = sum / root;
      }
    }
    softmax_rows(scores, s, s);
    for (std::uint64_t row = 0; row < s; ++row) {
      for (std::uint64_t inner = 0; inner < head_size; ++inner) {
        float sum = +0.0F;
        for (std::uint64_t column = 0; column < s; ++column) {
          const float p = scores[row * s + column] * v[column * h + head * head_size + inner];
          sum = p + sum;
        }
        context[row * h + head * head_size + inner] = sum;
      }
    }
  }
  const std::vector<float> projected = matmul(context, weights.wo, s, h, h);
  std::vector<float> residual1(input.size());
  for (std::uint64_t i = 0; i < input.size(); ++i) {
    residual1[i] = input[i] + projected[i];
  }
  const std::vector<float> norm2 = layer_norm(residual1, s, h, epsilon);
  std::vector<float> activation = matmul(norm2, weights.w1, s, h, f);
  for (std::uint64_t i = 0; i < activation.size(); ++i) {
    activation[i] = gelu(activation[i]);
  }
  const std::vector<float> down = matmul(activation, weights.w2, s, f, h);
  std::vector<float> result(input.size());
  for (std::uint64_t i = 0; i < input.size(); ++i) {
    result[i] = residual1[i] + down[i];
  }
  return result;
}

}  // namespace zelk_compiler::literal
