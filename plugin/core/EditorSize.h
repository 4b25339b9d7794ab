#pragma once

// The editor's size in pixels at scale 1, which is also the size of its layout in design
// units. Macros, because DPF reads them as DISTRHO_UI_DEFAULT_WIDTH and _HEIGHT to tell hosts
// the size before the editor exists.
#define KORVANE_EDITOR_WIDTH  384
#define KORVANE_EDITOR_HEIGHT 498
