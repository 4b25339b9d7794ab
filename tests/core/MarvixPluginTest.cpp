// The plug-in class driven through DPF's own exporter, the way the format layers drive it.

#include "MarvixPlugin.h"
#include "DistrhoPluginInternal.hpp"

#include "CountingScope.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <xmmintrin.h>

START_NAMESPACE_DISTRHO

// Opens the plug-in's state to the tests.
class MarvixPluginProbe : public MarvixPlugin
{
public:
    using MarvixPlugin::initParameter;
    using MarvixPlugin::getParameterValue;
    using MarvixPlugin::setParameterValue;
    using MarvixPlugin::fDsp;
    using MarvixPlugin::fDryDelayLength;
    using MarvixPlugin::fDryWritePos;
    using MarvixPlugin::fWetGain;
    using MarvixPlugin::fDryGain;
    using MarvixPlugin::fGainCoeff;
    using MarvixPlugin::fGateEnabled;
    using MarvixPlugin::fGateOpen;
    using MarvixPlugin::fGateOpenThreshold;
    using MarvixPlugin::fGateCloseThreshold;
    using MarvixPlugin::fGateEnvelope;
    using MarvixPlugin::fGateGain;
    using MarvixPlugin::fGateEnvRelease;
    using MarvixPlugin::fGateOpenCoeff;
    using MarvixPlugin::fGateCloseCoeff;
};

Plugin* createPlugin()
{
    return new MarvixPluginProbe();
}

END_NAMESPACE_DISTRHO

using namespace DISTRHO;

namespace {

// One plug-in instance as a host holds it: built at a rate, activated, run block by block.
class Host
{
public:
    explicit Host(const double sampleRate)
    {
        d_nextSampleRate = sampleRate;
        d_nextBufferSize = 512;
        fExporter = std::make_unique<PluginExporter>(nullptr, nullptr, nullptr, nullptr);
        d_nextSampleRate = 0.0;
        d_nextBufferSize = 0;
        fExporter->activate();
    }

    PluginExporter& exporter() { return *fExporter; }
    MarvixPluginProbe& plugin() { return *static_cast<MarvixPluginProbe*>(fExporter->getInstancePointer()); }

    void set(const uint32_t index, const float value) { fExporter->setParameterValue(index, value); }

    // Parameters changed, then a fresh prepare, as a host's re-activation does.
    void reactivate()
    {
        fExporter->deactivate();
        fExporter->activate();
    }

    void run(const float* left, const float* right, float* outLeft, float* outRight, const uint32_t frames)
    {
        const float* inputs[2] = { left, right };
        float* outputs[2] = { outLeft, outRight };
        fExporter->run(inputs, outputs, frames);
    }

    // Stereo in, the left output back (after checking that both outputs agree).
    std::vector<float> process(const std::vector<float>& left, const std::vector<float>& right)
    {
        std::vector<float> outL(left.size(), -7.0f), outR(left.size(), 7.0f);
        run(left.data(), right.data(), outL.data(), outR.data(), static_cast<uint32_t>(left.size()));
        EXPECT_EQ(0, std::memcmp(outL.data(), outR.data(), outL.size() * sizeof(float)));
        return outL;
    }

