// Quality and cost report of the rate adapter around an identity render callback:
// passband flatness, images and aliases around the lower Nyquist frequency, delay, and
// nanoseconds per host sample.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdio>
#include <functional>
#include <vector>

#include "RateAdapter.h"

namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr double kAmplitude = 0.5;
constexpr uint32_t kMaxBlock = 2048;
constexpr unsigned int kBlock = 512;
constexpr int kSettle = 8192;
constexpr int kWindow = 65536;
constexpr int kMainLobeBins = 12;

using Complex = std::complex<double>;

// Seven-term Blackman-Harris: sidelobes far below float resolution, so weak spurs stay visible.
std::vector<double> makeWindow(int n)
{
    static const double a[] = {0.27105140069342, 0.43329793923448, 0.21812299954311, 0.06592544638803,
                               0.01081174209837, 0.00077658482522, 0.00001388721735};
    std::vector<double> w(n);
    for (int i = 0; i < n; ++i)
    {
        double v = 0.0;
        for (int k = 0; k < 7; ++k)
            v += (k % 2 ? -1.0 : 1.0) * a[k] * std::cos(2.0 * kPi * k * i / n);
        w[i] = v;
    }
    return w;
}

void fft(std::vector<Complex>& x)
{
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i)
    {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    for (size_t len = 2; len <= n; len <<= 1)
    {
        const Complex step = std::polar(1.0, -2.0 * kPi / double(len));
        for (size_t i = 0; i < n; i += len)
        {
            Complex w = 1.0;
            for (size_t k = 0; k < len / 2; ++k, w *= step)
            {
                const Complex u = x[i + k];
                const Complex v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
}

struct Spectrum
{
    std::vector<double> amplitude;  // per bin, as a sine amplitude
    double binHz;
};

Spectrum spectrum(const std::vector<float>& signal, int start, double rate, const std::vector<double>& window)
{
    std::vector<Complex> x(window.size());
    double sum = 0.0;
    for (size_t i = 0; i < window.size(); ++i)
    {
        x[i] = window[i] * double(signal[start + i]);
        sum += window[i];
    }
    fft(x);
    Spectrum s;
    s.binHz = rate / double(window.size());
    s.amplitude.resize(window.size() / 2);
    for (size_t k = 0; k < s.amplitude.size(); ++k)
        s.amplitude[k] = 2.0 * std::abs(x[k]) / sum;
    return s;
}

// Windowed DFT at one frequency: amplitude and phase of a sine there, free of bin scalloping.
Complex probe(const std::vector<float>& signal, int start, double freq, double rate, const std::vector<double>& window)
{
    Complex acc = 0.0;
    double sum = 0.0;
    for (size_t i = 0; i < window.size(); ++i)
    {
        acc += window[i] * double(signal[start + i]) * std::polar(1.0, -2.0 * kPi * freq * double(i) / rate);
        sum += window[i];
    }
    return 2.0 * acc / sum;
}

double dB(double v)
{
    return 20.0 * std::log10(std::max(v, 1e-20));
}

struct Peak
{
    double hz = 0.0;
    double amplitude = 0.0;
};

// Strongest bin from fromHz up, away from the tone's main lobe.
Peak strongest(const Spectrum& s, double toneHz, double fromHz)
{
    Peak p;
    const double toneBin = toneHz / s.binHz;
    for (size_t k = 1; k < s.amplitude.size(); ++k)
    {
        if (double(k) * s.binHz < fromHz || std::fabs(double(k) - toneBin) <= kMainLobeBins)
            continue;
        if (s.amplitude[k] > p.amplitude)
        {
            p.amplitude = s.amplitude[k];
            p.hz = double(k) * s.binHz;
        }
    }
    return p;
}

struct Run
{
    std::vector<float> input, output, model;
    uint32_t latency = 0;
    double ratio = 1.0;
};

Run runTone(double rate, double freq, int length)
{
    Run r;
    r.input.resize(length);
    r.output.resize(length);
    for (int i = 0; i < length; ++i)
        r.input[i] = float(kAmplitude * std::sin(2.0 * kPi * freq * double(i) / rate));
    r.model.reserve(size_t(double(length) * 48000.0 / rate) + 4096);

    RateAdapter adapter;
    adapter.reset(rate, kMaxBlock);
    r.latency = adapter.fLatency;
    r.ratio = adapter.fCore ? adapter.fCore->fRatio : 1.0;
    const std::function<void(const float*, float*, unsigned int)> identity = [&r](const float* in, float* out,
                                                                                 unsigned int n) {
        r.model.insert(r.model.end(), in, in + n);
        std::copy(in, in + n, out);
    };
    for (int done = 0; done < length; done += int(kBlock))
    {
        const unsigned int n = unsigned(std::min<int>(int(kBlock), length - done));
        adapter.process(r.input.data() + done, r.output.data() + done, n, identity);
    }
    return r;
}
void reportRate(double rate, const std::vector<double>& toneHz)
{
    const double lowerNyquist = std::min(rate, 48000.0) / 2.0;
    const std::vector<double> window = makeWindow(kWindow);
    const std::vector<double> shortWindow = makeWindow(16384);

    // Delay from the phase of a 1 kHz tone: its period is longer than the delay at both rates.
    const Run delayRun = runTone(rate, 1000.0, kSettle + 16384);
    const Complex in = probe(delayRun.input, kSettle, 1000.0, rate, shortWindow);
    const Complex out = probe(delayRun.output, kSettle, 1000.0, rate, shortWindow);
    double phase = std::arg(in) - std::arg(out);
    while (phase < 0.0)
        phase += 2.0 * kPi;
    const double delay = phase / (2.0 * kPi * 1000.0) * rate;

    std::printf("Host rate %.0f Hz (ratio %.6f): reported latency %u samples, measured delay %.3f samples\n", rate,
                delayRun.ratio, delayRun.latency, delay);

    // Passband: one tone at a time, 20 per decade from 20 Hz to 20 kHz.
    double lowest = 1e9, highest = -1e9, lowestHz = 0.0, highestHz = 0.0;
    for (int i = 0; i <= 60; ++i)
    {
        const double f = 20.0 * std::pow(1000.0, i / 60.0);
        const Run r = runTone(rate, f, kSettle + 16384);
        const double gain = dB(std::abs(probe(r.output, kSettle, f, rate, shortWindow)) / kAmplitude);
        if (gain < lowest)
        {
            lowest = gain;
            lowestHz = f;
        }
        if (gain > highest)
        {
            highest = gain;
            highestHz = f;
        }
    }
    std::printf("  passband 20 Hz - 20 kHz: gain %+.4f dB (at %.0f Hz) to %+.4f dB (at %.0f Hz)\n", lowest, lowestHz,
                highest, highestHz);

    std::printf("  tone Hz   gain dB   strongest other output   strongest above %.0f Hz%s\n", lowerNyquist,
                rate < 48000.0 ? " (48 kHz stream)" : " (output)");
    for (double f : toneHz)
    {
        const Run r = runTone(rate, f, kSettle + kWindow + 4096);
        const double gain = dB(std::abs(probe(r.output, kSettle, f, rate, window)) / kAmplitude);
        const Spectrum outSpectrum = spectrum(r.output, kSettle, rate, window);
        const Peak other = strongest(outSpectrum, f, 0.0);

        Peak above;
        if (rate < 48000.0)
        {
            // Images of the up step live in the 48 kHz stream between the two Nyquist frequencies.
            const Spectrum modelSpectrum = spectrum(r.model, kSettle, 48000.0, window);
            above = strongest(modelSpectrum, f, lowerNyquist);
        }
        else
            above = strongest(outSpectrum, f, lowerNyquist);

        std::printf("  %7.0f  %8.3f   %8.0f Hz %7.1f dBc    %8.0f Hz %7.1f dBc\n", f, gain, other.hz,
                    dB(other.amplitude / kAmplitude), above.hz, dB(above.amplitude / kAmplitude));
    }

    // Cost: ten seconds of audio, best of five runs, for a few block sizes.
    std::vector<float> input(size_t(rate) * 10), output(input.size());
    for (size_t i = 0; i < input.size(); ++i)
        input[i] = float(0.3 * std::sin(0.01 * double(i)));
    const std::function<void(const float*, float*, unsigned int)> identity = [](const float* i, float* o, unsigned int n) {
        std::copy(i, i + n, o);
    };
    std::printf("  cost:");
    for (unsigned int block : {64u, 512u, 2048u})
    {
        double best = 1e30;
        for (int pass = 0; pass < 5; ++pass)
        {
            RateAdapter adapter;
            adapter.reset(rate, kMaxBlock);
            const auto start = std::chrono::steady_clock::now();
            for (size_t done = 0; done < input.size(); done += block)
            {
                const unsigned int n = unsigned(std::min<size_t>(block, input.size() - done));
                adapter.process(input.data() + done, output.data() + done, n, identity);
            }
            const std::chrono::duration<double, std::nano> elapsed = std::chrono::steady_clock::now() - start;
            best = std::min(best, elapsed.count() / double(input.size()));
        }
        std::printf("  %.1f ns/sample (blocks of %u)", best, block);
    }
    std::printf("\n\n");
}
} // namespace

int main()
{
    std::printf("Rate adapter around an identity callback, maxBlock %u, tones at %.1f dBFS, blocks of %u\n\n",
                kMaxBlock, dB(kAmplitude), kBlock);
    reportRate(44100.0, {1000.0, 5000.0, 10000.0, 15000.0, 18000.0, 20000.0, 21000.0, 21800.0});
    reportRate(96000.0, {1000.0, 10000.0, 18000.0, 20000.0, 23000.0, 25000.0, 30000.0, 40000.0});
    return 0;
}
