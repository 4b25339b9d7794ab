// The editor opened through the CLAP module as a host opens it: gui extension with the "x11"
// api, embedded in a host window, driven by the host's timer; input through XTest; what the
// host receives read from the plug-in's output events.

#include "ClapHost.hpp"
#include "X11Harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <memory>
#include <sstream>

namespace {

const std::string kModulePath = std::string(KORVANE_BINARY_DIR) + "/bin/Korvane.clap";

constexpr uint32_t kDist = 0, kTone = 1, kLevel = 2, kBypass = 4;

struct HostEvent {
    enum Kind { Begin, Value, End } kind;
    uint32_t param;
    double value;
};

std::string describe(const std::vector<HostEvent>& events)
{
    std::ostringstream s;
    for (const HostEvent& e : events)
    {
        s << (e.kind == HostEvent::Begin ? "begin " : e.kind == HostEvent::End ? "end " : "value ") << e.param;
        if (e.kind == HostEvent::Value)
            s << '=' << e.value;
        s << "; ";
    }
    return s.str();
}

class ClapEditorSession : public X11Session {
public:
    // scale 0 leaves the scale to DPF (and so to DPF_SCALE_FACTOR); anything else goes to set_scale.
    explicit ClapEditorSession(double scale = 0.0)
    {
        if (! fError.empty())
            return;
        try
        {
            fModule = std::make_unique<ClapModule>(kModulePath);
            fInstance = std::make_unique<ClapInstance>(*fModule);
        }
        catch (const std::exception& e)
        {
            fError = e.what();
            return;
        }
        fScale = scale > 0.0 ? scale : 1.0;
        if (! openEditor(scale))
            return;

        if (! fInstance->activate(48000.0, 256) || ! fInstance->startProcessing())
        {
            fError = "activate failed";
            return;
        }
        // Up once the editor's window shows and its drawing has settled.
        settledFrame();
        processBlock();
        fReceived.clear(); // values DPF reports while the editor opens
    }

    ~ClapEditorSession()
    {
        if (fInstance == nullptr)
            return;
        closeEditor();
        fInstance->stopProcessing();
        fInstance->deactivate();
    }

    // As a host opens the editor: gui.create with "x11", the scale, set_parent, show, and the
    // host window sized to what the plug-in asks for.
    bool openEditor(double scale)
    {
        const clap_plugin_t* plugin = fInstance->plugin();
        fGui = static_cast<const clap_plugin_gui_t*>(fInstance->extension(CLAP_EXT_GUI));
        if (fGui == nullptr || ! fGui->is_api_supported(plugin, CLAP_WINDOW_API_X11, false)
            || ! fGui->create(plugin, CLAP_WINDOW_API_X11, false))
        {
            fError = "no x11 gui";
            fGui = nullptr;
            return false;
        }
        fEditorOpen = true;
        if (scale != 0.0)
            fGui->set_scale(plugin, scale);
        clap_window_t window = {};
        window.api = CLAP_WINDOW_API_X11;
        window.x11 = fHost.window();
        if (! fGui->set_parent(plugin, &window) || ! fGui->show(plugin))
        {
            fError = "set_parent or show failed";
            return false;
        }
        uint32_t w = 0, h = 0;
        fGui->get_size(plugin, &w, &h);
        fHost.resize(static_cast<int>(w), static_cast<int>(h));
        return true;
    }

    void closeEditor()
    {
        if (fGui == nullptr || ! fEditorOpen)
            return;
        fGui->hide(fInstance->plugin());
        fGui->destroy(fInstance->plugin());
        fEditorOpen = false;
    }

    const clap_plugin_gui_t* gui() const { return fGui; }
    const clap_plugin_t* plugin() const { return fInstance->plugin(); }
    ClapInstance& instance() { return *fInstance; }

