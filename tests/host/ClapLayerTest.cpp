// The CLAP module under host behaviour that CLAP allows but an easy-going host never shows:
// no host extensions, streams that move a few bytes per call, a comma-decimal locale,
// events the plug-in has no use for, ids and states that are not the plug-in's own.

#include "HostTestSupport.hpp"

#include "clap/ext/gui.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

namespace {

constexpr uint32_t kBlock = 256;

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#else
constexpr bool kAddressSanitizer = false;
#endif

// Six values away from the defaults, as a host would hold them for a saved session.
const ParamEvent kSession[] = {
    { 0, 0, 0.6 }, { 0, 1, 0.3 }, { 0, 2, 7.5 }, { 0, 3, 0.7 }, { 0, 4, 1.0 }, { 0, 5, -45.5 },
};
const double kDefaults[] = { 1.0, 0.5, 0.0, 1.0, 0.0, -80.0 };

// What the plug-in holds after a value went through its float parameter and its state text.
double asStored(const double value)
{
    return static_cast<double>(static_cast<float>(value));
}

void expectValues(const ClapInstance& inst, const double (&values)[6], const char* what)
{
    for (uint32_t i = 0; i < 6; ++i)
        EXPECT_EQ(inst.paramValue(i), asStored(values[i])) << what << ", parameter " << i;
}

void expectSession(const ClapInstance& inst, const char* what)
{
    double values[6];
    for (const ParamEvent& e : kSession)
        values[e.id] = e.value;
    expectValues(inst, values, what);
}

void expectNothingPrinted(const std::string& text, const char* what)
{
    if (text.empty())
        return;
    const size_t lines = static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
    ADD_FAILURE() << what << " printed " << lines << " line(s) on stderr, the first:\n" << text.substr(0, text.find('\n'));
}

// Holds a block of stereo audio; process calls write the output over the input.
struct Audio
{
    float buf[2][kBlock];
    const float* in[2] = { buf[0], buf[1] };
    float* out[2] = { buf[0], buf[1] };

    void fill(const uint32_t block)
    {
        for (uint32_t i = 0; i < kBlock; ++i)
        {
            buf[0][i] = 0.3f * static_cast<float>(((block * kBlock + i) % 97) - 48) / 48.f;
            buf[1][i] = buf[0][i];
        }
    }
};

clap_event_header_t header(const uint32_t size, const uint32_t time, const uint16_t type,
                           const uint16_t space = CLAP_CORE_EVENT_SPACE_ID)
{
    return { size, time, space, type, 0 };
}

clap_event_param_value_t paramValue(const uint32_t time, const clap_id id, const double value,
                                    const uint16_t space = CLAP_CORE_EVENT_SPACE_ID)
{
    return { header(sizeof(clap_event_param_value_t), time, CLAP_EVENT_PARAM_VALUE, space), id, nullptr, -1, -1, -1, -1, value };
}

clap_event_param_mod_t paramMod(const uint32_t time, const clap_id id, const double amount)
{
    return { header(sizeof(clap_event_param_mod_t), time, CLAP_EVENT_PARAM_MOD), id, nullptr, -1, -1, -1, -1, amount };
}

clap_event_param_gesture_t gesture(const uint32_t time, const uint16_t type, const clap_id id)
{
    return { header(sizeof(clap_event_param_gesture_t), time, type), id };
}

clap_event_transport_t transport(const uint32_t time, const int64_t beats)
{
    clap_event_transport_t t;
    std::memset(&t, 0, sizeof(t));
    t.header = header(sizeof(clap_event_transport_t), time, CLAP_EVENT_TRANSPORT);
    t.flags = CLAP_TRANSPORT_HAS_TEMPO | CLAP_TRANSPORT_HAS_BEATS_TIMELINE | CLAP_TRANSPORT_HAS_TIME_SIGNATURE |
              CLAP_TRANSPORT_IS_PLAYING;
    t.song_pos_beats = beats;
    t.tempo = 120.0;
    t.tsig_num = 4;
    t.tsig_denom = 4;
    return t;
}

// Sets the locale of the whole host process for a scope, as some hosts do at start-up.
class ScopedLocale
{
public:
    explicit ScopedLocale(const char* name)
        : fOld(std::setlocale(LC_ALL, nullptr)),
          fOk(std::setlocale(LC_ALL, name) != nullptr)
    {
    }
    ~ScopedLocale() { std::setlocale(LC_ALL, fOld.c_str()); }
    bool ok() const noexcept { return fOk; }

private:
    std::string fOld;
    bool fOk;
};

} // namespace

