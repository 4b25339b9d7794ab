#include "KnobLayout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace {

struct HitCase {
    float x, y;
    int knob;
    const char* what;
};

TEST(KnobHitTest, CentresEdgesAndGaps)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const HitCase cases[] = {
        { 84.4f, 88.4f, 0, "VOL centre" },
        { 193.4f, 88.4f, 1, "DIST centre (off the centre line)" },
        { 302.8f, 88.4f, 2, "TONE centre" },
        { 84.4f, 186.8f, 3, "BLEND centre" },
        { 302.8f, 186.8f, 4, "GATE centre" },
        { 84.4f + 39.4f, 88.4f, 0, "just inside the VOL hit circle" },
        { 84.4f + 39.6f, 88.4f, -1, "just outside the VOL hit circle" },
        { 302.8f, 186.8f - 29.9f, 4, "just inside the small GATE hit circle" },
        { 302.8f, 186.8f - 30.1f, -1, "just outside the small GATE hit circle" },
        { 193.4f - 31.6f, 88.4f, 1, "DIST body edge" },
        { 138.9f, 88.4f, -1, "midway between VOL and DIST" },
        { 192.0f, 365.2f, -1, "footswitch" },
        { 192.0f, 464.0f, -1, "read-out box" },
        { -10.0f, -10.0f, -1, "outside the window" },
        { nan, 88.4f, -1, "NaN x" },
        { 84.4f, nan, -1, "NaN y" },
    };
    for (const HitCase& c : cases)
        EXPECT_EQ(knobIndexAt(c.x, c.y), c.knob) << c.what;
}

TEST(KnobHitTest, FootswitchBoundaryCounts)
{
    EXPECT_TRUE(footswitchHit(192.0f, 365.2f));
    EXPECT_TRUE(footswitchHit(239.2f, 365.2f));   // exactly 47.2 right of the centre
    EXPECT_FALSE(footswitchHit(239.3f, 365.2f));
    EXPECT_FALSE(footswitchHit(192.0f, 365.2f + 47.3f));
    EXPECT_FALSE(footswitchHit(std::nanf(""), 365.2f));
}

struct ReadoutCase {
    int knob;
    int parameter;
    float value;
    const char* text;
};

TEST(ValueReadout, TextPerKnobAndRange)
{
    const ReadoutCase cases[] = {
        { 4, kParamGate, -80.0f, "GATE  off" },
        { 4, kParamGate, -79.5f, "GATE  off" },
        { 4, kParamGate, -79.4f, "GATE  -79 dB" },
        { 4, kParamGate, -30.0f, "GATE  -30 dB" },
        { 0, kParamLevel, 0.0f, "VOL  +0.0 dB" },
        { 0, kParamLevel, -24.0f, "VOL  -24.0 dB" },
        { 0, kParamLevel, 36.0f, "VOL  +36.0 dB" },
        { 1, kParamDist, 1.0f, "DIST  100%" },
        { 2, kParamTone, 0.5f, "TONE  50%" },
        { 3, kParamBlend, 0.0f, "BLEND  0%" },
    };
    for (const ReadoutCase& c : cases)
    {
        float values[kParamCount] = { 1.0f, 0.5f, 0.0f, 1.0f, 0.0f, -80.0f };
        values[c.parameter] = c.value;
        char buffer[kReadoutSize];
        formatReadout(buffer, sizeof(buffer), c.knob, values);
        EXPECT_STREQ(buffer, c.text);
    }
}

TEST(ValueReadout, HugeHostValueIsCutNotOverrun)
{
    // Whatever value it is given, the read-out ends inside the buffer.
    volatile float huge = 3.0e38f; // opaque to the compiler, like a value from the host
    float values[kParamCount] = { 1.0f, 0.5f, huge, 1.0f, 0.0f, -80.0f };
    char buffer[kReadoutSize + 8];
    std::memset(buffer, 'x', sizeof(buffer));
    const int wanted = formatReadout(buffer, kReadoutSize, 0, values);
    EXPECT_GT(wanted, static_cast<int>(kReadoutSize));
    EXPECT_EQ(std::strlen(buffer), kReadoutSize - 1);
    EXPECT_EQ(buffer[kReadoutSize], 'x');
}

TEST(NormalisedMapping, DefaultsRoundTripExactly)
{
    // The double-click reset sends plainFromNormalized(defaultNormalized(p)): it must be the
    // table default to the bit, 0 dB and -80 dB included.
    const struct { int parameter; float normalized; } cases[] = {
        { kParamDist, 1.0f }, { kParamTone, 0.5f }, { kParamLevel, 0.4f },
        { kParamBlend, 1.0f }, { kParamGate, 0.0f },
    };
    for (const auto& c : cases)
    {
        EXPECT_FLOAT_EQ(defaultNormalized(c.parameter), c.normalized) << c.parameter;
        EXPECT_EQ(plainFromNormalized(c.parameter, defaultNormalized(c.parameter)),
                  kParameterSpecs[c.parameter].def) << c.parameter;
    }
}