    // Runs one audio block (with optional host parameter changes) and returns what the
    // plug-in pushed to the host: the editor's gestures and values. They are kept for
    // takeEvents as well.
    std::vector<HostEvent> processBlock(const std::vector<std::pair<uint32_t, double>>& changes = {})
    {
        constexpr uint32_t frames = 64;
        float in[2][frames] = {};
        float out[2][frames] = {};
        float* ins[2] = { in[0], in[1] };
        float* outs[2] = { out[0], out[1] };
        clap_audio_buffer_t inBuffer = { ins, nullptr, 2, 0, 0 };
        clap_audio_buffer_t outBuffer = { outs, nullptr, 2, 0, 0 };

        fInEvents.clear();
        for (const auto& c : changes)
        {
            clap_event_param_value_t ev = {};
            ev.header = { sizeof(ev), 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_PARAM_VALUE, 0 };
            ev.param_id = c.first;
            ev.note_id = ev.port_index = ev.channel = ev.key = -1;
            ev.value = c.second;
            fInEvents.push_back(ev);
        }
        clap_input_events_t inList = { this, inSize, inGet };
        clap_output_events_t outList = { this, outPush };

        clap_process_t process = {};
        process.steady_time = -1;
        process.frames_count = frames;
        process.audio_inputs = &inBuffer;
        process.audio_outputs = &outBuffer;
        process.audio_inputs_count = 1;
        process.audio_outputs_count = 1;
        process.in_events = &inList;
        process.out_events = &outList;
        fOut.clear();
        plugin()->process(plugin(), &process);
        fReceived.insert(fReceived.end(), fOut.begin(), fOut.end());
        return fOut;
    }

    using EventTest = std::function<bool(const std::vector<HostEvent>&)>;

    // Main-thread time (the host's timers drive DPF's idle, which reads X events and redraws)
    // and audio blocks, until what the host has received since the last take passes `done`;
    // at most 5 s. Whether it did.
    bool waitFor(const EventTest& done)
    {
        return pumpUntil(fHost, [&] { processBlock(); return done(fReceived); }, [this] { fInstance->idle(); });
    }

    // What the host has received since the last take, once it passes `done` (or at the deadline).
    std::vector<HostEvent> takeEventsWhen(const EventTest& done)
    {
        waitFor(done);
        std::vector<HostEvent> taken;
        taken.swap(fReceived);
        return taken;
    }

    // ... once it holds `ends` gesture ends: the input has been handled up to its last release.
    std::vector<HostEvent> takeEvents(int ends = 1)
    {
        return takeEventsWhen([ends](const std::vector<HostEvent>& ev) {
            return std::count_if(ev.begin(), ev.end(), [](const HostEvent& e) { return e.kind == HostEvent::End; }) >= ends;
        });
    }

    RgbImage settledFrame() { return settledCapture(fHost, [this] { fInstance->idle(); }); }
    // The settled frame once it shows something `before` did not: the input has been drawn.
    RgbImage changedFrame(const RgbImage& before) { return changedCapture(fHost, before, [this] { fInstance->idle(); }); }

