#include "MarvixPlugin.h"

#include <algorithm>
#include <cmath>
#include <iostream>

#if defined(__SSE__) || defined(__x86_64__) || defined(_M_X64)
# include <xmmintrin.h>
# define KORVANE_HAVE_MXCSR 1
#else
# define KORVANE_HAVE_MXCSR 0
#endif

START_NAMESPACE_DISTRHO

namespace {

constexpr float kGainSmoothSeconds = 0.02f;
constexpr float kGateReleaseSeconds = 0.03f;
constexpr float kGateOpenSeconds = 0.001f;
constexpr float kGateCloseSeconds = 0.06f;

// Host rates the engine and the smoothers are made for. Outside this range (zero, negative or
// not a number included) the resampler refuses the rate or the one-pole coefficients leave
// 0..1, so such a rate would end the host's process or leave the output NaN for good.
constexpr double kMinSampleRate = 1000.0;
constexpr double kMaxSampleRate = 1536000.0;

double usableSampleRate(const double sampleRate)
{
    if (sampleRate >= kMinSampleRate && sampleRate <= kMaxSampleRate)
        return sampleRate;
    std::cerr << "Unsupported sample rate " << sampleRate << " Hz; running at 48000 Hz" << std::endl;
    return kRenderSampleRate;
}

float dbToGain(const float db)
{
    return powf(10.0f, db * 0.05f);
}

float onePoleCoeff(const float rate, const float seconds)
{
    return expf(-1.0f / (rate * seconds));
}

// Flush-to-zero and denormals-are-zero while the block runs: decaying tails in the recursive
// filters would otherwise crawl through subnormals. The caller's mode comes back afterwards.
class DenormalGuard
{
public:
#if KORVANE_HAVE_MXCSR
    static constexpr unsigned int kFlushBits = 0x8040; // FTZ | DAZ

    DenormalGuard() noexcept
        : fSaved(_mm_getcsr())
    {
        _mm_setcsr(fSaved | kFlushBits);
    }

    ~DenormalGuard() noexcept
    {
        _mm_setcsr(fSaved);
    }

private:
    const unsigned int fSaved;
#endif
};

// A non-finite input sample counts as silence: one NaN reaching the recursive tone filter or
// band split would otherwise keep the wet path producing NaN until the next prepare. Finite
// input keeps the plain (left + right) * 0.5; only a sum that overflows is taken half by half.
inline float monoSum(const float left, const float right)
{
    const float mono = (left + right) * 0.5f;
    if (std::isfinite(mono))
        return mono;
    return (std::isfinite(left) ? left * 0.5f : 0.0f) + (std::isfinite(right) ? right * 0.5f : 0.0f);
}

} // namespace

MarvixPlugin::MarvixPlugin()
    : Plugin(kParamCount, 0, 0),
      fDryWritePos(0),
      fDryDelayLength(0),
      fWetGain(1.0f),
      fDryGain(0.0f),
      fGainCoeff(0.0f),
      fDsp(),
      fGateEnabled(false),
      fGateOpen(true),
      fGateOpenThreshold(0.0f),
      fGateCloseThreshold(0.0f),
      fGateEnvelope(0.0f),
      fGateGain(1.0f),
      fGateEnvRelease(0.0f),
      fGateOpenCoeff(0.0f),
      fGateCloseCoeff(0.0f)
{
    for (uint32_t i = 0; i < kParamCount; ++i)
        fValues[i] = kParameterSpecs[i].def;

    prepareProcessing();
}

const char* MarvixPlugin::getDescription() const
{
    return "Fuzz for bass: a faithful recreation of a rare Japanese pedal, with clean blend and noise gate.";
}

void MarvixPlugin::initParameter(const uint32_t index, Parameter& parameter)
{
    if (index >= kParamCount)
        return;

    if (index == kParamBypass)
    {
        parameter.initDesignation(kParameterDesignationBypass);
        return;
    }

    const ParameterSpec& spec = kParameterSpecs[index];
    parameter.hints = kParameterIsAutomatable;
    parameter.name = spec.name;
    parameter.symbol = spec.symbol;
    parameter.unit = spec.unit;
    parameter.ranges.min = spec.min;
    parameter.ranges.max = spec.max;
    parameter.ranges.def = spec.def;
}

float MarvixPlugin::getParameterValue(const uint32_t index) const
{
    return index < kParamCount ? fValues[index] : 0.0f;
}

void MarvixPlugin::setParameterValue(const uint32_t index, float value)
{
    if (index >= kParamCount)
        return;

    // A damaged saved state or a faulty host may send anything.
    value = heldPlain(static_cast<int32_t>(index), value, fValues[index]);
    fValues[index] = value;

    switch (index)
    {
    case kParamDist:
        fDsp.fDistTarget = value;
        break;
    case kParamTone:
        fDsp.fToneTarget = value;
        break;
    case kParamGate:
        updateGateThresholds();
        break;
    default:
        // Level and Blend are read per chunk, Bypass per call of run.
        break;
    }
}

