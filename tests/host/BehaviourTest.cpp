// What a DAW hears and sees through either module: latency, audio at all rates and block
// sizes, parameters by events, bypass, blend, level, gate, state, activation and instances.

#include "AllocationCounter.hpp"
#include "HostTestSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>

namespace {

enum : uint32_t
{
    kDist = 0,
    kTone = 1,
    kLevel = 2,
    kBlend = 3,
    kBypass = 4,
    kGate = 5
};

class HostBehaviour : public ::testing::TestWithParam<Format>
{
protected:
    std::unique_ptr<HostedPlugin> make(const std::vector<std::pair<uint32_t, double>>& values = {},
                                       const double rate = 0.0)
    {
        std::unique_ptr<HostedPlugin> p = HostedPlugin::create(GetParam());
        if (!values.empty())
            p->setValues(values);
        if (rate > 0.0)
            p->activate(rate);
        return p;
    }
};

std::vector<uint32_t> mixedBlocks(const uint32_t seed)
{
    std::vector<uint32_t> blocks = { 1, 64, 512, 2048, 5000 };
    const std::vector<uint32_t> random = randomBlocks(seed, 200, 3000);
    blocks.insert(blocks.end(), random.begin(), random.end());
    return blocks;
}

void expectEqualSignals(const std::vector<float>& a, const std::vector<float>& b, const char* what)
{
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i)
    {
        if (a[i] != b[i])
        {
            ADD_FAILURE() << what << ": first difference at sample " << i << ": " << a[i] << " vs " << b[i];
            return;
        }
    }
}

double relativeDifference(const std::vector<float>& a, const std::vector<float>& b, size_t from, size_t to)
{
    double diff = 0.0, ref = 0.0;
    for (size_t i = from; i < to; ++i)
    {
        diff += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
        ref += static_cast<double>(b[i]) * b[i];
    }
    return ref > 0.0 ? std::sqrt(diff / ref) : std::sqrt(diff);
}

} // namespace

TEST_P(HostBehaviour, LatencyFollowsTheRateAcrossActivations)
{
    struct Row
    {
        double rate;
        uint32_t latency; // 0 means: any value up to the dry ring's 1023
    };
    const Row rows[] = { { 44100, 27 }, { 48000, 0 }, { 96000, 42 }, { 22050, 0 }, { 88200, 0 },
                         { 192000, 0 }, { 44100, 27 }, { 48000.5, 0 } };
    std::unique_ptr<HostedPlugin> p = make();
    for (const Row& row : rows)
    {
        p->activate(row.rate);
        const uint32_t latency = p->latency();
        if (row.latency != 0 || row.rate == 48000.0 || row.rate == 48000.5)
            EXPECT_EQ(latency, row.latency) << row.rate << " Hz";
        else
            EXPECT_TRUE(latency > 0 && latency <= 1023) << row.rate << " Hz: " << latency;
        p->deactivate();
    }
}

TEST_P(HostBehaviour, AudioIsFiniteAndDualMonoAtEveryRateAndBlockSize)
{
    for (const double rate : { 22050.0, 44100.0, 48000.0, 88200.0, 96000.0, 192000.0 })
    {
        SCOPED_TRACE(rate);
        std::unique_ptr<HostedPlugin> p = make({}, rate);
        const Stereo in = bassSignal(rate, 0.25, 0.5f, 3);
        // Dist sweeps across the captures while the blocks change size.
        std::vector<TimedEvent> events;
        for (size_t f = 0, k = 0; f < in.size(); f += in.size() / 16, ++k)
            events.push_back({ f, kDist, static_cast<double>(k % 9) / 8.0 });
        const Stereo out = render(*p, in, mixedBlocks(static_cast<uint32_t>(rate)), events);
        EXPECT_TRUE(allFinite(out.l));
        expectEqualSignals(out.l, out.r, "left and right");
        EXPECT_GT(rms(out.l, 0, out.size()), 1e-4);
    }
}

TEST_P(HostBehaviour, FiveThousandFramesMatchThreeChunkedCalls)
{
    for (const double rate : { 44100.0, 48000.0 })
    {
        SCOPED_TRACE(rate);
        const Stereo in = bassSignal(rate, 0.5, 0.4f, 5);
        std::unique_ptr<HostedPlugin> whole = make({}, rate);
        std::unique_ptr<HostedPlugin> split = make({}, rate);
        std::unique_ptr<HostedPlugin> empty = make({}, rate);
        const Stereo a = render(*whole, in, { 5000 });
        const Stereo b = render(*split, in, { 2048, 2048, 904 });
        // calls of zero frames in between change nothing
        const Stereo c = render(*empty, in, { 0, 2048, 0, 2048, 0, 904 });
        expectEqualSignals(a.l, b.l, "5000 against 2048+2048+904");
        expectEqualSignals(a.l, c.l, "with calls of zero frames");
    }
}

