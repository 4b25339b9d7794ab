// capture-rig: makes the signals, records the six captures and checks their levels and alignment.
//   capture-rig signals DIR              training, held-out, reference and smoke inputs (raw float64, 48 kHz)
//   capture-rig record DIR [CAPTURE...]  calibrates on the reference, then records the captures
//                                        (all six when none is named)
//   capture-rig record DIR --quick [CAPTURE...]  the smoke set only, calibrated on two seconds
//                                        of the reference: a fast end-to-end check
//   capture-rig check DIR                levels on the reference and alignment of neighbours
#include "RecordingChain.h"
#include "Signals.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
struct SetFile
{
    SignalSet set;
    const char* name;
};
const SetFile kSets[] = {
    {SignalSet::Training, "train"},
    {SignalSet::HeldOut, "heldout"},
    {SignalSet::Reference, "reference"},
    {SignalSet::Smoke, "smoke"},
};
constexpr double kAlignmentTolerance = 0.05;
constexpr double kLevelTolerance = 0.2;

std::string inputPath(const std::string& dir, const char* set)
{
    return dir + "/" + set + "-in.f64";
}

std::string capturePath(const std::string& dir, int capture, const char* set)
{
    return dir + "/capture-" + std::to_string(capture) + "-" + set + ".f64";
}

int makeSignals(const std::string& dir)
{
    for (const SetFile& s : kSets)
    {
        const std::vector<double> x = makeSignal(s.set);
        if (!writeRaw(inputPath(dir, s.name), x))
        {
            std::fprintf(stderr, "capture-rig: cannot write %s\n", inputPath(dir, s.name).c_str());
            return 1;
        }
        double peak = 0.0;
        for (double v : x)
            peak = std::fmax(peak, std::fabs(v));
        std::printf("%-9s %8.2f s  peak %6.2f dBFS  rms %7.2f dBFS\n", s.name, static_cast<double>(x.size()) / kSignalRate,
                    20.0 * std::log10(peak), rmsDb(x));
    }
    return 0;
}

int record(const std::string& dir, const SessionCalibration& session, int capture, bool quick)
{
    SolverStats total;
    for (const SetFile& s : kSets)
    {
        if (quick && s.set != SignalSet::Smoke)
            continue;
        std::vector<double> in;
        if (!readRaw(inputPath(dir, s.name), in))
        {
            std::fprintf(stderr, "capture-rig: cannot read %s\n", inputPath(dir, s.name).c_str());
            return 1;
        }
        SolverStats stats;
        const std::vector<double> out = recordCapture(session, capture, in, &stats);
        total.steps += stats.steps;
        total.iterations += stats.iterations;
        total.failures += stats.failures;
        total.maxIterations = std::max(total.maxIterations, stats.maxIterations);
        if (!writeRaw(capturePath(dir, capture, s.name), out))
        {
            std::fprintf(stderr, "capture-rig: cannot write %s\n", capturePath(dir, capture, s.name).c_str());
            return 1;
        }
    }
    std::vector<double> recorded;
    readRaw(capturePath(dir, capture, quick ? "smoke" : "reference"), recorded);
    const RigCapture& c = kRigCaptures[capture];
    const std::string info = dir + "/capture-" + std::to_string(capture) + ".json";
    FILE* f = std::fopen(info.c_str(), "w");
    if (!f)
        return 1;
    std::fprintf(f,
                 "{\"capture\": %d, \"dist\": %.4g, \"tone\": %.4g, \"levelDb\": %.4g, \"delay\": %.4g, "
                 "\"trim\": %.6f, \"latency\": %.6f, \"rawLevelDb\": %.6f, \"outputGainDb\": %.6f, \"measuredLevelDb\": %.6f, "
                 "\"newtonIterationsPerStep\": %.4f, \"newtonMaxIterations\": %u, \"newtonFailures\": %llu}\n",
                 capture, c.position, kRigTone, c.levelDb, c.delay, session.trim[capture], chainLatency(session, capture),
                 session.rawLevelDb[capture], session.gainDb[capture], rmsDb(recorded),
                 double(total.iterations) / double(total.steps), total.maxIterations,
                 static_cast<unsigned long long>(total.failures));
    std::fclose(f);
    std::printf("capture %d  dist %.2f  output level %+.3f dB  reference level %.3f dB (target %.1f)  trim %+.4f  latency %.4f  newton %.2f it/step, max %u, %llu failed\n",
                capture, c.position, session.gainDb[capture], rmsDb(recorded), c.levelDb, session.trim[capture],
                chainLatency(session, capture), double(total.iterations) / double(total.steps), total.maxIterations,
                static_cast<unsigned long long>(total.failures));
    std::fflush(stdout);
    return 0;
}

