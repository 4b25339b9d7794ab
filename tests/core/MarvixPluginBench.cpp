// Cost of the plug-in's block processing, engine included, as DPF's format layers call it.
// Reports the real-time factor (audio time processed per second of CPU) for common settings.

#include "MarvixPlugin.h"
#include "DistrhoPluginInternal.hpp"

#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <vector>

using namespace DISTRHO;

namespace {

std::unique_ptr<PluginExporter> makePlugin(const double sampleRate)
{
    d_nextSampleRate = sampleRate;
    d_nextBufferSize = 512;
    auto exporter = std::make_unique<PluginExporter>(nullptr, nullptr, nullptr, nullptr);
    d_nextSampleRate = 0.0;
    d_nextBufferSize = 0;
    exporter->activate();
    return exporter;
}

// Args: sample rate, block size, Dist x 100 (0.42 lies between two captures, 1.0 on one).
void BM_Run(benchmark::State& state)
{
    const double rate = static_cast<double>(state.range(0));
    const uint32_t block = static_cast<uint32_t>(state.range(1));
    auto plugin = makePlugin(rate);
    plugin->setParameterValue(kParamDist, static_cast<float>(state.range(2)) / 100.0f);
    plugin->setParameterValue(kParamBlend, 0.8f);
    plugin->setParameterValue(kParamGate, -60.0f);

    std::vector<float> left(block), right(block), outL(block), outR(block);
    for (uint32_t i = 0; i < block; ++i)
        left[i] = right[i] = 0.3f * std::sin(0.05f * static_cast<float>(i));
    const float* inputs[2] = { left.data(), right.data() };
    float* outputs[2] = { outL.data(), outR.data() };

    for (auto _ : state)
    {
        plugin->run(inputs, outputs, block);
        benchmark::DoNotOptimize(outL.data());
        benchmark::ClobberMemory();
    }

    const double audioSeconds = static_cast<double>(state.iterations()) * block / rate;
    state.counters["realtime_x"] = benchmark::Counter(audioSeconds, benchmark::Counter::kIsRate);
    state.counters["object_bytes"] = static_cast<double>(sizeof(MarvixPlugin));
}

BENCHMARK(BM_Run)
    ->ArgNames({ "rate", "block", "dist" })
    ->Args({ 48000, 512, 100 })
    ->Args({ 48000, 512, 42 })
    ->Args({ 44100, 512, 100 })
    ->Args({ 44100, 64, 42 })
    ->Args({ 96000, 512, 100 })
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

void BM_Construct(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(makePlugin(44100.0));
}

BENCHMARK(BM_Construct)->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace

BENCHMARK_MAIN();
