#include "NAM/get_dsp.h"

#include <stdexcept>

namespace nam
{

std::unique_ptr<DSP> get_dsp(const nlohmann::json&, DspLoadOptions)
{
    throw std::runtime_error("model loading is not available yet");
}

Supported is_version_supported(const std::string) { return Supported::NO; }
void verify_config_version(const std::string) {}
double get_sample_rate_from_nam_file(const nlohmann::json& j)
{
    return j.contains("sample_rate") ? j["sample_rate"].get<double>() : NAM_UNKNOWN_EXPECTED_SAMPLE_RATE;
}

} // namespace nam
