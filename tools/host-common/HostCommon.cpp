#include "HostCommon.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <stdexcept>

#ifdef _WIN32
# include <windows.h>
#else
# include <dlfcn.h>
# include <unistd.h>
#endif

DynamicLibrary::DynamicLibrary(const std::string& path)
{
#ifdef _WIN32
    fHandle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (fHandle == nullptr)
        throw std::runtime_error("cannot open " + path + ": error " + std::to_string(GetLastError()));
#else
    fHandle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (fHandle == nullptr)
    {
        const char* const err = dlerror();
        throw std::runtime_error("cannot open " + path + ": " + (err != nullptr ? err : "unknown error"));
    }
#endif
}

DynamicLibrary::~DynamicLibrary()
{
#ifdef _WIN32
    FreeLibrary(reinterpret_cast<HMODULE>(fHandle));
#else
    dlclose(fHandle);
#endif
}

void* DynamicLibrary::symbol(const char* name) const
{
#ifdef _WIN32
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(fHandle), name));
#else
    return dlsym(fHandle, name);
#endif
}

std::vector<float> readRawStereo(const std::string& path)
{
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    const std::streamsize bytes = in.tellg();
    if (bytes % static_cast<std::streamsize>(2 * sizeof(float)) != 0)
        throw std::runtime_error(path + " is not interleaved stereo float32 (size " + std::to_string(bytes) + ")");
    std::vector<float> data(static_cast<size_t>(bytes) / sizeof(float));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(data.data()), bytes);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return data;
}

void writeRawStereo(const std::string& path, const std::vector<float>& interleaved)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(interleaved.data()),
              static_cast<std::streamsize>(interleaved.size() * sizeof(float)));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

static void printUsage(const char* argv0)
{
    std::fprintf(stderr,
                 "usage: %s MODULE [--rate HZ] [--block FRAMES] [--set INDEX=VALUE]... [--render IN.f32 OUT.f32]\n"
                 "  prints the module's identity, parameters and latency at the rate;\n"
                 "  --render processes interleaved stereo float32 IN into OUT (latency not compensated)\n",
                 argv0);
}

bool parseDriverOptions(const int argc, char** const argv, DriverOptions& options)
{
    bool ok = true;
    for (int i = 1; ok && i < argc; ++i)
    {
        const std::string arg = argv[i];
        const bool hasNext = i + 1 < argc;
        char* end = nullptr;

        if (arg == "--rate" && hasNext)
        {
            options.sampleRate = std::strtod(argv[++i], &end);
            ok = *end == '\0' && options.sampleRate > 0.0;
        }
        else if (arg == "--block" && hasNext)
        {
            const long block = std::strtol(argv[++i], &end, 10);
            ok = *end == '\0' && block > 0 && block <= 65536;
            options.blockSize = static_cast<uint32_t>(block);
        }
        else if (arg == "--set" && hasNext)
        {
            const std::string assignment = argv[++i];
            const size_t eq = assignment.find('=');
            ok = eq != std::string::npos && eq != 0;
            if (!ok)
                break;
            const std::string indexText = assignment.substr(0, eq);
            const long index = std::strtol(indexText.c_str(), &end, 10);
            ok = *end == '\0' && index >= 0;
            const double value = std::strtod(assignment.c_str() + eq + 1, &end);
            ok = ok && *end == '\0';
            options.values.emplace_back(static_cast<uint32_t>(index), value);
        }
        else if (arg == "--render" && i + 2 < argc)
        {
            options.renderIn = argv[++i];
            options.renderOut = argv[++i];
        }
        else if (arg.rfind("--", 0) != 0 && options.module.empty())
        {
            options.module = arg;
        }
        else
        {
            ok = false;
        }
    }
    if (!ok || options.module.empty())
    {
        printUsage(argv[0]);
        return false;
    }
    return true;
}

void renderRawStereo(const DriverOptions& options, const RenderBlock& processBlock)
{
    if (options.renderIn.empty())
        return;

    const std::vector<float> in = readRawStereo(options.renderIn);
    const size_t frames = in.size() / 2;
    const uint32_t block = options.blockSize;
    std::vector<float> out(in.size());
    std::vector<float> l(block), r(block), ol(block), or_(block);
    for (size_t pos = 0; pos < frames; pos += block)
    {
        const uint32_t n = static_cast<uint32_t>(std::min<size_t>(block, frames - pos));
        for (uint32_t i = 0; i < n; ++i)
        {
            l[i] = in[2 * (pos + i)];
            r[i] = in[2 * (pos + i) + 1];
        }
        const float* ins[2] = { l.data(), r.data() };
        float* outs[2] = { ol.data(), or_.data() };
        processBlock(ins, outs, n, pos == 0);
        for (uint32_t i = 0; i < n; ++i)
        {
            out[2 * (pos + i)] = ol[i];
            out[2 * (pos + i) + 1] = or_[i];
        }
    }
    writeRawStereo(options.renderOut, out);
    std::printf("rendered    %zu frames to %s\n", frames, options.renderOut.c_str());
}

int driverMain(const int argc, char** const argv, const char* const name, int (*body)(const DriverOptions&))
{
    DriverOptions options;
    if (!parseDriverOptions(argc, argv, options))
        return 2;
    try
    {
        return body(options);
    }
    catch (const std::exception& e)
    {
        std::fprintf(stderr, "%s: %s\n", name, e.what());
        return 1;
    }
}

std::string executableDir()
{
#ifdef _WIN32
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path);
    return s.substr(0, s.find_last_of("\\/"));
#else
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n <= 0)
        return ".";
    std::string s(path, static_cast<size_t>(n));
    return s.substr(0, s.rfind('/'));
#endif
}
