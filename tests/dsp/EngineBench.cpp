// Cost of the wet path: CPU seconds per second of audio ("rtf"), by host rate, chunk size and
// Dist motion (resting on a capture: one model; between two: two models; moving).
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <vector>

#include "MarvixDsp.h"

namespace {

enum Motion { kOnCapture, kBetweenCaptures, kMoving };

MarvixDsp& engine()
{
    static std::unique_ptr<MarvixDsp> dsp = std::make_unique<MarvixDsp>();
    return *dsp;
}

void BM_Process(benchmark::State& state)
{
    const double rate = static_cast<double>(state.range(0));
    const uint32_t chunk = static_cast<uint32_t>(state.range(1));
    const Motion motion = static_cast<Motion>(state.range(2));

    MarvixDsp& dsp = engine();
    dsp.fDistTarget = motion == kOnCapture ? 0.5f : 0.6f;
    dsp.fToneTarget = 0.5f;
    dsp.prepare(rate);

    std::vector<float> in(chunk), out(chunk);
    std::mt19937 rng(1);
    std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
    for (float& s : in)
        s = dist(rng);

    // Moving: a new target every 200 ms of audio, so the glide never settles.
    const uint64_t flipEvery = static_cast<uint64_t>(rate * 0.2);
    uint64_t frames = 0, sinceFlip = 0;
    bool high = false;
    for (auto _ : state)
    {
        if (motion == kMoving && sinceFlip >= flipEvery)
        {
            high = !high;
            dsp.fDistTarget = high ? 0.95f : 0.25f;
            sinceFlip = 0;
        }
        dsp.process(in.data(), out.data(), chunk);
        benchmark::DoNotOptimize(out.data());
        frames += chunk;
        sinceFlip += chunk;
    }
    static const char* const kMotionNames[] = { "resting on a capture", "resting between two", "moving" };
    state.SetLabel(kMotionNames[motion]);
    state.counters["rtf"] = benchmark::Counter(static_cast<double>(frames) / rate,
                                               benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void arguments(benchmark::internal::Benchmark* b)
{
    b->ArgNames({ "rate", "chunk", "motion" });
    for (int64_t rate : { 44100, 48000, 96000 })
        for (int64_t chunk : { 64, 512, 2048 })
            for (int64_t motion : { kOnCapture, kBetweenCaptures, kMoving })
                b->Args({ rate, chunk, motion });
}

} // namespace

BENCHMARK(BM_Process)->Apply(arguments)->MinTime(0.5);

BENCHMARK_MAIN();
