#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "CountingScope.h"
#include "EmbeddedModels.h"
#include "MarvixDsp.h"

namespace {

std::unique_ptr<MarvixDsp> makeEngine(double rate, float dist, bool withModels, float tone = 0.5f)
{
    // Without models every slot passes its input through, which shows the engine's own
    // alignment, band split and weighting on their own.
    auto dsp = withModels ? std::make_unique<MarvixDsp>() : std::make_unique<MarvixDsp>(nullptr, 0);
    dsp->fDistTarget = dist;
    dsp->fToneTarget = tone;
    dsp->prepare(rate);
    return dsp;
}

std::vector<float> noise(size_t count, unsigned seed, float amplitude = 0.5f)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-amplitude, amplitude);
    std::vector<float> v(count);
    for (float& s : v)
        s = dist(rng);
    return v;
}

std::vector<uint32_t> activeSlots(const MarvixDsp& dsp)
{
    std::vector<uint32_t> active;
    for (uint32_t i = 0; i < kCaptureCount; ++i)
        if (dsp.fSlots[i].active)
            active.push_back(i);
    return active;
}

} // namespace

TEST(MarvixDsp, AlignmentCoefficients)
{
    const float frac066[] = { 0.009733529f, -0.0779855f, 0.3922907f, 0.7615055f, -0.09660891f, 0.01106461f };
    const float frac02[] = { 0.008063994f, -0.07391996f, 0.8870401f, 0.2217598f, -0.04927996f, 0.006335995f };
    const float frac0[] = { 0, 0, 1, 0, 0, 0 };
    const struct { uint32_t slot; int32_t delayInt; const float* lagrange; } cases[] = {
        { 0, 5, frac02 }, { 1, 0, frac0 }, { 2, 0, frac066 }, { 3, 0, frac066 }, { 4, 3, nullptr }, { 5, 4, frac066 },
    };
    const MarvixDsp dsp;
    for (const auto& c : cases)
    {
        const ModelSlot& slot = dsp.fSlots[c.slot];
        EXPECT_EQ(slot.delayInt, c.delayInt) << "slot " << c.slot;
        float sum = 0.0f;
        for (uint32_t k = 0; k < kLagrangeTaps; ++k)
        {
            sum += slot.lagrange[k];
            if (c.lagrange != nullptr)
            {
                EXPECT_NEAR(slot.lagrange[k], c.lagrange[k], 1e-8f + std::fabs(c.lagrange[k]) * 1e-6f)
                    << "slot " << c.slot << " tap " << k;
            }
        }
        EXPECT_NEAR(sum, 1.0f, 1e-6f) << "slot " << c.slot;
        EXPECT_LT(slot.delayInt + 5, static_cast<int32_t>(kDelayLineSize));
    }
}

// Resting on a capture position gives that capture alone with equal weights of 1, so an
// impulse comes out as the capture's interpolation taps, delayInt + 2 + frac samples late.
TEST(MarvixDsp, ImpulseAppearsAtEachCapturesAlignmentDelay)
{
    auto dsp = makeEngine(48000.0, 1.0f, false);
    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        SCOPED_TRACE("slot " + std::to_string(i));
        dsp->fDistTarget = kCaptureSpecs[i].position;
        dsp->prepare(48000.0);
        float block[64] = { 1.0f };
        dsp->process(block, block, 64);
        const ModelSlot& slot = dsp->fSlots[i];
        for (int s = 0; s < 64; ++s)
        {
            const int tap = s - slot.delayInt;
            const float expected = tap >= 0 && tap < static_cast<int>(kLagrangeTaps) ? slot.lagrange[tap] : 0.0f;
            EXPECT_NEAR(block[s], expected, 2e-6f) << "sample " << s;
        }
        EXPECT_EQ(activeSlots(*dsp), std::vector<uint32_t>({ i }));
    }
    // Slot 1 has no fractional part: a clean two-sample delay.
    dsp->fDistTarget = 0.35f;
    dsp->prepare(48000.0);
    const std::vector<float> in = noise(256, 3);
    std::vector<float> out(256);
    dsp->process(in.data(), out.data(), 256);
    for (size_t s = 2; s < out.size(); ++s)
        ASSERT_NEAR(out[s], in[s - 2], 2e-6f) << "sample " << s;
}

