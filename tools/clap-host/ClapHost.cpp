#include "ClapHost.hpp"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <stdexcept>

// ---------------------------------------------------------------------------------------------
// Module

ClapModule::ClapModule(const std::string& path)
    : fPath(path),
      fLibrary(new DynamicLibrary(path))
{
    fEntry = static_cast<const clap_plugin_entry_t*>(fLibrary->symbol("clap_entry"));
    if (fEntry == nullptr)
        throw std::runtime_error(path + " has no clap_entry symbol");
    if (!clap_version_is_compatible(fEntry->clap_version))
        throw std::runtime_error(path + " uses an incompatible CLAP version");
    if (!fEntry->init(path.c_str()))
        throw std::runtime_error(path + ": clap_entry.init failed");

    fFactory = static_cast<const clap_plugin_factory_t*>(fEntry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    if (fFactory == nullptr)
    {
        fEntry->deinit();
        throw std::runtime_error(path + " has no plug-in factory");
    }
}

ClapModule::~ClapModule()
{
    fEntry->deinit();
}

uint32_t ClapModule::pluginCount() const
{
    return fFactory->get_plugin_count(fFactory);
}

const clap_plugin_descriptor_t* ClapModule::descriptor(const uint32_t index) const
{
    return fFactory->get_plugin_descriptor(fFactory, index);
}

// ---------------------------------------------------------------------------------------------
// Host extensions

struct ClapHostCallbacks
{
    static ClapInstance* of(const clap_host_t* host) { return static_cast<ClapInstance*>(host->host_data); }

    static void CLAP_ABI latencyChanged(const clap_host_t* host)
    {
        ClapInstance* const inst = of(host);
        ++inst->fRequests.latencyChanged;
        if (!inst->fInActivate || std::this_thread::get_id() != inst->fMainThread)
            ++inst->fRequests.latencyChangedOutsideActivate;
    }

    static void CLAP_ABI guiResizeHintsChanged(const clap_host_t*) {}
    static bool CLAP_ABI guiRequestResize(const clap_host_t* host, uint32_t, uint32_t)
    {
        ++of(host)->fRequests.guiResize;
        return true;
    }
    static bool CLAP_ABI guiRequestShow(const clap_host_t*) { return true; }
    static bool CLAP_ABI guiRequestHide(const clap_host_t*) { return true; }
    static void CLAP_ABI guiClosed(const clap_host_t*, bool) {}

    static void CLAP_ABI paramsRescan(const clap_host_t* host, clap_param_rescan_flags) { ++of(host)->fRequests.paramsRescan; }
    static void CLAP_ABI paramsClear(const clap_host_t*, clap_id, clap_param_clear_flags) {}
    static void CLAP_ABI paramsRequestFlush(const clap_host_t* host) { ++of(host)->fRequests.paramsFlush; }

    static void CLAP_ABI stateMarkDirty(const clap_host_t* host) { ++of(host)->fRequests.stateDirty; }

    static bool CLAP_ABI isMainThread(const clap_host_t* host)
    {
        return std::this_thread::get_id() == of(host)->fMainThread;
    }
    static bool CLAP_ABI isAudioThread(const clap_host_t* host)
    {
        const ClapInstance* const inst = of(host);
        return inst->fInProcess.load() && std::this_thread::get_id() == inst->fAudioThread;
    }

    static bool CLAP_ABI registerTimer(const clap_host_t* host, uint32_t periodMs, clap_id* timerId)
    {
        ClapInstance* const inst = of(host);
        if (inst->fTimerCount == ClapInstance::kMaxTimers || timerId == nullptr)
            return false;
        const clap_id id = inst->fNextTimerId++;
        inst->fTimers[inst->fTimerCount++] = { id, periodMs };
        *timerId = id;
        return true;
    }
    static bool CLAP_ABI unregisterTimer(const clap_host_t* host, clap_id timerId)
    {
        ClapInstance* const inst = of(host);
        for (uint32_t i = 0; i < inst->fTimerCount; ++i)
        {
            if (inst->fTimers[i].id != timerId)
                continue;
            inst->fTimers[i] = inst->fTimers[--inst->fTimerCount];
            return true;
        }
        return false;
    }

    static uint32_t CLAP_ABI inSize(const clap_input_events_t* list)
    {
        return static_cast<const ClapInstance::InEvents*>(list->ctx)->count;
    }
    static const clap_event_header_t* CLAP_ABI inGet(const clap_input_events_t* list, uint32_t index)
    {
        const ClapInstance::InEvents* const ev = static_cast<const ClapInstance::InEvents*>(list->ctx);
        if (index >= ev->count)
            return nullptr;
        return ev->raw != nullptr ? ev->raw[index] : &ev->events[index].header;
    }
    static bool CLAP_ABI outPush(const clap_output_events_t* list, const clap_event_header_t* event)
    {
        ClapInstance* const inst = static_cast<ClapInstance*>(list->ctx);
        if (event->space_id != CLAP_CORE_EVENT_SPACE_ID || event->type != CLAP_EVENT_PARAM_VALUE)
            return true; // gestures and other kinds are accepted and dropped
        if (inst->fOutCount == ClapInstance::kMaxEvents || event->size < sizeof(clap_event_param_value_t))
            return false;
        const clap_event_param_value_t* const pv = reinterpret_cast<const clap_event_param_value_t*>(event);
        inst->fOutEvents[inst->fOutCount++] = { event->time, pv->param_id, pv->value };
        return true;
    }
};

const clap_host_latency_t ClapInstance::sLatency = { ClapHostCallbacks::latencyChanged };
const clap_host_gui_t ClapInstance::sGui = {
    ClapHostCallbacks::guiResizeHintsChanged, ClapHostCallbacks::guiRequestResize,
    ClapHostCallbacks::guiRequestShow,        ClapHostCallbacks::guiRequestHide,
    ClapHostCallbacks::guiClosed,
};
const clap_host_params_t ClapInstance::sParams = {
    ClapHostCallbacks::paramsRescan, ClapHostCallbacks::paramsClear, ClapHostCallbacks::paramsRequestFlush,
};
const clap_host_state_t ClapInstance::sState = { ClapHostCallbacks::stateMarkDirty };
const clap_host_thread_check_t ClapInstance::sThreadCheck = {
    ClapHostCallbacks::isMainThread, ClapHostCallbacks::isAudioThread,
};
const clap_host_timer_support_t ClapInstance::sTimerSupport = {
    ClapHostCallbacks::registerTimer, ClapHostCallbacks::unregisterTimer,
};

ClapInstance* ClapInstance::self(const clap_host_t* host)
{
    return static_cast<ClapInstance*>(host->host_data);
}

const void* CLAP_ABI ClapInstance::hostGetExtension(const clap_host_t* host, const char* id)
{
    static const struct { const char* id; const void* extension; uint32_t bit; } kExtensions[] = {
        { CLAP_EXT_LATENCY, &sLatency, kHostLatency },
        { CLAP_EXT_GUI, &sGui, kHostGui },
        { CLAP_EXT_PARAMS, &sParams, kHostParams },
        { CLAP_EXT_STATE, &sState, kHostState },
        { CLAP_EXT_THREAD_CHECK, &sThreadCheck, kHostThreadCheck },
        { CLAP_EXT_TIMER_SUPPORT, &sTimerSupport, kHostTimerSupport },
    };
    for (const auto& e : kExtensions)
    {
        if (std::strcmp(id, e.id) == 0)
            return (self(host)->fHostExtensions & e.bit) != 0 ? e.extension : nullptr;
    }
    return nullptr;
}

void CLAP_ABI ClapInstance::hostRequestRestart(const clap_host_t* host) { ++self(host)->fRequests.restart; }
void CLAP_ABI ClapInstance::hostRequestProcess(const clap_host_t* host) { ++self(host)->fRequests.process; }
void CLAP_ABI ClapInstance::hostRequestCallback(const clap_host_t* host) { ++self(host)->fRequests.callback; }

// ---------------------------------------------------------------------------------------------
// Instance

ClapInstance::ClapInstance(ClapModule& module, const std::string& pluginId, const uint32_t hostExtensions)
    : fModule(module),
      fHostExtensions(hostExtensions),
      fMainThread(std::this_thread::get_id())
{
    fHost.clap_version = CLAP_VERSION;
    fHost.host_data = this;
    fHost.name = "korvane-test-host";
    fHost.vendor = "Drevanok Effects";
    fHost.url = "";
    fHost.version = "1.0.0";
    fHost.get_extension = hostGetExtension;
    fHost.request_restart = hostRequestRestart;
    fHost.request_process = hostRequestProcess;
    fHost.request_callback = hostRequestCallback;

    std::string id = pluginId;
    if (id.empty())
    {
        const clap_plugin_descriptor_t* const desc = module.descriptor(0);
        if (desc == nullptr)
            throw std::runtime_error(module.path() + ": no plug-in in the factory");
        id = desc->id;
    }

    const clap_plugin_factory_t* const factory = module.factory();
    fPlugin = factory->create_plugin(factory, &fHost, id.c_str());
    if (fPlugin == nullptr)
        throw std::runtime_error(module.path() + ": create_plugin refused " + id);
    if (!fPlugin->init(fPlugin))
    {
        fPlugin->destroy(fPlugin);
        throw std::runtime_error(module.path() + ": plug-in init failed");
    }

    fParamsExt = static_cast<const clap_plugin_params_t*>(extension(CLAP_EXT_PARAMS));
    fLatencyExt = static_cast<const clap_plugin_latency_t*>(extension(CLAP_EXT_LATENCY));
    fStateExt = static_cast<const clap_plugin_state_t*>(extension(CLAP_EXT_STATE));
    fPortsExt = static_cast<const clap_plugin_audio_ports_t*>(extension(CLAP_EXT_AUDIO_PORTS));
    fTimerExt = static_cast<const clap_plugin_timer_support_t*>(extension(CLAP_EXT_TIMER_SUPPORT));

    fInEvents.list = { &fInEvents, ClapHostCallbacks::inSize, ClapHostCallbacks::inGet };
    fInEvents.raw = nullptr;
    fInEvents.count = 0;
    fOutList.list = { this, ClapHostCallbacks::outPush };
    fOutList.owner = this;
}

ClapInstance::~ClapInstance()
{
    stopProcessing();
    deactivate();
    fPlugin->destroy(fPlugin);
}

const void* ClapInstance::extension(const char* id) const
{
    return fPlugin->get_extension(fPlugin, id);
}

uint32_t ClapInstance::paramCount() const
{
    return fParamsExt != nullptr ? fParamsExt->count(fPlugin) : 0;
}

clap_param_info_t ClapInstance::paramInfo(const uint32_t index) const
{
    clap_param_info_t info;
    std::memset(&info, 0, sizeof(info));
    if (fParamsExt == nullptr || !fParamsExt->get_info(fPlugin, index, &info))
        throw std::runtime_error("no parameter at index " + std::to_string(index));
    return info;
}

double ClapInstance::paramValue(const clap_id id) const
{
    double value = 0.0;
    if (fParamsExt == nullptr || !fParamsExt->get_value(fPlugin, id, &value))
        throw std::runtime_error("no value for parameter " + std::to_string(id));
    return value;
}

std::string ClapInstance::valueToText(const clap_id id, const double value) const
{
    char text[CLAP_NAME_SIZE] = {};
    if (fParamsExt == nullptr || !fParamsExt->value_to_text(fPlugin, id, value, text, sizeof(text)))
        return std::string();
    return text;
}

void ClapInstance::fillInEvents(const ParamEvent* events, const uint32_t count)
{
    fInEvents.raw = nullptr;
    fInEvents.count = std::min(count, kMaxEvents);
    for (uint32_t i = 0; i < fInEvents.count; ++i)
    {
        clap_event_param_value_t& ev = fInEvents.events[i];
        ev.header.size = sizeof(clap_event_param_value_t);
        ev.header.time = events[i].offset;
        ev.header.space_id = CLAP_CORE_EVENT_SPACE_ID;
        ev.header.type = CLAP_EVENT_PARAM_VALUE;
        ev.header.flags = 0;
        ev.param_id = events[i].id;
        ev.cookie = nullptr;
        ev.note_id = -1;
        ev.port_index = -1;
        ev.channel = -1;
        ev.key = -1;
        ev.value = events[i].value;
    }
}

void ClapInstance::flushParams(const ParamEvent* events, const uint32_t count)
{
    if (fParamsExt == nullptr)
        return;
    fillInEvents(events, count);
    fOutCount = 0;
    fParamsExt->flush(fPlugin, &fInEvents.list, &fOutList.list);
    fInEvents.count = 0;
}

void ClapInstance::flushEvents(const clap_event_header_t* const* events, const uint32_t count)
{
    if (fParamsExt == nullptr)
        return;
    fInEvents.raw = events;
    fInEvents.count = count;
    fOutCount = 0;
    fParamsExt->flush(fPlugin, &fInEvents.list, &fOutList.list);
    fInEvents.raw = nullptr;
    fInEvents.count = 0;
}

uint32_t ClapInstance::audioPortCount(const bool isInput) const
{
    return fPortsExt != nullptr ? fPortsExt->count(fPlugin, isInput) : 0;
}

clap_audio_port_info_t ClapInstance::audioPortInfo(const uint32_t index, const bool isInput) const
{
    clap_audio_port_info_t info;
    std::memset(&info, 0, sizeof(info));
    if (fPortsExt == nullptr || !fPortsExt->get(fPlugin, index, isInput, &info))
        throw std::runtime_error("no audio port at index " + std::to_string(index));
    return info;
}

bool ClapInstance::activate(const double sampleRate, const uint32_t maxFrames)
{
    if (fActive)
        deactivate();
    fInActivate = true;
    const bool activated = fPlugin->activate(fPlugin, sampleRate, 1, maxFrames);
    fInActivate = false;
    if (!activated)
        return false;
    fActive = true;
    fSampleRate = sampleRate;
    fMaxFrames = maxFrames;
    fSteadyTime = 0;
    return true;
}

void ClapInstance::deactivate()
{
    if (!fActive)
        return;
    stopProcessing();
    fPlugin->deactivate(fPlugin);
    fActive = false;
}

bool ClapInstance::startProcessing()
{
    if (!fActive)
        return false;
    if (!fProcessing)
        fProcessing = fPlugin->start_processing(fPlugin);
    return fProcessing;
}

void ClapInstance::stopProcessing()
{
    if (!fProcessing)
        return;
    fPlugin->stop_processing(fPlugin);
    fProcessing = false;
}

uint32_t ClapInstance::latency() const
{
    return fLatencyExt != nullptr ? fLatencyExt->get(fPlugin) : 0;
}

clap_process_status ClapInstance::process(const float* const* inputs, float* const* outputs, const uint32_t frames,
                                          const ParamEvent* events, const uint32_t eventCount)
{
    fillInEvents(events, eventCount);
    return runProcess(inputs, outputs, frames);
}

clap_process_status ClapInstance::processEvents(const float* const* inputs, float* const* outputs, const uint32_t frames,
                                                const clap_event_header_t* const* events, const uint32_t eventCount)
{
    fInEvents.raw = events;
    fInEvents.count = eventCount;
    const clap_process_status status = runProcess(inputs, outputs, frames);
    fInEvents.raw = nullptr;
    return status;
}

clap_process_status ClapInstance::runProcess(const float* const* inputs, float* const* outputs, const uint32_t frames)
{
    if (!fActive || frames > fMaxFrames)
        return CLAP_PROCESS_ERROR;
    if (!fProcessing && !startProcessing())
        return CLAP_PROCESS_ERROR;

    fOutCount = 0;

    for (uint32_t c = 0; c < kMaxChannels; ++c)
    {
        fInPtrs[c] = const_cast<float*>(inputs[c]);
        fOutPtrs[c] = outputs[c];
    }
    fInBuffer = { fInPtrs, nullptr, kMaxChannels, 0, 0 };
    fOutBuffer = { fOutPtrs, nullptr, kMaxChannels, 0, 0 };

    clap_process_t proc;
    proc.steady_time = fSteadyTime;
    proc.frames_count = frames;
    proc.transport = nullptr;
    proc.audio_inputs = &fInBuffer;
    proc.audio_outputs = &fOutBuffer;
    proc.audio_inputs_count = 1;
    proc.audio_outputs_count = 1;
    proc.in_events = &fInEvents.list;
    proc.out_events = &fOutList.list;

    fAudioThread = std::this_thread::get_id();
    fInProcess = true;
    if (fObserver != nullptr)
        fObserver->beforeProcess();
    const clap_process_status status = fPlugin->process(fPlugin, &proc);
    if (fObserver != nullptr)
        fObserver->afterProcess();
    fInProcess = false;

    fSteadyTime += frames;
    fInEvents.count = 0;
    return status;
}

namespace {

struct OutStream
{
    clap_ostream_t stream;
    std::vector<uint8_t> data;
    size_t chunk;

    static int64_t CLAP_ABI write(const clap_ostream_t* s, const void* buffer, uint64_t size)
    {
        OutStream* const self = static_cast<OutStream*>(s->ctx);
        const uint8_t* const bytes = static_cast<const uint8_t*>(buffer);
        const size_t n = std::min(static_cast<size_t>(size), self->chunk);
        self->data.insert(self->data.end(), bytes, bytes + n);
        return static_cast<int64_t>(n);
    }
};

struct InStream
{
    clap_istream_t stream;
    const std::vector<uint8_t>* data;
    size_t pos;
    size_t chunk;

    static int64_t CLAP_ABI read(const clap_istream_t* s, void* buffer, uint64_t size)
    {
        InStream* const self = static_cast<InStream*>(s->ctx);
        const size_t left = self->data->size() - self->pos;
        const size_t n = std::min<size_t>({ left, static_cast<size_t>(size), self->chunk });
        if (n != 0)
            std::memcpy(buffer, self->data->data() + self->pos, n);
        self->pos += n;
        return static_cast<int64_t>(n);
    }
};

} // namespace

std::vector<uint8_t> ClapInstance::saveState(const size_t chunkSize) const
{
    if (fStateExt == nullptr)
        throw std::runtime_error("plug-in has no state extension");
    OutStream out;
    out.stream = { &out, OutStream::write };
    out.chunk = std::max<size_t>(1, chunkSize);
    if (!fStateExt->save(fPlugin, &out.stream))
        throw std::runtime_error("plug-in failed to save its state");
    return out.data;
}

bool ClapInstance::loadState(const std::vector<uint8_t>& data, const size_t chunkSize)
{
    if (fStateExt == nullptr)
        return false;
    InStream in;
    in.stream = { &in, InStream::read };
    in.data = &data;
    in.pos = 0;
    in.chunk = std::max<size_t>(1, chunkSize);
    return fStateExt->load(fPlugin, &in.stream);
}

void ClapInstance::idle()
{
    if (fRequests.restart.exchange(0) != 0 && fActive)
    {
        const bool wasProcessing = fProcessing;
        const double rate = fSampleRate;
        const uint32_t maxFrames = fMaxFrames;
        deactivate();
        activate(rate, maxFrames);
        if (wasProcessing)
            startProcessing();
    }
    if (fRequests.callback.exchange(0) != 0)
        fPlugin->on_main_thread(fPlugin);
    if (fTimerExt != nullptr)
    {
        for (uint32_t i = 0; i < fTimerCount; ++i)
            fTimerExt->on_timer(fPlugin, fTimers[i].id);
    }
}
