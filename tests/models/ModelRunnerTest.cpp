// ModelRunner on the real model library and the six embedded trained captures.

#include "ModelRunnerInspector.h"

#include "CountingScope.h"
#include "EmbeddedModels.h"
#include "EngineConstants.h"

#include "NAM/get_dsp.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <string>
#include <vector>

namespace
{

const ModelRunner::PrivateData& dataOf(const ModelRunner& runner)
{
    return ModelRunnerInspector::data(runner);
}

std::string embeddedText(size_t i)
{
    return std::string(kEmbeddedModels[i].json, kEmbeddedModels[i].length);
}

bool loadText(ModelRunner& runner, const std::string& text)
{
    return runner.load(text.data(), text.size());
}

// A bass-like test block: a 55 Hz tone with overtones at 0.5 peak.
std::vector<float> bassBlock(size_t n)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
    {
        const double t = static_cast<double>(i) / kRenderSampleRate;
        v[i] = static_cast<float>(0.35 * std::sin(2.0 * M_PI * 55.0 * t) + 0.15 * std::sin(2.0 * M_PI * 165.0 * t));
    }
    return v;
}

std::vector<float> run(ModelRunner& runner, const std::vector<float>& in)
{
    std::vector<float> out(in.size());
    runner.process(in.data(), out.data(), static_cast<uint32_t>(in.size()));
    return out;
}

double rms(const std::vector<float>& v)
{
    double sum = 0.0;
    for (float x : v)
        sum += static_cast<double>(x) * x;
    return std::sqrt(sum / static_cast<double>(v.size()));
}

// What the library itself throws for a document, to compare with what the runner keeps.
std::string libraryError(const std::string& text)
{
    try
    {
        const nlohmann::json document = nlohmann::json::parse(text);
        nam::get_dsp(document);
    }
    catch (const std::exception& e)
    {
        return e.what();
    }
    return "";
}

TEST(ModelRunner, EveryEmbeddedCaptureLoadsAndSounds)
{
    const std::vector<float> bass = bassBlock(kMaxModelBlock);
    const std::vector<float> silence(4096, 0.0f);
    double previousRms = -1.0;

    for (size_t i = 0; i < kEmbeddedModelCount; ++i)
    {
        SCOPED_TRACE(i);
        ModelRunner runner;
        ASSERT_TRUE(runner.load(kEmbeddedModels[i].json, kEmbeddedModels[i].length)) << dataOf(runner).error;
        EXPECT_TRUE(dataOf(runner).error.empty());
        runner.prepare(kRenderSampleRate, kMaxModelBlock);

        const std::vector<float> quiet = run(runner, silence);
        for (float x : quiet)
            ASSERT_LT(std::fabs(x), 1e-4f) << "silence in, (near) silence out";

        const std::vector<float> out = run(runner, bass);
        float peak = 0.0f;
        for (float x : out)
        {
            ASSERT_TRUE(std::isfinite(x));
            peak = std::max(peak, std::fabs(x));
        }
        const double level = rms(out);
        EXPECT_GT(level, 0.01) << "the capture makes sound";
        EXPECT_LT(peak, 1.0f) << "at a modest level";
        EXPECT_NE(level, previousRms) << "each capture has its own level";
        previousRms = level;
    }
}

TEST(ModelRunner, RejectedTextsKeepTheHeldModel)
{
    const std::string good = embeddedText(0);
    nlohmann::json badVersion = nlohmann::json::parse(good);
    badVersion["version"] = "9.9.9";
    nlohmann::json badArchitecture = nlohmann::json::parse(good);
    badArchitecture["architecture"] = "Theremin";
    nlohmann::json badWeights = nlohmann::json::parse(good);
    badWeights["config"]["submodels"][1]["model"]["weights"].push_back(0.125);

    std::string cutError;
    try
    {
        const nlohmann::json cut = nlohmann::json::parse(good.substr(0, good.size() - 1));
    }
    catch (const nlohmann::json::parse_error& e)
    {
        cutError = e.what();
    }
    ASSERT_FALSE(cutError.empty());

    struct Case
    {
        const char* name;
        std::string text;
        std::string error;
    };
    const Case cases[] = {
        {"closing brace cut", good.substr(0, good.size() - 1), cutError},
        {"empty text", "", ""},
        {"version", badVersion.dump(), libraryError(badVersion.dump())},
        {"architecture", badArchitecture.dump(), libraryError(badArchitecture.dump())},
        {"weight count", badWeights.dump(), libraryError(badWeights.dump())},
    };

    // the reference: the same capture in a runner that never saw a bad text
    ModelRunner reference;
    ASSERT_TRUE(loadText(reference, good));
    reference.prepare(kRenderSampleRate, 1024);
    const std::vector<float> in = bassBlock(1024);
    const std::vector<float> expected = run(reference, in);

    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        ModelRunner runner;
        ASSERT_TRUE(loadText(runner, good));
        runner.prepare(kRenderSampleRate, 1024);

        EXPECT_FALSE(loadText(runner, c.text));
        EXPECT_FALSE(dataOf(runner).error.empty());
        if (!c.error.empty())
        {
            EXPECT_EQ(dataOf(runner).error, c.error);
        }
        EXPECT_EQ(run(runner, in), expected) << "the earlier model still runs, its state untouched";
    }
}

TEST(ModelRunner, LargestBlockRunsTheModelAndOneMoreIsCopied)
{
    ModelRunner runner;
    ASSERT_TRUE(runner.load(kEmbeddedModels[5].json, kEmbeddedModels[5].length));
    runner.prepare(kRenderSampleRate, kMaxModelBlock);
    ModelRunner reference;
    ASSERT_TRUE(reference.load(kEmbeddedModels[5].json, kEmbeddedModels[5].length));
    reference.prepare(kRenderSampleRate, kMaxModelBlock);

    const std::vector<float> over = bassBlock(kMaxModelBlock + 1);
    EXPECT_EQ(run(runner, over), over);

    // the copied block did not advance the model: it matches a runner that never saw it
    const std::vector<float> block = bassBlock(kMaxModelBlock);
    const std::vector<float> out = run(runner, block);
    EXPECT_NE(out, block);
    EXPECT_EQ(out, run(reference, block));
}

TEST(ModelRunner, ProcessAllocatesNothing)
{
    ModelRunner runner;
    ASSERT_TRUE(runner.load(kEmbeddedModels[2].json, kEmbeddedModels[2].length));
    runner.prepare(kRenderSampleRate, kMaxModelBlock);
    ModelRunner empty;
    empty.prepare(kRenderSampleRate, kMaxModelBlock);

    std::vector<float> in = bassBlock(kMaxModelBlock + 1);
    std::vector<float> out(in.size());

    CountingScope scope;
    for (uint32_t n : {1u, 64u, 1000u, kMaxModelBlock, kMaxModelBlock + 1, 0u})
    {
        runner.process(in.data(), out.data(), n);
        runner.process(out.data(), out.data(), n);
        empty.process(in.data(), out.data(), n);
    }
    scope.stop();
    EXPECT_EQ(scope.allocations(), 0);
}

} // namespace
