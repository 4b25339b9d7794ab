#include "FuzzPedal.h"
#include "NodalSolver.h"
#include "Oversampler.h"
#include "ToneNetwork.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <vector>

namespace
{
constexpr double kPi = 3.14159265358979323846;

// Gain of the network at `hz` (0 for DC) measured in the time domain at 48 kHz: settle for a
// second, then project one second of output onto the test sine.
double measuredGain(ToneNetwork& net, double hz)
{
    net.setSampleRate(48000.0);
    net.settle(0.0);
    if (hz == 0.0)
    {
        double y = 0.0;
        for (int i = 0; i < 48000; ++i)
            y = net.process(1.0);
        return y;
    }
    double re = 0.0, im = 0.0;
    for (int i = 0; i < 96000; ++i)
    {
        const double w = 2.0 * kPi * hz * i / 48000.0;
        const double y = net.process(std::sin(w));
        if (i >= 48000)
        {
            re += y * std::sin(w);
            im += y * std::cos(w);
        }
    }
    return 2.0 * std::hypot(re, im) / 48000.0;
}

double db(double g)
{
    return 20.0 * std::log10(g);
}
}  // namespace

// The network's response relative to noon, in dB, for the table of positions and frequencies
// it is known by (bilinear transform at 48 kHz).
TEST(ToneNetwork, ResponseRelativeToNoonMatchesTable)
{
    const double freqs[6] = {0.0, 100.0, 1000.0, 3000.0, 10000.0, 20000.0};
    struct Row { double position; double db[6]; };
    const Row rows[] = {
        {0.0, {4.215, 4.285, 2.038, -6.201, -17.757, -31.443}},
        {0.25, {1.968, 1.998, -0.430, -4.330, -5.362, -5.445}},
        {0.5, {0.0, 0.0, 0.0, 0.0, 0.0, 0.0}},
        {0.75, {-1.834, -1.845, 2.239, 3.856, 4.078, 4.094}},
        {1.0, {-3.668, -3.641, 5.258, 8.062, 8.523, 8.557}},
    };
    ToneNetwork noon;
    noon.setPosition(0.5);
    double noonGain[6];
    for (int f = 0; f < 6; ++f)
        noonGain[f] = measuredGain(noon, freqs[f]);
    for (const Row& row : rows)
    {
        ToneNetwork net;
        net.setPosition(row.position);
        for (int f = 0; f < 6; ++f)
            EXPECT_NEAR(db(measuredGain(net, freqs[f]) / noonGain[f]), row.db[f], 0.005)
                << "position " << row.position << " at " << freqs[f] << " Hz";
    }
}

// At noon the network is the known analog transfer function; the trapezoidal rule maps it
// to the digital frequency 2 fs tan(w / 2 fs).
TEST(ToneNetwork, NoonMatchesAnalogTransferFunction)
{
    const double num[3] = {1.7505102e-17, 1.2477996e-13, 2.8649922e-10};
    const double den[3] = {4.7e-17, 4.0501282e-13, 8.0578231e-10};
    ToneNetwork net;
    net.setPosition(0.5);
    for (double hz : {0.0, 100.0, 1000.0, 10000.0})
    {
        const std::complex<double> s(0.0, 2.0 * 48000.0 * std::tan(kPi * hz / 48000.0));
        const std::complex<double> h = (num[0] * s * s + num[1] * s + num[2]) / (den[0] * s * s + den[1] * s + den[2]);
        EXPECT_NEAR(db(measuredGain(net, hz)), db(std::abs(h)), 0.005) << hz << " Hz";
    }
}

TEST(ToneNetwork, EndsOfThePotAreClampedNotInfinite)
{
    ToneNetwork atZero, atEnd, beyond, nan;
    atZero.setPosition(0.0);
    atEnd.setPosition(0.001);
    beyond.setPosition(-3.0);
    nan.setPosition(std::nan(""));
    const double g = measuredGain(atEnd, 3000.0);
    EXPECT_TRUE(std::isfinite(g));
    EXPECT_DOUBLE_EQ(measuredGain(atZero, 3000.0), g);
    EXPECT_DOUBLE_EQ(measuredGain(beyond, 3000.0), g);
    EXPECT_DOUBLE_EQ(measuredGain(nan, 3000.0), g);
}