    std::vector<float> process(const std::vector<float>& mono) { return process(mono, mono); }

private:
    std::unique_ptr<PluginExporter> fExporter;
};

std::vector<float> testSignal(const std::size_t frames, const float amplitude = 0.3f, const uint32_t seed = 1)
{
    std::vector<float> out(frames);
    uint32_t state = seed;
    for (std::size_t i = 0; i < frames; ++i)
    {
        state = state * 1664525u + 1013904223u;
        const float noise = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
        out[i] = amplitude * (0.7f * std::sin(0.031f * static_cast<float>(i)) + 0.6f * noise);
    }
    return out;
}

bool allFinite(const std::vector<float>& v)
{
    for (const float x : v)
        if (! std::isfinite(x))
            return false;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

TEST(MarvixPluginIdentity, AnswersWhatHostsShow)
{
    Host host(44100.0);
    PluginExporter& e = host.exporter();
    EXPECT_STREQ("Korvane", e.getName());
    EXPECT_STREQ("Korvane", e.getLabel());
    EXPECT_STREQ("Drevanok Effects", e.getMaker());
    EXPECT_STREQ("Proprietary", e.getLicense());
    EXPECT_STREQ("Fuzz for bass: a faithful recreation of a rare Japanese pedal, with clean blend and noise gate.",
                 e.getDescription());
    EXPECT_EQ(0, std::strncmp(e.getHomePage(), "https://", 8));
    EXPECT_EQ(0x10100u, e.getVersion());
    EXPECT_EQ(('K' << 24) | ('v' << 16) | ('n' << 8) | '1', e.getUniqueId());
    EXPECT_EQ(6u, e.getParameterCount());
    EXPECT_EQ(0u, e.getStateCount());
}

TEST(MarvixPluginParameters, DescribedFromTheTableExceptBypass)
{
    Host host(48000.0);
    PluginExporter& e = host.exporter();

    struct Row { uint32_t index; const char* name; const char* symbol; const char* unit; float min, max, def; };
    const Row rows[] = {
        { 0, "Dist",  "dist",  "",     0.0f,   1.0f,   1.0f },
        { 1, "Tone",  "tone",  "",     0.0f,   1.0f,   0.5f },
        { 2, "Level", "level", "dB", -24.0f,  36.0f,   0.0f },
        { 3, "Blend", "blend", "",     0.0f,   1.0f,   1.0f },
        { 5, "Gate",  "gate",  "dB", -80.0f, -30.0f, -80.0f },
    };
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(static_cast<uint32_t>(kParameterIsAutomatable), e.getParameterHints(row.index));
        EXPECT_EQ(kParameterDesignationNull, e.getParameterDesignation(row.index));
        EXPECT_STREQ(row.name, e.getParameterName(row.index).buffer());
        EXPECT_STREQ(row.symbol, e.getParameterSymbol(row.index).buffer());
        EXPECT_STREQ(row.unit, e.getParameterUnit(row.index).buffer());
        EXPECT_STREQ("", e.getParameterShortName(row.index).buffer());
        EXPECT_EQ(row.min, e.getParameterRanges(row.index).min);
        EXPECT_EQ(row.max, e.getParameterRanges(row.index).max);
        EXPECT_EQ(row.def, e.getParameterRanges(row.index).def);
        EXPECT_EQ(row.def, e.getParameterValue(row.index));
    }

    // Hosts see DPF's own bypass, not the table row.
    EXPECT_EQ(kParameterDesignationBypass, e.getParameterDesignation(kParamBypass));
    EXPECT_STREQ("Bypass", e.getParameterName(kParamBypass).buffer());
    EXPECT_STREQ("dpf_bypass", e.getParameterSymbol(kParamBypass).buffer());
    EXPECT_EQ(static_cast<uint32_t>(kParameterIsAutomatable | kParameterIsBoolean | kParameterIsInteger),
              e.getParameterHints(kParamBypass));
    EXPECT_EQ(0.0f, e.getParameterRanges(kParamBypass).min);
    EXPECT_EQ(1.0f, e.getParameterRanges(kParamBypass).max);
    EXPECT_EQ(0.0f, e.getParameterRanges(kParamBypass).def);
    EXPECT_EQ(0.0f, e.getParameterValue(kParamBypass));

    Parameter untouched;
    untouched.name = "unchanged";
    host.plugin().initParameter(6, untouched);
    EXPECT_STREQ("unchanged", untouched.name.buffer());
}

TEST(MarvixPluginParameters, ClampedToTheirRangeAndOutOfRangeIndexIgnored)
{
    Host host(48000.0);
    MarvixPluginProbe& p = host.plugin();

    EXPECT_FALSE(p.fGateEnabled);
    EXPECT_TRUE(p.fGateOpen);

    // Level +100 dB would be a gain of 100000.
    host.set(kParamLevel, 100.0f);
    EXPECT_EQ(36.0f, host.exporter().getParameterValue(kParamLevel));
    host.set(kParamBlend, -3.0f);
    EXPECT_EQ(0.0f, host.exporter().getParameterValue(kParamBlend));

    host.set(kParamDist, 0.25f);
    host.set(kParamTone, 0.75f);
    EXPECT_EQ(0.25f, p.fDsp.fDistTarget);
    EXPECT_EQ(0.75f, p.fDsp.fToneTarget);

    float before[kParamCount];
    for (uint32_t i = 0; i < kParamCount; ++i)
        before[i] = p.getParameterValue(i);
    p.setParameterValue(6, 0.9f);
    p.setParameterValue(1000, 0.9f);
    for (uint32_t i = 0; i < kParamCount; ++i)
        EXPECT_EQ(before[i], p.getParameterValue(i));
    EXPECT_EQ(0.0f, p.getParameterValue(6));
}

// What a damaged state or a faulty host can send, for every parameter: a value that is not a
// number keeps the current one, any number lands inside the range, and the engine targets and
// the gate thresholds follow the value that was kept.
TEST(MarvixPluginParameters, NotANumberIsIgnoredAndNumbersAreHeldToTheRange)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    Host host(48000.0);
    MarvixPluginProbe& p = host.plugin();
    for (uint32_t index = 0; index < kParamCount; ++index)
    {
        const ParameterSpec& spec = kParameterSpecs[index];
        const float current = spec.min + 0.25f * (spec.max - spec.min);
        const float inside = spec.min + 0.75f * (spec.max - spec.min);
        struct Case { const char* name; float value; float expected; };
        const Case cases[] = {
            { "in range", inside, inside },
            { "min", spec.min, spec.min },
            { "max", spec.max, spec.max },
            { "nan", nan, current },
            { "-nan", -nan, current },
            { "+inf", inf, spec.max },
            { "-inf", -inf, spec.min },
            { "below", spec.min - 0.5f, spec.min },
            { "above", spec.max + 0.5f, spec.max },
            { "far above", 1e30f, spec.max },
            { "largest below", -FLT_MAX, spec.min },
        };
        for (const Case& c : cases)
        {
            SCOPED_TRACE(std::string(spec.name) + " " + c.name);
            host.set(index, current);
            host.set(index, c.value);
            EXPECT_EQ(c.expected, host.exporter().getParameterValue(index));
            if (index == kParamDist)
            {
                EXPECT_EQ(c.expected, p.fDsp.fDistTarget);
            }
            if (index == kParamTone)
            {
                EXPECT_EQ(c.expected, p.fDsp.fToneTarget);
            }
            if (index == kParamGate)
            {
                EXPECT_EQ(powf(10.0f, c.expected * 0.05f), p.fGateOpenThreshold);
            }
        }
        host.set(index, spec.def);
    }
}