TEST_P(HostBehaviour, InPlaceMatchesSeparateBuffers)
{
    const Stereo in = bassSignal(44100, 0.3, 0.5f, 7);
    const std::vector<uint32_t> blocks = mixedBlocks(11);
    std::unique_ptr<HostedPlugin> a = make({}, 44100);
    std::unique_ptr<HostedPlugin> b = make({}, 44100);
    const Stereo apart = render(*a, in, blocks);
    const Stereo inPlace = render(*b, in, blocks, {}, true);
    expectEqualSignals(apart.l, inPlace.l, "left");
    expectEqualSignals(apart.r, inPlace.r, "right");
}

TEST_P(HostBehaviour, BlendZeroIsTheDelayedMonoInputWhateverElseIsSet)
{
    const std::vector<std::pair<uint32_t, double>> rows[] = {
        { { kBlend, 0.0 } },
        { { kBlend, 0.0 }, { kLevel, 36.0 }, { kGate, -30.0 } },
        { { kBlend, 0.0 }, { kDist, 0.0 }, { kTone, 1.0 } },
    };
    for (const double rate : { 44100.0, 48000.0, 96000.0 })
    {
        for (size_t r = 0; r < std::size(rows); ++r)
        {
            SCOPED_TRACE(testing::Message() << rate << " Hz, row " << r);
            std::unique_ptr<HostedPlugin> p = make(rows[r], rate);
            const Stereo in = bassSignal(rate, 0.2, 0.7f, static_cast<uint32_t>(r + 1));
            const Stereo out = render(*p, in, mixedBlocks(static_cast<uint32_t>(r)), {}, r % 2 == 1);
            const std::vector<float> dry = delayedMono(in, p->latency());
            expectEqualSignals(out.l, dry, "left against the delayed mono input");
            expectEqualSignals(out.r, dry, "right against the delayed mono input");
        }
    }
}

TEST_P(HostBehaviour, LevelScalesTheWetSignalByItsGain)
{
    struct Row
    {
        double level;
        double gain;
    };
    for (const Row row : { Row{ 36.0, 63.09575 }, Row{ -24.0, 0.06309573 } })
    {
        SCOPED_TRACE(row.level);
        std::unique_ptr<HostedPlugin> ref = make({}, 44100);
        std::unique_ptr<HostedPlugin> p = make({ { kLevel, row.level } }, 44100);
        const Stereo in = bassSignal(44100, 0.3, 0.5f, 2);
        const std::vector<uint32_t> blocks = mixedBlocks(4);
        const Stereo a = render(*ref, in, blocks);
        const Stereo b = render(*p, in, blocks);
        size_t checked = 0;
        for (size_t i = 0; i < a.size(); ++i)
        {
            if (std::fabs(a.l[i]) < 1e-3f)
                continue;
            ASSERT_NEAR(b.l[i] / a.l[i], row.gain, row.gain * 2e-6) << "sample " << i;
            ++checked;
        }
        EXPECT_GT(checked, a.size() / 4);
    }
}

TEST_P(HostBehaviour, BypassFadesToTheDelayedMonoInputAndBack)
{
    const double rate = 44100;
    const Stereo in = bassSignal(rate, 0.7, 0.5f, 9);
    const size_t on = static_cast<size_t>(0.1 * rate), off = static_cast<size_t>(0.45 * rate);
    const std::vector<uint32_t> blocks = randomBlocks(3, 400, 96);
    std::unique_ptr<HostedPlugin> ref = make({}, rate);
    std::unique_ptr<HostedPlugin> p = make({}, rate);
    const Stereo wet = render(*ref, in, blocks);
    const Stereo out = render(*p, in, blocks, { { on, kBypass, 1.0 }, { off, kBypass, 0.0 } });
    const std::vector<float> dry = delayedMono(in, p->latency());
    expectEqualSignals(out.l, out.r, "left and right");
    ASSERT_GT(relativeDifference(wet.l, dry, 0, wet.size()), 1e-2) << "the effect should not sound like its input";

    // the 20 ms smoothing: 3 ms after the switch (one block late at most) it is still mostly wet
    const size_t from = on + 96, to = from + static_cast<size_t>(0.003 * rate);
    EXPECT_GT(relativeDifference(out.l, dry, from, to), 0.5 * relativeDifference(wet.l, dry, from, to));
    // 250 ms later the wet part is gone: the mono sum remains, not the untouched stereo input,
    // up to the block that carries the switch back (a change may act from its block's start)
    const size_t settled = on + static_cast<size_t>(0.25 * rate);
    for (size_t i = settled; i < off - 96; ++i)
        ASSERT_NEAR(out.l[i], dry[i], 1e-4) << "sample " << i;
    EXPECT_GT(relativeDifference(out.l, in.l, settled, off), 1e-2);
    // and the effect comes back
    const size_t back = off + static_cast<size_t>(0.25 * rate);
    EXPECT_LT(relativeDifference(out.l, wet.l, back, out.size()), 1e-3);
}

