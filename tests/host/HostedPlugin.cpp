#include "HostedPlugin.hpp"

#include <cstdlib>
#include <stdexcept>

const char* formatName(const Format format)
{
    return format == Format::Clap ? "clap" : "vst3";
}

ClapModule& clapModule()
{
    static ClapModule module(KORVANE_CLAP_MODULE);
    return module;
}

Vst3Module& vst3Module()
{
    static Vst3Module module(KORVANE_VST3_MODULE);
    return module;
}

namespace {

class ClapPlugin : public HostedPlugin
{
public:
    ClapPlugin()
        : fInst(clapModule())
    {
    }

    void setValues(const std::vector<std::pair<uint32_t, double>>& values) override
    {
        std::vector<ParamEvent> events;
        for (const auto& v : values)
            events.push_back({ 0, v.first, v.second });
        if (fInst.isActive())
            throw std::logic_error("setValues while active");
        fInst.flushParams(events.data(), static_cast<uint32_t>(events.size()));
    }

    double value(const uint32_t index) const override { return fInst.paramValue(index); }

    // The latency of a new rate is told to the host from within activate, with no restart
    // asked for; the flush and the idle before playback are what a DAW does, and would still
    // honour a restart if the plug-in asked for one.
    void activate(const double sampleRate) override
    {
        if (!fInst.activate(sampleRate, kMaxBlock))
            throw std::runtime_error("CLAP activation failed");
        fInst.flushParams(nullptr, 0);
        fInst.idle();
        if (!fInst.startProcessing())
            throw std::runtime_error("CLAP start_processing failed");
    }

    void deactivate() override { fInst.deactivate(); }
    uint32_t latency() const override { return fInst.latency(); }

    void process(const float* const* in, float* const* out, const uint32_t frames, const PlainEvent* events,
                 const uint32_t eventCount) override
    {
        for (uint32_t i = 0; i < eventCount && i < kMaxEvents; ++i)
            fEvents[i] = { events[i].offset, events[i].index, events[i].value };
        if (fInst.process(in, out, frames, fEvents, eventCount) != CLAP_PROCESS_CONTINUE)
            throw std::runtime_error("CLAP process failed");
    }

    void idle() override { fInst.idle(); }
    std::vector<uint8_t> saveState() override { return fInst.saveState(); }
    bool loadState(const std::vector<uint8_t>& state) override { return fInst.loadState(state); }
    void setProcessObserver(ProcessObserver* observer) override { fInst.setProcessObserver(observer); }

private:
    static constexpr uint32_t kMaxEvents = 64;
    ClapInstance fInst;
    ParamEvent fEvents[kMaxEvents] = {};
};

class Vst3Plugin : public HostedPlugin
{
public:
    Vst3Plugin()
        : fInst(vst3Module())
    {
        for (const Vst3ParamInfo& p : fInst.visibleParameters())
            fIds.push_back(p.id);
    }

    ~Vst3Plugin() override { deactivate(); }

    // Sent as the first block's changes at offset 0, then the plug-in is restarted, as a DAW
    // does when the user edits values before playing.
    void setValues(const std::vector<std::pair<uint32_t, double>>& values) override
    {
        if (fActive)
            throw std::logic_error("setValues while active");
        std::vector<Vst3ParamPoint> points;
        for (const auto& v : values)
        {
            const v3_param_id id = fIds.at(v.first);
            const double n = fInst.plainToNormalised(id, v.second);
            points.push_back({ 0, id, n });
            fInst.setControllerValue(id, n);
        }
        const double rate = fRate > 0.0 ? fRate : 48000.0;
        startProcessing(rate);
        float silence[2][1] = { { 0.f }, { 0.f } };
        float sink[2][1];
        const float* in[2] = { silence[0], silence[1] };
        float* out[2] = { sink[0], sink[1] };
        fInst.process(in, out, 1, points.data(), static_cast<int32_t>(points.size()));
        fInst.idle();
        deactivate();
    }

    // Read from the component's saved state, where the processing side writes its own values.
    double value(const uint32_t index) const override
    {
        static const char* const kSymbols[] = { "dist", "tone", "level", "blend", "dpf_bypass", "gate" };
        if (index >= 6)
            throw std::out_of_range("no parameter " + std::to_string(index));
        const std::vector<uint8_t> state = fInst.getState().component;
        const std::string text(state.begin(), state.end());
        const std::string key = std::string(kSymbols[index]) + '\0';
        for (size_t pos = text.find(key); pos != std::string::npos; pos = text.find(key, pos + 1))
        {
            if (pos == 0 || text[pos - 1] == '\0')
                return std::atof(text.c_str() + pos + key.size());
        }
        throw std::runtime_error(std::string("state lacks ") + kSymbols[index]);
    }

    void activate(const double sampleRate) override { startProcessing(sampleRate); }

    void deactivate() override
    {
        if (!fActive)
            return;
        fInst.setProcessing(false);
        fInst.setActive(false);
        fActive = false;
    }

    uint32_t latency() const override { return fInst.latency(); }

    void process(const float* const* in, float* const* out, const uint32_t frames, const PlainEvent* events,
                 const uint32_t eventCount) override
    {
        for (uint32_t i = 0; i < eventCount && i < kMaxEvents; ++i)
        {
            const v3_param_id id = fIds[events[i].index];
            fPoints[i] = { static_cast<int32_t>(events[i].offset), id, fInst.plainToNormalised(id, events[i].value) };
        }
        if (fInst.process(in, out, static_cast<int32_t>(frames), fPoints, static_cast<int32_t>(eventCount)) != V3_OK)
            throw std::runtime_error("VST3 process failed");
    }

    void idle() override { fInst.idle(); }

    // Component state only: DPF's controller keeps no state of its own.
    std::vector<uint8_t> saveState() override { return fInst.getState().component; }

    bool loadState(const std::vector<uint8_t>& state) override
    {
        Vst3Instance::State s;
        s.component = state;
        return fInst.setState(s) == V3_OK;
    }

    void setProcessObserver(ProcessObserver* observer) override { fInst.setProcessObserver(observer); }

private:
    static constexpr uint32_t kMaxEvents = 64;
    Vst3Instance fInst;
    std::vector<v3_param_id> fIds;
    Vst3ParamPoint fPoints[kMaxEvents] = {};
    double fRate = 0.0;
    bool fActive = false;

    void startProcessing(const double sampleRate)
    {
        deactivate();
        if (fInst.setup(sampleRate, static_cast<int32_t>(kMaxBlock)) != V3_OK || fInst.setActive(true) != V3_OK ||
            fInst.setProcessing(true) != V3_OK)
        {
            throw std::runtime_error("VST3 activation failed");
        }
        fRate = sampleRate;
        fActive = true;
    }
};

} // namespace

std::unique_ptr<HostedPlugin> HostedPlugin::create(const Format format)
{
    if (format == Format::Clap)
        return std::unique_ptr<HostedPlugin>(new ClapPlugin);
    return std::unique_ptr<HostedPlugin>(new Vst3Plugin);
}