TEST(NormalisedMapping, EditsAreClampedToTheRange)
{
    EXPECT_EQ(plainFromNormalized(kParamLevel, -0.5f), -24.0f);
    EXPECT_EQ(plainFromNormalized(kParamLevel, 1.5f), 36.0f);
    EXPECT_EQ(plainFromNormalized(kParamGate, -1.0f), -80.0f);
    EXPECT_EQ(plainFromNormalized(kParamGate, 2.0f), -30.0f);
    EXPECT_EQ(plainFromNormalized(kParamTone, std::nanf("")), 0.5f); // NaN fails both tests: the default
}

struct HostValueCase {
    int parameter;
    float value;   // from the host
    float current; // the editor's copy before it
    float held;    // what the editor keeps
    const char* what;
};

TEST(NormalisedMapping, HostValuesAreHeldLikeThePlugInHoldsThem)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const HostValueCase cases[] = {
        { kParamLevel, nan, 12.0f, 12.0f, "NaN keeps the current value" },
        { kParamLevel, nan, nan, 0.0f, "NaN with no current number: the default" },
        { kParamLevel, inf, 0.0f, 36.0f, "+inf clamps to the maximum" },
        { kParamLevel, -inf, 0.0f, -24.0f, "-inf clamps to the minimum" },
        { kParamLevel, 40.0f, 0.0f, 36.0f, "above the range" },
        { kParamLevel, 12.345f, 0.0f, 12.345f, "in range: unchanged" },
        { kParamGate, 0.0f, -80.0f, -30.0f, "a damaged gate of 0 dB" },
        { kParamGate, -1e30f, -50.0f, -80.0f, "far below the range" },
        { kParamGate, nan, -50.0f, -50.0f, "NaN Gate" },
        { kParamGate, -79.4f, -80.0f, -79.4f, "in range: unchanged" },
        { kParamDist, nan, 0.35f, 0.35f, "NaN Dist" },
        { kParamTone, 2.0f, 0.5f, 1.0f, "above the range" },
        { kParamBlend, -0.5f, 1.0f, 0.0f, "below the range" },
        { kParamBypass, nan, 1.0f, 1.0f, "NaN Bypass" },
    };
    for (const HostValueCase& c : cases)
        EXPECT_EQ(heldPlain(c.parameter, c.value, c.current), c.held) << c.parameter << ": " << c.what;
}

TEST(NormalisedMapping, EditsFromAValueThatIsNoNumberStartAtTheDefault)
{
    // Even a NaN that reached the copy never sends an edit to the maximum: a wheel notch or a
    // drag starts from the default, a value off the range from its nearer end.
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const KnobSpec& knob : kKnobs)
    {
        const int p = knob.parameter;
        EXPECT_EQ(editStartNormalized(p, nan), defaultNormalized(p)) << knob.caption;
        EXPECT_EQ(editStartNormalized(p, inf), 1.0f) << knob.caption;
        EXPECT_EQ(editStartNormalized(p, -inf), 0.0f) << knob.caption;
    }
    // The report's case: a NaN Level and one notch towards the user.
    EXPECT_NEAR(plainFromNormalized(kParamLevel, wheelNormalized(-1.0f, editStartNormalized(kParamLevel, nan))),
                -1.2f, 1e-5f);
    EXPECT_NEAR(plainFromNormalized(kParamLevel, wheelNormalized(-1.0f, editStartNormalized(kParamLevel, inf))),
                34.8f, 1e-5f);
    EXPECT_EQ(plainFromNormalized(kParamDist, dragNormalized(200.0f, editStartNormalized(kParamDist, nan), 250.0f, false)),
              0.75f);
}

TEST(NormalisedMapping, WheelNotches)
{
    EXPECT_FLOAT_EQ(plainFromNormalized(kParamTone, wheelNormalized(1.0f, 0.5f)), 0.52f);
    const float levelUp = plainFromNormalized(kParamLevel, wheelNormalized(1.0f, defaultNormalized(kParamLevel)));
    const float levelDown = plainFromNormalized(kParamLevel, wheelNormalized(-1.0f, defaultNormalized(kParamLevel)));
    EXPECT_NEAR(levelUp, 1.2000008f, 1e-6f);
    EXPECT_NEAR(levelDown, -1.2f, 1e-5f);
    EXPECT_EQ(plainFromNormalized(kParamGate, wheelNormalized(-1.0f, 0.0f)), -80.0f);
    // 50 notches cover the whole range.
    float n = 0.0f;
    for (int i = 0; i < 50; ++i)
        n = normalizedFromPlain(kParamBlend, plainFromNormalized(kParamBlend, wheelNormalized(1.0f, n)));
    EXPECT_NEAR(n, 1.0f, 1e-5f);
}