    // Pointer input at positions in design units. Nothing waits here: X delivers the input in
    // order, and a test waits on what the host receives or on the frame.
    void moveTo(double x, double y) { fHost.moveTo(x * fScale, y * fScale); }
    void press() { fHost.press(1); }
    void release() { fHost.release(1); }
    void click(unsigned button) { fHost.click(button); }
    void wheel(bool awayFromUser) { fHost.click(awayFromUser ? 4 : 5); }

private:
    static uint32_t CLAP_ABI inSize(const clap_input_events_t* list)
    {
        return static_cast<uint32_t>(static_cast<ClapEditorSession*>(list->ctx)->fInEvents.size());
    }
    static const clap_event_header_t* CLAP_ABI inGet(const clap_input_events_t* list, uint32_t index)
    {
        auto* self = static_cast<ClapEditorSession*>(list->ctx);
        return index < self->fInEvents.size() ? &self->fInEvents[index].header : nullptr;
    }
    static bool CLAP_ABI outPush(const clap_output_events_t* list, const clap_event_header_t* ev)
    {
        auto* self = static_cast<ClapEditorSession*>(list->ctx);
        if (ev->space_id != CLAP_CORE_EVENT_SPACE_ID)
            return true;
        if (ev->type == CLAP_EVENT_PARAM_GESTURE_BEGIN || ev->type == CLAP_EVENT_PARAM_GESTURE_END)
        {
            const auto* g = reinterpret_cast<const clap_event_param_gesture_t*>(ev);
            self->fOut.push_back({ ev->type == CLAP_EVENT_PARAM_GESTURE_BEGIN ? HostEvent::Begin : HostEvent::End,
                                   g->param_id, 0.0 });
        }
        else if (ev->type == CLAP_EVENT_PARAM_VALUE)
        {
            const auto* v = reinterpret_cast<const clap_event_param_value_t*>(ev);
            self->fOut.push_back({ HostEvent::Value, v->param_id, v->value });
        }
        return true;
    }

