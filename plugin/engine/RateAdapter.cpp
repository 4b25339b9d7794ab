#include "RateAdapter.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace
{
// Above this many samples per block the resampler's lead could outgrow its ring.
constexpr int32_t kMaxCoreBlock = 32768;

int32_t blockBound(int32_t n, double ratio)
{
    return int32_t(std::ceil(double(n) / ratio));
}

void resizeSamples(GrowableBuffer& buffer, int32_t samples)
{
    const int bytes = int(samples * int32_t(sizeof(float)));
    buffer.resize(bytes, true);
    if (buffer.getSize() != bytes)
        throw std::runtime_error("Could not allocate the rate adapter's sample buffers");
}

void setChannel(GrowableBuffer& list, GrowableBuffer& samples)
{
    list.appendPointer(samples.get());
    if (list.getSize() != int32_t(sizeof(void*)))
        throw std::runtime_error("Could not allocate the rate adapter's channel lists");
}

// Never past the block actually held, even after a reset that failed half-way.
void silence(GrowableBuffer& buffer, int32_t samples)
{
    if (float* p = static_cast<float*>(buffer.get()))
        std::fill(p, p + std::min<int32_t>(samples, buffer.getSize() / int32_t(sizeof(float))), 0.0f);
}

float** channels(GrowableBuffer& list)
{
    return static_cast<float**>(list.get());
}
} // namespace

void RateAdapterCore::reset(double hostRate, int32_t maxBlock)
{
    try
    {
        prepare(hostRate, maxBlock);
    }
    catch (...)
    {
        // Without resamplers processBlock answers with silence instead of using mismatched buffers.
        fUp.reset();
        fDown.reset();
        fLatency = 0;
        throw;
    }
}

void RateAdapterCore::prepare(double hostRate, int32_t maxBlock)
{
    // Refused before anything is sized: the resamplers need a rate that truncates to a positive
    // 32-bit whole number.
    if (!(hostRate >= 1.0 && hostRate < 2147483648.0))
    {
        std::ostringstream text;
        text << "Host sample rate must lie between 1 and 2147483647 Hz; got " << hostRate;
        throw std::invalid_argument(text.str());
    }

    if (hostRate == fHostRate && maxBlock == fMaxBlock && fUp && fDown)
    {
        clear();
        return;
    }

    const double ratio = hostRate / fRenderRate;
    const double modelBlock = std::ceil(double(maxBlock) / ratio);
    if (maxBlock < 1 || maxBlock > kMaxCoreBlock || !(modelBlock <= double(kMaxCoreBlock)))
    {
        std::ostringstream text;
        text.precision(12);
        text << "Rate adapter blocks out of range: " << maxBlock << " samples at " << hostRate << " Hz need "
             << modelBlock << " at the render rate; both must lie between 1 and " << kMaxCoreBlock;
        throw std::runtime_error(text.str());
    }

    fHostRate = hostRate;
    fRatio = ratio;
    fInverseRatio = fRenderRate / hostRate;
    fMaxBlock = maxBlock;
    fMaxModelBlock = int32_t(modelBlock);

    resizeSamples(fHostBuffer, fMaxBlock);
    resizeSamples(fModelInBuffer, fMaxModelBlock);
    resizeSamples(fModelOutBuffer, fMaxModelBlock);

    fHostChannels.resize(0, false);
    fModelInChannels.resize(0, false);
    fModelOutChannels.resize(0, false);
    setChannel(fHostChannels, fHostBuffer);
    setChannel(fModelInChannels, fModelInBuffer);
    setChannel(fModelOutChannels, fModelOutBuffer);

    fUp = std::make_unique<RationalResampler>(float(fHostRate), float(fRenderRate));
    fDown = std::make_unique<RationalResampler>(float(fRenderRate), float(fHostRate));

    clear();

    // Prime both resamplers with silence so that the first block can already be answered in full.
    const uint64_t k = fDown->inputNeeded(1);
    const uint64_t latency = fUp->inputNeeded(k);
    if (latency > uint64_t(fMaxBlock) || k > uint64_t(fMaxModelBlock))
    {
        std::ostringstream text;
        text << "Rate adapter priming does not fit its buffers: " << latency << " of " << fMaxBlock
             << " host samples and " << k << " of " << fMaxModelBlock << " render-rate samples";
        throw std::runtime_error(text.str());
    }
    fLatency = uint32_t(latency);

    fUp->push(channels(fHostChannels), fLatency);
    const uint64_t got = fUp->pop(channels(fModelInChannels), k);
    // The message's "pre-population" is this priming of the down-sampler. By inputNeeded's
    // meaning pop yields all k samples, so the throw only guards that contract.
    if (got < k)
        throw std::runtime_error("Didn't get enough samples required for pre-population!");
    fDown->push(channels(fModelOutChannels), got);
}

