#include "RecordingChain.h"

#include "FuzzPedal.h"
#include "Oversampler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

const RigCapture kRigCaptures[kRigCaptureCount] = {
    {0.2, -44.7, 5.2},
    {0.35, -26.5, 0.0},
    {0.5, -24.4, 0.66},
    {0.7, -21.5, 0.66},
    {0.8, -20.5, 3.02},
    {1.0, -18.4, 4.66},
};

namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr int kDelayHalfWidth = 32;
constexpr double kDelayBeta = 8.0;

// Windowed sinc sampled at x (in samples) for a kernel reaching +-halfWidth.
double windowedSinc(double x, double halfWidth, double beta)
{
    if (std::fabs(x) >= halfWidth)
        return 0.0;
    const double s = x == 0.0 ? 1.0 : std::sin(kPi * x) / (kPi * x);
    const double r = x / halfWidth;
    return s * besselI0(beta * std::sqrt(1.0 - r * r)) / besselI0(beta);
}
}  // namespace

std::vector<double> renderPedal(double dist, const std::vector<double>& in, SolverStats* stats)
{
    return renderPedal(dist, kRigTone, 0.0, in, stats);
}

std::vector<double> renderPedal(double dist, double tone, double gainDb, const std::vector<double>& in,
                                SolverStats* stats)
{
    FuzzPedal pedal;
    pedal.setDist(dist);
    pedal.setTone(tone);
    pedal.setOutputGainDb(gainDb);
    pedal.reset();
    std::vector<double> out(in.size(), 0.0);
    const size_t latency = Oversampler::kLatency;
    for (size_t i = 0; i < in.size() + latency; ++i)
    {
        const double y = pedal.process(i < in.size() ? in[i] : 0.0);
        if (i >= latency)
            out[i - latency] = y;
    }
    if (stats)
        *stats = pedal.solverStats();
    return out;
}

std::vector<double> fractionalDelay(const std::vector<double>& x, double delay)
{
    const double whole = std::floor(delay);
    const double frac = delay - whole;
    const long shift = static_cast<long>(whole);
    if (frac == 0.0)
    {
        // A whole number of samples: an exact shift, not a kernel that only nearly is one.
        std::vector<double> y(x.size(), 0.0);
        const long n = static_cast<long>(x.size());
        for (long t = std::max(0L, shift); t < n && t - shift < n; ++t)
            y[t] = x[t - shift];
        return y;
    }
    double h[2 * kDelayHalfWidth];
    double sum = 0.0;
    for (int k = -kDelayHalfWidth + 1; k <= kDelayHalfWidth; ++k)
    {
        h[k + kDelayHalfWidth - 1] = windowedSinc(k - frac, kDelayHalfWidth, kDelayBeta);
        sum += h[k + kDelayHalfWidth - 1];
    }
    for (double& v : h)
        v /= sum;
    const long n = static_cast<long>(x.size());
    std::vector<double> y(x.size(), 0.0);
    for (long t = 0; t < n; ++t)
    {
        double acc = 0.0;
        for (int k = -kDelayHalfWidth + 1; k <= kDelayHalfWidth; ++k)
        {
            const long m = t - shift - k;
            if (m >= 0 && m < n)
                acc += h[k + kDelayHalfWidth - 1] * x[m];
        }
        y[t] = acc;
    }
    return y;
}

double rmsDb(const std::vector<double>& x)
{
    double sum = 0.0;
    for (double v : x)
        sum += v * v;
    if (x.empty() || sum == 0.0)
        return -std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(sum / static_cast<double>(x.size()));
}

std::vector<double> highPass(const std::vector<double>& x, double hz)
{
    const double k = std::tan(kPi * hz / 48000.0);
    const double q = std::sqrt(0.5);
    const double norm = 1.0 / (1.0 + k / q + k * k);
    const double b0 = norm, b1 = -2.0 * norm, b2 = norm;
    const double a1 = 2.0 * (k * k - 1.0) * norm, a2 = (1.0 - k / q + k * k) * norm;
    std::vector<double> y(x.size());
    double s1 = 0.0, s2 = 0.0;
    for (size_t i = 0; i < x.size(); ++i)
    {
        const double v = b0 * x[i] + s1;
        s1 = b1 * x[i] - a1 * v + s2;
        s2 = b2 * x[i] - a2 * v;
        y[i] = v;
    }
    return y;
}