    std::unique_ptr<ClapModule> fModule;
    std::unique_ptr<ClapInstance> fInstance;
    const clap_plugin_gui_t* fGui = nullptr;
    bool fEditorOpen = false;
    double fScale = 1.0;
    std::vector<clap_event_param_value_t> fInEvents;
    std::vector<HostEvent> fOut;
    std::vector<HostEvent> fReceived;
};

// Brightest pixel near a point (design units): the knob's cream pointer is far brighter than its face.
int brightnessNear(const RgbImage& image, double scale, double x, double y)
{
    int best = 0;
    const int cx = static_cast<int>(std::lround(x * scale)), cy = static_cast<int>(std::lround(y * scale));
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
        {
            const int px = cx + dx, py = cy + dy;
            if (px < 0 || py < 0 || px >= image.width || py >= image.height)
                continue;
            const uint8_t* p = image.at(px, py);
            best = std::max(best, (p[0] + p[1] + p[2]) / 3);
        }
    return best;
}

struct KnobPlace { const char* name; double x, y, r; };
constexpr KnobPlace kVol = { "VOL", 84.4, 88.4, 31.6 };
constexpr KnobPlace kDistKnob = { "DIST", 193.4, 88.4, 31.6 };
constexpr KnobPlace kToneKnob = { "TONE", 302.8, 88.4, 31.6 };
constexpr KnobPlace kBlend = { "BLEND", 84.4, 186.8, 24.0 };
constexpr KnobPlace kGate = { "GATE", 302.8, 186.8, 24.0 };

// The pointer shows at this angle (degrees, clockwise from straight up) and not 60 degrees off it.
void expectPointerAt(const RgbImage& image, double scale, const KnobPlace& knob, double degrees)
{
    auto along = [&](double deg) {
        const double a = deg * 3.14159265358979 / 180.0;
        return brightnessNear(image, scale, knob.x + 0.72 * knob.r * std::sin(a), knob.y - 0.72 * knob.r * std::cos(a));
    };
    EXPECT_GT(along(degrees), 170) << knob.name << " pointer missing at " << degrees;
    EXPECT_LT(along(degrees + 60.0), 120) << knob.name << " pointer also at " << degrees + 60.0;
    EXPECT_LT(along(degrees - 60.0), 120) << knob.name << " pointer also at " << degrees - 60.0;
}

TEST(ClapEditor, OpensAtDesignSizeWithDefaultsDrawn)
{
    ClapEditorSession s(1.0);
    REQUIRE_SESSION(s);
    uint32_t w = 0, h = 0;
    ASSERT_TRUE(s.gui()->get_size(s.plugin(), &w, &h));
    EXPECT_EQ(w, 384u);
    EXPECT_EQ(h, 498u);
    EXPECT_FALSE(s.gui()->can_resize(s.plugin()));

    const RgbImage frame = s.settledFrame();
    ASSERT_EQ(frame.width, 384);
    ASSERT_EQ(frame.height, 498);

    // Level 0 dB of -24..36 sits at -30 degrees, Dist and Blend at their maximum, Tone in the
    // middle, Gate off at its minimum.
    expectPointerAt(frame, 1.0, kVol, -30.0);
    expectPointerAt(frame, 1.0, kDistKnob, 150.0);
    expectPointerAt(frame, 1.0, kToneKnob, 0.0);
    expectPointerAt(frame, 1.0, kBlend, 150.0);
    expectPointerAt(frame, 1.0, kGate, -150.0);

    const RgbImage reference = loadReferenceFrame();
    if (reference.empty())
        savePpm(frame, dumpPath("clap-default"));
    ASSERT_FALSE(reference.empty()) << "missing reference; this frame is at " << dumpPath("clap-default");
    const ImageDifference d = compareImages(frame, reference);
    if (d.meanAbs > 1.5 || d.largeFraction > 0.002)
        savePpm(frame, dumpPath("clap-default"));
    EXPECT_LT(d.meanAbs, 1.5) << "frame kept at " << dumpPath("clap-default");
    EXPECT_LT(d.largeFraction, 0.002);
}

TEST(ClapEditor, ScaleTwoDoublesTheWindowAndDrawsSharp)
{
    ClapEditorSession s(2.0);
    REQUIRE_SESSION(s);
    int w = 0, h = 0;
    ASSERT_TRUE(s.host().childSize(w, h));
    EXPECT_EQ(w, 768);
    EXPECT_EQ(h, 996);

    // Xvfb's software GL keeps the drawable at its first size until the next redraw after
    // the resize; a hover in and out redraws.
    const RgbImage before = s.settledFrame();
    s.moveTo(84.4, 88.4);
    const RgbImage hovered = s.changedFrame(before);
    s.moveTo(192.0, 260.0);
    const RgbImage frame = s.changedFrame(hovered);
    ASSERT_EQ(frame.width, 768);
    ASSERT_EQ(frame.height, 996);
    expectPointerAt(frame, 2.0, kVol, -30.0);
    expectPointerAt(frame, 2.0, kToneKnob, 0.0);

    // Same picture as at scale 1 once halved ...
    const RgbImage reference = loadReferenceFrame();
    ASSERT_FALSE(reference.empty());
    const RgbImage halved = halve(frame);
    const ImageDifference d = compareImages(halved, reference);
    if (d.meanAbs > 4.0 || std::getenv("KORVANE_EDITOR_SCREENSHOTS") != nullptr)
        savePpm(frame, dumpPath("clap-scale2"));
    EXPECT_LT(d.meanAbs, 4.0) << "frame kept at " << dumpPath("clap-scale2");

    // ... but drawn at the full resolution: a scale-1 frame stretched to this size has its
    // detail spread over twice the pixels (about 0.5 of the edge energy when stretched by
    // pixel doubling, 0.2 when filtered); drawn at scale 2 it keeps about 0.7.
    EXPECT_GT(sharpness(frame), 0.55 * sharpness(reference));
}

TEST(ClapEditor, NegativeHostScaleOpensAtScaleOne)
{
    ClapEditorSession s(-2.0);
    REQUIRE_SESSION(s);
    int w = 0, h = 0;
    ASSERT_TRUE(s.host().childSize(w, h));
    EXPECT_EQ(w, 384);
    EXPECT_EQ(h, 498);
    expectPointerAt(s.settledFrame(), 1.0, kVol, -30.0);
}

// Pointer input on an editor at scale 1, one scenario per test.
class ClapEditorInput : public ::testing::Test {
protected:
    void SetUp() override { REQUIRE_SESSION(s); }

