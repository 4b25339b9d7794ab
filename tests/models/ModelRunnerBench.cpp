// What loading the embedded captures costs on the constructing thread, and what one runner
// costs per model-rate block on the audio thread.

#include "ModelRunner.h"

#include "EmbeddedModels.h"
#include "EngineConstants.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

static void BM_LoadCapture(benchmark::State& state)
{
    const EmbeddedModel& entry = kEmbeddedModels[static_cast<size_t>(state.range(0))];
    for (auto _ : state)
    {
        ModelRunner runner;
        benchmark::DoNotOptimize(runner.load(entry.json, entry.length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(entry.length));
}
BENCHMARK(BM_LoadCapture)->DenseRange(0, static_cast<int>(kEmbeddedModelCount) - 1)->Unit(benchmark::kMillisecond);

static void BM_Prepare(benchmark::State& state)
{
    ModelRunner runner;
    runner.load(kEmbeddedModels[5].json, kEmbeddedModels[5].length);
    for (auto _ : state)
        runner.prepare(kRenderSampleRate, kMaxModelBlock);
}
BENCHMARK(BM_Prepare)->Unit(benchmark::kMillisecond);

// Reports the real-time factor: CPU seconds per second of 48 kHz audio.
static void BM_Process(benchmark::State& state)
{
    const auto n = static_cast<uint32_t>(state.range(0));
    ModelRunner runner;
    runner.load(kEmbeddedModels[5].json, kEmbeddedModels[5].length);
    runner.prepare(kRenderSampleRate, kMaxModelBlock);
    std::vector<float> in(n), out(n);
    for (uint32_t i = 0; i < n; ++i)
        in[i] = static_cast<float>(0.4 * std::sin(2.0 * M_PI * 55.0 * i / kRenderSampleRate));
    for (auto _ : state)
    {
        runner.process(in.data(), out.data(), n);
        benchmark::DoNotOptimize(out.data());
    }
    const double samples = static_cast<double>(state.iterations()) * n;
    state.counters["ns_per_sample"] = benchmark::Counter(samples * 1e-9, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_factor"] = benchmark::Counter(samples / kRenderSampleRate, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_Process)->Arg(64)->Arg(512)->Arg(8192);

BENCHMARK_MAIN();