TEST_P(HostBehaviour, GateSwitchesOnOnlyAboveMinus79Point5)
{
    struct Row
    {
        double gate;
        bool changesSound;
    };
    Stereo in = silence(48000, 0.02);
    in.append(bassSignal(48000, 0.2, 0.4f, 6));
    std::unique_ptr<HostedPlugin> ref = make({}, 48000);
    const Stereo a = render(*ref, in, { 256 });
    for (const Row row : { Row{ -80.0, false }, Row{ -79.5, false }, Row{ -79.4, true } })
    {
        SCOPED_TRACE(row.gate);
        std::unique_ptr<HostedPlugin> p = make({ { kGate, row.gate } }, 48000);
        const Stereo b = render(*p, in, { 256 });
        if (row.changesSound)
            EXPECT_GT(relativeDifference(b.l, a.l, 0, a.size()), 0.0);
        else
            expectEqualSignals(b.l, a.l, "gate off");
    }
}

TEST_P(HostBehaviour, GateAtMinus30ClosesOpensAndHoldsBetweenThresholds)
{
    // open above 0.0316, closed below 0.0158; 0.025 is in between and keeps the state
    struct Segment
    {
        double seconds;
        float amplitude;
    };
    const Segment segments[] = { { 0.15, 0.3f }, { 0.2, 0.025f }, { 0.6, 0.005f }, { 0.2, 0.025f }, { 0.1, 0.3f } };
    for (const double rate : { 48000.0, 44100.0 })
    {
        SCOPED_TRACE(rate);
        Stereo in;
        std::vector<size_t> starts;
        for (const Segment& s : segments)
        {
            starts.push_back(in.size());
            in.append(sineSignal(rate, s.seconds, 440.0, s.amplitude));
        }
        starts.push_back(in.size());

        std::unique_ptr<HostedPlugin> open = make({}, rate);
        std::unique_ptr<HostedPlugin> gated = make({ { kGate, -30.0 } }, rate);
        const std::vector<uint32_t> blocks = randomBlocks(8, 300, 1024);
        const Stereo a = render(*open, in, blocks);
        const Stereo b = render(*gated, in, blocks);
        const size_t ms = static_cast<size_t>(rate / 1000);
        const uint32_t lat = gated->latency();

        // loud, then between the thresholds: the gate stays open
        EXPECT_LT(relativeDifference(b.l, a.l, starts[0] + 20 * ms, starts[2] + lat), 1e-5);
        // quiet: closed, the wet part fades with 60 ms towards silence
        const size_t quietEnd = starts[3] + lat;
        ASSERT_GT(rms(a.l, quietEnd - 200 * ms, quietEnd), 1e-6) << "the effect is silent: nothing to gate";
        EXPECT_LT(rms(b.l, quietEnd - 200 * ms, quietEnd), 0.01 * rms(a.l, quietEnd - 200 * ms, quietEnd));
        EXPECT_GT(rms(b.l, starts[2] + lat + 20 * ms, starts[2] + lat + 60 * ms),
                  0.2 * rms(a.l, starts[2] + lat + 20 * ms, starts[2] + lat + 60 * ms))
            << "the close should fade, not cut";
        // between the thresholds again: stays closed
        EXPECT_LT(rms(b.l, starts[3] + lat, starts[4] + lat), 0.01 * rms(a.l, starts[3] + lat, starts[4] + lat));
        // loud again: open within a few milliseconds
        EXPECT_LT(relativeDifference(b.l, a.l, starts[4] + lat + 10 * ms, starts[5]), 1e-3);
    }
}

