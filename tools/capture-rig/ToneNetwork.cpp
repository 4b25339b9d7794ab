#include "ToneNetwork.h"

#include <cmath>

namespace
{
constexpr double kPot = 100e3;
constexpr double kLowPassR = 39e3;
constexpr double kLowPassC = 10e-9;
constexpr double kHighPassC = 4.7e-9;
constexpr double kHighPassR = 100e3;
constexpr double kLoad = 73e3;
}  // namespace

ToneNetwork::ToneNetwork()
{
    constexpr int g = NodalSolver::kGround;
    constexpr int in = NodalSolver::kInput;
    fLowNode = fCircuit.addNode();
    fHighNode = fCircuit.addNode();
    fWiper = fCircuit.addNode();
    fCircuit.addResistor(in, fLowNode, kLowPassR);
    fCircuit.addCapacitor(fLowNode, g, kLowPassC);
    fCircuit.addCapacitor(in, fHighNode, kHighPassC);
    fCircuit.addResistor(fHighNode, g, kHighPassR);
    fPotLow = fCircuit.addResistor(fLowNode, fWiper, kPot * 0.5);
    fPotHigh = fCircuit.addResistor(fWiper, fHighNode, kPot * 0.5);
    fCircuit.addResistor(fWiper, g, kLoad);
    fCircuit.setSupply(0.0);
    settle(0.0);
}

void ToneNetwork::setSampleRate(double rate)
{
    fCircuit.setSampleRate(rate);
}

void ToneNetwork::setPosition(double position)
{
    const double p = std::isnan(position) ? 0.001 : std::fmin(std::fmax(position, 0.001), 0.999);
    fCircuit.setResistance(fPotLow, kPot * p);
    fCircuit.setResistance(fPotHigh, kPot * (1.0 - p));
}

void ToneNetwork::settle(double vin)
{
    fCircuit.setInput(vin);
    fCircuit.solveOperatingPoint();
}

double ToneNetwork::process(double vin)
{
    fCircuit.step(vin);
    return fCircuit.voltage(fWiper);
}
