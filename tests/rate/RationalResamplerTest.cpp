#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <thread>
#include <vector>

#include "RateTestSupport.h"
#include "RationalResampler.h"

namespace
{
using Table = float[kKernelPhases + 1][kKernelTaps];

struct RatePair
{
    float in;
    float out;
};

// Pairs met by the rate adapter in both directions, plus one with a huge tick count.
const RatePair kPairs[] = {{44100, 48000}, {48000, 44100}, {22050, 48000}, {48000, 22050},
                           {96000, 48000}, {48000, 192000}, {47999, 48000}};

std::unique_ptr<RationalResampler> make(RatePair p)
{
    return std::make_unique<RationalResampler>(p.in, p.out);
}

void push(RationalResampler& r, const float* samples, uint64_t count)
{
    const float* list[1] = {samples};
    r.push(list, count);
}

uint64_t pop(RationalResampler& r, float* samples, uint64_t maxCount)
{
    float* list[1] = {samples};
    return r.pop(list, maxCount);
}

// Where output j of a resampler that has never been rebased sits, in input sample periods.
double outputInstant(const RationalResampler& r, uint64_t j)
{
    return double(j) * double(r.fOutIncrement) / double(r.fInIncrement) - 1.0;
}
} // namespace

TEST(RationalResampler, KernelTables)
{
    RationalResampler first(44100, 48000);
    ASSERT_TRUE(RationalResampler::sKernelTablesBuilt);
    const Table& table = RationalResampler::sKernelTable;
    const Table& delta = RationalResampler::sKernelDeltaTable;

    // The two centre taps are exactly 1; no entry exceeds it.
    for (int t = 0; t <= kKernelPhases; ++t)
        for (int c = 0; c < kKernelTaps; ++c)
            ASSERT_LE(table[t][c], 1.0f) << t << "," << c;
    EXPECT_EQ(table[0][12], 1.0f);
    EXPECT_EQ(table[kKernelPhases][11], 1.0f);

    // The last row is the first one moved by a whole tap.
    for (int c = 0; c + 1 < kKernelTaps; ++c)
        EXPECT_EQ(table[kKernelPhases][c], table[0][c + 1]) << c;

    // Not normalised: the sums stay near 1 and peak at the half-sample row (up to float rounding).
    double lowest = 2.0, highest = 0.0, half = 0.0;
    for (int t = 0; t <= kKernelPhases; ++t)
    {
        double sum = 0.0;
        for (int c = 0; c < kKernelTaps; ++c)
            sum += table[t][c];
        lowest = std::min(lowest, sum);
        highest = std::max(highest, sum);
        if (t == kKernelPhases / 2)
            half = sum;
    }
    EXPECT_GE(lowest, 0.9999999);
    EXPECT_LE(highest, 1.0001);
    EXPECT_GT(half, 1.00001);
    EXPECT_NEAR(half, highest, 1e-7);

    for (int t = 0; t <= kKernelPhases; ++t)
        for (int c = 0; c < kKernelTaps; ++c)
        {
            const float expected = t < kKernelPhases ? table[t + 1][c] - table[t][c] : delta[0][c];
            ASSERT_EQ(delta[t][c], expected) << t << "," << c;
        }
}

TEST(RationalResampler, ConcurrentFirstConstructionsSeeCompleteTables)
{
    // Meaningful when this is the first construction in the process, as under ctest.
    constexpr int kThreads = 4;
    constexpr int kSamples = 400;
    std::vector<float> input(kSamples);
    for (int i = 0; i < kSamples; ++i)
        input[i] = float(std::sin(0.05 * i));

    std::atomic<int> ready{0};
    std::vector<std::vector<float>> outputs(kThreads, std::vector<float>(kSamples * 2));
    std::vector<std::thread> threads;
    for (int k = 0; k < kThreads; ++k)
        threads.emplace_back([&, k] {
            ready.fetch_add(1);
            while (ready.load() < kThreads)
            {
            }
            auto r = std::make_unique<RationalResampler>(44100, 48000);
            push(*r, input.data(), kSamples);
            outputs[k].resize(pop(*r, outputs[k].data(), kSamples * 2));
        });
    for (auto& t : threads)
        t.join();

    RationalResampler reference(44100, 48000);
    std::vector<float> expected(kSamples * 2);
    push(reference, input.data(), kSamples);
    expected.resize(pop(reference, expected.data(), kSamples * 2));
    for (const auto& out : outputs)
        EXPECT_EQ(out, expected);
}

TEST(RationalResampler, IncrementsFromTheGreatestCommonDivisor)
{
    const struct
    {
        RatePair rates;
        int32_t inIncrement, outIncrement;
    } cases[] = {{{44100, 48000}, 160, 147}, {{48000, 44100}, 147, 160}, {{96000, 48000}, 1, 2}, {{48000, 48000}, 1, 1}};
    for (const auto& c : cases)
    {
        auto r = make(c.rates);
        EXPECT_EQ(r->fInIncrement, c.inIncrement) << c.rates.in;
        EXPECT_EQ(r->fDenominator, c.inIncrement);
        EXPECT_EQ(r->fOutIncrement, c.outIncrement);
    }
}

