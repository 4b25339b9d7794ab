#pragma once

// Pieces both test hosts and their drivers share: loading a shared library, raw float files,
// and the command line of the drivers.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Told right before and right after each call into a plug-in's process, on the calling thread.
struct ProcessObserver
{
    virtual ~ProcessObserver() = default;
    virtual void beforeProcess() = 0;
    virtual void afterProcess() = 0;
};

// Thin wrapper over dlopen / LoadLibrary.
class DynamicLibrary
{
public:
    // Throws std::runtime_error with the loader's message when the file cannot be opened.
    explicit DynamicLibrary(const std::string& path);
    ~DynamicLibrary();

    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    void* symbol(const char* name) const;
    void* handle() const noexcept { return fHandle; }

private:
    void* fHandle;
};

// Interleaved stereo float32 files: the render format of both drivers.
std::vector<float> readRawStereo(const std::string& path);
void writeRawStereo(const std::string& path, const std::vector<float>& interleaved);

// Command line shared by clap-host and vst3-host.
struct DriverOptions
{
    std::string module;
    double sampleRate = 48000.0;
    uint32_t blockSize = 512;
    std::vector<std::pair<uint32_t, double>> values; // parameter index (0-based, plug-in order), plain value
    std::string renderIn;
    std::string renderOut;
};

// Returns false (after printing the usage to stderr) when the arguments do not parse.
bool parseDriverOptions(int argc, char** argv, DriverOptions& options);

// One block of a render: two de-interleaved channels in and out; `first` marks the first block.
using RenderBlock = std::function<void(const float* const* inputs, float* const* outputs, uint32_t frames, bool first)>;

// With --render: reads the input file, runs it through `processBlock` in blocks of the
// options' size, writes the output file and prints the frame count. Without, does nothing.
void renderRawStereo(const DriverOptions& options, const RenderBlock& processBlock);

// A driver's main(): parses the command line (exit 2 when it does not), runs `body` and reports
// what it throws as "<name>: <message>" (exit 1).
int driverMain(int argc, char** argv, const char* name, int (*body)(const DriverOptions&));

// Folder of the running executable, to find modules built beside it.
std::string executableDir();
