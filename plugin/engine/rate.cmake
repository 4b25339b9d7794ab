# korvane_rate: growable buffer, rational resampler and the rate adapter.
add_library(korvane_rate STATIC
  "${CMAKE_CURRENT_LIST_DIR}/GrowableBuffer.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/RationalResampler.cpp"
  "${CMAKE_CURRENT_LIST_DIR}/RateAdapter.cpp")
target_include_directories(korvane_rate PUBLIC "${CMAKE_CURRENT_LIST_DIR}")
# std::call_once guards the one-time kernel-table build.
find_package(Threads REQUIRED)
target_link_libraries(korvane_rate PUBLIC Threads::Threads)
# Kernel weights and tap sums are defined in plain double and float steps: no fused multiply-adds.
if(NOT MSVC)
  target_compile_options(korvane_rate PRIVATE -ffp-contract=off -fno-fast-math)
endif()
korvane_warnings(korvane_rate)
