#include "EmbeddedModels.h"

#include "ModelTexts.h"

// The texts are plain ASCII; the embedder keeps every file as bytes.
#define KORVANE_MODEL_TEXT(name) {reinterpret_cast<const char*>(KorvaneModelTexts::name), KorvaneModelTexts::name##Size}

const EmbeddedModel kEmbeddedModels[kEmbeddedModelCount] = {
    KORVANE_MODEL_TEXT(kModelDist020),
    KORVANE_MODEL_TEXT(kModelDist035),
    KORVANE_MODEL_TEXT(kModelDist050),
    KORVANE_MODEL_TEXT(kModelDist070),
    KORVANE_MODEL_TEXT(kModelDist080),
    KORVANE_MODEL_TEXT(kModelDist100),
};
