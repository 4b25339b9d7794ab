#pragma once

// One plug-in instance behind either test host, so that the behaviour tests run unchanged
// through both module formats. Parameters are addressed by the plug-in's own index (0 Dist,
// 1 Tone, 2 Level, 3 Blend, 4 Bypass, 5 Gate) with plain values.

#include "ClapHost.hpp"
#include "Vst3Host.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class Format
{
    Clap,
    Vst3
};

const char* formatName(Format format);

struct PlainEvent
{
    uint32_t offset;
    uint32_t index;
    double value;
};

// Both modules, loaded once per test program as a DAW keeps them loaded.
ClapModule& clapModule();
Vst3Module& vst3Module();

class HostedPlugin
{
public:
    static constexpr uint32_t kMaxBlock = 8192;

    virtual ~HostedPlugin() = default;

    static std::unique_ptr<HostedPlugin> create(Format format);

    // Values that hold from the next activation on (sent while not processing).
    virtual void setValues(const std::vector<std::pair<uint32_t, double>>& values) = 0;
    virtual double value(uint32_t index) const = 0;

    // Activation at a rate; processing starts with it.
    virtual void activate(double sampleRate) = 0;
    virtual void deactivate() = 0;
    virtual uint32_t latency() const = 0;

    // One block of two channels; events sorted by offset.
    virtual void process(const float* const* in, float* const* out, uint32_t frames,
                         const PlainEvent* events = nullptr, uint32_t eventCount = 0) = 0;
    virtual void idle() = 0;

    virtual std::vector<uint8_t> saveState() = 0;
    virtual bool loadState(const std::vector<uint8_t>& state) = 0;

    virtual void setProcessObserver(ProcessObserver* observer) = 0;
};