    ClapEditorSession s { 1.0 };
};

bool hasValue(const std::vector<HostEvent>& ev)
{
    return std::any_of(ev.begin(), ev.end(), [](const HostEvent& e) { return e.kind == HostEvent::Value; });
}

// A drag's gesture: begin, then only values, then end, all on one parameter.
void expectOneGesture(const std::vector<HostEvent>& ev, uint32_t param)
{
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    EXPECT_EQ(ev.front().kind, HostEvent::Begin) << describe(ev);
    EXPECT_EQ(ev.back().kind, HostEvent::End) << describe(ev);
    for (size_t i = 1; i + 1 < ev.size(); ++i)
        EXPECT_EQ(ev[i].kind, HostEvent::Value) << describe(ev);
    for (const HostEvent& e : ev)
        EXPECT_EQ(e.param, param) << describe(ev);
}

TEST_F(ClapEditorInput, DragSendsOneGesture)
{
    // Drag Dist from its default 1.0 down by 50 units: 0.75.
    s.moveTo(193.4, 88.4);
    s.press();
    s.moveTo(193.4, 138.4);
    s.release();
    const auto ev = s.takeEvents();
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    EXPECT_EQ(ev.front().kind, HostEvent::Begin) << describe(ev);
    EXPECT_EQ(ev.front().param, kDist);
    EXPECT_EQ(ev.back().kind, HostEvent::End) << describe(ev);
    EXPECT_EQ(ev.back().param, kDist);
    for (size_t i = 1; i + 1 < ev.size(); ++i)
    {
        EXPECT_EQ(ev[i].kind, HostEvent::Value) << describe(ev);
        EXPECT_EQ(ev[i].param, kDist);
    }
    EXPECT_NEAR(ev[ev.size() - 2].value, 0.75, 1e-6) << describe(ev);
}

TEST_F(ClapEditorInput, WheelNotchIsAGestureOfItsOwn)
{
    // One wheel notch away from the user over Tone at 0.5: 0.52 within its own gesture.
    s.moveTo(302.8, 88.4);
    s.wheel(true);
    const auto ev = s.takeEvents();
    ASSERT_EQ(ev.size(), 3u) << describe(ev);
    EXPECT_EQ(ev[0].kind, HostEvent::Begin);
    EXPECT_EQ(ev[1].kind, HostEvent::Value);
    EXPECT_EQ(ev[2].kind, HostEvent::End);
    for (const HostEvent& e : ev)
        EXPECT_EQ(e.param, kTone);
    EXPECT_NEAR(ev[1].value, 0.52, 1e-6);
}

TEST_F(ClapEditorInput, DoubleClickPutsBackTheDefault)
{
    // Move Level off its default, then a double click puts back exactly 0 dB.
    s.moveTo(84.4, 88.4);
    s.wheel(true);
    {
        const auto ev = s.takeEvents();
        ASSERT_EQ(ev.size(), 3u) << describe(ev);
        EXPECT_NEAR(ev[1].value, 1.2, 1e-5);
    }
    s.click(1);
    s.click(1);
    const auto ev = s.takeEvents(2);
    ASSERT_EQ(ev.size(), 5u) << describe(ev);
    const HostEvent::Kind kinds[] = { HostEvent::Begin, HostEvent::End, HostEvent::Begin,
                                      HostEvent::Value, HostEvent::End };
    for (size_t i = 0; i < 5; ++i)
    {
        EXPECT_EQ(ev[i].kind, kinds[i]) << describe(ev);
        EXPECT_EQ(ev[i].param, kLevel);
    }
    EXPECT_EQ(ev[3].value, 0.0) << describe(ev);
}

TEST_F(ClapEditorInput, FootswitchTogglesBypassWithinThePress)
{
    s.moveTo(192.0, 365.2);
    s.click(1);
    const auto ev = s.takeEvents();
    ASSERT_EQ(ev.size(), 3u) << describe(ev);
    EXPECT_EQ(ev[0].kind, HostEvent::Begin);
    EXPECT_EQ(ev[1].kind, HostEvent::Value);
    EXPECT_EQ(ev[1].value, 1.0);
    EXPECT_EQ(ev[2].kind, HostEvent::End);
    for (const HostEvent& e : ev)
        EXPECT_EQ(e.param, kBypass);
}

TEST_F(ClapEditorInput, InputOffTheControlsSendsNothing)
{
    // Clicks on empty face, wheel turns off the knobs, and the right and middle buttons on a
    // knob send nothing.
    s.moveTo(192.0, 260.0);
    s.click(1);
    s.wheel(false);
    s.moveTo(302.8, 88.4);
    s.click(3);
    s.click(2);
    // Then the footswitch: X delivers input in order, so its gesture comes after anything
    // the input above sent.
    s.moveTo(192.0, 365.2);
    s.click(1);
    auto ev = s.takeEventsWhen([](const std::vector<HostEvent>& e) {
        return ! e.empty() && e.back().kind == HostEvent::End && e.back().param == kBypass;
    });
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    ev.resize(ev.size() - 3);
    EXPECT_TRUE(ev.empty()) << describe(ev);
}

TEST_F(ClapEditorInput, WheelOutsideTheKnobsAddsNothingToADrag)
{
    s.moveTo(302.8, 88.4);
    s.press();
    s.moveTo(192.0, 260.0);
    s.wheel(true);
    s.release();
    const auto ev = s.takeEvents();
    ASSERT_GE(ev.size(), 3u) << describe(ev);
    for (const HostEvent& e : ev)
        EXPECT_EQ(e.param, kTone) << describe(ev);
    EXPECT_EQ(ev.front().kind, HostEvent::Begin);
    EXPECT_EQ(ev.back().kind, HostEvent::End);
    EXPECT_EQ(ev[ev.size() - 2].value, 0.0) << describe(ev); // far below the press: clamped
}

TEST_F(ClapEditorInput, FineDragAndLostPointerCapture)
{
    // Shift makes the drag five times finer, measured from the press point each time.
    // Whole pixels, so the travel is exact: the press is at y 88.
    s.moveTo(303.0, 88.0);
    s.press();
    s.host().shift(true);
    s.moveTo(303.0, 38.0);   // 50 units up with Shift: 0.5 + 0.05
    s.host().shift(false);
    s.moveTo(303.0, 37.0);   // Shift released: the whole 51 units count at full speed
    s.release();
    {
        const auto ev = s.takeEvents();
        ASSERT_GE(ev.size(), 4u) << describe(ev);
        EXPECT_EQ(ev.front().kind, HostEvent::Begin);
        EXPECT_EQ(ev.back().kind, HostEvent::End);
        EXPECT_NEAR(ev[1].value, 0.55, 1e-5) << describe(ev);
        EXPECT_NEAR(ev[ev.size() - 2].value, 0.755, 1e-5) << describe(ev);
    }

    // A drag whose release never arrives (the window was hidden mid-drag, which ends the
    // pointer grab): the next press first closes the open gesture, so the host never has two open.
    s.moveTo(193.4, 88.4);
    s.press();
    s.moveTo(193.4, 108.4);
    s.host().unmap();
    s.release();
    s.host().map();
    s.moveTo(84.4, 88.4);
    s.press();
    s.release();
    {
        const auto ev = s.takeEvents(2);
        ASSERT_GE(ev.size(), 5u) << describe(ev);
        int open = 0;
        for (const HostEvent& e : ev)
        {
            open += e.kind == HostEvent::Begin ? 1 : e.kind == HostEvent::End ? -1 : 0;
            EXPECT_LE(open, 1) << describe(ev);
        }
        EXPECT_EQ(open, 0) << describe(ev);
        EXPECT_EQ(ev[0].kind, HostEvent::Begin);
        EXPECT_EQ(ev[0].param, kDist);
        EXPECT_EQ(ev[ev.size() - 2].kind, HostEvent::Begin);
        EXPECT_EQ(ev[ev.size() - 2].param, kLevel);
        EXPECT_EQ(ev.back().kind, HostEvent::End);
        EXPECT_EQ(ev.back().param, kLevel);
    }
}

TEST_F(ClapEditorInput, ClosingTheEditorMidDragEndsTheGesture)
{
    // Dist from 1.0 down by 20 units: 0.9; the host closes the editor before the release.
    s.moveTo(193.4, 88.4);
    s.press();
    s.moveTo(193.4, 108.4);
    ASSERT_TRUE(s.waitFor(hasValue)) << "the drag sent no value";
    s.closeEditor();
    const auto ev = s.takeEvents();
    ASSERT_NO_FATAL_FAILURE(expectOneGesture(ev, kDist));
    EXPECT_NEAR(ev[ev.size() - 2].value, 0.9, 1e-6) << describe(ev);
}

TEST_F(ClapEditorInput, LeavingTheWindowKeepsTheDrag)
{
    // Tone from 0.5; the pointer stays captured while the button is held.
    s.moveTo(302.8, 88.4);
    s.press();
    s.moveTo(600.0, 38.4);   // right of the window, 50 units up: 0.75
    s.moveTo(302.8, 700.0);  // below the window: clamped to 0
    s.moveTo(302.8, 68.4);   // back inside, 20 units up: 0.6
    s.release();
    const auto ev = s.takeEvents();
    ASSERT_NO_FATAL_FAILURE(expectOneGesture(ev, kTone));
    std::vector<double> values;
    for (const HostEvent& e : ev)
        if (e.kind == HostEvent::Value && (values.empty() || values.back() != e.value))
            values.push_back(e.value);
    ASSERT_EQ(values.size(), 3u) << describe(ev);
    EXPECT_NEAR(values[0], 0.75, 1e-6);
    EXPECT_EQ(values[1], 0.0);
    EXPECT_NEAR(values[2], 0.6, 1e-6);
}

TEST_F(ClapEditorInput, HostValueThatIsNoNumberLeavesTheKnobWhereItWas)
{
    // Level NaN and then +inf from the host, each followed by one notch towards the user.
    // Tone changes in the same block: once it shows, the editor has taken Level as well.
    const struct { double level; double tone; double after; } cases[] = {
        { std::numeric_limits<double>::quiet_NaN(), 1.0, -1.2 }, // 0 dB kept
        { std::numeric_limits<double>::infinity(), 0.0, 34.8 },  // held at +36 dB
    };
    RgbImage frame = s.settledFrame();
    s.moveTo(84.4, 88.4);
    frame = s.changedFrame(frame); // the read-out shows
    for (const auto& c : cases)
    {
        s.processBlock({ { kLevel, c.level }, { kTone, c.tone } });
        frame = s.changedFrame(frame);
        s.wheel(false);
        const auto ev = s.takeEvents();
        ASSERT_EQ(ev.size(), 3u) << describe(ev);
        EXPECT_EQ(ev[1].param, kLevel);
        EXPECT_NEAR(ev[1].value, c.after, 1e-5) << c.level;
        frame = s.changedFrame(frame);
    }
}

// The state text is a run of NUL-ended fields; a parameter's value follows its symbol.
std::vector<uint8_t> withValueText(const std::vector<uint8_t>& state, const std::string& symbol, const std::string& text)
{
    std::string s(state.begin(), state.end());
    const std::string key = '\0' + symbol + '\0';
    const size_t from = s.find(key) + key.size();
    s.replace(from, s.find('\0', from) - from, text);
    return std::vector<uint8_t>(s.begin(), s.end());
}

TEST_F(ClapEditorInput, EditorFollowsTheValueThePlugInHolds)
{
    // Level +6 dB from the host, and before the editor's next idle a Level the plug-in does
    // not take: the plug-in keeps +6 dB, so the editor must show it too, and one notch towards
    // the user sends +4.8 dB (not -1.2 from the 0 dB the editor held before). Tone changes
    // with it: once it shows, the editor has taken Level as well.
    const std::vector<uint8_t> damaged =
        withValueText(withValueText(s.instance().saveState(), "tone", "1"), "level", "nan");
    const struct { const char* name; std::function<void()> change; } cases[] = {
        { "damaged state", [&] { EXPECT_TRUE(s.instance().loadState(damaged)); } },
        { "host value that is no number",
          [&] { s.processBlock({ { kLevel, std::numeric_limits<double>::quiet_NaN() }, { kTone, 0.0 } }); } },
    };
    RgbImage frame = s.settledFrame();
    s.moveTo(84.4, 88.4);
    frame = s.changedFrame(frame); // the read-out shows
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        s.processBlock({ { kLevel, 6.0 } });
        c.change();
        frame = s.changedFrame(frame);
        s.wheel(false);
        const auto ev = s.takeEvents();
        ASSERT_EQ(ev.size(), 3u) << describe(ev);
        EXPECT_EQ(ev[1].param, kLevel);
        EXPECT_NEAR(ev[1].value, 4.8, 1e-5);
        frame = s.changedFrame(frame);
    }
}

