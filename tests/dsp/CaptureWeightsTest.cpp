#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>

#include "CaptureWeights.h"

namespace {

std::string sixDigits(float v)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%.6g", static_cast<double>(v));
    return text;
}

void fillStale(CaptureWeights& w)
{
    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        w.linear[i] = std::numeric_limits<float>::quiet_NaN();
        w.power[i] = 7.0f;
    }
}

struct WeightCase {
    float dist;
    float linear[kCaptureCount];
    float power[kCaptureCount];
};

const float kNaN = std::numeric_limits<float>::quiet_NaN();

const WeightCase kWorkedTable[] = {
    { 0.0f, { 0.000025f }, { 0.000025f } },
    { 0.001f, { 0.000025f }, { 0.000025f } },
    { -3.0f, { 0.000025f }, { 0.000025f } },
    { kNaN, { 0.000025f }, { 0.000025f } },
    { 0.1f, { 0.25f }, { 0.25f } },
    { 0.2f, { 1.0f }, { 1.0f } },
    { 0.25f, { 1.34042f, 0.0824541f }, { 1.48342f, 0.108516f } },
    { 0.35f, { 0, 1.0f }, { 0, 1.0f } },
    { 0.5f, { 0, 0, 1.0f }, { 0, 0, 1.0f } },
    { 0.6f, { 0, 0, 0.590840f, 0.423126f }, { 0, 0, 0.702631f, 0.503185f } },
    { 0.7f, { 0, 0, 0, 1.0f }, { 0, 0, 0, 1.0f } },
    { 0.75f, { 0, 0, 0, 0.529627f, 0.472030f }, { 0, 0, 0, 0.629836f, 0.561342f } },
    { 0.8f, { 0, 0, 0, 0, 1.0f }, { 0, 0, 0, 0, 1.0f } },
    { 1.0f, { 0, 0, 0, 0, 0, 1.0f }, { 0, 0, 0, 0, 0, 1.0f } },
    { 1.7f, { 0, 0, 0, 0, 0, 1.0f }, { 0, 0, 0, 0, 0, 1.0f } },
};

} // namespace

// Every case starts from a record full of stale values: all twelve entries must be rewritten.
TEST(CaptureWeights, WorkedValuesToSixDigitsFromStaleRecords)
{
    for (const WeightCase& c : kWorkedTable)
    {
        SCOPED_TRACE("dist " + sixDigits(c.dist));
        CaptureWeights w;
        fillStale(w);
        computeCaptureWeights(c.dist, w);
        for (uint32_t i = 0; i < kCaptureCount; ++i)
        {
            SCOPED_TRACE("capture " + std::to_string(i));
            if (c.linear[i] == 0.0f)
                EXPECT_EQ(w.linear[i], 0.0f);
            else
                EXPECT_EQ(sixDigits(w.linear[i]), sixDigits(c.linear[i]));
            if (c.power[i] == 0.0f)
                EXPECT_EQ(w.power[i], 0.0f);
            else
                EXPECT_EQ(sixDigits(w.power[i]), sixDigits(c.power[i]));
        }
    }
}

// Anywhere above 0.2 exactly the segment's two captures carry weight, and the blend is
// continuous: just above 0.2 it is still almost capture 0 alone.
TEST(CaptureWeights, TwoAdjacentCapturesBetweenPositions)
{
    for (int step = 1; step < 4000; ++step)
    {
        const float d = 0.2f + 0.8f * static_cast<float>(step) / 4000.0f;
        bool onPosition = false;
        for (const CaptureSpec& spec : kCaptureSpecs)
            onPosition = onPosition || d == spec.position;
        if (onPosition)
            continue;

        uint32_t a = 0;
        while (a + 1 < kCaptureCount - 1 && d > kCaptureSpecs[a + 1].position)
            ++a;
        CaptureWeights w;
        fillStale(w);
        computeCaptureWeights(d, w);
        float linearSum = 0.0f, powerSum = 0.0f;
        for (uint32_t i = 0; i < kCaptureCount; ++i)
        {
            const bool inPair = i == a || i == a + 1;
            EXPECT_EQ(w.linear[i] > 0.0f, inPair) << "dist " << d << " capture " << i;
            EXPECT_EQ(w.power[i] > 0.0f, inPair) << "dist " << d << " capture " << i;
            if (!inPair)
            {
                EXPECT_EQ(w.linear[i], 0.0f);
                EXPECT_EQ(w.power[i], 0.0f);
            }
            linearSum += w.linear[i];
            powerSum += w.power[i];
        }
        // The high band's law weighs the middle of a segment more.
        EXPECT_GT(powerSum, linearSum) << "dist " << d;
    }

    CaptureWeights justAbove;
    computeCaptureWeights(std::nextafter(0.2f, 1.0f), justAbove);
    EXPECT_NEAR(justAbove.linear[0], 1.0f, 1e-5f);
    EXPECT_NEAR(justAbove.power[0], 1.0f, 1e-4f);
    EXPECT_LT(justAbove.linear[1], 1e-5f);
    EXPECT_LT(justAbove.power[1], 1e-4f);
}
