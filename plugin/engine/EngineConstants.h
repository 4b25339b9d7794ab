#pragma once

#include <cstdint>

// Figures shared by the engine, the plug-in core and the rate adapter.
// Every model, the tone filter and the render side of the rate adapter run at this rate.
constexpr double kRenderSampleRate = 48000.0;
// Largest host-rate chunk: the plug-in core's chunk, the engine's host buffer, the rate adapter's block.
constexpr uint32_t kMaxHostBlock = 2048;
// Largest model-rate block: the engine's model buffers and each model's prepared block size.
constexpr uint32_t kMaxModelBlock = 8192;
// Captures of the pedal, model slots and capture-weight entries.
constexpr uint32_t kCaptureCount = 6;
