# Included by the module build (plugin/core) before dpf_add_plugin: the editor's sources and the
# libraries they link against.
set(KORVANE_UI_SOURCES "${CMAKE_CURRENT_LIST_DIR}/MarvixUI.cpp")
set(KORVANE_UI_LIBS korvane_resources_images korvane_editor_layout)
