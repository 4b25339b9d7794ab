#include "RationalResampler.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <string>

float RationalResampler::sKernelTable[kKernelPhases + 1][kKernelTaps];
float RationalResampler::sKernelDeltaTable[kKernelPhases + 1][kKernelTaps];
bool RationalResampler::sKernelTablesBuilt = false;

namespace
{
constexpr int32_t kRingMask = kResamplerRingSize - 1;
constexpr int32_t kHalfTaps = kKernelTaps / 2;

// Lanczos, a = 12, in the exact order of operations the tables are defined by.
float lanczos(int t, int c)
{
    const double x = (double(c) + double(t) * 0.0001220703125) - 12.0;
    if (std::fabs(x) < 1e-7)
        return 1.0f;
    const double y = x * 3.141592653589793;
    return float((std::sin(y * 0.08333333333333333) * (std::sin(y) * 12.0)) / ((x * 9.869604401089358) * x));
}

void buildKernelTables()
{
    auto& table = RationalResampler::sKernelTable;
    auto& delta = RationalResampler::sKernelDeltaTable;
    for (int t = 0; t <= kKernelPhases; ++t)
        for (int c = 0; c < kKernelTaps; ++c)
            table[t][c] = lanczos(t, c);
    for (int t = 0; t < kKernelPhases; ++t)
        for (int c = 0; c < kKernelTaps; ++c)
            delta[t][c] = table[t + 1][c] - table[t][c];
    // Row kKernelPhases is only read with a zero fraction; a copy of row 0 keeps it finite.
    std::copy(delta[0], delta[0] + kKernelTaps, delta[kKernelPhases]);
    RationalResampler::sKernelTablesBuilt = true;
}

int32_t wholeRate(float rate)
{
    // The range test also refuses NaN.
    if (!(rate >= 1.0f && double(rate) < 2147483648.0))
        throw std::invalid_argument("Sample rate must lie between 1 and 2147483647 Hz; got " + std::to_string(rate));
    const int32_t whole = int32_t(rate);
    // "long-like" in the warning: a whole number of Hz.
    if (double(whole) != double(rate))
        std::cerr << "Expected long-like sample rate; got " << double(rate) << " instead! Truncating..." << std::endl;
    return whole;
}

// Phases wrap as 32-bit counters; unsigned arithmetic keeps that defined.
inline int32_t wrapAdd(int32_t a, int32_t b) noexcept
{
    return int32_t(uint32_t(a) + uint32_t(b));
}

inline int32_t wrapSub(int32_t a, int32_t b) noexcept
{
    return int32_t(uint32_t(a) - uint32_t(b));
}
} // namespace

RationalResampler::RationalResampler(float inRate, float outRate)
    : fWritePos(0),
      fInRate(inRate),
      fOutRate(outRate),
      fInPhase(0),
      fOutPhase(0)
{
    const int32_t in = wholeRate(fInRate);
    const int32_t out = wholeRate(fOutRate);

    int32_t a = in;
    int32_t b = out;
    while (b != 0)
    {
        const int32_t r = a % b;
        a = b;
        b = r;
    }
    const int32_t g = a;

    fInIncrement = out / g;
    fDenominator = out / g;
    fOutIncrement = in / g;

    std::fill(fRing, fRing + 2 * kResamplerRingSize, 0.0f);

    // Two first constructions on different threads must not both build, nor read a half-built table.
    static std::once_flag sOnce;
    std::call_once(sOnce, buildKernelTables);
}

void RationalResampler::push(const float* const* in, uint64_t count) noexcept
{
    const float* src = in[0];
    for (uint64_t i = 0; i < count; ++i)
    {
        const float v = src[i];
        fRing[fWritePos] = v;
        fRing[fWritePos + kResamplerRingSize] = v;
        fWritePos = (fWritePos + 1) & kRingMask;
        fInPhase = wrapAdd(fInPhase, fInIncrement);
    }
}

uint64_t RationalResampler::pop(float* const* out, uint64_t maxCount) noexcept
{
    float* dst = out[0];
    const int64_t lookAhead = int64_t(kResamplerLookAhead) * int64_t(fDenominator);
    uint64_t produced = 0;
    while (produced < maxCount)
    {
        const int32_t lead = wrapSub(fInPhase, fOutPhase);
        if (int64_t(lead) <= lookAhead)
            break;

        const double p = double(fWritePos) - double(lead) / double(fDenominator);
        const double base = std::floor(p);
        const int32_t b = int32_t(base);
        int32_t i = b & kRingMask;
        const double frac = p - base;

        const double s = double(kKernelPhases) - frac * double(kKernelPhases);
        const int32_t r = int32_t(s);
        const double u = s - double(r);

        if (i <= kHalfTaps)
            i += kResamplerRingSize;

        const float* row = sKernelTable[r];
        const float* deltaRow = sKernelDeltaTable[r];
        float w[kKernelTaps];
        for (int c = 0; c < kKernelTaps; ++c)
            w[c] = float(double(row[c]) + u * double(deltaRow[c]));

        const float* x = fRing + (i - kHalfTaps);
        float y = 0.0f;
        for (int j = 0; j < kHalfTaps; ++j)
            y += w[j] * x[j] + w[j + kHalfTaps] * x[j + kHalfTaps];

        dst[produced] = y;
        ++produced;
        fOutPhase = wrapAdd(fOutPhase, fOutIncrement);
    }
    return produced;
}

uint64_t RationalResampler::inputNeeded(uint64_t outputCount) const noexcept
{
    const int32_t d = wrapSub(wrapSub(fInPhase, int32_t(uint32_t(outputCount) * uint32_t(fOutIncrement))), fOutPhase);
    const double v = double(kResamplerLookAhead) - double(d) / double(fDenominator) + 1.0;
    return uint64_t(std::max(v, 0.0));
}

void RationalResampler::rebasePhases() noexcept
{
    fInPhase = wrapSub(fInPhase, fOutPhase);
    fOutPhase = 0;
}

void RationalResampler::clear() noexcept
{
    std::fill(fRing, fRing + 2 * kResamplerRingSize, 0.0f);
}
