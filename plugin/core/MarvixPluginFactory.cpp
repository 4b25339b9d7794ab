#include "MarvixPlugin.h"

START_NAMESPACE_DISTRHO

Plugin* createPlugin()
{
    return new MarvixPlugin();
}

END_NAMESPACE_DISTRHO
