#include "Oversampler.h"

#include <cmath>

double besselI0(double x)
{
    double sum = 1.0, term = 1.0;
    for (int k = 1; k < 60; ++k)
    {
        const double q = x / (2.0 * k);
        term *= q * q;
        sum += term;
        if (term < sum * 1e-17)
            break;
    }
    return sum;
}

namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr double kCutoffHz = 21800.0;
constexpr double kKaiserBeta = 10.0;
constexpr double kOversampledRate = 48000.0 * Oversampler::kFactor;

struct Kernel
{
    double h[Oversampler::kTaps];
    Kernel()
    {
        const double fc = kCutoffHz / kOversampledRate;
        const double centre = (Oversampler::kTaps - 1) * 0.5;
        double sum = 0.0;
        for (int i = 0; i < Oversampler::kTaps; ++i)
        {
            const double t = i - centre;
            const double sinc = t == 0.0 ? 2.0 * fc : std::sin(2.0 * kPi * fc * t) / (kPi * t);
            const double r = t / centre;
            h[i] = sinc * besselI0(kKaiserBeta * std::sqrt(std::fmax(0.0, 1.0 - r * r))) / besselI0(kKaiserBeta);
            sum += h[i];
        }
        for (double& v : h)
            v /= sum;  // unity gain at DC
    }
};

const Kernel& sharedKernel()
{
    static const Kernel k;
    return k;
}
}  // namespace

const double* Oversampler::kernel()
{
    return sharedKernel().h;
}

Oversampler::Oversampler()
{
    sharedKernel();
}

void Oversampler::reset()
{
    for (double& v : fUp)
        v = 0.0;
    for (double& v : fDown)
        v = 0.0;
    fUpPos = fDownPos = 0;
}

void Oversampler::upsample(double x, double* out)
{
    // Mirrored history: the newest kUpHistory inputs are contiguous from fUpPos, newest first.
    fUpPos = (fUpPos == 0 ? kUpHistory : fUpPos) - 1;
    fUp[fUpPos] = fUp[fUpPos + kUpHistory] = x;
    const double* h = kernel();
    for (int m = 0; m < kFactor; ++m)
    {
        double acc = 0.0;
        for (int k = 0; m + kFactor * k < kTaps; ++k)
            acc += h[m + kFactor * k] * fUp[fUpPos + k];
        out[m] = acc * kFactor;
    }
}

double Oversampler::downsample(const double* in)
{
    // The output is taken at the group's first sample, so that up and down together delay
    // by a whole number of base-rate samples; the other three only enter the history.
    auto push = [this](double v) {
        fDownPos = (fDownPos == 0 ? kTaps : fDownPos) - 1;
        fDown[fDownPos] = fDown[fDownPos + kTaps] = v;
    };
    push(in[0]);
    const double* h = kernel();
    double acc = 0.0;
    for (int i = 0; i < kTaps; ++i)
        acc += h[i] * fDown[fDownPos + i];
    for (int m = 1; m < kFactor; ++m)
        push(in[m]);
    return acc;
}
