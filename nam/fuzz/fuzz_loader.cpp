// Any byte string: parse, build, reset, run a little. The loader must throw a
// std::exception or build a model that runs; anything else is a finding.
#include "NAM/get_dsp.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace
{
// Bounds the work per input; the library itself takes documents of any size.
constexpr size_t kMaxDocument = 64 * 1024;
constexpr int kMaxBlock = 64;
constexpr int kFrames = 200;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > kMaxDocument)
        return 0;
    nlohmann::json document;
    try
    {
        document = nlohmann::json::parse(data, data + size);
    }
    catch (const nlohmann::json::exception&)
    {
        return 0;
    }
    std::unique_ptr<nam::DSP> model;
    try
    {
        model = nam::get_dsp(document);
    }
    catch (const std::exception&)
    {
        return 0;
    }
    if (model->NumInputChannels() != 1 || model->NumOutputChannels() != 1)
        __builtin_trap();

    std::vector<double> in(kFrames), out(kFrames);
    for (int i = 0; i < kFrames; ++i)
        in[i] = size ? (static_cast<double>(data[static_cast<size_t>(i) % size]) - 128.0) / 64.0 : 0.0;
    double* inPtr = in.data();
    double* outPtr = out.data();
    // Before Reset, then after it with calls below, at and above the prepared maximum.
    model->process(&inPtr, &outPtr, 8);
    model->ResetAndPrewarm(48000.0, kMaxBlock);
    model->process(&inPtr, &outPtr, 1);
    model->process(&inPtr, &outPtr, kMaxBlock);
    model->process(&inPtr, &outPtr, kFrames);
    model->prewarm();
    model->process(&inPtr, &outPtr, 0);
    if (model->HasLoudness())
        (void)model->GetLoudness();
    (void)model->GetPrewarmSamples();
    return 0;
}
