#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "RateAdapter.h"
#include "RateTestSupport.h"

namespace
{
using Callback = std::function<void(const float*, float*, unsigned int)>;

// Identity at the render rate that remembers the size of every block it was given.
struct RecordingIdentity
{
    std::vector<unsigned int> counts;

    Callback callback()
    {
        return [this](const float* in, float* out, unsigned int n) {
            counts.push_back(n);
            std::copy(in, in + n, out);
        };
    }
};

uint64_t primedForDown(const RateAdapterCore& core)
{
    // The fresh down resampler was given exactly k samples and has not been rebased since.
    return uint64_t(core.fDown->fInPhase / core.fDown->fInIncrement);
}

int32_t bound(int n, double ratio)
{
    return int32_t(std::ceil(n / ratio));
}
} // namespace

TEST(RateAdapter, PreparesTheCoreForEachHostRate)
{
    const struct
    {
        double rate;
        double ratio;
        int32_t maxModelBlock;
        uint64_t k;
        uint32_t latency;
    } cases[] = {
        {22050, 0.459375, 4459, 16, 21},
        {44100, 0.91875, 2230, 15, 27},
        {96000, 2.0, 1024, 14, 42},
        {192000, 4.0, 512, 14, 70},
    };
    for (const auto& c : cases)
    {
        RateAdapter adapter;
        adapter.reset(c.rate, 2048);
        ASSERT_TRUE(adapter.fCore) << c.rate;
        const RateAdapterCore& core = *adapter.fCore;
        EXPECT_EQ(adapter.fLatency, c.latency) << c.rate;
        EXPECT_EQ(core.fLatency, c.latency);
        EXPECT_DOUBLE_EQ(core.fRatio, c.ratio);
        EXPECT_DOUBLE_EQ(core.fInverseRatio, 48000.0 / c.rate);
        EXPECT_EQ(core.fMaxBlock, 2048);
        EXPECT_EQ(core.fMaxModelBlock, c.maxModelBlock) << c.rate;
        EXPECT_EQ(primedForDown(core), c.k) << c.rate;

        EXPECT_EQ(core.fHostBuffer.getSize(), 2048 * 4);
        EXPECT_EQ(core.fModelInBuffer.getSize(), c.maxModelBlock * 4);
        EXPECT_EQ(core.fModelOutBuffer.getSize(), c.maxModelBlock * 4);
        const GrowableBuffer* lists[] = {&core.fHostChannels, &core.fModelInChannels, &core.fModelOutChannels};
        const GrowableBuffer* buffers[] = {&core.fHostBuffer, &core.fModelInBuffer, &core.fModelOutBuffer};
        for (int i = 0; i < 3; ++i)
        {
            ASSERT_EQ(lists[i]->getSize(), int32_t(sizeof(void*)));
            EXPECT_EQ(static_cast<void**>(lists[i]->get())[0], buffers[i]->get());
        }
    }
    RateAdapter adapter;
    adapter.reset(44100, 2048);
    EXPECT_NEAR(adapter.fCore->fInverseRatio, 1.08843537414966, 1e-14);
}

TEST(RateAdapter, PassesThroughWithinOneHertzOf48k)
{
    const double passThrough[] = {48000.0, 47999.0, 48001.0, std::numeric_limits<double>::quiet_NaN()};
    float in[64] = {}, out[64] = {};
    for (double rate : passThrough)
    {
        RateAdapter adapter;
        adapter.reset(rate, 2048);
        EXPECT_FALSE(adapter.fCore) << rate;
        EXPECT_EQ(adapter.fLatency, 0u);
        int calls = 0;
        adapter.process(in, out, 64, [&](const float* i, float* o, unsigned int n) {
            ++calls;
            EXPECT_EQ(i, in);
            EXPECT_EQ(o, out);
            EXPECT_EQ(n, 64u);
        });
        EXPECT_EQ(calls, 1);
    }

    for (double rate : {47998.5, 48001.5})
    {
        RateAdapter adapter;
        CerrCapture capture;
        adapter.reset(rate, 2048);
        EXPECT_TRUE(adapter.fCore) << rate;
        // One warning from each resampler, about the host rate.
        std::ostringstream expected;
        for (int i = 0; i < 2; ++i)
            expected << "Expected long-like sample rate; got " << rate << " instead! Truncating...\n";
        EXPECT_EQ(capture.text(), expected.str());
    }
}