// Where linear and power weights are equal (the quadratic region below 0.2), the band split
// must add back to weight x aligned signal whatever the spectrum.
TEST(MarvixDsp, EqualBandWeightsAddWeightTimesAlignedSignal)
{
    auto dsp = makeEngine(48000.0, 0.1f, false);
    const ModelSlot& slot = dsp->fSlots[0];
    const std::vector<float> in = noise(2048, 11, 0.9f);
    std::vector<float> out(in.size());
    dsp->process(in.data(), out.data(), static_cast<uint32_t>(in.size()));
    for (size_t s = 0; s < in.size(); ++s)
    {
        float aligned = 0.0f;
        for (uint32_t k = 0; k < kLagrangeTaps; ++k)
        {
            const long index = static_cast<long>(s) - slot.delayInt - static_cast<long>(k);
            aligned += slot.lagrange[k] * (index >= 0 ? in[static_cast<size_t>(index)] : 0.0f);
        }
        ASSERT_NEAR(out[s], 0.25f * aligned, 1e-6f) << "sample " << s;
    }
}

TEST(MarvixDsp, DistGlideLandsOnTargetAtTheExpectedBlock)
{
    const struct { uint32_t block; int landsAt; } cases[] = { { 2048, 11 }, { 512, 43 }, { 64, 338 } };
    for (const auto& c : cases)
    {
        auto dsp = makeEngine(48000.0, 1.0f, false);
        dsp->fDistTarget = 0.2f;
        std::vector<float> block(c.block, 0.0f);
        int blocks = 0;
        while (dsp->fDistSmoothed != 0.2f && blocks < 1000)
        {
            dsp->process(block.data(), block.data(), c.block);
            ++blocks;
        }
        EXPECT_EQ(blocks, c.landsAt) << "blocks of " << c.block;
        const double ms = 1000.0 * blocks * c.block / 48000.0;
        EXPECT_GT(ms, 440.0);
        EXPECT_LT(ms, 475.0);
    }
}

// While Dist rests at most two models run; while it moves, every capture of the start, end
// and target weights runs, including the target's capture before it has any weight (pre-roll).
TEST(MarvixDsp, SlotsThatRunWhileDistRestsAndMoves)
{
    const struct { float from; float to; uint32_t block; std::vector<uint32_t> running; } cases[] = {
        { 0.6f, 0.6f, 512, { 2, 3 } },
        { 0.75f, 0.75f, 512, { 3, 4 } },
        { 0.5f, 0.5f, 512, { 2 } },
        { 0.8f, 0.8f, 512, { 4 } },
        { 1.0f, 1.0f, 512, { 5 } },
        { 0.2f, 0.2f, 512, { 0 } },
        { 0.05f, 0.05f, 512, { 0 } },
        { 1.0f, 0.2f, 2048, { 0, 2, 3, 5 } },
        { 1.0f, 0.2f, 64, { 0, 4, 5 } },
        { 0.2f, 1.0f, 64, { 0, 1, 5 } },
    };
    auto dsp = makeEngine(48000.0, 1.0f, false);
    for (const auto& c : cases)
    {
        dsp->fDistTarget = c.from;
        dsp->prepare(48000.0);
        dsp->fDistTarget = c.to;
        std::vector<float> block(c.block, 0.1f);
        dsp->process(block.data(), block.data(), c.block);
        EXPECT_EQ(activeSlots(*dsp), c.running) << c.from << " -> " << c.to << " in blocks of " << c.block;
    }

    // The pre-rolled capture runs while its own weights are still 0 in this block.
    CaptureWeights start, end;
    MarvixDsp::computeCaptureWeights(1.0f, start);
    MarvixDsp::computeCaptureWeights(0.2f + 0.8f * std::exp(2048.0f * -0.00041666668f), end);
    EXPECT_EQ(start.linear[0], 0.0f);
    EXPECT_EQ(end.linear[0], 0.0f);
}

