// expf on vectors of values with the C library's bits for every input.
//
// On a processor with AVX2 and fused multiply-adds the C library's expf
// (glibc's, chosen for such processors) evaluates, in double precision:
// k = round(x 32 / ln 2) by adding 1.5 * 2^52 in a fused multiply-add,
// r = x 32 / ln 2 - k in another, 2^(k/32) from a 32-entry table with k / 32
// added to its exponent, a cubic in r by three fused multiply-adds, one
// product, and one rounding to float. Every one of those operations is
// correctly rounded, so four lanes doing the same operations give the same
// bits. Inputs off that path (NaN, infinities, overflow) go to the C library
// itself, and results below its underflow threshold are +0 as there.
//
// Without fused multiply-adds the C library runs another variant, and the
// values go to it one by one. The exhaustive comparison
// (bench/vector_math_exhaustive.cpp) checks every one of the 2^32 inputs.
#include "encoder/vector_exp.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace zelk_compiler::detail {
namespace {

#if defined(__x86_64__)

// 2^(i/32), correctly rounded, for i = 0 to 31.
constexpr std::uint64_t thirty_second_powers[32] = {
    0x3FF0000000000000, 0x3FF059B0D3158574, 0x3FF0B5586CF9890F, 0x3FF11301D0125B51,
    0x3FF172B83C7D517B, 0x3FF1D4873168B9AA, 0x3FF2387A6E756238, 0x3FF29E9DF51FDEE1,
    0x3FF306FE0A31B715, 0x3FF371A7373AA9CB, 0x3FF3DEA64C123422, 0x3FF44E086061892D,
    0x3FF4BFDAD5362A27, 0x3FF5342B569D4F82, 0x3FF5AB07DD485429, 0x3FF6247EB03A5585,
    0x3FF6A09E667F3BCD, 0x3FF71F75E8EC5F74, 0x3FF7A11473EB0187, 0x3FF82589994CCE13,
    0x3FF8ACE5422AA0DB, 0x3FF93737B0CDC5E5, 0x3FF9C49182A3F090, 0x3FFA5503B23E255D,
    0x3FFAE89F995AD3AD, 0x3FFB7F76F2FB5E47, 0x3FFC199BDD85529C, 0x3FFCB720DCEF9069,
    0x3FFD5818DCFBA487, 0x3FFDFC97337B9B5F, 0x3FFEA4AFA2A490DA, 0x3FFF50765B6E4540};

// The table as the evaluation indexes it: entry i less i * 2^47, so that
// adding k * 2^47 (k's low five bits included) puts k / 32 in the exponent.
struct ScaleTable {
  std::uint64_t entries[32];
};

constexpr ScaleTable scale_table = [] {
  ScaleTable table{};
  for (std::uint64_t i = 0; i < 32; ++i) {
    table.entries[i] = thirty_second_powers[i] - (i << 47);
  }
  return table;
}();

constexpr double steps_per_unit = 0x1.71547652b82fep+5;  // 32 / ln 2
constexpr double round_shift = 0x1.8p+52;
// The cubic's coefficients, scaled for r in units of ln 2 / 32.
constexpr double cubic_3 = 0x1.c6af84b912394p-20;
constexpr double cubic_2 = 0x1.ebfce50fac4f3p-13;
constexpr double cubic_1 = 0x1.62e42ff0c52d6p-6;
// The C library's limits: above `highest` the result overflows, below
// `lowest` it is +0; NaN and infinities fail both tests.
constexpr float highest = 0x1.62e42ep6F;
constexpr float lowest = -0x1.9fe368p6F;

[[gnu::target("avx2,fma")]] inline __m256d exp_four(__m128 x) {
  const __m256d d = _mm256_cvtps_pd(x);
  const __m256d z = _mm256_fmadd_pd(_mm256_set1_pd(steps_per_unit), d, _mm256_set1_pd(round_shift));
  const __m256i k = _mm256_castpd_si256(z);
  const __m256d kd = _mm256_sub_pd(z, _mm256_set1_pd(round_shift));
  const __m256d r = _mm256_fmsub_pd(_mm256_set1_pd(steps_per_unit), d, kd);
  const __m256i index = _mm256_and_si256(k, _mm256_set1_epi64x(31));
  // Four loads rather than a gather instruction: on some processors (AMD's
  // first Zen) a gather costs more than the rest of the evaluation.
  alignas(32) std::uint64_t indices[4];
  _mm256_store_si256(reinterpret_cast<__m256i*>(indices), index);
  const auto entry_of = [](std::uint64_t i) {
    return static_cast<long long>(scale_table.entries[i]);
  };
  const __m256i entry = _mm256_set_epi64x(entry_of(indices[3]), entry_of(indices[2]),
                                          entry_of(indices[1]), entry_of(indices[0]));
  const __m256d scale = _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(k, 47)));
  const __m256d high = _mm256_fmadd_pd(_mm256_set1_pd(cubic_3), r, _mm256_set1_pd(cubic_2));
  const __m256d square = _mm256_mul_pd(r, r);
  const __m256d low = _mm256_fmadd_pd(_mm256_set1_pd(cubic_1), r, _mm256_set1_pd(1.0));
  const __m256d y = _mm256_fmadd_pd(high, square, low);
  return _mm256_mul_pd(y, scale);
}

[[gnu::target("avx2,fma")]] void exp_each_fma(float* values, std::uint64_t count) {
  std::uint64_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m256 x = _mm256_loadu_ps(values + i);
    const __m256d low = exp_four(_mm256_castps256_ps128(x));
    const __m256d high = exp_four(_mm256_extractf128_ps(x, 1));
    __m256 result = _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
    const __m256 computed = _mm256_and_ps(_mm256_cmp_ps(x, _mm256_set1_ps(lowest), _CMP_GE_OQ),
                                          _mm256_cmp_ps(x, _mm256_set1_ps(highest), _CMP_LE_OQ));
    const __m256 zero = _mm256_cmp_ps(x, _mm256_set1_ps(lowest), _CMP_LT_OQ);
    result = _mm256_and_ps(result, computed);
    _mm256_storeu_ps(values + i, result);
    const int library = ~_mm256_movemask_ps(_mm256_or_ps(computed, zero)) & 0xFF;
    if (library != 0) {
      for (std::uint64_t lane = 0; lane < 8; ++lane) {
        if ((library >> lane & 1) != 0) {
          float input = 0.0F;
          std::memcpy(&input, reinterpret_cast<const char*>(&x) + lane * sizeof(float),
                      sizeof input);
          values[i + lane] = ::expf(input);
        }
      }
    }
  }
  for (; i < count; ++i) {
    values[i] = ::expf(values[i]);
  }
}

#endif

}  // namespace

void exp_each_vector(float* values, std::uint64_t count) {
#if defined(__x86_64__)
  // The builtin is int under g++ and bool under clang.
  // NOLINTNEXTLINE(readability-implicit-bool-conversion)
  if (__builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0) {
    exp_each_fma(values, count);
    return;
  }
#endif
  for (std::uint64_t i = 0; i < count; ++i) {
    values[i] = ::expf(values[i]);
  }
}

}  // namespace zelk_compiler::detail
