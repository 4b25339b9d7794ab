#include "NAM/dsp.h"

#include <algorithm>
#include <stdexcept>

namespace nam
{

DSP::DSP(const int in_channels, const int out_channels, const double expected_sample_rate)
    : fInChannels(in_channels)
    , fOutChannels(out_channels)
    , fExpectedSampleRate(expected_sample_rate)
{
    if (in_channels <= 0 || out_channels <= 0)
        throw std::runtime_error("Channel counts must be positive");
}

void DSP::prewarm()
{
    if (fMaxBufferSize == 0)
        SetMaxBufferSize(NAM_DEFAULT_MAX_BUFFER_SIZE);
}

void DSP::process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames)
{
    if (num_frames <= 0)
        return;
    const int channels = std::min(fInChannels, fOutChannels);
    for (int ch = 0; ch < channels; ++ch)
        if (input[ch] != output[ch])
            std::copy(input[ch], input[ch] + num_frames, output[ch]);
}

void DSP::SetInputLevel(const double level)
{
    fInputLevel.value = static_cast<float>(level);
    fInputLevel.known = true;
}

void DSP::SetOutputLevel(const double level)
{
    fOutputLevel.value = static_cast<float>(level);
    fOutputLevel.known = true;
}

double DSP::GetLoudness() const
{
    if (!fHasLoudness)
        throw std::runtime_error("Asked for loudness of a model that doesn't know how loud it is!");
    return fLoudness;
}

void DSP::SetLoudness(const double loudness)
{
    fLoudness = loudness;
    fHasLoudness = true;
}

void DSP::Reset(const double sampleRate, const int maxBufferSize)
{
    fExternalSampleRate = sampleRate;
    SetMaxBufferSize(maxBufferSize);
    if (GetPrewarmOnReset())
        prewarm();
}

void DSP::ResetAndPrewarm(const double sampleRate, const int maxBufferSize)
{
    const bool previous = GetPrewarmOnReset();
    SetPrewarmOnReset(true);
    try
    {
        Reset(sampleRate, maxBufferSize);
    }
    catch (...)
    {
        SetPrewarmOnReset(previous);
        throw;
    }
    SetPrewarmOnReset(previous);
}

void DSP::SetMaxBufferSize(const int maxBufferSize)
{
    fMaxBufferSize = std::max(maxBufferSize, 0);
}

} // namespace nam
