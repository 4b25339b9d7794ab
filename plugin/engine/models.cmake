# korvane_models: the model runner and the table of embedded model files.
add_library(korvane_models STATIC
  "${CMAKE_CURRENT_LIST_DIR}/ModelRunner.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/EmbeddedModels.cpp")
target_include_directories(korvane_models PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(korvane_models
  PUBLIC nam nlohmann_json::nlohmann_json
  PRIVATE korvane_resources_models)
korvane_warnings(korvane_models)
