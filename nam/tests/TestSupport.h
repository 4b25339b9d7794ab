#pragma once

#include "NAM/dsp.h"
#include "detail.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace namtest
{

// Reference files live beside the checkout.
std::string fixturePath(const std::string& name);
std::vector<double> readSamples(const std::string& path);
const nlohmann::json& fixtureModel();

// The instruction sets this CPU can run.
std::vector<nam::detail::Isa> availableIsas();
const char* isaName(nam::detail::Isa isa);

// Runs `input` through `model` in calls of `block` frames.
std::vector<double> render(nam::DSP& model, const std::vector<double>& input, int block);

// A WaveNet document of the supported shape with deterministic weights in +-amplitude.
nlohmann::json makeWaveNet(int channels, unsigned seed, double amplitude = 0.2);
// A container of a 2- and a 3-channel WaveNet with max_value 0.5 and 1.
nlohmann::json makeContainer();

} // namespace namtest
