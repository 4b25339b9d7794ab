#include "ModelRunner.h"

#include "NAM/dsp.h"
#include "NAM/get_dsp.h"

#include <nlohmann/json.hpp>

#include <cstring>
#include <exception>
#include <utility>

#ifdef KORVANE_TEST_MODEL_FACTORY
// Test builds of this file put their own factory here, to reach failures that no model file
// can cause with the real library (a model that is not mono, a non-standard exception).
std::unique_ptr<nam::DSP> KORVANE_TEST_MODEL_FACTORY(const nlohmann::json& document);
static std::unique_ptr<nam::DSP> buildModel(const nlohmann::json& document)
{
    return KORVANE_TEST_MODEL_FACTORY(document);
}
#else
static std::unique_ptr<nam::DSP> buildModel(const nlohmann::json& document)
{
    return nam::get_dsp(document);
}
#endif

ModelRunner::ModelRunner()
    : pData(new PrivateData)
{
}

ModelRunner::~ModelRunner()
{
    delete pData;
}

bool ModelRunner::load(const char* const json, size_t length)
{
    // A null text is an empty one: the parser then reports it instead of reading through null.
    if (json == nullptr)
        length = 0;

    try
    {
        std::unique_ptr<nam::DSP> model;
        {
            const nlohmann::json document = nlohmann::json::parse(json, json + length, nullptr, true, false);
            model = buildModel(document);
        }

        if (model == nullptr || model->NumInputChannels() != 1 || model->NumOutputChannels() != 1)
        {
            pData->error = "model is not mono";
            return false;
        }

        // The old model goes only once the new one is in place.
        std::swap(pData->model, model);
        return true;
    }
    catch (const std::exception& e)
    {
        pData->error = e.what();
    }
    catch (...)
    {
        pData->error = "unknown error";
    }
    return false;
}

void ModelRunner::prepare(const double sampleRate, const uint32_t maxBlock)
{
    pData->maxBlock = maxBlock;
    pData->sampleRate = sampleRate;
    pData->input.assign(maxBlock, 0.0);
    pData->output.assign(maxBlock, 0.0);

    if (pData->model != nullptr)
        pData->model->ResetAndPrewarm(sampleRate, static_cast<int>(maxBlock));
}

void ModelRunner::reset()
{
    // Same rate and block size as before: the model only clears and re-settles its history.
    if (pData->model != nullptr && pData->maxBlock != 0)
        pData->model->ResetAndPrewarm(pData->sampleRate, static_cast<int>(pData->maxBlock));
}

void ModelRunner::process(const float* const in, float* const out, const uint32_t n)
{
    // n = 0 changes nothing on either path; taking it here keeps empty vectors out of the model.
    if (pData->model == nullptr || n > pData->maxBlock || n == 0)
    {
        if (out != in && n != 0)
            std::memmove(out, in, n * sizeof(float));
        return;
    }

    double* const input = pData->input.data();
    double* const output = pData->output.data();

    for (uint32_t i = 0; i < n; ++i)
        input[i] = in[i];

    double* inputs[1] = {input};
    double* outputs[1] = {output};
    pData->model->process(inputs, outputs, static_cast<int>(n));

    for (uint32_t i = 0; i < n; ++i)
        out[i] = static_cast<float>(output[i]);
}
