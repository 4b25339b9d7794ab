#pragma once

// A small CLAP host: loads a module as a DAW does, runs one plug-in instance per ClapInstance.
// Everything a process call touches is held in fixed-size members, so the host itself
// allocates nothing while audio runs.

#include "clap/entry.h"
#include "clap/plugin-factory.h"
#include "clap/ext/audio-ports.h"
#include "clap/ext/gui.h"
#include "clap/ext/latency.h"
#include "clap/ext/params.h"
#include "clap/ext/state.h"
#include "clap/ext/thread-check.h"
#include "clap/ext/timer-support.h"

#include "HostCommon.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

// One parameter value at a sample offset within a block.
struct ParamEvent
{
    uint32_t offset;
    uint32_t id;
    double value;
};

class ClapModule
{
public:
    // Opens the module file, calls clap_entry.init and fetches the plug-in factory.
    // Throws std::runtime_error when any step fails.
    explicit ClapModule(const std::string& path);
    ~ClapModule();

    ClapModule(const ClapModule&) = delete;
    ClapModule& operator=(const ClapModule&) = delete;

    const std::string& path() const noexcept { return fPath; }
    const clap_plugin_entry_t* entry() const noexcept { return fEntry; }
    const clap_plugin_factory_t* factory() const noexcept { return fFactory; }
    uint32_t pluginCount() const;
    const clap_plugin_descriptor_t* descriptor(uint32_t index) const;

private:
    std::string fPath;
    std::unique_ptr<DynamicLibrary> fLibrary;
    const clap_plugin_entry_t* fEntry = nullptr;
    const clap_plugin_factory_t* fFactory = nullptr;
};

class ClapInstance
{
public:
    static constexpr uint32_t kMaxEvents = 512;
    static constexpr uint32_t kMaxTimers = 8;
    static constexpr uint32_t kMaxChannels = 2;

    // The host extensions this host offers; CLAP makes each one optional.
    enum HostExtension : uint32_t
    {
        kHostLatency = 1u << 0,
        kHostGui = 1u << 1,
        kHostParams = 1u << 2,
        kHostState = 1u << 3,
        kHostThreadCheck = 1u << 4,
        kHostTimerSupport = 1u << 5,
        kAllHostExtensions = (1u << 6) - 1u,
    };

    // What the plug-in asked of the host so far.
    struct Requests
    {
        std::atomic<int> restart{0};
        std::atomic<int> process{0};
        std::atomic<int> callback{0};
        std::atomic<int> latencyChanged{0};
        std::atomic<int> latencyChangedOutsideActivate{0}; // not on the main thread within activate
        std::atomic<int> paramsRescan{0};
        std::atomic<int> paramsFlush{0};
        std::atomic<int> stateDirty{0};
        std::atomic<int> guiResize{0};
    };

    // Creates and initialises the plug-in with this id (the first of the factory when empty),
    // offering the host extensions in the mask. Throws std::runtime_error when the factory
    // refuses or init fails.
    explicit ClapInstance(ClapModule& module, const std::string& pluginId = std::string(),
                          uint32_t hostExtensions = kAllHostExtensions);
    ~ClapInstance();

    ClapInstance(const ClapInstance&) = delete;
    ClapInstance& operator=(const ClapInstance&) = delete;

    const clap_plugin_t* plugin() const noexcept { return fPlugin; }
    const void* extension(const char* id) const;
    Requests& requests() noexcept { return fRequests; }

    // Parameters
    uint32_t paramCount() const;
    clap_param_info_t paramInfo(uint32_t index) const;
    double paramValue(clap_id id) const;
    std::string valueToText(clap_id id, double value) const;
    // Delivers values through params.flush (the way a host does it while not processing).
    void flushParams(const ParamEvent* events, uint32_t count);
    // The same with events as they are: any space, type and size.
    void flushEvents(const clap_event_header_t* const* events, uint32_t count);

    // Audio ports
    uint32_t audioPortCount(bool isInput) const;
    clap_audio_port_info_t audioPortInfo(uint32_t index, bool isInput) const;

    // Lifecycle
    bool activate(double sampleRate, uint32_t maxFrames);
    void deactivate();
    bool isActive() const noexcept { return fActive; }
    bool startProcessing();
    void stopProcessing();
    double sampleRate() const noexcept { return fSampleRate; }
    uint32_t latency() const;

