#pragma once

#include <cstddef>

// One model file carried in the module: compact JSON text followed by a NUL that `length`
// does not count.
struct EmbeddedModel
{
    const char* json;
    size_t length;
};

// The captures' model files, in capture order (the rows of the capture table).
constexpr size_t kEmbeddedModelCount = 6;
extern const EmbeddedModel kEmbeddedModels[kEmbeddedModelCount];
