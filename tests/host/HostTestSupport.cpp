#include "HostTestSupport.hpp"

#include <algorithm>
#include <cmath>
#include <unistd.h>

void Stereo::append(const Stereo& other)
{
    l.insert(l.end(), other.l.begin(), other.l.end());
    r.insert(r.end(), other.r.begin(), other.r.end());
}

Stereo bassSignal(const double sampleRate, const double seconds, const float amplitude, const uint32_t seed)
{
    const size_t n = static_cast<size_t>(sampleRate * seconds);
    Stereo s;
    s.l.resize(n);
    s.r.resize(n);
    const double f0 = 41.2 * (1.0 + 0.25 * (seed % 4)); // E1 and a few notes above
    uint32_t noise = seed * 2654435761u + 1u;
    for (size_t i = 0; i < n; ++i)
    {
        const double t = static_cast<double>(i) / sampleRate;
        const double swell = 0.6 + 0.4 * std::sin(2.0 * M_PI * 1.5 * t);
        double v = 0.0;
        for (int h = 1; h <= 5; ++h)
            v += std::sin(2.0 * M_PI * f0 * h * t + 0.3 * h) / h;
        noise = noise * 1664525u + 1013904223u;
        const double hiss = (static_cast<double>(noise >> 8) / 8388608.0 - 1.0) * 0.01;
        s.l[i] = static_cast<float>(amplitude * swell * (0.6 * v + hiss));
        s.r[i] = static_cast<float>(amplitude * swell * (0.5 * v - hiss));
    }
    return s;
}

Stereo sineSignal(const double sampleRate, const double seconds, const double frequency, const float amplitude)
{
    const size_t n = static_cast<size_t>(sampleRate * seconds);
    Stereo s;
    s.l.resize(n);
    for (size_t i = 0; i < n; ++i)
        s.l[i] = amplitude * static_cast<float>(std::sin(2.0 * M_PI * frequency * static_cast<double>(i) / sampleRate));
    s.r = s.l;
    return s;
}

Stereo silence(const double sampleRate, const double seconds)
{
    const size_t n = static_cast<size_t>(sampleRate * seconds);
    Stereo s;
    s.l.assign(n, 0.f);
    s.r.assign(n, 0.f);
    return s;
}

Stereo render(HostedPlugin& plugin, const Stereo& input, const std::vector<uint32_t>& blocks,
              const std::vector<TimedEvent>& events, const bool inPlace)
{
    Stereo out;
    out.l.assign(input.size(), 0.f);
    out.r.assign(input.size(), 0.f);
    Stereo work = input; // in place: the plug-in reads and writes these buffers

    std::vector<PlainEvent> blockEvents;
    size_t next = 0;
    size_t pos = 0;
    for (size_t b = 0; pos < input.size(); ++b)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(blocks[b % blocks.size()], input.size() - pos));
        blockEvents.clear();
        while (next < events.size() && events[next].frame < pos + n)
        {
            const size_t at = std::max(events[next].frame, pos);
            blockEvents.push_back({ static_cast<uint32_t>(at - pos), events[next].index, events[next].value });
            ++next;
        }
        const float* in[2] = { work.l.data() + pos, work.r.data() + pos };
        float* dst[2] = { inPlace ? work.l.data() + pos : out.l.data() + pos,
                          inPlace ? work.r.data() + pos : out.r.data() + pos };
        plugin.process(in, dst, n, blockEvents.data(), static_cast<uint32_t>(blockEvents.size()));
        plugin.idle();
        pos += n;
    }
    return inPlace ? work : out;
}

std::vector<uint32_t> randomBlocks(const uint32_t seed, const size_t count, const uint32_t maxBlock)
{
    std::vector<uint32_t> blocks(count);
    uint32_t x = seed * 747796405u + 2891336453u;
    for (uint32_t& b : blocks)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        // many small blocks, some large ones
        b = 1 + (x % 4 == 0 ? x % maxBlock : x % 97);
    }
    return blocks;
}

double rms(const std::vector<float>& x, const size_t from, const size_t to)
{
    double sum = 0.0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<double>(x[i]) * x[i];
    return to > from ? std::sqrt(sum / static_cast<double>(to - from)) : 0.0;
}

bool allFinite(const std::vector<float>& x)
{
    return std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); });
}

std::vector<float> delayedMono(const Stereo& in, const uint32_t delay)
{
    std::vector<float> m(in.size(), 0.f);
    for (size_t i = delay; i < in.size(); ++i)
        m[i] = (in.l[i - delay] + in.r[i - delay]) * 0.5f;
    return m;
}

StderrCapture::StderrCapture()
    : fFile(std::tmpfile())
{
    std::fflush(stderr);
    fSaved = dup(2);
    dup2(fileno(fFile), 2);
}

std::string StderrCapture::finish()
{
    if (fSaved < 0)
        return fText;
    std::fflush(stderr);
    dup2(fSaved, 2);
    close(fSaved);
    fSaved = -1;
    std::rewind(fFile);
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof(buf), fFile)) != 0;)
        fText.append(buf, n);
    std::fclose(fFile);
    return fText;
}