TEST(NormalisedMapping, DragTravel)
{
    EXPECT_FLOAT_EQ(dragNormalized(300.0f, 0.0f, 100.0f, false), 1.0f);  // 200 units up
    EXPECT_FLOAT_EQ(dragNormalized(300.0f, 0.0f, 100.0f, true), 0.2f);   // same travel, fine
    EXPECT_FLOAT_EQ(dragNormalized(1100.0f, 0.0f, 100.0f, true), 1.0f);  // 1000 units with Shift
    EXPECT_FLOAT_EQ(dragNormalized(200.0f, 0.5f, 150.0f, false), 0.75f);
    EXPECT_FLOAT_EQ(dragNormalized(200.0f, 0.5f, 250.0f, false), 0.25f); // moving down lowers
    // At scale 2 a 100-pixel move is 50 units: a quarter of the range.
    EXPECT_FLOAT_EQ(dragNormalized(400.0f / 2.0f, 0.0f, 300.0f / 2.0f, false), 0.25f);
    // Far past the end, the clamp holds the value at the end.
    EXPECT_EQ(plainFromNormalized(kParamDist, dragNormalized(200.0f, 0.5f, -900.0f, false)), 1.0f);
}

struct ClickCase {
    int32_t lastKnob;
    uint32_t lastTime;
    int32_t knob;
    uint32_t time;
    bool doubleClick;
    const char* what;
};

TEST(DoubleClick, IntervalKnobAndClockWrap)
{
    const ClickCase cases[] = {
        { 1, 1000, 1, 1349, true, "349 ms apart" },
        { 1, 1000, 1, 1350, false, "350 ms apart" },
        { 1, 1000, 1, 1000, true, "same millisecond" },
        { 0, 1000, 1, 1100, false, "different knobs" },
        { -1, 0, 0, 100, false, "first press after opening" },
        { 2, 0xFFFFFF00u, 2, 0x00000020u, true, "across the wrap, 288 ms" },
        { 2, 0xFFFFFF00u, 2, 0x0000005Eu, false, "across the wrap, 350 ms" },
        { 2, 5000, 2, 4990, false, "clock stepped back" },
    };
    for (const ClickCase& c : cases)
        EXPECT_EQ(isDoubleClick(c.lastKnob, c.lastTime, c.knob, c.time), c.doubleClick) << c.what;
}

TEST(KnobDrawing, AnglesAtRangePoints)
{
    const float deg = 3.1415927f / 180.0f;
    EXPECT_NEAR(knobAngle(0.0f), -150.0f * deg, 1e-6f);
    EXPECT_NEAR(knobAngle(0.5f), 0.0f, 1e-6f);
    EXPECT_NEAR(knobAngle(1.0f), 150.0f * deg, 1e-6f);
    EXPECT_NEAR(knobAngle(normalizedFromPlain(kParamLevel, 0.0f)), -30.0f * deg, 1e-5f);
}

TEST(KnobDrawing, WindowSizePerScaleFactor)
{
    const struct { float scale; uint32_t width, height; } cases[] = {
        { 1.0f, 384, 498 }, { 1.25f, 480, 622 }, { 1.5f, 576, 747 }, { 2.0f, 768, 996 },
    };
    for (const auto& c : cases)
    {
        EXPECT_EQ(scaledSize(c.scale, kDesignWidth), c.width) << c.scale;
        EXPECT_EQ(scaledSize(c.scale, kDesignHeight), c.height) << c.scale;
    }
}

TEST(KnobDrawing, HostScaleFactorsThatNoDisplayUsesFallBackToOne)
{
    const struct { double given; float used; } cases[] = {
        { 1.0, 1.0f }, { 1.25, 1.25f }, { 2.0, 2.0f }, { 0.25, 0.25f }, { 16.0, 16.0f },
        { 0.0, 1.0f }, { -2.0, 1.0f }, { 0.1, 1.0f }, { 1e9, 1.0f },
        { std::numeric_limits<double>::quiet_NaN(), 1.0f },
        { std::numeric_limits<double>::infinity(), 1.0f },
    };
    for (const auto& c : cases)
        EXPECT_EQ(usableScale(c.given), c.used) << c.given;
}

} // namespace
