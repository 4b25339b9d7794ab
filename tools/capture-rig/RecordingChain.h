#pragma once

#include "NodalSolver.h"

#include <string>
#include <vector>

// One capture session setting: the pedal's Dist position, the output level the capture must
// have on the reference riff, and the alignment delay the plug-in applies to it later. The
// plug-in's capture table holds the same rows in the same order.
struct RigCapture
{
    double position;
    double levelDb;
    double delay;  // samples at 48 kHz
};

constexpr int kRigCaptureCount = 6;
extern const RigCapture kRigCaptures[kRigCaptureCount];
constexpr double kRigTone = 0.5;
// Every capture is recorded with a latency of kAlignedLatency - delay, so that with the
// plug-in's alignment delay added all six land on the same latency.
constexpr double kAlignedLatency = 5.2;

// The pedal at `dist` (Tone at noon, output level 0 dB) on `in`, from its settled state, with
// the oversampler's latency removed: output sample t belongs to input sample t.
std::vector<double> renderPedal(double dist, const std::vector<double>& in, SolverStats* stats = nullptr);
// The same at any Tone position and output level.
std::vector<double> renderPedal(double dist, double tone, double gainDb, const std::vector<double>& in,
                                SolverStats* stats = nullptr);

// Band-limited (Kaiser-windowed sinc) delay by any number of samples (negative advances); a
// whole number of samples is an exact shift. The output has the input's length, zero-filled.
std::vector<double> fractionalDelay(const std::vector<double>& x, double delay);

// 20 log10 of the RMS over the whole signal (dBFS, 1.0 full scale); -inf dB for silence.
double rmsDb(const std::vector<double>& x);

// Second-order Butterworth high-pass (bilinear transform at 48 kHz).
std::vector<double> highPass(const std::vector<double>& x, double hz);

// Lag in samples, to a fraction, at which the cross-correlation of a and b peaks, searched
// over +-maxLag: positive when b lags a. The correlation is interpolated band-limited.
double correlationPeakLag(const std::vector<double>& a, const std::vector<double>& b, int maxLag);

// Cross-correlations that judge alignment are taken above the bass fundamentals, where the
// peak is sharp and the pedal's low-frequency phase (coupling capacitors) does not pull it.
constexpr double kAlignmentHighPassHz = 500.0;

// What a session measures on the reference before it records: per capture, the level at
// output level 0 dB and the output level that brings it to the row's levelDb, and the trim
// that cancels the pedal's own Dist-dependent delay (the clipping moves its edges by a
// fraction of a sample from one Dist setting to the next), chained from capture 0.
struct SessionCalibration
{
    double rawLevelDb[kRigCaptureCount];
    double gainDb[kRigCaptureCount];
    double trim[kRigCaptureCount];  // samples; the capture is recorded this much earlier
};

SessionCalibration calibrateSession(const std::vector<double>& reference);

// The chain latency of one capture: kAlignedLatency - delay - trim.
double chainLatency(const SessionCalibration& session, int capture);

// One capture through the whole chain: pedal, the capture's chain latency, output level.
std::vector<double> recordCapture(const SessionCalibration& session, int capture, const std::vector<double>& in,
                                  SolverStats* stats = nullptr);

bool writeRaw(const std::string& path, const std::vector<double>& x);
bool readRaw(const std::string& path, std::vector<double>& x);
