// clap-host: prints what a CLAP module shows a host, renders raw audio through it, and with
// --state-chunk checks its state round trip through a host that moves a few bytes at a time.

#include "ClapHost.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

// --state-chunk N: the state round trip through streams that move at most N bytes per call.
static size_t sStateChunk = 0;

static void printFlags(const uint32_t flags)
{
    static const struct { uint32_t bit; const char* name; } kFlags[] = {
        { CLAP_PARAM_IS_STEPPED, "stepped" },         { CLAP_PARAM_IS_PERIODIC, "periodic" },
        { CLAP_PARAM_IS_HIDDEN, "hidden" },           { CLAP_PARAM_IS_READONLY, "readonly" },
        { CLAP_PARAM_IS_BYPASS, "bypass" },           { CLAP_PARAM_IS_AUTOMATABLE, "automatable" },
        { CLAP_PARAM_IS_MODULATABLE, "modulatable" }, { CLAP_PARAM_REQUIRES_PROCESS, "requires-process" },
    };
    bool first = true;
    for (const auto& f : kFlags)
    {
        if ((flags & f.bit) == 0)
            continue;
        std::printf("%s%s", first ? "" : ",", f.name);
        first = false;
    }
}

static int run(const DriverOptions& opt)
{
    ClapModule module(opt.module);
    std::printf("module      %s\n", opt.module.c_str());
    std::printf("plug-ins    %u\n", module.pluginCount());

    const clap_plugin_descriptor_t* const d = module.descriptor(0);
    std::printf("clap        %u.%u.%u\n", d->clap_version.major, d->clap_version.minor, d->clap_version.revision);
    std::printf("id          %s\nname        %s\nvendor      %s\nurl         %s\nversion     %s\n",
                d->id, d->name, d->vendor, d->url, d->version);
    std::printf("description %s\nfeatures   ", d->description);
    for (const char* const* f = d->features; f != nullptr && *f != nullptr; ++f)
        std::printf(" %s", *f);
    std::printf("\n");

    ClapInstance inst(module);
    for (const bool isInput : { true, false })
    {
        for (uint32_t i = 0; i < inst.audioPortCount(isInput); ++i)
        {
            const clap_audio_port_info_t p = inst.audioPortInfo(i, isInput);
            std::printf("%s port %u  \"%s\" channels %u\n", isInput ? "in " : "out", i, p.name, p.channel_count);
        }
    }

    std::vector<ParamEvent> events;
    for (const auto& v : opt.values)
    {
        if (v.first >= inst.paramCount())
            throw std::runtime_error("no parameter " + std::to_string(v.first));
        events.push_back({ 0, inst.paramInfo(v.first).id, v.second });
    }
    inst.flushParams(events.data(), static_cast<uint32_t>(events.size()));

    if (sStateChunk != 0)
    {
        const std::vector<uint8_t> state = inst.saveState(sStateChunk);
        if (state != inst.saveState())
            throw std::runtime_error("the state written in " + std::to_string(sStateChunk) + "-byte pieces differs");
        ClapInstance copy(module);
        if (!copy.loadState(state, sStateChunk))
            throw std::runtime_error("the state read in " + std::to_string(sStateChunk) + "-byte pieces is refused");
        for (uint32_t i = 0; i < inst.paramCount(); ++i)
        {
            const clap_id id = inst.paramInfo(i).id;
            if (copy.paramValue(id) != inst.paramValue(id))
                throw std::runtime_error("parameter " + std::to_string(i) + " restored as " +
                                         std::to_string(copy.paramValue(id)) + " instead of " +
                                         std::to_string(inst.paramValue(id)));
        }
        std::printf("state       %zu bytes in %zu-byte pieces: %u values restored\n", state.size(), sStateChunk,
                    inst.paramCount());
    }

    std::printf("parameters  %u\n", inst.paramCount());
    for (uint32_t i = 0; i < inst.paramCount(); ++i)
    {
        const clap_param_info_t p = inst.paramInfo(i);
        std::printf("  %u id %u \"%s\" module \"%s\" range %g..%g default %g value %s flags ",
                    i, p.id, p.name, p.module, p.min_value, p.max_value, p.default_value,
                    inst.valueToText(p.id, inst.paramValue(p.id)).c_str());
        printFlags(p.flags);
        std::printf("\n");
    }

    if (!inst.activate(opt.sampleRate, opt.blockSize))
        throw std::runtime_error("activate failed");
    std::printf("latency     %u at %g Hz\n", inst.latency(), opt.sampleRate);

    renderRawStereo(opt, [&inst](const float* const* ins, float* const* outs, uint32_t n, bool) {
        if (inst.process(ins, outs, n) == CLAP_PROCESS_ERROR)
            throw std::runtime_error("process failed");
        inst.idle();
    });
    return 0;
}

int main(int argc, char** argv)
{
    // --state-chunk is this driver's own; the rest is the drivers' shared command line
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--state-chunk") != 0)
        {
            args.push_back(argv[i]);
            continue;
        }
        char* end = nullptr;
        const long chunk = i + 1 < argc ? std::strtol(argv[++i], &end, 10) : 0;
        if (end == nullptr || *end != '\0' || chunk <= 0)
        {
            std::fprintf(stderr, "%s: --state-chunk needs a byte count above 0\n", argv[0]);
            return 2;
        }
        sStateChunk = static_cast<size_t>(chunk);
    }
    args.push_back(nullptr);
    return driverMain(static_cast<int>(args.size() - 1), args.data(), "clap-host", run);
}
