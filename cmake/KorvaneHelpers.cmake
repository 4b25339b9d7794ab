# Shared build helpers.

# Warnings for the project's own targets; DPF's sources keep their own flags, and its headers are
# included as system headers (korvane_system_includes) so that its warnings stay out.
# KORVANE_WERROR makes them errors (CI builds with it).
function(korvane_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow -Wconversion -Wpedantic
    $<$<COMPILE_LANGUAGE:CXX>:-Wold-style-cast>)
  if(KORVANE_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Marks the include folders that the given targets pass on as system folders.
function(korvane_system_includes)
  foreach(target IN LISTS ARGN)
    get_target_property(dirs ${target} INTERFACE_INCLUDE_DIRECTORIES)
    if(dirs)
      set_property(TARGET ${target} APPEND PROPERTY INTERFACE_SYSTEM_INCLUDE_DIRECTORIES ${dirs})
    endif()
  endforeach()
endfunction()

# korvane_add_gtest(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <label>])
# One GoogleTest executable whose cases CTest discovers one by one. The discovery script does not
# keep a list of labels together, so a test takes one label; ctest -L / -LE match it as a pattern
# (a label "editor-gui-no-sanitize" is left out by -LE no-sanitize).
function(korvane_add_gtest)
  cmake_parse_arguments(T "" "NAME;LABELS" "SOURCES;LIBS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  target_compile_definitions(${T_NAME} PRIVATE
    KORVANE_SHARED_DIR="${KORVANE_SHARED_DIR}"
    KORVANE_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KORVANE_BINARY_DIR="${PROJECT_BINARY_DIR}")
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY "${PROJECT_BINARY_DIR}/tests")
  korvane_warnings(${T_NAME})
  gtest_discover_tests(${T_NAME} DISCOVERY_TIMEOUT 60 PROPERTIES LABELS "${T_LABELS}")
endfunction()

# korvane_embed(HEADER <name.h> SOURCE <name.cpp> NAMESPACE <ns> OUT_DIR <dir> FILES <sym=path>...)
# Turns files into constant byte arrays, each followed by one NUL byte that its size does not count.
# The generated header declares `extern const unsigned char <sym>[]` (with its bound) and
# `constexpr std::size_t <sym>Size`; add <dir>/<name.cpp> to a library to define the arrays.
function(korvane_embed)
  cmake_parse_arguments(E "" "HEADER;SOURCE;NAMESPACE;OUT_DIR" "FILES" ${ARGN})
  foreach(arg HEADER SOURCE NAMESPACE OUT_DIR FILES)
    if(NOT E_${arg})
      message(FATAL_ERROR "korvane_embed needs ${arg}")
    endif()
  endforeach()
  set(outDir "${E_OUT_DIR}")
  set(deps)
  set(pairs)
  foreach(item IN LISTS E_FILES)
    string(REPLACE "=" ";" kv "${item}")
    list(GET kv 0 sym)
    list(GET kv 1 path)
    list(APPEND deps "${path}")
    list(APPEND pairs "${sym}=${path}")
  endforeach()
  string(REPLACE ";" "|" pairsArg "${pairs}")
  add_custom_command(
    OUTPUT "${outDir}/${E_HEADER}" "${outDir}/${E_SOURCE}"
    COMMAND ${CMAKE_COMMAND}
      "-DPAIRS=${pairsArg}" "-DHEADER=${outDir}/${E_HEADER}" "-DSOURCE=${outDir}/${E_SOURCE}"
      "-DNAMESPACE=${E_NAMESPACE}" -P "${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake"
    DEPENDS ${deps} "${PROJECT_SOURCE_DIR}/cmake/EmbedFiles.cmake"
    COMMENT "Embedding ${E_SOURCE}"
    VERBATIM)
endfunction()
