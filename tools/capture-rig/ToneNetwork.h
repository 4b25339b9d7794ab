#pragma once

#include "NodalSolver.h"

// The passive tone network at the pedal's output, simulated from its parts: a 100 kOhm pot
// whose wiper blends a low-pass node (39 kOhm from the input, 10 nF to ground) and a
// high-pass node (4.7 nF from the input, 100 kOhm to ground), the wiper loaded by 73 kOhm.
// Position 0 puts the wiper at the low-pass node (dark), 1 at the high-pass node (bright).
class ToneNetwork
{
public:
    ToneNetwork();

    void setSampleRate(double rate);
    // Clamped to 0.001..0.999 (NaN counts as 0.001) so that no pot half is ever zero ohms.
    void setPosition(double position);
    // Charges the capacitors to the input held at `vin`.
    void settle(double vin);
    double process(double vin);

private:
    NodalSolver fCircuit;
    int fLowNode = 0, fHighNode = 0, fWiper = 0;
    int fPotLow = 0, fPotHigh = 0;
};
