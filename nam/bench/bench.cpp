// Per-sample cost of the fixture's two submodels at 48 kHz. Besides Google Benchmark's
// time per block it reports per_sample, the CPU time per sample, and rtf, the CPU seconds
// per second of audio (printed with a unit suffix of s).
#include "NAM/get_dsp.h"
#include "detail.h"

#include <benchmark/benchmark.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <vector>

namespace
{

const nlohmann::json& fixtureModel()
{
    static const nlohmann::json document = [] {
        std::ifstream file(std::string(KORVANE_SHARED_DIR) + "/fixtures/A2.nam");
        return nlohmann::json::parse(file);
    }();
    return document;
}

// args: submodel index (0: 3 channels, 1: 8 channels), block, instruction set (0 SSE2, 1 AVX2)
void runSubmodel(benchmark::State& state)
{
    const auto submodel = static_cast<size_t>(state.range(0));
    const int block = static_cast<int>(state.range(1));
    const auto isa = state.range(2) == 0 ? nam::detail::Isa::Sse2 : nam::detail::Isa::Avx2;
    if (!nam::detail::isaAvailable(isa))
    {
        state.SkipWithError("instruction set not available on this CPU");
        return;
    }
    auto model = nam::detail::buildModel(fixtureModel()["config"]["submodels"][submodel]["model"], isa);
    model->Reset(48000.0, block);

    // A bass-like signal, so the activations see both signs.
    std::vector<double> in(static_cast<size_t>(block) * 16), out(static_cast<size_t>(block));
    for (size_t i = 0; i < in.size(); ++i)
        in[i] = 0.4 * std::sin(2.0 * M_PI * 55.0 * static_cast<double>(i) / 48000.0);
    size_t offset = 0;
    for (auto _ : state)
    {
        double* inPtr = in.data() + offset;
        double* outPtr = out.data();
        model->process(&inPtr, &outPtr, block);
        benchmark::DoNotOptimize(out.data());
        offset = (offset + static_cast<size_t>(block)) % in.size();
    }
    const double samples = static_cast<double>(block);
    state.counters["per_sample"] =
        benchmark::Counter(samples, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    state.counters["rtf"] = benchmark::Counter(samples / 48000.0, benchmark::Counter::kIsIterationInvariantRate
                                                                      | benchmark::Counter::kInvert);
    state.SetLabel(std::string(submodel == 0 ? "3ch" : "8ch") + (state.range(2) == 0 ? " sse2" : " avx2"));
}

BENCHMARK(runSubmodel)
    ->ArgNames({"submodel", "block", "isa"})
    ->ArgsProduct({{1, 0}, {64, 512, 2048}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