// A skipped capture keeps its model's state; when it comes back its ring and low-pass start
// from silence. A reference runner fed only the blocks the slot ran in shows the model state.
TEST(MarvixDsp, ReturningSlotStartsFromSilentRingWithModelStateKept)
{
    auto dsp = makeEngine(48000.0, 0.35f, true);
    ModelRunner reference;
    ASSERT_TRUE(reference.load(kEmbeddedModels[1].json, kEmbeddedModels[1].length));
    reference.prepare(48000.0, kMaxModelBlock);

    const uint32_t kBlock = 16;
    std::vector<float> in = noise(kBlock, 5), out(kBlock), refOut(kBlock);
    auto runBlock = [&]() {
        in = noise(kBlock, static_cast<unsigned>(in[0] * 1e6f) + 1);
        dsp->process(in.data(), out.data(), kBlock);
        if (dsp->fSlots[1].active)
            reference.process(in.data(), refOut.data(), kBlock);
    };

    for (int i = 0; i < 20; ++i)
        runBlock();
    dsp->fDistTarget = 1.0f;
    int guard = 0;
    while (dsp->fDistSmoothed != 1.0f && ++guard < 10000)
        runBlock();
    ASSERT_FALSE(dsp->fSlots[1].active);
    // The ring still holds the old output while the slot rests.
    float restingEnergy = 0.0f;
    for (float s : dsp->fSlots[1].delayLine)
        restingEnergy += s * s;
    ASSERT_GT(restingEnergy, 0.0f);

    dsp->fDistTarget = 0.35f;
    runBlock();
    const ModelSlot& slot = dsp->fSlots[1];
    ASSERT_TRUE(slot.active);
    // The last kBlock entries written are this block's model output; the rest were cleared.
    for (uint32_t age = 0; age < kDelayLineSize; ++age)
    {
        const float entry = slot.delayLine[(slot.writePos - 1 - age) & (kDelayLineSize - 1)];
        EXPECT_EQ(entry, age < kBlock ? refOut[kBlock - 1 - age] : 0.0f) << "age " << age;
    }

    // A reset model would have answered differently: the kept state matters.
    ModelRunner fresh;
    fresh.load(kEmbeddedModels[1].json, kEmbeddedModels[1].length);
    fresh.prepare(48000.0, kMaxModelBlock);
    std::vector<float> freshOut(kBlock);
    fresh.process(in.data(), freshOut.data(), kBlock);
    EXPECT_NE(freshOut, refOut);
}

TEST(MarvixDsp, EmptyRenderChangesNothing)
{
    auto dsp = makeEngine(48000.0, 0.3f, true, 0.2f);
    std::vector<float> block = noise(300, 9);
    dsp->process(block.data(), block.data(), 300);
    dsp->fDistTarget = 0.9f;
    dsp->fToneTarget = 0.8f;

    const float distBefore = dsp->fDistSmoothed, toneBefore = dsp->fToneSmoothed;
    const ToneFilter filterBefore = dsp->fTone;
    std::vector<ModelSlot> slotsBefore(kCaptureCount);
    auto copySlotState = [](const ModelSlot& from, ModelSlot& to) {
        std::memcpy(to.delayLine, from.delayLine, sizeof(to.delayLine));
        to.writePos = from.writePos;
        to.crossoverState = from.crossoverState;
        to.active = from.active;
    };
    for (uint32_t i = 0; i < kCaptureCount; ++i)
        copySlotState(dsp->fSlots[i], slotsBefore[i]);

    float sentinel[4] = { 5, 6, 7, 8 };
    dsp->renderAtModelRate(block.data(), sentinel, 0);

    EXPECT_EQ(dsp->fDistSmoothed, distBefore);
    EXPECT_EQ(dsp->fToneSmoothed, toneBefore);
    EXPECT_EQ(std::memcmp(&dsp->fTone, &filterBefore, sizeof(ToneFilter)), 0);
    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        const ModelSlot& slot = dsp->fSlots[i];
        EXPECT_EQ(std::memcmp(slot.delayLine, slotsBefore[i].delayLine, sizeof(slot.delayLine)), 0) << i;
        EXPECT_EQ(slot.writePos, slotsBefore[i].writePos) << i;
        EXPECT_EQ(slot.crossoverState, slotsBefore[i].crossoverState) << i;
        EXPECT_EQ(slot.active, slotsBefore[i].active) << i;
    }
    EXPECT_EQ(sentinel[0], 5.0f);
}

// The input is taken before the output is written, at the render rate and when resampling.
TEST(MarvixDsp, InPlaceProcessingMatchesSeparateBuffers)
{
    for (double rate : { 48000.0, 44100.0 })
    {
        auto separate = makeEngine(rate, 0.4f, true, 0.3f);
        auto inPlace = makeEngine(rate, 0.4f, true, 0.3f);
        separate->fDistTarget = inPlace->fDistTarget = 0.9f;
        separate->fToneTarget = inPlace->fToneTarget = 0.7f;
        const std::vector<float> in = noise(6000, 21);
        std::vector<float> out(in.size()), shared = in;
        size_t pos = 0;
        for (uint32_t n : { 1u, 2048u, 333u, 64u, 2048u, 1000u, 7u })
        {
            separate->process(in.data() + pos, out.data() + pos, n);
            inPlace->process(shared.data() + pos, shared.data() + pos, n);
            pos += n;
        }
        EXPECT_EQ(std::memcmp(out.data(), shared.data(), pos * sizeof(float)), 0) << "rate " << rate;
    }
}

