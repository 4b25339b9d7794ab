#pragma once

#include "NAM/dsp.h"
#include "detail.h"
#include "kernels.h"
#include "wavenet_shape.h"

#include <vector>

namespace nam
{
namespace wavenet
{

// The fixed 23-layer WaveNet for any channel count. All state is allocated here, at
// construction; process works through the stream in chunks of kChunk frames, so a call may
// hold any number of frames and allocates nothing.
class WaveNet : public DSP
{
public:
    static constexpr int kChunk = 256;

    // weights: exactly weightCount(channels) values in file order.
    WaveNet(int channels, const std::vector<float>& weights, double expectedSampleRate, detail::Isa isa);

    void prewarm() override;
    void process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames) override;
    int GetPrewarmSamples() override { return 1 + receptiveField(); }

protected:
    void SetMaxBufferSize(const int maxBufferSize) override;

private:
    // A run of columns: [pos - lookback, pos) is history, [pos, pos + frames) the block.
    struct History
    {
        size_t offset = 0; // in floats, into fState
        int capacity = 0;  // columns
        int lookback = 0;
        int pos = 0;
    };

    // Layer inputs 0..22, then the skip sum that feeds the head.
    static constexpr int kHistoryCount = kLayerCount + 1;
    static constexpr int kSkipHistory = kLayerCount;

    float* column(const int history, const int frame)
    {
        return fState.data() + fHistory[history].offset + static_cast<size_t>(frame) * fStride;
    }
    void clearState();
    void settle();
    void makeRoom(int frames);
    void processChunk(const NAM_SAMPLE* in, NAM_SAMPLE* out, int frames);
    detail::LayerCall layerCall(int layer, const float* x, int frames);

    const int fChannels;
    const int fStride;
    const detail::Kernels* fKernels;
    std::vector<float> fWeights;
    const float* fRechannel = nullptr;
    const float* fHeadTaps = nullptr;
    float fHeadBias = 0.0f;
    float fHeadScale = 0.0f;
    detail::LayerWeights fLayers[kLayerCount] = {};
    std::vector<float> fState;
    History fHistory[kHistoryCount];
    std::vector<float> fScratch;
    static constexpr int kHeadRow = kChunk + 32;
    std::vector<float> fHeadScratch;
    float fX[kChunk] = {};
    float fY[kChunk] = {};
};

} // namespace wavenet
} // namespace nam
