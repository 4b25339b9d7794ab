#include "MarvixDsp.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <type_traits>

namespace {

// 1 - exp(-2 pi 3000 / 48000) evaluated in single precision; the double result rounded to
// float (0.3247681) is one step lower and would change the sound.
constexpr float kCrossoverCoeff = 0.32476813f;
// -1/2400 in single precision: Dist and Tone glide with a 50 ms time constant at 48 kHz.
constexpr float kSmoothingPerSample = -0.00041666668f;
constexpr float kSnapDistance = 0.0001f;

// Holds only the engine's address, so the std::function keeps it in its own storage.
struct RenderCallback {
    MarvixDsp* dsp;
    void operator()(const float* in, float* out, unsigned int n) const { dsp->renderAtModelRate(in, out, n); }
};
static_assert(std::is_trivially_copyable<RenderCallback>::value && sizeof(RenderCallback) == sizeof(void*),
              "the render callback must fit the std::function's local storage");

// One glide step towards `target`. A NaN step (a NaN target, or a glide starting from one)
// snaps to the target so that the value recovers as soon as the target is a number again.
inline float glide(float current, float target, float e) noexcept
{
    const float step = (current - target) * e;
    return std::fabs(step) >= kSnapDistance ? target + step : target;
}

} // namespace

MarvixDsp::MarvixDsp(const EmbeddedModel* models, size_t modelCount)
{
    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        ModelSlot& slot = fSlots[i];
        // A model that fails to load leaves the slot passing its input through.
        if (i < modelCount)
            slot.runner.load(models[i].json, models[i].length);

        const float d = kCaptureSpecs[i].delay;
        const float whole = std::floor(d);
        slot.delayInt = static_cast<int32_t>(whole);
        const float frac = d - whole;

        // Lagrange basis over the nodes -2..3, evaluated at frac (between the middle nodes).
        for (int k = 0; k < static_cast<int>(kLagrangeTaps); ++k)
        {
            float product = 1.0f;
            for (int j = 0; j < static_cast<int>(kLagrangeTaps); ++j)
            {
                if (j != k)
                    product *= (frac - static_cast<float>(j - 2)) / static_cast<float>(k - j);
            }
            slot.lagrange[k] = product;
        }
    }

    fTone.refTone = 0.5;
    fTone.update();
}

uint32_t MarvixDsp::maxHostPiece(double sampleRate) noexcept
{
    // Pass-through hands the host chunk over as it is.
    if (!(sampleRate > 0.0) || std::fabs(sampleRate - kRenderSampleRate) <= 1.0)
        return kMaxHostBlock;
    // The same bound as the rate adapter's: ceil(n / (rate / 48000)) in double.
    const double ratio = sampleRate / kRenderSampleRate;
    const double largest = std::floor(static_cast<double>(kMaxModelBlock) * ratio);
    if (!(largest < static_cast<double>(kMaxHostBlock)))
        return kMaxHostBlock;
    uint32_t piece = largest >= 1.0 ? static_cast<uint32_t>(largest) : 1u;
    while (piece > 1 && std::ceil(static_cast<double>(static_cast<int32_t>(piece)) / ratio) > kMaxModelBlock)
        --piece;
    return piece;
}

void MarvixDsp::prepare(double sampleRate)
{
    // Below 12 kHz the adapter is sized for the smaller pieces that process hands it.
    fMaxHostPiece = maxHostPiece(sampleRate);
    fRateAdapter.reset(sampleRate, fMaxHostPiece);

    // Nothing glides across a prepare.
    fDistSmoothed = fDistTarget;
    fToneSmoothed = fToneTarget;
    fCrossoverCoeff = kCrossoverCoeff;

    for (ModelSlot& slot : fSlots)
    {
        slot.runner.prepare(kRenderSampleRate, kMaxModelBlock);
        std::memset(slot.delayLine, 0, sizeof(slot.delayLine));
        slot.writePos = 0;
        slot.crossoverState = 0.0f;
        slot.active = false;
    }

    fTone.setSampleRate(kRenderSampleRate);
    fTone.setTone(static_cast<double>(fToneSmoothed));
    fTone.reset();
}

