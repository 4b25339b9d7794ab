#pragma once

// Four-times oversampling around the circuit: a linear-phase Kaiser-windowed sinc low-pass
// for both the interpolator and the decimator. Passband to about 19.5 kHz, more than 100 dB
// down from 24.2 kHz, so nothing the circuit makes above the 48 kHz Nyquist folds back.
// Up plus down delay the signal by exactly kLatency samples at the base rate.
class Oversampler
{
public:
    static constexpr int kFactor = 4;
    static constexpr int kTaps = 257;
    static constexpr int kLatency = (kTaps - 1) / kFactor;  // base-rate samples, up and down together

    Oversampler();
    void reset();
    // One base-rate sample in, kFactor oversampled samples out.
    void upsample(double x, double* out);
    // kFactor oversampled samples in, one base-rate sample out.
    double downsample(const double* in);

    static const double* kernel();

private:
    static constexpr int kUpHistory = (kTaps + kFactor - 1) / kFactor;
    double fUp[2 * kUpHistory] {};
    int fUpPos = 0;
    double fDown[2 * kTaps] {};
    int fDownPos = 0;
};

// I0, the modified Bessel function of the first kind of order 0, from its power series: the
// shape of the Kaiser window here and in the recording chain's fractional delay.
double besselI0(double x);