TEST(ClapEditor, ReopenedEditorShowsTheHostValues)
{
    ClapEditorSession s(1.0);
    REQUIRE_SESSION(s);
    const RgbImage opened = s.settledFrame();
    s.processBlock({ { kTone, 1.0 } });
    s.changedFrame(opened); // the editor has taken the value
    s.closeEditor();
    EXPECT_TRUE(s.processBlock().empty()) << "closing an editor with no drag open sent something";
    s.processBlock({ { kDist, 0.0 } }); // while no editor is open

    // A new editor starts from the defaults and takes the plug-in's values as it opens.
    ASSERT_TRUE(s.openEditor(1.0)) << s.error();
    const RgbImage frame = s.settledFrame();
    ASSERT_EQ(frame.width, 384);
    expectPointerAt(frame, 1.0, kToneKnob, 150.0);
    expectPointerAt(frame, 1.0, kDistKnob, -150.0);
    expectPointerAt(frame, 1.0, kVol, -30.0);
}

// Share of the read-out box's pixels that are light text, 0 when no box is drawn.
double readoutTextShare(const RgbImage& image)
{
    int light = 0, dark = 0;
    for (int y = 455; y < 474; ++y)
        for (int x = 142; x < 242; ++x)
        {
            const uint8_t* p = image.at(x, y);
            const int v = (p[0] + p[1] + p[2]) / 3;
            light += v > 150;
            dark += v < 40;
        }
    return dark > 1000 ? double(light) / (light + dark) : 0.0;
}