void MarvixDsp::process(const float* in, float* out, uint32_t frames)
{
    const std::function<void(const float*, float*, unsigned int)> callback(RenderCallback { this });

    // One piece for every chunk of up to kMaxHostBlock at 12 kHz and above; pieces also keep a
    // caller's oversized chunk from overrunning fHostIn.
    while (frames > 0)
    {
        const uint32_t n = frames < fMaxHostPiece ? frames : fMaxHostPiece;
        // Copied before out is written, so in may equal out.
        std::memmove(fHostIn, in, n * sizeof(float));
        fRateAdapter.process(fHostIn, out, n, callback);
        in += n;
        out += n;
        frames -= n;
    }
}

void MarvixDsp::renderAtModelRate(const float* in, float* out, uint32_t n)
{
    // The model buffers and prepared models take kMaxModelBlock; never overrun them.
    while (n > kMaxModelBlock)
    {
        renderAtModelRate(in, out, kMaxModelBlock);
        in += kMaxModelBlock;
        out += kMaxModelBlock;
        n -= kMaxModelBlock;
    }
    if (n == 0)
        return;

    const float e = std::exp(static_cast<float>(n) * kSmoothingPerSample);
    const float distTarget = fDistTarget;
    const float toneTarget = fToneTarget;

    const float distBefore = fDistSmoothed;
    fDistSmoothed = glide(distBefore, distTarget, e);

    if (fToneSmoothed != toneTarget)
    {
        fToneSmoothed = glide(fToneSmoothed, toneTarget, e);
        fTone.setTone(static_cast<double>(fToneSmoothed));
    }

    CaptureWeights start, end, target;
    computeCaptureWeights(distBefore, start);
    computeCaptureWeights(fDistSmoothed, end);
    computeCaptureWeights(distTarget, target);

    // Input first: in and out may overlap.
    std::memmove(fModelIn, in, n * sizeof(float));
    std::memset(out, 0, n * sizeof(float));

    const float invN = 1.0f / static_cast<float>(n);
    const float crossover = fCrossoverCoeff;

    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        ModelSlot& slot = fSlots[i];
        // The target set pre-rolls the capture Dist is heading for while its weight is still 0.
        if (!(start.linear[i] > 0.0f || end.linear[i] > 0.0f || target.linear[i] > 0.0f))
        {
            slot.active = false;
            continue;
        }
        if (!slot.active)
        {
            // Coming back: a silent ring, but the model carries on from where it stopped.
            std::memset(slot.delayLine, 0, sizeof(slot.delayLine));
            slot.crossoverState = 0.0f;
            slot.active = true;
        }

        slot.runner.process(fModelIn, fModelOut, n);

        float lin = start.linear[i];
        float pow = start.power[i];
        const float dLin = end.linear[i] - start.linear[i];
        const float dPow = end.power[i] - start.power[i];

        const uint32_t delayInt = static_cast<uint32_t>(slot.delayInt);
        uint32_t writePos = slot.writePos;
        float lpState = slot.crossoverState;
        for (uint32_t s = 0; s < n; ++s)
        {
            slot.delayLine[writePos] = fModelOut[s];
            const uint32_t r = writePos - delayInt;
            float aligned = 0.0f;
            for (uint32_t k = 0; k < kLagrangeTaps; ++k)
                aligned += slot.lagrange[k] * slot.delayLine[(r - k) & (kDelayLineSize - 1)];
            writePos = (writePos + 1) & (kDelayLineSize - 1);

            // 3 kHz split: the low band takes the linear weight, the high band the power weight.
            const float lp = lpState + (aligned - lpState) * crossover;
            lpState = lp;
            out[s] += lin * lp + pow * (aligned - lp);
            lin += dLin * invN;
            pow += dPow * invN;
        }
        slot.writePos = writePos;
        slot.crossoverState = lpState;
    }

    fTone.process(out, n);

    // An input far beyond full scale can drive a model past the float range. The inf or NaN
    // would stay in every recursive state it went through and keep the wet path NaN for good,
    // so the block is dropped and those states start again from silence.
    for (uint32_t s = 0; s < n; ++s)
    {
        if (!std::isfinite(out[s]))
        {
            discardBlock(out, n);
            break;
        }
    }
}

void MarvixDsp::discardBlock(float* out, uint32_t n)
{
    // Only the slots that ran in this block were reached; the others keep their state.
    for (ModelSlot& slot : fSlots)
    {
        if (!slot.active)
            continue;
        slot.runner.reset();
        std::memset(slot.delayLine, 0, sizeof(slot.delayLine));
        slot.crossoverState = 0.0f;
    }
    fTone.reset();
    std::memset(out, 0, n * sizeof(float));
}