TEST(MarvixPluginParameters, GateSwitchesOnAboveMinus79_5AndSetsItsThresholds)
{
    Host host(48000.0);
    MarvixPluginProbe& p = host.plugin();

    struct Case { float db; bool enabled; float open; float close; };
    const Case cases[] = {
        { -80.0f, false, 0.0001f,    0.00005f },
        { -79.5f, false, 0.00010593f, 0.000052966f },
        { -79.4f, true,  0.00010715f, 0.000053577f },
        { -60.0f, true,  0.001f,     0.0005f },
        { -30.0f, true,  0.03162277f, 0.01581139f },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.db);
        // A gate change leaves envelope, state and gain alone.
        p.fGateEnvelope = 0.25f;
        p.fGateOpen = false;
        p.fGateGain = 0.5f;
        host.set(kParamGate, c.db);
        EXPECT_EQ(c.enabled, p.fGateEnabled);
        EXPECT_NEAR(c.open, p.fGateOpenThreshold, c.open * 1e-4f);
        EXPECT_EQ(p.fGateOpenThreshold * 0.5f, p.fGateCloseThreshold);
        EXPECT_NEAR(c.close, p.fGateCloseThreshold, c.close * 1e-4f);
        EXPECT_EQ(0.25f, p.fGateEnvelope);
        EXPECT_FALSE(p.fGateOpen);
        EXPECT_EQ(0.5f, p.fGateGain);
    }
}

// ---------------------------------------------------------------------------------------------