    // Processes one block of two channels; events must be sorted by offset. The output event
    // list of this call is kept until the next call. Starts processing if not yet started.
    clap_process_status process(const float* const* inputs, float* const* outputs, uint32_t frames,
                                const ParamEvent* events = nullptr, uint32_t eventCount = 0);
    // The same with events as they are (any space, type and size), sorted by time.
    clap_process_status processEvents(const float* const* inputs, float* const* outputs, uint32_t frames,
                                      const clap_event_header_t* const* events, uint32_t eventCount);
    uint32_t outputEventCount() const noexcept { return fOutCount; }
    const ParamEvent& outputEvent(uint32_t index) const noexcept { return fOutEvents[index]; }

    void setProcessObserver(ProcessObserver* observer) noexcept { fObserver = observer; }

    // State through clap.state; the host's streams take and hand over at most chunkSize bytes
    // per call.
    std::vector<uint8_t> saveState(size_t chunkSize = SIZE_MAX) const;
    bool loadState(const std::vector<uint8_t>& data, size_t chunkSize = SIZE_MAX);

    // Main-thread duties: restart when asked (deactivate and activate again with the same
    // settings), on_main_thread when asked, and one tick of every registered timer.
    void idle();
    uint32_t timerCount() const noexcept { return fTimerCount; }

private:
    static const void* CLAP_ABI hostGetExtension(const clap_host_t* host, const char* id);
    static void CLAP_ABI hostRequestRestart(const clap_host_t* host);
    static void CLAP_ABI hostRequestProcess(const clap_host_t* host);
    static void CLAP_ABI hostRequestCallback(const clap_host_t* host);
    static ClapInstance* self(const clap_host_t* host);

    static const clap_host_latency_t sLatency;
    static const clap_host_gui_t sGui;
    static const clap_host_params_t sParams;
    static const clap_host_state_t sState;
    static const clap_host_thread_check_t sThreadCheck;
    static const clap_host_timer_support_t sTimerSupport;

    ClapModule& fModule;
    uint32_t fHostExtensions;
    clap_host_t fHost;
    const clap_plugin_t* fPlugin = nullptr;
    const clap_plugin_params_t* fParamsExt = nullptr;
    const clap_plugin_latency_t* fLatencyExt = nullptr;
    const clap_plugin_state_t* fStateExt = nullptr;
    const clap_plugin_audio_ports_t* fPortsExt = nullptr;
    const clap_plugin_timer_support_t* fTimerExt = nullptr;

    std::thread::id fMainThread;
    std::atomic<bool> fInProcess{false};
    std::atomic<bool> fInActivate{false};
    std::thread::id fAudioThread;
    Requests fRequests;
    ProcessObserver* fObserver = nullptr;

    bool fActive = false;
    bool fProcessing = false;
    double fSampleRate = 0.0;
    uint32_t fMaxFrames = 0;
    int64_t fSteadyTime = 0;

    struct Timer
    {
        clap_id id;
        uint32_t periodMs;
    };
    Timer fTimers[kMaxTimers] = {};
    uint32_t fTimerCount = 0;
    clap_id fNextTimerId = 1;

    // Event lists handed to the plug-in (fixed storage, no allocation while processing).
    struct InEvents
    {
        clap_input_events_t list;
        clap_event_param_value_t events[kMaxEvents];
        const clap_event_header_t* const* raw; // used instead of events when set
        uint32_t count;
    };
    struct OutEvents
    {
        clap_output_events_t list;
        ClapInstance* owner;
    };
    InEvents fInEvents;
    OutEvents fOutList;
    ParamEvent fOutEvents[kMaxEvents];
    uint32_t fOutCount = 0;

    float* fInPtrs[kMaxChannels] = {};
    float* fOutPtrs[kMaxChannels] = {};
    clap_audio_buffer_t fInBuffer;
    clap_audio_buffer_t fOutBuffer;

    void fillInEvents(const ParamEvent* events, uint32_t count);
    clap_process_status runProcess(const float* const* inputs, float* const* outputs, uint32_t frames);
    friend struct ClapHostCallbacks;
};