// Small circuits with known answers: the solver's stamps, Newton loop and companion models.
TEST(NodalSolver, SolvesCircuitsWithKnownAnswers)
{
    // Divider from the supply: exact in one step.
    {
        NodalSolver c;
        const int mid = c.addNode();
        c.addResistor(NodalSolver::kSupply, mid, 3e3);
        c.addResistor(mid, NodalSolver::kGround, 6e3);
        c.setSupply(9.0);
        ASSERT_TRUE(c.solveOperatingPoint());
        EXPECT_NEAR(c.voltage(mid), 6.0, 1e-7);  // the solver's 1e-12 S leakage per node
    }
    // Resistor and diode from 9 V: the Shockley equation and Ohm's law agree at the solution.
    {
        const DiodeModel d {2.52e-9, 1.752};
        NodalSolver c;
        const int anode = c.addNode();
        c.addResistor(NodalSolver::kSupply, anode, 1e3);
        c.addDiode(anode, NodalSolver::kGround, d);
        c.setSupply(9.0);
        ASSERT_TRUE(c.solveOperatingPoint());
        const double v = c.voltage(anode);
        const double diode = d.is * (std::exp(v / (d.n * NodalSolver::kThermalVoltage)) - 1.0);
        EXPECT_NEAR(diode, (9.0 - v) / 1e3, 1e-9);
        EXPECT_GT(v, 0.5);
        EXPECT_LT(v, 0.8);
    }
    // RC low-pass step response: the trapezoidal rule follows 1 - exp(-t / RC) closely once the
    // half step it takes the input to rise is allowed for.
    {
        NodalSolver c;
        const int out = c.addNode();
        c.addResistor(NodalSolver::kInput, out, 1e3);
        c.addCapacitor(out, NodalSolver::kGround, 1e-6);
        c.setSampleRate(192000.0);
        c.setSupply(0.0);
        ASSERT_TRUE(c.solveOperatingPoint());
        for (int i = 1; i <= 192; ++i)
        {
            ASSERT_TRUE(c.step(1.0));
            if (i % 48 == 0)
            {
                EXPECT_NEAR(c.voltage(out), 1.0 - std::exp(-(i - 0.5) / 192000.0 / 1e-3), 1e-5) << "step " << i;
            }
        }
    }
}

// Every step converges within a few iterations, from silence to a full-scale square wave,
// at every Dist setting that is captured.
TEST(FuzzPedal, NewtonConvergesOnHardInput)
{
    for (double dist : {0.2, 0.5, 0.8, 1.0})
    {
        FuzzPedal pedal;
        pedal.setDist(dist);
        pedal.reset();
        for (int i = 0; i < 24000; ++i)
        {
            const double t = i / 48000.0;
            double x = 0.0;
            if (i >= 4800 && i < 12000)
                x = std::sin(2.0 * kPi * 41.2 * t) > 0.0 ? 1.0 : -1.0;  // edges at full scale
            else if (i >= 12000)
                x = 0.05 * std::sin(2.0 * kPi * 2000.0 * t * t);  // quiet chirp after the blast
            ASSERT_TRUE(std::isfinite(pedal.process(x)));
        }
        const SolverStats& s = pedal.solverStats();
        EXPECT_EQ(s.failures, 0u) << "dist " << dist;
        EXPECT_LE(s.maxIterations, 120u) << "dist " << dist;
        EXPECT_LT(double(s.iterations) / double(s.steps), 4.0) << "dist " << dist;
    }
}

