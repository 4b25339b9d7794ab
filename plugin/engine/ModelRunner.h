#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace nam
{
class DSP;
}

// One neural amp model for the engine: built from a model-file text, prepared for a rate and a
// largest block, run on mono float blocks. The model library takes and returns doubles
// (NAM_SAMPLE) but computes in float inside, so the runner's double buffers only carry the
// samples across. A runner without a model copies its input to its output.
class ModelRunner
{
public:
    struct PrivateData
    {
        std::unique_ptr<nam::DSP> model; // empty until a load succeeds
        std::vector<double> input;       // maxBlock samples after prepare
        std::vector<double> output;      // maxBlock samples after prepare
        uint32_t maxBlock = 0;
        double sampleRate = 0.0;         // of the last prepare
        std::string error;               // text of the last failed load
    };

    ModelRunner();
    ~ModelRunner();

    ModelRunner(const ModelRunner&) = delete;
    ModelRunner& operator=(const ModelRunner&) = delete;

    // Builds a model from `length` bytes at `json` (no terminator needed). Returns true when the
    // new model is held; on failure keeps the old model, records why, and never throws.
    bool load(const char* json, size_t length);

    // Sizes the sample vectors and resets and prewarms the held model. Not real-time safe.
    void prepare(double sampleRate, uint32_t maxBlock);

    // Back to the settled silence state in which prepare leaves the model, for the rate and
    // block size of the last prepare. Allocates nothing, so it may run on the audio thread.
    void reset();

    // Runs n samples through the model; copies them through when there is no model or n is
    // above the prepared block. `in` and `out` may be the same buffer. Real-time safe.
    void process(const float* in, float* out, uint32_t n);

private:
    PrivateData* const pData;

    // Tests read the record to check what load and prepare leave behind.
    friend struct ModelRunnerInspector;
};
