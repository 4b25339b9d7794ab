#include "CountingScope.h"
#include "NAM/get_dsp.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>

using namtest::availableIsas;
using namtest::isaName;
using namtest::render;
using Isa = nam::detail::Isa;

namespace
{

const std::vector<double>& fixtureInput()
{
    static const std::vector<double> input = namtest::readSamples(namtest::fixturePath("a2-input.f64"));
    return input;
}

std::unique_ptr<nam::DSP> fixtureModel(const Isa isa)
{
    return nam::detail::buildModel(namtest::fixtureModel(), isa);
}

std::unique_ptr<nam::DSP> fixtureSubmodel(const size_t index, const Isa isa)
{
    return nam::detail::buildModel(namtest::fixtureModel()["config"]["submodels"][index]["model"], isa);
}

class EachIsa : public ::testing::TestWithParam<Isa>
{
};

std::string isaParamName(const ::testing::TestParamInfo<Isa>& info) { return isaName(info.param); }

} // namespace

TEST_P(EachIsa, FixtureMatchesReferenceOutput)
{
    const std::vector<double> expected = namtest::readSamples(namtest::fixturePath("a2-output.f64"));
    ASSERT_EQ(fixtureInput().size(), 96000u);
    ASSERT_EQ(expected.size(), fixtureInput().size());
    auto model = fixtureModel(GetParam());
    model->ResetAndPrewarm(48000.0, 8192);
    const std::vector<double> out = render(*model, fixtureInput(), 4096);

    double largest = 0.0;
    size_t where = 0, equal = 0;
    for (size_t i = 0; i < out.size(); ++i)
        equal += out[i] == expected[i];
    for (size_t i = 0; i < out.size(); ++i)
    {
        if (!(std::fabs(out[i] - expected[i]) <= largest))
        {
            largest = std::fabs(out[i] - expected[i]);
            where = i;
        }
    }
    std::printf("%s: largest difference %.3g at sample %zu, %zu of %zu samples equal\n", isaName(GetParam()),
                largest, where, equal, out.size());
    RecordProperty("largest_difference", std::to_string(largest));
    EXPECT_LE(largest, 1e-5) << "at sample " << where;
    // Without fused multiply-adds the evaluation order is the reference's own.
    if (GetParam() == Isa::Sse2)
    {
        EXPECT_EQ(equal, out.size());
    }
    // Every output is a single-precision value widened.
    for (const double v : out)
        ASSERT_EQ(v, static_cast<double>(static_cast<float>(v)));
}

TEST_P(EachIsa, OutputDoesNotDependOnBlockCuttingOrRepeatedReset)
{
    auto model = fixtureModel(GetParam());
    model->ResetAndPrewarm(48000.0, 8192);
    const std::vector<double> reference = render(*model, fixtureInput(), 4096);
    // 96000 frames in one call exceed the prepared maximum and must be processed whole.
    for (const int block : {1, 7, 64, 4096, 96000})
    {
        model->ResetAndPrewarm(48000.0, 8192);
        EXPECT_EQ(render(*model, fixtureInput(), block), reference) << "block " << block;
    }
    // The prepared maximum does not matter either.
    model->ResetAndPrewarm(48000.0, 64);
    EXPECT_EQ(render(*model, fixtureInput(), 1000), reference);
}

TEST_P(EachIsa, SharedInputAndOutputBufferGivesTheSameOutput)
{
    auto model = fixtureModel(GetParam());
    model->ResetAndPrewarm(48000.0, 8192);
    const std::vector<double> reference = render(*model, fixtureInput(), 3000);
    model->ResetAndPrewarm(48000.0, 8192);
    std::vector<double> buffer = fixtureInput();
    for (size_t done = 0; done < buffer.size(); done += 3000)
    {
        double* p = buffer.data() + done;
        model->process(&p, &p, static_cast<int>(std::min<size_t>(3000, buffer.size() - done)));
    }
    EXPECT_EQ(buffer, reference);
}

TEST_P(EachIsa, ProcessAllocatesNothing)
{
    auto model = fixtureModel(GetParam());
    model->ResetAndPrewarm(48000.0, 512);
    std::vector<double> in(20000, 0.25), out(20000);
    double* inPtr = in.data();
    double* outPtr = out.data();
    CountingScope counter;
    for (const int n : {0, 1, 255, 256, 257, 512, 8192, 20000})
        model->process(&inPtr, &outPtr, n);
    EXPECT_EQ(counter.allocations(), 0);
}