TEST(RationalResampler, FreshInstanceYieldsOnlyBeyondTheLookAhead)
{
    auto r = make({44100, 48000});
    float in[14] = {};
    float out[16];
    push(*r, in, 13);
    EXPECT_EQ(pop(*r, out, 16), 0u);
    push(*r, in + 13, 1);
    EXPECT_EQ(pop(*r, out, 16), 2u);  // leads 2240 and 2093 exceed 2080, 1946 does not
}

TEST(RationalResampler, EqualRatesDelayByOneSample)
{
    auto r = make({48000, 48000});
    constexpr int kN = 40;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    float in[kN];
    for (float& v : in)
        v = dist(rng);
    push(*r, in, kN);

    float out[kN];
    ASSERT_EQ(pop(*r, out, kN), uint64_t(kN - 13));
    EXPECT_NEAR(out[0], 0.0f, 1e-15f);  // the silent slot before the first input
    for (int j = 1; j < kN - 13; ++j)
        EXPECT_NEAR(out[j], in[j - 1], 1e-7f) << j;
}

TEST(RationalResampler, PopAndPushOfNothingChangeNothing)
{
    auto r = make({44100, 48000});
    float in[20] = {1.0f};
    float out[4] = {};
    push(*r, in, 20);
    const int32_t writePos = r->fWritePos, inPhase = r->fInPhase, outPhase = r->fOutPhase;
    EXPECT_EQ(pop(*r, out, 0), 0u);
    push(*r, in, 0);
    EXPECT_EQ(r->fWritePos, writePos);
    EXPECT_EQ(r->fInPhase, inPhase);
    EXPECT_EQ(r->fOutPhase, outPhase);
}

TEST(RationalResampler, ConstantInputStaysFlatAtEverySubSamplePosition)
{
    std::vector<float> ones(600, 1.0f);
    std::vector<float> out(2000);
    for (const RatePair& p : kPairs)
    {
        auto r = make(p);
        uint64_t index = 0;
        for (int block = 0; block < 12; ++block)
        {
            push(*r, ones.data(), ones.size());
            const uint64_t got = pop(*r, out.data(), out.size());
            for (uint64_t j = 0; j < got; ++j, ++index)
            {
                if (outputInstant(*r, index) >= 12.0)  // whole window filled
                {
                    ASSERT_NEAR(out[j], 1.0f, 1e-4f) << p.in << "->" << p.out << " output " << index;
                }
            }
        }
    }
}

// Band-limited tones pushed across the ring's wrap in random blocks: every output is the input at
// its exact instant, also where the read position is negative or the window starts near slot 0.
// The kernel is not normalised and ripples by about 5e-4 in its passband, hence the tolerance.
TEST(RationalResampler, OutputIsTheInputAtItsInstantAcrossTheRingWrap)
{
    for (const RatePair& p : kPairs)
    {
        auto r = make(p);
        const ToneMix tones(0.3 * std::min(p.in, p.out) / p.in);
        std::mt19937 rng(11);
        std::uniform_int_distribution<int> blockSize(1, 700);
        std::vector<float> in(700), out(3000);
        uint64_t pushed = 0, popped = 0;
        bool sawNegative = false, sawLowWindow = false;
        double worst = 0.0;

        while (pushed < uint64_t(kResamplerRingSize) + 9000)
        {
            const int n = blockSize(rng);
            for (int i = 0; i < n; ++i)
                in[i] = float(tones.at(double(pushed + i)));
            push(*r, in.data(), n);
            pushed += n;

            const int32_t lead = int32_t(uint32_t(r->fInPhase) - uint32_t(r->fOutPhase));
            const double position = r->fWritePos - double(lead) / r->fDenominator;
            sawNegative |= position < 0.0;
            sawLowWindow |= (int32_t(std::floor(position)) & (kResamplerRingSize - 1)) <= 12;

            const uint64_t got = pop(*r, out.data(), out.size());
            for (uint64_t j = 0; j < got; ++j, ++popped)
            {
                const double t = outputInstant(*r, popped);
                if (t >= 12.0)
                    worst = std::max(worst, std::fabs(out[j] - tones.at(t)));
            }
        }
        EXPECT_TRUE(sawNegative) << p.in << "->" << p.out;
        EXPECT_TRUE(sawLowWindow) << p.in << "->" << p.out;
        EXPECT_LT(worst, 1e-3) << p.in << "->" << p.out;
    }
}

