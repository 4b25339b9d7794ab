#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "EditorSize.h"
#include "ParameterSpecs.h"

// The editor's layout and the arithmetic of its controls, free of any window so that the
// mapping, the hit tests and the read-out texts can be checked on their own.
// Every position is in design units: the editor's size at scale 1 (EditorSize.h), origin top
// left, y downwards.

constexpr float kDesignWidth = KORVANE_EDITOR_WIDTH;
constexpr float kDesignHeight = KORVANE_EDITOR_HEIGHT;

struct KnobSpec {
    int32_t parameter;   // parameter index the knob edits
    const char* caption; // first word of the read-out
};

constexpr int32_t kKnobCount = 5;

// Table order is drawing order and hit-test order.
constexpr KnobSpec kKnobs[kKnobCount] = {
    { kParamLevel, "VOL" },
    { kParamDist, "DIST" },
    { kParamTone, "TONE" },
    { kParamBlend, "BLEND" },
    { kParamGate, "GATE" },
};
constexpr float kKnobX[kKnobCount] = { 84.4f, 193.4f, 302.8f, 84.4f, 302.8f };
constexpr float kKnobY[kKnobCount] = { 88.4f, 88.4f, 88.4f, 186.8f, 186.8f };
constexpr float kKnobRadius[kKnobCount] = { 31.6f, 31.6f, 31.6f, 24.0f, 24.0f };

// A knob reacts a little outside its painted body.
constexpr float kKnobHitFactor = 1.25f;

constexpr float kFootswitchX = 192.0f;
constexpr float kFootswitchY = 365.2f;
constexpr float kFootswitchRadiusSquared = 2227.84f; // 47.2 squared

constexpr uint32_t kDoubleClickMs = 350;
constexpr float kDragRange = 200.0f;     // design units of travel for the whole range
constexpr float kDragRangeFine = 1000.0f; // with Shift held
constexpr float kWheelStep = 0.02f;       // normalised change per wheel notch

constexpr std::size_t kReadoutSize = 48;

// First knob whose hit circle holds the point, else -1. A point on the circle hits; NaN hits nothing.
inline int knobIndexAt(float x, float y)
{
    for (int k = 0; k < kKnobCount; ++k)
    {
        const float d = kKnobHitFactor * kKnobRadius[k];
        const float dy = y - kKnobY[k];
        const float dx = x - kKnobX[k];
        if (d * d >= dy * dy + dx * dx)
            return k;
    }
    return -1;
}

inline bool footswitchHit(float x, float y)
{
    const float dy = y - kFootswitchY;
    const float dx = x - kFootswitchX;
    return dy * dy + dx * dx <= kFootswitchRadiusSquared;
}

inline float normalizedFromPlain(int32_t parameter, float value)
{
    const ParameterSpec& spec = kParameterSpecs[parameter];
    const float offset = value - spec.min;
    const float span = spec.max - spec.min;
    return offset / span;
}

// Clamped to 0..1 first, so no edit leaves the parameter's range. NaN passes every
// comparison of the clamp and would land on the maximum: it gives the default instead.
inline float plainFromNormalized(int32_t parameter, float normalized)
{
    const ParameterSpec& spec = kParameterSpecs[parameter];
    if (std::isnan(normalized))
        return spec.def;
    const float c = normalized < 0.0f ? 0.0f : (normalized < 1.0f ? normalized : 1.0f);
    return (spec.max - spec.min) * c + spec.min;
}

inline float defaultNormalized(int32_t parameter)
{
    return normalizedFromPlain(parameter, kParameterSpecs[parameter].def);
}

// Where a drag or a wheel notch starts from: the value's place held to 0..1, the default's for NaN.
inline float editStartNormalized(int32_t parameter, float value)
{
    const float n = normalizedFromPlain(parameter, value);
    if (std::isnan(n))
        return defaultNormalized(parameter);
    return n < 0.0f ? 0.0f : (n < 1.0f ? n : 1.0f);
}

// The clock wraps at 2^32 ms; the unsigned difference stays right across the wrap.
inline bool isDoubleClick(int32_t lastKnob, uint32_t lastTime, int32_t knob, uint32_t time)
{
    return knob == lastKnob && static_cast<uint32_t>(time - lastTime) < kDoubleClickMs;
}

// Absolute from the press point, so changing Shift mid-drag re-reads the whole travel.
inline float dragNormalized(float startY, float startValue, float y, bool fine)
{
    const float divisor = fine ? kDragRangeFine : kDragRange;
    return (startY - y) / divisor + startValue;
}

inline float wheelNormalized(float deltaY, float currentNormalized)
{
    return deltaY * kWheelStep + currentNormalized;
}

// Knob rotation in radians: -150 degrees at the minimum, straight up in the middle, +150 at the maximum.
inline float knobAngle(float normalized)
{
    return (normalized * 300.0f - 150.0f) * 3.1415927f / 180.0f;
}

// The scale factor comes from the host unchecked (CLAP's set_scale, VST3's content scale).
// A value no display uses (zero, negative, NaN, absurdly large) falls back to 1, so the window
// size never wraps and the drawing is never mirrored.
inline float usableScale(double scale)
{
    return scale >= 0.25 && scale <= 16.0 ? static_cast<float>(scale) : 1.0f;
}

// Window size for a scale factor, truncated like the host-facing size.
inline uint32_t scaledSize(float scale, float designSize)
{
    return static_cast<uint32_t>(scale * designSize);
}

// Text of the read-out for a knob; returns snprintf's result.
inline int formatReadout(char* buffer, std::size_t size, int32_t knob, const float values[kParamCount])
{
    const int32_t p = kKnobs[knob].parameter;
    const char* const c = kKnobs[knob].caption;
    switch (p)
    {
    case kParamGate:
        if (values[p] <= kGateOffDb)
            return std::snprintf(buffer, size, "%s  off", c);
        return std::snprintf(buffer, size, "%s  %.0f dB", c, static_cast<double>(values[p]));
    case kParamLevel:
        return std::snprintf(buffer, size, "%s  %+.1f dB", c, static_cast<double>(values[p]));
    default:
        return std::snprintf(buffer, size, "%s  %.0f%%", c, static_cast<double>(values[p] * 100.0f));
    }
}
