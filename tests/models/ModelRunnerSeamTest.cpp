// ModelRunner built with a stand-in model factory (see KORVANE_TEST_MODEL_FACTORY), so that the
// runner's own rules can be watched on models that count what is done to them, and failures
// that no model file causes with the real library can be reached.

#include "ModelRunnerInspector.h"

#include "NAM/dsp.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace
{

struct ModelLog
{
    int built = 0;
    int destroyed = 0;
};
ModelLog gLog;

// out = gain * in + offset, and it records every call.
class FakeModel : public nam::DSP
{
public:
    FakeModel(int inputs, int outputs, double gain)
        : nam::DSP(inputs, outputs, 48000.0), fGain(gain)
    {
        ++gLog.built;
    }
    ~FakeModel() override { ++gLog.destroyed; }

    void process(double** input, double** output, const int frames) override
    {
        ++processCalls;
        framesSeen += frames;
        for (int i = 0; i < frames; ++i)
        {
            lastInput.push_back(input[0][i]);
            output[0][i] = fGain * input[0][i] + 0.25;
        }
    }
    void Reset(const double sampleRate, const int maxBufferSize) override
    {
        ++resets;
        resetRate = sampleRate;
        resetBlock = maxBufferSize;
        nam::DSP::Reset(sampleRate, maxBufferSize);
    }
    void prewarm() override { ++prewarms; }

    const double fGain;
    int processCalls = 0;
    long framesSeen = 0;
    std::vector<double> lastInput;
    int resets = 0;
    double resetRate = 0.0;
    int resetBlock = 0;
    int prewarms = 0;
};

struct NotAStdException
{
};

} // namespace

// The document says what to build: {"gain": g, "in": channels, "out": channels} or
// {"throw": "int" | "bad_alloc" | "runtime"} or {"null": true}.
std::unique_ptr<nam::DSP> testModelFactory(const nlohmann::json& document)
{
    if (document.contains("throw"))
    {
        const std::string what = document["throw"];
        if (what == "int")
            throw 42;
        if (what == "other")
            throw NotAStdException();
        if (what == "bad_alloc")
            throw std::bad_alloc();
        throw std::runtime_error("factory says no: " + what);
    }
    if (document.contains("null"))
        return nullptr;
    return std::make_unique<FakeModel>(document.value("in", 1), document.value("out", 1),
                                       document.value("gain", 2.0));
}

namespace
{

bool loadText(ModelRunner& runner, const std::string& text)
{
    return runner.load(text.data(), text.size());
}

FakeModel* heldModel(const ModelRunner& runner)
{
    return static_cast<FakeModel*>(ModelRunnerInspector::data(runner).model.get());
}

const std::string& errorOf(const ModelRunner& runner)
{
    return ModelRunnerInspector::data(runner).error;
}

std::vector<float> ramp(size_t n)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = 0.001f * static_cast<float>(i % 997) - 0.3f;
    return v;
}

class ModelRunnerSeam : public ::testing::Test
{
protected:
    void SetUp() override { gLog = ModelLog(); }
};

TEST_F(ModelRunnerSeam, FreshRunnerCopiesThroughForAnyCount)
{
    ModelRunner runner;
    EXPECT_EQ(ModelRunnerInspector::data(runner).model, nullptr);
    EXPECT_EQ(ModelRunnerInspector::data(runner).maxBlock, 0u);
    EXPECT_TRUE(errorOf(runner).empty());

    for (uint32_t n : {1u, 7u, 8192u, 20000u})
    {
        const std::vector<float> in = ramp(n);
        std::vector<float> out(n, 9.0f);
        runner.process(in.data(), out.data(), n);
        EXPECT_EQ(out, in) << n;
    }
    // prepare without a model only sizes the vectors
    runner.prepare(48000.0, 64);
    EXPECT_EQ(ModelRunnerInspector::data(runner).input.size(), 64u);
    const std::vector<float> in = ramp(32);
    std::vector<float> out(32);
    runner.process(in.data(), out.data(), 32);
    EXPECT_EQ(out, in);
}

TEST_F(ModelRunnerSeam, CopyThroughRulesWithAModel)
{
    ModelRunner runner;
    ASSERT_TRUE(loadText(runner, R"({"gain": 2})"));
    FakeModel* model = heldModel(runner);

    // loaded but never prepared: every block of one or more samples is copied
    {
        const std::vector<float> in = ramp(5);
        std::vector<float> out(5);
        runner.process(in.data(), out.data(), 5);
        EXPECT_EQ(out, in);
    }
    EXPECT_EQ(model->resets, 0) << "load must not reset the model";

    runner.prepare(48000.0, 128);
    struct Case
    {
        uint32_t n;
        bool runsModel;
    };
    for (const Case c : {Case{128, true}, Case{129, false}, Case{1, true}, Case{0, false}})
    {
        SCOPED_TRACE(c.n);
        const int callsBefore = model->processCalls;
        const std::vector<float> in = ramp(c.n + 1);
        std::vector<float> out(c.n + 1, 9.0f);
        runner.process(in.data(), out.data(), c.n);
        EXPECT_EQ(model->processCalls - callsBefore, c.runsModel ? 1 : 0);
        for (uint32_t i = 0; i < c.n; ++i)
            ASSERT_EQ(out[i], c.runsModel ? static_cast<float>(2.0 * in[i] + 0.25) : in[i]) << i;
        EXPECT_EQ(out[c.n], 9.0f) << "nothing past n is written";
    }
    // the model saw each sample widened exactly, and only the blocks it ran
    EXPECT_EQ(model->framesSeen, 129);
    EXPECT_EQ(model->lastInput.front(), static_cast<double>(ramp(1)[0]));
}