TEST_P(HostBehaviour, EventsWithinBlocksReachTheSoundAndTheValues)
{
    const Stereo in = bassSignal(48000, 0.3, 0.5f, 12);
    std::unique_ptr<HostedPlugin> ref = make({}, 48000);
    std::unique_ptr<HostedPlugin> p = make({}, 48000);
    const std::vector<uint32_t> blocks = { 1000 };
    // three parameters change in the middle of the third block
    const std::vector<TimedEvent> events = { { 2500, kDist, 0.2 }, { 2500, kTone, 0.9 }, { 2700, kLevel, -6.0 } };
    const Stereo a = render(*ref, in, blocks);
    const Stereo b = render(*p, in, blocks, events);
    const std::vector<float> before(b.l.begin(), b.l.begin() + 2000), refBefore(a.l.begin(), a.l.begin() + 2000);
    expectEqualSignals(before, refBefore, "blocks before the changes");
    EXPECT_GT(relativeDifference(b.l, a.l, 4000, b.size()), 1e-2);
    EXPECT_NEAR(p->value(kDist), 0.2, 1e-6);
    EXPECT_NEAR(p->value(kTone), 0.9, 1e-6);
    EXPECT_NEAR(p->value(kLevel), -6.0, 1e-5);
    EXPECT_NEAR(p->value(kBlend), 1.0, 1e-6);
}

TEST_P(HostBehaviour, StateBringsBackTheSixValuesAndTheSound)
{
    const std::vector<std::pair<uint32_t, double>> rows[] = {
        { { kDist, 0.35 }, { kTone, 0.8 }, { kLevel, -6.0 }, { kBlend, 0.7 }, { kBypass, 0.0 }, { kGate, -50.0 } },
        { { kDist, 0.8 }, { kTone, 0.125 }, { kLevel, 12.5 }, { kBlend, 0.25 }, { kBypass, 1.0 }, { kGate, -35.0 } },
    };
    for (const auto& row : rows)
    {
        std::unique_ptr<HostedPlugin> saved = make(row, 44100);
        const Stereo in = bassSignal(44100, 0.2, 0.5f, 13);
        render(*saved, in, { 333 });
        const std::vector<uint8_t> state = saved->saveState();

        std::unique_ptr<HostedPlugin> restored = make();
        ASSERT_TRUE(restored->loadState(state));
        for (const auto& v : row)
            EXPECT_NEAR(restored->value(v.first), v.second, 1e-5) << "parameter " << v.first;

        saved->deactivate();
        saved->activate(44100);
        restored->activate(44100);
        const std::vector<uint32_t> blocks = mixedBlocks(14);
        const Stereo a = render(*saved, in, blocks);
        const Stereo b = render(*restored, in, blocks);
        expectEqualSignals(b.l, a.l, "restored against saved");
    }
}

TEST_P(HostBehaviour, DamagedStateLeavesAWorkingPlugin)
{
    const std::vector<uint8_t> good = make({ { kDist, 0.3 } })->saveState();
    std::vector<uint8_t> garbage(300);
    for (size_t i = 0; i < garbage.size(); ++i)
        garbage[i] = static_cast<uint8_t>((i * 37) ^ 0x5a);
    const std::vector<std::vector<uint8_t>> damaged = {
        {},
        std::vector<uint8_t>(good.begin(), good.begin() + good.size() / 2),
        std::vector<uint8_t>(good.begin(), good.end() - 1),
        garbage,
    };
    for (size_t k = 0; k < damaged.size(); ++k)
    {
        SCOPED_TRACE(k);
        std::unique_ptr<HostedPlugin> p = make();
        p->loadState(damaged[k]); // either answer will do; what matters is what follows
        for (uint32_t i = 0; i < 6; ++i)
            EXPECT_TRUE(std::isfinite(p->value(i))) << "parameter " << i;
        p->activate(48000);
        const Stereo out = render(*p, bassSignal(48000, 0.1, 0.5f, 24), { 256 });
        EXPECT_TRUE(allFinite(out.l));
    }
}

TEST_P(HostBehaviour, ReactivationStartsAfreshAtAnyRate)
{
    const Stereo in = bassSignal(44100, 0.25, 0.5f, 15);
    const std::vector<uint32_t> blocks = mixedBlocks(16);
    std::unique_ptr<HostedPlugin> p = make({ { kGate, -60.0 }, { kBlend, 0.8 } }, 44100);
    const Stereo first = render(*p, in, blocks);
    for (const double rate : { 96000.0, 48000.0, 44100.0 })
    {
        p->deactivate();
        p->activate(rate);
        render(*p, bassSignal(rate, 0.1, 0.3f, 17), { 700 });
    }
    p->deactivate();
    p->activate(44100);
    EXPECT_EQ(p->latency(), 27u);
    const Stereo again = render(*p, in, blocks);
    expectEqualSignals(again.l, first.l, "after reactivation");
}