void RateAdapterCore::clear() noexcept
{
    silence(fHostBuffer, fMaxBlock);
    silence(fModelInBuffer, fMaxModelBlock);
    silence(fModelOutBuffer, fMaxModelBlock);
    if (fUp)
        fUp->clear();
    if (fDown)
        fDown->clear();
}

void RateAdapterCore::processBlock(float** in, float** out, int n, std::function<void(float**, float**, int)> callback)
{
    if (n <= 0)
        return;

    if (!fUp || !fDown)
    {
        // Never prepared: answer with silence rather than touch missing resamplers.
        std::fill(out[0], out[0] + n, 0.0f);
        return;
    }

    for (int done = 0; done < n;)
    {
        const int piece = std::min(n - done, int(fMaxBlock));
        float* pieceIn[1] = {in[0] + done};
        float* pieceOut[1] = {out[0] + done};
        processPiece(pieceIn, pieceOut, piece, callback);
        done += piece;
    }
}

void RateAdapterCore::processPiece(float** in, float** out, int n,
                                   const std::function<void(float**, float**, int)>& callback)
{
    fUp->push(in, uint64_t(n));

    const int32_t bound = blockBound(n, fRatio);
    float** modelIn = channels(fModelInChannels);
    float** modelOut = channels(fModelOutChannels);
    while (fUp->inputNeeded(1) == 0)
    {
        const uint64_t count = fUp->pop(modelIn, uint64_t(bound));
        // In the message, "encapsulated samples" are these render-rate samples and the
        // "encapsulated DSP" is the render callback, which is never handed more than `bound`
        // at once. pop never yields more than asked, so the throw only guards that contract.
        if (count > uint64_t(bound))
            throw std::runtime_error("Got more encapsulated samples than the encapsulated DSP is prepared to handle!");
        if (count == 0)
            break;
        callback(modelIn, modelOut, int(count));
        fDown->push(modelOut, count);
    }

    const uint64_t got = fDown->pop(out, uint64_t(n));
    if (got < uint64_t(n))
    {
        // The text is fixed, the missing blank after "expected" included.
        std::cerr << "Did not yield enough samples (" << got << ") to provide the required output buffer (expected" << n
                  << ")! Filling with last sample..." << std::endl;
        const float hold = got > 0 ? out[0][got - 1] : 0.0f;
        std::fill(out[0] + got, out[0] + n, hold);
    }

    fUp->rebasePhases();
    fDown->rebasePhases();
}

void RateAdapter::reset(double sampleRate, uint32_t maxBlock)
{
    fCore.reset();
    fLatency = 0;

    if (std::fabs(sampleRate - 48000.0) > 1.0)
    {
        // Prepared aside: a core whose reset threw is never left behind half-prepared.
        auto core = std::make_unique<RateAdapterCore>();
        core->reset(sampleRate, int32_t(std::min<uint32_t>(maxBlock, 0x7fffffffu)));
        fCore = std::move(core);
        fLatency = fCore->fLatency;
    }
}

void RateAdapter::process(const float* in, float* out, unsigned int n,
                          const std::function<void(const float*, float*, unsigned int)>& callback)
{
    if (!fCore)
    {
        callback(in, out, n);
        return;
    }

    // The core only reads through the input list.
    float* inList[1] = {const_cast<float*>(in)};
    float* outList[1] = {out};
    const int count = int(std::min<unsigned int>(n, 0x7fffffffu));
    fCore->processBlock(inList, outList, count, [&callback](float** modelIn, float** modelOut, int samples) {
        callback(modelIn[0], modelOut[0], unsigned(samples));
    });
}