TEST(ClapLayer, DescriptorCarriesVersionAndHomePage)
{
    const clap_plugin_descriptor_t* d = clapModule().descriptor(0);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(d->version, "1.1.0");
    EXPECT_STREQ(d->url, "https://drevanok.example/korvane");
}

TEST(ClapLayer, CreationWithAnotherIdIsRefused)
{
    const std::string own = clapModule().descriptor(0)->id;
    for (const std::string& id : { own + "x1", own + " ", own.substr(0, own.size() - 1), std::string("x") })
    {
        SCOPED_TRACE(id);
        EXPECT_THROW(ClapInstance(clapModule(), id), std::runtime_error);
    }
}

TEST(ClapLayer, LatencyIsToldOnlyFromWithinActivate)
{
    ClapInstance inst(clapModule());
    Audio audio;
    const std::vector<uint8_t> state = inst.saveState();
    for (const double rate : { 44100.0, 96000.0, 48000.0, 44100.0 })
    {
        SCOPED_TRACE(rate);
        ASSERT_TRUE(inst.activate(rate, kBlock));
        for (uint32_t b = 0; b < 8; ++b)
        {
            audio.fill(b);
            ASSERT_EQ(inst.process(audio.in, audio.out, kBlock), CLAP_PROCESS_CONTINUE);
        }
        inst.stopProcessing();
        inst.flushParams(kSession, 2);
        ASSERT_TRUE(inst.loadState(state));
        inst.deactivate();
        inst.flushParams(kSession + 2, 2);
        ASSERT_TRUE(inst.loadState(state));
    }
    ASSERT_TRUE(inst.activate(96000, kBlock));
    EXPECT_EQ(inst.latency(), 42u);
    // 0 -> 27 -> 42 -> 0 -> 27 -> 42, each told from the activate that set it
    EXPECT_EQ(inst.requests().latencyChanged.load(), 5);
    EXPECT_EQ(inst.requests().latencyChangedOutsideActivate.load(), 0);
    // a latency known at activation needs no restart
    EXPECT_EQ(inst.requests().restart.load(), 0);
}

TEST(ClapLayer, HostWithoutExtensionsRunsTheWholeLifecycle)
{
    const struct
    {
        const char* name;
        uint32_t extensions;
    } kHosts[] = {
        { "none", 0 },
        { "all but latency", ClapInstance::kAllHostExtensions & ~ClapInstance::kHostLatency },
        { "all but thread-check", ClapInstance::kAllHostExtensions & ~ClapInstance::kHostThreadCheck },
        { "all but params", ClapInstance::kAllHostExtensions & ~ClapInstance::kHostParams },
        { "all but gui", ClapInstance::kAllHostExtensions & ~ClapInstance::kHostGui },
        { "all but timer-support", ClapInstance::kAllHostExtensions & ~ClapInstance::kHostTimerSupport },
        { "all", ClapInstance::kAllHostExtensions },
    };
    for (const auto& host : kHosts)
    {
        SCOPED_TRACE(host.name);
        ClapInstance inst(clapModule(), std::string(), host.extensions);
        inst.flushParams(kSession, 6);
        Audio audio;
        for (const double rate : { 44100.0, 96000.0 })
        {
            ASSERT_TRUE(inst.activate(rate, kBlock));
            EXPECT_EQ(inst.latency(), rate == 44100.0 ? 27u : 42u);
            for (uint32_t b = 0; b < 4; ++b)
            {
                audio.fill(b);
                const ParamEvent ev = { 10, 2, 3.0 + b };
                ASSERT_EQ(inst.process(audio.in, audio.out, kBlock, &ev, 1), CLAP_PROCESS_CONTINUE);
                inst.idle();
            }
            EXPECT_TRUE(allFinite(std::vector<float>(audio.buf[0], audio.buf[0] + kBlock)));
            inst.deactivate();
        }
        inst.flushParams(&kSession[2], 1);
        const std::vector<uint8_t> state = inst.saveState();
        ClapInstance restored(clapModule(), std::string(), host.extensions);
        ASSERT_TRUE(restored.loadState(state));
        expectSession(restored, "restored");

        // the editor needs the host's gui and timer-support; without either it is refused, quietly
        const clap_plugin_gui_t* gui = static_cast<const clap_plugin_gui_t*>(inst.extension(CLAP_EXT_GUI));
        ASSERT_NE(gui, nullptr);
        StderrCapture capture;
        const bool created = gui->create(inst.plugin(), CLAP_WINDOW_API_X11, false);
        expectNothingPrinted(capture.finish(), "gui.create");
        const uint32_t needed = ClapInstance::kHostGui | ClapInstance::kHostTimerSupport;
        EXPECT_EQ(created, (host.extensions & needed) == needed);
        if (created)
            gui->destroy(inst.plugin());
    }
}

