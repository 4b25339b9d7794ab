# The editor's artwork as constant byte arrays: kBackgroundPng and kKnobPng with their sizes.
# The PNGs are painted by tools/artwork/make_artwork.py and committed.
set(_korvaneImagesSrc "${CMAKE_CURRENT_LIST_DIR}")
set(_korvaneImagesDir "${CMAKE_CURRENT_BINARY_DIR}/images")
file(MAKE_DIRECTORY "${_korvaneImagesDir}")
korvane_embed(
  HEADER EditorImages.h
  SOURCE EditorImages.cpp
  NAMESPACE KorvaneImages
  OUT_DIR "${_korvaneImagesDir}"
  FILES
    "kBackgroundPng=${_korvaneImagesSrc}/background.png"
    "kKnobPng=${_korvaneImagesSrc}/knob.png")
add_library(korvane_resources_images STATIC "${_korvaneImagesDir}/EditorImages.cpp")
target_include_directories(korvane_resources_images PUBLIC "${_korvaneImagesDir}")
korvane_warnings(korvane_resources_images)
