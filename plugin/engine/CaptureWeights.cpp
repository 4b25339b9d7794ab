#include "CaptureWeights.h"

#include <math.h>

void computeCaptureWeights(float dist, CaptureWeights& out) noexcept
{
    for (uint32_t i = 0; i < kCaptureCount; ++i)
    {
        out.linear[i] = 0.0f;
        out.power[i] = 0.0f;
    }

    // Written so that NaN lands on the lower bound.
    float d = dist > 0.001f ? dist : 0.001f;
    if (d > 1.0f)
        d = 1.0f;

    // Below the first capture it fades out with the square of Dist, meeting the crossfade at 0.2.
    if (!(d > kCaptureSpecs[0].position))
    {
        const float w = (d * d) * 25.0f;
        out.linear[0] = w;
        out.power[0] = w;
        return;
    }

    uint32_t a = 0;
    for (uint32_t k = 1; k < kCaptureCount - 1; ++k)
    {
        if (d > kCaptureSpecs[k].position)
            a = k;
        else
            break;
    }
    const uint32_t b = a + 1;
    const CaptureSpec& lo = kCaptureSpecs[a];
    const CaptureSpec& hi = kCaptureSpecs[b];

    float t = (d - lo.position) / (hi.position - lo.position);
    if (t > 1.0f)
        t = 1.0f;

    // Both captures are brought to the level interpolated in dB between their own levels.
    const float dDb = hi.levelDb - lo.levelDb;
    const float gA = powf(10.0f, (dDb * t) * 0.05f);
    const float gB = powf(10.0f, (((dDb * t) + lo.levelDb) - hi.levelDb) * 0.05f);

    out.linear[a] = gA * (1.0f - t);
    out.linear[b] = gB * t;
    out.power[a] = t < 1.0f ? powf(1.0f - t, 0.75f) * gA : 0.0f;
    out.power[b] = t > 0.0f ? powf(t, 0.75f) * gB : 0.0f;
}
