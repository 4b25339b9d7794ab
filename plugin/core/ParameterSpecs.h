#pragma once

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

// At or below this Gate value the gate is off, and the editor's read-out says so.
constexpr float kGateOffDb = -79.5f;
