#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <limits>
#include <random>
#include <vector>

#include "ToneFilter.h"

namespace {

std::complex<double> sectionResponse(const Biquad& q, double hz, double rate)
{
    const std::complex<double> zInv = std::polar(1.0, -2.0 * M_PI * hz / rate);
    return (q.b0 + zInv * (q.b1 + zInv * q.b2)) / (1.0 + zInv * (q.a1 + zInv * q.a2));
}

double responseDb(const ToneFilter& f, double hz)
{
    const std::complex<double> h = sectionResponse(f.biquad1, hz, f.sampleRate)
                                 * sectionResponse(f.biquad2, hz, f.sampleRate);
    return 20.0 * std::log10(std::abs(h));
}

ToneFilter filterAt(double tone)
{
    ToneFilter f;
    f.update();
    f.setSampleRate(kRenderSampleRate);
    f.setTone(tone);
    return f;
}

void expectRelative(double actual, double expected, double rel)
{
    EXPECT_NEAR(actual, expected, std::fabs(expected) * rel);
}

} // namespace

TEST(ToneFilter, StartsAsIdentityAtReferencePosition)
{
    const ToneFilter f;
    EXPECT_EQ(f.sampleRate, 48000.0);
    EXPECT_EQ(f.tone, 0.5);
    EXPECT_EQ(f.refTone, 0.5);
    for (const Biquad* q : { &f.biquad1, &f.biquad2 })
    {
        EXPECT_EQ(q->b0, 1.0);
        EXPECT_EQ(q->b1 + q->b2 + q->a1 + q->a2 + q->s1 + q->s2, 0.0);
    }
}

TEST(ToneFilter, CoefficientsAtNoon)
{
    const AnalogBiquad h = ToneFilter::toneNetworkCoefficients(0.5);
    expectRelative(h.num2, 1.7505102e-17, 1e-7);
    expectRelative(h.num1, 1.2477996e-13, 1e-7);
    expectRelative(h.num0, 2.8649922e-10, 1e-7);
    EXPECT_EQ(h.den2, 4.7e-17);
    expectRelative(h.den1, 4.0501282e-13, 1e-7);
    expectRelative(h.den0, 8.0578231e-10, 1e-7);

    const ToneFilter f = filterAt(0.5);
    EXPECT_NEAR(f.biquad1.b0, 0.367128, 5e-7);
    EXPECT_NEAR(f.biquad1.b1, -0.681164, 5e-7);
    EXPECT_NEAR(f.biquad1.b2, 0.316460, 5e-7);
    EXPECT_NEAR(f.biquad1.a1, -1.828725, 5e-7);
    EXPECT_NEAR(f.biquad1.a2, 0.835541, 5e-7);
}

TEST(ToneFilter, ResponseAt48kHz)
{
    const double freqs[] = { 0.0, 100.0, 1000.0, 3000.0, 10000.0, 20000.0 };
    const struct { double tone; double db[6]; } table[] = {
        { 0.0, { 4.215, 4.285, 2.038, -6.201, -17.757, -31.443 } },
        { 0.25, { 1.968, 1.998, -0.430, -4.330, -5.362, -5.445 } },
        { 0.5, { 0, 0, 0, 0, 0, 0 } },
        { 0.75, { -1.834, -1.845, 2.239, 3.856, 4.078, 4.094 } },
        { 1.0, { -3.668, -3.641, 5.258, 8.062, 8.523, 8.557 } },
    };
    for (const auto& row : table)
    {
        const ToneFilter f = filterAt(row.tone);
        for (int i = 0; i < 6; ++i)
        {
            // Noon is the inverse pair itself: flat to double precision.
            const double tolerance = row.tone == 0.5 ? 1e-10 : 0.01;
            EXPECT_NEAR(responseDb(f, freqs[i]), row.db[i], tolerance)
                << "tone " << row.tone << " at " << freqs[i] << " Hz";
        }
    }
}

