# Included by the module build before dpf_add_plugin: when KORVANE_UI_SOURCES is set the
# modules are built with the editor. KORVANE_UI_LIBS are what the UI sources link against.
set(KORVANE_UI_SOURCES "${CMAKE_CURRENT_LIST_DIR}/MarvixUI.cpp")
set(KORVANE_UI_LIBS korvane_resources_images korvane_editor_layout)
