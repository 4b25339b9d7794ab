// The VST3 module under host behaviour that VST3 allows but an easy-going host never shows:
// parameter flushes of zero frames, the "no parameter" id among the changes, no output list,
// a comma-decimal locale, changes made on the controller while not processing, interface
// pointers released in another order than they were taken, changes that are not numbers and
// damaged saved states.

#include "HostTestSupport.hpp"

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

constexpr int32_t kBlock = 256;
constexpr v3_param_id kNoParamId = 0xffffffff;

// Parameters by the plug-in's own index, as the controller lists the visible ones.
enum : uint32_t
{
    kDist,
    kTone,
    kLevel,
    kBlend,
    kBypass,
    kGate
};

// One instance set up for processing, with silent buffers of one block.
class Vst3Fixture
{
public:
    explicit Vst3Fixture(double sampleRate = 48000)
        : fInst(vst3Module()),
          fParams(fInst.visibleParameters())
    {
        EXPECT_EQ(fInst.setup(sampleRate, kBlock), V3_OK);
        start();
    }

    Vst3Instance& inst() { return fInst; }
    v3_param_id id(uint32_t index) const { return fParams[index].id; }

    Vst3ParamPoint point(uint32_t index, double plain, int32_t offset = 0) const
    {
        return { offset, id(index), fInst.plainToNormalised(id(index), plain) };
    }

    void start()
    {
        EXPECT_EQ(fInst.setActive(true), V3_OK);
        EXPECT_EQ(fInst.setProcessing(true), V3_OK);
    }

    void stop()
    {
        EXPECT_EQ(fInst.setProcessing(false), V3_OK);
        EXPECT_EQ(fInst.setActive(false), V3_OK);
    }

    v3_result process(int32_t frames, const Vst3ParamPoint* points = nullptr, int32_t count = 0)
    {
        const float* in[2] = { fIn[0], fIn[1] };
        float* out[2] = { fOut[0], fOut[1] };
        return fInst.process(in, out, frames, points, count);
    }

private:
    Vst3Instance fInst;
    std::vector<Vst3ParamInfo> fParams;
    float fIn[2][kBlock] = {};
    float fOut[2][kBlock] = {};
};

// The six values set on the controller and brought to the component in one block, as a host does.
void holdValues(Vst3Fixture& a, const double (&values)[6], Vst3ParamPoint (&points)[6])
{
    for (uint32_t i = 0; i < 6; ++i)
    {
        points[i] = a.point(i, values[i]);
        ASSERT_EQ(a.inst().setControllerValue(points[i].id, points[i].normalised), V3_OK);
    }
    ASSERT_EQ(a.process(kBlock, points, 6), V3_OK);
}

// The plain values that a fresh instance holds once it has loaded the state, as its controller
// shows them.
std::vector<double> restoredValues(const Vst3Instance::State& state)
{
    Vst3Instance b(vst3Module());
    EXPECT_EQ(b.setState(state), V3_OK);
    std::vector<double> values;
    for (const Vst3ParamInfo& p : b.visibleParameters())
        values.push_back(b.normalisedToPlain(p.id, b.controllerValue(p.id)));
    return values;
}

// Where a parameter's value text begins in a component state, a run of NUL-ended fields in
// which the value follows its symbol.
size_t valueTextAt(const std::string& state, const char* symbol)
{
    const std::string key = std::string(symbol) + '\0';
    for (size_t at = state.find(key); at != std::string::npos; at = state.find(key, at + 1))
    {
        if (at != 0 && state[at - 1] == '\0')
            return at + key.size();
    }
    throw std::runtime_error(std::string("state lacks ") + symbol);
}

} // namespace

TEST(Vst3Layer, ClassesReportTheVstSdkVersion)
{
    for (const Vst3ClassInfo& c : vst3Module().classes())
        EXPECT_EQ(c.sdkVersion, "VST 3.7.4") << c.category;
}

TEST(Vst3Layer, ChangesFlushedWithZeroFramesAreInTheSavedState)
{
    Vst3Fixture a;
    ASSERT_EQ(a.process(kBlock), V3_OK);
    const Vst3ParamPoint flush[] = { a.point(kBypass, 1.0), a.point(kGate, -45.0) };
    ASSERT_EQ(a.process(0, flush, 2), V3_OK);

    const std::vector<double> values = restoredValues(a.inst().getState());
    EXPECT_EQ(values[kBypass], 1.0);
    EXPECT_NEAR(values[kGate], -45.0, 1e-4);
}

TEST(Vst3Layer, ChangesAfterANoParamIdEntryStillCount)
{
    // in a block, and in a flush of zero frames; the entry is neither first nor last
    for (const int32_t frames : { kBlock, 0 })
    {
        SCOPED_TRACE(frames);
        Vst3Fixture a;
        ASSERT_EQ(a.process(kBlock), V3_OK);
        const int32_t late = frames > 0 ? 100 : 0;
        const Vst3ParamPoint points[] = { a.point(kTone, 0.2), { 0, kNoParamId, 0.5 }, a.point(kDist, 0.25),
                                          a.point(kBlend, 0.4, late) };
        StderrCapture capture;
        ASSERT_EQ(a.process(frames, points, 4), V3_OK);
        EXPECT_EQ(capture.finish(), "");

        const std::vector<double> values = restoredValues(a.inst().getState());
        EXPECT_NEAR(values[kTone], 0.2, 1e-6);
        EXPECT_NEAR(values[kDist], 0.25, 1e-6);
        EXPECT_NEAR(values[kBlend], 0.4, 1e-6);
    }
}

