#pragma once

// A small VST3 host written against the C rendering of the VST3 interfaces that DPF carries.
// It loads a module as a DAW does (ModuleEntry / InitDll first, ModuleExit / ExitDll last),
// builds component and edit controller, connects them and drives processing. Everything a
// process call touches is held in fixed-size members, so the host allocates nothing there.

#include "HostCommon.hpp"

#include "travesty/audio_processor.h"
#include "travesty/bstream.h"
#include "travesty/component.h"
#include "travesty/edit_controller.h"
#include "travesty/factory.h"
#include "travesty/host.h"
#include "travesty/message.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One normalised parameter value at a sample offset within a block.
struct Vst3ParamPoint
{
    int32_t offset;
    v3_param_id id;
    double normalised;
};

struct Vst3ClassInfo
{
    std::string name;
    std::string category;
    std::string subCategories;
    std::string vendor;
    std::string version;
    std::string sdkVersion;
    uint32_t classFlags = 0;
    v3_tuid classId = {};
};

struct Vst3ParamInfo
{
    v3_param_id id;
    std::string title;
    std::string shortTitle;
    std::string units;
    int32_t stepCount;
    double defaultNormalised;
    int32_t flags;
};

class Vst3Module
{
public:
    // Accepts a .vst3 bundle folder (Contents/x86_64-linux/<name>.so inside) or the binary itself.
    // Throws std::runtime_error when the module cannot be loaded or has no factory.
    explicit Vst3Module(const std::string& path);
    ~Vst3Module();

    Vst3Module(const Vst3Module&) = delete;
    Vst3Module& operator=(const Vst3Module&) = delete;

    const std::string& binaryPath() const noexcept { return fBinary; }
    v3_plugin_factory** factory() const noexcept { return fFactory; }
    const v3_factory_info& factoryInfo() const noexcept { return fFactoryInfo; }
    const std::vector<Vst3ClassInfo>& classes() const noexcept { return fClasses; }
    v3_funknown** hostContext() const noexcept;

private:
    std::string fBinary;
    std::unique_ptr<DynamicLibrary> fLibrary;
    v3_plugin_factory** fFactory = nullptr;
    v3_factory_info fFactoryInfo = {};
    std::vector<Vst3ClassInfo> fClasses;
    struct HostApplication;
    std::unique_ptr<HostApplication> fHostApp;
    bool (*fExit)() = nullptr;
};

class Vst3Instance
{
public:
    static constexpr int32_t kMaxQueues = 16;
    static constexpr int32_t kMaxPoints = 64;
    static constexpr int32_t kMaxOutChanges = 64;

    struct Requests
    {
        std::atomic<int> restartFlags{0};  // or-ed restart_component flags
        std::atomic<int> restartCount{0};
        std::atomic<int> beginEdit{0};
        std::atomic<int> performEdit{0};
        std::atomic<int> endEdit{0};
    };

    // Creates the audio module class, its edit controller (separate class or the component
    // itself), initialises both, connects them and hands the component state to the controller.
    explicit Vst3Instance(Vst3Module& module);
    ~Vst3Instance();

    Vst3Instance(const Vst3Instance&) = delete;
    Vst3Instance& operator=(const Vst3Instance&) = delete;

    bool separateController() const noexcept { return fSeparateController; }
    bool connected() const noexcept { return fCompPoint != nullptr && fCtrlPoint != nullptr; }
    Requests& requests() noexcept { return fRequests; }

    // Buses
    int32_t audioBusCount(int32_t direction) const;
    v3_bus_info audioBusInfo(int32_t direction, int32_t index) const;

    // Parameters, as the controller lists them (DPF adds hidden read-only ones of its own)
    std::vector<Vst3ParamInfo> parameters() const;
    // Indices into parameters() of those a host shows to the user.
    std::vector<Vst3ParamInfo> visibleParameters() const;
    double normalisedToPlain(v3_param_id id, double normalised) const;
    double plainToNormalised(v3_param_id id, double plain) const;
    double controllerValue(v3_param_id id) const; // normalised
    v3_result setControllerValue(v3_param_id id, double normalised);
    std::string valueText(v3_param_id id, double normalised) const;

    // Processing: setup stores rate and largest block (bus arrangement stereo in, stereo out).
    v3_result setup(double sampleRate, int32_t maxBlock);
    v3_result setActive(bool active);
    v3_result setProcessing(bool processing);
    uint32_t latency() const;
    v3_result process(const float* const* inputs, float* const* outputs, int32_t frames,
                      const Vst3ParamPoint* points = nullptr, int32_t pointCount = 0);
    int32_t outputChangeCount() const noexcept { return fOutCount; }
    const Vst3ParamPoint& outputChange(int32_t index) const noexcept { return fOutChanges[index]; }
    void setProcessObserver(ProcessObserver* observer) noexcept { fObserver = observer; }
    // Without, process calls pass no output parameter list, as VST3 allows a host to.
    void setOutputChangesOffered(bool offered) noexcept { fOutputChangesOffered = offered; }

    // Main-thread duties after processing: hands the last output changes to the controller.
    void idle();

    struct State
    {
        std::vector<uint8_t> component;
        std::vector<uint8_t> controller;
    };
    State getState() const;
    // Component state to the component and to the controller, then the controller's own.
    v3_result setState(const State& state);

private:
    Vst3Module& fModule;
    v3_component** fComponent = nullptr;
    v3_audio_processor** fProcessor = nullptr;
    v3_edit_controller** fController = nullptr;
    v3_connection_point** fCompPoint = nullptr;
    v3_connection_point** fCtrlPoint = nullptr;
    bool fSeparateController = false;
    bool fActive = false;
    bool fProcessing = false;
    bool fOutputChangesOffered = true;
    double fSampleRate = 0.0;
    int32_t fMaxBlock = 0;
    ProcessObserver* fObserver = nullptr;
    Requests fRequests;

    struct Handler;
    struct Changes;
    std::unique_ptr<Handler> fHandler;
    std::unique_ptr<Changes> fInChanges;
    std::unique_ptr<Changes> fOutChangesList;

    Vst3ParamPoint fOutChanges[kMaxOutChanges] = {};
    int32_t fOutCount = 0;
    int32_t fPendingCount = 0;
    Vst3ParamPoint fPending[kMaxOutChanges] = {};

    float* fInPtrs[2] = {};
    float* fOutPtrs[2] = {};
    v3_audio_bus_buffers fInBus = {};
    v3_audio_bus_buffers fOutBus = {};
    v3_process_context fContext = {};
    int64_t fTime = 0;

    void teardown() noexcept;
};

// UTF-16 text of the VST3 interfaces to UTF-8 (ASCII is all these hosts need).
std::string vst3String(const int16_t* text, size_t max);
