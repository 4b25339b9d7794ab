#pragma once

#include <cmath>
#include <cstdint>

// The one parameter table: the plug-in core describes its parameters from it and the editor
// reads the same rows for its controls' ranges and defaults.

enum ParameterIndex : uint32_t {
    kParamDist = 0,
    kParamTone,
    kParamLevel,
    kParamBlend,
    kParamBypass,
    kParamGate,
    kParamCount
};

struct ParameterSpec {
    const char* name;
    const char* symbol;
    const char* unit;
    float min;
    float max;
    float def;
};

// Row 4 only keeps rows and indices aligned: Bypass is described through DPF's bypass designation.
constexpr ParameterSpec kParameterSpecs[kParamCount] = {
    { "Dist",   "dist",   "",     0.0f,   1.0f,   1.0f  },
    { "Tone",   "tone",   "",     0.0f,   1.0f,   0.5f  },
    { "Level",  "level",  "dB", -24.0f,  36.0f,   0.0f  },
    { "Blend",  "blend",  "",     0.0f,   1.0f,   1.0f  },
    { "Bypass", "bypass", "",     0.0f,   1.0f,   0.0f  },
    { "Gate",   "gate",   "dB", -80.0f, -30.0f, -80.0f  },
};

// A value from a host, a saved state or the plug-in held to the parameter's range: NaN (a damaged
// state, a faulty host) is no value, so the current one stays, or the default when that is NaN
// too; every number is clamped (Level +100 dB would be a gain of 100000).
inline float heldPlain(int32_t parameter, float value, float current)
{
    const ParameterSpec& spec = kParameterSpecs[parameter];
    const float v = ! std::isnan(value) ? value : (! std::isnan(current) ? current : spec.def);
    return v < spec.min ? spec.min : (v > spec.max ? spec.max : v);
}

// At or below this Gate value the gate is off, and the editor's read-out says so.
constexpr float kGateOffDb = -79.5f;