// The per-sample form must realise the same response as the coefficients promise.
TEST(ToneFilter, ProcessedSineMatchesResponse)
{
    const struct { double tone; double hz; } cases[] = { { 0.0, 1000.0 }, { 1.0, 3000.0 }, { 0.25, 10000.0 } };
    for (const auto& c : cases)
    {
        ToneFilter f = filterAt(c.tone);
        std::vector<float> block(48000);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<float>(0.5 * std::sin(2.0 * M_PI * c.hz * static_cast<double>(i) / 48000.0));
        const std::vector<float> dry = block;
        f.process(block.data(), 20000);
        f.process(block.data() + 20000, static_cast<uint32_t>(block.size() - 20000));
        double wetEnergy = 0.0, dryEnergy = 0.0;
        for (size_t i = 24000; i < block.size(); ++i)
        {
            wetEnergy += static_cast<double>(block[i]) * block[i];
            dryEnergy += static_cast<double>(dry[i]) * dry[i];
        }
        EXPECT_NEAR(10.0 * std::log10(wetEnergy / dryEnergy), responseDb(f, c.hz), 0.01)
            << "tone " << c.tone << " at " << c.hz << " Hz";
    }
}

TEST(ToneFilter, NoonLeavesSamplesUnchanged)
{
    ToneFilter f = filterAt(0.5);
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> block(8192);
    for (float& s : block)
        s = dist(rng);
    const std::vector<float> dry = block;
    f.process(block.data(), static_cast<uint32_t>(block.size()));
    for (size_t i = 0; i < block.size(); ++i)
        ASSERT_NEAR(block[i], dry[i], 1e-12 + std::fabs(dry[i]) * 1.2e-7) << "sample " << i;
}

TEST(ToneFilter, PositionsOutsideThePotClamp)
{
    const struct { double position; double equivalent; } cases[] = {
        { 0.0, 0.001 }, { -5.0, 0.001 }, { std::numeric_limits<double>::quiet_NaN(), 0.001 },
        { 1.0, 0.999 }, { 3.0, 0.999 },
    };
    for (const auto& c : cases)
    {
        const AnalogBiquad h = ToneFilter::toneNetworkCoefficients(c.position);
        const AnalogBiquad e = ToneFilter::toneNetworkCoefficients(c.equivalent);
        EXPECT_EQ(h.num2, e.num2) << c.position;
        EXPECT_EQ(h.num1, e.num1) << c.position;
        EXPECT_EQ(h.num0, e.num0) << c.position;
        EXPECT_EQ(h.den1, e.den1) << c.position;
        EXPECT_EQ(h.den0, e.den0) << c.position;
        EXPECT_TRUE(std::isfinite(h.num1) && std::isfinite(h.den0)) << c.position;
    }
}

// A moving Tone must not reset the filter (that would click); only reset clears the states.
TEST(ToneFilter, StatesSurviveToneChangesUntilReset)
{
    ToneFilter f = filterAt(0.5);
    float block[64] = { 1.0f };
    f.process(block, 64);
    const Biquad before1 = f.biquad1, before2 = f.biquad2;
    ASSERT_NE(before1.s1, 0.0);

    f.setTone(0.1);
    EXPECT_NE(f.biquad1.b0, before1.b0);
    EXPECT_EQ(f.biquad1.s1, before1.s1);
    EXPECT_EQ(f.biquad1.s2, before1.s2);
    EXPECT_EQ(f.biquad2.s1, before2.s1);
    EXPECT_EQ(f.biquad2.s2, before2.s2);
    f.setSampleRate(48000.0);
    EXPECT_EQ(f.biquad1.s1, before1.s1);

    // The ring-out carries on under the new coefficients.
    float silence[8] = {};
    f.process(silence, 8);
    EXPECT_NE(silence[0], 0.0f);

    const Biquad coefficients = f.biquad1;
    f.reset();
    EXPECT_EQ(f.biquad1.s1 + f.biquad1.s2 + f.biquad2.s1 + f.biquad2.s2, 0.0);
    EXPECT_EQ(f.biquad1.b0, coefficients.b0);
    EXPECT_EQ(f.biquad1.a2, coefficients.a2);
    float quiet[8] = {};
    f.process(quiet, 8);
    for (float s : quiet)
        EXPECT_EQ(s, 0.0f);
}
