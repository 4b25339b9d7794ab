// vst3-host: prints what a VST3 module shows a host, and renders raw audio through it.

#include "Vst3Host.hpp"

#include <cstdio>
#include <stdexcept>

static int run(const DriverOptions& opt)
{
    Vst3Module module(opt.module);
    const v3_factory_info& fi = module.factoryInfo();
    std::printf("module      %s\nvendor      %s\nurl         %s\nclasses     %zu\n",
                module.binaryPath().c_str(), fi.vendor, fi.url, module.classes().size());
    for (const Vst3ClassInfo& c : module.classes())
    {
        std::printf("  class \"%s\" category \"%s\" sub \"%s\" vendor \"%s\" version \"%s\" sdk \"%s\" flags %u\n",
                    c.name.c_str(), c.category.c_str(), c.subCategories.c_str(), c.vendor.c_str(),
                    c.version.c_str(), c.sdkVersion.c_str(), c.classFlags);
    }

    Vst3Instance inst(module);
    std::printf("controller  %s%s\n", inst.separateController() ? "separate" : "the component",
                inst.connected() ? ", connected" : "");
    for (const int32_t dir : { static_cast<int32_t>(V3_INPUT), static_cast<int32_t>(V3_OUTPUT) })
    {
        for (int32_t i = 0; i < inst.audioBusCount(dir); ++i)
        {
            const v3_bus_info b = inst.audioBusInfo(dir, i);
            std::printf("%s bus %d  \"%s\" channels %d\n", dir == V3_INPUT ? "in " : "out", i,
                        vst3String(b.bus_name, 128).c_str(), b.channel_count);
        }
    }

    const std::vector<Vst3ParamInfo> all = inst.parameters();
    std::printf("parameters  %zu\n", all.size());
    for (const Vst3ParamInfo& p : all)
    {
        std::printf("  id %u \"%s\" units \"%s\" steps %d default %g (%s) flags 0x%x%s\n", p.id, p.title.c_str(),
                    p.units.c_str(), p.stepCount, inst.normalisedToPlain(p.id, p.defaultNormalised),
                    inst.valueText(p.id, p.defaultNormalised).c_str(), p.flags,
                    (p.flags & V3_PARAM_IS_HIDDEN) != 0 ? " hidden" : "");
    }
    std::vector<Vst3ParamPoint> points;
    const std::vector<Vst3ParamInfo> visible = inst.visibleParameters();
    for (const auto& v : opt.values)
    {
        if (v.first >= visible.size())
            throw std::runtime_error("no parameter " + std::to_string(v.first));
        const v3_param_id id = visible[v.first].id;
        const double normalised = inst.plainToNormalised(id, v.second);
        points.push_back({ 0, id, normalised });
        inst.setControllerValue(id, normalised);
    }

    if (inst.setup(opt.sampleRate, static_cast<int32_t>(opt.blockSize)) != V3_OK || inst.setActive(true) != V3_OK ||
        inst.setProcessing(true) != V3_OK)
    {
        throw std::runtime_error("cannot start processing");
    }
    std::printf("latency     %u at %g Hz\n", inst.latency(), opt.sampleRate);

    renderRawStereo(opt, [&inst, &points](const float* const* ins, float* const* outs, uint32_t n, bool first) {
        // the values of --set go with the first block
        if (inst.process(ins, outs, static_cast<int32_t>(n), first ? points.data() : nullptr,
                         first ? static_cast<int32_t>(points.size()) : 0) != V3_OK)
        {
            throw std::runtime_error("process failed");
        }
        inst.idle();
    });
    return 0;
}

int main(int argc, char** argv)
{
    return driverMain(argc, argv, "vst3-host", run);
}
