#pragma once

#include <cstdint>

#include "EngineConstants.h"

// One second-order section, transposed direct form II; a0 is normalised to 1.
struct Biquad {
    double b0 = 1.0;
    double b1 = 0.0;
    double b2 = 0.0;
    double a1 = 0.0;
    double a2 = 0.0;
    double s1 = 0.0;
    double s2 = 0.0;
};

// H(s) = (num2 s^2 + num1 s + num0) / (den2 s^2 + den1 s + den0)
struct AnalogBiquad {
    double num2;
    double num1;
    double num0;
    double den2;
    double den1;
    double den0;
};

// The passive tone network at `tone`, followed by its inverse at `refTone`, so that only the
// difference to the reference position is heard. Works in double; flat when tone == refTone.
class ToneFilter {
public:
    double sampleRate = kRenderSampleRate;
    double tone = 0.5;
    double refTone = 0.5;
    Biquad biquad1;
    Biquad biquad2;

    static AnalogBiquad toneNetworkCoefficients(double position) noexcept;
    // Leaves the states of `out` alone.
    static void bilinearBiquad(Biquad& out, double num2, double num1, double num0,
                               double den2, double den1, double den0, double sampleRate) noexcept;

    // Coefficient changes keep the states, so a moving Tone does not click.
    void update() noexcept;
    void setSampleRate(double rate) noexcept;
    void setTone(double position) noexcept;
    void reset() noexcept;
    void process(float* block, uint32_t count) noexcept;
};