double correlationPeakLag(const std::vector<double>& a, const std::vector<double>& b, int maxLag)
{
    // The correlation is computed kDelayHalfWidth lags beyond the search range, so that the
    // interpolation around any lag in the range has its full kernel.
    const long n = static_cast<long>(std::min(a.size(), b.size()));
    const int reach = maxLag + kDelayHalfWidth;
    std::vector<double> r(2 * reach + 1, 0.0);
    for (int lag = -reach; lag <= reach; ++lag)
    {
        double acc = 0.0;
        for (long t = std::max(0L, -static_cast<long>(lag)); t < n && t + lag < n; ++t)
            acc += a[t] * b[t + lag];
        r[lag + reach] = acc;
    }
    int best = -maxLag;
    for (int lag = -maxLag; lag <= maxLag; ++lag)
        if (r[lag + reach] > r[best + reach])
            best = lag;
    // The correlation of band-limited signals is band-limited: interpolate it with a windowed
    // sinc and search around the best whole lag, coarse then fine.
    auto at = [&](double tau) {
        double acc = 0.0;
        const int lo = static_cast<int>(std::floor(tau)) - kDelayHalfWidth + 1;
        for (int lag = lo; lag < lo + 2 * kDelayHalfWidth; ++lag)
            if (lag >= -reach && lag <= reach)
                acc += r[lag + reach] * windowedSinc(tau - lag, kDelayHalfWidth, kDelayBeta);
        return acc;
    };
    double centre = best, step = 0.01;
    for (int pass = 0; pass < 3; ++pass)
    {
        double bestTau = centre, bestValue = at(centre);
        for (int i = -100; i <= 100; ++i)
        {
            const double tau = centre + i * step;
            const double v = at(tau);
            if (v > bestValue)
            {
                bestValue = v;
                bestTau = tau;
            }
        }
        centre = bestTau;
        step *= 0.01;
    }
    return centre;
}

SessionCalibration calibrateSession(const std::vector<double>& reference)
{
    SessionCalibration session {};
    std::vector<double> previous;
    for (int i = 0; i < kRigCaptureCount; ++i)
    {
        const std::vector<double> raw = renderPedal(kRigCaptures[i].position, reference);
        // The output level is linear after the circuit, so one take at 0 dB fixes it exactly.
        session.rawLevelDb[i] = rmsDb(raw);
        session.gainDb[i] = kRigCaptures[i].levelDb - session.rawLevelDb[i];
        std::vector<double> edges = highPass(raw, kAlignmentHighPassHz);
        session.trim[i] = i == 0 ? 0.0 : session.trim[i - 1] + correlationPeakLag(previous, edges, 16);
        previous.swap(edges);
    }
    return session;
}

double chainLatency(const SessionCalibration& session, int capture)
{
    return kAlignedLatency - kRigCaptures[capture].delay - session.trim[capture];
}

std::vector<double> recordCapture(const SessionCalibration& session, int capture, const std::vector<double>& in,
                                  SolverStats* stats)
{
    std::vector<double> y =
        fractionalDelay(renderPedal(kRigCaptures[capture].position, in, stats), chainLatency(session, capture));
    const double gain = std::pow(10.0, session.gainDb[capture] * 0.05);
    for (double& v : y)
        v *= gain;
    return y;
}

bool writeRaw(const std::string& path, const std::vector<double>& x)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = std::fwrite(x.data(), sizeof(double), x.size(), f) == x.size();
    return std::fclose(f) == 0 && ok;
}

bool readRaw(const std::string& path, std::vector<double>& x)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return false;
    std::fseek(f, 0, SEEK_END);
    const long bytes = std::ftell(f);
    std::fseek(f, 0, SEEK_SET);
    if (bytes < 0 || bytes % static_cast<long>(sizeof(double)) != 0)
    {
        std::fclose(f);
        return false;
    }
    x.resize(static_cast<size_t>(bytes) / sizeof(double));
    const bool ok = std::fread(x.data(), sizeof(double), x.size(), f) == x.size();
    std::fclose(f);
    return ok;
}