// Within 1 Hz of 48 kHz there is no resampling: no latency, and each call renders its chunk once.
TEST(MarvixDsp, LatencyAndPassThroughNearRenderRate)
{
    const struct { double rate; uint32_t latency; } cases[] = {
        { 47999.0, 0 }, { 48000.0, 0 }, { 48001.0, 0 }, { 44100.0, 27 }, { 96000.0, 42 },
    };
    auto dsp = makeEngine(48000.0, 1.0f, false);
    for (const auto& c : cases)
    {
        dsp->fDistTarget = 1.0f;
        dsp->prepare(c.rate);
        EXPECT_EQ(dsp->getLatency(), c.latency) << c.rate;
        EXPECT_EQ(dsp->fRateAdapter.fLatency, c.latency) << c.rate;
        if (c.latency != 0)
            continue;
        dsp->fDistTarget = 0.2f;
        std::vector<float> block(512, 0.0f);
        dsp->process(block.data(), block.data(), 512);
        EXPECT_EQ(dsp->fDistSmoothed, 0.2f + 0.8f * std::exp(512.0f * -0.00041666668f)) << c.rate;
    }
}

// Hosts and validators use rates far from 48 kHz: every model-rate block must stay within
// the engine's buffers and the output must stay finite.
TEST(MarvixDsp, EveryHostRateFromOneKilohertzStaysFiniteAndInBounds)
{
    const double rates[] = { 1000, 2000, 4000, 8000, 11025, 11999, 12000, 16000, 22050, 32000,
                             44100, 48000, 88200, 96000, 176400, 192000, 384000, 705600, 768000 };
    auto dsp = makeEngine(48000.0, 0.5f, true);
    for (double rate : rates)
    {
        SCOPED_TRACE("rate " + std::to_string(rate));
        const uint32_t piece = MarvixDsp::maxHostPiece(rate);
        EXPECT_GE(piece, 1u);
        if (rate >= 12000.0)
        {
            EXPECT_EQ(piece, kMaxHostBlock);
        }
        EXPECT_LE(std::ceil(piece / (rate / 48000.0)), static_cast<double>(kMaxModelBlock));
        EXPECT_GT(std::ceil((piece + 1) / (rate / 48000.0)), piece < kMaxHostBlock ? 8192.0 : 0.0);

        dsp->fDistTarget = 0.3f;
        dsp->prepare(rate);
        EXPECT_EQ(dsp->fMaxHostPiece, piece);
        // Every callback block the adapter forms is bounded by its prepared model-rate size.
        if (dsp->fRateAdapter.fCore)
        {
            EXPECT_LE(dsp->fRateAdapter.fCore->fMaxModelBlock, static_cast<int32_t>(kMaxModelBlock));
        }
        dsp->fDistTarget = 0.95f;
        const std::vector<float> in = noise(2048, 4, 0.8f);
        std::vector<float> out(2048, 0.0f);
        for (uint32_t n : { 2048u, 1u, 7u })
        {
            dsp->process(in.data(), out.data(), n);
            for (uint32_t s = 0; s < n; ++s)
                ASSERT_TRUE(std::isfinite(out[s])) << "sample " << s << " of " << n;
        }
    }
}

TEST(MarvixDsp, ProcessAllocatesNothing)
{
    auto dsp = makeEngine(48000.0, 0.3f, true, 0.1f);
    const std::vector<float> in = noise(2048, 8);
    std::vector<float> out(2048);
    for (double rate : { 48000.0, 44100.0, 96000.0, 8000.0 })
    {
        dsp->fDistTarget = 0.3f;
        dsp->fToneTarget = 0.1f;
        dsp->prepare(rate);
        dsp->fDistTarget = 0.85f;
        dsp->fToneTarget = 0.9f;
        CountingScope scope;
        for (uint32_t n : { 2048u, 1u, 512u, 64u, 2048u, 17u })
            dsp->process(in.data(), out.data(), n);
        EXPECT_EQ(scope.allocations(), 0) << "rate " << rate;
    }
}

// Callers keep to 1..2048 frames, but a stray call must neither overrun the host buffer nor
// touch anything: an empty call does nothing, a long one runs as consecutive chunks.
TEST(MarvixDsp, EmptyAndOversizedCallsAreSafe)
{
    for (double rate : { 48000.0, 44100.0 })
    {
        auto whole = makeEngine(rate, 0.6f, true);
        auto chunked = makeEngine(rate, 0.6f, true);
        whole->fDistTarget = chunked->fDistTarget = 0.3f;
        const std::vector<float> in = noise(5000, 17);
        std::vector<float> a(5000, 9.0f), b(5000);

        whole->process(in.data(), a.data(), 0);
        EXPECT_EQ(a[0], 9.0f);
        EXPECT_EQ(whole->fDistSmoothed, 0.6f);

        whole->process(in.data(), a.data(), 5000);
        chunked->process(in.data(), b.data(), 2048);
        chunked->process(in.data() + 2048, b.data() + 2048, 2048);
        chunked->process(in.data() + 4096, b.data() + 4096, 904);
        EXPECT_EQ(a, b) << "rate " << rate;
    }
}