TEST(MarvixPluginPrepare, LatencyAndCoefficientsFollowTheRate)
{
    struct Case { double rate; uint32_t latency; float envRelease, openCoeff, closeCoeff, gainCoeff; };
    const Case cases[] = {
        { 44100.0, 27, 0.9992445f, 0.9775794f, 0.9996222f, 0.9988669f },
        { 48000.0,  0, 0.9993058f, 0.9793822f, 0.9996529f, 0.9989589f },
        { 96000.0, 42, 0.9996529f, 0.9896374f, 0.9998264f, 0.9994793f },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rate);
        Host host(c.rate);
        MarvixPluginProbe& p = host.plugin();
        EXPECT_EQ(c.latency, host.exporter().getLatency());
        EXPECT_EQ(c.latency, p.fDryDelayLength);
        EXPECT_NEAR(c.envRelease, p.fGateEnvRelease, 1e-7f);
        EXPECT_NEAR(c.openCoeff, p.fGateOpenCoeff, 1e-7f);
        EXPECT_NEAR(c.closeCoeff, p.fGateCloseCoeff, 1e-7f);
        EXPECT_NEAR(c.gainCoeff, p.fGainCoeff, 1e-7f);

        // Blend 0: after the prepare the output is the mono input delayed by exactly the latency.
        host.set(kParamBlend, 0.0f);
        host.reactivate();
        const std::vector<float> left = testSignal(3000, 0.4f, 3), right = testSignal(3000, 0.2f, 4);
        const std::vector<float> out = host.process(left, right);
        for (std::size_t i = 0; i < out.size(); ++i)
        {
            const float expected = i < c.latency ? 0.0f : (left[i - c.latency] + right[i - c.latency]) * 0.5f;
            ASSERT_EQ(expected, out[i]) << "sample " << i;
        }
    }
}

TEST(MarvixPluginPrepare, RateChangeWhileActiveReportsTheNewLatency)
{
    Host host(48000.0);
    EXPECT_EQ(0u, host.exporter().getLatency());
    host.exporter().setSampleRate(44100.0, true);
    EXPECT_EQ(27u, host.exporter().getLatency());
    host.exporter().setSampleRate(96000.0, true);
    EXPECT_EQ(42u, host.exporter().getLatency());
}

TEST(MarvixPluginPrepare, GainsLandOnTheirTargetsWithoutRamp)
{
    Host host(48000.0);
    MarvixPluginProbe& p = host.plugin();
    EXPECT_EQ(1.0f, p.fWetGain);
    EXPECT_EQ(0.0f, p.fDryGain);

    struct Case { float level, blend, bypass, wet, dry; };
    const Case cases[] = {
        {  36.0f, 1.0f, 0.0f, 63.09575f,    0.0f },
        { -24.0f, 1.0f, 0.0f, 0.06309573f,  0.0f },
        {   0.0f, 0.25f, 0.0f, 0.25f,       0.75f },
        {  36.0f, 1.0f, 1.0f, 0.0f,         1.0f },
    };
    for (const Case& c : cases)
    {
        host.set(kParamLevel, c.level);
        host.set(kParamBlend, c.blend);
        host.set(kParamBypass, c.bypass);
        host.reactivate();
        EXPECT_FLOAT_EQ(c.wet, p.fWetGain);
        EXPECT_FLOAT_EQ(c.dry, p.fDryGain);
    }
}

// ---------------------------------------------------------------------------------------------

TEST(MarvixPluginRun, ZeroFramesTouchesNothing)
{
    Host host(44100.0);
    MarvixPluginProbe& p = host.plugin();
    host.process(testSignal(100));
    host.set(kParamBypass, 1.0f);

    const uint32_t writePos = p.fDryWritePos;
    const float wet = p.fWetGain, dry = p.fDryGain, envelope = p.fGateEnvelope;
    float outL = 5.0f, outR = 6.0f;
    host.run(nullptr, nullptr, &outL, &outR, 0);
    EXPECT_EQ(5.0f, outL);
    EXPECT_EQ(6.0f, outR);
    EXPECT_EQ(writePos, p.fDryWritePos);
    EXPECT_EQ(wet, p.fWetGain);
    EXPECT_EQ(dry, p.fDryGain);
    EXPECT_EQ(envelope, p.fGateEnvelope);
}

