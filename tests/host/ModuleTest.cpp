// What each module format shows a host before any audio: identity, ports, the parameter
// list, and the format's own ways of reporting changes.

#include "HostTestSupport.hpp"

#include "clap/ext/note-ports.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

namespace {

const char* const kDescription =
    "Fuzz for bass: a faithful recreation of a rare Japanese pedal, with clean blend and noise gate.";

struct ParamRow
{
    const char* name;
    const char* symbol;
    const char* unit;
    double min, max, def;
    bool bypass;
};

const ParamRow kParams[] = {
    { "Dist", "dist", "", 0.0, 1.0, 1.0, false },        { "Tone", "tone", "", 0.0, 1.0, 0.5, false },
    { "Level", "level", "dB", -24.0, 36.0, 0.0, false }, { "Blend", "blend", "", 0.0, 1.0, 1.0, false },
    { "Bypass", "dpf_bypass", "", 0.0, 1.0, 0.0, true }, { "Gate", "gate", "dB", -80.0, -30.0, -80.0, false },
};

constexpr uint32_t kKvn1 = (uint32_t('K') << 24) | (uint32_t('v') << 16) | (uint32_t('n') << 8) | uint32_t('1');

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Lower-case dot-separated labels, at least two, the last one "korvane".
bool isReverseDomainId(const std::string& id)
{
    if (!endsWith(id, ".korvane") || id.front() == '.')
        return false;
    char prev = '.';
    for (const char c : id)
    {
        const bool label = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
        if (!label && !(c == '.' && prev != '.'))
            return false;
        prev = c;
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CLAP

TEST(ClapModule, DescriptorCarriesTheIdentity)
{
    ClapModule& m = clapModule();
    ASSERT_EQ(m.pluginCount(), 1u);
    const clap_plugin_descriptor_t* d = m.descriptor(0);
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(d->clap_version.major, 1u);
    EXPECT_EQ(d->clap_version.minor, 1u);
    EXPECT_EQ(d->clap_version.revision, 1u);
    EXPECT_TRUE(isReverseDomainId(d->id)) << d->id;
    EXPECT_STREQ(d->name, "Korvane");
    EXPECT_STREQ(d->vendor, "Drevanok Effects");
    EXPECT_STREQ(d->description, kDescription);
    std::vector<std::string> features;
    for (const char* const* f = d->features; f != nullptr && *f != nullptr; ++f)
        features.push_back(*f);
    EXPECT_EQ(features, (std::vector<std::string>{ "audio-effect", "distortion", "stereo" }));
}

TEST(ClapModule, OffersTheExtensionsAndStereoPorts)
{
    ClapInstance inst(clapModule());
    for (const char* ext : { CLAP_EXT_PARAMS, CLAP_EXT_STATE, CLAP_EXT_AUDIO_PORTS, CLAP_EXT_LATENCY, CLAP_EXT_GUI })
        EXPECT_NE(inst.extension(ext), nullptr) << ext;
    EXPECT_EQ(inst.extension(CLAP_EXT_NOTE_PORTS), nullptr);

    for (const bool isInput : { true, false })
    {
        ASSERT_EQ(inst.audioPortCount(isInput), 1u);
        const clap_audio_port_info_t port = inst.audioPortInfo(0, isInput);
        EXPECT_EQ(port.channel_count, 2u);
        EXPECT_TRUE((port.flags & CLAP_AUDIO_PORT_IS_MAIN) != 0);
    }
}

TEST(ClapModule, ParameterListMatchesTheTable)
{
    ClapInstance inst(clapModule());
    ASSERT_EQ(inst.paramCount(), 6u);
    for (uint32_t i = 0; i < 6; ++i)
    {
        const ParamRow& row = kParams[i];
        SCOPED_TRACE(row.name);
        const clap_param_info_t p = inst.paramInfo(i);
        EXPECT_EQ(p.id, i);
        EXPECT_STREQ(p.name, row.name);
        EXPECT_STREQ(p.module, row.symbol);
        EXPECT_DOUBLE_EQ(p.min_value, row.min);
        EXPECT_DOUBLE_EQ(p.max_value, row.max);
        EXPECT_DOUBLE_EQ(p.default_value, row.def);
        EXPECT_DOUBLE_EQ(inst.paramValue(i), row.def);
        const uint32_t expected = row.bypass ? (CLAP_PARAM_IS_AUTOMATABLE | CLAP_PARAM_IS_STEPPED | CLAP_PARAM_IS_BYPASS)
                                             : CLAP_PARAM_IS_AUTOMATABLE;
        EXPECT_EQ(p.flags, expected);
    }
}

TEST(ClapModule, LatencyOfANewRateIsToldToTheHost)
{
    ClapInstance inst(clapModule());
    ASSERT_TRUE(inst.activate(44100, 512));
    EXPECT_EQ(inst.latency(), 27u);
    float buf[2][512] = {};
    const float* in[2] = { buf[0], buf[1] };
    float* out[2] = { buf[0], buf[1] };
    ASSERT_EQ(inst.process(in, out, 512), CLAP_PROCESS_CONTINUE);
    inst.idle();

    const int before = inst.requests().latencyChanged.load();
    ASSERT_TRUE(inst.activate(96000, 512));
    EXPECT_EQ(inst.latency(), 42u);
    ASSERT_EQ(inst.process(in, out, 512), CLAP_PROCESS_CONTINUE);
    inst.idle(); // nothing to restart: activate has told it (ClapLayer checks that only activate does)
    EXPECT_GT(inst.requests().latencyChanged.load(), before);
    EXPECT_TRUE(inst.isActive());
    EXPECT_EQ(inst.latency(), 42u);
}

TEST(ClapModule, StateLoadsFromAStreamThatYieldsPartialReads)
{
    ClapInstance a(clapModule());
    const ParamEvent set[] = { { 0, 0, 0.2 }, { 0, 2, 7.5 }, { 0, 5, -45.0 } };
    a.flushParams(set, 3);
    const std::vector<uint8_t> state = a.saveState();
    // reads of DPF's own 511-byte buffer and more; shorter ones are in ClapLayer's tests
    for (const size_t chunk : { size_t(511), size_t(512), size_t(4096), SIZE_MAX })
    {
        SCOPED_TRACE(chunk);
        ClapInstance b(clapModule());
        ASSERT_TRUE(b.loadState(state, chunk));
        EXPECT_NEAR(b.paramValue(0), 0.2, 1e-6);
        EXPECT_NEAR(b.paramValue(2), 7.5, 1e-6);
        EXPECT_NEAR(b.paramValue(5), -45.0, 1e-6);
    }
}

// ---------------------------------------------------------------------------------------------
// VST3

TEST(Vst3Module, FactoryListsTheAudioModuleAndItsController)
{
    Vst3Module& m = vst3Module();
    EXPECT_STREQ(m.factoryInfo().vendor, "Drevanok Effects");
    EXPECT_GT(std::strlen(m.factoryInfo().url), 0u);
    ASSERT_EQ(m.classes().size(), 2u);
    EXPECT_EQ(m.classes()[0].category, "Audio Module Class");
    EXPECT_EQ(m.classes()[1].category, "Component Controller Class");
    for (const Vst3ClassInfo& c : m.classes())
    {
        SCOPED_TRACE(c.category);
        EXPECT_EQ(c.name, "Korvane");
        EXPECT_EQ(c.vendor, "Drevanok Effects");
        EXPECT_EQ(c.subCategories, "Fx|Distortion|Stereo");
        EXPECT_EQ(c.version, "1.1.0");
        EXPECT_TRUE(endsWith(c.sdkVersion, "3.7.4")) << c.sdkVersion;
        EXPECT_TRUE((c.classFlags & V3_DISTRIBUTABLE) != 0);
        uint32_t uid;
        std::memcpy(&uid, c.classId + 8, sizeof(uid));
        EXPECT_EQ(uid, kKvn1);
    }
}

TEST(Vst3Module, ControllerIsSeparateAndConnectedWithStereoBuses)
{
    Vst3Instance inst(vst3Module());
    EXPECT_TRUE(inst.separateController());
    EXPECT_TRUE(inst.connected());
    for (const int32_t dir : { static_cast<int32_t>(V3_INPUT), static_cast<int32_t>(V3_OUTPUT) })
    {
        ASSERT_EQ(inst.audioBusCount(dir), 1);
        const v3_bus_info bus = inst.audioBusInfo(dir, 0);
        EXPECT_EQ(bus.channel_count, 2);
        EXPECT_EQ(bus.bus_type, V3_MAIN);
    }
}

TEST(Vst3Module, ParameterListMatchesTheTable)
{
    Vst3Instance inst(vst3Module());
    const std::vector<Vst3ParamInfo> visible = inst.visibleParameters();
    ASSERT_EQ(visible.size(), 6u);
    for (uint32_t i = 0; i < 6; ++i)
    {
        const ParamRow& row = kParams[i];
        const Vst3ParamInfo& p = visible[i];
        SCOPED_TRACE(row.name);
        EXPECT_EQ(p.title, row.name);
        EXPECT_EQ(p.units, row.unit);
        EXPECT_NEAR(inst.normalisedToPlain(p.id, 0.0), row.min, 1e-6);
        EXPECT_NEAR(inst.normalisedToPlain(p.id, 1.0), row.max, 1e-6);
        EXPECT_NEAR(inst.normalisedToPlain(p.id, p.defaultNormalised), row.def, 1e-5);
        EXPECT_NEAR(inst.normalisedToPlain(p.id, inst.controllerValue(p.id)), row.def, 1e-5);
        EXPECT_EQ(p.stepCount, row.bypass ? 1 : 0);
        const int32_t expected = row.bypass ? (V3_PARAM_CAN_AUTOMATE | V3_PARAM_IS_BYPASS) : V3_PARAM_CAN_AUTOMATE;
        EXPECT_EQ(p.flags, expected);
    }
    // what DPF adds for itself is hidden from the user and read-only
    for (const Vst3ParamInfo& p : inst.parameters())
    {
        if ((p.flags & V3_PARAM_IS_HIDDEN) != 0)
        {
            EXPECT_TRUE((p.flags & V3_PARAM_READ_ONLY) != 0) << p.title;
        }
    }
}

namespace {

// Processes blocks of 512 at 48 kHz with one Blend change in the given block at the given offset.
std::vector<float> renderWithBlendChange(int32_t changeBlock, int32_t offset)
{
    Vst3Instance inst(vst3Module());
    const std::vector<Vst3ParamInfo> visible = inst.visibleParameters();
    const v3_param_id blend = visible[3].id;
    EXPECT_EQ(inst.setup(48000, 512), V3_OK);
    EXPECT_EQ(inst.setActive(true), V3_OK);
    EXPECT_EQ(inst.setProcessing(true), V3_OK);
    const Stereo in = bassSignal(48000, 4 * 512 / 48000.0 + 1e-6, 0.5f, 30);
    std::vector<float> out(in.size()), right(512);
    for (int32_t b = 0; b < 4; ++b)
    {
        const Vst3ParamPoint point = { offset, blend, 0.0 };
        const float* ins[2] = { in.l.data() + 512 * b, in.r.data() + 512 * b };
        float* outs[2] = { out.data() + 512 * b, right.data() };
        EXPECT_EQ(inst.process(ins, outs, 512, b == changeBlock ? &point : nullptr, b == changeBlock ? 1 : 0), V3_OK);
        inst.idle();
    }
    return out;
}

double blockDifference(const std::vector<float>& a, const std::vector<float>& b, int32_t block)
{
    double d = 0.0;
    for (size_t i = 512 * static_cast<size_t>(block); i < 512 * static_cast<size_t>(block + 1); ++i)
        d += std::fabs(a[i] - b[i]);
    return d;
}

} // namespace

TEST(Vst3Module, ChangesAtOffsetZeroActBeforeTheBlockLaterOnesAfterIt)
{
    const std::vector<float> ref = renderWithBlendChange(-1, 0);
    const std::vector<float> atZero = renderWithBlendChange(1, 0);
    const std::vector<float> later = renderWithBlendChange(1, 300);
    EXPECT_EQ(blockDifference(atZero, ref, 0), 0.0);
    EXPECT_GT(blockDifference(atZero, ref, 1), 0.0);
    // the block is not split: a later point takes effect from the next block on
    EXPECT_EQ(blockDifference(later, ref, 1), 0.0);
    EXPECT_GT(blockDifference(later, ref, 2), 0.0);
    EXPECT_EQ(blockDifference(later, atZero, 3) > 0.0, true);
}

TEST(Vst3Module, LatencyChangeReachesTheControllerThroughOutputChanges)
{
    Vst3Instance inst(vst3Module());
    float buf[2][256] = {};
    const float* in[2] = { buf[0], buf[1] };
    float* out[2] = { buf[0], buf[1] };
    ASSERT_EQ(inst.setup(44100, 256), V3_OK);
    ASSERT_EQ(inst.setActive(true), V3_OK);
    ASSERT_EQ(inst.setProcessing(true), V3_OK);
    EXPECT_EQ(inst.latency(), 27u);
    ASSERT_EQ(inst.process(in, out, 256), V3_OK);
    inst.idle();

    ASSERT_EQ(inst.setProcessing(false), V3_OK);
    ASSERT_EQ(inst.setActive(false), V3_OK);
    inst.requests().restartFlags = 0;
    ASSERT_EQ(inst.setup(96000, 256), V3_OK);
    ASSERT_EQ(inst.setActive(true), V3_OK);
    ASSERT_EQ(inst.setProcessing(true), V3_OK);
    EXPECT_EQ(inst.latency(), 42u);
    ASSERT_EQ(inst.process(in, out, 256), V3_OK);
    EXPECT_GT(inst.outputChangeCount(), 0);
    inst.idle(); // the host hands the output changes to the controller
    EXPECT_TRUE((inst.requests().restartFlags.load() & V3_RESTART_LATENCY_CHANGED) != 0);
}

TEST(Vst3Module, ComponentStateUpdatesTheController)
{
    Vst3Instance a(vst3Module());
    const std::vector<Vst3ParamInfo> visible = a.visibleParameters();
    ASSERT_EQ(a.setup(48000, 64), V3_OK);
    ASSERT_EQ(a.setActive(true), V3_OK);
    float buf[2][64] = {};
    const float* in[2] = { buf[0], buf[1] };
    float* out[2] = { buf[0], buf[1] };
    const Vst3ParamPoint points[] = { { 0, visible[0].id, 0.25 }, { 0, visible[5].id, 0.5 } };
    ASSERT_EQ(a.process(in, out, 64, points, 2), V3_OK);
    const Vst3Instance::State state = a.getState();

    Vst3Instance b(vst3Module());
    ASSERT_EQ(b.setState(state), V3_OK);
    EXPECT_NEAR(b.controllerValue(visible[0].id), 0.25, 1e-6);
    EXPECT_NEAR(b.normalisedToPlain(visible[5].id, b.controllerValue(visible[5].id)), -55.0, 1e-4);
    EXPECT_GT(b.requests().restartFlags.load() & V3_RESTART_PARAM_VALUES_CHANGED, 0);
}

TEST(Vst3Module, ProcessingWithoutActivationStillWorks)
{
    // some hosts call process right after setup: DPF activates the plug-in itself then
    Vst3Instance inst(vst3Module());
    ASSERT_EQ(inst.setup(96000, 512), V3_OK);
    const Stereo in = bassSignal(96000, 0.1, 0.5f, 31);
    std::vector<float> l(in.size()), r(in.size());
    for (size_t pos = 0; pos + 512 <= in.size(); pos += 512)
    {
        const float* ins[2] = { in.l.data() + pos, in.r.data() + pos };
        float* outs[2] = { l.data() + pos, r.data() + pos };
        ASSERT_EQ(inst.process(ins, outs, 512), V3_OK);
    }
    EXPECT_EQ(inst.latency(), 42u);
    EXPECT_TRUE(allFinite(l));
    EXPECT_EQ(l, r);
    EXPECT_GT(rms(l, 0, l.size()), 1e-4);
}
