#include "FuzzPedal.h"

#include <cmath>

namespace
{
// Small-signal silicon NPN of high gain and a silicon switching diode.
constexpr BjtModel kTransistor {20e-15, 400.0, 5.0};
constexpr DiodeModel kClipDiode {2.52e-9, 1.752};

constexpr double kSupply = 9.0;
constexpr double kAttenuatorPot = 50e3;  // Dist gang A, audio law
constexpr double kPotEnd = 10.0;         // wiper and track-end resistance
// Dist gang B: a reverse-log pot from 22 Ohm to about 4.9 kOhm (an exponential taper), so
// that the first stage's gain rises evenly in dB, from about 17 dB (Dist 0) to 44 dB (Dist 1).
constexpr double kBypassMin = 22.0;
constexpr double kBypassTaper = 5.4;
}  // namespace

FuzzPedal::FuzzPedal()
{
    constexpr int g = NodalSolver::kGround;
    constexpr int vcc = NodalSolver::kSupply;
    constexpr int in = NodalSolver::kInput;
    NodalSolver& c = fCircuit;
    const int wiper = c.addNode(), input1 = c.addNode();
    const int b1 = c.addNode(), c1 = c.addNode(), e1 = c.addNode(), x1 = c.addNode();
    const int b2 = c.addNode(), c2 = c.addNode(), e2 = c.addNode();
    fOut = c.addNode();
    fCollector1 = c1;
    fCollector2 = c2;

    // Dist gang A: divider from the input buffer.
    fAttTop = c.addResistor(in, wiper, kAttenuatorPot);
    fAttBottom = c.addResistor(wiper, g, kAttenuatorPot);

    // Stage 1: collector-feedback gain stage with diode clipping from collector to base;
    // Dist gang B bypasses the emitter resistor to set the gain.
    // A series resistor gives the clipping diodes a source to work against at full Dist.
    c.addResistor(wiper, input1, 2.2e3);
    c.addCapacitor(input1, b1, 4.7e-6);
    c.addResistor(c1, b1, 470e3);
    c.addDiode(c1, b1, kClipDiode);
    c.addDiode(b1, c1, kClipDiode);
    c.addResistor(vcc, c1, 10e3);
    c.addCapacitor(vcc, c1, 2.2e-9);
    c.addBjt(b1, c1, e1, kTransistor);
    c.addResistor(e1, g, 2.2e3);
    fDistBypass = c.addResistor(e1, x1, kBypassMin);
    c.addCapacitor(x1, g, 220e-6);

    // Stage 2: fixed-bias stage from a 3.3 MOhm base resistor. Hard drive charges its input
    // coupling capacitor through the base-emitter junction, which starves the bias: the gate.
    c.addCapacitor(c1, b2, 1e-6);
    c.addResistor(vcc, b2, 4.7e6);
    c.addResistor(vcc, c2, 4.7e3);
    c.addCapacitor(vcc, c2, 1e-9);
    c.addBjt(b2, c2, e2, kTransistor);
    c.addResistor(e2, g, 100.0);

    // Output coupling into the recovery buffer's 100 kOhm input.
    c.addCapacitor(c2, fOut, 1e-6);
    c.addResistor(fOut, g, 100e3);

    c.setSupply(kSupply);
    c.setSampleRate(kSampleRate * Oversampler::kFactor);
    fTone.setSampleRate(kSampleRate * Oversampler::kFactor);
    setDist(0.5);
    setTone(0.5);
    reset();
}

void FuzzPedal::setDist(double dist)
{
    const double d = std::isnan(dist) ? 0.0 : std::fmin(std::fmax(dist, 0.0), 1.0);
    const double a = d * d;  // audio law: the attenuator passes d^2
    fCircuit.setResistance(fAttTop, kPotEnd + kAttenuatorPot * (1.0 - a));
    fCircuit.setResistance(fAttBottom, kPotEnd + kAttenuatorPot * a);
    fCircuit.setResistance(fDistBypass, kBypassMin * std::exp(kBypassTaper * (1.0 - d)));
}

void FuzzPedal::setTone(double tone)
{
    fTone.setPosition(tone);
}

void FuzzPedal::setOutputGainDb(double db)
{
    fGain = std::pow(10.0, db * 0.05);
}

void FuzzPedal::reset()
{
    fCircuit.setInput(0.0);
    fCircuit.solveOperatingPoint();
    fTone.settle(0.0);
    fOversampler.reset();
    fCircuit.resetStats();
}

double FuzzPedal::process(double x)
{
    double up[Oversampler::kFactor];
    fOversampler.upsample(x, up);
    for (double& v : up)
    {
        fCircuit.step(v);
        v = fTone.process(fCircuit.voltage(fOut));
    }
    return fOversampler.downsample(up) * fGain;
}

void FuzzPedal::process(const double* in, double* out, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        out[i] = process(in[i]);
}

double FuzzPedal::collectorVoltage(int stage) const
{
    return fCircuit.voltage(stage == 0 ? fCollector1 : fCollector2);
}
