#include "wavenet.h"

#include <algorithm>
#include <cfloat>
#include <cstring>
#include <stdexcept>

namespace nam
{
namespace detail
{

bool isaAvailable(const Isa isa)
{
    switch (isa)
    {
    case Isa::Best:
    case Isa::Sse2:
        return true;
    case Isa::Avx2:
#if defined(NAM_HAVE_AVX2_KERNELS)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
        return false;
#endif
    }
    return false;
}

static const Kernels& kernelsFor(const Isa isa)
{
    if (!isaAvailable(isa))
        throw std::runtime_error("the requested instruction set is not available on this CPU");
#if defined(NAM_HAVE_AVX2_KERNELS)
    if (isa == Isa::Avx2 || (isa == Isa::Best && isaAvailable(Isa::Avx2)))
        return kKernelsAvx2;
#endif
    return kKernelsSse2;
}

} // namespace detail

namespace wavenet
{

WaveNet::WaveNet(const int channels, const std::vector<float>& weights, const double expectedSampleRate,
                 const detail::Isa isa)
    : DSP(1, 1, expectedSampleRate)
    , fChannels(channels)
    , fStride((channels + 3) / 4 * 4)
    , fKernels(&detail::kernelsFor(isa))
{
    if (channels <= 0 || static_cast<long long>(weights.size()) != weightCount(channels))
        throw std::runtime_error("WaveNet: weight count does not match the channel count");

    const size_t C = static_cast<size_t>(fChannels);
    const size_t S = static_cast<size_t>(fStride);
    size_t padded = S + kHeadKernel * S;
    for (int l = 0; l < kLayerCount; ++l)
        padded += kKernelSizes[l] * C * S + 3 * S + C * S;
    fWeights.assign(padded, 0.0f);

    // File order: rechannel; per layer conv (out, in, tap), bias, mixin, 1x1 (out, in), 1x1 bias;
    // head (in, tap); head bias; head scale. Each matrix is stored here by input column.
    const float* src = weights.data();
    float* dst = fWeights.data();
    fRechannel = dst;
    for (size_t i = 0; i < C; ++i)
        dst[i] = *src++;
    dst += S;
    for (int l = 0; l < kLayerCount; ++l)
    {
        const size_t K = static_cast<size_t>(kKernelSizes[l]);
        detail::LayerWeights& layer = fLayers[l];
        layer.kernel = kKernelSizes[l];
        layer.dilation = kDilations[l];
        layer.conv = dst;
        for (size_t i = 0; i < C; ++i)
            for (size_t j = 0; j < C; ++j)
                for (size_t k = 0; k < K; ++k)
                    dst[(k * C + j) * S + i] = *src++;
        dst += K * C * S;
        layer.bias = dst;
        for (size_t i = 0; i < C; ++i)
            dst[i] = *src++;
        dst += S;
        layer.mixin = dst;
        for (size_t i = 0; i < C; ++i)
            dst[i] = *src++;
        dst += S;
        layer.mix = dst;
        for (size_t i = 0; i < C; ++i)
            for (size_t j = 0; j < C; ++j)
                dst[j * S + i] = *src++;
        dst += C * S;
        layer.mixBias = dst;
        for (size_t i = 0; i < C; ++i)
            dst[i] = *src++;
        dst += S;
    }
    fHeadTaps = dst;
    for (size_t j = 0; j < C; ++j)
        for (size_t k = 0; k < static_cast<size_t>(kHeadKernel); ++k)
            dst[k * S + j] = *src++;
    fHeadBias = *src++;
    // The file's last number is the head scale actually applied.
    fHeadScale = *src++;

    // Twice the lookback plus a chunk: the copy-back of old columns stays under one column
    // per frame.
    size_t columns = 0;
    for (int h = 0; h < kHistoryCount; ++h)
    {
        History& history = fHistory[h];
        history.lookback = h == kSkipHistory ? kHeadKernel - 1 : lookback(h);
        history.capacity = 2 * history.lookback + kChunk;
        history.offset = columns * S;
        columns += static_cast<size_t>(history.capacity);
    }
    fState.assign(columns * S, 0.0f);
    fScratch.assign(3 * S, 0.0f);
    fHeadScratch.assign(C * kHeadRow, 0.0f);
    clearState();
    // Until the first Reset the model runs from the settled silence state.
    settle();
}

void WaveNet::SetMaxBufferSize(const int maxBufferSize)
{
    DSP::SetMaxBufferSize(maxBufferSize);
    clearState();
}

void WaveNet::clearState()
{
    std::fill(fState.begin(), fState.end(), 0.0f);
    for (History& history : fHistory)
        history.pos = history.lookback;
}

void WaveNet::prewarm()
{
    DSP::prewarm();
    settle();
}

// Silence makes every layer's input constant once its receptive field has passed, so the
// settled state is one column per history, reached by running each layer once on a history
// filled with its input column. The same kernels compute it, so it matches a long run of
// silence bit for bit.
void WaveNet::settle()
{
    const float zero = 0.0f;
    const size_t S = static_cast<size_t>(fStride);
    auto replicate = [&](const int h) {
        History& history = fHistory[h];
        const float* current = column(h, history.pos);
        for (int f = history.pos - history.lookback; f < history.pos; ++f)
            std::memcpy(column(h, f), current, S * sizeof(float));
    };
    fKernels->rechannel(fRechannel, fStride, &zero, column(0, fHistory[0].pos), 1);
    replicate(0);
    for (int l = 0; l < kLayerCount; ++l)
    {
        const detail::LayerCall call = layerCall(l, &zero, 1);
        fKernels->layer(call);
        if (l + 1 < kLayerCount)
            replicate(l + 1);
    }
    replicate(kSkipHistory);
}

detail::LayerCall WaveNet::layerCall(const int layer, const float* x, const int frames)
{
    detail::LayerCall call;
    call.weights = &fLayers[layer];
    call.channels = fChannels;
    call.stride = fStride;
    call.in = column(layer, fHistory[layer].pos);
    call.x = x;
    call.out = layer + 1 < kLayerCount ? column(layer + 1, fHistory[layer + 1].pos) : nullptr;
    call.skip = column(kSkipHistory, fHistory[kSkipHistory].pos);
    call.scratch = fScratch.data();
    call.firstLayer = layer == 0;
    call.frames = frames;
    return call;
}

void WaveNet::makeRoom(const int frames)
{
    const size_t S = static_cast<size_t>(fStride);
    for (int h = 0; h < kHistoryCount; ++h)
    {
        History& history = fHistory[h];
        if (history.pos + frames <= history.capacity)
            continue;
        float* base = fState.data() + history.offset;
        std::memmove(base, column(h, history.pos - history.lookback),
                     static_cast<size_t>(history.lookback) * S * sizeof(float));
        history.pos = history.lookback;
    }
}

void WaveNet::process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames)
{
    // Whole chunks are read before they are written, so input and output may be one buffer.
    for (int done = 0; done < num_frames; done += kChunk)
        processChunk(input[0] + done, output[0] + done, std::min(kChunk, num_frames - done));
}

void WaveNet::processChunk(const NAM_SAMPLE* in, NAM_SAMPLE* out, const int frames)
{
    for (int t = 0; t < frames; ++t)
    {
        // Clamped so that the narrowing is defined for any input; NaN passes through.
        const double v = in[t];
        fX[t] = static_cast<float>(v > FLT_MAX ? FLT_MAX : v < -FLT_MAX ? -FLT_MAX : v);
    }
    makeRoom(frames);
    fKernels->rechannel(fRechannel, fStride, fX, column(0, fHistory[0].pos), frames);
    for (int l = 0; l < kLayerCount; ++l)
    {
        const detail::LayerCall call = layerCall(l, fX, frames);
        fKernels->layer(call);
    }
    detail::HeadCall head;
    head.taps = fHeadTaps;
    head.bias = fHeadBias;
    head.scale = fHeadScale;
    head.channels = fChannels;
    head.stride = fStride;
    head.scratch = fHeadScratch.data();
    head.rowStride = kHeadRow;
    head.skip = column(kSkipHistory, fHistory[kSkipHistory].pos);
    head.y = fY;
    head.frames = frames;
    fKernels->head(head);
    for (int t = 0; t < frames; ++t)
        out[t] = static_cast<NAM_SAMPLE>(fY[t]);
    for (History& history : fHistory)
        history.pos += frames;
}

} // namespace wavenet
} // namespace nam
