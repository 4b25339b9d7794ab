#include "Signals.h"

#include <algorithm>
#include <cmath>

namespace
{
constexpr double kPi = 3.14159265358979323846;
constexpr int kLowestNote = 28;   // E1
constexpr int kHighestNote = 55;  // G3

double noteHz(int note)
{
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

double dbToGain(double db)
{
    return std::pow(10.0, db * 0.05);
}

size_t samples(double seconds)
{
    return static_cast<size_t>(seconds * kSignalRate + 0.5);
}

void addSilence(std::vector<double>& out, double seconds)
{
    out.resize(out.size() + samples(seconds), 0.0);
}

// Logarithmic sine sweep, 20 Hz to 20 kHz, with 10 ms fades.
void addSweep(std::vector<double>& out, double seconds, double peakDb)
{
    const size_t n = samples(seconds);
    const double f0 = 20.0, f1 = 20000.0;
    const double k = std::log(f1 / f0);
    const double a = dbToGain(peakDb);
    const size_t fade = samples(0.01);
    for (size_t i = 0; i < n; ++i)
    {
        const double t = static_cast<double>(i) / kSignalRate;
        const double phase = 2.0 * kPi * f0 * seconds / k * (std::exp(t / seconds * k) - 1.0);
        double g = 1.0;
        if (i < fade)
            g = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(i) / static_cast<double>(fade));
        else if (n - i < fade)
            g = 0.5 - 0.5 * std::cos(kPi * static_cast<double>(n - i) / static_cast<double>(fade));
        out.push_back(a * g * std::sin(phase));
    }
}

// White noise of uniform distribution with its peaks at peakDb, 5 ms fades.
void addNoiseBurst(std::vector<double>& out, double seconds, double peakDb, Rng& rng)
{
    const size_t n = samples(seconds);
    const size_t fade = samples(0.005);
    const double a = dbToGain(peakDb);
    for (size_t i = 0; i < n; ++i)
    {
        double g = 1.0;
        if (i < fade)
            g = static_cast<double>(i) / static_cast<double>(fade);
        else if (n - i < fade)
            g = static_cast<double>(n - i) / static_cast<double>(fade);
        out.push_back(a * g * rng.uniform(-1.0, 1.0));
    }
}

// A riff: a phrase of notes from a minor pentatonic scale, played twice, with accents,
// octave jumps and muted dead notes, at a tempo and in a key chosen by the generator.
void addRiff(std::vector<double>& out, double seconds, double loudDb, Rng& rng)
{
    static const int kScale[] = {0, 3, 5, 7, 10, 12, 15};
    const int root = kLowestNote + rng.integer(0, 12);
    const double beat = 60.0 / rng.uniform(85.0, 145.0);
    static const double kLengths[] = {0.5, 0.5, 0.25, 1.0, 0.75, 0.5, 1.5};
    struct Step { int note; double length; double db; bool dead; };
    Step phrase[16];
    const int count = rng.integer(6, 16);
    for (int i = 0; i < count; ++i)
    {
        int note = root + kScale[rng.integer(0, 6)];
        if (rng.uniform() < 0.15)
            note += 12;
        note = std::min(std::max(note, kLowestNote), kHighestNote);
        const double accent = (i % 4 == 0) ? 0.0 : -rng.uniform(0.0, 9.0);
        phrase[i] = {note, kLengths[rng.integer(0, 6)] * beat, loudDb + accent, rng.uniform() < 0.08};
    }
    const size_t end = out.size() + samples(seconds);
    size_t pos = out.size();
    for (int i = 0; pos < end; i = (i + 1) % count)
    {
        const Step& s = phrase[i];
        const double length = s.dead ? 0.04 : s.length * rng.uniform(0.85, 1.0);
        addBassNote(out, pos, s.note, length, dbToGain(s.db - (s.dead ? 6.0 : 0.0)), rng);
        pos += samples(s.length);
    }
    out.resize(std::max(out.size(), end), 0.0);
}

// Every note of the range, one after the other, each at the given levels.
void addNoteScale(std::vector<double>& out, double seconds, const double* levelsDb, int levels, int step, Rng& rng)
{
    for (int note = kLowestNote; note <= kHighestNote; note += step)
        for (int l = 0; l < levels; ++l)
        {
            addBassNote(out, out.size(), note, seconds, dbToGain(levelsDb[l]), rng);
            addSilence(out, 0.05);
        }
}

void addBurstSeries(std::vector<double>& out, int count, double seconds, Rng& rng)
{
    // Levels from -40 to 0 dBFS in equal steps, in shuffled order.
    double levels[32];
    for (int i = 0; i < count; ++i)
        levels[i] = -40.0 + 40.0 * i / (count - 1);
    for (int i = count - 1; i > 0; --i)
        std::swap(levels[i], levels[rng.integer(0, i)]);
    for (int i = 0; i < count; ++i)
    {
        addNoiseBurst(out, seconds, levels[i], rng);
        addSilence(out, 0.2);
    }
}

void normalisePeak(std::vector<double>& x, double peakDb)
{
    double peak = 0.0;
    for (double v : x)
        peak = std::max(peak, std::fabs(v));
    if (peak > 0.0)
        for (double& v : x)
            v *= dbToGain(peakDb) / peak;
}
}  // namespace

