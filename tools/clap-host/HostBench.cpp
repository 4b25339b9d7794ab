// host-bench: CPU cost of one plug-in instance through the CLAP test host, and the time to
// create and activate one CLAP and one VST3 instance.
//
//   host-bench [CLAP_MODULE [VST3_BUNDLE]] [--seconds S]
//
// Without paths it uses Korvane.clap and Korvane.vst3 beside the executable.

#include "ClapHost.hpp"
#include "Vst3Host.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

double threadCpuSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

double wallSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// CPU seconds spent per second of audio.
double measureLoad(ClapModule& module, double rate, uint32_t block, bool moving, double seconds)
{
    ClapInstance inst(module);
    const ParamEvent rest = { 0, 0, 0.5 }; // Dist on the third capture
    inst.flushParams(&rest, 1);
    if (!inst.activate(rate, block))
        throw std::runtime_error("activate failed");
    inst.flushParams(nullptr, 0);
    inst.idle(); // take the restart a latency change asks for before timing

    std::vector<float> l(block), r(block), ol(block), or_(block);
    const float* in[2] = { l.data(), r.data() };
    float* out[2] = { ol.data(), or_.data() };
    const size_t blocks = static_cast<size_t>(std::ceil(seconds * rate / block));
    double phase = 0.0;
    double cpu = 0.0;
    for (size_t b = 0; b < blocks; ++b)
    {
        for (uint32_t i = 0; i < block; ++i)
        {
            phase += 2.0 * M_PI * 55.0 / rate;
            l[i] = r[i] = static_cast<float>(0.4 * std::sin(phase) + 0.1 * std::sin(3.1 * phase));
        }
        // moving: a full sweep of Dist every two seconds, one change per block
        const double t = static_cast<double>(b * block) / rate;
        const ParamEvent sweep = { 0, 0, std::fabs(std::fmod(t, 2.0) - 1.0) };
        const double start = threadCpuSeconds();
        if (inst.process(in, out, block, moving ? &sweep : nullptr, moving ? 1 : 0) == CLAP_PROCESS_ERROR)
            throw std::runtime_error("process failed");
        cpu += threadCpuSeconds() - start;
        inst.idle();
    }
    return cpu / (static_cast<double>(blocks * block) / rate);
}

template <class Fn>
void timeIt(const char* what, int runs, Fn fn)
{
    double best = 1e9, total = 0.0;
    for (int i = 0; i < runs; ++i)
    {
        const double start = wallSeconds();
        fn();
        const double t = wallSeconds() - start;
        best = std::min(best, t);
        total += t;
    }
    std::printf("%-44s mean %8.2f ms   best %8.2f ms   (%d runs)\n", what, 1e3 * total / runs, 1e3 * best, runs);
}

} // namespace

int main(int argc, char** argv)
{
    std::string clapPath = executableDir() + "/Korvane.clap";
    std::string vst3Path = executableDir() + "/Korvane.vst3";
    double seconds = 5.0;
    int positional = 0;
    for (int i = 1; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (positional == 0 && ++positional)
            clapPath = argv[i];
        else if (positional == 1 && ++positional)
            vst3Path = argv[i];
        else
        {
            std::fprintf(stderr, "usage: %s [CLAP_MODULE [VST3_BUNDLE]] [--seconds S]\n", argv[0]);
            return 2;
        }
    }

    try
    {
        ClapModule clap(clapPath);
        std::printf("CPU seconds per second of audio, one instance, %.1f s of audio per figure\n", seconds);
        std::printf("%-10s %-7s %-16s %-16s\n", "rate", "block", "Dist resting", "Dist moving");
        for (const double rate : { 44100.0, 48000.0, 96000.0 })
        {
            for (const uint32_t block : { 64u, 512u })
            {
                const double resting = measureLoad(clap, rate, block, false, seconds);
                const double moving = measureLoad(clap, rate, block, true, seconds);
                std::printf("%-10.0f %-7u %-16.4f %-16.4f\n", rate, block, resting, moving);
            }
        }
        std::printf("\n");

        timeIt("CLAP instance: create, init, activate", 5, [&] {
            ClapInstance inst(clap);
            inst.activate(48000, 512);
        });
        Vst3Module vst3(vst3Path);
        timeIt("VST3 instance: component + controller, active", 5, [&] {
            Vst3Instance inst(vst3);
            inst.setup(48000, 512);
            inst.setActive(true);
        });
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "host-bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
