#pragma once

#include "EngineConstants.h"

// One capture of the pedal: where on the Dist knob it was taken, how loud it came out,
// and how far its model's output must be delayed (48 kHz samples) to line up with the others.
struct CaptureSpec {
    float position;
    float levelDb;
    float delay;
};

// Ascending in position: the segment search relies on that order.
inline constexpr CaptureSpec kCaptureSpecs[kCaptureCount] = {
    { 0.2f, -44.7f, 5.2f },
    { 0.35f, -26.5f, 0.0f },
    { 0.5f, -24.4f, 0.66f },
    { 0.7f, -21.5f, 0.66f },
    { 0.8f, -20.5f, 3.02f },
    { 1.0f, -18.4f, 4.66f },
};

// Per-capture weights for one Dist value: `linear` for the low band, `power` for the high band.
struct CaptureWeights {
    float linear[kCaptureCount];
    float power[kCaptureCount];
};

// Fills every entry of `out`; at most two neighbouring captures get weight.
// MarvixDsp::computeCaptureWeights is the engine's name for it.
void computeCaptureWeights(float dist, CaptureWeights& out) noexcept;
