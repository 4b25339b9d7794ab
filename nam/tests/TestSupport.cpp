#include "TestSupport.h"

#include "../src/wavenet_shape.h"

#include <cstring>
#include <fstream>
#include <stdexcept>

namespace namtest
{

std::string fixturePath(const std::string& name) { return std::string(KORVANE_SHARED_DIR) + "/fixtures/" + name; }

std::vector<double> readSamples(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        throw std::runtime_error("cannot open " + path);
    std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::vector<double> samples(bytes.size() / 8);
    for (size_t i = 0; i < samples.size(); ++i)
    {
        uint64_t bits = 0;
        for (int b = 7; b >= 0; --b)
            bits = (bits << 8) | static_cast<unsigned char>(bytes[i * 8 + b]);
        std::memcpy(&samples[i], &bits, 8);
    }
    return samples;
}

const nlohmann::json& fixtureModel()
{
    static const nlohmann::json document = [] {
        const std::string path = fixturePath("A2.nam");
        std::ifstream file(path);
        if (!file)
            throw std::runtime_error("cannot open the fixture model " + path + " (KORVANE_SHARED_DIR at configure time)");
        return nlohmann::json::parse(file);
    }();
    return document;
}

std::vector<nam::detail::Isa> availableIsas()
{
    std::vector<nam::detail::Isa> isas{nam::detail::Isa::Sse2};
    if (nam::detail::isaAvailable(nam::detail::Isa::Avx2))
        isas.push_back(nam::detail::Isa::Avx2);
    return isas;
}

const char* isaName(const nam::detail::Isa isa)
{
    switch (isa)
    {
    case nam::detail::Isa::Best: return "best";
    case nam::detail::Isa::Sse2: return "sse2";
    case nam::detail::Isa::Avx2: return "avx2";
    }
    return "?";
}

std::vector<double> render(nam::DSP& model, const std::vector<double>& input, const int block)
{
    std::vector<double> in(input), out(input.size(), 0.0);
    for (size_t done = 0; done < in.size(); done += block)
    {
        const int n = static_cast<int>(std::min<size_t>(block, in.size() - done));
        double* inPtr = in.data() + done;
        double* outPtr = out.data() + done;
        model.process(&inPtr, &outPtr, n);
    }
    return out;
}

nlohmann::json makeWaveNet(const int channels, unsigned seed, const double amplitude)
{
    using nlohmann::json;
    json activations = json::array(), gating = json::array(), secondary = json::array();
    for (int l = 0; l < nam::wavenet::kLayerCount; ++l)
    {
        activations.push_back({{"type", "LeakyReLU"}, {"negative_slope", 0.01}});
        gating.push_back("none");
        secondary.push_back(nullptr);
    }
    json layer = {{"input_size", 1},
                  {"condition_size", 1},
                  {"head", {{"out_channels", 1}, {"kernel_size", 16}, {"bias", true}}},
                  {"channels", channels},
                  {"kernel_sizes", nam::wavenet::kKernelSizes},
                  {"dilations", nam::wavenet::kDilations},
                  {"activation", activations},
                  {"bottleneck", channels},
                  {"head1x1", {{"active", false}, {"out_channels", 1}, {"groups", 1}}},
                  {"layer1x1", {{"active", true}, {"groups", 1}}},
                  {"groups_input", 1},
                  {"groups_input_mixin", 1},
                  {"gating_mode", gating},
                  {"secondary_activation", secondary},
                  {"slimmable", nullptr}};
    for (const char* film : {"conv_pre_film", "conv_post_film", "input_mixin_pre_film", "input_mixin_post_film",
                             "activation_pre_film", "activation_post_film", "layer1x1_post_film", "head1x1_post_film"})
        layer[film] = {{"active", false}, {"shift", true}, {"groups", 1}};
    json weights = json::array();
    const long long count = nam::wavenet::weightCount(channels);
    for (long long i = 0; i < count; ++i)
    {
        seed = seed * 1664525u + 1013904223u;
        weights.push_back((static_cast<double>(seed >> 8) / 16777216.0 - 0.5) * 2.0 * amplitude);
    }
    return {{"version", "0.7.0"},
            {"metadata", {{"loudness", -20.0}}},
            {"architecture", "WaveNet"},
            {"config", {{"layers", json::array({layer})}, {"head", nullptr}, {"head_scale", 0.5}}},
            {"weights", weights},
            {"sample_rate", 48000}};
}

nlohmann::json makeContainer()
{
    return {{"version", "0.7.0"},
            {"metadata", {{"loudness", -18.5}, {"input_level_dbu", 12.0}}},
            {"architecture", "SlimmableContainer"},
            {"config",
             {{"submodels",
               {{{"max_value", 0.5}, {"model", makeWaveNet(2, 1)}}, {{"max_value", 1}, {"model", makeWaveNet(3, 2)}}}}}},
            {"weights", nlohmann::json::array()},
            {"sample_rate", 48000}};
}

} // namespace namtest
