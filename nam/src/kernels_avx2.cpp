// Built with -mavx2 -mfma; reached only when the CPU reports both (see wavenet.cpp).
#include "kernels.h"

#include <cstddef>
#include <immintrin.h>

namespace nam
{
namespace detail
{
namespace
{

constexpr float kLeakySlopeValue = 0.01f;
constexpr int kHeadTaps = 16;

// Models whose padded width is not a multiple of 8 use 4-lane fused operations.
struct Ops4
{
    using V = __m128;
    static constexpr int kWidth = 4;
    static V load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, const V v) { _mm_storeu_ps(p, v); }
    static V set1(const float f) { return _mm_set1_ps(f); }
    static V broadcast(const float* p) { return _mm_broadcast_ss(p); }
    static V add(const V a, const V b) { return _mm_add_ps(a, b); }
    static V mul(const V a, const V b) { return _mm_mul_ps(a, b); }
    static V madd(const V a, const V b, const V acc) { return _mm_fmadd_ps(a, b, acc); }
    static V leaky(const V v, const V slope)
    {
        return _mm_blendv_ps(_mm_mul_ps(v, slope), v, _mm_cmpgt_ps(v, _mm_setzero_ps()));
    }
};

struct Ops8
{
    using V = __m256;
    static constexpr int kWidth = 8;
    static V load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, const V v) { _mm256_storeu_ps(p, v); }
    static V set1(const float f) { return _mm256_set1_ps(f); }
    static V broadcast(const float* p) { return _mm256_broadcast_ss(p); }
    static V add(const V a, const V b) { return _mm256_add_ps(a, b); }
    static V mul(const V a, const V b) { return _mm256_mul_ps(a, b); }
    static V madd(const V a, const V b, const V acc) { return _mm256_fmadd_ps(a, b, acc); }
    static V leaky(const V v, const V slope)
    {
        return _mm256_blendv_ps(_mm256_mul_ps(v, slope), v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GT_OQ));
    }
};

#include "kernels_impl.h"

void rechannelAvx2(const float* r, const int stride, const float* x, float* out, const int frames)
{
    if (stride % 8 == 0)
        rechannelAny<Ops8>(r, stride, x, out, frames);
    else
        rechannelAny<Ops4>(r, stride, x, out, frames);
}

void layerAvx2(const LayerCall& c)
{
    if (c.stride % 8 == 0)
        layerAny<Ops8>(c);
    else
        layerAny<Ops4>(c);
}

void headAvx2(const HeadCall& c)
{
    if (c.stride % 8 == 0)
        headAny<Ops8>(c);
    else
        headAny<Ops4>(c);
}

} // namespace

extern const Kernels kKernelsAvx2 = {"avx2", rechannelAvx2, layerAvx2, headAvx2};

} // namespace detail
} // namespace nam
