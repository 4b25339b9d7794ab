#pragma once

#include <cstddef>

// Inner loops of the WaveNet, one set per instruction set. Every buffer is a sequence of
// columns (one per frame) of `stride` floats, stride being the channel count rounded up to
// 4; the pad lanes of weights are zero, so the pad lanes of every state stay zero.
//
// Each frame is computed with the same operations in the same order whatever the number of
// frames per call, so the output does not depend on how the stream is cut.
namespace nam
{
namespace detail
{

struct LayerWeights
{
    const float* conv;    // kernel x channels columns: column (k, j) holds W_k[:, j]
    const float* bias;    // one column
    const float* mixin;   // one column
    const float* mix;     // channels columns: column j holds L[:, j]
    const float* mixBias; // one column
    int kernel;
    int dilation;
};

struct LayerCall
{
    const LayerWeights* weights;
    int channels;
    int stride;
    const float* in;  // this layer's input at the first frame; its history lies before it
    const float* x;   // condition samples
    float* out;       // next layer's input at the first frame; null for the last layer
    float* skip;      // skip sum at the first frame
    float* scratch;   // 3 x stride floats for wide models
    bool firstLayer;
    int frames;
};

struct HeadCall
{
    const float* taps; // 16 columns, oldest tap first
    float bias;
    float scale;
    int channels;
    int stride;
    const float* skip; // skip sum at the first frame; 15 columns of history lie before it
    float* scratch;    // channels rows of rowStride floats
    int rowStride;     // at least frames + 15 rounded up to 8
    float* y;
    int frames;
};

struct Kernels
{
    const char* name;
    void (*rechannel)(const float* r, int stride, const float* x, float* out, int frames);
    void (*layer)(const LayerCall& call);
    void (*head)(const HeadCall& call);
};

extern const Kernels kKernelsSse2;
#if defined(NAM_HAVE_AVX2_KERNELS)
extern const Kernels kKernelsAvx2;
#endif

} // namespace detail
} // namespace nam
