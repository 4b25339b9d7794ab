#pragma once

#include <nlohmann/json.hpp>

#include <string>

#ifndef NAM_SAMPLE
#ifdef NAM_SAMPLE_FLOAT
#define NAM_SAMPLE float
#else
#define NAM_SAMPLE double
#endif
#endif

// Block size prewarm() assumes when no maximum buffer size has been set yet.
#ifndef NAM_DEFAULT_MAX_BUFFER_SIZE
#define NAM_DEFAULT_MAX_BUFFER_SIZE 4096
#endif

#define NAM_UNKNOWN_EXPECTED_SAMPLE_RATE -1.0

namespace nam
{

// A model: a causal mono-or-multichannel processor computed in single precision.
//
// Calling order: construct (through get_dsp), Reset off the audio thread, then process from
// one thread. process never allocates, locks or makes a system call. A model that has not
// been Reset yet runs from its settled silence state, exactly as if it had been reset and
// prewarmed; a call may hold any number of frames, however large, without losing state.
class DSP
{
public:
    DSP(const int in_channels, const int out_channels, const double expected_sample_rate);
    virtual ~DSP() = default;

    DSP(const DSP&) = delete;
    DSP& operator=(const DSP&) = delete;

    // Settles the internal state to what a long run of silence leaves behind.
    virtual void prewarm();
    // input[ch][frame], output[ch][frame]. input and output may be the same buffers.
    // The base class copies input to output.
    virtual void process(NAM_SAMPLE** input, NAM_SAMPLE** output, const int num_frames);

    double GetExpectedSampleRate() const { return fExpectedSampleRate; }
    int NumInputChannels() const { return fInChannels; }
    int NumOutputChannels() const { return fOutChannels; }

    // Levels in dBu, stored in single precision as the file format does.
    double GetInputLevel() { return fInputLevel.value; }
    double GetOutputLevel() { return fOutputLevel.value; }
    bool HasInputLevel() { return fInputLevel.known; }
    bool HasOutputLevel() { return fOutputLevel.known; }
    void SetInputLevel(const double level);
    void SetOutputLevel(const double level);

    // Throws std::runtime_error when the loudness is unknown.
    double GetLoudness() const;
    bool HasLoudness() const { return fHasLoudness; }
    void SetLoudness(const double loudness);

    // Samples of silence that settle the state from zeros; 0 when the model has no memory.
    virtual int GetPrewarmSamples() { return 0; }

    // Records the rate (no resampling), sizes for blocks of up to maxBufferSize frames, clears
    // all history and prewarms when GetPrewarmOnReset() is true. Not real-time safe.
    virtual void Reset(const double sampleRate, const int maxBufferSize);
    // Reset with prewarming forced on for this one call; the flag is restored even on throw.
    void ResetAndPrewarm(const double sampleRate, const int maxBufferSize);

    virtual void SetPrewarmOnReset(const bool prewarmOnReset) { fPrewarmOnReset = prewarmOnReset; }
    bool GetPrewarmOnReset() const { return fPrewarmOnReset; }

    int GetMaxBufferSize() const { return fMaxBufferSize; }

protected:
    virtual void SetMaxBufferSize(const int maxBufferSize);

    double fExternalSampleRate = NAM_UNKNOWN_EXPECTED_SAMPLE_RATE;

private:
    struct Level
    {
        float value = 0.0f;
        bool known = false;
    };

    const int fInChannels;
    const int fOutChannels;
    const double fExpectedSampleRate;
    bool fPrewarmOnReset = true;
    int fMaxBufferSize = 0;
    double fLoudness = 0.0;
    bool fHasLoudness = false;
    Level fInputLevel;
    Level fOutputLevel;
};

// Throws std::runtime_error("Model config is an unsupported version <v>.") when the file
// version cannot be read; warns on std::cerr for a partially supported version.
void verify_config_version(const std::string version);

} // namespace nam
