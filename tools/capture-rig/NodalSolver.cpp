#include "NodalSolver.h"

#include <cmath>

namespace
{
// Past this exponent the junction current grows linearly, so a wild Newton iterate cannot overflow.
constexpr double kExpLimit = 80.0;
// Leakage to ground on every free node keeps the matrix regular when a node floats at DC.
constexpr double kGmin = 1e-12;
// Largest change of any node voltage in one Newton iteration, and of a forward-biased
// junction, so that the exponentials are approached from below instead of overshot.
constexpr double kMaxNodeStep = 1.0;
constexpr double kMaxJunctionRise = 0.1;
constexpr double kJunctionOn = 0.5;
constexpr double kTolerance = 1e-9;
constexpr int kOperatingPointSteps = 20;

struct Junction
{
    double i;  // current
    double g;  // its derivative
};

Junction junction(double is, double nvt, double v)
{
    const double x = v / nvt;
    if (x < kExpLimit)
    {
        const double e = std::exp(x);
        return {is * (e - 1.0), is * e / nvt};
    }
    const double e = std::exp(kExpLimit);
    return {is * (e * (1.0 + x - kExpLimit) - 1.0), is * e / nvt};
}
}  // namespace

int NodalSolver::addNode()
{
    fV[fNodeCount] = 0.0;
    return kFirstFree + fNodeCount++;
}

int NodalSolver::addResistor(int a, int b, double ohms)
{
    fResistors[fResistorCount] = {a, b, 1.0 / ohms};
    return fResistorCount++;
}

int NodalSolver::addCapacitor(int a, int b, double farads)
{
    fCapacitors[fCapacitorCount] = {a, b, farads, 0.0, 0.0};
    return fCapacitorCount++;
}

int NodalSolver::addDiode(int anode, int cathode, const DiodeModel& model)
{
    fLinear = false;
    fDiodes[fDiodeCount] = {anode, cathode, model};
    return fDiodeCount++;
}

int NodalSolver::addBjt(int base, int collector, int emitter, const BjtModel& model)
{
    fLinear = false;
    fBjts[fBjtCount] = {base, collector, emitter, model};
    return fBjtCount++;
}

void NodalSolver::setResistance(int index, double ohms)
{
    fResistors[index].g = 1.0 / ohms;
}

void NodalSolver::setSampleRate(double rate)
{
    fTwoOverT = 2.0 * rate;
}

void NodalSolver::addJacobian(int row, int col, double g)
{
    if (row >= kFirstFree && col >= kFirstFree)
        fJ[row - kFirstFree][col - kFirstFree] += g;
}

void NodalSolver::addResidual(int row, double i)
{
    if (row >= kFirstFree)
        fF[row - kFirstFree] += i;
}

// A two-terminal current i from a to b with di/dva = g and di/dvb = -g.
void NodalSolver::addCurrent(int a, int b, double i, double g)
{
    addResidual(a, i);
    addResidual(b, -i);
    addJacobian(a, a, g);
    addJacobian(a, b, -g);
    addJacobian(b, a, -g);
    addJacobian(b, b, g);
}

void NodalSolver::stamp(bool withCapacitors)
{
    for (int r = 0; r < fNodeCount; ++r)
    {
        for (int c = 0; c < fNodeCount; ++c)
            fJ[r][c] = 0.0;
        fJ[r][r] = kGmin;
        fF[r] = kGmin * fV[r];
    }
    for (int k = 0; k < fResistorCount; ++k)
    {
        const Resistor& r = fResistors[k];
        addCurrent(r.a, r.b, r.g * (voltage(r.a) - voltage(r.b)), r.g);
    }
    if (withCapacitors)
    {
        for (int k = 0; k < fCapacitorCount; ++k)
        {
            const Capacitor& c = fCapacitors[k];
            const double geq = c.c * fTwoOverT;
            const double v = voltage(c.a) - voltage(c.b);
            addCurrent(c.a, c.b, geq * (v - c.v) - c.i, geq);
        }
    }
    for (int k = 0; k < fDiodeCount; ++k)
    {
        const Diode& d = fDiodes[k];
        const Junction j = junction(d.m.is, d.m.n * kThermalVoltage, voltage(d.a) - voltage(d.b));
        addCurrent(d.a, d.b, j.i, j.g);
    }
    for (int k = 0; k < fBjtCount; ++k)
    {
        const Bjt& q = fBjts[k];
        const double vb = voltage(q.b);
        const Junction f = junction(q.m.is, kThermalVoltage, vb - voltage(q.e));
        const Junction r = junction(q.m.is, kThermalVoltage, vb - voltage(q.c));
        const double kr = 1.0 + 1.0 / q.m.betaR;
        // Currents flowing into the device at each terminal.
        const double ic = f.i - r.i * kr;
        const double ib = f.i / q.m.betaF + r.i / q.m.betaR;
        const double ie = -(ic + ib);
        // Derivatives with respect to vb, vc, ve.
        const double dic[3] = {f.g - r.g * kr, r.g * kr, -f.g};
        const double dib[3] = {f.g / q.m.betaF + r.g / q.m.betaR, -r.g / q.m.betaR, -f.g / q.m.betaF};
        const double die[3] = {-(dic[0] + dib[0]), -(dic[1] + dib[1]), -(dic[2] + dib[2])};
        const int nodes[3] = {q.b, q.c, q.e};
        addResidual(q.c, ic);
        addResidual(q.b, ib);
        addResidual(q.e, ie);
        for (int n = 0; n < 3; ++n)
        {
            addJacobian(q.c, nodes[n], dic[n]);
            addJacobian(q.b, nodes[n], dib[n]);
            addJacobian(q.e, nodes[n], die[n]);
        }
    }
}