TEST(Vst3Layer, ProcessWithoutAnOutputListPrintsNothingAndKeepsTheChanges)
{
    // 96 kHz gives a latency to report; 44.1 kHz another, through the rate adapter
    for (const double rate : { 96000.0, 44100.0 })
    {
        SCOPED_TRACE(rate);
        Vst3Fixture a(rate);
        a.inst().setOutputChangesOffered(false);
        StderrCapture capture;
        for (int b = 0; b < 200; ++b)
        {
            const Vst3ParamPoint change = a.point(kDist, (b % 10) / 10.0, b % kBlock);
            ASSERT_EQ(a.process(kBlock, &change, b % 3 == 0 ? 1 : 0), V3_OK);
        }
        EXPECT_EQ(capture.finish(), "");

        // what changed meanwhile reaches the host with the first call that has a list
        a.inst().setOutputChangesOffered(true);
        a.inst().requests().restartFlags = 0;
        ASSERT_EQ(a.process(kBlock), V3_OK);
        EXPECT_GT(a.inst().outputChangeCount(), 0);
        a.inst().idle();
        EXPECT_TRUE((a.inst().requests().restartFlags.load() & V3_RESTART_LATENCY_CHANGED) != 0);
    }
}

TEST(Vst3Layer, StateRestoresUnderACommaDecimalLocale)
{
    Vst3Fixture a;
    const Vst3ParamPoint points[] = { a.point(kDist, 0.6), a.point(kTone, 0.3), a.point(kLevel, 7.5),
                                      a.point(kBlend, 0.7), a.point(kGate, -45.5) };
    ASSERT_EQ(a.process(kBlock, points, 5), V3_OK);
    const Vst3Instance::State saved = a.inst().getState();

    struct LocaleScope
    {
        std::string previous = std::setlocale(LC_ALL, nullptr);
        ~LocaleScope() { std::setlocale(LC_ALL, previous.c_str()); }
    } scope;
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr)
        << "the de_DE.UTF-8 locale is missing: generate it with "
           "sed -i 's/^# *de_DE.UTF-8/de_DE.UTF-8/' /etc/locale.gen && locale-gen";
    ASSERT_STREQ(std::localeconv()->decimal_point, ",");

    // saving under the locale writes the same text
    EXPECT_EQ(a.inst().getState().component, saved.component);

    const std::vector<double> values = restoredValues(saved);
    EXPECT_NEAR(values[kDist], 0.6, 1e-6);
    EXPECT_NEAR(values[kTone], 0.3, 1e-6);
    EXPECT_NEAR(values[kLevel], 7.5, 1e-4);
    EXPECT_NEAR(values[kBlend], 0.7, 1e-6);
    EXPECT_NEAR(values[kGate], -45.5, 1e-4);

    // the component itself, not only its controller, holds what was saved
    Vst3Instance b(vst3Module());
    ASSERT_EQ(b.setState(saved), V3_OK);
    EXPECT_EQ(b.getState().component, saved.component);
}

TEST(Vst3Layer, ChangeMadeWhileDeactivatedIsInTheSavedState)
{
    // As Ardour does: the change goes to the controller at once, and to the processor with
    // the next process call, which does not come before the session is saved.
    Vst3Fixture a;
    const Vst3ParamPoint loud = a.point(kLevel, 12.0);
    ASSERT_EQ(a.process(kBlock, &loud, 1), V3_OK);
    a.inst().idle();
    a.stop();

    const Vst3ParamPoint unity = a.point(kLevel, 0.0);
    ASSERT_EQ(a.inst().setControllerValue(unity.id, unity.normalised), V3_OK);
    EXPECT_NEAR(restoredValues(a.inst().getState())[kLevel], 0.0, 1e-4);

    // reactivated, the host's pending change arrives through process as well
    a.start();
    ASSERT_EQ(a.process(kBlock, &unity, 1), V3_OK);
    EXPECT_NEAR(restoredValues(a.inst().getState())[kLevel], 0.0, 1e-4);

    // while processing, a change on the controller waits for the process call that brings it
    const Vst3ParamPoint quiet = a.point(kLevel, -6.0);
    ASSERT_EQ(a.inst().setControllerValue(quiet.id, quiet.normalised), V3_OK);
    EXPECT_NEAR(restoredValues(a.inst().getState())[kLevel], 0.0, 1e-4);
    ASSERT_EQ(a.process(kBlock, &quiet, 1), V3_OK);
    EXPECT_NEAR(restoredValues(a.inst().getState())[kLevel], -6.0, 1e-4);
}