void MarvixPlugin::activate()
{
    prepareProcessing();
}

void MarvixPlugin::bufferSizeChanged(uint32_t)
{
    prepareProcessing();
}

void MarvixPlugin::sampleRateChanged(double)
{
    // DPF has already stored the new rate; the prepare step reads it back.
    prepareProcessing();
}

void MarvixPlugin::updateGateThresholds()
{
    const float gateDb = fValues[kParamGate];
    fGateEnabled = gateDb > kGateOffDb;
    fGateOpenThreshold = dbToGain(gateDb);
    fGateCloseThreshold = fGateOpenThreshold * 0.5f;
}

void MarvixPlugin::gainTargets(const bool bypassed, float& wet, float& dry) const
{
    if (bypassed)
    {
        wet = 0.0f;
        dry = 1.0f;
        return;
    }

    const float blend = fValues[kParamBlend];
    wet = dbToGain(fValues[kParamLevel]) * blend;
    dry = 1.0f - blend;
}

void MarvixPlugin::prepareProcessing()
{
    const double sampleRate = usableSampleRate(getSampleRate());
    const float rate = static_cast<float>(sampleRate);

    updateGateThresholds();
    fGateEnvRelease = onePoleCoeff(rate, kGateReleaseSeconds);
    fGateOpenCoeff = onePoleCoeff(rate, kGateOpenSeconds);
    fGateCloseCoeff = onePoleCoeff(rate, kGateCloseSeconds);
    fGateEnvelope = 0.0f;
    fGateGain = 1.0f;
    fGateOpen = true;

    // Targets first: the engine's prepare snaps its smoothed values onto them.
    fDsp.fDistTarget = fValues[kParamDist];
    fDsp.fToneTarget = fValues[kParamTone];
    fDsp.prepare(sampleRate);

    fDryDelayLength = std::min<uint32_t>(fDsp.fRateAdapter.fLatency, kMaxDryDelay);
    setLatency(fDryDelayLength);

    std::fill(fDryDelay, fDryDelay + kDryRingSize, 0.0f);
    fDryWritePos = 0;

    gainTargets(fValues[kParamBypass] > 0.5f, fWetGain, fDryGain);

    fGainCoeff = onePoleCoeff(rate, kGainSmoothSeconds);
}

void MarvixPlugin::run(const float** const inputs, float** const outputs, const uint32_t frames)
{
    const bool bypassed = fValues[kParamBypass] > 0.5f;

    if (frames == 0)
        return;

    const DenormalGuard denormalGuard;

    const float* const inL = inputs[0];
    const float* const inR = inputs[1];
    float* const outL = outputs[0];
    float* const outR = outputs[1];

    for (uint32_t pos = 0; pos < frames;)
    {
        const uint32_t n = std::min(frames - pos, kMaxHostBlock);

        float wetTarget, dryTarget;
        gainTargets(bypassed, wetTarget, dryTarget);

        // The whole chunk is read before any of it is written, so in-place buffers are safe.
        for (uint32_t i = 0; i < n; ++i)
            fMonoIn[i] = monoSum(inL[pos + i], inR[pos + i]);

        fDsp.process(fMonoIn, fWetOut, n);

        for (uint32_t i = 0; i < n; ++i)
        {
            fDryDelay[fDryWritePos] = fMonoIn[i];
            const float dry = fDryDelay[(fDryWritePos - fDryDelayLength) & kDryRingMask];
            fDryWritePos = (fDryWritePos + 1) & kDryRingMask;

            fWetGain = (fWetGain - wetTarget) * fGainCoeff + wetTarget;
            fDryGain = (fDryGain - dryTarget) * fGainCoeff + dryTarget;

            // The gate follows the dry signal aligned with the wet one, not the fuzz itself.
            fGateEnvelope = std::max(fGateEnvelope * fGateEnvRelease, std::fabs(dry));

            if (! fGateEnabled || fGateEnvelope > fGateOpenThreshold)
                fGateOpen = true;
            else if (fGateEnvelope < fGateCloseThreshold)
                fGateOpen = false;

            const float gateTarget = fGateOpen ? 1.0f : 0.0f;
            const float gateCoeff = fGateOpen ? fGateOpenCoeff : fGateCloseCoeff;
            fGateGain = (fGateGain - gateTarget) * gateCoeff + gateTarget;

            // A wet sample that is not finite is left out: even at a wet gain of 0 (Blend 0,
            // Bypass) it would turn the dry signal into NaN.
            const float wet = std::isfinite(fWetOut[i]) ? fWetOut[i] : 0.0f;
            const float out = ((fGateGain * wet) * fWetGain) + (fDryGain * dry);
            outL[pos + i] = out;
            outR[pos + i] = out;
        }

        pos += n;
    }
}

END_NAMESPACE_DISTRHO
