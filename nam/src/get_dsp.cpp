#include "NAM/get_dsp.h"

#include "container.h"
#include "detail.h"
#include "wavenet.h"

#include <cfloat>
#include <climits>
#include <cmath>
#include <iostream>
#include <optional>
#include <stdexcept>

namespace nam
{

namespace
{

using json = nlohmann::json;

struct Version
{
    int major;
    int minor;
    int patch;
};

// digits.digits.digits, nothing else; nullopt when the text does not have that form.
std::optional<Version> parseVersion(const std::string& text)
{
    long long parts[3] = {0, 0, 0};
    int part = 0;
    bool digitSeen = false;
    for (const char ch : text)
    {
        if (ch == '.')
        {
            if (!digitSeen || part == 2)
                return std::nullopt;
            ++part;
            digitSeen = false;
        }
        else if (ch >= '0' && ch <= '9')
        {
            digitSeen = true;
            parts[part] = parts[part] * 10 + (ch - '0');
            if (parts[part] > INT_MAX)
                parts[part] = static_cast<long long>(INT_MAX) + 1; // saturate; reported below
        }
        else
            return std::nullopt;
    }
    if (!digitSeen || part != 2)
        return std::nullopt;
    for (const long long value : parts)
        if (value > INT_MAX)
            throw std::out_of_range("Version string out of range: " + text);
    return Version{static_cast<int>(parts[0]), static_cast<int>(parts[1]), static_cast<int>(parts[2])};
}

// Short rendering of a value for error texts: bounded in depth and length, because a
// hostile document may nest without end (and dump() recurses).
void render(const json& value, std::string& out, const int depth)
{
    constexpr size_t kBudget = 64;
    if (value.is_array() || value.is_object())
    {
        const bool isArray = value.is_array();
        if (depth >= 2 && !value.empty())
        {
            out += isArray ? "[...]" : "{...}";
            return;
        }
        out += isArray ? '[' : '{';
        bool first = true;
        for (auto it = value.begin(); it != value.end(); ++it)
        {
            if (!first)
                out += ',';
            first = false;
            if (out.size() > kBudget)
            {
                out += "...";
                break;
            }
            if (!isArray)
                out += json(it.key()).dump() + ':';
            render(*it, out, depth + 1);
        }
        out += isArray ? ']' : '}';
        return;
    }
    std::string scalar = value.dump();
    if (scalar.size() > kBudget)
        scalar = scalar.substr(0, kBudget) + "...";
    out += scalar;
}

std::string shown(const json& value)
{
    std::string text;
    render(value, text, 0);
    return text;
}

[[noreturn]] void unsupported(const std::string& where, const std::string& key, const json& value)
{
    throw std::runtime_error(where + ": unsupported '" + key + "' value " + shown(value));
}

[[noreturn]] void missing(const std::string& where, const std::string& key)
{
    throw std::runtime_error(where + ": missing '" + key + "'");
}

const json* find(const json& object, const char* key)
{
    const auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// An integer that fits an int, written as an integer or as an integral float.
std::optional<int> smallInt(const json& value)
{
    if (value.is_number_unsigned())
    {
        const auto u = value.get<json::number_unsigned_t>();
        if (u > static_cast<json::number_unsigned_t>(INT_MAX))
            return std::nullopt;
        return static_cast<int>(u);
    }
    if (value.is_number_integer())
    {
        const auto i = value.get<json::number_integer_t>();
        if (i < INT_MIN || i > INT_MAX)
            return std::nullopt;
        return static_cast<int>(i);
    }
    if (value.is_number_float())
    {
        const double d = value.get<double>();
        if (!(d >= INT_MIN && d <= INT_MAX) || d != std::floor(d))
            return std::nullopt;
        return static_cast<int>(d);
    }
    return std::nullopt;
}

bool isInt(const json& value, const int expected)
{
    const std::optional<int> i = smallInt(value);
    return i && *i == expected;
}

// Optional key: absent is fine, otherwise it must be the integer `expected`.
void requireIntOrAbsent(const std::string& where, const json& object, const char* key, const int expected)
{
    if (const json* value = find(object, key))
        if (!isInt(*value, expected))
            unsupported(where, key, *value);
}

void requireNullOrAbsent(const std::string& where, const json& object, const char* key)
{
    if (const json* value = find(object, key))
        if (!value->is_null())
            unsupported(where, key, *value);
}

template <size_t N>
void requireIntList(const std::string& where, const json& object, const char* key, const int (&expected)[N])
{
    const json* value = find(object, key);
    if (value == nullptr)
        missing(where, key);
    bool same = value->is_array() && value->size() == N;
    for (size_t i = 0; same && i < N; ++i)
        same = isInt((*value)[i], expected[i]);
    if (!same)
        unsupported(where, key, *value);
}

bool isLeakyRelu(const json& activation)
{
    if (activation.is_string())
        return activation.get_ref<const std::string&>() == "LeakyReLU";
    if (!activation.is_object())
        return false;
    const json* type = find(activation, "type");
    if (type == nullptr || !type->is_string() || type->get_ref<const std::string&>() != "LeakyReLU")
        return false;
    const json* slope = find(activation, "negative_slope");
    if (slope == nullptr)
        return true;
    if (!slope->is_number())
        return false;
    const double d = slope->get<double>();
    return std::fabs(d) <= FLT_MAX && static_cast<float>(d) == wavenet::kLeakySlope;
}

// A list of one entry per layer, each accepted by `ok`; `absentOk` when the key may be left out.
template <class Pred>
void requirePerLayer(const std::string& where, const json& object, const char* key, const bool absentOk, Pred ok)
{
    const json* value = find(object, key);
    if (value == nullptr)
    {
        if (absentOk)
            return;
        missing(where, key);
    }
    if (absentOk && value->is_null())
        return;
    bool good = value->is_array() && value->size() == static_cast<size_t>(wavenet::kLayerCount);
    for (size_t i = 0; good && i < value->size(); ++i)
        good = ok((*value)[i]);
    if (!good)
        unsupported(where, key, *value);
}

// Switched-off feature blocks: absent, false, or an object whose "active" is false.
void requireInactive(const std::string& where, const json& object, const char* key)
{
    const json* value = find(object, key);
    if (value == nullptr || (value->is_boolean() && !value->get<bool>()))
        return;
    if (value->is_object())
        if (const json* active = find(*value, "active"))
            if (active->is_boolean() && !active->get<bool>())
                return;
    unsupported(where, key, *value);
}

constexpr int kMaxChannels = 4096;

std::unique_ptr<DSP> buildWaveNet(const json& config, const json& weights, const double sampleRate,
                                  const detail::Isa isa)
{
    const std::string where = "WaveNet";
    if (!config.is_object())
        throw std::runtime_error("WaveNet: 'config' must be an object");
    const json* layers = find(config, "layers");
    if (layers == nullptr)
        missing(where, "layers");
    if (!layers->is_array() || layers->size() != 1 || !(*layers)[0].is_object())
        unsupported(where, "layers", *layers);
    requireNullOrAbsent(where, config, "head");
    requireNullOrAbsent(where, config, "condition_dsp");
    requireIntOrAbsent(where, config, "in_channels", 1);
    if (const json* headScale = find(config, "head_scale"))
        if (!headScale->is_number())
            unsupported(where, "head_scale", *headScale);

    const json& array = (*layers)[0];
    const std::string at = "WaveNet layer array";
    for (const char* key : {"input_size", "condition_size"})
    {
        const json* value = find(array, key);
        if (value == nullptr)
            missing(at, key);
        if (!isInt(*value, 1))
            unsupported(at, key, *value);
    }
    const json* channelsValue = find(array, "channels");
    if (channelsValue == nullptr)
        missing(at, "channels");
    const std::optional<int> channels = smallInt(*channelsValue);
    if (!channels || *channels <= 0 || *channels > kMaxChannels)
        unsupported(at, "channels", *channelsValue);
    requireIntOrAbsent(at, array, "bottleneck", *channels);
    if (const json* legacy = find(array, "kernel_size"))
        unsupported(at, "kernel_size", *legacy);
    requireIntList(at, array, "kernel_sizes", wavenet::kKernelSizes);
    requireIntList(at, array, "dilations", wavenet::kDilations);
    requirePerLayer(at, array, "activation", false, isLeakyRelu);
    requirePerLayer(at, array, "gating_mode", true, [](const json& v) {
        return v.is_string() && v.get_ref<const std::string&>() == "none";
    });
    if (const json* gated = find(array, "gated"))
        if (!(gated->is_boolean() && !gated->get<bool>()))
            unsupported(at, "gated", *gated);
    requirePerLayer(at, array, "secondary_activation", true, [](const json& v) { return v.is_null(); });

    const json* head = find(array, "head");
    if (head == nullptr)
        missing(at, "head");
    {
        bool good = head->is_object();
        if (good)
        {
            const json* out = find(*head, "out_channels");
            const json* kernel = find(*head, "kernel_size");
            const json* bias = find(*head, "bias");
            good = out && isInt(*out, 1) && kernel && isInt(*kernel, wavenet::kHeadKernel) && bias
                   && bias->is_boolean() && bias->get<bool>();
            if (const json* dilation = find(*head, "head_dilation"))
                good = good && isInt(*dilation, 1);
        }
        if (!good)
            unsupported(at, "head", *head);
    }
    requireInactive(at, array, "head1x1");
    if (const json* layer1x1 = find(array, "layer1x1"))
    {
        bool good = layer1x1->is_object();
        if (good)
        {
            const json* active = find(*layer1x1, "active");
            good = active == nullptr || (active->is_boolean() && active->get<bool>());
            if (const json* groups = find(*layer1x1, "groups"))
                good = good && isInt(*groups, 1);
        }
        if (!good)
            unsupported(at, "layer1x1", *layer1x1);
    }
    requireIntOrAbsent(at, array, "groups_input", 1);
    requireIntOrAbsent(at, array, "groups_input_mixin", 1);
    for (const char* key : {"conv_pre_film", "conv_post_film", "input_mixin_pre_film", "input_mixin_post_film",
                            "activation_pre_film", "activation_post_film", "layer1x1_post_film", "head1x1_post_film"})
        requireInactive(at, array, key);
    requireNullOrAbsent(at, array, "slimmable");

    if (!weights.is_array())
        throw std::runtime_error("WaveNet: 'weights' must be an array of numbers");
    const long long expected = wavenet::weightCount(*channels);
    if (static_cast<long long>(weights.size()) != expected)
        throw std::runtime_error("WaveNet: expected " + std::to_string(expected) + " weights for "
                                 + std::to_string(*channels) + " channels, got "
                                 + std::to_string(weights.size()));
    std::vector<float> values;
    values.reserve(weights.size());
    for (size_t i = 0; i < weights.size(); ++i)
    {
        const json& w = weights[i];
        if (!w.is_number())
            throw std::runtime_error("WaveNet: weight " + std::to_string(i) + " is not a number");
        // Read as double, then narrowed, as the file's writer intends.
        const double d = w.get<double>();
        if (!(std::fabs(d) <= FLT_MAX))
            throw std::runtime_error("WaveNet: weight " + std::to_string(i) + " is outside the float range");
        values.push_back(static_cast<float>(d));
    }
    return std::make_unique<wavenet::WaveNet>(*channels, values, sampleRate, isa);
}

void copyMetadata(const json& document, DSP& model)
{
    const json* metadata = find(document, "metadata");
    if (metadata == nullptr || metadata->is_null())
        return;
    if (!metadata->is_object())
        throw std::runtime_error("Model document: 'metadata' must be an object");
    auto number = [&](const char* key) -> std::optional<double> {
        const json* value = find(*metadata, key);
        if (value == nullptr || value->is_null())
            return std::nullopt;
        if (!value->is_number())
            unsupported("Model metadata", key, *value);
        return value->get<double>();
    };
    if (const auto loudness = number("loudness"))
        model.SetLoudness(*loudness);
    if (const auto level = number("input_level_dbu"))
        model.SetInputLevel(*level);
    if (const auto level = number("output_level_dbu"))
        model.SetOutputLevel(*level);
}

std::unique_ptr<DSP> buildDocument(const json& document, detail::Isa isa, bool isSubmodel);

std::unique_ptr<DSP> buildContainer(const json& config, const double sampleRate, const detail::Isa isa)
{
    const std::string where = "SlimmableContainer";
    const json* list = config.is_object() ? find(config, "submodels") : nullptr;
    if (list == nullptr || !list->is_array() || list->empty())
        throw std::runtime_error("SlimmableContainer: 'submodels' must be a non-empty array");
    std::vector<container::Submodel> submodels;
    submodels.reserve(list->size());
    for (size_t i = 0; i < list->size(); ++i)
    {
        const json& entry = (*list)[i];
        const std::string entryName = where + " submodel " + std::to_string(i);
        if (!entry.is_object())
            throw std::runtime_error(entryName + " must be an object");
        const json* maxValue = find(entry, "max_value");
        if (maxValue == nullptr)
            missing(entryName, "max_value");
        if (!maxValue->is_number())
            unsupported(entryName, "max_value", *maxValue);
        const json* model = find(entry, "model");
        if (model == nullptr)
            missing(entryName, "model");
        submodels.push_back({maxValue->get<double>(), buildDocument(*model, isa, true)});
    }
    return std::make_unique<container::ContainerModel>(std::move(submodels), sampleRate);
}

std::unique_ptr<DSP> buildDocument(const json& document, const detail::Isa isa, const bool isSubmodel)
{
    if (!document.is_object())
        throw std::runtime_error("Model document must be a JSON object");
    const json* version = find(document, "version");
    if (version == nullptr)
        missing("Model document", "version");
    if (!version->is_string())
        unsupported("Model document", "version", *version);
    verify_config_version(version->get<std::string>());
    if (find(document, "weights") == nullptr)
        throw std::runtime_error("Corrupted model file is missing weights.");
    const json* architecture = find(document, "architecture");
    if (architecture == nullptr)
        missing("Model document", "architecture");
    if (!architecture->is_string())
        unsupported("Model document", "architecture", *architecture);
    const std::string& name = architecture->get_ref<const std::string&>();
    const json* config = find(document, "config");
    if (config == nullptr)
        missing("Model document", "config");
    double sampleRate = NAM_UNKNOWN_EXPECTED_SAMPLE_RATE;
    if (const json* rate = find(document, "sample_rate"))
    {
        if (!rate->is_number() || !(rate->get<double>() > 0.0 || rate->get<double>() == -1.0))
            unsupported("Model document", "sample_rate", *rate);
        sampleRate = rate->get<double>();
    }

    std::unique_ptr<DSP> model;
    if (name == "SlimmableContainer")
    {
        if (isSubmodel)
            unsupported("SlimmableContainer submodel", "architecture", *architecture);
        model = buildContainer(*config, sampleRate, isa);
    }
    else if (name == "WaveNet")
        model = buildWaveNet(*config, *find(document, "weights"), sampleRate, isa);
    else
        throw std::runtime_error("No config parser registered for architecture: " + name);
    copyMetadata(document, *model);
    return model;
}

} // namespace

Supported is_version_supported(const std::string version)
{
    const std::optional<Version> v = parseVersion(version);
    if (!v || v->major > 0 || v->minor > 7 || v->minor < 5)
        return Supported::NO;
    return v->minor == 7 && v->patch > 0 ? Supported::PARTIAL : Supported::YES;
}

void verify_config_version(const std::string version)
{
    switch (is_version_supported(version))
    {
    case Supported::NO:
        throw std::runtime_error("Model config is an unsupported version " + version + ".");
    case Supported::PARTIAL:
        std::cerr << "Model config is a partially-supported version " << version
                  << ". Continuing with partial support." << std::endl;
        break;
    case Supported::YES:
        break;
    }
}

double get_sample_rate_from_nam_file(const nlohmann::json& j)
{
    if (j.is_object())
        if (const json* rate = find(j, "sample_rate"))
            if (rate->is_number())
                return rate->get<double>();
    return NAM_UNKNOWN_EXPECTED_SAMPLE_RATE;
}

std::unique_ptr<DSP> get_dsp(const nlohmann::json& config, DspLoadOptions)
{
    return buildDocument(config, detail::Isa::Best, false);
}

namespace detail
{

std::unique_ptr<DSP> buildModel(const nlohmann::json& document, const Isa isa)
{
    if (!isaAvailable(isa))
        throw std::runtime_error("the requested instruction set is not available on this CPU");
    return buildDocument(document, isa, false);
}

} // namespace detail

} // namespace nam
