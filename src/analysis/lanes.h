// Fixed-width vectors for the measurement's per-sample loops (internal).
//
// The compiler's vector extensions: each lane is an ordinary IEEE float or
// double, so a sum kept in lane j of a vector rounds exactly as a scalar sum
// of the same samples in the same order. Where SSE2 is all the target has, a
// vector of 32 bytes becomes two instructions of 16.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cmath>
#include <cstring>
#include <span>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vantorel::analysis::lanes {

using Floats = float __attribute__((vector_size(16)));
using FloatMask = std::int32_t __attribute__((vector_size(16)));
using Doubles = double __attribute__((vector_size(16)));
using DoubleMask = std::int64_t __attribute__((vector_size(16)));

constexpr std::size_t kFloats = sizeof(Floats) / sizeof(float);
constexpr std::size_t kDoubles = sizeof(Doubles) / sizeof(double);

inline Floats load(const float* from) {
    Floats v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

inline void store(float* to, Floats v) { std::memcpy(to, &v, sizeof v); }

inline Doubles loadDoubles(const double* from) {
    Doubles v;
    std::memcpy(&v, from, sizeof v);
    return v;
}

// Lanes 0, 1 and 2, 3 of four floats, widened. (Compilers turn the
// portable form into one conversion per lane.)
#if defined(__SSE2__)
inline Doubles lowHalf(Floats v) { return reinterpret_cast<Doubles>(_mm_cvtps_pd(reinterpret_cast<__m128>(v))); }
inline Doubles highHalf(Floats v) {
    const __m128 x = reinterpret_cast<__m128>(v);
    return reinterpret_cast<Doubles>(_mm_cvtps_pd(_mm_movehl_ps(x, x)));
}
#else
inline Doubles lowHalf(Floats v) { return Doubles{v[0], v[1]}; }
inline Doubles highHalf(Floats v) { return Doubles{v[2], v[3]}; }
#endif

inline Floats splat(float x) { return Floats{} + x; }

inline Floats magnitude(Floats v) {
    return reinterpret_cast<Floats>(reinterpret_cast<FloatMask>(v) & std::int32_t{0x7fffffff});
}
inline Doubles magnitude(Doubles v) {
    return reinterpret_cast<Doubles>(reinterpret_cast<DoubleMask>(v) & std::int64_t{0x7fffffffffffffff});
}

// v where the mask is set, else +0. (A mask made of two comparisons joined
// by & makes compilers handle each lane on its own: test one.)
inline Floats keep(FloatMask mask, Floats v) {
    return reinterpret_cast<Floats>(reinterpret_cast<FloatMask>(v) & mask);
}
inline Doubles keep(DoubleMask mask, Doubles v) {
    return reinterpret_cast<Doubles>(reinterpret_cast<DoubleMask>(v) & mask);
}

// The larger of each pair, as std::max(a, b) (b only when a < b); neither
// may be NaN.
inline Floats larger(Floats a, Floats b) { return a < b ? b : a; }
inline Doubles larger(Doubles a, Doubles b) { return a < b ? b : a; }
inline Floats smaller(Floats a, Floats b) { return b < a ? b : a; }

inline float largestOf(Floats v) {
    v = larger(v, __builtin_shufflevector(v, v, 2, 3, 0, 1));
    v = larger(v, __builtin_shufflevector(v, v, 1, 0, 3, 2));
    return v[0];
}

inline float smallestOf(Floats v) {
    v = smaller(v, __builtin_shufflevector(v, v, 2, 3, 0, 1));
    v = smaller(v, __builtin_shufflevector(v, v, 1, 0, 3, 2));
    return v[0];
}

// Whether every sample's magnitude is at most `limit` (NaN never is): the
// test that lets a block's loops skip their per-sample checks.
inline bool allWithin(std::span<const float> samples, float limit) {
    FloatMask within = FloatMask{} - 1;
    std::size_t i = 0;
    for (; i + kFloats <= samples.size(); i += kFloats) within &= magnitude(load(samples.data() + i)) <= limit;
    for (std::size_t k = 0; k < kFloats; ++k) {
        if (within[k] == 0) return false;
    }
    for (; i < samples.size(); ++i) {
        if (!(std::fabs(samples[i]) <= limit)) return false;
    }
    return true;
}

}  // namespace vantorel::analysis::lanes
