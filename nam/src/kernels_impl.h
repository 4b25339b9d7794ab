// Included by each instruction-set translation unit inside its own anonymous namespace,
// after it has defined its vector operation structs. No includes here on purpose.

// F frames at a time share each weight load; per frame the operations are those of F = 1.
// Two evaluation orders, each the one the reference output was computed with for its size:
// BiasFirst starts every sum at its bias and adds products one by one (3 channels); otherwise
// each tap's products are summed on their own, the taps added up, then the bias (all others).
template <class O, int NV, int F, bool BiasFirst>
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
        const V start = BiasFirst ? O::load(w.bias + v * W) : O::set1(0.0f);
        for (int f = 0; f < F; ++f)
            acc[f][v] = start;
    }
    for (int k = 0; k < K; ++k)
    {
        const float* tap = c.in + (t0 - static_cast<std::ptrdiff_t>(K - 1 - k) * w.dilation) * S;
        const float* wk = w.conv + k * C * S;
        if constexpr (BiasFirst)
        {
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
        else
        {
            V p[F][NV];
            for (int v = 0; v < NV; ++v)
            {
                const V w0 = O::load(wk + v * W);
                for (int f = 0; f < F; ++f)
                    p[f][v] = O::mul(w0, O::broadcast(tap + f * S));
            }
            for (int j = 1; j < C; ++j)
            {
                V wv[NV];
                for (int v = 0; v < NV; ++v)
                    wv[v] = O::load(wk + j * S + v * W);
                for (int f = 0; f < F; ++f)
                {
                    const V h = O::broadcast(tap + f * S + j);
                    for (int v = 0; v < NV; ++v)
                        p[f][v] = O::madd(wv[v], h, p[f][v]);
                }
            }
            for (int f = 0; f < F; ++f)
                for (int v = 0; v < NV; ++v)
                    acc[f][v] = O::add(acc[f][v], p[f][v]);
        }
    }
    if (!BiasFirst)
        for (int v = 0; v < NV; ++v)
        {
            const V b = O::load(w.bias + v * W);
            for (int f = 0; f < F; ++f)
                acc[f][v] = O::add(acc[f][v], b);
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
        const V l0 = O::load(w.mix + v * W);
        const V b = O::load(w.mixBias + v * W);
        for (int f = 0; f < F; ++f)
            q[f][v] = BiasFirst ? O::madd(l0, O::broadcast(&z[f][0]), b) : O::mul(l0, O::broadcast(&z[f][0]));
    }
    for (int j = 1; j < C; ++j)
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
        {
            const V hv = O::load(h + v * W);
            O::store(out + v * W, BiasFirst ? O::add(hv, q[f][v])
                                            : O::add(O::add(hv, q[f][v]), O::load(w.mixBias + v * W)));
        }
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

    float* p = c.scratch + 2 * S;
    for (int k = 0; k < K; ++k)
    {
        const float* tap = c.in + (t - static_cast<std::ptrdiff_t>(K - 1 - k) * w.dilation) * S;
        const float* wk = w.conv + k * C * S;
        for (int j = 0; j < C; ++j)
        {
            const V h = O::broadcast(tap + j);
            for (std::ptrdiff_t i = 0; i < S; i += W)
            {
                const V product = O::load(wk + j * S + i);
                O::store(p + i, j == 0 ? O::mul(product, h) : O::madd(product, h, O::load(p + i)));
            }
        }
        for (std::ptrdiff_t i = 0; i < S; i += W)
            O::store(acc + i, O::add(k == 0 ? O::set1(0.0f) : O::load(acc + i), O::load(p + i)));
    }
    for (std::ptrdiff_t i = 0; i < S; i += W)
        O::store(acc + i, O::add(O::load(acc + i), O::load(w.bias + i)));
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
    for (int j = 0; j < C; ++j)
    {
        const V zj = O::broadcast(z + j);
        for (std::ptrdiff_t i = 0; i < S; i += W)
        {
            const V product = O::load(w.mix + j * S + i);
            O::store(acc + i, j == 0 ? O::mul(product, zj) : O::madd(product, zj, O::load(acc + i)));
        }
    }
    const float* h = c.in + t * S;
    float* out = c.out + t * S;
    for (std::ptrdiff_t i = 0; i < S; i += W)
        O::store(out + i, O::add(O::add(O::load(h + i), O::load(acc + i)), O::load(w.mixBias + i)));
}

template <class O, int NV, bool BiasFirst = false>
inline void layerRun(const LayerCall& c)
{
    constexpr int F = NV == 1 ? 8 : NV == 2 ? 4 : 2;
    int t = 0;
    for (; t + F <= c.frames; t += F)
        layerFrames<O, NV, F, BiasFirst>(c, t);
    for (; t < c.frames; ++t)
        layerFrames<O, NV, 1, BiasFirst>(c, t);
}

template <class O>
void layerAny(const LayerCall& c)
{
    if (c.channels == 3 && c.stride == O::kWidth)
    {
        layerRun<O, 1, true>(c);
        return;
    }
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

// Frames go across the lanes: the skip sums are copied channel-major first, so that W frames
// of one channel load as one vector. Per frame the sum starts at the bias and adds every
// product in turn, taps oldest first, channels inner. A short last group computes on zero
// padding and keeps only its valid lanes.
template <class O>
void headAny(const HeadCall& c)
{
    using V = typename O::V;
    constexpr int W = O::kWidth;
    const std::ptrdiff_t S = c.stride;
    const int history = kHeadTaps - 1;
    const int padded = (c.frames + W - 1) / W * W;
    for (int j = 0; j < c.channels; ++j)
    {
        float* row = c.scratch + static_cast<std::ptrdiff_t>(j) * c.rowStride;
        for (int u = 0; u < c.frames + history; ++u)
            row[u] = c.skip[static_cast<std::ptrdiff_t>(u - history) * S + j];
        for (int u = c.frames + history; u < padded + history; ++u)
            row[u] = 0.0f;
    }
    float lanes[W];
    for (int t = 0; t < padded; t += W)
    {
        V y = O::set1(c.bias);
        for (int k = 0; k < kHeadTaps; ++k)
            for (int j = 0; j < c.channels; ++j)
                y = O::madd(O::set1(c.taps[k * S + j]),
                            O::load(c.scratch + static_cast<std::ptrdiff_t>(j) * c.rowStride + t + k), y);
        O::store(lanes, O::mul(y, O::set1(c.scale)));
        for (int f = 0; f < W && t + f < c.frames; ++f)
            c.y[t + f] = lanes[f];
    }
}