TEST(MarvixPluginRun, LongBlockEqualsItsChunksAndInPlaceEqualsSeparateBuffers)
{
    const uint32_t frames = 5000;
    const std::vector<float> left = testSignal(frames, 0.5f, 11), right = testSignal(frames, 0.3f, 12);

    // Blend 0.5 so that wet and dry both reach the output.
    Host whole(44100.0), chunked(44100.0), inPlace(44100.0);
    for (Host* h : { &whole, &chunked, &inPlace })
    {
        h->set(kParamBlend, 0.5f);
        h->set(kParamGate, -60.0f);
    }

    const std::vector<float> expected = whole.process(left, right);

    std::vector<float> outL(frames), outR(frames);
    uint32_t pos = 0;
    for (const uint32_t n : { 2048u, 2048u, 904u })
    {
        chunked.run(left.data() + pos, right.data() + pos, outL.data() + pos, outR.data() + pos, n);
        pos += n;
    }
    EXPECT_EQ(0, std::memcmp(expected.data(), outL.data(), frames * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(expected.data(), outR.data(), frames * sizeof(float)));

    std::vector<float> bufL = left, bufR = right;
    inPlace.run(bufL.data(), bufR.data(), bufL.data(), bufR.data(), frames);
    EXPECT_EQ(0, std::memcmp(expected.data(), bufL.data(), frames * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(expected.data(), bufR.data(), frames * sizeof(float)));
    EXPECT_TRUE(allFinite(expected));
}

TEST(MarvixPluginRun, OppositeInputsSoundLikeSilence)
{
    Host opposite(44100.0), silent(44100.0);
    std::vector<float> left = testSignal(4096, 0.8f), right(left.size());
    for (std::size_t i = 0; i < left.size(); ++i)
        right[i] = -left[i];
    const std::vector<float> zeros(left.size(), 0.0f);
    const std::vector<float> a = opposite.process(left, right);
    const std::vector<float> b = silent.process(zeros, zeros);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), a.size() * sizeof(float)));
}

TEST(MarvixPluginRun, BypassRampsToTheDelayedMonoInput)
{
    Host host(44100.0);
    MarvixPluginProbe& p = host.plugin();
    host.set(kParamLevel, 12.0f);
    host.reactivate();
    const float wetStart = p.fWetGain;
    const float c = p.fGainCoeff;

    host.set(kParamBypass, 1.0f);
    const std::vector<float> left = testSignal(44100, 0.5f, 21), right(left.size(), 0.0f);
    std::vector<float> outL(left.size()), outR(left.size());

    // One sample: one step of the 20 ms ramp from the current gains.
    host.run(left.data(), right.data(), outL.data(), outR.data(), 1);
    EXPECT_FLOAT_EQ(wetStart * c, p.fWetGain);
    EXPECT_FLOAT_EQ(1.0f - c, p.fDryGain);

    host.run(left.data() + 1, right.data() + 1, outL.data() + 1, outR.data() + 1, 44099);
    // Single-precision smoothing settles a few ulps short of unity (well under 0.001 dB).
    EXPECT_LT(p.fWetGain, 1e-12f);
    EXPECT_NEAR(1.0f, p.fDryGain, 5e-5f);

    // After a second: the mono sum (not the untouched stereo input), delayed by the latency.
    const uint32_t latency = host.exporter().getLatency();
    for (std::size_t i = 40000; i < left.size(); ++i)
        ASSERT_NEAR(left[i - latency] * 0.5f, outL[i], 1e-5f) << "sample " << i;
}

TEST(MarvixPluginRun, DefaultGateNeverCloses)
{
    Host host(48000.0);
    MarvixPluginProbe& p = host.plugin();
    const std::vector<float> silence(20000, 0.0f);
    host.process(silence);
    EXPECT_TRUE(p.fGateOpen);
    EXPECT_EQ(1.0f, p.fGateGain);
}