// Published values for a 440 Hz sine after Reset(48000, 256), blocks of 256: checks the
// 3-channel network, which the reference output file does not cover.
TEST_P(EachIsa, BothSubmodelsMatchPublishedSineValues)
{
    struct Point
    {
        size_t t;
        double eight, three;
    };
    const Point points[] = {{0, 0.000250404992, -0.000973930059}, {1, 0.000572492718, 0.000312252494},
                            {10, -0.0949206501, -0.101389796},    {100, 0.140340105, 0.120744653},
                            {1000, -0.0763609558, -0.0804474726}, {6346, -0.0838498026, -0.0879711062},
                            {12000, 0.0460685194, 0.0424239971},  {47999, 0.0817248225, 0.0790426359}};
    std::vector<double> sine(48000);
    for (size_t t = 0; t < sine.size(); ++t)
        sine[t] = 0.5 * std::sin(2.0 * M_PI * 440.0 * static_cast<double>(t) / 48000.0);
    auto three = fixtureSubmodel(0, GetParam());
    auto eight = fixtureSubmodel(1, GetParam());
    three->Reset(48000.0, 256);
    eight->Reset(48000.0, 256);
    const std::vector<double> outThree = render(*three, sine, 256);
    const std::vector<double> outEight = render(*eight, sine, 256);
    for (const Point& p : points)
    {
        EXPECT_NEAR(outEight[p.t], p.eight, 1e-6) << "t " << p.t;
        EXPECT_NEAR(outThree[p.t], p.three, 1e-6) << "t " << p.t;
    }
    double peakEight = 0.0, peakThree = 0.0;
    for (size_t t = 0; t < sine.size(); ++t)
    {
        peakEight = std::max(peakEight, std::fabs(outEight[t]));
        peakThree = std::max(peakThree, std::fabs(outThree[t]));
    }
    EXPECT_NEAR(peakEight, 0.153604582, 1e-6);
    EXPECT_NEAR(peakThree, 0.133760408, 1e-6);
}

INSTANTIATE_TEST_SUITE_P(Paths, EachIsa, ::testing::ValuesIn(availableIsas()), isaParamName);

TEST(Model, ContainerRunsItsLastSubmodel)
{
    auto container = fixtureModel(Isa::Best);
    auto eight = fixtureSubmodel(1, Isa::Best);
    const std::vector<double> input(fixtureInput().begin(), fixtureInput().begin() + 20000);
    container->Reset(48000.0, 4096);
    eight->Reset(48000.0, 4096);
    EXPECT_EQ(render(*container, input, 512), render(*eight, input, 512));
}

TEST(Model, FactoryTakesTheWidestPathTheCpuHas)
{
    const Isa widest = availableIsas().back();
    auto chosen = nam::get_dsp(namtest::fixtureModel());
    auto forced = fixtureModel(widest);
    const std::vector<double> input(fixtureInput().begin(), fixtureInput().begin() + 20000);
    EXPECT_EQ(render(*chosen, input, 512), render(*forced, input, 512)) << isaName(widest);
}

TEST(Model, ReportsTheFileFacts)
{
    auto model = nam::get_dsp(namtest::fixtureModel());
    EXPECT_EQ(model->NumInputChannels(), 1);
    EXPECT_EQ(model->NumOutputChannels(), 1);
    EXPECT_EQ(model->GetExpectedSampleRate(), 48000.0);
    EXPECT_EQ(model->GetPrewarmSamples(), 6347);
    ASSERT_TRUE(model->HasLoudness());
    EXPECT_EQ(model->GetLoudness(), -26.383899688720703);
    ASSERT_TRUE(model->HasInputLevel());
    EXPECT_EQ(model->GetInputLevel(), 14.760000228881836);
    EXPECT_FALSE(model->HasOutputLevel());
    EXPECT_EQ(model->GetMaxBufferSize(), 0);
    EXPECT_TRUE(model->GetPrewarmOnReset());
    model->ResetAndPrewarm(48000.0, 8192);
    EXPECT_EQ(model->GetMaxBufferSize(), 8192);
}

TEST(Model, PrewarmStateAndTheResetFlag)
{
    const std::vector<double> silence(64, 0.0);
    auto model = fixtureModel(Isa::Best);
    // Before any Reset the model already runs from its settled state.
    const std::vector<double> fresh = render(*model, silence, 64);
    EXPECT_NEAR(fresh[0], 0.0002504089497961104, 1e-7);
    EXPECT_EQ(fresh[63], fresh[0]);

    // Without prewarm a Reset leaves zero history, which does not sound like silence.
    model->SetPrewarmOnReset(false);
    model->Reset(48000.0, 64);
    EXPECT_NE(render(*model, silence, 64)[0], fresh[0]);
    model->Reset(48000.0, 64);
    model->prewarm();
    EXPECT_EQ(render(*model, silence, 64), fresh);

    // Forced prewarm for one call, then the model's own flag again.
    model->ResetAndPrewarm(48000.0, 64);
    EXPECT_FALSE(model->GetPrewarmOnReset());
    EXPECT_EQ(render(*model, silence, 64), fresh);
}

TEST(Model, BaseClassCopiesAndRejectsNonPositiveChannels)
{
    nam::DSP base(1, 1, 48000.0);
    std::vector<double> in{1.0, -2.0, 3.0}, out(3, 0.0);
    double* inPtr = in.data();
    double* outPtr = out.data();
    base.process(&inPtr, &outPtr, 3);
    EXPECT_EQ(out, in);
    EXPECT_THROW(base.GetLoudness(), std::runtime_error);
    EXPECT_THROW(nam::DSP(0, 1, 48000.0), std::runtime_error);
    EXPECT_THROW(nam::DSP(1, -1, 48000.0), std::runtime_error);
}
