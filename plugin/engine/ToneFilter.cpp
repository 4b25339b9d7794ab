#include "ToneFilter.h"

namespace {

// Component values of the network.
constexpr double kPotConductanceUnit = 0.00001;        // 100 kOhm pot, scaled by the position
constexpr double kLoadConductance = 1.3698630136986302e-05; // 73 kOhm load on the wiper
constexpr double kInputConductance = 2.564102564102564e-05; // 39 kOhm into the low-pass node
constexpr double kHighPassToGround = 0.00001;          // 100 kOhm from the high-pass node
constexpr double kC1 = 4.7e-9;                         // 4.7 nF into the high-pass node
constexpr double kC2 = 1e-8;                           // 10 nF from the low-pass node
constexpr double kC1C2 = 4.7e-17;
constexpr double kC1G39 = 1.205128205128205e-13;

} // namespace

AnalogBiquad ToneFilter::toneNetworkCoefficients(double position) noexcept
{
    // Never at the pot's very ends, where a conductance would become infinite; NaN goes low.
    double p = position > 0.001 ? position : 0.001;
    if (p > 0.999)
        p = 0.999;

    const double ga = kPotConductanceUnit / p;
    const double gb = kPotConductanceUnit / (1.0 - p);
    const double rs = 1.0 / ((ga + gb) + kLoadConductance);

    // Eliminating the wiper node.
    const double ka = rs * ga;
    const double kb = rs * gb;
    const double kab = (ga * gb) * rs;

    const double pHigh = (gb - gb * kb) + kHighPassToGround;
    const double qLow = (ga - ga * ka) + kInputConductance;

    AnalogBiquad h;
    h.num2 = kb * kC1C2;
    h.num1 = (kab * ka + kb * qLow) * kC1 + ka * kC1G39;
    h.num0 = (kab * kb + ka * pHigh) * kInputConductance;
    h.den2 = kC1C2;
    h.den1 = qLow * kC1 + pHigh * kC2;
    h.den0 = pHigh * qLow - kab * kab;
    return h;
}

void ToneFilter::bilinearBiquad(Biquad& out, double num2, double num1, double num0,
                                double den2, double den1, double den0, double rate) noexcept
{
    // No prewarping: the network was matched at 48 kHz as it is.
    const double k = 2.0 * rate;
    const double k2 = k * k;
    const double norm = 1.0 / (den2 * k2 + den1 * k + den0);
    out.b0 = (num2 * k2 + num1 * k + num0) * norm;
    out.b1 = (2.0 * num0 - 2.0 * num2 * k2) * norm;
    out.b2 = (num2 * k2 - num1 * k + num0) * norm;
    out.a1 = (2.0 * den0 - 2.0 * den2 * k2) * norm;
    out.a2 = (den2 * k2 - den1 * k + den0) * norm;
}

void ToneFilter::update() noexcept
{
    const AnalogBiquad t = toneNetworkCoefficients(tone);
    const AnalogBiquad r = toneNetworkCoefficients(refTone);
    bilinearBiquad(biquad1, t.num2, t.num1, t.num0, t.den2, t.den1, t.den0, sampleRate);
    // The inverse of the network: its zeros are in the left half-plane, so this stays stable.
    bilinearBiquad(biquad2, r.den2, r.den1, r.den0, r.num2, r.num1, r.num0, sampleRate);
}

void ToneFilter::setSampleRate(double rate) noexcept
{
    sampleRate = rate;
    update();
}

void ToneFilter::setTone(double position) noexcept
{
    tone = position;
    update();
}

void ToneFilter::reset() noexcept
{
    biquad1.s1 = biquad1.s2 = 0.0;
    biquad2.s1 = biquad2.s2 = 0.0;
}

void ToneFilter::process(float* block, uint32_t count) noexcept
{
    Biquad f = biquad1;
    Biquad g = biquad2;
    for (uint32_t i = 0; i < count; ++i)
    {
        const double x = static_cast<double>(block[i]);

        const double y1 = f.b0 * x + f.s1;
        f.s1 = f.b1 * x - f.a1 * y1 + f.s2;
        f.s2 = f.b2 * x - f.a2 * y1;

        const double y2 = g.b0 * y1 + g.s1;
        g.s1 = g.b1 * y1 - g.a1 * y2 + g.s2;
        g.s2 = g.b2 * y1 - g.a2 * y2;

        block[i] = static_cast<float>(y2);
    }
    biquad1.s1 = f.s1;
    biquad1.s2 = f.s2;
    biquad2.s1 = g.s1;
    biquad2.s2 = g.s2;
}