TEST(ClapLayer, OrdinaryProcessCallsPrintNothing)
{
    ClapInstance inst(clapModule());
    Audio audio;
    StderrCapture capture;
    for (const double rate : { 44100.0, 48000.0 })
    {
        ASSERT_TRUE(inst.activate(rate, kBlock));
        for (uint32_t b = 0; b < 32; ++b)
        {
            // what a DAW sends while playing with automation and a user at a knob
            const clap_event_transport_t t = transport(0, static_cast<int64_t>(b) * CLAP_BEATTIME_FACTOR / 8);
            const clap_event_param_gesture_t begin = gesture(0, CLAP_EVENT_PARAM_GESTURE_BEGIN, 1);
            const clap_event_param_value_t value = paramValue(10, 1, 0.1 * (b % 10));
            const clap_event_param_mod_t mod = paramMod(20, 0, 0.25);
            const clap_event_param_value_t level = paramValue(100, 2, b % 2 == 0 ? 6.0 : -3.0);
            const clap_event_param_gesture_t end = gesture(200, CLAP_EVENT_PARAM_GESTURE_END, 1);
            const clap_event_header_t* const events[] = { &t.header,   &begin.header, &value.header,
                                                          &mod.header, &level.header, &end.header };
            audio.fill(b);
            ASSERT_EQ(inst.processEvents(audio.in, audio.out, kBlock, events, 6), CLAP_PROCESS_CONTINUE);
            inst.idle();
        }
        ASSERT_EQ(inst.process(audio.in, audio.out, 0), CLAP_PROCESS_CONTINUE);
        inst.stopProcessing();
        const clap_event_param_gesture_t begin = gesture(0, CLAP_EVENT_PARAM_GESTURE_BEGIN, 3);
        const clap_event_param_value_t value = paramValue(0, 3, 0.5);
        const clap_event_param_gesture_t end = gesture(0, CLAP_EVENT_PARAM_GESTURE_END, 3);
        const clap_event_header_t* const flushed[] = { &begin.header, &value.header, &end.header };
        inst.flushEvents(flushed, 3);
        inst.deactivate();
    }
    expectNothingPrinted(capture.finish(), "processing");
    EXPECT_EQ(inst.paramValue(3), 0.5);
}

TEST(ClapLayer, ParameterEventsThatAreNotOursChangeNothing)
{
    // Without a sanitizer a write past the parameter cache goes unseen, but DPF then prints an
    // assertion for the index; with AddressSanitizer the write itself stops the test, and its
    // report must reach the real stderr.
    std::unique_ptr<StderrCapture> capture(kAddressSanitizer ? nullptr : new StderrCapture);
    ClapInstance inst(clapModule());
    const clap_event_param_value_t kEvents[] = {
        paramValue(0, 6, 0.25),
        paramValue(1, 7, 0.25),
        paramValue(2, 1000, 0.25),
        paramValue(3, CLAP_INVALID_ID, 0.25),
        paramValue(4, 0, 0.25, 1),      // Dist, but in another event space
        paramValue(5, 5, -40.0, 0x7fff), // Gate, likewise
    };
    const clap_event_header_t* events[std::size(kEvents)];
    for (size_t i = 0; i < std::size(kEvents); ++i)
        events[i] = &kEvents[i].header;
    const uint32_t count = static_cast<uint32_t>(std::size(kEvents));

    inst.flushEvents(events, count);
    expectValues(inst, kDefaults, "after params.flush");

    Audio audio;
    ASSERT_TRUE(inst.activate(48000, kBlock));
    for (uint32_t b = 0; b < 4; ++b)
    {
        audio.fill(b);
        ASSERT_EQ(inst.processEvents(audio.in, audio.out, kBlock, events, count), CLAP_PROCESS_CONTINUE);
    }
    expectValues(inst, kDefaults, "after process");
    // the core-space events of the same kind still work
    const ParamEvent ok = { 0, 5, -40.0 };
    ASSERT_EQ(inst.process(audio.in, audio.out, kBlock, &ok, 1), CLAP_PROCESS_CONTINUE);
    EXPECT_EQ(inst.paramValue(5), -40.0);
    inst.deactivate();
    if (capture)
    {
        expectNothingPrinted(capture->finish(), "events not for the plug-in");
    }
}

