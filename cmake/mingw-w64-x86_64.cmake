# Cross build for 64-bit Windows with Debian's mingw-w64 (posix thread model).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${KORVANE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KORVANE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${KORVANE_MINGW_TRIPLE}-windres)

# The header-only nlohmann-json is installed for the build machine, and its CMake config points
# at /usr/include, which must never reach a Windows compile (glibc's headers would shadow the
# MinGW ones). Stage just its header tree and config in a private prefix, and search packages
# there and in the MinGW tree only.
set(_korvaneStage "${CMAKE_BINARY_DIR}/mingw-host-headers/usr")
if(NOT EXISTS "${_korvaneStage}/include/nlohmann")
  file(MAKE_DIRECTORY "${_korvaneStage}/include" "${_korvaneStage}/share/cmake")
  file(CREATE_LINK /usr/include/nlohmann "${_korvaneStage}/include/nlohmann" SYMBOLIC)
  file(COPY /usr/share/cmake/nlohmann_json DESTINATION "${_korvaneStage}/share/cmake")
endif()

set(CMAKE_FIND_ROOT_PATH "/usr/${KORVANE_MINGW_TRIPLE}" "${CMAKE_BINARY_DIR}/mingw-host-headers")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
