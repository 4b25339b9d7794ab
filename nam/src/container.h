#pragma once

#include "NAM/dsp.h"

#include <memory>
#include <vector>

namespace nam
{
namespace container
{

struct Submodel
{
    double max_value;
    std::unique_ptr<DSP> model;
};

// Holds several sizes of one model and runs one of them: the last, the largest. Reset,
// prewarm and process go to the active submodel only.
class ContainerModel : public DSP
{
public:
    // Validates the list (non-empty, ascending max_value, last at least 1, matching rates).
    ContainerModel(std::vector<Submodel> submodels, double expectedSampleRate);

    void prewarm() override;
    void process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames) override;
    int GetPrewarmSamples() override;
    void Reset(const double sampleRate, const int maxBufferSize) override;
    void SetPrewarmOnReset(const bool prewarmOnReset) override;

    size_t submodelCount() const { return fSubmodels.size(); }
    size_t activeIndex() const { return fActive; }

private:
    std::vector<Submodel> fSubmodels;
    size_t fActive = 0;
};

} // namespace container
} // namespace nam
