// Included by each instruction-set translation unit inside its own anonymous namespace,
// after it has defined its vector operation structs. No includes here on purpose.

// F frames at a time share each weight load; per frame the operations are those of F = 1.
template <class O, int NV, int F>
inline void layerFrames(const LayerCall& c, const int t0)
{
    using V = typename O::V;
    constexpr int W = O::kWidth;
    const LayerWeights& w = *c.weights;
    const int C = c.channels;
    const std::ptrdiff_t S = c.stride;
    const int K = w.kernel;

    V acc[F][NV];
    for (int v = 0; v < NV; ++v)
    {
        const V b = O::load(w.bias + v * W);
        for (int f = 0; f < F; ++f)
            acc[f][v] = b;
    }
    for (int k = 0; k < K; ++k)
    {
        const float* tap = c.in + (t0 - static_cast<std::ptrdiff_t>(K - 1 - k) * w.dilation) * S;
        const float* wk = w.conv + k * C * S;
        for (int j = 0; j < C; ++j)
        {
            V wv[NV];
            for (int v = 0; v < NV; ++v)
                wv[v] = O::load(wk + j * S + v * W);
            for (int f = 0; f < F; ++f)
            {
                const V h = O::broadcast(tap + f * S + j);
                for (int v = 0; v < NV; ++v)
                    acc[f][v] = O::madd(wv[v], h, acc[f][v]);
            }
        }
    }

    float z[F][NV * W];
    const V slope = O::set1(kLeakySlopeValue);
    for (int f = 0; f < F; ++f)
    {
        const V xv = O::set1(c.x[t0 + f]);
        float* skip = c.skip + (t0 + f) * S;
        for (int v = 0; v < NV; ++v)
        {
            const V a = O::leaky(O::add(acc[f][v], O::mul(O::load(w.mixin + v * W), xv)), slope);
            O::store(z[f] + v * W, a);
            O::store(skip + v * W, c.firstLayer ? a : O::add(O::load(skip + v * W), a));
        }
    }
    if (c.out == nullptr)
        return;

    V q[F][NV];
    for (int v = 0; v < NV; ++v)
    {
        const V b = O::load(w.mixBias + v * W);
        for (int f = 0; f < F; ++f)
            q[f][v] = b;
    }
    for (int j = 0; j < C; ++j)
    {
        V wv[NV];
        for (int v = 0; v < NV; ++v)
            wv[v] = O::load(w.mix + j * S + v * W);
        for (int f = 0; f < F; ++f)
        {
            const V zj = O::broadcast(&z[f][j]);
            for (int v = 0; v < NV; ++v)
                q[f][v] = O::madd(wv[v], zj, q[f][v]);
        }
    }
    for (int f = 0; f < F; ++f)
    {
        const float* h = c.in + (t0 + f) * S;
        float* out = c.out + (t0 + f) * S;
        for (int v = 0; v < NV; ++v)
            O::store(out + v * W, O::add(O::load(h + v * W), q[f][v]));
    }
}

// Any width: the same operations as layerFrames, with the accumulators in scratch memory.
template <class O>
inline void layerFrameWide(const LayerCall& c, const int t)
{
    using V = typename O::V;
    constexpr int W = O::kWidth;
    const LayerWeights& w = *c.weights;
    const int C = c.channels;
    const std::ptrdiff_t S = c.stride;
    const int K = w.kernel;
    float* acc = c.scratch;
    float* z = c.scratch + S;

    for (std::ptrdiff_t i = 0; i < S; i += W)
        O::store(acc + i, O::load(w.bias + i));
    for (int k = 0; k < K; ++k)
    {
        const float* tap = c.in + (t - static_cast<std::ptrdiff_t>(K - 1 - k) * w.dilation) * S;
        const float* wk = w.conv + k * C * S;
        for (int j = 0; j < C; ++j)
        {
            const V h = O::broadcast(tap + j);
            for (std::ptrdiff_t i = 0; i < S; i += W)
                O::store(acc + i, O::madd(O::load(wk + j * S + i), h, O::load(acc + i)));
        }
    }
    const V slope = O::set1(kLeakySlopeValue);
    const V xv = O::set1(c.x[t]);
    float* skip = c.skip + t * S;
    for (std::ptrdiff_t i = 0; i < S; i += W)
    {
        const V a = O::leaky(O::add(O::load(acc + i), O::mul(O::load(w.mixin + i), xv)), slope);
        O::store(z + i, a);
        O::store(skip + i, c.firstLayer ? a : O::add(O::load(skip + i), a));
    }
    if (c.out == nullptr)
        return;
    for (std::ptrdiff_t i = 0; i < S; i += W)
        O::store(acc + i, O::load(w.mixBias + i));
    for (int j = 0; j < C; ++j)
    {
        const V zj = O::broadcast(z + j);
        for (std::ptrdiff_t i = 0; i < S; i += W)
            O::store(acc + i, O::madd(O::load(w.mix + j * S + i), zj, O::load(acc + i)));
    }
    const float* h = c.in + t * S;
    float* out = c.out + t * S;
    for (std::ptrdiff_t i = 0; i < S; i += W)
        O::store(out + i, O::add(O::load(h + i), O::load(acc + i)));
}

template <class O, int NV>
inline void layerRun(const LayerCall& c)
{
    constexpr int F = NV == 1 ? 8 : NV == 2 ? 4 : 2;
    int t = 0;
    for (; t + F <= c.frames; t += F)
        layerFrames<O, NV, F>(c, t);
    for (; t < c.frames; ++t)
        layerFrames<O, NV, 1>(c, t);
}

template <class O>
void layerAny(const LayerCall& c)
{
    switch (c.stride / O::kWidth)
    {
    case 1: layerRun<O, 1>(c); break;
    case 2: layerRun<O, 2>(c); break;
    case 3: layerRun<O, 3>(c); break;
    case 4: layerRun<O, 4>(c); break;
    default:
        for (int t = 0; t < c.frames; ++t)
            layerFrameWide<O>(c, t);
        break;
    }
}

template <class O>
void rechannelAny(const float* r, const int stride, const float* x, float* out, const int frames)
{
    constexpr int W = O::kWidth;
    for (int t = 0; t < frames; ++t)
    {
        const typename O::V xv = O::set1(x[t]);
        for (int i = 0; i < stride; i += W)
            O::store(out + static_cast<std::ptrdiff_t>(t) * stride + i, O::mul(O::load(r + i), xv));
    }
}

template <class O>
void headAny(const HeadCall& c)
{
    using V = typename O::V;
    constexpr int W = O::kWidth;
    const std::ptrdiff_t S = c.stride;
    for (int t = 0; t < c.frames; ++t)
    {
        // Lane sums first, then the lanes added in order: fixed per frame.
        float lanes[W];
        float y = 0.0f;
        for (std::ptrdiff_t i = 0; i < S; i += W)
        {
            V acc = O::set1(0.0f);
            for (int k = 0; k < kHeadTaps; ++k)
            {
                const float* s = c.skip + (t - (kHeadTaps - 1) + k) * S;
                acc = O::madd(O::load(c.taps + k * S + i), O::load(s + i), acc);
            }
            O::store(lanes, acc);
            for (int lane = 0; lane < W; ++lane)
                y += lanes[lane];
        }
        c.y[t] = (y + c.bias) * c.scale;
    }
}