TEST_P(HostBehaviour, InstancesInOneProcessAreIndependent)
{
    const Stereo in = bassSignal(44100, 0.3, 0.5f, 18);
    const std::vector<std::pair<uint32_t, double>> settings = { { kDist, 0.5 }, { kGate, -60.0 } };
    std::unique_ptr<HostedPlugin> alone = make(settings, 44100);
    const Stereo reference = render(*alone, in, { 512 });

    std::unique_ptr<HostedPlugin> a = make(settings, 44100);
    // the other busy instance is of the other format: both modules share this process too
    std::unique_ptr<HostedPlugin> b = HostedPlugin::create(GetParam() == Format::Clap ? Format::Vst3 : Format::Clap);
    b->setValues({ { kDist, 0.9 }, { kLevel, 20.0 } });
    b->activate(96000);
    std::unique_ptr<HostedPlugin> c = make({ { kDist, 0.1 }, { kBlend, 0.5 } }, 48000);
    const Stereo other = bassSignal(96000, 0.6, 0.8f, 19);
    Stereo outA = in, outB = other;
    for (size_t pos = 0, posB = 0; pos < in.size(); pos += 512, posB += 1100)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(512, in.size() - pos));
        const float* ia[2] = { in.l.data() + pos, in.r.data() + pos };
        float* oa[2] = { outA.l.data() + pos, outA.r.data() + pos };
        a->process(ia, oa, n);
        if (posB + 1100 <= other.size())
        {
            const float* ib[2] = { other.l.data() + posB, other.r.data() + posB };
            float* ob[2] = { outB.l.data() + posB, outB.r.data() + posB };
            b->process(ib, ob, 1100, nullptr, 0);
            c->process(ib, ob, 700, nullptr, 0);
        }
    }
    expectEqualSignals(outA.l, reference.l, "instance beside another");
}

TEST_P(HostBehaviour, NonFiniteInputSamplesDoNotPoisonTheOutput)
{
    // a broken upstream plug-in may hand over NaN or infinity: the wet and the dry path must
    // both stay finite and keep making sound afterwards
    Stereo in = bassSignal(44100, 0.4, 0.5f, 22);
    in.l[1000] = std::nanf("");
    in.r[1001] = INFINITY;
    in.l[5000] = -INFINITY;
    in.r[5000] = std::nanf("");
    for (const double blend : { 1.0, 0.5, 0.0 })
    {
        SCOPED_TRACE(blend);
        std::unique_ptr<HostedPlugin> p = make({ { kBlend, blend }, { kGate, -60.0 } }, 44100);
        const Stereo out = render(*p, in, mixedBlocks(23));
        EXPECT_TRUE(allFinite(out.l));
        EXPECT_TRUE(allFinite(out.r));
        EXPECT_GT(rms(out.l, out.size() / 2, out.size()), 1e-3);
    }
}

TEST_P(HostBehaviour, ProcessingMakesNoHeapCalls)
{
    CountingObserver counter;
    std::unique_ptr<HostedPlugin> p = make();
    p->setProcessObserver(&counter);
    for (const double rate : { 44100.0, 48000.0, 96000.0 })
    {
        SCOPED_TRACE(rate);
        p->activate(rate);
        const Stereo in = bassSignal(rate, 0.4, 0.5f, 20);
        std::vector<TimedEvent> events;
        for (size_t f = 0, k = 0; f < in.size(); f += 700, ++k)
        {
            events.push_back({ f, kDist, static_cast<double>(k % 11) / 10.0 });
            events.push_back({ f, kTone, static_cast<double>(k % 7) / 6.0 });
            events.push_back({ f, static_cast<uint32_t>(k % 2 == 0 ? kLevel : kBlend), k % 2 == 0 ? 6.0 : 0.5 });
            events.push_back({ f, kGate, k % 3 == 0 ? -40.0 : -80.0 });
            events.push_back({ f, kBypass, k % 5 == 4 ? 1.0 : 0.0 });
        }
        render(*p, in, mixedBlocks(21), events);
        EXPECT_EQ(counter.count(), 0u);
        p->deactivate();
    }
}

TEST_P(HostBehaviour, AllocationCounterSeesTheModulesOwnHeapCalls)
{
    std::unique_ptr<HostedPlugin> p = make();
    AllocationCounter::start();
    const std::vector<uint8_t> state = p->saveState();
    const uint64_t calls = AllocationCounter::stop();
    // the state text is built with the module's own strings: if these are not seen, a zero
    // count while processing proves nothing
    EXPECT_GT(calls, 1u);
    EXPECT_FALSE(state.empty());
}

INSTANTIATE_TEST_SUITE_P(Formats, HostBehaviour, ::testing::Values(Format::Clap, Format::Vst3),
                         [](const ::testing::TestParamInfo<Format>& p) { return formatName(p.param); });
