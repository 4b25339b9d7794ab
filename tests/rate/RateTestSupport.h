#pragma once

#include <cmath>
#include <iostream>
#include <sstream>
#include <string>

// Collects everything written to std::cerr while in scope.
class CerrCapture
{
public:
    CerrCapture() : fOld(std::cerr.rdbuf(fText.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(fOld); }
    std::string text() const { return fText.str(); }

private:
    std::ostringstream fText;
    std::streambuf* fOld;
};

// Three sines up to `top` cycles per sample, kept inside the band of both resamplers so that the
// pair passes them unchanged apart from its delay.
struct ToneMix
{
    static constexpr int kTones = 3;
    double freq[kTones];
    double amp[kTones] = {0.4, 0.3, 0.2};
    double phase[kTones] = {0.3, 1.7, 4.1};

    explicit ToneMix(double top)
    {
        const double rel[kTones] = {0.061, 0.43, 1.0};
        for (int i = 0; i < kTones; ++i)
            freq[i] = rel[i] * top;
    }

    double at(double t) const
    {
        double v = 0.0;
        for (int i = 0; i < kTones; ++i)
            v += amp[i] * std::sin(2.0 * M_PI * freq[i] * t + phase[i]);
        return v;
    }
};
