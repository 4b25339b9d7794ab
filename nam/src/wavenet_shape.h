#pragma once

// The one WaveNet shape this library builds: a single layer array of 23 dilated layers and
// a 16-tap head. Only the channel count varies between models.
namespace nam
{
namespace wavenet
{

constexpr int kLayerCount = 23;
constexpr int kKernelSizes[kLayerCount] = {6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 6, 15, 15, 6, 6, 6, 6, 6, 6, 6};
constexpr int kDilations[kLayerCount] = {1,  3, 7, 17, 41, 101, 239, 1,  3,  7,   17, 41,
                                         101, 239, 1, 13, 1, 3,   7,   17, 41, 101, 239};
constexpr int kHeadKernel = 16;
constexpr float kLeakySlope = 0.01f;

constexpr int lookback(const int layer) { return (kKernelSizes[layer] - 1) * kDilations[layer]; }

constexpr int receptiveField()
{
    int sum = kHeadKernel - 1;
    for (int l = 0; l < kLayerCount; ++l)
        sum += lookback(l);
    return sum;
}

// Weight count for C channels: rechannel, 23 layers, head taps, head bias, head scale.
constexpr long long weightCount(const long long c)
{
    long long perLayerSum = 0;
    for (int l = 0; l < kLayerCount; ++l)
        perLayerSum += c * c * (kKernelSizes[l] + 1) + 3 * c;
    return c + perLayerSum + kHeadKernel * c + 2;
}

static_assert(receptiveField() == 6346, "layer table");
static_assert(weightCount(3) == 1871 && weightCount(8) == 12146, "weight layout");

} // namespace wavenet
} // namespace nam