TEST(RateAdapter, FirstBlocksAfterResetAt44100)
{
    std::vector<float> in(2048, 0.0f), out(2048);

    // A full block asks for as much as the bound allows, 2230 samples, in one go.
    {
        RateAdapter adapter;
        adapter.reset(44100, 2048);
        RecordingIdentity identity;
        adapter.process(in.data(), out.data(), 2048, identity.callback());
        EXPECT_EQ(identity.counts, std::vector<unsigned int>({2230}));
    }
    // One-sample blocks: the first renders 2 samples (its bound), the second renders nothing.
    {
        RateAdapter adapter;
        adapter.reset(44100, 2048);
        RecordingIdentity identity;
        adapter.process(in.data(), out.data(), 1, identity.callback());
        EXPECT_EQ(identity.counts, std::vector<unsigned int>({2}));
        // Nothing to render: the output comes from what the down resampler already holds.
        CerrCapture capture;
        adapter.process(in.data(), out.data(), 1, identity.callback());
        EXPECT_EQ(identity.counts, std::vector<unsigned int>({2}));
        EXPECT_EQ(capture.text(), "");
        EXPECT_EQ(adapter.fCore->fUp->fOutPhase, 0);
        EXPECT_EQ(adapter.fCore->fDown->fOutPhase, 0);
    }
}

TEST(RateAdapter, EmptyBlockReturnsAtOnce)
{
    // Right after priming at 22050 Hz the up resampler could already yield two samples, so a loop
    // that waited for progress on an empty block would never end.
    RateAdapter adapter;
    adapter.reset(22050, 2048);
    ASSERT_EQ(adapter.fCore->fUp->inputNeeded(1), 0u);
    RecordingIdentity identity;
    float sentinel = 7.0f;
    adapter.process(&sentinel, &sentinel, 0, identity.callback());
    EXPECT_TRUE(identity.counts.empty());
    EXPECT_EQ(sentinel, 7.0f);
}

