#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "GrowableBuffer.h"
#include "RationalResampler.h"

// Runs a 48 kHz block callback at another host rate: host input up to 48 kHz, the callback on
// model-rate pieces, and back down, with both resamplers primed by silence at reset.
class RateAdapterCore
{
public:
    // Throws std::invalid_argument for an unsupported host rate and std::runtime_error when the
    // block sizes or the priming do not fit the buffers; only ever called while preparing.
    void reset(double hostRate, int32_t maxBlock);

    // Silences every buffer and both resampler rings; timing and latency stay.
    void clear() noexcept;

    // in and out are one-entry channel lists. n = 0 does nothing; n above fMaxBlock is processed
    // in consecutive pieces of at most fMaxBlock samples.
    void processBlock(float** in, float** out, int n, std::function<void(float**, float**, int)> callback);

    GrowableBuffer fHostBuffer;
    GrowableBuffer fHostChannels;
    GrowableBuffer fModelInBuffer;
    GrowableBuffer fModelInChannels;
    GrowableBuffer fModelOutBuffer;
    GrowableBuffer fModelOutChannels;
    double fRatio = 0.0;
    double fInverseRatio = 0.0;
    double fHostRate = 0.0;
    int32_t fMaxBlock = 0;
    int32_t fMaxModelBlock = 0;
    uint32_t fLatency = 0;
    double fRenderRate = 48000.0;
    std::unique_ptr<RationalResampler> fUp;
    std::unique_ptr<RationalResampler> fDown;

private:
    void prepare(double hostRate, int32_t maxBlock);
    void processPiece(float** in, float** out, int n, const std::function<void(float**, float**, int)>& callback);
};

class RateAdapter
{
public:
    RateAdapter() = default;
    ~RateAdapter() = default;

    RateAdapter(const RateAdapter&) = delete;
    RateAdapter& operator=(const RateAdapter&) = delete;

    // Pass-through within 1 Hz of 48000 Hz, otherwise a freshly primed core. Throws, from the
    // preparing thread only, when the rate or block size cannot be served; the adapter is then
    // left in pass-through with latency 0.
    void reset(double sampleRate, uint32_t maxBlock);

    // Writes exactly n samples to out. With a core, n should lie within the maxBlock of the last
    // reset (larger blocks are split); the callback must write count outputs for count inputs.
    void process(const float* in, float* out, unsigned int n,
                 const std::function<void(const float*, float*, unsigned int)>& callback);

    std::unique_ptr<RateAdapterCore> fCore;
    uint32_t fLatency = 0;
};
