#pragma once

// DPF build settings shared by the VST3 and the CLAP module.

#define DISTRHO_PLUGIN_BRAND "Drevanok Effects"
#define DISTRHO_PLUGIN_NAME  "Korvane"
#define DISTRHO_PLUGIN_URI   "https://drevanok.example/korvane"
#define DISTRHO_PLUGIN_CLAP_ID "com.drevanok.korvane"

#define DISTRHO_PLUGIN_NUM_INPUTS  2
#define DISTRHO_PLUGIN_NUM_OUTPUTS 2

#define DISTRHO_PLUGIN_IS_RT_SAFE      1
#define DISTRHO_PLUGIN_IS_SYNTH        0
#define DISTRHO_PLUGIN_WANT_LATENCY    1
#define DISTRHO_PLUGIN_WANT_MIDI_INPUT  0
#define DISTRHO_PLUGIN_WANT_MIDI_OUTPUT 0
#define DISTRHO_PLUGIN_WANT_PROGRAMS   0
// The plug-in has no states of its own (zero are declared), but DPF only offers the CLAP
// state extension, which carries the parameter values, when this is on.
#define DISTRHO_PLUGIN_WANT_STATE      1
#define DISTRHO_PLUGIN_WANT_FULL_STATE 0
#define DISTRHO_PLUGIN_WANT_TIMEPOS    0

#define DISTRHO_PLUGIN_VST3_CATEGORIES "Fx|Distortion|Stereo"
#define DISTRHO_PLUGIN_CLAP_FEATURES   "audio-effect", "distortion", "stereo"

// The module build defines DISTRHO_PLUGIN_HAS_UI 1 when the editor sources are present.
#ifndef DISTRHO_PLUGIN_HAS_UI
# define DISTRHO_PLUGIN_HAS_UI 0
#endif

#if DISTRHO_PLUGIN_HAS_UI
# include "EditorSize.h"
# define DISTRHO_UI_USE_NANOVG     1
# define DISTRHO_UI_USER_RESIZABLE 0
# define DISTRHO_UI_DEFAULT_WIDTH  KORVANE_EDITOR_WIDTH
# define DISTRHO_UI_DEFAULT_HEIGHT KORVANE_EDITOR_HEIGHT
#endif