TEST(MarvixPluginRun, GateFollowsTheDryEnvelopeWithHysteresis)
{
    Host host(48000.0); // no latency: the delayed dry signal is the input itself
    MarvixPluginProbe& p = host.plugin();
    host.set(kParamGate, -60.0f); // opens above 0.001, closes below 0.0005

    float outL, outR;
    auto step = [&](const float x) {
        host.run(&x, &x, &outL, &outR, 1);
    };

    // Between the thresholds a fresh gate stays open.
    for (int i = 0; i < 2000; ++i)
        step(0.0007f);
    EXPECT_TRUE(p.fGateOpen);
    EXPECT_EQ(1.0f, p.fGateGain);

    // Quieter: the envelope releases over 30 ms and the gate closes once it drops below 0.0005.
    int closedAfter = -1;
    for (int i = 0; i < 4800 && closedAfter < 0; ++i)
    {
        step(0.0001f);
        if (! p.fGateOpen)
            closedAfter = i;
    }
    const int expectedClose = static_cast<int>(std::ceil(std::log(0.0005 / 0.0007) / std::log(double(p.fGateEnvRelease))));
    EXPECT_NEAR(expectedClose, closedAfter, 1);
    EXPECT_LT(p.fGateEnvelope, 0.0005f);

    // Closed: the gain falls with the 60 ms coefficient.
    float before = p.fGateGain;
    step(0.0001f);
    EXPECT_FLOAT_EQ(before * p.fGateCloseCoeff, p.fGateGain);
    for (int i = 0; i < 2880; ++i) // 60 ms more
        step(0.0001f);
    EXPECT_NEAR(std::exp(-1.0) * before, p.fGateGain, 0.01);

    // Back between the thresholds: it stays closed.
    for (int i = 0; i < 1000; ++i)
        step(0.0007f);
    EXPECT_FALSE(p.fGateOpen);

    // Above the open threshold: open at once, the gain rises with the 1 ms coefficient.
    before = p.fGateGain;
    step(0.0011f);
    EXPECT_TRUE(p.fGateOpen);
    EXPECT_FLOAT_EQ((before - 1.0f) * p.fGateOpenCoeff + 1.0f, p.fGateGain);
    for (int i = 0; i < 480; ++i) // 10 ms
        step(0.0011f);
    EXPECT_GT(p.fGateGain, 0.9999f);
}

// ---------------------------------------------------------------------------------------------

TEST(MarvixPluginRobustness, NonFiniteInputCountsAsSilence)
{
    const std::vector<float> base = testSignal(6000, 0.4f, 31);
    struct Case { const char* name; float bad; };
    const Case cases[] = {
        { "nan", std::numeric_limits<float>::quiet_NaN() },
        { "+inf", std::numeric_limits<float>::infinity() },
        { "-inf", -std::numeric_limits<float>::infinity() },
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Host poisoned(44100.0), reference(44100.0);
        for (Host* h : { &poisoned, &reference })
            h->set(kParamBlend, 0.7f);

        std::vector<float> left = base, right = base, refLeft = base;
        for (const std::size_t at : { 100u, 101u, 2500u, 5999u })
        {
            left[at] = c.bad;
            refLeft[at] = 0.0f;
        }
        right[3000] = c.bad;
        std::vector<float> refRight = right;
        refRight[3000] = 0.0f;

        const std::vector<float> out = poisoned.process(left, right);
        const std::vector<float> ref = reference.process(refLeft, refRight);
        EXPECT_TRUE(allFinite(out));
        EXPECT_EQ(0, std::memcmp(ref.data(), out.data(), out.size() * sizeof(float)));

        // And the plug-in carries on normally afterwards.
        const std::vector<float> later = poisoned.process(base, base);
        EXPECT_TRUE(allFinite(later));
    }

}

