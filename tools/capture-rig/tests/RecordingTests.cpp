#include "CaptureWeights.h"
#include "RecordingChain.h"
#include "Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace
{
constexpr double kPi = 3.14159265358979323846;

// Fifty sines at random frequencies up to 15 kHz: broadband, strictly band-limited, reproducible.
std::vector<double> bandLimitedNoise(size_t n)
{
    Rng rng(7);
    std::vector<double> x(n, 0.0);
    for (int k = 0; k < 50; ++k)
    {
        const double w = 2.0 * kPi * rng.uniform(100.0, 15000.0) / 48000.0;
        const double phase = rng.uniform(0.0, 2.0 * kPi);
        for (size_t i = 0; i < n; ++i)
            x[i] += 0.1 * std::sin(w * static_cast<double>(i) + phase);
    }
    return x;
}
}  // namespace

// The rig records at the plug-in's capture rows; a change on one side must show on the other.
TEST(RecordingChain, CaptureRowsAreThePlugInsTable)
{
    ASSERT_EQ(kRigCaptureCount, int(kCaptureCount));
    for (int i = 0; i < kRigCaptureCount; ++i)
    {
        EXPECT_EQ(float(kRigCaptures[i].position), kCaptureSpecs[i].position) << i;
        EXPECT_EQ(float(kRigCaptures[i].levelDb), kCaptureSpecs[i].levelDb) << i;
        EXPECT_EQ(float(kRigCaptures[i].delay), kCaptureSpecs[i].delay) << i;
    }
}

TEST(FractionalDelay, ShiftsWholeSamplesExactlyAndFractionsBandLimited)
{
    const std::vector<double> x = bandLimitedNoise(2000);
    const std::vector<double> y = fractionalDelay(x, 3.0);
    for (size_t i = 3; i < x.size(); ++i)
        ASSERT_EQ(y[i], x[i - 3]);
    EXPECT_EQ(fractionalDelay(x, 0.0), x);

    for (double delay : {0.54, 2.18, 4.54, 5.2, -0.3})
    {
        std::vector<double> sine(4000);
        for (size_t i = 0; i < sine.size(); ++i)
            sine[i] = std::sin(2.0 * kPi * 3000.0 * static_cast<double>(i) / 48000.0);
        const std::vector<double> d = fractionalDelay(sine, delay);
        for (size_t i = 100; i < 3900; ++i)
            ASSERT_NEAR(d[i], std::sin(2.0 * kPi * 3000.0 * (static_cast<double>(i) - delay) / 48000.0), 1e-4) << delay;
    }
}

TEST(CorrelationPeak, FindsAKnownFractionalLag)
{
    const std::vector<double> x = bandLimitedNoise(20000);
    for (double lag : {0.0, 0.37, 2.18, 5.2})
    {
        EXPECT_NEAR(correlationPeakLag(x, fractionalDelay(x, lag), 8), lag, 0.005);
        EXPECT_NEAR(correlationPeakLag(fractionalDelay(x, lag), x, 8), -lag, 0.005);
    }
}

// The recording chain end to end on a short riff: each capture has its row's level, and once
// the plug-in's alignment delays are applied, neighbouring captures line up.
TEST(RecordingChain, LevelsAndAlignmentOfNeighbouringCaptures)
{
    std::vector<double> riff = makeSignal(SignalSet::Smoke);
    riff.resize(48000);
    const SessionCalibration session = calibrateSession(riff);
    std::vector<double> aligned[kRigCaptureCount];
    for (int i = 0; i < kRigCaptureCount; ++i)
    {
        const std::vector<double> y = recordCapture(session, i, riff);
        EXPECT_NEAR(rmsDb(y), kRigCaptures[i].levelDb, 0.01) << "capture " << i;
        EXPECT_NEAR(chainLatency(session, i) + session.trim[i] + kRigCaptures[i].delay, kAlignedLatency, 1e-12);
        EXPECT_LT(std::fabs(session.trim[i]), 2.0) << "capture " << i;  // the pedal's own delay is small
        aligned[i] = highPass(fractionalDelay(y, kRigCaptures[i].delay), kAlignmentHighPassHz);
    }
    for (int i = 0; i + 1 < kRigCaptureCount; ++i)
        EXPECT_NEAR(correlationPeakLag(aligned[i], aligned[i + 1], 16), 0.0, 0.05) << "captures " << i << "-" << i + 1;
}

TEST(RecordingChain, PedalRenderHasNoLatency)
{
    // At low Dist the pedal is nearly linear; its impulse response must peak at once.
    std::vector<double> click(4800, 0.0);
    click[1000] = 0.05;
    const std::vector<double> y = renderPedal(0.2, click);
    size_t peak = 0;
    for (size_t i = 0; i < y.size(); ++i)
        if (std::fabs(y[i]) > std::fabs(y[peak]))
            peak = i;
    EXPECT_NEAR(double(peak), 1000.0, 1.0);
}

TEST(Signals, DeterministicInRangeAndDistinct)
{
    const std::vector<double> train = makeSignal(SignalSet::Training);
    const std::vector<double> heldOut = makeSignal(SignalSet::HeldOut);
    const std::vector<double> reference = makeSignal(SignalSet::Reference);
    EXPECT_EQ(train, makeSignal(SignalSet::Training));
    EXPECT_GE(train.size(), size_t(180 * 48000));
    EXPECT_GE(heldOut.size(), size_t(30 * 48000));
    EXPECT_NEAR(static_cast<double>(reference.size()) / 48000.0, 10.0, 0.5);

    auto peakDb = [](const std::vector<double>& x) {
        double p = 0.0;
        for (double v : x)
            p = std::fmax(p, std::fabs(v));
        return 20.0 * std::log10(p);
    };
    EXPECT_LE(peakDb(train), 0.0 + 1e-9);
    EXPECT_LE(peakDb(heldOut), 0.0 + 1e-9);
    EXPECT_NEAR(peakDb(reference), kReferencePeakDb, 1e-9);
    // The held-out material is not a copy of the training material.
    const size_t n = std::min(train.size(), heldOut.size());
    double diff = 0.0;
    for (size_t i = 0; i < n; ++i)
        diff += std::fabs(train[i] - heldOut[i]);
    EXPECT_GT(diff, 1.0);
    // Silence is part of the material: a second of it opens the training set.
    for (size_t i = 0; i < 48000; ++i)
        ASSERT_EQ(train[i], 0.0);
}

TEST(RawFiles, RoundTripAndRejectTornFiles)
{
    const std::string path = testing::TempDir() + "capture-rig-raw.f64";
    const std::vector<double> x = {0.0, -1.0, 0.25, 1e-300};
    ASSERT_TRUE(writeRaw(path, x));
    std::vector<double> back;
    ASSERT_TRUE(readRaw(path, back));
    EXPECT_EQ(back, x);

    FILE* f = std::fopen(path.c_str(), "ab");
    std::fputc(0, f);
    std::fclose(f);
    EXPECT_FALSE(readRaw(path, back));
    EXPECT_FALSE(readRaw(path + ".missing", back));
    std::remove(path.c_str());
}