TEST(ClapLayer, StateSurvivesSmallReadsAndWrites)
{
    ClapInstance saved(clapModule());
    saved.flushParams(kSession, 6);
    const std::vector<uint8_t> whole = saved.saveState();
    ASSERT_GT(whole.size(), 100u);
    for (const size_t chunk : { size_t(1), size_t(7), size_t(100), size_t(511) })
    {
        SCOPED_TRACE(chunk);
        EXPECT_EQ(saved.saveState(chunk), whole) << "written in pieces";
        ClapInstance restored(clapModule());
        ASSERT_TRUE(restored.loadState(whole, chunk));
        expectSession(restored, "read in pieces");
    }
}

TEST(ClapLayer, StateRestoresUnderACommaDecimalLocale)
{
    ClapInstance saved(clapModule());
    saved.flushParams(kSession, 6);
    const std::vector<uint8_t> state = saved.saveState();

    const ScopedLocale locale("de_DE.UTF-8");
    ASSERT_TRUE(locale.ok()) << "locale de_DE.UTF-8 is not available on this machine; on Debian: install "
                                "'locales', uncomment de_DE.UTF-8 in /etc/locale.gen and run locale-gen";
    char text[16];
    std::snprintf(text, sizeof(text), "%.1f", 0.5);
    ASSERT_STREQ(text, "0,5") << "the host process does not use a comma as decimal mark";

    ClapInstance restored(clapModule());
    ASSERT_TRUE(restored.loadState(state));
    expectSession(restored, "restored under de_DE");
    EXPECT_EQ(restored.saveState(), state) << "saved under de_DE";
}

TEST(ClapLayer, StatesThatAreNotOursAreRefusedAndChangeNothing)
{
    ClapInstance inst(clapModule());
    inst.flushParams(kSession, 6);
    const std::vector<uint8_t> good = inst.saveState();

    std::vector<uint8_t> random(1 << 20);
    uint32_t x = 0x9e3779b9u;
    for (uint8_t& byte : random)
    {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        byte = static_cast<uint8_t>(x >> 24);
    }
    const std::string foreign("name\0Korvane\0level\0-3\0\xfe", 23); // keys and values, no sections
    // Our own state cut right after Tone's value: Dist and Tone read in full, the rest missing.
    const std::string text(good.begin(), good.end());
    const size_t toneEnd = text.find('\0', text.find(std::string("\0tone\0", 6)) + 6) + 1;
    const auto cut = [&](const size_t size) {
        return std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(size));
    };
    const struct
    {
        const char* name;
        std::vector<uint8_t> data;
    } kStreams[] = {
        { "empty", {} },
        { "random bytes", random },
        { "foreign pairs", std::vector<uint8_t>(foreign.begin(), foreign.end()) },
        { "cut after a value", cut(toneEnd) },
        { "cut in half", cut(good.size() / 2) },
        { "cut before its end", cut(good.size() - 2) },
    };
    // What the instance holds when each stream comes, none of it what the good state holds.
    const double held[] = { 0.2, 0.9, -6.0, 0.25, 0.0, -60.0 };
    ParamEvent heldEvents[6];
    for (uint32_t i = 0; i < 6; ++i)
        heldEvents[i] = { 0, i, held[i] };
    for (const auto& s : kStreams)
    {
        SCOPED_TRACE(s.name);
        for (const size_t chunk : { SIZE_MAX, size_t(7) })
        {
            SCOPED_TRACE(chunk);
            inst.flushParams(heldEvents, 6);
            EXPECT_FALSE(inst.loadState(s.data, chunk));
            expectValues(inst, held, "after the refused load");
        }
    }
    EXPECT_TRUE(inst.loadState(good));
    expectSession(inst, "after the good state");
}