TEST(ClapEditor, HostChangeShowsInTheNextFrame)
{
    ClapEditorSession s(1.0);
    REQUIRE_SESSION(s);
    const RgbImage before = s.settledFrame();
    expectPointerAt(before, 1.0, kToneKnob, 0.0);
    EXPECT_EQ(readoutTextShare(before), 0.0) << "read-out drawn with nothing hovered";

    s.processBlock({ { kTone, 1.0 }, { kLevel, -24.0 } });
    const RgbImage after = s.changedFrame(before);
    expectPointerAt(after, 1.0, kToneKnob, 150.0);
    expectPointerAt(after, 1.0, kVol, -150.0);
    expectPointerAt(after, 1.0, kDistKnob, 150.0);

    // Hovering a knob shows its read-out, leaving it takes the read-out away.
    s.moveTo(302.8, 88.4);
    const RgbImage hovered = s.changedFrame(after);
    EXPECT_GT(readoutTextShare(hovered), 0.05);
    if (std::getenv("KORVANE_EDITOR_SCREENSHOTS") != nullptr)
        savePpm(hovered, dumpPath("clap-hover-tone"));
    s.moveTo(192.0, 260.0);
    EXPECT_EQ(readoutTextShare(s.changedFrame(hovered)), 0.0);
}

} // namespace