uint64_t Rng::next()
{
    uint64_t z = (fState += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

double Rng::uniform()
{
    return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0);
}

double Rng::uniform(double lo, double hi)
{
    return lo + (hi - lo) * uniform();
}

int Rng::integer(int lo, int hi)
{
    return lo + static_cast<int>(next() % static_cast<uint64_t>(hi - lo + 1));
}

void addBassNote(std::vector<double>& out, size_t start, int note, double seconds, double peak, Rng& rng)
{
    const double f0 = noteHz(note);
    const size_t n = samples(seconds);
    const size_t release = std::min(n / 2, samples(0.015));
    const size_t attack = samples(0.002);
    // A string plucked at `pluck` of its length and heard by a pickup at `pickup`; stiffness
    // stretches the partials; higher partials die faster; a low note rings longer.
    const double pluck = rng.uniform(0.12, 0.3);
    const double pickup = rng.uniform(0.15, 0.25);
    const double stiffness = 1.2e-4;
    const double ring = rng.uniform(1.5, 3.0) * (55.0 / (f0 + 14.0));
    const double brightness = rng.uniform(0.8, 1.3);
    struct Partial { double hz, amp, decay, phase; };
    Partial partials[64];
    int count = 0;
    for (int k = 1; k <= 64; ++k)
    {
        const double hz = k * f0 * std::sqrt(1.0 + stiffness * k * k);
        if (hz > 7000.0)
            break;
        const double amp = std::fabs(std::sin(kPi * k * pluck) * std::sin(kPi * k * pickup)) / std::pow(k, brightness);
        partials[count++] = {hz, amp, 1.0 / (ring / (1.0 + 0.05 * k * k)), rng.uniform(0.0, 2.0 * kPi)};
    }
    // Each partial turns as a complex phasor with a per-sample decay, cheaper than sin and exp.
    double re[64], im[64], rotRe[64], rotIm[64];
    for (int p = 0; p < count; ++p)
    {
        re[p] = partials[p].amp * std::cos(partials[p].phase);
        im[p] = partials[p].amp * std::sin(partials[p].phase);
        const double w = 2.0 * kPi * partials[p].hz / kSignalRate;
        const double d = std::exp(-partials[p].decay / kSignalRate);
        rotRe[p] = d * std::cos(w);
        rotIm[p] = d * std::sin(w);
    }
    std::vector<double> tone(n, 0.0);
    double lp = 0.0;
    for (size_t i = 0; i < n; ++i)
    {
        const double t = static_cast<double>(i) / kSignalRate;
        double v = 0.0;
        for (int p = 0; p < count; ++p)
        {
            v += im[p];
            const double r = re[p] * rotRe[p] - im[p] * rotIm[p];
            im[p] = re[p] * rotIm[p] + im[p] * rotRe[p];
            re[p] = r;
        }
        // The pick's click: a few milliseconds of low-passed noise.
        if (t < 0.006)
        {
            lp += 0.3 * (rng.uniform(-1.0, 1.0) - lp);
            v += 0.25 * lp * (1.0 - t / 0.006);
        }
        double g = 1.0;
        if (i < attack)
            g = static_cast<double>(i) / static_cast<double>(attack);
        if (n - i <= release)
            g *= 0.5 + 0.5 * std::cos(kPi * static_cast<double>(release - (n - i)) / static_cast<double>(release));
        tone[i] = v * g;
    }
    normalisePeak(tone, 20.0 * std::log10(std::max(peak, 1e-12)));
    if (out.size() < start + n)
        out.resize(start + n, 0.0);
    for (size_t i = 0; i < n; ++i)
        out[start + i] += tone[i];
}

std::vector<double> makeSignal(SignalSet set)
{
    std::vector<double> out;
    switch (set)
    {
    case SignalSet::Training:
    {
        Rng rng(0x4b4f5256414e4531ull);
        addSilence(out, 1.0);
        static const double kLevels[] = {-26.0, -14.0, -4.0};
        addNoteScale(out, 1.0, kLevels, 3, 1, rng);
        addSilence(out, 1.0);
        for (int i = 0; i < 18; ++i)
        {
            addRiff(out, 6.0, rng.uniform(-24.0, -1.0), rng);
            addSilence(out, rng.uniform(0.2, 0.8));
        }
        static const double kSweepDb[] = {-30.0, -12.0, -3.0};
        for (double db : kSweepDb)
        {
            addSweep(out, 5.0, db);
            addSilence(out, 0.5);
        }
        addBurstSeries(out, 21, 0.5, rng);
        addSilence(out, 2.0);
        break;
    }
    case SignalSet::HeldOut:
    {
        Rng rng(0x484f4c444f555432ull);
        addSilence(out, 0.5);
        for (int i = 0; i < 5; ++i)
        {
            addRiff(out, 5.0, rng.uniform(-20.0, -2.0), rng);
            addSilence(out, 0.3);
        }
        static const double kLevels[] = {-18.0, -8.0};
        addNoteScale(out, 0.6, kLevels, 2, 3, rng);
        addSweep(out, 4.0, -18.0);
        addSilence(out, 0.3);
        addBurstSeries(out, 9, 0.3, rng);
        addSilence(out, 1.0);
        break;
    }
    case SignalSet::Reference:
    {
        Rng rng(0x5245464552454e33ull);
        addRiff(out, 10.0, -6.0, rng);
        normalisePeak(out, kReferencePeakDb);
        break;
    }
    case SignalSet::Smoke:
    {
        Rng rng(0x534d4f4b45000004ull);
        addRiff(out, 2.5, -8.0, rng);
        addSilence(out, 0.5);
        break;
    }
    }
    return out;
}
