# DPF as the project builds it: Debian's tree (KORVANE_DPF_UPSTREAM) copied into the build folder,
# with the project's own fixes from dpf-patches/ applied in name order. The copy is made again
# whenever a patch or the upstream tree changes; a patch that does not apply stops the configure
# step with its name. KORVANE_DPF_PATCHES=OFF builds against the unpatched copy (to show that a
# host test fails without its fix).
#
# Sets KORVANE_DPF_DIR to the tree to build from.

option(KORVANE_DPF_PATCHES "Apply the project's fixes to DPF's format layers" ON)
set(KORVANE_DPF_UPSTREAM "/usr/share/dpf" CACHE PATH "DPF source tree as packaged")

if(NOT EXISTS "${KORVANE_DPF_UPSTREAM}/distrho/src/DistrhoPluginCLAP.cpp")
  message(FATAL_ERROR "DPF not found at ${KORVANE_DPF_UPSTREAM} (Debian package dpf-source)")
endif()
find_program(KORVANE_PATCH_PROGRAM patch REQUIRED)

file(GLOB korvaneDpfPatches CONFIGURE_DEPENDS "${PROJECT_SOURCE_DIR}/dpf-patches/*.patch")
list(SORT korvaneDpfPatches)
# A patch edited in place also makes the copy again.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${korvaneDpfPatches})
if(NOT KORVANE_DPF_PATCHES)
  set(korvaneDpfPatches "")
endif()

# What the copy is made of: the upstream sources' hashes and each patch's.
set(korvaneDpfStamp "")
file(GLOB_RECURSE upstreamSources "${KORVANE_DPF_UPSTREAM}/distrho/*.cpp" "${KORVANE_DPF_UPSTREAM}/distrho/*.hpp"
  "${KORVANE_DPF_UPSTREAM}/distrho/*.h" "${KORVANE_DPF_UPSTREAM}/cmake/*.cmake")
list(SORT upstreamSources)
foreach(f IN LISTS upstreamSources korvaneDpfPatches)
  file(SHA256 "${f}" h)
  string(APPEND korvaneDpfStamp "${f} ${h}\n")
endforeach()

set(KORVANE_DPF_DIR "${PROJECT_BINARY_DIR}/dpf-src")
set(stampFile "${KORVANE_DPF_DIR}/.korvane-stamp")
set(oldStamp "")
if(EXISTS "${stampFile}")
  file(READ "${stampFile}" oldStamp)
endif()

if(NOT oldStamp STREQUAL korvaneDpfStamp)
  file(REMOVE_RECURSE "${KORVANE_DPF_DIR}")
  file(COPY "${KORVANE_DPF_UPSTREAM}/" DESTINATION "${KORVANE_DPF_DIR}")
  # The copy keeps upstream's file times; new ones make every object built from an earlier copy
  # (with other patches, or none) out of date.
  file(GLOB_RECURSE copiedFiles "${KORVANE_DPF_DIR}/*")
  file(TOUCH_NOCREATE ${copiedFiles})
  foreach(p IN LISTS korvaneDpfPatches)
    get_filename_component(name "${p}" NAME)
    execute_process(
      COMMAND "${KORVANE_PATCH_PROGRAM}" -p1 --forward --batch --no-backup-if-mismatch -i "${p}"
      WORKING_DIRECTORY "${KORVANE_DPF_DIR}"
      RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
    if(NOT rc EQUAL 0)
      file(REMOVE_RECURSE "${KORVANE_DPF_DIR}")
      message(FATAL_ERROR "DPF patch ${name} does not apply to ${KORVANE_DPF_UPSTREAM}:\n${out}")
    endif()
  endforeach()
  file(WRITE "${stampFile}" "${korvaneDpfStamp}")
  list(LENGTH korvaneDpfPatches count)
  message(STATUS "DPF: ${KORVANE_DPF_UPSTREAM} copied to ${KORVANE_DPF_DIR} with ${count} patch(es)")
endif()
