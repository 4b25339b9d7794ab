// e2e-report: the plug-in's wet path against the modelled pedal it was captured from.
//
//   e2e-report DIR [THREADS]
//
// DIR is a capture-rig session folder (`capture-rig signals DIR` makes what is read here:
// heldout-in.f64 and reference-in.f64). For every Dist and Tone of the grid, the pedal and
// MarvixDsp at 48 kHz play the held-out set; the table gives the error-to-signal ratio of the
// plug-in against the pedal delayed by the engine's fixed alignment latency.
//
// The pedal's output level at a Dist between two captures is set the way a session sets a
// capture's: on the reference riff, to the level the crossfade aims at there (the captures'
// levels interpolated in dB), so that the figures measure the sound, not a level offset.

#include "CaptureWeights.h"
#include "FuzzPedal.h"
#include "MarvixDsp.h"
#include "RecordingChain.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace
{
constexpr double kDists[] = { 0.2, 0.275, 0.35, 0.5, 0.6, 0.7, 0.75, 0.8, 0.9, 1.0 };
constexpr double kTones[] = { 0.0, 0.25, 0.5, 0.75, 1.0 };
constexpr size_t kDistCount = sizeof(kDists) / sizeof(kDists[0]);
constexpr size_t kToneCount = sizeof(kTones) / sizeof(kTones[0]);

// Aligned captures lag the pedal by the recording chain's 5.2 samples, and the slots' Lagrange
// delays add two whole samples of their own.
constexpr double kEngineAlignment = 7.2;
// The first half second is left out: the engine's smoothing and the pedal's settling.
constexpr size_t kSkip = 24000;
constexpr uint32_t kBlock = 2048;

// The wet level the crossfade aims at for `dist`, on the captures' level scale.
double targetLevelDb(double dist)
{
    const double d = std::min(std::max(dist, 0.001), 1.0);
    if (!(d > kCaptureSpecs[0].position))
        return kCaptureSpecs[0].levelDb + 20.0 * std::log10(25.0 * d * d);
    size_t a = 0;
    while (a + 2 < kCaptureCount && d > kCaptureSpecs[a + 1].position)
        ++a;
    const CaptureSpec& lo = kCaptureSpecs[a];
    const CaptureSpec& hi = kCaptureSpecs[a + 1];
    const double t = std::min((d - lo.position) / (hi.position - lo.position), 1.0);
    return lo.levelDb + (hi.levelDb - lo.levelDb) * t;
}

std::vector<double> renderPlugin(MarvixDsp& dsp, double dist, double tone, const std::vector<double>& in)
{
    dsp.fDistTarget = static_cast<float>(dist);
    dsp.fToneTarget = static_cast<float>(tone);
    dsp.prepare(FuzzPedal::kSampleRate);
    std::vector<float> block(kBlock);
    std::vector<double> out(in.size(), 0.0);
    for (size_t start = 0; start < in.size(); start += kBlock)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(kBlock, in.size() - start));
        for (uint32_t i = 0; i < n; ++i)
            block[i] = static_cast<float>(in[start + i]);
        dsp.process(block.data(), block.data(), n);
        for (uint32_t i = 0; i < n; ++i)
            out[start + i] = block[i];
    }
    return out;
}

double esr(const std::vector<double>& actual, const std::vector<double>& expected)
{
    double error = 0.0, energy = 0.0;
    for (size_t i = kSkip; i < expected.size(); ++i)
    {
        const double e = actual[i] - expected[i];
        error += e * e;
        energy += expected[i] * expected[i];
    }
    return energy > 0.0 ? error / energy : INFINITY;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::fprintf(stderr, "usage: e2e-report DIR [THREADS]\n");
        return 2;
    }
    const std::string dir = argv[1];
    const unsigned threads = argc > 2 ? static_cast<unsigned>(std::max(1, std::atoi(argv[2])))
                                      : std::max(1u, std::thread::hardware_concurrency());
    std::vector<double> heldout, reference;
    if (!readRaw(dir + "/heldout-in.f64", heldout) || !readRaw(dir + "/reference-in.f64", reference))
    {
        std::fprintf(stderr, "e2e-report: %s holds no held-out set and reference (run capture-rig signals)\n", dir.c_str());
        return 1;
    }
    if (heldout.size() <= kSkip)
    {
        std::fprintf(stderr, "e2e-report: the held-out set is shorter than %zu samples\n", kSkip);
        return 1;
    }

    // The pedal's output level per Dist, measured at Tone noon as a session measures it.
    double gainDb[kDistCount];
    for (size_t d = 0; d < kDistCount; ++d)
        gainDb[d] = targetLevelDb(kDists[d]) - rmsDb(renderPedal(kDists[d], reference));

    double table[kDistCount][kToneCount];
    std::atomic<size_t> next { 0 };
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < threads; ++w)
        pool.emplace_back([&] {
            std::unique_ptr<MarvixDsp> dsp = std::make_unique<MarvixDsp>();
            for (size_t job = next++; job < kDistCount * kToneCount; job = next++)
            {
                const size_t d = job / kToneCount, t = job % kToneCount;
                const std::vector<double> device = fractionalDelay(renderPedal(kDists[d], kTones[t], gainDb[d], heldout),
                                                                   kEngineAlignment);
                table[d][t] = esr(renderPlugin(*dsp, kDists[d], kTones[t], heldout), device);
            }
        });
    for (std::thread& t : pool)
        t.join();

    std::printf("ESR of the plug-in's wet path against the pedal, held-out set (%.1f s), 48 kHz, "
                "pedal delayed by %.1f samples\n", double(heldout.size() - kSkip) / FuzzPedal::kSampleRate, kEngineAlignment);
    std::printf("dist   level dB ");
    for (double tone : kTones)
        std::printf("  tone %-4.2f", tone);
    std::printf("\n");
    double worstAt = 0.0, worstBetween = 0.0;
    for (size_t d = 0; d < kDistCount; ++d)
    {
        bool atCapture = false;
        for (const CaptureSpec& c : kCaptureSpecs)
            atCapture = atCapture || std::fabs(kDists[d] - static_cast<double>(c.position)) < 1e-6;
        std::printf("%-5.3f%c %7.2f  ", kDists[d], atCapture ? '*' : ' ', targetLevelDb(kDists[d]));
        for (size_t t = 0; t < kToneCount; ++t)
        {
            std::printf("  %9.5f", table[d][t]);
            double& worst = atCapture ? worstAt : worstBetween;
            worst = std::max(worst, table[d][t]);
        }
        std::printf("\n");
    }
    std::printf("* a capture position. Worst ESR at the captures %.5f, between them %.5f\n", worstAt, worstBetween);
    return 0;
}