// A finite sample far beyond full scale drives the models past the float range. The output
// stays finite, Blend 0 and Bypass stay exactly the delayed dry signal, the wet path is back
// within a block and soon sounds as if nothing had happened, and nothing of it allocates.
TEST(MarvixPluginRobustness, HugeFiniteSpikeLeavesNoLastingTrace)
{
    struct Spike { const char* name; std::vector<float> samples; };
    const Spike spikes[] = {
        { "1e38", { 1e38f } },
        { "3.4e38", { 3.4e38f } },
        { "alternating", { 3.4e38f, -3.4e38f, 3.4e38f, -3.4e38f, 1e38f, -1e38f } },
    };
    struct Mode { const char* name; float blend, bypass; };
    const Mode modes[] = { { "blend 1", 1.0f, 0.0f }, { "blend 0", 0.0f, 0.0f }, { "bypass", 1.0f, 1.0f } };
    const uint32_t kBlock = 256;

    for (const double rate : { 44100.0, 48000.0 })
    {
        const std::size_t frames = static_cast<std::size_t>(rate), at = frames / 4 + 17;
        const std::vector<float> clean = testSignal(frames, 0.4f, 61);
        for (const Spike& spike : spikes)
        {
            for (const Mode& mode : modes)
            {
                SCOPED_TRACE(std::string(spike.name) + ", " + mode.name + ", " + std::to_string(rate));
                std::vector<float> in = clean;
                std::copy(spike.samples.begin(), spike.samples.end(), in.begin() + static_cast<long>(at));

                Host hit(rate), reference(rate);
                for (Host* h : { &hit, &reference })
                {
                    h->set(kParamBlend, mode.blend);
                    h->set(kParamBypass, mode.bypass);
                    h->reactivate();
                }
                const uint32_t latency = hit.exporter().getLatency();

                std::vector<float> out(frames), outR(frames), ref(frames), refR(frames);
                CountingScope scope;
                for (std::size_t pos = 0; pos < frames; pos += kBlock)
                {
                    const uint32_t n = static_cast<uint32_t>(std::min<std::size_t>(kBlock, frames - pos));
                    hit.run(in.data() + pos, in.data() + pos, out.data() + pos, outR.data() + pos, n);
                }
                scope.stop();
                EXPECT_EQ(0, scope.allocations());
                EXPECT_EQ(0, scope.locks());
                reference.run(clean.data(), clean.data(), ref.data(), refR.data(), static_cast<uint32_t>(frames));

                ASSERT_TRUE(allFinite(out));
                EXPECT_EQ(0, std::memcmp(out.data(), outR.data(), frames * sizeof(float)));
                if (mode.blend == 0.0f || mode.bypass > 0.5f)
                {
                    for (std::size_t i = 0; i < frames; ++i)
                        ASSERT_EQ(i < latency ? 0.0f : in[i - latency], out[i]) << "sample " << i;
                    continue;
                }

                // Up to the spike's block the output is untouched; two blocks later (a few ms)
                // the wet path sounds again.
                const std::size_t blockStart = at / kBlock * kBlock;
                EXPECT_EQ(0, std::memcmp(ref.data(), out.data(), blockStart * sizeof(float)));
                float later = 0.0f;
                for (std::size_t i = blockStart + 2 * kBlock; i < blockStart + 3 * kBlock; ++i)
                    later = std::max(later, std::fabs(out[i]));
                EXPECT_GT(later, 0.05f);
                // Once the models' memory (about 130 ms) has passed, it is the undisturbed sound.
                const std::size_t settled = at + frames / 2;
                float worst = 0.0f;
                for (std::size_t i = settled; i < frames; ++i)
                    worst = std::max(worst, std::fabs(out[i] - ref[i]));
                EXPECT_LT(worst, 1e-5f);
            }
        }
    }
}

TEST(MarvixPluginRobustness, UnusableHostRateRunsAt48kInsteadOfFailing)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case { double rate; bool usable; uint32_t latency; };
    const Case cases[] = {
        { 1000.0, true, 0 }, { 1536000.0, true, 0 },
        { 0.0, false, 0 }, { -44100.0, false, 0 }, { nan, false, 0 }, { inf, false, 0 },
        { 999.0, false, 0 }, { 1.0e7, false, 0 },
    };
    const std::vector<float> in = testSignal(3000, 0.3f, 7);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.rate);
        testing::internal::CaptureStderr();
        Host host(c.rate);
        host.set(kParamBlend, 0.5f);
        const std::vector<float> out = host.process(in);
        const std::string err = testing::internal::GetCapturedStderr();

        EXPECT_TRUE(allFinite(out));
        EXPECT_GT(*std::max_element(out.begin(), out.end()), 0.01f);
        if (c.usable)
        {
            EXPECT_EQ(std::string::npos, err.find("Unsupported sample rate"));
            EXPECT_GT(host.exporter().getLatency(), 0u);
        }
        else
        {
            EXPECT_NE(std::string::npos, err.find("Hz; running at 48000 Hz\n"));
            EXPECT_EQ(c.latency, host.exporter().getLatency());
            EXPECT_EQ(0.9989589f, host.plugin().fGainCoeff);
        }
    }
}