TEST(FuzzPedal, SilenceAndDcAndEnergyAreSane)
{
    for (double dist : {0.2, 1.0})
    {
        FuzzPedal pedal;
        pedal.setDist(dist);
        pedal.reset();
        // The settled pedal is silent: the operating point is a true steady state.
        double silent = 0.0;
        for (int i = 0; i < 4800; ++i)
            silent = std::fmax(silent, std::fabs(pedal.process(0.0)));
        EXPECT_LT(silent, 1e-9) << "dist " << dist;
        // A loud bass note: bounded output, no DC, and it keeps its fundamental.
        double sum = 0.0, energy = 0.0, re = 0.0, im = 0.0;
        const int n = 48000;
        for (int i = 0; i < 2 * n; ++i)
        {
            const double w = 2.0 * kPi * 41.2 * i / 48000.0;
            const double y = pedal.process(0.5 * std::sin(w));
            if (i >= n)
            {
                sum += y;
                energy += y * y;
                re += y * std::sin(w);
                im += y * std::cos(w);
            }
        }
        const double rms = std::sqrt(energy / n);
        const double fundamental = std::hypot(re, im) * 2.0 / n / std::sqrt(2.0);
        EXPECT_GT(rms, 0.01) << "dist " << dist;
        EXPECT_LT(rms, 5.0) << "dist " << dist;
        EXPECT_LT(std::fabs(sum / n), 0.01 * rms) << "dist " << dist;
        EXPECT_GT(fundamental, 0.3 * rms) << "dist " << dist;  // the low end survives the fuzz
    }
}

TEST(FuzzPedal, MoreDistMeansMoreDistortion)
{
    // Share of the output energy outside the fundamental, for a moderate E1.
    auto distortion = [](double dist) {
        FuzzPedal pedal;
        pedal.setDist(dist);
        pedal.reset();
        double energy = 0.0, re = 0.0, im = 0.0;
        const int n = 48000;
        for (int i = 0; i < 2 * n; ++i)
        {
            const double w = 2.0 * kPi * 41.2 * i / 48000.0;
            const double y = pedal.process(0.2 * std::sin(w));
            if (i >= n)
            {
                energy += y * y;
                re += y * std::sin(w);
                im += y * std::cos(w);
            }
        }
        const double fundamental = 2.0 * (re * re + im * im) / n;
        return 1.0 - fundamental / energy;
    };
    const double low = distortion(0.2), mid = distortion(0.5), high = distortion(1.0);
    EXPECT_LT(low, mid);
    EXPECT_LT(mid, high);
    EXPECT_GT(high, 0.1);  // a square wave keeps 81 % of its energy in the fundamental
}

TEST(FuzzPedal, IsDeterministic)
{
    auto render = [] {
        FuzzPedal pedal;
        pedal.setDist(0.8);
        pedal.reset();
        std::vector<double> y(4800);
        for (int i = 0; i < 4800; ++i)
            y[i] = pedal.process(0.3 * std::sin(0.01 * i) + 0.2 * std::sin(0.37 * i));
        return y;
    };
    EXPECT_EQ(render(), render());
}

// Up and down again: a whole number of samples of delay, flat in the passband, and what
// the circuit makes above 24 kHz does not fold back.
TEST(Oversampler, DelaysExactlyAndRejectsAliases)
{
    Oversampler os;
    std::vector<double> y;
    for (int i = 0; i < 4800; ++i)
    {
        double up[Oversampler::kFactor];
        os.upsample(std::sin(2.0 * kPi * 1000.0 * i / 48000.0), up);
        y.push_back(os.downsample(up));
    }
    for (int i = 1000; i < 4800; ++i)
        ASSERT_NEAR(y[i], std::sin(2.0 * kPi * 1000.0 * (i - Oversampler::kLatency) / 48000.0), 1e-4) << i;

    for (double hz : {25000.0, 30000.0, 60000.0})
    {
        Oversampler alias;
        double peak = 0.0;
        for (int i = 0; i < 4800; ++i)
        {
            double in[Oversampler::kFactor];
            for (int m = 0; m < Oversampler::kFactor; ++m)
                in[m] = std::sin(2.0 * kPi * hz * (Oversampler::kFactor * i + m) / 192000.0);
            const double v = alias.downsample(in);
            if (i > 100)
                peak = std::fmax(peak, std::fabs(v));
        }
        EXPECT_LT(peak, 1e-4) << hz << " Hz";  // at least 80 dB down
    }
}
