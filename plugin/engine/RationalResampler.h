#pragma once

#include <cstdint>

constexpr int32_t kResamplerRingSize = 131072;
constexpr int32_t kKernelTaps = 24;
constexpr int32_t kKernelPhases = 8192;
constexpr int32_t kResamplerLookAhead = 13;

// Mono push/pull converter between two whole-number rates. Time is kept exactly in ticks of
// 1 / lcm(in, out) seconds; each output is a 24-tap Lanczos (a = 12) interpolation read from
// process-wide tables. Nothing is allocated, locked or computed with trigonometry after construction.
class RationalResampler
{
public:
    // Throws std::invalid_argument for a rate that does not truncate to a whole number from 1 to
    // 2147483647; a rate with a fractional part is truncated after one warning line on std::cerr.
    RationalResampler(float inRate, float outRate);

    // Only the first channel pointer of each list is used.
    void push(const float* const* in, uint64_t count) noexcept;
    uint64_t pop(float* const* out, uint64_t maxCount) noexcept;

    // Samples still to push before pop could yield outputCount + 1 samples.
    uint64_t inputNeeded(uint64_t outputCount) const noexcept;

    // Keeps the lead, so later outputs do not change; stops the phases from drifting out of range.
    void rebasePhases() noexcept;

    // Silences the history and keeps the timing.
    void clear() noexcept;

    // Doubled ring: slot w and slot w + kResamplerRingSize hold the same sample, so any window of
    // taps is one contiguous run.
    float fRing[2 * kResamplerRingSize];
    int32_t fWritePos;
    float fInRate;
    float fOutRate;
    int32_t fInPhase;
    int32_t fOutPhase;
    int32_t fInIncrement;
    int32_t fOutIncrement;
    int32_t fDenominator;

    static float sKernelTable[kKernelPhases + 1][kKernelTaps];
    static float sKernelDeltaTable[kKernelPhases + 1][kKernelTaps];
    static bool sKernelTablesBuilt;
};
