#pragma once

#include "NodalSolver.h"
#include "Oversampler.h"
#include "ToneNetwork.h"

#include <cstddef>

// The bass fuzz that the rig captures: input buffer, Dist attenuator, two silicon transistor
// stages solved by Newton-Raphson every oversampled step, a recovery buffer, the passive tone
// network and an output level. Runs at 48 kHz outside and 192 kHz inside; its output lags
// its input by exactly Oversampler::kLatency samples, which the recording chain removes.
class FuzzPedal
{
public:
    static constexpr double kSampleRate = 48000.0;

    FuzzPedal();

    // Dist knob 0..1 (both gangs of the dual pot); takes effect at once.
    void setDist(double dist);
    void setTone(double tone);
    void setOutputGainDb(double db);

    // Operating point, charged capacitors, cleared filters: the pedal just switched on and settled.
    void reset();

    double process(double x);
    void process(const double* in, double* out, size_t count);

    const SolverStats& solverStats() const { return fCircuit.stats(); }
    void resetSolverStats() { fCircuit.resetStats(); }
    // Circuit voltage at the output coupling, before the tone network (for tests).
    double collectorVoltage(int stage) const;

private:
    NodalSolver fCircuit;
    ToneNetwork fTone;
    Oversampler fOversampler;
    int fAttTop = 0, fAttBottom = 0, fDistBypass = 0;
    int fOut = 0, fCollector1 = 0, fCollector2 = 0;
    double fGain = 1.0;
};