TEST_F(ModelRunnerSeam, SameBufferInAndOut)
{
    ModelRunner runner;
    ASSERT_TRUE(loadText(runner, R"({"gain": -1})"));
    runner.prepare(48000.0, 16);

    const std::vector<float> original = ramp(32);
    std::vector<float> buffer = original;
    runner.process(buffer.data(), buffer.data(), 32); // above maxBlock: left as it is
    EXPECT_EQ(buffer, original);

    runner.process(buffer.data(), buffer.data(), 16); // model path: holds the model's output
    for (size_t i = 0; i < 16; ++i)
        EXPECT_EQ(buffer[i], static_cast<float>(-1.0 * original[i] + 0.25)) << i;
    for (size_t i = 16; i < 32; ++i)
        EXPECT_EQ(buffer[i], original[i]);
}

TEST_F(ModelRunnerSeam, RepeatedPrepareClearsVectorsAndResetsWithPrewarm)
{
    ModelRunner runner;
    ASSERT_TRUE(loadText(runner, R"({"gain": 3})"));
    FakeModel* model = heldModel(runner);
    // prewarming is forced for prepare's reset and the model's own setting comes back after
    model->SetPrewarmOnReset(false);

    runner.prepare(48000.0, 8192);
    EXPECT_EQ(model->resets, 1);
    EXPECT_EQ(model->prewarms, 1);
    EXPECT_EQ(model->resetRate, 48000.0);
    EXPECT_EQ(model->resetBlock, 8192);
    EXPECT_FALSE(model->GetPrewarmOnReset());

    const std::vector<float> in = ramp(100);
    std::vector<float> out(100);
    runner.process(in.data(), out.data(), 100);

    runner.prepare(44100.0, 256);
    const ModelRunner::PrivateData& d = ModelRunnerInspector::data(runner);
    EXPECT_EQ(d.maxBlock, 256u);
    EXPECT_EQ(d.input, std::vector<double>(256, 0.0));
    EXPECT_EQ(d.output, std::vector<double>(256, 0.0));
    EXPECT_EQ(model->resets, 2);
    EXPECT_EQ(model->prewarms, 2);
    EXPECT_EQ(model->resetRate, 44100.0);
    EXPECT_EQ(model->resetBlock, 256);
}

TEST_F(ModelRunnerSeam, FailuresKeepTheHeldModelAndRecordWhy)
{
    struct Case
    {
        const char* text;
        const char* error;
    };
    const Case cases[] = {
        {R"({"gain": 5, "in": 2})", "model is not mono"},
        {R"({"gain": 5, "out": 2})", "model is not mono"},
        {R"({"null": true})", "model is not mono"},
        {R"({"throw": "int"})", "unknown error"},
        {R"({"throw": "other"})", "unknown error"},
        {R"({"throw": "bad_alloc"})", "std::bad_alloc"},
        {R"({"throw": "weights"})", "factory says no: weights"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.text);
        gLog = ModelLog();
        ModelRunner runner;
        ASSERT_TRUE(loadText(runner, R"({"gain": 2})"));
        runner.prepare(48000.0, 64);
        const nam::DSP* before = ModelRunnerInspector::data(runner).model.get();

        EXPECT_FALSE(loadText(runner, c.text));
        EXPECT_EQ(errorOf(runner), c.error);
        EXPECT_EQ(ModelRunnerInspector::data(runner).model.get(), before);
        EXPECT_EQ(ModelRunnerInspector::data(runner).maxBlock, 64u);
        EXPECT_EQ(gLog.destroyed, gLog.built - 1) << "a rejected new model is destroyed";

        // the earlier model still runs
        const std::vector<float> in = ramp(64);
        std::vector<float> out(64);
        runner.process(in.data(), out.data(), 64);
        EXPECT_EQ(out[10], static_cast<float>(2.0 * in[10] + 0.25));
    }
}

TEST_F(ModelRunnerSeam, SuccessAfterFailureKeepsTheTextAndReplacesTheModel)
{
    ModelRunner runner;
    ASSERT_TRUE(loadText(runner, R"({"gain": 2})"));
    runner.prepare(48000.0, 64);
    EXPECT_FALSE(loadText(runner, R"({"throw": "int"})"));

    ASSERT_TRUE(loadText(runner, R"({"gain": 4})"));
    EXPECT_EQ(errorOf(runner), "unknown error");
    EXPECT_EQ(gLog.destroyed, 1) << "the old model is destroyed";
    FakeModel* model = heldModel(runner);
    EXPECT_EQ(model->fGain, 4.0);
    EXPECT_EQ(model->resets, 0) << "the new model waits for the next prepare";

    runner.prepare(48000.0, 64);
    EXPECT_EQ(model->resets, 1);
    const std::vector<float> in = ramp(8);
    std::vector<float> out(8);
    runner.process(in.data(), out.data(), 8);
    EXPECT_EQ(out[3], static_cast<float>(4.0 * in[3] + 0.25));
}

TEST_F(ModelRunnerSeam, DestructionFreesTheModel)
{
    {
        ModelRunner runner;
        ASSERT_TRUE(loadText(runner, R"({"gain": 2})"));
    }
    EXPECT_EQ(gLog.built, 1);
    EXPECT_EQ(gLog.destroyed, 1);
}

} // namespace
