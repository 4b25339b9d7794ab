#pragma once

#include <cstdint>

// Transistor parameters of the Ebers-Moll transport model (NPN).
struct BjtModel
{
    double is;     // saturation current, A
    double betaF;  // forward current gain
    double betaR;  // reverse current gain
};

// Diode parameters of the Shockley equation.
struct DiodeModel
{
    double is;  // saturation current, A
    double n;   // emission coefficient
};

// Counts the solver keeps so that tests and the recording report can show convergence.
struct SolverStats
{
    uint64_t steps = 0;          // solved time steps
    uint64_t iterations = 0;     // Newton iterations over all steps
    uint32_t maxIterations = 0;  // most iterations any single step needed (half steps included)
    uint64_t failures = 0;       // steps that did not converge even in half steps
};

// Modified nodal analysis of a small circuit with a fixed ground, a fixed supply rail and a
// fixed input node. Capacitors are trapezoidal companion models, so every step solves the
// nonlinear nodal equations by Newton-Raphson. Everything is held by value: no allocation
// after the circuit is built.
class NodalSolver
{
public:
    static constexpr int kGround = 0;
    static constexpr int kSupply = 1;
    static constexpr int kInput = 2;
    static constexpr int kFirstFree = 3;
    static constexpr int kMaxNodes = 10;  // free nodes
    static constexpr int kMaxResistors = 16;
    static constexpr int kMaxCapacitors = 8;
    static constexpr int kMaxDiodes = 4;
    static constexpr int kMaxBjts = 3;
    static constexpr int kMaxIterations = 40;
    static constexpr int kMaxSubdivision = 4;
    static constexpr double kThermalVoltage = 0.025851991;  // kT/q at 300 K

    int addNode();
    int addResistor(int a, int b, double ohms);
    int addCapacitor(int a, int b, double farads);
    int addDiode(int anode, int cathode, const DiodeModel& model);
    int addBjt(int base, int collector, int emitter, const BjtModel& model);

    void setResistance(int index, double ohms);
    void setSampleRate(double rate);
    void setSupply(double volts) { fFixed[kSupply] = volts; }
    void setInput(double volts) { fFixed[kInput] = volts; }

    // Operating point with the capacitors open, reached by ramping the supply up from zero;
    // it then charges every capacitor to its operating-point voltage. False if it failed.
    bool solveOperatingPoint();

    // One time step with the input node at `vin`; returns false if Newton did not converge.
    bool step(double vin);

    double voltage(int node) const { return node < kFirstFree ? fFixed[node] : fV[node - kFirstFree]; }
    int freeNodeCount() const { return fNodeCount; }
    const SolverStats& stats() const { return fStats; }
    void resetStats() { fStats = SolverStats(); }

private:
    struct Resistor { int a, b; double g; };
    struct Capacitor { int a, b; double c; double v, i; };
    struct Diode { int a, b; DiodeModel m; };
    struct Bjt { int b, c, e; BjtModel m; };

    int newtonSolve(bool withCapacitors, int maxIterations);
    int advance(double from, double to, double twoOverT, int depth);
    void stamp(bool withCapacitors);
    void addCurrent(int a, int b, double i, double g);
    void addJacobian(int row, int col, double g);
    void addResidual(int row, double i);
    bool solveLinear();

    int fNodeCount = 0;
    int fResistorCount = 0, fCapacitorCount = 0, fDiodeCount = 0, fBjtCount = 0;
    Resistor fResistors[kMaxResistors] {};
    Capacitor fCapacitors[kMaxCapacitors] {};
    Diode fDiodes[kMaxDiodes] {};
    Bjt fBjts[kMaxBjts] {};
    double fFixed[kFirstFree] {0.0, 9.0, 0.0};
    double fV[kMaxNodes] {};
    double fJ[kMaxNodes][kMaxNodes] {};
    double fF[kMaxNodes] {};
    double fDx[kMaxNodes] {};
    double fTwoOverT = 2.0 * 48000.0;
    bool fLinear = true;
    SolverStats fStats;
};
