// Renders raw little-endian float64 mono samples through a model file, the way the plug-in
// prepares its models: reset and prewarm at 48000 Hz for blocks of up to 8192, then the
// input in blocks of N (default 4096).
#include "NAM/get_dsp.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

namespace
{

constexpr double kSampleRate = 48000.0;
constexpr int kMaxBlock = 8192;
constexpr int kDefaultBlock = 4096;

int usage(const char* message)
{
    std::cerr << "nam-render: " << message << "\n"
              << "usage: nam-render MODEL IN.f64 OUT.f64 [--block N]   (1 <= N <= " << kMaxBlock << ")\n";
    return 2;
}

bool readFile(const std::string& path, std::string& bytes)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return !file.bad();
}

double decode(const unsigned char* p)
{
    uint64_t bits = 0;
    for (int b = 7; b >= 0; --b)
        bits = (bits << 8) | p[b];
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

void encode(const double value, unsigned char* p)
{
    uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    for (int b = 0; b < 8; ++b)
        p[b] = static_cast<unsigned char>(bits >> (8 * b));
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> positional;
    int block = kDefaultBlock;
    for (int i = 1; i < argc; ++i)
    {
        const std::string arg = argv[i];
        if (arg == "--block")
        {
            if (i + 1 >= argc)
                return usage("--block needs a value");
            const char* text = argv[++i];
            char* end = nullptr;
            errno = 0;
            const long value = std::strtol(text, &end, 10);
            if (errno != 0 || end == text || *end != '\0' || value < 1 || value > kMaxBlock)
                return usage("--block must be a whole number of frames from 1 to 8192");
            block = static_cast<int>(value);
        }
        else if (arg.size() > 1 && arg[0] == '-')
            return usage(("unknown option " + arg).c_str());
        else
            positional.push_back(arg);
    }
    if (positional.size() != 3)
        return usage("expected MODEL, IN.f64 and OUT.f64");
    const std::string& modelPath = positional[0];
    const std::string& inPath = positional[1];
    const std::string& outPath = positional[2];

    std::string modelText;
    if (!readFile(modelPath, modelText))
    {
        std::cerr << "nam-render: cannot read model file " << modelPath << "\n";
        return 1;
    }
    std::unique_ptr<nam::DSP> model;
    try
    {
        model = nam::get_dsp(nlohmann::json::parse(modelText));
    }
    catch (const std::exception& e)
    {
        std::cerr << "nam-render: cannot load " << modelPath << ": " << e.what() << "\n";
        return 1;
    }
    if (model->NumInputChannels() != 1 || model->NumOutputChannels() != 1)
    {
        std::cerr << "nam-render: " << modelPath << " is not a mono model\n";
        return 1;
    }

    std::string inBytes;
    if (!readFile(inPath, inBytes))
    {
        std::cerr << "nam-render: cannot read input file " << inPath << "\n";
        return 1;
    }
    if (inBytes.size() % 8 != 0)
    {
        std::cerr << "nam-render: " << inPath << " holds " << inBytes.size()
                  << " bytes, not a whole number of float64 samples\n";
        return 1;
    }
    const size_t frames = inBytes.size() / 8;
    std::vector<double> samples(frames);
    for (size_t i = 0; i < frames; ++i)
        samples[i] = decode(reinterpret_cast<const unsigned char*>(inBytes.data()) + 8 * i);

    model->ResetAndPrewarm(kSampleRate, kMaxBlock);
    std::vector<double> output(frames);
    for (size_t done = 0; done < frames; done += static_cast<size_t>(block))
    {
        double* in = samples.data() + done;
        double* out = output.data() + done;
        model->process(&in, &out, static_cast<int>(std::min<size_t>(static_cast<size_t>(block), frames - done)));
    }

    std::string outBytes(frames * 8, '\0');
    for (size_t i = 0; i < frames; ++i)
        encode(output[i], reinterpret_cast<unsigned char*>(&outBytes[8 * i]));
    std::ofstream file(outPath, std::ios::binary | std::ios::trunc);
    file.write(outBytes.data(), static_cast<std::streamsize>(outBytes.size()));
    file.close();
    if (!file)
    {
        std::cerr << "nam-render: cannot write output file " << outPath << "\n";
        return 1;
    }
    return 0;
}