TEST(RateAdapter, OversizedBlockIsProcessedInPiecesOfTheMaximum)
{
    std::vector<float> in(5000), whole(5000), pieces(5000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = float(std::sin(0.03 * double(i)));

    RateAdapter a, b;
    a.reset(44100, 2048);
    b.reset(44100, 2048);
    RecordingIdentity ra, rb;
    a.process(in.data(), whole.data(), 5000, ra.callback());
    for (unsigned int done = 0; done < 5000; done += 2048)
        b.process(in.data() + done, pieces.data() + done, std::min(2048u, 5000u - done), rb.callback());
    EXPECT_EQ(ra.counts, rb.counts);
    EXPECT_EQ(whole, pieces);
}

// Random block sizes through an identity callback: the output is the input, delayed; every render
// block is within its bound; the model-rate total follows the ratio.
TEST(RateAdapter, IdentityRoundTripAtRandomBlockSizes)
{
    for (double rate : {22050.0, 44100.0, 88200.0, 96000.0, 192000.0})
    {
        RateAdapter adapter;
        adapter.reset(rate, 2048);
        ASSERT_TRUE(adapter.fCore);
        const double ratio = adapter.fCore->fRatio;
        // Each resampler adds one sample period of its input to the primed silence.
        const double delay = adapter.fLatency + 1.0 + ratio;
        const ToneMix tones(0.3 * std::min(rate, 48000.0) / rate);

        std::mt19937 rng{static_cast<unsigned>(rate)};
        std::uniform_int_distribution<int> blockSize(1, 2048);
        std::vector<float> in(2048), out(2048);
        RecordingIdentity identity;
        const Callback callback = identity.callback();
        uint64_t host = 0, model = 0;
        double worst = 0.0;

        CerrCapture capture;
        while (host < 200000)
        {
            const int n = blockSize(rng);
            for (int i = 0; i < n; ++i)
                in[i] = float(tones.at(double(host + i)));
            identity.counts.clear();
            adapter.process(in.data(), out.data(), unsigned(n), callback);
            for (unsigned int c : identity.counts)
            {
                ASSERT_GE(c, 1u);
                ASSERT_LE(int32_t(c), bound(n, ratio)) << rate;
                model += c;
            }
            for (int i = 0; i < n; ++i)
            {
                const double t = double(host + i) - delay;
                if (t >= 40.0)
                    worst = std::max(worst, std::fabs(out[i] - tones.at(t)));
            }
            host += n;
        }
        EXPECT_LT(worst, 2e-3) << rate;
        // Rendered samples match the ratio: the priming plus what is still held back stays small.
        EXPECT_NEAR(double(model), double(host) / ratio, 4.0) << rate;
        EXPECT_EQ(capture.text(), "") << rate;
    }
}

TEST(RateAdapter, CoreResetWithUnchangedSettingsOnlySilences)
{
    RateAdapterCore core;
    core.reset(44100, 512);
    std::vector<float> in(512, 0.75f), out(512);
    float* inList[1] = {in.data()};
    float* outList[1] = {out.data()};
    auto identity = [](float** i, float** o, int n) { std::copy(i[0], i[0] + n, o[0]); };
    for (int block = 0; block < 5; ++block)
        core.processBlock(inList, outList, 512, identity);

    const RationalResampler* up = core.fUp.get();
    const int32_t upWrite = up->fWritePos, upIn = up->fInPhase, downWrite = core.fDown->fWritePos,
                  downIn = core.fDown->fInPhase;
    core.reset(44100, 512);
    EXPECT_EQ(core.fUp.get(), up);
    EXPECT_EQ(core.fLatency, 27u);
    EXPECT_EQ(core.fUp->fWritePos, upWrite);
    EXPECT_EQ(core.fUp->fInPhase, upIn);
    EXPECT_EQ(core.fDown->fWritePos, downWrite);
    EXPECT_EQ(core.fDown->fInPhase, downIn);
    for (const RationalResampler* r : {core.fUp.get(), core.fDown.get()})
        EXPECT_EQ(std::count(r->fRing, r->fRing + 2 * kResamplerRingSize, 0.0f), 2 * kResamplerRingSize);
    const float* modelOut = static_cast<const float*>(core.fModelOutBuffer.get());
    EXPECT_EQ(std::count(modelOut, modelOut + core.fMaxModelBlock, 0.0f), core.fMaxModelBlock);
}

TEST(RateAdapter, ResetAtTheSameRateRestartsFromSilence)
{
    std::vector<float> in(3000), first(3000), second(3000);
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = float(std::sin(0.02 * double(i)));
    RecordingIdentity identity;
    const Callback callback = identity.callback();

    RateAdapter adapter;
    adapter.reset(96000, 2048);
    for (unsigned int done = 0; done < 3000; done += 1000)
        adapter.process(in.data() + done, first.data() + done, 1000, callback);
    const uint32_t latency = adapter.fLatency;

    adapter.reset(96000, 2048);
    EXPECT_EQ(adapter.fLatency, latency);
    for (unsigned int done = 0; done < 3000; done += 1000)
        adapter.process(in.data() + done, second.data() + done, 1000, callback);
    EXPECT_EQ(first, second);
}

TEST(RateAdapter, ShortOutputWarnsAndHoldsTheLastSample)
{
    RateAdapterCore core;
    core.reset(44100, 2048);
    // An unprimed down resampler cannot answer the first blocks in full.
    core.fDown = std::make_unique<RationalResampler>(48000.0f, 44100.0f);

    constexpr int kN = 5;
    float in[kN], out[kN];
    float* inList[1] = {in};
    float* outList[1] = {out};
    bool sawEmpty = false, sawPartial = false, sawFull = false;
    uint64_t host = 0;
    for (int block = 0; block < 12; ++block)
    {
        for (int i = 0; i < kN; ++i, ++host)
            in[i] = 0.5f + 0.4f * float(std::sin(0.3 * double(host)));
        std::string text;
        {
            CerrCapture capture;
            core.processBlock(inList, outList, kN, [](float** i, float** o, int n) { std::copy(i[0], i[0] + n, o[0]); });
            text = capture.text();
        }
        if (text.empty())
        {
            sawFull = true;
            continue;
        }
        int got = -1;
        for (int g = 0; g < kN && got < 0; ++g)
            if (text == "Did not yield enough samples (" + std::to_string(g)
                            + ") to provide the required output buffer (expected5)! Filling with last sample...\n")
                got = g;
        ASSERT_GE(got, 0) << text;
        const float hold = got == 0 ? 0.0f : out[got - 1];
        for (int i = got; i < kN; ++i)
            EXPECT_EQ(out[i], hold) << block;
        (got == 0 ? sawEmpty : sawPartial) = true;
    }
    EXPECT_TRUE(sawEmpty);
    EXPECT_TRUE(sawPartial);
    EXPECT_TRUE(sawFull);
}

TEST(RateAdapter, UnservableSettingsAreRefusedAndLeavePassThrough)
{
    const struct
    {
        double rate;
        uint32_t maxBlock;
        bool invalidRate;
    } cases[] = {
        {0.0, 2048, true},
        {-44100.0, 2048, true},
        {std::numeric_limits<double>::infinity(), 2048, true},
        {3e9, 2048, true},
        {44100.0, 0, false},
        {44100.0, 40000, false},
        {1000.0, 2048, false},  // the render side would need 98304 samples per block
        {192000.0, 16, false},  // priming needs 70 host samples of silence
    };
    for (const auto& c : cases)
    {
        RateAdapter adapter;
        adapter.reset(44100, 2048);
        if (c.invalidRate)
        {
            EXPECT_THROW(adapter.reset(c.rate, c.maxBlock), std::invalid_argument) << c.rate;
        }
        else
        {
            EXPECT_THROW(adapter.reset(c.rate, c.maxBlock), std::runtime_error) << c.rate << " " << c.maxBlock;
        }
        EXPECT_FALSE(adapter.fCore);
        EXPECT_EQ(adapter.fLatency, 0u);

        float in[8] = {}, out[8];
        int calls = 0;
        adapter.process(in, out, 8, [&](const float*, float*, unsigned int n) {
            ++calls;
            EXPECT_EQ(n, 8u);
        });
        EXPECT_EQ(calls, 1);
    }
}

TEST(RateAdapter, CoreWithoutAFinishedResetAnswersWithSilence)
{
    RateAdapterCore never;
    RateAdapterCore failed;
    failed.reset(96000, 2048);
    EXPECT_THROW(failed.reset(192000, 16), std::runtime_error);  // priming needs 70 samples
    for (RateAdapterCore* core : {&never, &failed})
    {
        float in[16], out[16];
        std::fill(in, in + 16, 0.5f);
        std::fill(out, out + 16, 9.0f);
        float* inList[1] = {in};
        float* outList[1] = {out};
        int calls = 0;
        core->processBlock(inList, outList, 16, [&](float**, float**, int) { ++calls; });
        EXPECT_EQ(calls, 0);
        EXPECT_EQ(std::count(out, out + 16, 0.0f), 16);
        core->clear();
    }
}

TEST(RateAdapter, EmptyCallbackRaisesBadFunctionCall)
{
    float in[16] = {}, out[16];
    for (double rate : {48000.0, 44100.0})
    {
        RateAdapter adapter;
        adapter.reset(rate, 2048);
        EXPECT_THROW(adapter.process(in, out, 16, Callback()), std::bad_function_call) << rate;
    }
}