TEST(RationalResampler, RebaseLeavesOutputsUnchangedAndClearKeepsTheTiming)
{
    auto plain = make({44100, 48000});
    auto rebased = make({44100, 48000});
    auto cleared = make({44100, 48000});
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> blockSize(1, 300);
    std::vector<float> in(300), a(400), b(400), c(400);
    uint64_t pushed = 0, popped = 0, clearedBefore = 0;
    bool comparedAfterClear = false;

    for (int step = 0; step < 200; ++step)
    {
        const int n = blockSize(rng);
        for (int i = 0; i < n; ++i)
            in[i] = float(std::sin(0.01 * double(pushed + i)));
        push(*plain, in.data(), n);
        push(*rebased, in.data(), n);
        push(*cleared, in.data(), n);
        pushed += n;
        if (step == 100)
        {
            cleared->clear();
            clearedBefore = pushed;
        }

        const uint64_t na = pop(*plain, a.data(), a.size());
        const uint64_t nb = pop(*rebased, b.data(), b.size());
        const uint64_t nc = pop(*cleared, c.data(), c.size());
        rebased->rebasePhases();
        ASSERT_EQ(nb, na);
        ASSERT_EQ(nc, na);
        EXPECT_EQ(rebased->fOutPhase, 0);
        for (uint64_t j = 0; j < na; ++j, ++popped)
        {
            ASSERT_EQ(b[j], a[j]) << step;
            if (step == 100)
            {
                ASSERT_EQ(c[j], 0.0f);
            }
            // Once the window holds only new input the cleared one agrees again.
            if (clearedBefore > 0 && outputInstant(*plain, popped) >= double(clearedBefore) + 12.0)
            {
                ASSERT_EQ(c[j], a[j]) << step;
                comparedAfterClear = true;
            }
        }
    }
    EXPECT_TRUE(comparedAfterClear);
}

TEST(RationalResampler, InputNeededOfOneIsZeroExactlyWhenTwoOutputsAreReady)
{
    std::vector<float> in(64, 0.5f), out(256);
    for (const RatePair& p : kPairs)
    {
        auto r = make(p);
        std::mt19937 rng(5);
        std::uniform_int_distribution<int> blockSize(0, 40);
        for (int step = 0; step < 3000; ++step)
        {
            push(*r, in.data(), blockSize(rng));
            const bool ready = r->inputNeeded(1) == 0;
            ASSERT_EQ(ready, pop(*r, out.data(), 2) == 2) << p.in << "->" << p.out << " step " << step;
            if (step % 7 == 0)
                r->rebasePhases();
        }
    }
}

TEST(RationalResampler, InputNeededIsTheSmallestSufficientPush)
{
    std::vector<float> in(4096, 0.25f), out(4096);
    for (const RatePair& p : kPairs)
        for (const uint64_t ahead : {0u, 5u, 37u})
            for (const uint64_t count : {0u, 1u, 15u, 300u})
            {
                auto r = make(p);
                push(*r, in.data(), ahead);
                const uint64_t m = r->inputNeeded(count);

                auto enough = std::make_unique<RationalResampler>(*r);
                push(*enough, in.data(), m);
                EXPECT_EQ(pop(*enough, out.data(), count + 1), count + 1) << p.in << "->" << p.out;
                if (m > 0)
                {
                    auto shortOne = std::make_unique<RationalResampler>(*r);
                    push(*shortOne, in.data(), m - 1);
                    EXPECT_LE(pop(*shortOne, out.data(), count + 1), count) << p.in << "->" << p.out;
                }
            }
}

TEST(RationalResampler, FractionalRatesWarnOnceEachAndAreTruncated)
{
    const struct
    {
        RatePair rates;
        RatePair whole;
        const char* text;
    } cases[] = {
        {{44100.5f, 48000}, {44100, 48000}, "Expected long-like sample rate; got 44100.5 instead! Truncating...\n"},
        {{48000, 47998.5f}, {48000, 47998}, "Expected long-like sample rate; got 47998.5 instead! Truncating...\n"},
        {{22050.25f, 48000.75f},
         {22050, 48000},
         "Expected long-like sample rate; got 22050.2 instead! Truncating...\n"
         "Expected long-like sample rate; got 48000.8 instead! Truncating...\n"},
        {{48000, 48000}, {48000, 48000}, ""},
    };
    for (const auto& c : cases)
    {
        std::unique_ptr<RationalResampler> r;
        {
            CerrCapture capture;
            r = make(c.rates);
            EXPECT_EQ(capture.text(), c.text);
        }
        EXPECT_EQ(r->fInRate, c.rates.in);
        EXPECT_EQ(r->fOutRate, c.rates.out);
        const auto whole = make(c.whole);
        EXPECT_EQ(r->fInIncrement, whole->fInIncrement);
        EXPECT_EQ(r->fOutIncrement, whole->fOutIncrement);
        EXPECT_EQ(r->fDenominator, whole->fDenominator);
    }
}

TEST(RationalResampler, RatesThatAreNotPositiveWholeNumbersAreRefused)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const RatePair cases[] = {{0.5f, 48000}, {48000, 0}, {-44100, 48000}, {nan, 48000}, {48000, inf}, {3e9f, 48000}};
    for (const RatePair& p : cases)
        EXPECT_THROW(make(p), std::invalid_argument) << p.in << "->" << p.out;
}
