// tanhf on vectors of values, with the C library's bits for every input;
// included by the vector loops, which compile it once per instruction set.
//
// exp lives in vector_exp.cpp: it needs fused multiply-adds.
//
// tanh: the C library's tanhf is not correctly rounded (it is the classic
// single-precision algorithm, through expm1f, with errors past one unit), so
// the lanes repeat its float operations one for one, in the same order, with
// branches turned into selections. Only NaN lanes go to the C library.
//
// The exhaustive comparison (bench/vector_math_exhaustive.cpp) checks it
// against the C library over all 2^32 inputs.
#pragma once

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Every function here is forced inline into a caller compiled for the vectors'
// instruction set, so none passes a vector across a call: the compilers'
// warning that such a call's ABI depends on the instruction set does not
// apply. (g++ gives it at the end of the file, so it stays off for the
// includer; clang++ gives it at each function.)
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace zelk_compiler::detail::vector_math {

// The vector types of `lanes` lanes of each kind. (A dependent vector_size
// is not a vector type to g++, hence one definition per width.)
template <std::size_t lanes>
struct Vectors;

#define ZELK_MATH_VECTORS(LANES)                                          \
  template <>                                                             \
  struct Vectors<LANES> {                                                 \
    using Float = float __attribute__((vector_size((LANES)*4)));          \
    using Bits32 = std::uint32_t __attribute__((vector_size((LANES)*4))); \
    using Int32 = std::int32_t __attribute__((vector_size((LANES)*4)));   \
    using Double = double __attribute__((vector_size((LANES)*8)));        \
    using Bits64 = std::uint64_t __attribute__((vector_size((LANES)*8))); \
    using Int64 = std::int64_t __attribute__((vector_size((LANES)*8)));   \
  };
ZELK_MATH_VECTORS(4)
ZELK_MATH_VECTORS(8)
ZELK_MATH_VECTORS(16)
#undef ZELK_MATH_VECTORS

template <class Vector>
[[gnu::always_inline]] inline Vector load_vector(const float* from) {
  Vector vector;
  std::memcpy(&vector, from, sizeof vector);
  return vector;
}

template <class To, class From>
[[gnu::always_inline]] inline To bits_of(From vector) {
  static_assert(sizeof(To) == sizeof(From));
  To to;
  std::memcpy(&to, &vector, sizeof to);
  return to;
}

// `mask ? yes : no` lane by lane, `mask` all ones or all zeros per lane.
template <class Bits, class Vector>
[[gnu::always_inline]] inline Vector select(Bits mask, Vector yes, Vector no) {
  const Bits chosen = (mask & bits_of<Bits>(yes)) | (~mask & bits_of<Bits>(no));
  return bits_of<Vector>(chosen);
}

// Whether any lane of `mask` is set, by whole 64-bit words rather than lane
// by lane.
template <class Bits>
[[gnu::always_inline]] inline bool any_lane(Bits mask) {
  std::uint64_t words[sizeof(Bits) / sizeof(std::uint64_t)];
  std::memcpy(words, &mask, sizeof words);
  std::uint64_t any = 0;
  for (const std::uint64_t word : words) {
    any |= word;
  }
  return any != 0;
}

// ---------------------------------------------------------------------------
// tanh, as the C library's single-precision tanhf and expm1f compute it

inline constexpr float f32(std::uint32_t bits) { return std::bit_cast<float>(bits); }

inline constexpr float expm1_ln2_hi = f32(0x3F317180);
inline constexpr float expm1_ln2_lo = f32(0x3717F7D1);
inline constexpr float expm1_inverse_ln2 = f32(0x3FB8AA3B);
inline constexpr float expm1_q1 = f32(0xBD088889);
inline constexpr float expm1_q2 = f32(0x3AD00D01);
inline constexpr float expm1_q3 = f32(0xB8A670CD);
inline constexpr float expm1_q4 = f32(0x36867E54);
inline constexpr float expm1_q5 = f32(0xB457EDBB);

// expm1f(a) for the arguments tanh gives it: a in [2, 44) or a in (-2, 0).
// Lanes with k = 1 (a in (0.35, 1.04)) do not occur there and are not
// computed.
template <std::size_t lanes>
[[gnu::always_inline]] inline typename Vectors<lanes>::Float expm1_for_tanh(
    typename Vectors<lanes>::Float a) {
  using V = Vectors<lanes>;
  using Float = typename V::Float;
  using Bits = typename V::Bits32;
  using Int = typename V::Int32;
  const Bits magnitude = bits_of<Bits>(a) & 0x7FFFFFFFU;
  const Int negative = a < 0.0F;

  // k: 0 up to ln 2 / 2, then +-1 up to 1.5 ln 2, then rounded a / ln 2.
  const Float half = select(bits_of<Bits>(negative), Float{} - 0.5F, Float{} + 0.5F);
  const Int rounded = __builtin_convertvector(a * expm1_inverse_ln2 + half, Int);
  const Int unit = select(bits_of<Bits>(negative), Int{} - 1, Int{} + 1);
  Int k = select(bits_of<Bits>(magnitude < 0x3F851592U), unit, rounded);
  k = select(bits_of<Bits>(magnitude > 0x3EB17218U), k, Int{});

  const Float t = __builtin_convertvector(k, Float);
  const Float hi = a - t * expm1_ln2_hi;
  const Float lo = t * expm1_ln2_lo;
  const Float x = hi - lo;
  const Float c = (hi - x) - lo;

  const Float half_x = 0.5F * x;
  const Float square = x * half_x;
  const Float r1 =
      1.0F + square * (expm1_q1 +
                       square * (expm1_q2 +
                                 square * (expm1_q3 + square * (expm1_q4 + square * expm1_q5))));
  const Float t3 = 3.0F - r1 * half_x;
  const Float e = square * ((r1 - t3) / (6.0F - x * t3));

  const Float k_zero = x - (x * e - square);
  Float e2 = x * (e - c) - c;
  e2 = e2 - square;
  const Float k_minus_one = 0.5F * (x - e2) - 0.5F;

  const Bits exponent_step = bits_of<Bits>(k) << 23;
  const Float far_sum = 1.0F - (e2 - x);
  const Float far = bits_of<Float>(bits_of<Bits>(far_sum) + exponent_step) - 1.0F;
  const Int shift =
      select(bits_of<Bits>(k < 0), Int{}, select(bits_of<Bits>(k > 31), Int{} + 31, k));
  const Float below_one =
      bits_of<Float>(0x3F800000U - ((Bits{} + 0x1000000U) >> bits_of<Bits>(shift)));
  const Float middle_sum = below_one - (e2 - x);
  const Float middle = bits_of<Float>(bits_of<Bits>(middle_sum) + exponent_step);
  const Float power = bits_of<Float>((0x7FU - bits_of<Bits>(k)) << 23);
  Float high_sum = x - (e2 + power);
  high_sum = high_sum + 1.0F;
  const Float high = bits_of<Float>(bits_of<Bits>(high_sum) + exponent_step);

  Float result = select(bits_of<Bits>(k < 23), middle, high);
  result = select(bits_of<Bits>((k <= -2) | (k > 56)), far, result);
  result = select(bits_of<Bits>(k == -1), k_minus_one, result);
  result = select(bits_of<Bits>(k == 0), k_zero, result);
  // Below 2^-25 expm1f returns its argument.
  return select(bits_of<Bits>(magnitude < 0x33000000U), a, result);
}

// tanhf of `lanes` values from `input` into `output` (which may be the same).
template <std::size_t lanes>
[[gnu::always_inline]] inline void tanh_lanes(const float* input, float* output) {
  using V = Vectors<lanes>;
  using Float = typename V::Float;
  using Bits = typename V::Bits32;
  const auto x = load_vector<Float>(input);
  const Bits word = bits_of<Bits>(x);
  const Bits magnitude = word & 0x7FFFFFFFU;
  // Lanes of 22 and above (and NaN) are replaced below; they compute on 1.
  const Bits moderate = bits_of<Bits>(magnitude < 0x41B00000U);
  const Float absolute = select(moderate, bits_of<Float>(magnitude), Float{} + 1.0F);
  const Bits at_least_one = bits_of<Bits>(magnitude >= 0x3F800000U);

  const Float a = select(at_least_one, 2.0F * absolute, -2.0F * absolute);
  const Float t = expm1_for_tanh<lanes>(a);
  // tanhf takes 1 - 2 / (t + 2) from 1 up and -t / (t + 2) below: one
  // division, of the numerator each lane needs.
  const Float quotient = select(at_least_one, Float{} + 2.0F, -t) / (t + 2.0F);
  Float z = select(at_least_one, 1.0F - quotient, quotient);
  z = select(moderate, z, Float{} + 1.0F);
  Float result = bits_of<Float>(bits_of<Bits>(z) ^ (word & 0x80000000U));
  // Below 2^-55 (zeros included) tanhf returns its argument.
  result = select(bits_of<Bits>(magnitude < 0x24000000U), x, result);

  const Bits nan = bits_of<Bits>(magnitude > 0x7F800000U);
  if (any_lane(nan)) {
    for (std::size_t lane = 0; lane < lanes; ++lane) {
      if (nan[lane] != 0) {
        result[lane] = ::tanhf(x[lane]);
      }
    }
  }
  std::memcpy(output, &result, sizeof result);
}

// tanhf of every value, in place.
template <std::size_t lanes>
[[gnu::always_inline]] inline void tanh_each(float* values, std::uint64_t count) {
  std::uint64_t i = 0;
  for (; i + lanes <= count; i += lanes) {
    tanh_lanes<lanes>(values + i, values + i);
  }
  for (; i < count; ++i) {
    values[i] = ::tanhf(values[i]);
  }
}

}  // namespace zelk_compiler::detail::vector_math
