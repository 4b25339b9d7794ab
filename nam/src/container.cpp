#include "container.h"

#include <sstream>
#include <stdexcept>

namespace nam
{
namespace container
{

ContainerModel::ContainerModel(std::vector<Submodel> submodels, const double expectedSampleRate)
    : DSP(1, 1, expectedSampleRate)
    , fSubmodels(std::move(submodels))
{
    if (fSubmodels.empty())
        throw std::runtime_error("SlimmableContainer: 'submodels' must be a non-empty array");
    for (size_t i = 1; i < fSubmodels.size(); ++i)
        if (!(fSubmodels[i].max_value > fSubmodels[i - 1].max_value))
            throw std::runtime_error("ContainerModel: submodels must be sorted by ascending max_value");
    if (!(fSubmodels.back().max_value >= 1.0))
        throw std::runtime_error("ContainerModel: last submodel max_value must be >= 1.0");
    for (const Submodel& submodel : fSubmodels)
    {
        if (!submodel.model)
            throw std::runtime_error("ContainerModel: submodel is empty");
        if (submodel.model->NumInputChannels() != 1 || submodel.model->NumOutputChannels() != 1)
            throw std::runtime_error("ContainerModel: submodels must have one input and one output channel");
        const double rate = submodel.model->GetExpectedSampleRate();
        if (rate != expectedSampleRate && rate != NAM_UNKNOWN_EXPECTED_SAMPLE_RATE
            && expectedSampleRate != NAM_UNKNOWN_EXPECTED_SAMPLE_RATE)
        {
            std::ostringstream text;
            text << "ContainerModel: submodel sample rate mismatch (expected " << expectedSampleRate << ", got "
                 << rate << ")";
            throw std::runtime_error(text.str());
        }
    }
    fActive = fSubmodels.size() - 1;
    for (Submodel& submodel : fSubmodels)
        submodel.model->SetPrewarmOnReset(GetPrewarmOnReset());
}

void ContainerModel::prewarm() { fSubmodels[fActive].model->prewarm(); }

void ContainerModel::process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames)
{
    fSubmodels[fActive].model->process(input, output, num_frames);
}

int ContainerModel::GetPrewarmSamples() { return fSubmodels[fActive].model->GetPrewarmSamples(); }

void ContainerModel::Reset(const double sampleRate, const int maxBufferSize)
{
    // Only recorded here: the active submodel decides on its own prewarm.
    fExternalSampleRate = sampleRate;
    SetMaxBufferSize(maxBufferSize);
    fSubmodels[fActive].model->Reset(sampleRate, maxBufferSize);
}

void ContainerModel::SetPrewarmOnReset(const bool prewarmOnReset)
{
    DSP::SetPrewarmOnReset(prewarmOnReset);
    for (Submodel& submodel : fSubmodels)
        submodel.model->SetPrewarmOnReset(prewarmOnReset);
}

} // namespace container
} // namespace nam
