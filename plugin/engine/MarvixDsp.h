#pragma once

#include <cstdint>

#include "CaptureWeights.h"
#include "EmbeddedModels.h"
#include "EngineConstants.h"
#include "ModelRunner.h"
#include "RateAdapter.h"
#include "ToneFilter.h"

constexpr uint32_t kDelayLineSize = 32;  // power of two: positions wrap with a mask
constexpr uint32_t kLagrangeTaps = 6;

// One capture's model with its alignment delay and band-split state.
struct ModelSlot {
    ModelRunner runner;
    float delayLine[kDelayLineSize] = {};
    uint32_t writePos = 0;
    int32_t delayInt = 0;
    float lagrange[kLagrangeTaps] = {};
    float crossoverState = 0.0f;
    bool active = false;
};

// The fuzz's wet path for one mono stream: host-rate blocks in, host-rate blocks out, with
// every model, the crossfade and the tone stage running at 48 kHz behind the rate adapter.
class MarvixDsp {
public:
    // Loads slot i from models[i] for i below modelCount (the embedded captures unless told
    // otherwise); a slot left without a model passes its input through. Heavy, not for the
    // audio thread.
    explicit MarvixDsp(const EmbeddedModel* models = kEmbeddedModels, size_t modelCount = kEmbeddedModelCount);
    ~MarvixDsp() = default;

    MarvixDsp(const MarvixDsp&) = delete;
    MarvixDsp& operator=(const MarvixDsp&) = delete;

    // May allocate; resets every model. Required before the first process.
    void prepare(double sampleRate);

    // Writes exactly `frames` samples; in and out may be the same buffer. Real-time safe.
    void process(const float* in, float* out, uint32_t frames);

    // One 48 kHz block. Called through the rate adapter's callback; public so that it can be
    // driven on its own.
    void renderAtModelRate(const float* in, float* out, uint32_t n);

    static void computeCaptureWeights(float dist, CaptureWeights& out) noexcept
    {
        ::computeCaptureWeights(dist, out);
    }

    // Host-rate samples of delay through the rate adapter (the plug-in reports it).
    uint32_t getLatency() const noexcept { return fRateAdapter.fLatency; }

    ModelSlot fSlots[kCaptureCount];
    ToneFilter fTone;
    RateAdapter fRateAdapter;
    float fDistTarget = 1.0f;
    float fDistSmoothed = 1.0f;
    float fToneTarget = 0.5f;
    float fToneSmoothed = 0.5f;
    float fCrossoverCoeff = 0.0f;
    // Largest host piece handed to the rate adapter at once (and its prepared block size), so
    // that no model-rate block exceeds kMaxModelBlock; below kMaxHostBlock only under 12 kHz.
    uint32_t fMaxHostPiece = kMaxHostBlock;
    float fHostIn[kMaxHostBlock];
    float fModelIn[kMaxModelBlock];
    float fModelOut[kMaxModelBlock];

    // The largest host piece whose model-rate blocks stay within kMaxModelBlock at `sampleRate`.
    static uint32_t maxHostPiece(double sampleRate) noexcept;

private:
    // Silences a model-rate block whose output is not finite and clears what it passed through.
    void discardBlock(float* out, uint32_t n);
};
