#pragma once

#include "NAM/dsp.h"

#include <memory>

// Library-internal entry points, also used by the library's own tests and benchmarks.
namespace nam
{
namespace detail
{

enum class Isa
{
    Best, // AVX2 with FMA when the CPU has both, otherwise SSE2
    Sse2,
    Avx2
};

bool isaAvailable(Isa isa);

// get_dsp with a chosen instruction set for every WaveNet in the document. Throws
// std::runtime_error for an instruction set this CPU or build lacks.
std::unique_ptr<DSP> buildModel(const nlohmann::json& document, Isa isa);

} // namespace detail
} // namespace nam
