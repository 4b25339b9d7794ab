// Portable path: SSE2 is part of every x86-64 CPU.
#include "kernels.h"

#include <cstddef>
#include <emmintrin.h>

namespace nam
{
namespace detail
{
namespace
{

constexpr float kLeakySlopeValue = 0.01f;
constexpr int kHeadTaps = 16;

struct Ops4
{
    using V = __m128;
    static constexpr int kWidth = 4;
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, const V v) { _mm_storeu_ps(p, v); }
    static V set1(const float f) { return _mm_set1_ps(f); }
    static V broadcast(const float* p) { return _mm_load1_ps(p); }
    static V add(const V a, const V b) { return _mm_add_ps(a, b); }
    static V mul(const V a, const V b) { return _mm_mul_ps(a, b); }
    // acc + a * b, rounded twice
    static V madd(const V a, const V b, const V acc) { return _mm_add_ps(acc, _mm_mul_ps(a, b)); }
    static V leaky(const V v, const V slope)
    {
        const V positive = _mm_cmpgt_ps(v, _mm_setzero_ps());
        return _mm_or_ps(_mm_and_ps(positive, v), _mm_andnot_ps(positive, _mm_mul_ps(v, slope)));
    }
};

#include "kernels_impl.h"

} // namespace

extern const Kernels kKernelsSse2 = {"sse2", rechannelAny<Ops4>, layerAny<Ops4>, headAny<Ops4>};

} // namespace detail
} // namespace nam
