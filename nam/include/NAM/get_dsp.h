#pragma once

#include "NAM/dsp.h"

#include <memory>
#include <optional>
#include <string>

namespace nam
{

struct DspLoadOptions
{
    // Prewarm-on-reset for models that reset themselves while being built. No architecture
    // this library builds does that, so the built model keeps the default (true).
    std::optional<bool> prewarm = std::nullopt;
};

enum class Supported
{
    NO = 0,
    PARTIAL = 1,
    YES = 2
};

const std::string LATEST_FULLY_SUPPORTED_NAM_FILE_VERSION = "0.7.0";
const std::string EARLIEST_SUPPORTED_NAM_FILE_VERSION = "0.5.0";

// How well this library reads a file of the given version. Throws std::out_of_range for a
// well-formed version whose numbers do not fit an int.
Supported is_version_supported(const std::string version);

void verify_config_version(const std::string version);

// "sample_rate" of a model document, or -1 when it has none.
double get_sample_rate_from_nam_file(const nlohmann::json& j);

// Builds a model from a parsed model document. Throws a std::exception whose text names the
// problem for any document it cannot build; never prewarms or sizes processing buffers
// beyond construction. Call Reset before relying on a particular rate or block size.
std::unique_ptr<DSP> get_dsp(const nlohmann::json& config, DspLoadOptions options = DspLoadOptions());

} // namespace nam
