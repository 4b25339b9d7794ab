#pragma once

#include "ModelRunner.h"

// Lets the tests read what load and prepare leave in a runner's record.
struct ModelRunnerInspector
{
    static const ModelRunner::PrivateData& data(const ModelRunner& runner) { return *runner.pData; }
};
