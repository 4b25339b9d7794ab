#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// The rig's own bass DI material at 48 kHz: synthesised plucked-string notes and riffs from
// E1 to G3, sweeps, noise bursts and silence. Every set comes from a fixed seed, so it is the
// same on every run and every machine with the same maths library.
enum class SignalSet
{
    Training,  // about four minutes: what the trainer learns from
    HeldOut,   // under a minute of different riffs, notes, sweep and bursts: what ESR is measured on
    Reference, // ten seconds of riff, peaks at kReferencePeakDb: what the output levels are set on
    Smoke,     // three seconds, for a quick end-to-end run of the trainer
};

constexpr double kSignalRate = 48000.0;
constexpr double kReferencePeakDb = -6.0;

std::vector<double> makeSignal(SignalSet set);

// Deterministic generator (splitmix64) so that the signals do not depend on the library's RNG.
class Rng
{
public:
    explicit Rng(uint64_t seed) : fState(seed) {}
    uint64_t next();
    double uniform();                       // [0, 1)
    double uniform(double lo, double hi);   // [lo, hi)
    int integer(int lo, int hi);            // [lo, hi]

private:
    uint64_t fState;
};

// One plucked bass note of `seconds` at MIDI note `note`, its peak at `peak`, added into
// `out` from `start` (the buffer grows as needed).
void addBassNote(std::vector<double>& out, size_t start, int note, double seconds, double peak, Rng& rng);
