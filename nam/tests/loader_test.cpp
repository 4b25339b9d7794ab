#include "NAM/get_dsp.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>

using nlohmann::json;

namespace
{

json& layerArray(json& doc, const size_t submodel = 1)
{
    return doc["config"]["submodels"][submodel]["model"]["config"]["layers"][0];
}

json& submodelDoc(json& doc, const size_t submodel = 1) { return doc["config"]["submodels"][submodel]["model"]; }

struct BadDocument
{
    const char* what;
    std::function<void(json&)> mutate;
    const char* message; // expected what() text, or a part of it when `exact` is false
    bool exact;
};

} // namespace

TEST(Loader, BuildsTheSmallContainer)
{
    auto model = nam::get_dsp(namtest::makeContainer());
    EXPECT_EQ(model->GetLoudness(), -18.5);
    EXPECT_EQ(model->GetInputLevel(), 12.0);
    model->Reset(48000.0, 128);
    const std::vector<double> out = namtest::render(*model, std::vector<double>(300, 0.3), 128);
    for (const double v : out)
        ASSERT_TRUE(std::isfinite(v));
    EXPECT_NE(out.front(), out.back());
}

TEST(Loader, RejectsEveryUnsupportedOrBrokenDocument)
{
    const std::vector<BadDocument> cases = {
        {"root not an object", [](json& d) { d = json::array(); }, "Model document must be a JSON object", true},
        {"version missing", [](json& d) { d.erase("version"); }, "Model document: missing 'version'", true},
        {"version not a string", [](json& d) { d["version"] = 7; }, "'version'", false},
        {"version rejected", [](json& d) { d["version"] = "0.8.0"; }, "Model config is an unsupported version 0.8.0.", true},
        {"submodel version rejected", [](json& d) { submodelDoc(d, 0)["version"] = "0.4.9"; },
         "Model config is an unsupported version 0.4.9.", true},
        {"weights missing", [](json& d) { d.erase("weights"); }, "Corrupted model file is missing weights.", true},
        {"unknown architecture", [](json& d) { d["architecture"] = "LSTM"; },
         "No config parser registered for architecture: LSTM", true},
        {"unknown submodel architecture", [](json& d) { submodelDoc(d)["architecture"] = "Nope"; },
         "No config parser registered for architecture: Nope", true},
        {"nested container", [](json& d) { submodelDoc(d)["architecture"] = "SlimmableContainer"; },
         "'architecture' value \"SlimmableContainer\"", false},
        {"config missing", [](json& d) { d.erase("config"); }, "missing 'config'", false},
        {"submodels empty", [](json& d) { d["config"]["submodels"] = json::array(); },
         "SlimmableContainer: 'submodels' must be a non-empty array", true},
        {"submodels not an array", [](json& d) { d["config"]["submodels"] = 3; },
         "SlimmableContainer: 'submodels' must be a non-empty array", true},
        {"max_value missing", [](json& d) { d["config"]["submodels"][1].erase("max_value"); }, "'max_value'", false},
        {"model missing", [](json& d) { d["config"]["submodels"][0].erase("model"); }, "missing 'model'", false},
        {"unsorted", [](json& d) { d["config"]["submodels"][0]["max_value"] = 1.0; },
         "ContainerModel: submodels must be sorted by ascending max_value", true},
        {"last below one", [](json& d) { d["config"]["submodels"][1]["max_value"] = 0.9; },
         "ContainerModel: last submodel max_value must be >= 1.0", true},
        {"rate mismatch", [](json& d) { submodelDoc(d)["sample_rate"] = 44100; },
         "ContainerModel: submodel sample rate mismatch (expected 48000, got 44100)", true},
        {"sample rate not a number", [](json& d) { d["sample_rate"] = "48k"; }, "'sample_rate'", false},
        {"two layer arrays",
         [](json& d) { submodelDoc(d)["config"]["layers"].push_back(layerArray(d)); }, "'layers'", false},
        {"post-stack head", [](json& d) { submodelDoc(d)["config"]["head"] = json::object(); }, "'head'", false},
        {"condition model", [](json& d) { submodelDoc(d)["config"]["condition_dsp"] = json::object(); },
         "'condition_dsp'", false},
        {"channels zero", [](json& d) { layerArray(d)["channels"] = 0; }, "'channels' value 0", false},
        {"channels negative", [](json& d) { layerArray(d)["channels"] = -3; }, "'channels' value -3", false},
        {"channels huge", [](json& d) { layerArray(d)["channels"] = 4000000000LL; }, "'channels'", false},
        {"channels fractional", [](json& d) { layerArray(d)["channels"] = 2.5; }, "'channels'", false},
        {"channels missing", [](json& d) { layerArray(d).erase("channels"); }, "missing 'channels'", false},
        {"bottleneck differs", [](json& d) { layerArray(d)["bottleneck"] = 2; }, "'bottleneck'", false},
        {"kernel size changed", [](json& d) { layerArray(d)["kernel_sizes"][3] = 7; }, "'kernel_sizes'", false},
        {"kernel sizes short", [](json& d) { layerArray(d)["kernel_sizes"].erase(0); }, "'kernel_sizes'", false},
        {"legacy kernel size", [](json& d) { layerArray(d)["kernel_size"] = 6; }, "'kernel_size'", false},
        {"dilation huge", [](json& d) { layerArray(d)["dilations"][0] = 1000000000; }, "'dilations'", false},
        {"dilation negative", [](json& d) { layerArray(d)["dilations"][5] = -1; }, "'dilations'", false},
        {"dilations not an array", [](json& d) { layerArray(d)["dilations"] = "1"; }, "'dilations'", false},
        {"activation Tanh", [](json& d) { layerArray(d)["activation"][2] = "Tanh"; }, "'activation'", false},
        {"leaky slope", [](json& d) { layerArray(d)["activation"][0]["negative_slope"] = 0.2; }, "'activation'", false},
        {"gated", [](json& d) { layerArray(d)["gating_mode"][4] = "gated"; }, "'gating_mode'", false},
        {"legacy gated", [](json& d) { layerArray(d)["gated"] = true; }, "'gated'", false},
        {"secondary activation", [](json& d) { layerArray(d)["secondary_activation"][0] = "Sigmoid"; },
         "'secondary_activation'", false},
        {"head kernel", [](json& d) { layerArray(d)["head"]["kernel_size"] = 8; }, "'head'", false},
        {"head dilation", [](json& d) { layerArray(d)["head"]["head_dilation"] = 2; }, "'head'", false},
        {"head1x1 active", [](json& d) { layerArray(d)["head1x1"]["active"] = true; }, "'head1x1'", false},
        {"layer1x1 inactive", [](json& d) { layerArray(d)["layer1x1"]["active"] = false; }, "'layer1x1'", false},
        {"grouped input", [](json& d) { layerArray(d)["groups_input"] = 2; }, "'groups_input'", false},
        {"FiLM without active key", [](json& d) { layerArray(d)["conv_post_film"] = {{"shift", true}}; },
         "'conv_post_film'", false},
        {"slimmable", [](json& d) { layerArray(d)["slimmable"] = {{"method", "x"}}; }, "'slimmable'", false},
        {"one weight too many", [](json& d) { submodelDoc(d)["weights"].push_back(0.5); },
         "WaveNet: expected 1871 weights for 3 channels, got 1872", true},
        {"one weight too few", [](json& d) { submodelDoc(d)["weights"].erase(0); },
         "WaveNet: expected 1871 weights for 3 channels, got 1870", true},
        {"weights not an array", [](json& d) { submodelDoc(d)["weights"] = json::object(); }, "'weights'", false},
        {"weight not a number", [](json& d) { submodelDoc(d)["weights"][10] = "x"; }, "weight 10 is not a number", false},
        {"weight beyond float", [](json& d) { submodelDoc(d)["weights"][3] = 1e300; }, "weight 3 is outside", false},
        {"metadata loudness a string", [](json& d) { d["metadata"]["loudness"] = "loud"; }, "'loudness'", false},
        {"deeply nested value", [](json& d) {
             json deep = json::array();
             for (int i = 0; i < 100000; ++i)
                 deep = json::array({std::move(deep)});
             layerArray(d)["head"] = std::move(deep);
         }, "'head' value [[[...]]]", false},
    };
    for (const BadDocument& c : cases)
    {
        json doc = namtest::makeContainer();
        c.mutate(doc);
        try
        {
            nam::get_dsp(doc);
            ADD_FAILURE() << c.what << ": accepted";
        }
        catch (const std::exception& e)
        {
            if (c.exact)
                EXPECT_STREQ(e.what(), c.message) << c.what;
            else
                EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST(Loader, AcceptsTheHarmlessSpellingsOfTheSameShape)
{
    const std::vector<std::pair<const char*, std::function<void(json&)>>> cases = {
        {"optional keys absent",
         [](json& d) {
             for (const char* key : {"bottleneck", "head1x1", "layer1x1", "groups_input", "groups_input_mixin",
                                     "gating_mode", "secondary_activation", "slimmable", "conv_pre_film"})
                 layerArray(d).erase(key);
         }},
        {"bare activation names", [](json& d) { layerArray(d)["activation"] = json(23, "LeakyReLU"); }},
        {"FiLM as false", [](json& d) { layerArray(d)["conv_pre_film"] = false; }},
        {"integral floats", [](json& d) { layerArray(d)["channels"] = 3.0; }},
        {"no metadata", [](json& d) { d.erase("metadata"); }},
        {"no sample rates", [](json& d) {
             d.erase("sample_rate");
             submodelDoc(d).erase("sample_rate");
         }},
        {"non-empty top-level weights", [](json& d) { d["weights"] = json::array({1, 2}); }},
        {"bare WaveNet document", [](json& d) { d = submodelDoc(d); }},
    };
    for (const auto& c : cases)
    {
        json doc = namtest::makeContainer();
        c.second(doc);
        EXPECT_NO_THROW(nam::get_dsp(doc)) << c.first;
    }
}

TEST(Loader, VersionRule)
{
    const std::vector<std::pair<std::string, nam::Supported>> cases = {
        {"0.5.0", nam::Supported::YES},     {"0.6.3", nam::Supported::YES},     {"0.7.0", nam::Supported::YES},
        {"00.07.00", nam::Supported::YES},  {"0.7.1", nam::Supported::PARTIAL}, {"0.4.9", nam::Supported::NO},
        {"0.8.0", nam::Supported::NO},      {"1.0.0", nam::Supported::NO},      {"0.7", nam::Supported::NO},
        {"v0.7.0", nam::Supported::NO},     {"0.7.0-rc1", nam::Supported::NO},  {" 0.7.0", nam::Supported::NO},
        {"0..7", nam::Supported::NO},       {"", nam::Supported::NO},           {"0.7.0.", nam::Supported::NO},
    };
    for (const auto& c : cases)
        EXPECT_EQ(nam::is_version_supported(c.first), c.second) << "'" << c.first << "'";
    EXPECT_THROW(nam::is_version_supported("0.7.99999999999"), std::out_of_range);
    EXPECT_THROW(nam::verify_config_version("0.3.0"), std::runtime_error);
    EXPECT_NO_THROW(nam::verify_config_version("0.7.1"));
}
