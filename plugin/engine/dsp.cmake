# korvane_engine: capture weights, tone filter and the wet-path engine.
add_library(korvane_engine STATIC
  "${CMAKE_CURRENT_LIST_DIR}/CaptureWeights.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/ToneFilter.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/MarvixDsp.cpp")
target_include_directories(korvane_engine PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
target_link_libraries(korvane_engine PUBLIC korvane_rate korvane_models)
# The sound is pinned to single- and double-precision results: no fused multiply-adds.
if(NOT MSVC)
  target_compile_options(korvane_engine PRIVATE -ffp-contract=off -fno-fast-math)
endif()
korvane_warnings(korvane_engine)