// An input far beyond full scale drives the models past the float range. The block that shows
// it comes out silent, and every state the block reached starts again from silence, so from
// the next block on the engine sounds exactly like a freshly prepared one. At 44.1 kHz the
// resamplers' short memory lies in between; there the sound is back within a few blocks.
TEST(MarvixDsp, BlockDrivenPastTheFloatRangeIsDroppedAndItsStatesCleared)
{
    const std::vector<std::vector<float>> spikes = {
        { 1e38f }, { 3.4e38f }, { -3.4e38f }, { 3.4e38f, -3.4e38f, 3.4e38f, -3.4e38f },
    };
    const uint32_t kBlock = 128;
    for (const std::vector<float>& spike : spikes)
    {
        SCOPED_TRACE(spike.front());
        // Dist between two captures and a Tone off the middle: two models and both biquads work.
        auto dsp = makeEngine(48000.0, 0.6f, true, 0.2f);
        auto fresh = makeEngine(48000.0, 0.6f, true, 0.2f);
        const std::vector<float> before = noise(3 * kBlock, 31), after = noise(20 * kBlock, 32);
        std::vector<float> out(before.size()), hit = noise(kBlock, 33);
        std::copy(spike.begin(), spike.end(), hit.begin() + 40);

        dsp->process(before.data(), out.data(), static_cast<uint32_t>(before.size()));
        CountingScope scope;
        dsp->process(hit.data(), hit.data(), kBlock);
        scope.stop();
        EXPECT_EQ(scope.allocations(), 0);
        EXPECT_EQ(scope.locks(), 0);
        for (float s : hit)
            ASSERT_EQ(s, 0.0f);

        std::vector<float> a(after.size()), b(after.size());
        for (uint32_t pos = 0; pos < after.size(); pos += kBlock)
        {
            dsp->process(after.data() + pos, a.data() + pos, kBlock);
            fresh->process(after.data() + pos, b.data() + pos, kBlock);
        }
        EXPECT_EQ(a, b);
        EXPECT_EQ(activeSlots(*dsp), std::vector<uint32_t>({ 2, 3 }));
    }

    // Through the rate adapter: finite throughout and sounding again three blocks on.
    auto dsp = makeEngine(44100.0, 0.6f, true, 0.2f);
    std::vector<float> in = noise(44100, 34);
    in[11025] = 3.4e38f;
    std::vector<float> out(in.size());
    for (uint32_t pos = 0; pos < in.size(); pos += kBlock)
    {
        const uint32_t n = std::min<uint32_t>(kBlock, static_cast<uint32_t>(in.size()) - pos);
        dsp->process(in.data() + pos, out.data() + pos, n);
    }
    for (float s : out)
        ASSERT_TRUE(std::isfinite(s));
    float later = 0.0f;
    for (size_t i = 11025 + 3 * kBlock; i < 11025 + 4 * kBlock; ++i)
        later = std::max(later, std::fabs(out[i]));
    EXPECT_GT(later, 0.05f);
}

// A NaN target (from a misbehaving host) plays as the lowest setting and must not stick:
// once the target is a number again the smoothed value snaps to it.
TEST(MarvixDsp, NaNTargetsRecover)
{
    auto dsp = makeEngine(48000.0, 0.5f, true);
    std::vector<float> block = noise(512, 2);
    dsp->fDistTarget = std::nanf("");
    dsp->fToneTarget = std::nanf("");
    for (int i = 0; i < 4; ++i)
        dsp->process(block.data(), block.data(), 512);
    EXPECT_EQ(activeSlots(*dsp), std::vector<uint32_t>({ 0 }));

    dsp->fDistTarget = 0.7f;
    dsp->fToneTarget = 0.4f;
    for (int i = 0; i < 4; ++i)
    {
        block = noise(512, 3 + i);
        dsp->process(block.data(), block.data(), 512);
    }
    EXPECT_EQ(dsp->fDistSmoothed, 0.7f);
    EXPECT_EQ(dsp->fToneSmoothed, 0.4f);
    EXPECT_EQ(dsp->fTone.tone, static_cast<double>(0.4f));
    EXPECT_EQ(activeSlots(*dsp), std::vector<uint32_t>({ 3 }));
    for (float s : block)
        ASSERT_TRUE(std::isfinite(s));
}