// Solves J dx = F by Gaussian elimination with partial pivoting (J and F are consumed).
bool NodalSolver::solveLinear()
{
    const int n = fNodeCount;
    for (int col = 0; col < n; ++col)
    {
        int pivot = col;
        for (int r = col + 1; r < n; ++r)
            if (std::fabs(fJ[r][col]) > std::fabs(fJ[pivot][col]))
                pivot = r;
        if (fJ[pivot][col] == 0.0)
            return false;
        if (pivot != col)
        {
            for (int c = col; c < n; ++c)
            {
                const double t = fJ[col][c];
                fJ[col][c] = fJ[pivot][c];
                fJ[pivot][c] = t;
            }
            const double t = fF[col];
            fF[col] = fF[pivot];
            fF[pivot] = t;
        }
        const double inv = 1.0 / fJ[col][col];
        for (int r = col + 1; r < n; ++r)
        {
            const double m = fJ[r][col] * inv;
            if (m == 0.0)
                continue;
            for (int c = col + 1; c < n; ++c)
                fJ[r][c] -= m * fJ[col][c];
            fF[r] -= m * fF[col];
        }
    }
    for (int r = n - 1; r >= 0; --r)
    {
        double s = fF[r];
        for (int c = r + 1; c < n; ++c)
            s -= fJ[r][c] * fDx[c];
        fDx[r] = s / fJ[r][r];
    }
    return true;
}

// Returns the iterations used, or 0 when it did not converge within maxIterations.
int NodalSolver::newtonSolve(bool withCapacitors, int maxIterations)
{
    for (int it = 1; it <= maxIterations; ++it)
    {
        stamp(withCapacitors);
        if (!solveLinear())
            return 0;
        // The update is v - dx; find how far it moves the nodes and the junctions.
        double largest = 0.0;
        for (int k = 0; k < fNodeCount; ++k)
            largest = std::fmax(largest, std::fabs(fDx[k]));
        // A linear circuit is solved exactly by one step, however large.
        double scale = !fLinear && largest > kMaxNodeStep ? kMaxNodeStep / largest : 1.0;
        auto step = [this](int node) { return node < kFirstFree ? 0.0 : -fDx[node - kFirstFree]; };
        auto limitJunction = [&](int p, int m) {
            const double rise = step(p) - step(m);
            const double after = voltage(p) - voltage(m) + rise;
            if (!fLinear && rise > kMaxJunctionRise && after > kJunctionOn)
                scale = std::fmin(scale, kMaxJunctionRise / rise);
        };
        for (int k = 0; k < fDiodeCount; ++k)
            limitJunction(fDiodes[k].a, fDiodes[k].b);
        for (int k = 0; k < fBjtCount; ++k)
        {
            limitJunction(fBjts[k].b, fBjts[k].e);
            limitJunction(fBjts[k].b, fBjts[k].c);
        }
        bool small = true;
        for (int k = 0; k < fNodeCount; ++k)
        {
            const double dv = scale * fDx[k];
            fV[k] -= dv;
            if (std::fabs(dv) > kTolerance * (1.0 + std::fabs(fV[k])))
                small = false;
        }
        if (fLinear || (small && scale == 1.0))
            return it;
    }
    return 0;
}

bool NodalSolver::solveOperatingPoint()
{
    const double supply = fFixed[kSupply];
    bool ok = true;
    for (int s = 1; s <= kOperatingPointSteps; ++s)
    {
        fFixed[kSupply] = supply * s / kOperatingPointSteps;
        ok = newtonSolve(false, 500) > 0;
    }
    fFixed[kSupply] = supply;
    for (int k = 0; k < fCapacitorCount; ++k)
    {
        Capacitor& c = fCapacitors[k];
        c.v = voltage(c.a) - voltage(c.b);
        c.i = 0.0;
    }
    return ok;
}

bool NodalSolver::step(double vin)
{
    const int iterations = advance(fFixed[kInput], vin, fTwoOverT, 0);
    ++fStats.steps;
    if (iterations == 0)
        ++fStats.failures;
    fStats.iterations += static_cast<uint64_t>(iterations == 0 ? kMaxIterations : iterations);
    if (static_cast<uint32_t>(iterations) > fStats.maxIterations)
        fStats.maxIterations = static_cast<uint32_t>(iterations);
    return iterations > 0;
}

// One step of the trapezoidal rule from the input at `from` to `to`. When Newton does not
// converge, the step is taken again as two half steps (down to kMaxSubdivision levels), the
// usual remedy for a sharp edge. Returns the iterations spent, 0 if even that failed.
int NodalSolver::advance(double from, double to, double twoOverT, int depth)
{
    double saved[kMaxNodes];
    for (int k = 0; k < fNodeCount; ++k)
        saved[k] = fV[k];
    fFixed[kInput] = to;
    const double keep = fTwoOverT;
    fTwoOverT = twoOverT;
    int iterations = newtonSolve(true, kMaxIterations);
    fTwoOverT = keep;
    if (iterations == 0 && depth < kMaxSubdivision)
    {
        for (int k = 0; k < fNodeCount; ++k)
            fV[k] = saved[k];
        const double middle = 0.5 * (from + to);
        const int first = advance(from, middle, 2.0 * twoOverT, depth + 1);
        const int second = first ? advance(middle, to, 2.0 * twoOverT, depth + 1) : 0;
        return first && second ? kMaxIterations + first + second : 0;
    }
    // Advance the trapezoidal companions from the accepted solution.
    for (int k = 0; k < fCapacitorCount; ++k)
    {
        Capacitor& c = fCapacitors[k];
        const double v = voltage(c.a) - voltage(c.b);
        c.i = c.c * twoOverT * (v - c.v) - c.i;
        c.v = v;
    }
    return iterations;
}