TEST(Vst3Layer, AudioProcessorKeepsTheComponentAliveUntilItIsReleased)
{
    // Ardour's scanner: the component is released before the processor taken from it
    Vst3Module& m = vst3Module();
    const Vst3ClassInfo& audioClass = m.classes().at(0);
    ASSERT_EQ(audioClass.category, "Audio Module Class");
    v3_tuid iid;
    std::memcpy(iid, v3_component_iid, sizeof(iid));
    v3_component** comp = nullptr;
    ASSERT_EQ(v3_cpp_obj(m.factory())->create_instance(m.factory(), audioClass.classId, iid,
                                                       reinterpret_cast<void**>(&comp)),
              V3_OK);
    ASSERT_NE(comp, nullptr);
    ASSERT_EQ(v3_cpp_obj_initialize(comp, m.hostContext()), V3_OK);
    v3_audio_processor** proc = nullptr;
    ASSERT_EQ(v3_cpp_obj_query_interface(comp, v3_audio_processor_iid, &proc), V3_OK);

    StderrCapture capture;
    EXPECT_EQ(v3_cpp_obj(proc)->set_processing(proc, false), V3_OK);
    EXPECT_EQ(v3_cpp_obj(comp)->set_active(comp, false), V3_OK);
    EXPECT_EQ(v3_cpp_obj_terminate(comp), V3_OK);
    EXPECT_EQ(v3_cpp_obj_unref(comp), 1u) << "the processor still holds the component";
    EXPECT_EQ(v3_cpp_obj_unref(proc), 0u);
    EXPECT_EQ(capture.finish(), "");
}

TEST(Vst3Layer, ChangeThatIsNotANumberKeepsTheValue)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // away from the defaults, Bypass on
    const double current[] = { 0.3, 0.7, -6.0, 0.6, 1.0, -50.0 };
    // at the start of a block, later in a block, in a flush of zero frames
    const struct
    {
        int32_t frames, offset;
    } calls[] = { { kBlock, 0 }, { kBlock, 100 }, { 0, 0 } };
    for (const auto& c : calls)
    {
        SCOPED_TRACE(testing::Message() << c.frames << " frames, offset " << c.offset);
        Vst3Fixture a;
        Vst3ParamPoint points[6];
        ASSERT_NO_FATAL_FAILURE(holdValues(a, current, points));

        for (Vst3ParamPoint& p : points)
            p = { c.offset, p.id, nan };
        StderrCapture capture;
        ASSERT_EQ(a.process(c.frames, points, 6), V3_OK);
        EXPECT_EQ(capture.finish(), "");

        const std::vector<double> values = restoredValues(a.inst().getState());
        for (uint32_t i = 0; i < 6; ++i)
            EXPECT_NEAR(values[i], current[i], 1e-4) << i;

        // the controller refuses it as well
        for (uint32_t i = 0; i < 6; ++i)
        {
            a.inst().setControllerValue(a.id(i), nan);
            EXPECT_NEAR(a.inst().normalisedToPlain(a.id(i), a.inst().controllerValue(a.id(i))), current[i], 1e-4) << i;
        }
    }
}

TEST(Vst3Layer, ControllerShowsTheValuesThePluginTookFromADamagedState)
{
    // what a text means to the plug-in: not a number keeps the value, a number is held to the range
    const struct
    {
        uint32_t index;
        const char* text;
        double held;
    } damage[] = {
        { kDist, "nan", 0.3 },   { kTone, "inf", 1.0 },    { kLevel, "-nan", -6.0 },
        { kBlend, "-1e30", 0.0 }, { kBypass, "7", 1.0 }, { kGate, "junk", -30.0 },
    };
    const char* const symbols[] = { "dist", "tone", "level", "blend", "dpf_bypass", "gate" };
    const double current[] = { 0.3, 0.7, -6.0, 0.6, 0.0, -50.0 };

    Vst3Fixture a;
    Vst3ParamPoint points[6];
    ASSERT_NO_FATAL_FAILURE(holdValues(a, current, points));
    a.stop();

    Vst3Instance::State state = a.inst().getState();
    std::string text(state.component.begin(), state.component.end());
    for (const auto& d : damage)
    {
        const size_t at = valueTextAt(text, symbols[d.index]);
        text.replace(at, text.find('\0', at) - at, d.text);
    }
    state.component.assign(text.begin(), text.end());

    StderrCapture capture;
    ASSERT_EQ(a.inst().setState(state), V3_OK);
    const std::vector<uint8_t> saved = a.inst().getState().component;
    const std::string held(saved.begin(), saved.end());
    for (const auto& d : damage)
    {
        SCOPED_TRACE(std::string(symbols[d.index]) + " = " + d.text);
        const double normalised = a.inst().controllerValue(a.id(d.index));
        EXPECT_TRUE(normalised >= 0.0 && normalised <= 1.0) << normalised;
        EXPECT_NEAR(a.inst().normalisedToPlain(a.id(d.index), normalised), d.held, 1e-4);
        // the component holds the same
        EXPECT_NEAR(std::atof(held.c_str() + valueTextAt(held, symbols[d.index])), d.held, 1e-4);
    }
    EXPECT_EQ(capture.finish(), "");
}