TEST(MarvixPluginRobustness, BadLevelOrBlendDoesNotStickInTheGains)
{
    struct Case { uint32_t index; float bad; };
    const Case cases[] = {
        { kParamLevel, std::numeric_limits<float>::quiet_NaN() },
        { kParamLevel, 1000.0f }, // 10^50: overflows single precision
        { kParamBlend, std::numeric_limits<float>::quiet_NaN() },
        { kParamBlend, std::numeric_limits<float>::infinity() },
    };
    const std::vector<float> signal = testSignal(48000, 0.3f, 51);
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.index);
        SCOPED_TRACE(c.bad);
        Host host(48000.0);
        MarvixPluginProbe& p = host.plugin();
        host.set(kParamBlend, 0.5f);

        host.set(c.index, c.bad);
        EXPECT_TRUE(allFinite(host.process(signal)));
        EXPECT_TRUE(std::isfinite(host.exporter().getParameterValue(c.index)));

        // A bad value at the prepare step lands on a finite gain too.
        host.reactivate();
        EXPECT_TRUE(std::isfinite(p.fWetGain));
        EXPECT_TRUE(std::isfinite(p.fDryGain));

        // Back to a sane value: the gains ramp to it again.
        host.set(kParamLevel, 0.0f);
        host.set(kParamBlend, 0.5f);
        EXPECT_TRUE(allFinite(host.process(signal)));
        EXPECT_NEAR(0.5f, p.fWetGain, 1e-4f);
        EXPECT_NEAR(0.5f, p.fDryGain, 1e-4f);
    }
}

TEST(MarvixPluginRobustness, FlushesDenormalsAndRestoresTheCallersMode)
{
    Host host(48000.0);
    host.set(kParamBlend, 0.0f);
    host.reactivate();

    const unsigned int saved = _mm_getcsr();
    const unsigned int flushBits = 0x8040; // FTZ | DAZ
    for (const unsigned int callerBits : { 0u, flushBits })
    {
        _mm_setcsr((saved & ~flushBits) | callerBits);
        const unsigned int before = _mm_getcsr();
        // A subnormal input would pass the dry path as a subnormal without flushing.
        const std::vector<float> tiny(512, 1e-40f);
        const std::vector<float> out = host.process(tiny, tiny);
        const unsigned int after = _mm_getcsr();
        _mm_setcsr(saved);

        EXPECT_EQ(before, after);
        for (const float x : out)
            ASSERT_NE(FP_SUBNORMAL, std::fpclassify(x));
    }
}

TEST(MarvixPluginRealtime, RunAndParameterChangesAllocateAndLockNothing)
{
    // The counters themselves see what they count.
    CountingScope probeScope;
    auto* probe = new std::vector<float>(16);
    {
        std::mutex mutex;
        std::lock_guard<std::mutex> lock(mutex);
    }
    probeScope.stop();
    delete probe;
    ASSERT_GT(probeScope.allocations(), 0);
    ASSERT_GT(probeScope.locks(), 0);

    for (const double rate : { 44100.0, 48000.0, 96000.0 })
    {
        SCOPED_TRACE(rate);
        Host host(rate);
        const std::vector<float> left = testSignal(6000, 0.5f, 41), right = testSignal(6000, 0.5f, 42);
        std::vector<float> outL(left.size()), outR(left.size());
        host.run(left.data(), right.data(), outL.data(), outR.data(), 256); // warm-up

        CountingScope scope;
        uint32_t pos = 0;
        int round = 0;
        for (const uint32_t n : { 1u, 64u, 511u, 2048u, 2049u, 5000u, 0u, 333u })
        {
            const float t = static_cast<float>(round++ % 4) / 3.0f;
            host.set(kParamDist, t);
            host.set(kParamTone, 1.0f - t);
            host.set(kParamLevel, -24.0f + 60.0f * t);
            host.set(kParamBlend, t);
            host.set(kParamBypass, round % 3 == 0 ? 1.0f : 0.0f);
            host.set(kParamGate, -80.0f + 50.0f * t);
            pos = (pos + n > left.size()) ? 0 : pos;
            host.run(left.data() + pos, right.data() + pos, outL.data(), outR.data(), n);
        }
        scope.stop();
        EXPECT_EQ(0, scope.allocations());
        EXPECT_EQ(0, scope.locks());
    }
}
