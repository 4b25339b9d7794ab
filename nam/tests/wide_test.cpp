// Channel counts other than the shipped ones take other kernel widths (several vectors per
// column, or the scratch-memory path for wide models). A plain double-precision reading of
// the layer formulas checks every one of them.
#include "NAM/get_dsp.h"
#include "TestSupport.h"
#include "../src/wavenet_shape.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

namespace
{

using namespace nam::wavenet;

// Output for `input` from zero history, straight from the per-sample formulas.
std::vector<double> directWaveNet(const nlohmann::json& doc, const std::vector<double>& input)
{
    const int C = doc["config"]["layers"][0]["channels"].get<int>();
    std::vector<double> w;
    for (const auto& v : doc["weights"])
        w.push_back(static_cast<float>(v.get<double>()));
    const size_t N = input.size();
    size_t at = 0;
    std::vector<double> r(w.begin() + at, w.begin() + at + C);
    at += C;

    // h[t * C + i] for the current layer's input
    std::vector<double> h(N * C), next(N * C), skip(N * C, 0.0);
    for (size_t t = 0; t < N; ++t)
        for (int i = 0; i < C; ++i)
            h[t * C + i] = r[i] * static_cast<float>(input[t]);
    for (int l = 0; l < kLayerCount; ++l)
    {
        const int K = kKernelSizes[l], d = kDilations[l];
        const size_t conv = at, bias = conv + C * C * K, mixin = bias + C, mix = mixin + C, mixBias = mix + C * C;
        at = mixBias + C;
        for (size_t t = 0; t < N; ++t)
        {
            std::vector<double> z(C);
            for (int i = 0; i < C; ++i)
            {
                double a = w[bias + i] + w[mixin + i] * static_cast<float>(input[t]);
                for (int k = 0; k < K; ++k)
                {
                    const long src = static_cast<long>(t) - static_cast<long>(K - 1 - k) * d;
                    if (src < 0)
                        continue;
                    for (int j = 0; j < C; ++j)
                        a += w[conv + (i * C + j) * K + k] * h[src * C + j];
                }
                z[i] = a > 0 ? a : 0.01 * a;
                skip[t * C + i] += z[i];
            }
            for (int i = 0; i < C; ++i)
            {
                double q = w[mixBias + i];
                for (int j = 0; j < C; ++j)
                    q += w[mix + i * C + j] * z[j];
                next[t * C + i] = h[t * C + i] + q;
            }
        }
        std::swap(h, next);
    }
    std::vector<double> out(N);
    const size_t head = at, headBias = head + 16 * C;
    for (size_t t = 0; t < N; ++t)
    {
        double y = w[headBias];
        for (int k = 0; k < kHeadKernel; ++k)
        {
            const long src = static_cast<long>(t) - (kHeadKernel - 1 - k);
            if (src >= 0)
                for (int j = 0; j < C; ++j)
                    y += w[head + j * 16 + k] * skip[src * C + j];
        }
        out[t] = y * w[headBias + 1];
    }
    return out;
}

} // namespace

TEST(OtherWidths, EveryKernelWidthMatchesTheFormulasAndIgnoresBlockCutting)
{
    // 1: one lane used; 5, 12: partial and several 4-lane vectors; 16: four SSE2 or two AVX2
    // vectors; 20, 40: the wide paths.
    const int counts[] = {1, 5, 12, 16, 20, 40};
    std::vector<double> input(1600);
    for (size_t t = 0; t < input.size(); ++t)
        input[t] = 0.6 * std::sin(0.013 * static_cast<double>(t)) + 0.2 * std::sin(0.21 * static_cast<double>(t));
    for (const int C : counts)
    {
        // Scaled so that the residual stream neither dies out nor explodes.
        const nlohmann::json doc = namtest::makeWaveNet(C, 7u + C, 0.5 / std::sqrt(6.0 * C));
        const std::vector<double> expected = directWaveNet(doc, input);
        double peak = 0.0;
        for (const double v : expected)
            peak = std::max(peak, std::fabs(v));
        ASSERT_GT(peak, 1e-6) << C << " channels: the test signal does not reach the output";
        for (const nam::detail::Isa isa : namtest::availableIsas())
        {
            auto model = nam::detail::buildModel(doc, isa);
            model->SetPrewarmOnReset(false);
            model->Reset(48000.0, 2048);
            const std::vector<double> whole = namtest::render(*model, input, 1600);
            // Single against double precision: a relative error far below any layout fault.
            double largest = 0.0;
            for (size_t t = 0; t < input.size(); ++t)
                largest = std::max(largest, std::fabs(whole[t] - expected[t]));
            EXPECT_LE(largest, 1e-4 * peak) << C << " channels, " << namtest::isaName(isa);
            std::printf("%d channels, %s: largest difference %.3g of peak %.3g\n", C, namtest::isaName(isa), largest, peak);
            model->Reset(48000.0, 2048);
            EXPECT_EQ(namtest::render(*model, input, 3), whole) << C << " channels, " << namtest::isaName(isa);
        }
    }
}