int check(const std::string& dir)
{
    std::vector<double> aligned[kRigCaptureCount];
    bool ok = true;
    std::printf("capture  dist   level on reference  target   error\n");
    for (int i = 0; i < kRigCaptureCount; ++i)
    {
        std::vector<double> x;
        if (!readRaw(capturePath(dir, i, "reference"), x))
        {
            std::fprintf(stderr, "capture-rig: capture %d is not recorded in %s\n", i, dir.c_str());
            return 1;
        }
        const double level = rmsDb(x);
        const double error = level - kRigCaptures[i].levelDb;
        ok = ok && std::fabs(error) <= kLevelTolerance;
        std::printf("%7d  %4.2f   %10.3f dB       %6.1f   %+.4f dB\n", i, kRigCaptures[i].position, level, kRigCaptures[i].levelDb, error);
        // What the plug-in's slot does: delay each capture by its table delay.
        aligned[i] = highPass(fractionalDelay(x, kRigCaptures[i].delay), kAlignmentHighPassHz);
    }
    std::printf("pair   correlation peak after alignment (samples, > 0: upper lags)\n");
    for (int i = 0; i + 1 < kRigCaptureCount; ++i)
    {
        const double lag = correlationPeakLag(aligned[i], aligned[i + 1], 16);
        ok = ok && std::fabs(lag) <= kAlignmentTolerance;
        std::printf("%d-%d    %+.4f\n", i, i + 1, lag);
    }
    std::printf(ok ? "levels within %.1f dB and alignment within %.2f samples\n" : "FAILED: levels within %.1f dB, alignment within %.2f samples\n",
                kLevelTolerance, kAlignmentTolerance);
    return ok ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
    {
        std::fprintf(stderr, "usage: capture-rig signals|record|check DIR [CAPTURE...]\n");
        return 2;
    }
    const std::string command = argv[1];
    const std::string dir = argv[2];
    if (command == "signals")
        return makeSignals(dir);
    if (command == "check")
        return check(dir);
    if (command == "record")
    {
        std::vector<double> reference;
        if (!readRaw(inputPath(dir, "reference"), reference))
        {
            std::fprintf(stderr, "capture-rig: run 'capture-rig signals %s' first\n", dir.c_str());
            return 1;
        }
        bool quick = false;
        int named = 0;
        for (int a = 3; a < argc; ++a)
        {
            if (std::strcmp(argv[a], "--quick") == 0)
                quick = true;
            else
                ++named;
        }
        if (quick)
            reference.resize(std::min(reference.size(), size_t(2 * kSignalRate)));
        const SessionCalibration session = calibrateSession(reference);
        int status = 0;
        for (int i = 0; i < kRigCaptureCount; ++i)
        {
            bool wanted = named == 0;
            for (int a = 3; a < argc; ++a)
                wanted = wanted || (std::strcmp(argv[a], "--quick") != 0 && std::atoi(argv[a]) == i);
            if (wanted)
                status |= record(dir, session, i, quick);
        }
        return status;
    }
    std::fprintf(stderr, "capture-rig: unknown command '%s'\n", command.c_str());
    return 2;
}
