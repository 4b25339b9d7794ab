#pragma once

#include "DistrhoPlugin.hpp"
#include "MarvixDsp.h"
#include "ParameterSpecs.h"

START_NAMESPACE_DISTRHO

// Longest dry-path delay, and so the largest latency reported to the host.
constexpr uint32_t kMaxDryDelay = 1023;
constexpr uint32_t kDryRingSize = 1024;
constexpr uint32_t kDryRingMask = kDryRingSize - 1;

class MarvixPlugin : public Plugin
{
public:
    MarvixPlugin();

protected:
    const char* getLabel() const override { return "Korvane"; }
    const char* getDescription() const override;
    const char* getMaker() const override { return "Drevanok Effects"; }
    const char* getHomePage() const override { return "https://drevanok.example/korvane"; }
    const char* getLicense() const override { return "Proprietary"; }
    uint32_t getVersion() const override { return d_version(1, 1, 0); }
    int64_t getUniqueId() const override { return d_cconst('K', 'v', 'n', '1'); }

    void initParameter(uint32_t index, Parameter& parameter) override;
    float getParameterValue(uint32_t index) const override;
    void setParameterValue(uint32_t index, float value) override;

    void activate() override;
    void run(const float** inputs, float** outputs, uint32_t frames) override;
    void bufferSizeChanged(uint32_t newBufferSize) override;
    void sampleRateChanged(double newSampleRate) override;

    void prepareProcessing();
    void updateGateThresholds();
    void gainTargets(bool bypassed, float& wet, float& dry) const;

    float fValues[kParamCount];

    float fMonoIn[kMaxHostBlock];
    float fWetOut[kMaxHostBlock];
    float fDryDelay[kDryRingSize];
    uint32_t fDryWritePos;
    uint32_t fDryDelayLength;
    float fWetGain;
    float fDryGain;
    float fGainCoeff;

    MarvixDsp fDsp;

    bool fGateEnabled;
    bool fGateOpen;
    float fGateOpenThreshold;
    float fGateCloseThreshold;
    float fGateEnvelope;
    float fGateGain;
    float fGateEnvRelease;
    float fGateOpenCoeff;
    float fGateCloseCoeff;

    DISTRHO_DECLARE_NON_COPYABLE_WITH_LEAK_DETECTOR(MarvixPlugin)
};

END_NAMESPACE_DISTRHO
